// The report mail's send setting (Tmailsetting::sendsetting): which lines a closing program or
// a saved log puts into the mail. The tokens are stored in the settings file exactly as spelled
// here; any other text (an empty one included) means no mail at close.
#pragma once

#include <string_view>

namespace veltrin {

inline constexpr std::string_view kSendAll = "all";              // the address list's log lines
inline constexpr std::string_view kSendErrorCode = "Error code";  // mailed as the text stands
inline constexpr std::string_view kSendSelectLog = "select log";  // the detail log last saved
inline constexpr std::string_view kSendNothing = "nothing";       // no mail at close

}  // namespace veltrin
