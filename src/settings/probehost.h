// The host the connectivity check pings: key "probehost" of section "Ping setting".
#pragma once

#include <string>

namespace veltrin {

// Used when the settings file has no usable "probehost" value.
inline constexpr const char* kDefaultProbeHost = "www.example.com";

// The environment variable VELTRIN_PROBEHOST, when set to a usable host, takes precedence over
// the file (tests and demos point the check at loopback with it).
inline constexpr const char* kProbeHostVariable = "VELTRIN_PROBEHOST";

// The key, in section "Ping setting".
inline constexpr char kProbeHostKey[] = "probehost";

// Reads "probehost" from section "Ping setting" of the INI file at `inipath`. A missing file,
// section or key, or a value that cannot be a host name gives kDefaultProbeHost. A key that is
// there but empty gives the empty text: the user turned the connectivity check off.
// Section and key names match without regard to case, as the other settings do; the value is
// trimmed of blanks and of one pair of enclosing quotes.
std::string LoadProbeHost(const std::string& inipath);

// The same from the file's text; exposed so tests and fuzzing need no file.
std::string ProbeHostFromText(const std::string& text);

// True for a text the check may ping: letters, digits, '-', '.', '_', at most 253 characters,
// not starting with '-' or '.'. The empty text is not a host (it means "off").
bool UsableProbeHost(const std::string& host);

}  // namespace veltrin
