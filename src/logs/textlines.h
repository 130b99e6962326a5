// The one line rule for text the program reads (imported address files, the mail text, the
// About file): a line ends at a carriage return, a line feed, or a carriage return followed by a
// line feed. Text after the last line end forms a last line; an empty rest does not, so an empty
// text has no lines and a text holding only a line break has one empty line.
#pragma once

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace veltrin {

// Calls `visit(line)` for every line of `bytes` until it returns false. Zero bytes are ordinary
// characters.
template <class Visit>
void ForEachLine(std::string_view bytes, Visit&& visit) {
    const std::size_t size = bytes.size();
    std::size_t first = 0;
    while (first < size) {
        std::size_t end = first;
        while (end < size && bytes[end] != '\r' && bytes[end] != '\n') ++end;
        if (!visit(bytes.substr(first, end - first))) return;
        if (end < size && bytes[end] == '\r' && end + 1 < size && bytes[end + 1] == '\n') ++end;
        first = end + 1;
    }
}

// The same for imported text, where a zero byte ends the text.
template <class Visit>
void ForEachTextLine(std::string_view bytes, Visit&& visit) {
    const void* zero = std::memchr(bytes.data(), 0, bytes.size());
    if (zero != nullptr) bytes = bytes.substr(0, static_cast<std::size_t>(static_cast<const char*>(zero) - bytes.data()));
    ForEachLine(bytes, visit);
}

// Every line of `bytes` (zero bytes are ordinary characters), without its line end.
inline std::vector<std::string> SplitLines(std::string_view bytes) {
    std::vector<std::string> lines;
    ForEachLine(bytes, [&lines](std::string_view line) {
        lines.emplace_back(line);
        return true;
    });
    return lines;
}

}  // namespace veltrin
