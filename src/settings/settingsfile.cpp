#include "settings/settingsfile.h"

#include <cerrno>

#include "logs/wholefile.h"
#include "settings/inifile.h"

namespace veltrin {

namespace {

constexpr char kMailSection[] = "mailsetting";
constexpr char kPingSection[] = "Ping setting";
constexpr char kReachSection[] = "Reachability";
// One bound for reading and for writing: a file this program wrote can always be read back.
constexpr std::size_t kMaxSettingsBytes = kMaxSettingsFileBytes;
// Text values are read back up to this many characters.
constexpr std::size_t kMaxTextValue = 2047;
constexpr unsigned kSettingsMode = 0600;  // the file holds the SMTP credentials

std::string ReadText(const IniFile& ini, const char* section, const char* key) {
    std::string stored;
    if (!ini.Find(section, key, stored)) return std::string();
    std::string text = UnescapeIniValue(stored);
    if (text.size() > kMaxTextValue) text.resize(kMaxTextValue);
    return text;
}

std::int32_t ReadInteger(const IniFile& ini, const char* section, const char* key, std::int32_t fallback) {
    std::string stored;
    std::int32_t value = fallback;
    if (!ini.Find(section, key, stored) || !ParseIniInteger(stored, value)) return fallback;
    return value;
}

// Reads the current file so that a save keeps every line it does not change. A missing file
// starts empty; a file that exists but cannot be read is not replaced.
bool OpenForUpdate(const std::string& inipath, IniFile& ini, std::string* error) {
    std::string bytes;
    const int err = ReadWholeFile(inipath, kMaxSettingsBytes, bytes);
    if (err != 0 && err != ENOENT) {
        if (error != nullptr)
            *error = err == EFBIG ? "The settings file \"" + inipath + "\" is larger than " + std::to_string(kMaxSettingsBytes >> 20) + " MB; it was left as it is"
                                  : "Cannot read the settings file \"" + inipath + "\"; it was left as it is";
        return false;
    }
    ini.Parse(bytes);
    return true;
}

bool Store(const std::string& inipath, const IniFile& ini, std::string* error) {
    const std::string text = ini.Text();
    // Written, it could never be read back: every setting would silently return to its default.
    if (text.size() > kMaxSettingsBytes) {
        if (error != nullptr)
            *error = "The settings would take more than " + std::to_string(kMaxSettingsBytes >> 20) +
                     " MB; nothing was saved and the settings file was left as it is";
        return false;
    }
    return WriteWholeFile(inipath, text, kSettingsMode, true, error);
}

void SetText(IniFile& ini, const char* section, const char* key, const std::string& text) {
    ini.Set(section, key, EscapeIniValue(text));
}

void SetInteger(IniFile& ini, const char* section, const char* key, std::int32_t value) {
    ini.Set(section, key, std::to_string(value));
}

}  // namespace

void LoadSettings(const std::string& inipath, Tmailsetting& mail, std::int32_t& interval, std::int32_t& datalength) {
    IniFile ini;
    try {
        std::string bytes;
        // A missing, unreadable or oversized file gives every default.
        if (ReadWholeFile(inipath, kMaxSettingsBytes, bytes) == 0) ini.Parse(bytes);
    } catch (...) {
        ini = IniFile();
    }
    try {
        Tmailsetting read;
        // Every mail key, "authentication" included, is read from the section it is saved in.
        read.smtpserver = ReadText(ini, kMailSection, "smtpserver");
        read.sendfrom = ReadText(ini, kMailSection, "sendfrom");
        read.sendto = ReadText(ini, kMailSection, "sendto");
        read.subject = ReadText(ini, kMailSection, "subject");
        read.emailtext = ReadText(ini, kMailSection, "emailtext");
        read.sendsetting = ReadText(ini, kMailSection, "sendsetting");
        read.option1 = ReadText(ini, kMailSection, "option1");
        read.option2 = ReadText(ini, kMailSection, "option2");
        read.authentication = ReadInteger(ini, kMailSection, "authentication", 1) != 0;
        const std::int32_t readdatalength = ReadInteger(ini, kPingSection, "datalength", 8);
        const std::int32_t readinterval = ReadInteger(ini, kPingSection, "interval", 3);
        read.savetime = ReadInteger(ini, kMailSection, "savetime", 0);
        mail = std::move(read);
        datalength = readdatalength;
        interval = readinterval;
    } catch (...) {
        mail = Tmailsetting();
        datalength = 8;
        interval = 3;
    }
}

bool SaveMailSettings(const std::string& inipath, const Tmailsetting& mail) {
    return SaveMailSettings(inipath, mail, nullptr);
}

bool SaveMailSettings(const std::string& inipath, const Tmailsetting& mail, std::string* error) {
    try {
        IniFile ini;
        if (!OpenForUpdate(inipath, ini, error)) return false;
        SetText(ini, kMailSection, "smtpserver", mail.smtpserver);
        SetText(ini, kMailSection, "sendfrom", mail.sendfrom);
        SetText(ini, kMailSection, "sendto", mail.sendto);
        SetText(ini, kMailSection, "subject", mail.subject);
        SetText(ini, kMailSection, "emailtext", mail.emailtext);
        SetText(ini, kMailSection, "sendsetting", mail.sendsetting);
        SetText(ini, kMailSection, "option1", mail.option1);
        SetText(ini, kMailSection, "option2", mail.option2);
        SetInteger(ini, kMailSection, "authentication", mail.authentication ? 1 : 0);
        return Store(inipath, ini, error);
    } catch (...) {
        if (error != nullptr) *error = "Out of memory while saving the settings; the settings file was left as it is";
        return false;
    }
}

bool SaveAdvancedSettings(const std::string& inipath, std::int32_t savetime, std::int32_t datalength,
                          std::int32_t interval) {
    return SaveAdvancedSettings(inipath, savetime, datalength, interval, nullptr);
}

bool SaveAdvancedSettings(const std::string& inipath, std::int32_t savetime, std::int32_t datalength,
                          std::int32_t interval, std::string* error) {
    try {
        IniFile ini;
        if (!OpenForUpdate(inipath, ini, error)) return false;
        SetInteger(ini, kMailSection, "savetime", savetime);
        SetInteger(ini, kPingSection, "datalength", datalength);
        SetInteger(ini, kPingSection, "interval", interval);
        return Store(inipath, ini, error);
    } catch (...) {
        if (error != nullptr) *error = "Out of memory while saving the settings; the settings file was left as it is";
        return false;
    }
}

std::int32_t LoadPingInteger(const std::string& inipath, const char* key, std::int32_t fallback) {
    try {
        std::string bytes;
        if (ReadWholeFile(inipath, kMaxSettingsBytes, bytes) != 0) return fallback;
        IniFile ini;
        ini.Parse(bytes);
        return ReadInteger(ini, kPingSection, key, fallback);
    } catch (...) {
        return fallback;
    }
}

bool SavePingInteger(const std::string& inipath, const char* key, std::int32_t value) {
    try {
        IniFile ini;
        if (!OpenForUpdate(inipath, ini, nullptr)) return false;
        SetInteger(ini, kPingSection, key, value);
        return Store(inipath, ini, nullptr);
    } catch (...) {
        return false;
    }
}

bool SavePingText(const std::string& inipath, const char* key, const std::string& value) {
    try {
        IniFile ini;
        if (!OpenForUpdate(inipath, ini, nullptr)) return false;
        SetText(ini, kPingSection, key, value);
        return Store(inipath, ini, nullptr);
    } catch (...) {
        return false;
    }
}

void LoadReachSettings(const std::string& inipath, ReachSettings& reach) {
    IniFile ini;
    try {
        std::string bytes;
        if (ReadWholeFile(inipath, kMaxSettingsBytes, bytes) == 0) ini.Parse(bytes);
    } catch (...) {
        ini = IniFile();
    }
    const ReachSettings defaults;
    ReachSettings read;
    const auto ranged = [&](const char* key, std::int32_t fallback, std::int32_t low, std::int32_t high) {
        const std::int32_t v = ReadInteger(ini, kReachSection, key, fallback);
        return (v < low || v > high) ? fallback : v;
    };
    read.timeoutms = ranged("timeout", defaults.timeoutms, kMinReachTimeoutMs, kMaxReachTimeoutMs);
    read.lostcount = ranged("lostcount", defaults.lostcount, kMinReachLostCount, kMaxReachLostCount);
    read.notifications = ranged("notifications", defaults.notifications ? 1 : 0, 0, 1) != 0;
    read.mailalert = ranged("mailalert", defaults.mailalert ? 1 : 0, 0, 1) != 0;
    reach = read;
}

bool SaveReachSettings(const std::string& inipath, const ReachSettings& reach) {
    try {
        IniFile ini;
        if (!OpenForUpdate(inipath, ini, nullptr)) return false;
        const auto pin = [](std::int32_t v, std::int32_t low, std::int32_t high) { return v < low ? low : (v > high ? high : v); };
        SetInteger(ini, kReachSection, "timeout", pin(reach.timeoutms, kMinReachTimeoutMs, kMaxReachTimeoutMs));
        SetInteger(ini, kReachSection, "lostcount", pin(reach.lostcount, kMinReachLostCount, kMaxReachLostCount));
        SetInteger(ini, kReachSection, "notifications", reach.notifications ? 1 : 0);
        SetInteger(ini, kReachSection, "mailalert", reach.mailalert ? 1 : 0);
        return Store(inipath, ini, nullptr);
    } catch (...) {
        return false;
    }
}

}  // namespace veltrin
