// The report mail over SMTP.
#pragma once

#include <string>
#include <vector>

#include "engine/u_header.h"

namespace veltrin {

// Sends the mail the record describes and returns one line of result text for the user.
std::string SendMail(const Tmailsetting& mail);

// The lines of the mail body for a stored mail text. A log report is kept as comma text
// (JoinCommaText: one field per log line, quoted where needed); such a text is split back into
// its lines, each without the carriage return a log line ends with. Any other text (the user's
// own, lines joined with line breaks) is split at its line breaks.
std::vector<std::string> ReportBodyLines(const std::string& emailtext);

}  // namespace veltrin
