// The ".spl" file type: a shared-mime-info package and a desktop entry that open address logs
// with this program. An installed program relies on the copies its package put under
// <prefix>/share; a program started from a build tree writes its own under $XDG_DATA_HOME.
#pragma once

#include <QByteArray>
#include <QString>

namespace veltrin {

inline constexpr char kSplMimeType[] = "application/x-veltrin-spl";
// The desktop application id: the desktop entry's and the icon's name, and the AppStream id.
inline constexpr char kDesktopAppId[] = "org.veltrin.VeltrinPing";

struct FileTypeFiles {
    QString mimepackage;   // $XDG_DATA_HOME/mime/packages/veltrin-ping.xml
    QString desktopentry;  // $XDG_DATA_HOME/applications/org.veltrin.VeltrinPing.desktop
    QString icon;          // $XDG_DATA_HOME/icons/hicolor/256x256/apps/org.veltrin.VeltrinPing.png
};
FileTypeFiles FileTypePaths();

// What the two files hold for the program at `programpath`. The installed copies are exactly
// MimePackageText() and FileTypeDesktopEntry("veltrin-ping").
QByteArray MimePackageText();
QByteArray FileTypeDesktopEntry(const QString& programpath);

// True when the program at `programpath` is part of an installation: its prefix holds our
// desktop entry (<folder>/../share/applications/org.veltrin.VeltrinPing.desktop).
bool IsInstalledProgram(const QString& programpath);

// For an installed program: nothing to do, nothing is written, true.
// Otherwise writes both files (and the icon, when `iconpng` is given) when they differ from
// what is there and, when one changed, starts update-mime-database and update-desktop-database
// (argument lists, detached, not waited for). False when the MIME package or the desktop entry
// could not be written; the icon is a nicety and its failure is not counted.
bool RegisterSplFileType(const QString& programpath, const QByteArray& iconpng = {});

}  // namespace veltrin
