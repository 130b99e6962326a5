#include "ui/keyfilter.h"

#include <QKeyEvent>

namespace veltrin {

bool IsEnterKey(const QKeyEvent* key) { return key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter; }

bool SwallowNonDigitKey(const QKeyEvent* key, QStringView extra) {
    switch (key->key()) {
        case Qt::Key_Backspace:
        case Qt::Key_Delete:
        case Qt::Key_Tab:
        case Qt::Key_Backtab:
        case Qt::Key_Escape:
            return false;
        default:
            break;
    }
    const QString text = key->text();
    if (text.isEmpty()) return false;  // cursor keys and the like type nothing
    if (text.size() != 1) return true;
    const QChar c = text.front();
    return !((c >= u'0' && c <= u'9') || extra.contains(c));
}

bool IsRepeatedEnter(const QKeyEvent* key) { return key->isAutoRepeat() && IsEnterKey(key); }

}  // namespace veltrin
