// The INI settings file ("korbel setting.ini").
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/u_header.h"

namespace veltrin {

// Every mail key ("authentication" and "savetime" included) lives in section "mailsetting",
// "datalength" and "interval" in "Ping setting"; each is read from the section it is saved in.
// A missing, unreadable or malformed file or key gives that key's default. Text values are
// stored escaped so that line breaks stay on one line (EscapeIniValue in settings/inifile.h).
// The saves rewrite the whole file (temporary file, then rename) with mode 0600, keep every line
// they do not change, and return false, leaving the old file as it was, when the write fails.
// Largest settings file read or written. A save whose text would pass it is refused (the old
// file stays), so a file this program wrote always reads back.
inline constexpr std::size_t kMaxSettingsFileBytes = std::size_t{16} << 20;

void LoadSettings(const std::string& inipath, Tmailsetting& mail, std::int32_t& interval, std::int32_t& datalength);
bool SaveMailSettings(const std::string& inipath, const Tmailsetting& mail);
bool SaveAdvancedSettings(const std::string& inipath, std::int32_t savetime, std::int32_t datalength,
                          std::int32_t interval);
// The same, with the reason for a false return in `error` (when given) for the user to read.
bool SaveMailSettings(const std::string& inipath, const Tmailsetting& mail, std::string* error);
bool SaveAdvancedSettings(const std::string& inipath, std::int32_t savetime, std::int32_t datalength,
                          std::int32_t interval, std::string* error);

}  // namespace veltrin
