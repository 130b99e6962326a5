#include "logs/logops.h"

#include <sys/stat.h>

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
    if (result == LogSaveResult::Saved && setmail) emailtext = JoinCommaText(lines);
    return result;
}

}  // namespace

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
        if (sendsetting == kSendSelectLog) emailtext = JoinCommaText(lines);

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

std::size_t LoadAddressText(const std::string& bytes, std::vector<AddressRow>& rows) {
    std::size_t added = 0;
    try {
        ForEachTextLine(bytes, [&](std::string_view line) {
            const std::size_t underscore = line.find('_');
            if (underscore == std::string_view::npos || underscore == 0) return true;
            AddressRow row;
            row.address.assign(line.substr(0, underscore));
            rows.push_back(std::move(row));
            return ++added < kMaxImportRows;
        });
    } catch (...) {
        // Out of memory: the rows appended so far stay.
    }
    return added;
}

bool LoadAddressFile(const std::string& path, std::vector<AddressRow>& rows) {
    std::string bytes;
    if (ReadWholeFile(path, kMaxAddressFileBytes, bytes) != 0) return false;
    LoadAddressText(bytes, rows);
    return true;
}

}  // namespace veltrin
