#include "ui/rttgraph.h"

#include <QAreaSeries>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLegendMarker>
#include <QLineSeries>
#include <QMouseEvent>
#include <QPushButton>
#include <QSaveFile>
#include <QScatterSeries>
#include <QScrollBar>
#include <QTimer>
#include <QToolTip>
#include <QValueAxis>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "ui/dialogs.h"

namespace veltrin {

namespace {

constexpr int kRefreshMs = 500;
constexpr int kMinColumns = 30;
constexpr int kMaxColumns = 2400;
const QColor kLineColour(0x1f, 0x6f, 0xb4);
const QColor kBandColour(0x1f, 0x6f, 0xb4, 60);
const QColor kLossColour(0xd3, 0x20, 0x20);

// "0.412 ms" with the precision a value of that size deserves (microseconds below 10 ms).
QString MsText(double ms) {
    if (ms < 10) return QStringLiteral("%1 ms").arg(ms, 0, 'f', 3);
    if (ms < 1000) return QStringLiteral("%1 ms").arg(ms, 0, 'f', 1);
    return QStringLiteral("%1 ms").arg(ms, 0, 'f', 0);
}

QLineSeries* FlatLine(QChart* chart, const QColor& colour, Qt::PenStyle style) {
    auto* line = new QLineSeries(chart);
    QPen pen(colour, 1.2, style);
    line->setPen(pen);
    return line;
}

}  // namespace

RttGraph::RttGraph(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("rttgraph"));

    chart_ = new QChart;
    chart_->setMargins(QMargins(4, 4, 4, 4));
    chart_->legend()->setAlignment(Qt::AlignBottom);
    chart_->setAnimationOptions(QChart::NoAnimation);

    upper_ = new QLineSeries(chart_);
    lower_ = new QLineSeries(chart_);
    band_ = new QAreaSeries(upper_, lower_);
    band_->setName(QStringLiteral("spread"));
    band_->setPen(Qt::NoPen);
    band_->setBrush(kBandColour);
    avgseries = new QLineSeries(chart_);
    avgseries->setName(QStringLiteral("round trip"));
    avgseries->setPen(QPen(kLineColour, 1.5));
    lossseries = new QScatterSeries(chart_);
    lossseries->setName(QStringLiteral("lost"));
    lossseries->setMarkerShape(QScatterSeries::MarkerShapeRectangle);
    lossseries->setMarkerSize(7);
    lossseries->setColor(kLossColour);
    lossseries->setBorderColor(kLossColour);
    minline = FlatLine(chart_, QColor(0x2e, 0x8b, 0x57), Qt::DashLine);
    avgline = FlatLine(chart_, QColor(0x80, 0x80, 0x80), Qt::DashLine);
    maxline = FlatLine(chart_, QColor(0xc0, 0x70, 0x00), Qt::DashLine);

    xaxis_ = new QDateTimeAxis(chart_);
    xaxis_->setTickCount(5);
    yaxis_ = new QValueAxis(chart_);
    yaxis_->setLabelFormat(QStringLiteral("%.3g"));
    yaxis_->setTitleText(QStringLiteral("ms"));
    chart_->addAxis(xaxis_, Qt::AlignBottom);
    chart_->addAxis(yaxis_, Qt::AlignLeft);
    for (QAbstractSeries* s : std::initializer_list<QAbstractSeries*>{band_, avgseries, minline, avgline, maxline, lossseries}) {
        chart_->addSeries(s);
        s->attachAxis(xaxis_);
        s->attachAxis(yaxis_);
    }
    // The band explains itself; the legend names the line, the losses and the three levels.
    for (QLegendMarker* m : chart_->legend()->markers(band_)) m->setVisible(false);

    chartview = new QChartView(chart_, this);
    chartview->setObjectName(QStringLiteral("chartview"));
    chartview->setRenderHint(QPainter::Antialiasing);
    chartview->setMinimumHeight(100);  // small enough for the detail window to fit a 540-pixel-high screen
    chartview->setMouseTracking(true);
    chartview->viewport()->setMouseTracking(true);
    chartview->viewport()->installEventFilter(this);

    spanbox = new QComboBox(this);
    spanbox->setObjectName(QStringLiteral("spanbox"));
    spanbox->addItems({QStringLiteral("1 min"), QStringLiteral("10 min"), QStringLiteral("1 h"), QStringLiteral("24 h")});
    spanbox->setCurrentIndex(0);
    pausebtn = new QPushButton(QStringLiteral("Pause"), this);
    pausebtn->setObjectName(QStringLiteral("pausebtn"));
    pausebtn->setCheckable(true);
    savebtn = new QPushButton(QStringLiteral("Save picture..."), this);
    savebtn->setObjectName(QStringLiteral("savebtn"));
    scroller = new QScrollBar(Qt::Horizontal, this);
    scroller->setObjectName(QStringLiteral("scroller"));
    hoverlabel = new QLabel(this);
    hoverlabel->setObjectName(QStringLiteral("hoverlabel"));
    hoverlabel->setTextFormat(Qt::PlainText);

    auto* bar = new QHBoxLayout;
    bar->addWidget(new QLabel(QStringLiteral("Show:"), this));
    bar->addWidget(spanbox);
    bar->addWidget(pausebtn);
    bar->addWidget(hoverlabel, 1);
    bar->addWidget(savebtn);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 0, 4, 0);
    layout->setSpacing(2);
    layout->addLayout(bar);
    layout->addWidget(chartview, 1);
    layout->addWidget(scroller);

    connect(spanbox, &QComboBox::currentIndexChanged, this, [this] {
        dirty_ = true;
        Refresh();
    });
    connect(pausebtn, &QPushButton::toggled, this, [this](bool on) { SetPaused(on); });
    connect(savebtn, &QPushButton::clicked, this, [this] { SavePicture(); });
    connect(scroller, &QScrollBar::valueChanged, this, [this](int value) {
        if (scrolling_) return;
        ScrollTo(scrollbase_ + std::int64_t{value} * 1000);
    });

    timer_ = new QTimer(this);
    timer_->setInterval(kRefreshMs);
    connect(timer_, &QTimer::timeout, this, [this] {
        if (!paused_ || dirty_) Refresh();
    });
    timer_->start();
}

RttGraph::~RttGraph() = default;

std::int64_t RttGraph::Now() const { return clock_ ? clock_() : QDateTime::currentMSecsSinceEpoch(); }

void RttGraph::SetClock(std::function<std::int64_t()> clock) {
    clock_ = std::move(clock);
    dirty_ = true;
}

void RttGraph::AddReply(std::int64_t wallms, double rttms) {
    trace_.AddReply(wallms, rttms);
    dirty_ = true;
}

void RttGraph::AddLoss(std::int64_t wallms) {
    trace_.AddLoss(wallms);
    dirty_ = true;
}

void RttGraph::Clear() {
    trace_.Clear();
    minutesloadedfrom_ = 0;
    dirty_ = true;
    Refresh();
}

void RttGraph::SetMinuteSource(MinuteSource source) {
    minutesource_ = std::move(source);
    minutesloadedfrom_ = 0;
    dirty_ = true;
}

void RttGraph::SetSpanIndex(int index) { spanbox->setCurrentIndex(std::clamp(index, 0, 3)); }

std::int64_t RttGraph::SpanMs() const { return kSpansMs[std::clamp(spanbox->currentIndex(), 0, 3)]; }

void RttGraph::SetPaused(bool paused) {
    if (paused && !paused_) viewend_ = Now();
    paused_ = paused;
    if (pausebtn->isChecked() != paused) pausebtn->setChecked(paused);
    dirty_ = true;
    Refresh();
}

std::int64_t RttGraph::ViewEnd() const { return paused_ ? viewend_ : Now(); }

void RttGraph::ScrollTo(std::int64_t endms) {
    if (!paused_) SetPaused(true);
    const std::int64_t now = Now();
    // A view may start at the oldest result held but never end after now.
    const std::int64_t oldest = std::min(trace_.Oldest(), now);
    viewend_ = std::clamp(endms, std::min(oldest + SpanMs(), now), now);
    dirty_ = true;
    Refresh();
}

void RttGraph::LoadMinutes(std::int64_t sincems, std::int64_t untilms) {
    // Earlier runs matter only for the minutes before this window's own results; each stretch
    // is asked for once.
    if (!minutesource_) return;
    if (minutesloadedfrom_ != 0 && sincems >= minutesloadedfrom_) return;
    const std::int64_t upto = minutesloadedfrom_ != 0 ? minutesloadedfrom_ : untilms;
    trace_.AddMinutes(minutesource_(sincems, upto));
    minutesloadedfrom_ = sincems;
}

void RttGraph::UpdateScroller() {
    const std::int64_t now = Now();
    const std::int64_t oldest = std::min(trace_.Oldest(), now);
    scrollbase_ = std::min(oldest + SpanMs(), now);
    scrolling_ = true;
    const auto seconds = static_cast<int>(std::min<std::int64_t>((now - scrollbase_) / 1000, 1 << 30));
    scroller->setRange(0, seconds);
    scroller->setPageStep(static_cast<int>(SpanMs() / 1000));
    scroller->setValue(static_cast<int>(std::clamp<std::int64_t>((ViewEnd() - scrollbase_) / 1000, 0, seconds)));
    scrolling_ = false;
}

void RttGraph::Refresh() {
    dirty_ = false;
    const std::int64_t span = SpanMs();
    const std::int64_t until = ViewEnd();
    const std::int64_t since = until - span;
    if (span >= 10 * RttTrace::kMinuteMs) LoadMinutes(since, until);

    const int width = static_cast<int>(chart_->plotArea().width());
    const int columns = std::clamp(width > 0 ? width : 600, kMinColumns, kMaxColumns);
    columns_ = trace_.Columns(since, until, columns);
    summary_ = RttTrace::Summarize(columns_);

    QList<QPointF> avg, up, low, loss;
    avg.reserve(static_cast<qsizetype>(columns_.size()));
    for (const RttColumn& c : columns_) {
        const qreal x = static_cast<qreal>(c.startms + (c.endms - c.startms) / 2);
        if (c.replies > 0) {
            avg.append(QPointF(x, c.avgms));
            up.append(QPointF(x, c.maxms));
            low.append(QPointF(x, c.minms));
        }
    }
    const double top = summary_.replies > 0 ? std::max(summary_.maxms * 1.15, 0.01) : 1.0;
    for (const RttColumn& c : columns_)
        if (c.lost > 0) loss.append(QPointF(static_cast<qreal>(c.startms + (c.endms - c.startms) / 2), top));

    avgseries->replace(avg);
    upper_->replace(up);
    lower_->replace(low);
    lossseries->replace(loss);
    const qreal x0 = static_cast<qreal>(since), x1 = static_cast<qreal>(until);
    const bool any = summary_.replies > 0;
    minline->replace(any ? QList<QPointF>{{x0, summary_.minms}, {x1, summary_.minms}} : QList<QPointF>{});
    avgline->replace(any ? QList<QPointF>{{x0, summary_.avgms}, {x1, summary_.avgms}} : QList<QPointF>{});
    maxline->replace(any ? QList<QPointF>{{x0, summary_.maxms}, {x1, summary_.maxms}} : QList<QPointF>{});
    minline->setName(any ? QStringLiteral("min ") + MsText(summary_.minms) : QStringLiteral("min"));
    avgline->setName(any ? QStringLiteral("avg ") + MsText(summary_.avgms) : QStringLiteral("avg"));
    maxline->setName(any ? QStringLiteral("max ") + MsText(summary_.maxms) : QStringLiteral("max"));
    lossseries->setName(QStringLiteral("lost %1").arg(summary_.lost));

    xaxis_->setFormat(span <= 10 * RttTrace::kMinuteMs ? QStringLiteral("HH:mm:ss") : QStringLiteral("HH:mm"));
    xaxis_->setRange(QDateTime::fromMSecsSinceEpoch(since), QDateTime::fromMSecsSinceEpoch(until));
    yaxis_->setRange(0, top * 1.04);
    UpdateScroller();
}

QString RttGraph::HoverAt(const QPoint& pos) {
    QString text;
    if (!columns_.empty()) {
        const QPointF value = chart_->mapToValue(chart_->mapFromScene(chartview->mapToScene(pos)));
        const auto t = static_cast<std::int64_t>(value.x());
        const auto it = std::partition_point(columns_.begin(), columns_.end(),
                                             [t](const RttColumn& c) { return c.endms <= t; });
        // The nearest column that holds something, a few pixels either way.
        const auto i = static_cast<std::ptrdiff_t>(it - columns_.begin());
        for (std::ptrdiff_t d = 0; d <= 4 && text.isEmpty(); ++d) {
            for (const std::ptrdiff_t k : {i - d, i + d}) {
                if (k < 0 || k >= static_cast<std::ptrdiff_t>(columns_.size())) continue;
                const RttColumn& c = columns_[static_cast<std::size_t>(k)];
                if (c.replies == 0 && c.lost == 0) continue;
                const QString when = QDateTime::fromMSecsSinceEpoch(c.startms).toString(
                    SpanMs() <= 10 * RttTrace::kMinuteMs ? QStringLiteral("HH:mm:ss.zzz") : QStringLiteral("HH:mm:ss"));
                if (c.replies == 1) text = when + QStringLiteral("  ") + MsText(c.avgms);
                else if (c.replies > 1)
                    text = when + QStringLiteral("  avg %1 (%2 to %3, %4 replies)")
                                      .arg(MsText(c.avgms), MsText(c.minms), MsText(c.maxms))
                                      .arg(c.replies);
                else text = when;
                if (c.lost > 0) text += QStringLiteral("  %1 lost").arg(c.lost);
                break;
            }
        }
    }
    hoverlabel->setText(text);
    return text;
}

bool RttGraph::eventFilter(QObject* watched, QEvent* e) {
    if (watched == chartview->viewport() && e->type() == QEvent::MouseMove) {
        const auto* move = static_cast<QMouseEvent*>(e);
        const QString text = HoverAt(move->position().toPoint());
        if (!text.isEmpty()) QToolTip::showText(move->globalPosition().toPoint(), text, chartview);
        else QToolTip::hideText();
    } else if (watched == chartview->viewport() && e->type() == QEvent::Leave) {
        hoverlabel->clear();
    }
    return QWidget::eventFilter(watched, e);
}

QPixmap RttGraph::Picture() const { return chartview->grab(); }

bool RttGraph::SavePicture() {
    const QString chosen = ChooseSaveFile(this, QStringLiteral("Save picture"), savepath_,
                                          QStringLiteral("PNG picture|*.png"), QStringLiteral(".png"));
    if (chosen.isEmpty()) return false;
    savepath_ = chosen;
    // Written whole: a failed save leaves an existing picture of that name as it was.
    QSaveFile file(chosen);
    const QPixmap picture = Picture();
    if (!file.open(QIODevice::WriteOnly) || !picture.save(&file, "PNG") || !file.commit()) {
        const QString why = file.errorString();
        file.cancelWriting();
        ShowNotice(this, QStringLiteral("The picture could not be saved to %1.\n%2")
                             .arg(QFileInfo(chosen).absoluteFilePath(), why));
        return false;
    }
    return true;
}

}  // namespace veltrin
