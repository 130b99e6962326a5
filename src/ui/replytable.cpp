#include "ui/replytable.h"

#include <QHeaderView>
#include <QPalette>
#include <QTableView>

namespace veltrin {

void StyleReplyTable(QTableView* view, const ReplyTableLook& look) {
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setShowGrid(false);
    view->setWordWrap(false);
    QHeaderView* rows = view->verticalHeader();
    rows->hide();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    for (int c = 0; c < static_cast<int>(look.widths.size()); ++c)
        view->horizontalHeader()->resizeSection(c, look.widths[static_cast<std::size_t>(c)]);
    QPalette palette = view->palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::Base, look.ground);
        palette.setColor(group, QPalette::Window, look.ground);
        palette.setColor(group, QPalette::Text, kReplyText);
    }
    view->setPalette(palette);
}

}  // namespace veltrin
