#include "settings/probehost.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>

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

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

std::string Trim(const std::string& text) {
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && IsBlank(text[first])) ++first;
    while (last > first && IsBlank(text[last - 1])) --last;
    return text.substr(first, last - first);
}

// Letters, digits, '-', '.', '_' only: the resolver gets nothing else, and a value such as
// "-x" or one with blanks inside is a typing slip, not a host.
bool UsableHost(const std::string& host) {
    if (host.empty() || host.size() > kMaxHostName) return false;
    if (host.front() == '-' || host.front() == '.') return false;
    return std::all_of(host.begin(), host.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
               c == '.' || c == '_';
    });
}

}  // namespace

std::string ProbeHostFromText(const std::string& text) {
    try {
        IniFile ini;
        ini.Parse(text);
        std::string stored;
        if (!ini.Find("Ping setting", "probehost", stored)) return kDefaultProbeHost;
        std::string value = Trim(UnescapeIniValue(stored));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = Trim(value.substr(1, value.size() - 2));
        if (value.size() > kMaxValue) value.resize(kMaxValue);
        return UsableHost(value) ? value : kDefaultProbeHost;
    } catch (...) {
        // Out of memory while reading: fall back like a missing key.
        return kDefaultProbeHost;
    }
}

std::string LoadProbeHost(const std::string& inipath) {
    try {
        if (const char* chosen = std::getenv(kProbeHostVariable); chosen != nullptr) {
            std::string value = Trim(chosen);
            if (value.size() <= kMaxValue && UsableHost(value)) return value;
        }
        std::ifstream in(inipath, std::ios::binary);
        if (!in) return kDefaultProbeHost;
        std::string text;
        text.resize(kMaxFileBytes);
        in.read(text.data(), static_cast<std::streamsize>(kMaxFileBytes));
        text.resize(static_cast<std::size_t>(in.gcount()));
        return ProbeHostFromText(text);
    } catch (...) {
        return kDefaultProbeHost;
    }
}

}  // namespace veltrin
