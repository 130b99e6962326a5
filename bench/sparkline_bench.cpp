// Painting the pictures of round-trip times, offscreen:
// - the main list's History column for a screenful of rows when the list holds 100,000 rows,
//   each with a full strip of 60 results (the view asks for the rows on screen only);
// - the detail graph over 24 h at the fastest pace: folding the trace to the plot's width and
//   drawing it with Qt Charts, next to handing Qt Charts the raw points themselves (what the
//   folding is there to avoid).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QHeaderView>
#include <QImage>
#include <QLineSeries>
#include <QPainter>
#include <QTableView>
#include <QValueAxis>
#include <cstdint>
#include <memory>
#include <string>

#include "monitor/addresslist.h"
#include "ui/addresslistmodel.h"
#include "ui/rttgraph.h"
#include "ui/rtttrace.h"
#include "ui/sparkdelegate.h"

namespace {

constexpr int kRows = 100000;

struct BigList {
    veltrin::AddressList list;
    std::unique_ptr<veltrin::AddressListModel> model;
    QTableView view;
    BigList() {
        for (int i = 0; i < kRows; ++i) {
            list.Append("127.0." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1));
            veltrin::RowStatus s;
            for (int k = 0; k < veltrin::RowStatus::kHistory; ++k)
                s.AddHistory((i + k) % 17 == 0 ? -1.0f : 0.03f + static_cast<float>((i * 7 + k * 13) % 100) / 100.0f);
            s.lastrttms = 0.5;
            list.SetStatus(i, s);
        }
        model = std::make_unique<veltrin::AddressListModel>(list);
        model->FlushChanges();
        view.setModel(model.get());
        view.setItemDelegateForColumn(veltrin::AddressListModel::HistoryColumn, new veltrin::SparklineDelegate(&view));
        for (int c = 1; c < veltrin::AddressListModel::HistoryColumn; ++c) view.setColumnHidden(c, true);
        view.setColumnWidth(0, 150);
        view.setColumnWidth(veltrin::AddressListModel::HistoryColumn, 140);
        view.verticalHeader()->setDefaultSectionSize(view.fontMetrics().height() + 4);
        view.resize(1024, 768);
        view.show();
        QCoreApplication::processEvents();
    }
};

BigList& List() {
    static BigList* list = new BigList;
    return *list;
}

// The History column of every row on screen, drawn through the view as a repaint draws it.
void BM_SparklineColumnScreenful(benchmark::State& state) {
    BigList& b = List();
    b.view.scrollTo(b.model->index(kRows / 2, 0));
    QCoreApplication::processEvents();
    const int x = b.view.columnViewportPosition(veltrin::AddressListModel::HistoryColumn);
    const QRect strip(x, 0, b.view.columnWidth(veltrin::AddressListModel::HistoryColumn), b.view.viewport()->height());
    QImage image(b.view.viewport()->size(), QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        b.view.viewport()->render(&image, strip.topLeft(), QRegion(strip));
        benchmark::DoNotOptimize(image.bits());
    }
    state.counters["rows_on_screen"] = b.view.rowAt(b.view.viewport()->height() - 1) - b.view.rowAt(0) + 1;
}
BENCHMARK(BM_SparklineColumnScreenful)->Unit(benchmark::kMicrosecond);

// The delegate's painting alone, per row.
void BM_PaintOneSparkline(benchmark::State& state) {
    BigList& b = List();
    QImage image(140, 20, QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&image);
    int row = 0;
    for (auto _ : state) {
        const veltrin::Sparkline spark = b.model->SparklineOf(row);
        veltrin::PaintSparkline(painter, image.rect(), spark, Qt::green);
        row = (row + 7919) % kRows;
    }
}
BENCHMARK(BM_PaintOneSparkline)->Unit(benchmark::kNanosecond);

// 24 h of results at one every `stepms`, the newest now.
void Fill(veltrin::RttTrace& trace, std::int64_t now, std::int64_t stepms) {
    for (std::int64_t t = now - 86'400'000; t < now; t += stepms)
        trace.AddReply(t, 0.05 + static_cast<double>(t % 97) / 1000.0);
}

// Folding a full trace (1,000,000 raw results, the seconds and the minutes) to 1,000 columns.
void BM_TraceColumns(benchmark::State& state) {
    static veltrin::RttTrace* trace = [] {
        auto* t = new veltrin::RttTrace;
        Fill(*t, 1'700'000'000'000, 20);  // 4.3 million results; the last million stay raw
        return t;
    }();
    const std::int64_t span = state.range(0);
    for (auto _ : state) {
        auto columns = trace->Columns(1'700'000'000'000 - span, 1'700'000'000'000, 1000);
        benchmark::DoNotOptimize(columns.data());
    }
}
BENCHMARK(BM_TraceColumns)->Arg(60'000)->Arg(3'600'000)->Arg(86'400'000)->Unit(benchmark::kMillisecond);

// The graph's refresh and one paint of the chart, 24 h view, over that trace.
void BM_GraphRefreshAndPaint24h(benchmark::State& state) {
    static veltrin::RttGraph* graph = [] {
        auto* g = new veltrin::RttGraph;
        g->resize(1000, 400);
        const std::int64_t now = 1'700'000'000'000;
        g->SetClock([now] { return now; });
        for (std::int64_t t = now - 86'400'000; t < now; t += 20) g->AddReply(t, 0.05 + static_cast<double>(t % 97) / 1000.0);
        g->SetSpanIndex(3);
        g->show();
        QCoreApplication::processEvents();
        return g;
    }();
    QImage image(graph->chartview->size(), QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        graph->Refresh();
        graph->chartview->QWidget::render(&image);
        benchmark::DoNotOptimize(image.bits());
    }
    state.counters["points"] = static_cast<double>(graph->avgseries->count());
}
BENCHMARK(BM_GraphRefreshAndPaint24h)->Unit(benchmark::kMillisecond);

// Qt Charts handed the raw points: replace and paint a line of N points.
void BM_QtChartsRawPoints(benchmark::State& state) {
    const auto n = static_cast<qsizetype>(state.range(0));
    QList<QPointF> points;
    points.reserve(n);
    for (qsizetype i = 0; i < n; ++i) points.append(QPointF(static_cast<qreal>(i), 0.05 + static_cast<qreal>(i % 97) / 1000.0));
    QChart* chart = new QChart;
    auto* line = new QLineSeries;
    chart->addSeries(line);
    chart->createDefaultAxes();
    chart->axes(Qt::Horizontal).first()->setRange(0, static_cast<qreal>(n));
    chart->axes(Qt::Vertical).first()->setRange(0, 0.2);
    QChartView view(chart);
    view.resize(1000, 400);
    view.show();
    QCoreApplication::processEvents();
    QImage image(view.size(), QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        line->replace(points);
        view.QWidget::render(&image);
        benchmark::DoNotOptimize(image.bits());
    }
}
BENCHMARK(BM_QtChartsRawPoints)->Arg(1000)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
