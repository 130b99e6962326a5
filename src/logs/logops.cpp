#include "logs/logops.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
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

// The dialog-driven saves: nothing for a cancelled dialog or an existing file of exactly the
// chosen name, else the lines written under `target`.
LogSaveResult WriteUnlessExists(const std::string& chosen, const std::string& target,
                                const std::vector<std::string>& lines, std::string& error) {
    if (chosen.empty()) return LogSaveResult::Cancelled;
    if (LogFileExists(chosen)) return LogSaveResult::Exists;
    return WriteTextLines(target, lines, error) ? LogSaveResult::Saved : LogSaveResult::Failed;
}

template <class Format>
LogSaveResult SaveRows(const std::string& chosen, const char* extension, const std::vector<AddressRow>& rows,
                       Format format, bool setmail, std::string& emailtext) {
    if (chosen.empty()) return LogSaveResult::Cancelled;
    std::vector<std::string> lines;
    lines.reserve(rows.size());
    for (const AddressRow& row : rows) lines.push_back(format(row));
    std::string error;
    const LogSaveResult result = WriteUnlessExists(chosen, chosen + extension, lines, error);
    if (result == LogSaveResult::Saved && setmail) emailtext = MailTextOf(lines);
    return result;
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

LogSaveResult SaveAddressLog(const std::string& chosen, const std::vector<AddressRow>& rows,
                             const std::string& sendsetting, std::string& emailtext) {
    try {
        return SaveRows(chosen, ".spl", rows, MainLogLine, sendsetting == kSendAll, emailtext);
    } catch (...) {
        return LogSaveResult::Failed;
    }
}

LogSaveResult SaveDetailLog(const std::string& chosen, const std::vector<AddressRow>& rows,
                            const std::string& sendsetting, std::string& emailtext) {
    try {
        return SaveRows(chosen, ".txt", rows, DetailLogLine, sendsetting == kSendSelectLog, emailtext);
    } catch (...) {
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

LogSaveResult SaveDumpLog(const std::string& chosen, const std::vector<std::string>& lines, std::string& error) {
    try {
        return WriteUnlessExists(chosen, chosen, lines, error);
    } catch (...) {
        return LogSaveResult::Failed;
    }
}

std::size_t LoadAddressText(const std::string& bytes, std::vector<AddressRow>& rows, std::size_t* cut) {
    std::size_t added = 0;
    if (cut != nullptr) *cut = 0;
    try {
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
