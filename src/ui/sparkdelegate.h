// Draws the main list's History column: one bar per result, newest at the right, its height the
// round trip against the row's own largest, a red full-height tick for a lost echo. The view
// asks only for the rows on screen, so a list of 100,000 rows costs no more than a screenful.
#pragma once

#include <QStyledItemDelegate>

#include "ui/addresslistmodel.h"

class QPainter;

namespace veltrin {

// The colour of a lost echo's tick.
QColor LostTickColour();

// Paints `spark` into `rect` with bars of `colour`.
void PaintSparkline(QPainter& painter, const QRect& rect, const Sparkline& spark, const QColor& colour);

class SparklineDelegate : public QStyledItemDelegate {
    Q_OBJECT

  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

}  // namespace veltrin
