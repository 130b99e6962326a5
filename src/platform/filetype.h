// The ".spl" file type: a shared-mime-info package and a desktop entry under $XDG_DATA_HOME that
// open address logs with this program.
#pragma once

#include <QByteArray>
#include <QString>

namespace veltrin {

inline constexpr char kSplMimeType[] = "application/x-veltrin-spl";

struct FileTypeFiles {
    QString mimepackage;   // $XDG_DATA_HOME/mime/packages/veltrin-ping.xml
    QString desktopentry;  // $XDG_DATA_HOME/applications/veltrin-ping.desktop
    QString icon;          // $XDG_DATA_HOME/icons/hicolor/256x256/apps/veltrin-ping.png
};
FileTypeFiles FileTypePaths();

// What the two files hold for the program at `programpath`.
QByteArray MimePackageText();
QByteArray FileTypeDesktopEntry(const QString& programpath);

// Writes both files (and the icon, when `iconpng` is given) when they differ from what is there
// and, when one changed, starts update-mime-database and update-desktop-database (argument
// lists, detached, not waited for). False when the MIME package or the desktop entry could not
// be written; the icon is a nicety and its failure is not counted.
bool RegisterSplFileType(const QString& programpath, const QByteArray& iconpng = {});

}  // namespace veltrin
