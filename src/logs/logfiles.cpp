#include "logs/logfiles.h"

#include "logs/textlines.h"
#include "logs/wholefile.h"

namespace veltrin {

std::string MainLogLine(const AddressRow& row) {
    std::string line;
    line.reserve(row.address.size() + row.ttl.size() + row.time.size() + row.bytes.size() + 24);
    line += row.address;
    line += "_   ";
    line += "TTL ";
    line += row.ttl;
    line += " ";
    line += "Timeout ";
    line += row.time;
    line += "  ";
    line += row.bytes;
    line += "  ";
    line += '\r';
    return line;
}

std::vector<std::string> MainLogLines(const std::vector<AddressRow>& rows) {
    std::vector<std::string> lines;
    lines.reserve(rows.size());
    for (const auto& row : rows) lines.push_back(MainLogLine(row));
    return lines;
}

std::string DetailLogLine(const AddressRow& row) {
    std::string line;
    line.reserve(row.address.size() + row.ttl.size() + row.time.size() + row.bytes.size() + 32);
    line += row.address;
    line += "  ";
    line += "TTL ";
    line += row.ttl;
    line += " ";
    line += "Timeout ";
    line += row.time;
    line += " ";
    line += "Return bytes ";
    line += row.bytes;
    return line;
}

std::vector<std::string> SplitTextLines(const std::string& bytes) {
    std::vector<std::string> lines;
    try {
        ForEachTextLine(bytes, [&lines](std::string_view line) {
            lines.emplace_back(line);
            return true;
        });
    } catch (...) {
        // Out of memory: the lines split so far are returned.
    }
    return lines;
}

std::size_t AddressTextBound(const std::string& text) {
    static const char scheme[] = "http://";
    for (std::size_t i = 0; i + 7 <= text.size(); ++i) {
        std::size_t k = 0;
        while (k < 7 && (text[i + k] | 0x20) == scheme[k]) ++k;
        if (k == 7) return kMaxWebAddressText;
    }
    return kMaxHostNameText;
}

bool BoundAddressText(std::string& text) {
    if (text.size() <= kMaxHostNameText) return false;
    const std::size_t bound = AddressTextBound(text);
    if (text.size() <= bound) return false;
    // Back to the first byte of the character the bound falls in. A character has at most four
    // bytes: a longer run of continuation bytes is no character, and walking back over it could
    // leave nothing of the address, so such text is cut at the bound itself.
    const auto continuation = [&text](std::size_t at) { return (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80; };
    std::size_t end = bound;
    while (end + 3 > bound && continuation(end)) --end;
    if (continuation(end)) end = bound;
    text.resize(end);
    return true;
}

void LoadAddressLines(const std::vector<std::string>& lines, std::vector<AddressRow>& rows) {
    try {
        for (const std::string& line : lines) {
            const std::size_t underscore = line.find('_');
            if (underscore == std::string::npos || underscore == 0) continue;
            AddressRow row;
            row.address = line.substr(0, underscore);
            BoundAddressText(row.address);  // as LoadAddressText does
            rows.push_back(std::move(row));
        }
    } catch (...) {
        // Out of memory: the rows appended so far stay.
    }
}

bool WriteTextLines(const std::string& path, const std::vector<std::string>& lines, std::string& error) {
    std::string bytes;
    try {
        std::size_t total = 0;
        for (const std::string& line : lines) total += line.size() + 2;
        bytes.reserve(total);
        for (const std::string& line : lines) {
            bytes += line;
            bytes += "\r\n";
        }
    } catch (...) {
        try {
            error = "Not enough memory to write \"" + path + "\"";
        } catch (...) {
            // No memory for the message either: the false result still reports the failure.
        }
        return false;
    }
    return WriteWholeFile(path, bytes, 0666, false, &error);
}

bool WriteTextLines(const std::string& path, const std::vector<std::string>& lines) {
    std::string error;
    return WriteTextLines(path, lines, error);
}

}  // namespace veltrin
