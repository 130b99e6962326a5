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

// One integer key of section "Ping setting" (the desktop options: "keeplist", "hotkeys"), read
// with the same rules, `fallback` when missing or malformed; saved like the others.
inline constexpr char kKeepListKey[] = "keeplist";  // 1 (default): the list is kept between runs
// 1: the sweep pace (every row once per interval, in list order); 0 (default): the random pick.
inline constexpr char kSweepKey[] = "sweep";
// The global hot keys: 1 (default) Ctrl+Alt+O/S/T/P, 2 Ctrl+O/S/T/P, 0 none.
inline constexpr char kHotKeysKey[] = "hotkeys";
inline constexpr std::int32_t kHotKeysOff = 0, kHotKeysCtrlAlt = 1, kHotKeysCtrl = 2;
std::int32_t LoadPingInteger(const std::string& inipath, const char* key, std::int32_t fallback);
bool SavePingInteger(const std::string& inipath, const char* key, std::int32_t value);
// One text key of the same section ("probehost"), stored escaped like the other texts.
bool SavePingText(const std::string& inipath, const char* key, const std::string& value);

// ---- additions beyond the fixed interface -------------------------------------------------

// Reachability: how long an echo may stay unanswered, how many lost in a row make a host "not
// answering", and the two alerts. Kept in section "Reachability" of the same file.
struct ReachSettings {
    std::int32_t timeoutms = 2000;  // 100..600000
    std::int32_t lostcount = 2;     // 1..1000
    bool notifications = true;      // desktop notification on a change
    bool mailalert = false;         // mail to the report's recipients on a change
};
constexpr std::int32_t kMinReachTimeoutMs = 100, kMaxReachTimeoutMs = 600000;
constexpr std::int32_t kMinReachLostCount = 1, kMaxReachLostCount = 1000;

// A missing key or a value outside its range gives that key's default.
void LoadReachSettings(const std::string& inipath, ReachSettings& reach);
// Values outside their ranges are pinned to the nearest end before they are stored.
bool SaveReachSettings(const std::string& inipath, const ReachSettings& reach);

}  // namespace veltrin
