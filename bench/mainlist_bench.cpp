// The main window's list at 100,000 rows: importing an address log, applying one echo reply
// (every row resolved and compared, the matching rows written, the view told), and repainting
// the visible rows. Offscreen; the reply needs raw ICMP sockets (root or CAP_NET_RAW) and only
// pings loopback.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QTableView>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "engine/global_unit.h"
#include "engine/icmp_socket.h"
#include "monitor/addresslist.h"
#include "monitor/monitor.h"
#include "ui/addresslistmodel.h"
#include "ui/handover.h"
#include "ui/mainfm.h"

namespace {

constexpr int kRows = 100000;

QTemporaryDir* tempdir = nullptr;

// An address log of kRows rows: 127.0.0.1 .. 127.0.0.200 over and over.
const QString& ListFile() {
    static const QString path = [] {
        const QString p = tempdir->path() + QStringLiteral("/big.spl");
        QFile f(p);
        if (f.open(QIODevice::WriteOnly)) {
            QByteArray bytes;
            for (int i = 0; i < kRows; ++i)
                bytes += "127.0.0." + QByteArray::number(i % 200 + 1) + "_   TTL  Timeout     \r\r\n";
            f.write(bytes);
        }
        return p;
    }();
    return path;
}

Tmainform& Window() {
    static Tmainform* window = [] {
        auto* w = new Tmainform(QStringList{});
        w->show();
        QCoreApplication::processEvents();
        return w;
    }();
    return *window;
}

void BM_Import100k(benchmark::State& state) {
    Tmainform& w = Window();
    const QString path = ListFile();
    for (auto _ : state) {
        state.PauseTiming();
        w.ClearAllAddresses();
        QCoreApplication::processEvents();
        state.ResumeTiming();
        w.ImportAddressPath(path);
        QCoreApplication::processEvents();  // the view takes the new rows
    }
    state.counters["rows"] = w.list().Count();
}
BENCHMARK(BM_Import100k)->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_Repaint100k(benchmark::State& state) {
    Tmainform& w = Window();
    if (w.list().Count() != kRows) {
        w.ClearAllAddresses();
        w.ImportAddressPath(ListFile());
    }
    QTableView* view = w.ListV1();
    view->scrollTo(view->model()->index(kRows / 2, 0));
    QCoreApplication::processEvents();
    for (auto _ : state) {
        view->viewport()->repaint();
    }
    state.counters["rows"] = w.list().Count();
}
BENCHMARK(BM_Repaint100k)->Unit(benchmark::kMillisecond);

// Times every window-thread step the monitor hands over; steps that take longer than a
// millisecond on this list are the reply steps (the row pick resolves one row only).
class TimingHandOver : public veltrin::HandOver {
  public:
    bool Run(veltrin::Gate& gate, std::function<void()> step) override {
        return veltrin::WindowHandOver().Run(gate, [this, step = std::move(step)] {
            QElapsedTimer timer;
            timer.start();
            step();
            const qint64 ns = timer.nsecsElapsed();
            if (ns > 1000000) {
                last_.store(ns);
                replies_.fetch_add(1);
            }
        });
    }
    int replies() const { return replies_.load(); }
    double lastseconds() const { return static_cast<double>(last_.load()) / 1e9; }

  private:
    std::atomic<int> replies_{0};
    std::atomic<qint64> last_{0};
};

class NoEvents : public veltrin::MonitorEvents {
    void StatusChanged(bool) override {}
    void FatalError(const std::string&) override {}
    void RawSocketUnavailable(const std::string&) override {}
};

void BM_OneReply100k(benchmark::State& state) {
    veltrin::IcmpSocket probe;
    if (!probe.ok()) {
        state.SkipWithError("raw ICMP sockets need root or CAP_NET_RAW");
        return;
    }
    // Every row is the address that answers, so each reply writes all 100,000 rows: the worst case.
    veltrin::AddressList list;
    std::vector<veltrin::AddressRow> rows(kRows);
    for (auto& row : rows) row.address = "127.0.0.1";
    list.AppendRows(std::move(rows));
    veltrin::AddressListModel model(list);
    QTableView view;
    view.verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view.setModel(&model);
    view.resize(585, 480);
    view.show();
    TimingHandOver handover;
    NoEvents events;
    veltrin::Monitor monitor(list, handover, events, [] { return std::string("1"); });
    monitor.Start();
    for (auto _ : state) {
        const int before = handover.replies();
        QElapsedTimer waited;
        waited.start();
        while (handover.replies() == before) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            if (waited.elapsed() > 10000) {
                state.SkipWithError("no echo reply from 127.0.0.1 within 10 s");
                monitor.Stop();
                return;
            }
        }
        // The view's update for the changed rows.
        QElapsedTimer flush;
        flush.start();
        QCoreApplication::processEvents();
        state.SetIterationTime(handover.lastseconds() + static_cast<double>(flush.nsecsElapsed()) / 1e9);
    }
    monitor.Stop();
    state.counters["rows"] = list.Count();
}
BENCHMARK(BM_OneReply100k)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(10);

}  // namespace

int main(int argc, char** argv) {
    QTemporaryDir dir;
    tempdir = &dir;
    // Desktop files and settings go to a temporary home.
    qputenv("HOME", QFile::encodeName(dir.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path() + QStringLiteral("/config")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir.path() + QStringLiteral("/data")));
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    veltrin::EngineStartup();
    int result = 0;
    {
        QApplication app(argc, argv);
        benchmark::Initialize(&argc, argv);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        delete &Window();
    }
    veltrin::EngineShutdown();
    return result;
}
