// The look shared by the two reply tables (the main window's address list and the detail
// window's reply list): whole-row selection, no grid, no editing, fixed-height rows without a
// row header, left-set column widths, and lime text on a dark ground.
#pragma once

#include <QColor>
#include <vector>

class QTableView;

namespace veltrin {

struct ReplyTableLook {
    QColor ground;              // the rows' background
    std::vector<int> widths;  // column widths from the left, in pixels
};

inline const QColor kReplyText(0, 255, 0);  // lime

// Gives `view` the shared look; the caller adds what is its own (selection mode, header).
void StyleReplyTable(QTableView* view, const ReplyTableLook& look);

}  // namespace veltrin
