// The settings file on any bytes: LoadSettings, the reachability and desktop-option readers read
// it (from a memory file) within their bounds;
// the INI model gives back the same bytes unchanged, finds a value right after setting it, and
// setting the same value twice changes nothing; escaped values read back as they were.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzzhelp.h"
#include "memfile.h"
#include "settings/inifile.h"
#include "settings/settingsfile.h"

namespace {

using fuzzhelp::Check;

std::size_t CountLines(const std::string& text) {
    std::size_t lines = 0;
    for (char c : text) lines += c == '\n';
    return lines + (text.empty() || text.back() == '\n' ? 0 : 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes = fuzzhelp::Bytes(data, size);

    static fuzzhelp::MemFile file("korbel setting.ini");
    if (file.Fill(data, size)) {
        veltrin::Tmailsetting mail;
        std::int32_t interval = 0, datalength = 0;
        veltrin::LoadSettings(file.path(), mail, interval, datalength);
        for (const std::string* text : {&mail.smtpserver, &mail.sendfrom, &mail.sendto, &mail.subject,
                                        &mail.emailtext, &mail.sendsetting, &mail.option1, &mail.option2})
            Check(text->size() <= 2047);
        // The other readers of the same file keep their values within their ranges.
        veltrin::ReachSettings reach;
        veltrin::LoadReachSettings(file.path(), reach);
        Check(reach.timeoutms >= veltrin::kMinReachTimeoutMs && reach.timeoutms <= veltrin::kMaxReachTimeoutMs);
        Check(reach.lostcount >= veltrin::kMinReachLostCount && reach.lostcount <= veltrin::kMaxReachLostCount);
        (void)veltrin::LoadPingInteger(file.path(), veltrin::kKeepListKey, 1);
    }

    veltrin::IniFile ini;
    ini.Parse(bytes);
    Check(ini.Text() == bytes);

    // The input also serves as a value and as section and key names.
    const std::string stored = veltrin::EscapeIniValue(bytes);
    Check(stored.find_first_of("\r\n") == std::string::npos);
    Check(veltrin::UnescapeIniValue(stored) == bytes);
    (void)veltrin::UnescapeIniValue(bytes);

    ini.Set("mailsetting", "emailtext", stored);
    const std::string once = ini.Text();
    Check(CountLines(once) <= CountLines(bytes) + 3);
    veltrin::IniFile reread;
    reread.Parse(once);
    std::string value;
    Check(reread.Find("MAILSETTING", "EmailText", value));
    Check(veltrin::UnescapeIniValue(value) == bytes);
    reread.Set("mailsetting", "emailtext", stored);
    Check(reread.Text() == once);

    std::int32_t number = 0;
    (void)veltrin::ParseIniInteger(bytes, number);
    return 0;
}
