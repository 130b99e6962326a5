#include "settings/probehost.h"

#include <algorithm>
#include <cstdlib>

#include "engine/global_unit.h"
#include "logs/wholefile.h"
#include "settings/inifile.h"

namespace veltrin {

namespace {

// Settings files are a few hundred bytes; anything far larger is not ours and is read only
// as far as this, so a huge or endless file cannot stall start-up.
constexpr std::size_t kMaxFileBytes = 1u << 20;
// Values are read back up to 2047 characters, as every other setting.
constexpr std::size_t kMaxValue = 2047;
// A DNS name is at most 253 characters; a longer value cannot be a host.
constexpr std::size_t kMaxHostName = 253;

}  // namespace

// Letters, digits, '-', '.', '_' only: the resolver gets nothing else, and a value such as
// "-x" or one with blanks inside is a typing slip, not a host.
bool UsableProbeHost(const std::string& host) {
    if (host.empty() || host.size() > kMaxHostName) return false;
    if (host.front() == '-' || host.front() == '.') return false;
    return std::all_of(host.begin(), host.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
               c == '.' || c == '_';
    });
}

std::string ProbeHostFromText(const std::string& text) {
    try {
        IniFile ini;
        ini.Parse(text);
        std::string stored;
        if (!ini.Find("Ping setting", kProbeHostKey, stored)) return kDefaultProbeHost;
        std::string value = TrimText(UnescapeIniValue(stored));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = TrimText(value.substr(1, value.size() - 2));
        if (value.size() > kMaxValue) value.resize(kMaxValue);
        if (value.empty()) return std::string();  // the check is off
        return UsableProbeHost(value) ? value : kDefaultProbeHost;
    } catch (...) {
        // Out of memory while reading: fall back like a missing key.
        return kDefaultProbeHost;
    }
}

std::string LoadProbeHost(const std::string& inipath) {
    try {
        if (const char* chosen = std::getenv(kProbeHostVariable); chosen != nullptr) {
            std::string value = TrimText(chosen);
            if (value.size() <= kMaxValue && UsableProbeHost(value)) return value;
        }
        // Read like the other settings: never blocking on a special file, never more than a
        // settings file can be.
        std::string text;
        if (ReadWholeFile(inipath, kMaxFileBytes, text) != 0) return kDefaultProbeHost;
        return ProbeHostFromText(text);
    } catch (...) {
        return kDefaultProbeHost;
    }
}

}  // namespace veltrin
