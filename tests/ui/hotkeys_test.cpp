// Global hot keys where the display offers no key grabs (offscreen here; Wayland alike).
#include <QTest>

#include "platform/hotkeys.h"

class HotKeysTest : public QObject {
    Q_OBJECT

private slots:
    void table() {
        QCOMPARE(veltrin::kHotKeys.size(), 4u);
        const char letters[] = {'O', 'S', 'T', 'P'};
        const char* names[] = {"myhotkey_o_open_1", "myhotkey_s_save_2", "myhotkey_t_ping_3", "myhotkey_t_stop_4"};
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(veltrin::kHotKeys[i].letter, letters[i]);
            QCOMPARE(veltrin::kHotKeys[i].name, names[i]);
        }
    }

    void unavailableWithoutX11() {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("offscreen"));
        int calls = 0;
        veltrin::GlobalHotKeys keys([&calls](int) { ++calls; });
        QVERIFY(!keys.Register());
        QVERIFY(!keys.Available());
        QVERIFY(!keys.Registered());
        QCOMPARE(keys.Describe(), QStringLiteral("unavailable"));
        keys.Release();
        keys.Release();  // twice is harmless
        QCOMPARE(calls, 0);
    }
};

QTEST_MAIN(HotKeysTest)
#include "hotkeys_test.moc"
