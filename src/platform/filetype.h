// The ".spl" file type: a shared-mime-info package and a desktop entry under $XDG_DATA_HOME that
// open address logs with this program.
#pragma once

#include <QString>

namespace veltrin {

inline constexpr char kSplMimeType[] = "application/x-veltrin-spl";

struct FileTypeFiles {
    QString mimepackage;   // $XDG_DATA_HOME/mime/packages/veltrin-ping.xml
    QString desktopentry;  // $XDG_DATA_HOME/applications/veltrin-ping.desktop
};
FileTypeFiles FileTypePaths();

// What the two files hold for the program at `programpath`.
QByteArray MimePackageText();
QByteArray FileTypeDesktopEntry(const QString& programpath);

// Writes both files when they differ from what is there and, when one changed, starts
// update-mime-database and update-desktop-database (argument lists, detached, not waited for).
// False when a file could not be written.
bool RegisterSplFileType(const QString& programpath);

}  // namespace veltrin
