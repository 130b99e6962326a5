// The detail window's round-trip graph: the replies over a chosen span (1 min, 10 min, 1 h,
// 24 h), the spread of each pixel column as a band around its average, lost echoes as red marks
// along the top, the span's minimum, average and maximum as lines, the value under the mouse, a
// pause with a scroll bar to look back, and "Save picture" (PNG). Drawn with Qt Charts; the
// points are folded to the plot's pixel width first (RttTrace), so a day at the fastest pace is
// a few thousand points, not millions.
#pragma once

#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <vector>

#include "ui/rtttrace.h"

class QComboBox;
class QLabel;
class QPushButton;
class QScrollBar;
class QTimer;
class QChart;
class QChartView;
class QLineSeries;
class QScatterSeries;
class QAreaSeries;
class QDateTimeAxis;
class QValueAxis;

namespace veltrin {

class RttGraph : public QWidget {
    Q_OBJECT

  public:
    // The spans the chooser offers, in its order.
    static constexpr std::int64_t kSpansMs[] = {60'000, 600'000, 3'600'000, 86'400'000};

    explicit RttGraph(QWidget* parent = nullptr);
    ~RttGraph() override;

    void AddReply(std::int64_t wallms, double rttms);
    void AddLoss(std::int64_t wallms);
    void Clear();
    // Where minutes of earlier runs come from (empty: nowhere); asked again for each long view.
    using MinuteSource = std::function<std::vector<RttTrace::Minute>(std::int64_t sincems, std::int64_t untilms)>;
    void SetMinuteSource(MinuteSource source);
    // Wall clock in ms since the epoch; tests set their own.
    void SetClock(std::function<std::int64_t()> clock);

    // Chooser index 0..3 (kSpansMs).
    void SetSpanIndex(int index);
    std::int64_t SpanMs() const;
    void SetPaused(bool paused);
    bool Paused() const { return paused_; }
    // The end of the shown span (the clock's now while not paused).
    std::int64_t ViewEnd() const;
    // Moves the end of a paused view (pauses first).
    void ScrollTo(std::int64_t endms);

    // Rebuilds the chart from the trace now (the timer does it twice a second while live).
    void Refresh();
    const std::vector<RttColumn>& ShownColumns() const { return columns_; }
    const RttSummary& ShownSummary() const { return summary_; }
    const RttTrace& Trace() const { return trace_; }
    // The text about the column under chart position `pos` (viewport pixels), also shown in the
    // hover label: its time and value, or its loss.
    QString HoverAt(const QPoint& pos);

    // "Save picture": asks for a name (".png" added when missing, replacing asked) and writes the
    // chart as PNG. False when cancelled or not written (the user was told why).
    bool SavePicture();
    QPixmap Picture() const;

    // Controls, under the names tests use.
    QComboBox* spanbox = nullptr;
    QPushButton* pausebtn = nullptr;
    QPushButton* savebtn = nullptr;
    QScrollBar* scroller = nullptr;
    QLabel* hoverlabel = nullptr;
    QChartView* chartview = nullptr;
    QLineSeries* avgseries = nullptr;
    QScatterSeries* lossseries = nullptr;
    QLineSeries *minline = nullptr, *avgline = nullptr, *maxline = nullptr;

  protected:
    bool eventFilter(QObject* watched, QEvent* e) override;

  private:
    std::int64_t Now() const;
    void LoadMinutes(std::int64_t sincems, std::int64_t untilms);
    void UpdateScroller();

    RttTrace trace_;
    std::vector<RttColumn> columns_;
    RttSummary summary_;
    MinuteSource minutesource_;
    std::int64_t minutesloadedfrom_ = 0;  // earliest time already asked of the minute source
    std::function<std::int64_t()> clock_;
    std::int64_t viewend_ = 0;
    std::int64_t scrollbase_ = 0;
    bool paused_ = false;
    bool dirty_ = true;
    bool scrolling_ = false;  // the scroller is being set by the program, not the user
    QString savepath_;
    QTimer* timer_ = nullptr;
    QChart* chart_ = nullptr;
    QLineSeries *upper_ = nullptr, *lower_ = nullptr;
    QAreaSeries* band_ = nullptr;
    QDateTimeAxis* xaxis_ = nullptr;
    QValueAxis* yaxis_ = nullptr;
};

}  // namespace veltrin
