// Start at logon: the XDG autostart entry "Korbel.desktop" under $XDG_CONFIG_HOME/autostart.
#pragma once

#include <QByteArray>
#include <QString>

namespace veltrin::autostart {

enum class State { Present, Absent, Failed };

QString EntryPath();
QByteArray EntryText(const QString& programpath);

// Present when the entry exists as a file; Failed when the folder or the entry can't be looked
// at (for example a plain file where the autostart folder should be).
State Detect();
// Writes the entry that starts `programpath` (whole, creating the folder). False on failure.
bool Enable(const QString& programpath);
// Removes the entry. True when it is gone afterwards (also when there was none).
bool Disable();

}  // namespace veltrin::autostart
