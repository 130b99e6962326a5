#include "settings/mailform.h"

#include "engine/global_unit.h"
#include "engine/sendsetting.h"

namespace veltrin {

namespace {

bool SameAsciiNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

}  // namespace

std::string OkMailText(const std::vector<std::string>& lines) {
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i) text += "\r\n";
        text += lines[i];
    }
    return TrimText(text);
}

std::string SendNowMailText(const std::vector<std::string>& lines) { return TrimText(JoinCommaText(lines)); }

void StoreMailForm(const MailForm& form, const std::string& emailtext, Tmailsetting& mail) {
    mail.smtpserver = TrimText(form.smtpserver);
    mail.sendfrom = TrimText(form.sendfrom);
    mail.sendto = TrimText(form.sendto);
    mail.subject = TrimText(form.subject);
    mail.emailtext = emailtext;
    mail.sendsetting = form.sendsetting;
    mail.authentication = form.authentication;
    mail.option1 = Base64Encode(TrimText(form.userid));
    mail.option2 = Base64Encode(TrimText(form.password));
}

SendChoice SendChoiceOf(std::string_view stored) {
    if (SameAsciiNoCase(stored, kSendErrorCode)) return SendChoice::ErrorCode;
    if (SameAsciiNoCase(stored, kSendAll)) return SendChoice::All;
    if (SameAsciiNoCase(stored, kSendSelectLog)) return SendChoice::SelectLog;
    return SendChoice::OwnText;
}

}  // namespace veltrin
