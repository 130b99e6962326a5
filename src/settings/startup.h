// What the program reads at start-up into the global settings object, shared by the window and
// the console so both start from the same values.
#pragma once

#include "engine/global_unit.h"

namespace veltrin {

// Appends the location table (address.dat, found by FindDataFile) to golbal.location.
void LoadLocationFile(Tgolbal& golbal);

// The settings file in use (SettingsFilePath) into golbal.inipath, then its mail settings,
// interval, data length and probe host. A missing or unreadable file gives the defaults.
void LoadSettingsFile(Tgolbal& golbal);

}  // namespace veltrin
