// Opens, floods and closes the detail window many times over: meant to run under ASan and TSan,
// where a worker outliving its window, a step running after the close, or a close waiting for a
// worker that waits for the window thread shows up as a report or a hang.
// Sends only to loopback; the loop is bounded in count and each wait in time.
#include <QEvent>
#include <QPointer>
#include <QPushButton>
#include <QTableView>
#include <QtTest>

#include <cstring>
#include <memory>

#include "engine/global_unit.h"
#include "engine/icmp_socket.h"
#include "ui/detailfm.h"
#include "ui/handover.h"
#include "ui/infofm.h"

namespace {

constexpr int kRounds = 200;
constexpr int kWaitMs = 20000;  // generous: sanitizer builds run the workers many times slower

}  // namespace

class DetailStressTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void openFloodClose();
};

void DetailStressTest::initTestCase() {
    veltrin::EngineStartup();
    veltrin::IcmpSocket probe;
    if (!probe.ok()) QSKIP("raw ICMP sockets need root or CAP_NET_RAW; the stress run needs real replies");
    (void)veltrin::WindowHandOver();
    veltrin::Golbal()->datalength = 64;
}

void DetailStressTest::openFloodClose() {
    auto owner = std::make_unique<QWidget>();
    owner->show();
    bool detailopen = false;
    const auto host = [&] {
        DetailHost h;
        h.intervaltext = [] { return QStringLiteral("0"); };  // no pause between echoes
        h.setdetailopen = [&detailopen](bool open) { detailopen = open; };
        return h;
    };

    for (int round = 0; round < kRounds; ++round) {
        const QString address = QStringLiteral("127.0.0.%1").arg(1 + round % 3);
        QPointer<Tdetailform> w = OpenDetailWindow(owner.get(), veltrin::WindowHandOver(), host(), detailopen, address);
        QVERIFY(w);
        QVERIFY(detailopen);
        const int variant = round % 8;

        if (variant != 0) {
            // Let the workers start; most rounds also wait for the flood to be accepted.
            QVERIFY(QTest::qWaitFor([&] { return w && w->WorkersStarted(); }, kWaitMs));
            if (variant >= 2)
                QVERIFY2(QTest::qWaitFor([&] { return w && w->detailstat().recvcount > 0; }, kWaitMs),
                         qPrintable(QStringLiteral("round %1: no reply accepted").arg(round)));
        }
        if (variant == 3) {
            // Re-target while flooding.
            OpenDetailWindow(owner.get(), veltrin::WindowHandOver(), host(), detailopen, QStringLiteral("127.0.0.9"));
            QTest::qWait(5);
        }

        std::unique_ptr<Tinfoform> info;
        if (variant == 4) {
            // An info window refreshing from the detail window while that one closes.
            QPointer<Tdetailform> source = w;
            info = std::make_unique<Tinfoform>(w, veltrin::WindowHandOver(),
                                               [source](std::uint8_t* raw, veltrin::Tdecordbuf& reply) {
                                                   if (!source) return;
                                                   std::memcpy(raw, source->lastraw().data(), source->lastraw().size());
                                                   reply = source->lastreply();
                                               });
            info->show();
            QTest::qWait(5);
            info.reset();
        }

        switch (variant) {
            case 0:  // before the first paint: no worker started yet
            case 1:
            case 2: w->CloseDetail(); break;
            case 3: QTest::mouseClick(w->closebtn, Qt::LeftButton); break;
            case 4: QTest::keyClick(w->listv1, Qt::Key_Escape); break;
            case 5: w->close(); break;
            case 6: {
                // The owner goes first: its children (the detail window) are destroyed with it.
                owner.reset();
                QVERIFY(w.isNull());
                owner = std::make_unique<QWidget>();
                owner->show();
                detailopen = false;  // the stand-in's flag goes with it
                continue;
            }
            default: w->CloseDetail(); w->CloseDetail(); break;  // twice is harmless
        }
        QVERIFY(!detailopen);
        QVERIFY(QTest::qWaitFor([&] { return w.isNull(); }, kWaitMs));
    }
    QCOMPARE(owner->findChildren<Tdetailform*>().size(), 0);
}

QTEST_MAIN(DetailStressTest)
#include "detail_stress_test.moc"
