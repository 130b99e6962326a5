#include "platform/filetype.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
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

// Earlier builds named their desktop entry "veltrin-ping.desktop"; left beside the new one it
// would show the program twice in menus. Only an entry that is recognisably ours goes.
void RemoveOldEntry() {
    const QString data = DataHome();
    const QString entry = data + QStringLiteral("/applications/veltrin-ping.desktop");
    QFile file(entry);
    if (!file.open(QIODevice::ReadOnly)) return;
    const QByteArray text = file.read(8192);
    file.close();
    if (text.startsWith("[Desktop Entry]\n") && text.contains("\nName=Veltrin Ping Utility\n") &&
        text.contains("\nMimeType=application/x-veltrin-spl;\n")) {
        QFile::remove(entry);
        QFile::remove(data + QStringLiteral("/icons/hicolor/256x256/apps/veltrin-ping.png"));
    }
}

}  // namespace

FileTypeFiles FileTypePaths() {
    const QString data = DataHome();
    const QString id = QString::fromLatin1(kDesktopAppId);
    return {data + QStringLiteral("/mime/packages/veltrin-ping.xml"),
            data + QStringLiteral("/applications/") + id + QStringLiteral(".desktop"),
            data + QStringLiteral("/icons/hicolor/256x256/apps/") + id + QStringLiteral(".png")};
}

QByteArray MimePackageText() {
    // The system already gives "*.spl" to another type. Two equal globs make the MIME database
    // look at the content, and only an address-log line ("<address>_   TTL ...") makes a file
    // ours. The type is deliberately no sub-class of text/plain: a text sub-class would also win
    // every other plain text file that merely ends in ".spl".
    return QByteArrayLiteral(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n"
        "  <mime-type type=\"application/x-veltrin-spl\">\n"
        "    <comment>Veltrin Ping address log</comment>\n"
        "    <generic-icon name=\"text-x-generic\"/>\n"
        "    <glob pattern=\"*.spl\"/>\n"
        "    <magic priority=\"80\">\n"
        "      <match type=\"string\" value=\"_   TTL \" offset=\"1:512\"/>\n"
        "    </magic>\n"
        "  </mime-type>\n"
        "</mime-info>\n");
}

QByteArray FileTypeDesktopEntry(const QString& programpath) {
    QString text;
    text += QStringLiteral("[Desktop Entry]\n");
    text += QStringLiteral("Type=Application\n");
    text += QStringLiteral("Name=Veltrin Ping Utility\n");
    text += QStringLiteral("GenericName=Reachability Monitor\n");
    text += QStringLiteral("Comment=Watch whether IPv4 hosts answer ping\n");
    text += QStringLiteral("Exec=") + DesktopExecArgument(QDir::toNativeSeparators(programpath)) +
            QStringLiteral(" %f\n");
    text += QStringLiteral("Icon=") + QString::fromLatin1(kDesktopAppId) + QStringLiteral("\n");
    text += QStringLiteral("Terminal=false\n");
    text += QStringLiteral("Categories=Network;Monitor;\n");
    text += QStringLiteral("Keywords=ping;ICMP;reachability;network;monitor;\n");
    text += QStringLiteral("MimeType=application/x-veltrin-spl;\n");
    return text.toUtf8();
}

bool IsInstalledProgram(const QString& programpath) {
    if (programpath.isEmpty()) return false;
    const QString folder = QFileInfo(programpath).absolutePath();
    return QFileInfo(folder + QStringLiteral("/../share/applications/") + QString::fromLatin1(kDesktopAppId) +
                     QStringLiteral(".desktop"))
        .isFile();
}

bool RegisterSplFileType(const QString& programpath, const QByteArray& iconpng) {
    // An installed program's package already registered it for every user; a copy in the home
    // would only shadow the package's files and outlive an upgrade or removal.
    if (IsInstalledProgram(programpath)) return true;
    if (DataHome().isEmpty()) return false;
    const FileTypeFiles files = FileTypePaths();
    RemoveOldEntry();
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
