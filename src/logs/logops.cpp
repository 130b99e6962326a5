#include "logs/logops.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>

#include "engine/global_unit.h"
#include "engine/sendsetting.h"
#include "logs/logfiles.h"
#include "logs/textlines.h"
#include "logs/wholefile.h"

namespace veltrin {

namespace {

std::atomic<unsigned> autologcounter{0};

std::string ShortDate(std::time_t now) {
    std::tm local{};
    if (::localtime_r(&now, &local) == nullptr) return "0000-00-00";
    char text[128] = {};
    std::size_t size = std::strftime(text, sizeof text, "%x", &local);
    if (size == 0) size = std::strftime(text, sizeof text, "%Y-%m-%d", &local);
    std::string date(text, size);
    for (char& c : date) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 32 || u == 127 || c == '/' || c == '\\' || c == ':' || c == '*' || c == '?' || c == '"' ||
            c == '<' || c == '>' || c == '|')
            c = '-';
    }
    return date;
}

// The dialog-driven saves: nothing for a cancelled dialog, nor for an existing file that the
// user did not agree to replace; else the lines written whole under the target name.
LogSaveResult WriteTarget(const std::string& chosen, const std::string& extension, ExistingLog existing,
                          const std::vector<std::string>& lines, std::string& error) {
    if (chosen.empty()) return LogSaveResult::Cancelled;
    const std::string target = LogTarget(chosen, extension);
    if (existing == ExistingLog::Keep && LogFileExists(target)) return LogSaveResult::Exists;
    return WriteTextLines(target, lines, error) ? LogSaveResult::Saved : LogSaveResult::Failed;
}

template <class Format>
LogSaveResult SaveRows(const std::string& chosen, const char* extension, ExistingLog existing,
                       const std::vector<AddressRow>& rows, Format format, bool setmail, std::string& emailtext,
                       std::string& error) {
    if (chosen.empty()) return LogSaveResult::Cancelled;
    std::vector<std::string> lines;
    lines.reserve(rows.size());
    for (const AddressRow& row : rows) lines.push_back(format(row));
    const LogSaveResult result = WriteTarget(chosen, extension, existing, lines, error);
    if (result == LogSaveResult::Saved && setmail) emailtext = MailTextOf(lines);
    return result;
}

void NoMemory(std::string* error) {
    if (error == nullptr) return;
    try {
        *error = "Not enough memory to save the log";
    } catch (...) {
    }
}

}  // namespace

std::string MailTextOf(const std::vector<std::string>& lines) {
    // The joined size is known line by line (a piece, plus a comma before every piece but the
    // first), so the cut needs no second join of the whole text.
    std::size_t total = 0;
    std::size_t kept = 0;
    const std::size_t room = kMaxMailTextBytes - 256;  // the note's line fits in what is left
    for (; kept < lines.size(); ++kept) {
        const std::size_t piece = JoinCommaText({lines[kept]}).size() + (kept > 0 ? 1 : 0);
        if (total + piece > room) break;
        total += piece;
    }
    if (kept == lines.size()) return JoinCommaText(lines);
    std::vector<std::string> cut(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(kept));
    cut.push_back("(report cut: " + std::to_string(lines.size() - kept) + " of " + std::to_string(lines.size()) +
                  " lines not included; a mail text holds at most " + std::to_string(kMaxMailTextBytes >> 20) +
                  " MB)");
    return JoinCommaText(cut);
}

bool LogFileExists(const std::string& name) {
    struct stat info {};
    return ::stat(name.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

std::string LogTarget(const std::string& chosen, const std::string& extension) {
    if (chosen.empty()) return chosen;
    if (chosen.size() < extension.size()) return chosen + extension;
    const std::size_t start = chosen.size() - extension.size();
    for (std::size_t i = 0; i < extension.size(); ++i) {
        const auto a = static_cast<unsigned char>(chosen[start + i]);
        const auto b = static_cast<unsigned char>(extension[i]);
        if (std::tolower(a) != std::tolower(b)) return chosen + extension;
    }
    return chosen;
}

LogSaveResult SaveAddressLog(const std::string& chosen, const std::vector<AddressRow>& rows,
                             const std::string& sendsetting, std::string& emailtext, ExistingLog existing,
                             std::string* error) {
    try {
        std::string scratch;
        return SaveRows(chosen, ".spl", existing, rows, MainLogLine, sendsetting == kSendAll, emailtext,
                        error != nullptr ? *error : scratch);
    } catch (...) {
        NoMemory(error);
        return LogSaveResult::Failed;
    }
}

LogSaveResult SaveDetailLog(const std::string& chosen, const std::vector<AddressRow>& rows,
                            const std::string& sendsetting, std::string& emailtext, ExistingLog existing,
                            std::string* error) {
    try {
        std::string scratch;
        return SaveRows(chosen, ".txt", existing, rows, DetailLogLine, sendsetting == kSendSelectLog, emailtext,
                        error != nullptr ? *error : scratch);
    } catch (...) {
        NoMemory(error);
        return LogSaveResult::Failed;
    }
}

std::string AutoDetailLogName(std::time_t now, std::uint32_t tick, unsigned counter) {
    return ShortDate(now) + " " + std::to_string(tick) + "-" + std::to_string(counter) + ".txt";
}

bool SaveAutoDetailLog(const std::string& folder, const std::string& ipaddrlabel, const std::vector<AddressRow>& rows,
                       const std::string& sendsetting, std::string& emailtext, std::string& error,
                       std::string* writtenpath) {
    try {
        std::vector<std::string> lines;
        lines.reserve(rows.size() + 1);
        lines.push_back(ipaddrlabel);
        for (const AddressRow& row : rows) lines.push_back(DetailLogLine(row));
        if (sendsetting == kSendSelectLog) emailtext = MailTextOf(lines);

        const std::string prefix = folder.empty() || folder.back() == '/' ? folder : folder + "/";
        const std::time_t now = std::time(nullptr);
        std::string path;
        // Two program instances saving in the same millisecond could pick the same name; a name
        // already taken is passed over so that no earlier log is replaced.
        for (int attempt = 0; attempt < 32; ++attempt) {
            path = prefix + AutoDetailLogName(now, TickCount(), autologcounter.fetch_add(1));
            struct stat info {};
            if (::lstat(path.c_str(), &info) != 0 && errno == ENOENT) break;
        }
        if (!WriteTextLines(path, lines, error)) return false;
        if (writtenpath != nullptr) *writtenpath = path;
        return true;
    } catch (...) {
        try {
            error = "Not enough memory to save the log";
        } catch (...) {
            // No memory for the message either: the false result still reports the failure.
        }
        return false;
    }
}

LogSaveResult SaveDumpLog(const std::string& chosen, const std::vector<std::string>& lines, std::string& error,
                          ExistingLog existing) {
    try {
        return WriteTarget(chosen, ".txt", existing, lines, error);
    } catch (...) {
        NoMemory(&error);
        return LogSaveResult::Failed;
    }
}

std::size_t LoadAddressText(const std::string& bytes, std::vector<AddressRow>& rows, std::size_t* cut) {
    std::size_t added = 0;
    if (cut != nullptr) *cut = 0;
    try {
        // Room for one row a line at once, so a long file is not copied again and again as
        // the rows grow.
        const auto lines = static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n'));
        rows.reserve(rows.size() + std::min(lines + 1, kMaxImportRows));
        ForEachTextLine(bytes, [&](std::string_view line) {
            const std::size_t underscore = line.find('_');
            if (underscore == std::string_view::npos || underscore == 0) return true;
            AddressRow row;
            // A caption of megabytes would freeze the list at every paint: only what an
            // address can be is kept.
            row.address.assign(line.substr(0, std::min(underscore, kMaxWebAddressText + 4)));
            if ((BoundAddressText(row.address) || underscore > row.address.size()) && cut != nullptr) ++*cut;
            rows.push_back(std::move(row));
            return ++added < kMaxImportRows;
        });
    } catch (...) {
        // Out of memory: the rows appended so far stay.
    }
    return added;
}

bool LoadAddressFile(const std::string& path, std::vector<AddressRow>& rows, std::size_t* cut) {
    std::string bytes;
    if (ReadWholeFile(path, kMaxAddressFileBytes, bytes) != 0) return false;
    LoadAddressText(bytes, rows, cut);
    return true;
}

}  // namespace veltrin
