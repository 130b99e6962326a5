#include "ui/sparkdelegate.h"

#include <QApplication>
#include <QPainter>
#include <QStyle>
#include <algorithm>
#include <cmath>

namespace veltrin {

QColor LostTickColour() { return QColor(235, 40, 40); }

void PaintSparkline(QPainter& painter, const QRect& rect, const Sparkline& spark, const QColor& colour) {
    const QRect area = rect.adjusted(2, 2, -2, -2);
    if (area.width() < 2 || area.height() < 2 || spark.count <= 0) return;
    const int count = std::min(spark.count, Sparkline::kSize);
    float top = 0;
    for (int i = 0; i < count; ++i) top = std::max(top, spark.values[static_cast<std::size_t>(i)]);
    // Each row against its own largest round trip: the shape of its latency, not a level.
    const double scale = top > 0 ? 1.0 / static_cast<double>(top) : 0.0;
    const double slot = static_cast<double>(area.width()) / Sparkline::kSize;
    const int barwidth = std::max(1, static_cast<int>(std::floor(slot)) - (slot >= 3 ? 1 : 0));
    const QColor lost = LostTickColour();
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(Qt::NoPen);
    // Newest at the right edge; a row with fewer results leaves the left part empty.
    const int first = Sparkline::kSize - count;
    for (int i = 0; i < count; ++i) {
        const float v = spark.values[static_cast<std::size_t>(i)];
        const int x = area.left() + static_cast<int>(std::floor(slot * (first + i)));
        if (v < 0) {
            painter.fillRect(QRect(x, area.top(), barwidth, area.height()), lost);
            continue;
        }
        const int h = std::clamp(static_cast<int>(std::lround(v * scale * area.height())), 1, area.height());
        painter.fillRect(QRect(x, area.bottom() + 1 - h, barwidth, h), colour);
    }
    painter.restore();
}

void SparklineDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QWidget* widget = option.widget;
    QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
    // The cell's own background and selection, as every other cell has it.
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &opt, painter, widget);
    const QVariant value = index.data(AddressListModel::SparkRole);
    if (!value.canConvert<Sparkline>()) return;
    const bool selected = (option.state & QStyle::State_Selected) != 0;
    const QColor colour = option.palette.color(selected ? QPalette::HighlightedText : QPalette::Text);
    PaintSparkline(*painter, option.rect, value.value<Sparkline>(), colour);
}

QSize SparklineDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    return QStyledItemDelegate::sizeHint(option, index).expandedTo(QSize(Sparkline::kSize * 2 + 4, 0));
}

}  // namespace veltrin
