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

    // The stored values and the chords' names; anything unknown is the default, Ctrl+Alt, which
    // takes nothing from other programs.
    void chordsFromTheSettingsFile_data() {
        QTest::addColumn<int>("stored");
        QTest::addColumn<int>("chord");
        QTest::addColumn<QString>("save");
        QTest::newRow("0 off") << 0 << int(veltrin::HotKeyChord::Off) << QString();
        QTest::newRow("1 Ctrl+Alt") << 1 << int(veltrin::HotKeyChord::CtrlAlt) << "Ctrl+Alt+S";
        QTest::newRow("2 Ctrl alone") << 2 << int(veltrin::HotKeyChord::Ctrl) << "Ctrl+S";
        QTest::newRow("3 unknown") << 3 << int(veltrin::HotKeyChord::CtrlAlt) << "Ctrl+Alt+S";
        QTest::newRow("-1 unknown") << -1 << int(veltrin::HotKeyChord::CtrlAlt) << "Ctrl+Alt+S";
    }
    void chordsFromTheSettingsFile() {
        QFETCH(int, stored);
        QFETCH(int, chord);
        QFETCH(QString, save);
        QCOMPARE(int(veltrin::HotKeyChordFromSetting(stored)), chord);
        QCOMPARE(veltrin::HotKeyText(static_cast<veltrin::HotKeyChord>(chord), 'S'), save);
    }

    void defaultChordIsCtrlAlt() {
        veltrin::GlobalHotKeys keys([](int) {});
        QCOMPARE(keys.Chord(), veltrin::HotKeyChord::CtrlAlt);
        keys.SetChord(veltrin::HotKeyChord::Off);
        QVERIFY(!keys.Register());
        QCOMPARE(keys.Describe(), QStringLiteral("off"));
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
