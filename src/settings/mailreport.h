// The report mail over SMTP.
#pragma once

#include <string>

#include "engine/u_header.h"

namespace veltrin {

// Sends the mail the record describes and returns one line of result text for the user.
std::string SendMail(const Tmailsetting& mail);

}  // namespace veltrin
