// The host the connectivity check pings: key "probehost" of section "Ping setting".
#pragma once

#include <string>

namespace veltrin {

// Used when the settings file has no usable "probehost" value.
inline constexpr const char* kDefaultProbeHost = "www.example.com";

// The environment variable VELTRIN_PROBEHOST, when set to a usable host, takes precedence over
// the file (tests and demos point the check at loopback with it).
inline constexpr const char* kProbeHostVariable = "VELTRIN_PROBEHOST";

// Reads "probehost" from section "Ping setting" of the INI file at `inipath`. A missing file,
// section or key, an empty value or one that cannot be a host name gives kDefaultProbeHost.
// Section and key names match without regard to case, as the other settings do; the value is
// trimmed of blanks and of one pair of enclosing quotes.
std::string LoadProbeHost(const std::string& inipath);

// The same from the file's text; exposed so tests and fuzzing need no file.
std::string ProbeHostFromText(const std::string& text);

}  // namespace veltrin
