// The report mail over SMTP.
#pragma once

#include <atomic>
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

// The same, ended within about a second once `cancel` becomes true (from any thread); the result
// is then "Sending was stopped". Whatever the server had not accepted by then is not sent.
std::string SendMail(const Tmailsetting& mail, const std::atomic<bool>& cancel);
std::string SendMail(const Tmailsetting& mail, const std::atomic<bool>* cancel);

}  // namespace veltrin
