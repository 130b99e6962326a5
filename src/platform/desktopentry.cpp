#include "platform/desktopentry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace veltrin {

QString DesktopExecArgument(const QString& argument) {
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool quote = argument.isEmpty();
    for (const QChar c : argument) {
        if (reserved.contains(c)) {
            quote = true;
            break;
        }
    }
    QString out;
    if (!quote) {
        out = argument;
    } else {
        out = QStringLiteral("\"");
        for (const QChar c : argument) {
            if (c == u'"' || c == u'`' || c == u'$' || c == u'\\') out += u'\\';
            out += c;
        }
        out += u'"';
    }
    // A literal percent sign is doubled in Exec; then the string-value escapes apply.
    out.replace(QStringLiteral("%"), QStringLiteral("%%"));
    return DesktopStringValue(out);
}

QString DesktopStringValue(const QString& value) {
    QString out;
    out.reserve(value.size());
    for (const QChar c : value) {
        if (c == u'\\') {
            out += QStringLiteral("\\\\");
        } else if (c == u'\n') {
            out += QStringLiteral("\\n");
        } else if (c == u'\t') {
            out += QStringLiteral("\\t");
        } else if (c == u'\r') {
            out += QStringLiteral("\\r");
        } else {
            out += c;
        }
    }
    return out;
}

WriteOutcome WriteFileIfDifferent(const QString& path, const QByteArray& bytes) {
    QFile current(path);
    if (current.open(QIODevice::ReadOnly)) {
        // Anything much larger than what we write is not ours to compare in full.
        const QByteArray old = current.read(bytes.size() + 1);
        current.close();
        if (old == bytes) return WriteOutcome::Unchanged;
    }
    const QFileInfo info(path);
    if (!QDir().mkpath(info.absolutePath())) return WriteOutcome::Failed;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return WriteOutcome::Failed;
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return WriteOutcome::Failed;
    }
    return file.commit() ? WriteOutcome::Written : WriteOutcome::Failed;
}

}  // namespace veltrin
