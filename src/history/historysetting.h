// Whether results are kept, and where: one key of the settings file and one file in the
// program's data folder. Qt-free.
#pragma once

#include <string>

namespace veltrin {

// Section "Ping setting", key "history": 1 (default) keeps results in the history database,
// 0 keeps none.
inline constexpr char kHistoryKey[] = "history";
bool HistoryEnabled(const std::string& inipath);
bool SetHistoryEnabled(const std::string& inipath, bool enabled);

// <data folder>/history.sqlite: the program's folder in portable use, else
// $XDG_DATA_HOME/veltrin-ping (~/.local/share/veltrin-ping).
std::string HistoryDatabasePath();

}  // namespace veltrin
