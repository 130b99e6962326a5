// Additions to the location table beyond the fixed engine interface.
#pragma once

#include <cstddef>
#include <string>

#include "engine/u_header.h"

namespace veltrin {

// Layout of "address.dat": a header that is not read, then fixed-size records.
inline constexpr std::size_t kLocationHeaderSize = 194;
inline constexpr std::size_t kLocationRecordSize = 110;
inline constexpr std::size_t kLocationRecordUsed = 49;  // start, gap, end and name

// Appends the records held in `bytes` (the whole file image, header included) to `table`.
// A final record with fewer than kLocationRecordUsed bytes left is skipped. Returns the
// number of entries in the table afterwards.
int LoadLocationBytes(const std::string& bytes, LocationTable& table);

}  // namespace veltrin
