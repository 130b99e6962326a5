// The mail a closing program sends, decided without a window so the console can share it.
#pragma once

#include <vector>

#include "engine/u_header.h"

namespace veltrin {

// "all" first replaces the mail text with the address list's log lines (JoinCommaText of
// MainLogLines). True when a mail is to be sent: any send setting but "nothing" or empty.
bool PrepareCloseReport(Tmailsetting& mail, const std::vector<AddressRow>& rows);

}  // namespace veltrin
