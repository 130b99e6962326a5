// The report mail: one plain SMTP exchange on port 25 driven through libcurl.
//
// libcurl carries the dialogue (EHLO/HELO, AUTH LOGIN, MAIL, RCPT, DATA with dot-stuffing, QUIT);
// this file checks the settings, composes the whole message (libcurl adds no header of its own)
// and turns whatever went wrong into one line the user can read.
#include "settings/mailreport.h"

#include "logs/textlines.h"

#include <curl/curl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "engine/global_unit.h"
#include "settings/curlapi.h"
#include "settings/smtpreply.h"

namespace veltrin {

namespace {

constexpr long kConnectTimeoutSeconds = 30;
constexpr long kExchangeTimeoutSeconds = 120;
// RFC 5322: a line may hold at most 998 characters before its CR LF; servers refuse longer ones.
constexpr std::size_t kMaxPlainLine = 998;

const char kOtherError[] = "Other unkown error";

bool IsAsciiAlnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// A line break or NUL in a value that ends up in an SMTP command or a header line would let the
// value write commands or headers of its own; such values are refused, never sent.
std::string ControlRefusal(std::string_view value, const char* what) {
    if (value.find_first_of("\r\n") != std::string_view::npos)
        return std::string("Refused: line break in ") + what;
    if (value.find('\0') != std::string_view::npos) return std::string("Refused: NUL byte in ") + what;
    return {};
}

// A mail address goes into "MAIL FROM:<...>" or "RCPT TO:<...>" as it stands: an angle bracket,
// a blank or a control character would end the address early and let the rest of the value add
// command parameters (NOTIFY=, ORCPT=, SIZE=) or a second path. Such addresses are refused with
// the wording the settings window uses for a bad address. A sender also may not hold a comma,
// which would make its header name two senders.
bool IsPlainAddress(std::string_view address, bool sender) {
    if (address.empty()) return false;
    for (char c : address) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F || c == '<' || c == '>') return false;
        if (sender && c == ',') return false;
    }
    return true;
}

const char kBadSender[] = "Wrong send address information";
const char kBadRecipient[] = "Wrong delivery address information";

// The server name goes into the URL libcurl parses, so only plain host-name characters may pass:
// '/', '@', '?', '#', ':' or blanks would change what libcurl connects to or logs in as.
std::string HostRefusal(const std::string& host) {
    std::string control = ControlRefusal(host, "the SMTP server name");
    if (!control.empty()) return control;
    if (host.find(':') != std::string::npos)
        return "Refused: the SMTP server must be a host name or an IPv4 address (the port is always 25)";
    if (host.size() > 253) return "Refused: the SMTP server name is too long";
    for (char c : host) {
        if (!IsAsciiAlnum(c) && c != '-' && c != '.' && c != '_')
            return "Refused: invalid character in the SMTP server name";
    }
    return {};
}

// Local host name reduced to what EHLO and a Message-ID may carry.
std::string LocalHostName() {
    char buffer[256] = {};
    std::string name;
    if (gethostname(buffer, sizeof buffer - 1) == 0) {
        for (const char* p = buffer; *p != '\0' && name.size() < 253; ++p)
            name.push_back(IsAsciiAlnum(*p) || *p == '-' || *p == '.' ? *p : '-');
    }
    while (!name.empty() && (name.front() == '.' || name.front() == '-')) name.erase(name.begin());
    while (!name.empty() && (name.back() == '.' || name.back() == '-')) name.pop_back();
    return name.empty() ? std::string("localhost") : name;
}

// The comma-separated recipient text, each address trimmed of blanks, empty pieces dropped.
std::vector<std::string> SplitRecipients(const std::string& sendto) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= sendto.size()) {
        std::size_t comma = sendto.find(',', start);
        if (comma == std::string::npos) comma = sendto.size();
        std::size_t first = start;
        std::size_t last = comma;
        while (first < last && (sendto[first] == ' ' || sendto[first] == '\t')) ++first;
        while (last > first && (sendto[last - 1] == ' ' || sendto[last - 1] == '\t')) --last;
        if (last > first) out.push_back(sendto.substr(first, last - first));
        start = comma + 1;
    }
    return out;
}

// Lines of the mail text by the common line rule.
std::vector<std::string> SplitBodyLines(const std::string& text) { return SplitLines(text); }

// Reads `text` as JoinCommaText wrote it. False when it cannot have been written so: an unquoted
// field holding a blank, a control character, a quote or anything JoinCommaText would have
// quoted, or a quoted field not closed or not followed by a comma or the end.
bool SplitCommaText(const std::string& text, std::vector<std::string>& fields) {
    fields.clear();
    std::size_t i = 0;
    for (;;) {
        std::string field;
        if (i < text.size() && text[i] == '"') {
            ++i;
            for (;;) {
                if (i >= text.size()) return false;
                if (text[i] == '"') {
                    if (i + 1 < text.size() && text[i + 1] == '"') {
                        field += '"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                field += text[i++];
            }
        } else {
            while (i < text.size() && text[i] != ',') {
                const auto c = static_cast<unsigned char>(text[i]);
                if (c <= 32 || c == '"') return false;
                field += text[i++];
            }
        }
        fields.push_back(std::move(field));
        if (i == text.size()) return true;
        if (text[i] != ',') return false;
        ++i;
    }
}

bool IsValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        std::size_t extra = 0;
        std::uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= text.size()) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            auto cc = static_cast<unsigned char>(text[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

// Texts typed into the windows or read from the settings file arrive as UTF-8, plain ASCII
// included. Bytes that are not UTF-8 can only be older single-byte text; every byte is a
// character of ISO-8859-1, so that label never promises something the bytes cannot keep.
const char* CharsetOf(std::string_view text) {
    return IsValidUtf8(text) ? "utf-8" : "ISO-8859-1";
}

bool IsPlainHeaderText(std::string_view text) {
    if (text.size() > 900) return false;
    if (text.find("=?") != std::string_view::npos) return false;  // would read as an encoded word
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        if (u != '\t' && (u < 0x20 || u > 0x7E)) return false;
    }
    return true;
}

const char kHex[] = "0123456789ABCDEF";

// RFC 2047 "Q" encoded words folded onto continuation lines, no line longer than 76 characters
// (the first one starts at `column`). A UTF-8 character is never split between two words.
std::string EncodeHeaderWords(std::string_view text, const char* charset, std::size_t column) {
    const std::string prefix = std::string("=?") + charset + "?Q?";
    const std::size_t frame = prefix.size() + 2;
    const bool utf8 = std::strcmp(charset, "utf-8") == 0;
    std::size_t room = column + frame + 12 < 76 ? 76 - column - frame : 76 - 1 - frame;
    std::string out;
    if (column + frame + 12 >= 76) out += "\r\n ";  // no useful room left on the first line
    std::string word;
    auto flush = [&] {
        if (!out.empty() && out.back() != ' ') out += "\r\n ";
        out += prefix + word + "?=";
        word.clear();
        room = 76 - 1 - frame;  // continuation lines begin with one blank
    };
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t length = 1;
        if (utf8) {
            while (i + length < text.size() && (static_cast<unsigned char>(text[i + length]) & 0xC0) == 0x80)
                ++length;
        }
        std::string piece;
        for (std::size_t k = 0; k < length; ++k) {
            auto u = static_cast<unsigned char>(text[i + k]);
            if (u == ' ') {
                piece.push_back('_');
            } else if (IsAsciiAlnum(static_cast<char>(u)) || u == '!' || u == '*' || u == '+' || u == '-' ||
                       u == '/') {
                piece.push_back(static_cast<char>(u));
            } else {
                piece.push_back('=');
                piece.push_back(kHex[u >> 4]);
                piece.push_back(kHex[u & 0x0F]);
            }
        }
        if (!word.empty() && word.size() + piece.size() > room) flush();
        word += piece;
        i += length;
    }
    if (!word.empty() || out.empty() || out.back() == ' ') flush();
    return out;
}

// Quoted-printable (RFC 2045) of one body line, soft-broken so no encoded line exceeds 76.
void AppendQuotedPrintable(std::string& out, std::string_view line) {
    std::size_t column = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        auto u = static_cast<unsigned char>(line[i]);
        const bool last = i + 1 == line.size();
        char literal[4] = {};
        if ((u >= 33 && u <= 126 && u != '=') || ((u == ' ' || u == '\t') && !last)) {
            literal[0] = static_cast<char>(u);
        } else {
            literal[0] = '=';
            literal[1] = kHex[u >> 4];
            literal[2] = kHex[u & 0x0F];
        }
        const std::size_t width = std::strlen(literal);
        // Keep room for the '=' of a soft break unless this is the line's last character.
        if (column + width > (last ? 76u : 75u)) {
            out += "=\r\n";
            column = 0;
        }
        out += literal;
        column += width;
    }
    out += "\r\n";
}

// RFC 5322 date in local time with its offset, built by hand so the user's locale cannot
// translate the day and month names.
std::string MailDate() {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) gmtime_r(&now, &local);
    long offset = local.tm_gmtoff / 60;
    char sign = offset < 0 ? '-' : '+';
    if (offset < 0) offset = -offset;
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld", kDays[local.tm_wday % 7],
                  local.tm_mday, kMonths[local.tm_mon % 12], local.tm_year + 1900, local.tm_hour,
                  local.tm_min, local.tm_sec, sign, offset / 60, offset % 60);
    return text;
}

// The part of the sender address after its last '@' when it is a plain domain name.
std::string SenderDomain(const std::string& sendfrom) {
    std::size_t at = sendfrom.rfind('@');
    if (at == std::string::npos) return {};
    std::string domain = sendfrom.substr(at + 1);
    if (!domain.empty() && domain.back() == '>') domain.pop_back();
    if (domain.empty() || domain.size() > 253 || domain.front() == '.' || domain.front() == '-') return {};
    for (char c : domain) {
        if (!IsAsciiAlnum(c) && c != '-' && c != '.') return {};
    }
    return domain;
}

std::string MessageId(const std::string& domain) {
    static std::atomic<std::uint32_t> counter{0};
    std::random_device device;
    std::uint64_t random = (static_cast<std::uint64_t>(device()) << 32) ^ device();
    auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count();
    char text[128];
    std::snprintf(text, sizeof text, "%llx.%016llx.%lx.%x", static_cast<unsigned long long>(nanos),
                  static_cast<unsigned long long>(random), static_cast<unsigned long>(getpid()),
                  static_cast<unsigned>(counter.fetch_add(1)));
    return "<" + std::string(text) + "@" + domain + ">";
}

// "To:" with the recipients separated by commas, folded so no header line grows past 78.
std::string ToHeader(const std::vector<std::string>& recipients) {
    std::string out = "To: ";
    std::size_t column = out.size();
    for (std::size_t i = 0; i < recipients.size(); ++i) {
        const std::string& address = recipients[i];
        if (i > 0) {
            // One column stays free for the comma that may follow this address.
            if (column + 2 + address.size() > 77) {
                out += ",\r\n ";
                column = 1;
            } else {
                out += ", ";
                column += 2;
            }
        }
        out += address;
        column += address.size();
    }
    return out + "\r\n";
}

std::string ComposeMessage(const Tmailsetting& mail, const std::vector<std::string>& recipients,
                           const std::string& domain) {
    const std::vector<std::string> lines = ReportBodyLines(mail.emailtext);
    bool plain = true;
    for (const std::string& line : lines) {
        if (line.size() > kMaxPlainLine) plain = false;
        for (char c : line) {
            auto u = static_cast<unsigned char>(c);
            if (u >= 0x80 || u == 0) plain = false;
        }
    }
    std::string body_text;
    for (const std::string& line : lines) body_text += line;

    std::string message;
    message += "Date: " + MailDate() + "\r\n";
    message += "From: " + mail.sendfrom + "\r\n";
    message += ToHeader(recipients);
    if (IsPlainHeaderText(mail.subject))
        message += "Subject: " + mail.subject + "\r\n";
    else
        message += "Subject: " + EncodeHeaderWords(mail.subject, CharsetOf(mail.subject), 9) + "\r\n";
    message += "Message-ID: " + MessageId(domain) + "\r\n";
    message += "MIME-Version: 1.0\r\n";
    message += std::string("Content-Type: text/plain; charset=") + CharsetOf(body_text) + "\r\n";
    // Seven-bit lines travel through any server as they are. Anything else (8-bit bytes, NUL,
    // over-long lines such as a comma-joined detail log) goes quoted-printable: 8bit would need
    // the server's 8BITMIME and still breaks on long lines, while quoted-printable arrives intact.
    message += std::string("Content-Transfer-Encoding: ") + (plain ? "7bit" : "quoted-printable") + "\r\n";
    message += "\r\n";
    for (const std::string& line : lines) {
        if (plain)
            message += line + "\r\n";
        else
            AppendQuotedPrintable(message, line);
    }
    return message;
}

// ---- libcurl plumbing ------------------------------------------------------------------------

struct Upload {
    const std::string* data = nullptr;
    std::size_t offset = 0;
};

std::size_t ReadMessage(char* buffer, std::size_t size, std::size_t count, void* userdata) {
    auto* upload = static_cast<Upload*>(userdata);
    const std::size_t room = size * count;
    const std::size_t left = upload->data->size() - upload->offset;
    const std::size_t n = left < room ? left : room;
    std::memcpy(buffer, upload->data->data() + upload->offset, n);
    upload->offset += n;
    return n;
}

int TraceReplies(CURL*, curl_infotype type, char* data, std::size_t size, void* userdata) {
    // Of the client's own lines only the verb is looked at: they carry the credentials.
    auto* trace = static_cast<SmtpReplyTrace*>(userdata);
    if (type == CURLINFO_HEADER_OUT) trace->Sent(data, size);  // looks at the verb only
    if (type != CURLINFO_HEADER_IN) return 0;
    try {
        trace->Feed(data, size);
    } catch (...) {
        // Out of memory while noting a reply: the exchange goes on, only the wording suffers.
    }
    return 0;
}

struct EasyCleanup {
    void operator()(CURL* curl) const { Curl()->easy_cleanup(curl); }  // made only once Curl() was there
};
struct ListCleanup {
    void operator()(curl_slist* list) const { Curl()->slist_free_all(list); }
};

struct Prepared {
    std::string url;
    std::string user, password;
    std::vector<std::string> recipients;
    std::string message;
};

// Called by libcurl at least once a second in every phase (resolving, connecting, waiting for a
// reply): a non-zero answer ends the exchange at once.
int CheckCancel(void* userdata, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* cancel = static_cast<const std::atomic<bool>*>(userdata);
    return cancel != nullptr && cancel->load() ? 1 : 0;
}

const char kStopped[] = "Sending was stopped";

std::string Deliver(const Tmailsetting& mail, const Prepared& prepared, const std::atomic<bool>* cancel) {
    std::string unavailable;
    const CurlApi* const api = Curl(&unavailable);
    if (api == nullptr) return unavailable.empty() ? std::string(kOtherError) : unavailable;

    // Declared before the handle: libcurl still talks (QUIT) while the handle is cleaned up.
    SmtpReplyTrace trace;
    Upload upload{&prepared.message, 0};
    char errors[CURL_ERROR_SIZE] = {};
    std::unique_ptr<curl_slist, ListCleanup> rcpt;
    for (const std::string& address : prepared.recipients) {
        curl_slist* grown = api->slist_append(rcpt.get(), address.c_str());
        if (grown == nullptr) return kOtherError;
        rcpt.release();
        rcpt.reset(grown);
    }
    std::unique_ptr<CURL, EasyCleanup> curl(api->easy_init());
    if (!curl) return kOtherError;
    CURL* h = curl.get();

    bool ok = true;
    auto set = [&ok](CURLcode code) { ok = ok && code == CURLE_OK; };
    set(api->easy_setopt(h, CURLOPT_ERRORBUFFER, errors));
    set(api->easy_setopt(h, CURLOPT_URL, prepared.url.c_str()));
    set(api->easy_setopt(h, CURLOPT_PROTOCOLS_STR, "smtp"));
    // The server is reached directly, whatever proxy the environment names.
    set(api->easy_setopt(h, CURLOPT_PROXY, ""));
    set(api->easy_setopt(h, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_NONE)));
    set(api->easy_setopt(h, CURLOPT_NOSIGNAL, 1L));
    set(api->easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds));
    set(api->easy_setopt(h, CURLOPT_TIMEOUT, kExchangeTimeoutSeconds));
    if (mail.authentication) {
        set(api->easy_setopt(h, CURLOPT_LOGIN_OPTIONS, "AUTH=LOGIN"));
        set(api->easy_setopt(h, CURLOPT_USERNAME, prepared.user.c_str()));
        set(api->easy_setopt(h, CURLOPT_PASSWORD, prepared.password.c_str()));
    }
    set(api->easy_setopt(h, CURLOPT_MAIL_FROM, mail.sendfrom.c_str()));
    set(api->easy_setopt(h, CURLOPT_MAIL_RCPT, rcpt.get()));
    set(api->easy_setopt(h, CURLOPT_UPLOAD, 1L));
    set(api->easy_setopt(h, CURLOPT_READFUNCTION, ReadMessage));
    set(api->easy_setopt(h, CURLOPT_READDATA, &upload));
    set(api->easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(prepared.message.size())));
    // The debug hook sees the server's reply lines only while verbose is on; it prints nothing.
    set(api->easy_setopt(h, CURLOPT_DEBUGFUNCTION, TraceReplies));
    set(api->easy_setopt(h, CURLOPT_DEBUGDATA, &trace));
    set(api->easy_setopt(h, CURLOPT_VERBOSE, 1L));
    if (cancel != nullptr) {
        set(api->easy_setopt(h, CURLOPT_XFERINFOFUNCTION, CheckCancel));
        set(api->easy_setopt(h, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(cancel)));
        set(api->easy_setopt(h, CURLOPT_NOPROGRESS, 0L));
    }
    if (!ok) return kOtherError;
    if (cancel != nullptr && cancel->load()) return kStopped;

    const CURLcode result = api->easy_perform(h);
    if (result == CURLE_OK) return "Successfully delivered";
    if (result == CURLE_ABORTED_BY_CALLBACK) return kStopped;
    // A refusal by the server is told in the server's words.
    if (trace.lastcode() >= 400 && !trace.last().empty()) return OneLine(trace.last());
    std::string text = OneLine(errors);
    if (text.empty()) text = OneLine(api->easy_strerror(result));
    return text.empty() ? std::string(kOtherError) : text;
}

}  // namespace

std::string SendMail(const Tmailsetting& mail) { return SendMail(mail, nullptr); }

std::string SendMail(const Tmailsetting& mail, const std::atomic<bool>& cancel) { return SendMail(mail, &cancel); }

std::string SendMail(const Tmailsetting& mail, const std::atomic<bool>* cancel) {
    try {
        Prepared prepared;
        if (mail.smtpserver.empty()) return "SMTP server is empty";
        std::string refusal = HostRefusal(mail.smtpserver);
        if (!refusal.empty()) return refusal;

        if (mail.authentication) {
            if (mail.option1.empty() || mail.option2.empty()) return "Authentication option is empty";
            prepared.user = Base64Decode(mail.option1);
            prepared.password = Base64Decode(mail.option2);
            // A stored value that decodes to nothing is no user id or password either.
            if (prepared.user.empty() || prepared.password.empty()) return "Authentication option is empty";
            refusal = ControlRefusal(prepared.user, "the user name");
            if (refusal.empty()) refusal = ControlRefusal(prepared.password, "the password");
            if (!refusal.empty()) return refusal;
        }

        if (mail.sendfrom.empty()) return "Send from address is empty";
        refusal = ControlRefusal(mail.sendfrom, "the sender address");
        if (!refusal.empty()) return refusal;
        if (!IsPlainAddress(mail.sendfrom, true)) return kBadSender;

        if (mail.sendto.empty()) return "sendto address is empty";
        refusal = ControlRefusal(mail.sendto, "the recipient address");
        if (!refusal.empty()) return refusal;
        prepared.recipients = SplitRecipients(mail.sendto);
        // Only commas and blanks: there is nobody to send to.
        if (prepared.recipients.empty()) return "sendto address is empty";
        for (const std::string& address : prepared.recipients) {
            if (!IsPlainAddress(address, false)) return kBadRecipient;
        }

        refusal = ControlRefusal(mail.subject, "the subject");
        if (!refusal.empty()) return refusal;

        const std::string hostname = LocalHostName();
        std::string domain = SenderDomain(mail.sendfrom);
        if (domain.empty()) domain = hostname;
        prepared.url = "smtp://" + mail.smtpserver + ":25/" + hostname;
        prepared.message = ComposeMessage(mail, prepared.recipients, domain);

        return Deliver(mail, prepared, cancel);
    } catch (...) {
        return kOtherError;
    }
}

std::vector<std::string> ReportBodyLines(const std::string& emailtext) {
    std::vector<std::string> fields;
    // A text without a comma or a quote reads the same either way; line breaks outside quotes
    // mean the user's own lines.
    if (emailtext.find_first_of(",\"") == std::string::npos || !SplitCommaText(emailtext, fields))
        return SplitBodyLines(emailtext);
    std::vector<std::string> lines;
    for (std::string& field : fields) {
        // A field may itself hold line breaks (a log line ends with a carriage return).
        for (std::string& line : SplitBodyLines(field)) lines.push_back(std::move(line));
        if (field.empty()) lines.emplace_back();
    }
    return lines;
}

}  // namespace veltrin
