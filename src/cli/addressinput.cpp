#include "cli/addressinput.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "logs/logops.h"
#include "logs/textlines.h"

namespace veltrin::cli {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view line) {
    while (!line.empty() && IsBlank(line.front())) line.remove_prefix(1);
    while (!line.empty() && IsBlank(line.back())) line.remove_suffix(1);
    return line;
}

// Longest name a resolver takes, with room for an "http://" form and its path.
constexpr std::size_t kMaxAddressBytes = 1024;

}  // namespace

bool LooksLikeAddressLog(const std::string& bytes) {
    bool found = false;
    ForEachTextLine(bytes, [&found](std::string_view line) {
        const std::size_t underscore = line.find('_');
        if (underscore != std::string_view::npos && underscore > 0 && line.front() != '#') found = true;
        return !found;
    });
    return found;
}

void ReadAddressText(const std::string& bytes, AddressText& out) {
    if (LooksLikeAddressLog(bytes)) {
        LoadAddressText(bytes, out.rows);
        return;
    }
    std::size_t number = 0, problems = 0;
    try {
        ForEachTextLine(bytes, [&](std::string_view line) {
            ++number;
            if (const std::size_t hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
            line = Trim(line);
            if (line.empty()) return true;
            const char* why = nullptr;
            if (line.size() > kMaxAddressBytes) why = "too long for an address";
            for (char c : line) {
                const auto b = static_cast<unsigned char>(c);
                if (why != nullptr) break;
                if (IsBlank(c)) why = "more than one word (one address per line)";
                else if (b < 0x20 || b == 0x7F) why = "a control character";
            }
            if (why != nullptr) {
                if (problems++ < kMaxProblems) out.problems.push_back("line " + std::to_string(number) + ": " + why);
                return true;
            }
            if (out.rows.size() >= kMaxImportRows) {
                ++out.skipped;
                return true;
            }
            AddressRow row;
            row.address.assign(line);
            out.rows.push_back(std::move(row));
            return true;
        });
    } catch (...) {
        // Out of memory: the rows read so far stay.
    }
    if (problems > kMaxProblems)
        out.problems.push_back("... and " + std::to_string(problems - kMaxProblems) + " more lines that hold no address");
}

bool ReadSource(const std::string& path, std::string& bytes, std::string& error) {
    const bool standardinput = path == "-";
    const std::string shown = standardinput ? std::string("standard input") : "\"" + path + "\"";
    int fd = STDIN_FILENO;
    if (!standardinput) {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) {
            error = "cannot read the address file " + shown + ": " + std::strerror(errno);
            return false;
        }
        struct stat info {};
        if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            ::close(fd);
            error = "cannot read the address file " + shown + ": not a regular file";
            return false;
        }
        // A regular file never blocks; the flag only kept a FIFO's open from waiting.
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
    bytes.clear();
    char buffer[65536];
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = "cannot read the address file " + shown + ": " + std::strerror(errno);
            ok = false;
            break;
        }
        if (n == 0) break;
        if (bytes.size() + static_cast<std::size_t>(n) > kMaxAddressFileBytes) {
            error = "the address file " + shown + " is larger than " + std::to_string(kMaxAddressFileBytes >> 20) + " MiB";
            ok = false;
            break;
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    if (!standardinput) ::close(fd);
    if (!ok) bytes.clear();
    return ok;
}

}  // namespace veltrin::cli
