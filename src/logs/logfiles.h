// Log line formats, the import line rule and whole-file writers.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "engine/u_header.h"

namespace veltrin {

std::string MainLogLine(const AddressRow& row);    // ends with the carriage return field
std::string DetailLogLine(const AddressRow& row);  // first cell holds the reply's date and time
// One MainLogLine per row, in list order: the address log's lines and the close report's.
std::vector<std::string> MainLogLines(const std::vector<AddressRow>& rows);
std::vector<std::string> SplitTextLines(const std::string& bytes);  // import line rule
void LoadAddressLines(const std::vector<std::string>& lines, std::vector<AddressRow>& rows);

// Longest address texts kept: a host name (or dotted address) has at most 253 characters; a web
// address ("HTTP://" in any capitalisation, a host and a path) may carry a path of a few KiB.
inline constexpr std::size_t kMaxHostNameText = 253;
inline constexpr std::size_t kMaxWebAddressText = 4096;

// The bound for `text`: kMaxWebAddressText when it holds "http://" in any capitalisation,
// else kMaxHostNameText.
std::size_t AddressTextBound(const std::string& text);
// Cuts `text` to its bound (never inside a UTF-8 character). True when something was cut.
bool BoundAddressText(std::string& text);
// Writes every line followed by CR LF into a temporary file beside `path`, then renames it over
// `path`; a failure leaves any old file as it was.
bool WriteTextLines(const std::string& path, const std::vector<std::string>& lines);

// ---- additions beyond the fixed interface -------------------------------------------------

// WriteTextLines that also gives the reason of a failure ("Cannot write file "<path>": ...").
// The temporary file is flushed to disk before the rename; a list of no lines gives a 0-byte file.
bool WriteTextLines(const std::string& path, const std::vector<std::string>& lines, std::string& error);

}  // namespace veltrin
