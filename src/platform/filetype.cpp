#include "platform/filetype.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>

#include "platform/desktopentry.h"

namespace veltrin {

namespace {

QString DataHome() {
    // Honours $XDG_DATA_HOME, else ~/.local/share.
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
}

void StartTool(const QString& name, const QStringList& arguments) {
    const QString program = QStandardPaths::findExecutable(name);
    if (program.isEmpty()) return;
    QProcess::startDetached(program, arguments);
}

}  // namespace

FileTypeFiles FileTypePaths() {
    const QString data = DataHome();
    return {data + QStringLiteral("/mime/packages/veltrin-ping.xml"),
            data + QStringLiteral("/applications/veltrin-ping.desktop"),
            data + QStringLiteral("/icons/hicolor/256x256/apps/veltrin-ping.png")};
}

QByteArray MimePackageText() {
    return QByteArrayLiteral(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n"
        "  <mime-type type=\"application/x-veltrin-spl\">\n"
        "    <comment>spl File</comment>\n"
        "    <sub-class-of type=\"text/plain\"/>\n"
        "    <icon name=\"veltrin-ping\"/>\n"
        "    <glob pattern=\"*.spl\"/>\n"
        "  </mime-type>\n"
        "</mime-info>\n");
}

QByteArray FileTypeDesktopEntry(const QString& programpath) {
    QString text;
    text += QStringLiteral("[Desktop Entry]\n");
    text += QStringLiteral("Type=Application\n");
    text += QStringLiteral("Name=Veltrin Ping Utility\n");
    text += QStringLiteral("Comment=Watch whether IPv4 hosts answer ping\n");
    text += QStringLiteral("Exec=") + DesktopExecArgument(QDir::toNativeSeparators(programpath)) +
            QStringLiteral(" %f\n");
    text += QStringLiteral("Icon=veltrin-ping\n");
    text += QStringLiteral("Terminal=false\n");
    text += QStringLiteral("Categories=Network;Monitor;\n");
    text += QStringLiteral("MimeType=application/x-veltrin-spl;\n");
    return text.toUtf8();
}

bool RegisterSplFileType(const QString& programpath, const QByteArray& iconpng) {
    if (DataHome().isEmpty()) return false;
    const FileTypeFiles files = FileTypePaths();
    const WriteOutcome mime = WriteFileIfDifferent(files.mimepackage, MimePackageText());
    const WriteOutcome desktop = WriteFileIfDifferent(files.desktopentry, FileTypeDesktopEntry(programpath));
    if (!iconpng.isEmpty()) WriteFileIfDifferent(files.icon, iconpng);
    const QString data = DataHome();
    if (mime == WriteOutcome::Written)
        StartTool(QStringLiteral("update-mime-database"), {data + QStringLiteral("/mime")});
    if (desktop == WriteOutcome::Written)
        StartTool(QStringLiteral("update-desktop-database"), {data + QStringLiteral("/applications")});
    return mime != WriteOutcome::Failed && desktop != WriteOutcome::Failed;
}

}  // namespace veltrin
