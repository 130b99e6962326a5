// The report mail over SMTP.
#pragma once

#include <atomic>
#include <string>

#include "engine/u_header.h"

namespace veltrin {

// Sends the mail the record describes and returns one line of result text for the user.
std::string SendMail(const Tmailsetting& mail);

// The same, ended within about a second once `cancel` becomes true (from any thread); the result
// is then "Sending was stopped". Whatever the server had not accepted by then is not sent.
std::string SendMail(const Tmailsetting& mail, const std::atomic<bool>& cancel);
std::string SendMail(const Tmailsetting& mail, const std::atomic<bool>* cancel);

}  // namespace veltrin
