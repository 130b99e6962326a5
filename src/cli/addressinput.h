// The console's address sources: an address log (".spl"), a plain list with one address per
// line, or standard input in either form. Bounded: at most kMaxAddressFileBytes are read and
// at most kMaxImportRows rows kept.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "engine/u_header.h"

namespace veltrin::cli {

struct AddressText {
    std::vector<AddressRow> rows;
    std::vector<std::string> problems;  // "line N: ..." for lines of a plain list that hold no address
    std::size_t skipped = 0;            // lines past the row limit
};

// Which rule reads a text: an address log when any line carries the log's "ADDRESS_" form (an
// underscore after the first character), else a plain list: blank lines and "#" comments are
// skipped, surrounding blanks trimmed, and a line must be one word of printable characters.
bool LooksLikeAddressLog(const std::string& bytes);
void ReadAddressText(const std::string& bytes, AddressText& out);

// Reads a file, or standard input for "-", whole. False with a one-line reason when it cannot be
// read, is not a regular file (a pipe is fine for "-") or is larger than the limit.
bool ReadSource(const std::string& path, std::string& bytes, std::string& error);

// At most this many problems are kept; the rest are only counted.
inline constexpr std::size_t kMaxProblems = 20;

}  // namespace veltrin::cli
