// The settings window's mail page as plain text, and its conversions to and from Tmailsetting.
// Kept apart from the window so the rules (trimming, credentials, the two ways of joining the
// mail text, the send setting's tokens) are tested without a display.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/u_header.h"

namespace veltrin {

struct MailForm {
    std::string smtpserver, sendfrom, sendto, subject;
    std::string userid, password;  // as typed, not encoded
    bool authentication = true;
    std::string sendsetting;  // kept exactly as loaded or chosen
};

// The mail text from the memo's lines as OK stores it: joined with CR LF, then trimmed.
std::string OkMailText(const std::vector<std::string>& lines);
// The same as "Send mail now..." sends it: joined with commas (JoinCommaText), then trimmed.
std::string SendNowMailText(const std::vector<std::string>& lines);

// The form into `mail`: the four texts and the credentials trimmed, the credentials Base64
// encoded, the send setting and `emailtext` as given. savetime is left alone.
void StoreMailForm(const MailForm& form, const std::string& emailtext, Tmailsetting& mail);

// Which send-setting button a stored value selects (ASCII case ignored). Any other value,
// "nothing" among them, selects the own-text mode.
enum class SendChoice { All, ErrorCode, SelectLog, OwnText };
SendChoice SendChoiceOf(std::string_view stored);

}  // namespace veltrin
