#include "history/historysetting.h"

#include "history/historystore.h"
#include "settings/paths.h"
#include "settings/settingsfile.h"

namespace veltrin {

bool HistoryEnabled(const std::string& inipath) { return LoadPingInteger(inipath, kHistoryKey, 1) != 0; }

bool SetHistoryEnabled(const std::string& inipath, bool enabled) {
    return SavePingInteger(inipath, kHistoryKey, enabled ? 1 : 0);
}

std::string HistoryDatabasePath() { return AutoLogDirectory() + kHistoryFileName; }

}  // namespace veltrin
