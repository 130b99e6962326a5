// Log line formats, the import line rule and whole-file writers.
#pragma once

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
// Writes every line followed by CR LF into a temporary file beside `path`, then renames it over
// `path`; a failure leaves any old file as it was.
bool WriteTextLines(const std::string& path, const std::vector<std::string>& lines);

// ---- additions beyond the fixed interface -------------------------------------------------

// WriteTextLines that also gives the reason of a failure ("Cannot write file "<path>": ...").
// The temporary file is flushed to disk before the rename; a list of no lines gives a 0-byte file.
bool WriteTextLines(const std::string& path, const std::vector<std::string>& lines, std::string& error);

}  // namespace veltrin
