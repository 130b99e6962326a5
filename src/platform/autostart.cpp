#include "platform/autostart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include "platform/desktopentry.h"

namespace veltrin::autostart {

QString EntryPath() {
    // Honours $XDG_CONFIG_HOME, else ~/.config.
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return config + QStringLiteral("/autostart/Korbel.desktop");
}

QByteArray EntryText(const QString& programpath) {
    QString text;
    text += QStringLiteral("[Desktop Entry]\n");
    text += QStringLiteral("Type=Application\n");
    text += QStringLiteral("Name=Veltrin Ping Utility\n");
    text += QStringLiteral("Exec=") + DesktopExecArgument(QDir::toNativeSeparators(programpath)) + u'\n';
    text += QStringLiteral("Icon=veltrin-ping\n");
    text += QStringLiteral("Terminal=false\n");
    text += QStringLiteral("X-GNOME-Autostart-enabled=true\n");
    return text.toUtf8();
}

State Detect() {
    const QFileInfo entry(EntryPath());
    const QFileInfo folder(entry.absolutePath());
    if (folder.exists() && !folder.isDir()) return State::Failed;
    if (!folder.exists()) return State::Absent;
    if (!folder.isReadable() || !folder.isExecutable()) return State::Failed;
    if (!entry.exists()) return entry.isSymLink() ? State::Failed : State::Absent;
    return entry.isFile() ? State::Present : State::Failed;
}

bool Enable(const QString& programpath) {
    return WriteFileIfDifferent(EntryPath(), EntryText(programpath)) != WriteOutcome::Failed;
}

bool Disable() {
    const QString path = EntryPath();
    const QFileInfo entry(path);
    if (!entry.exists() && !entry.isSymLink()) return true;
    if (entry.isDir()) return false;
    return QFile::remove(path);
}

}  // namespace veltrin::autostart
