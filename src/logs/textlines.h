// Walks the lines of imported text without copying it.
#pragma once

#include <cstring>
#include <string_view>

namespace veltrin {

// Calls `visit(line)` for every line of `bytes` until it returns false. A line ends at a
// carriage return, a line feed, or a carriage return followed by a line feed; a zero byte ends
// the text. Text after the last line end forms a last line; an empty rest does not.
template <class Visit>
void ForEachTextLine(std::string_view bytes, Visit&& visit) {
    const void* zero = std::memchr(bytes.data(), 0, bytes.size());
    const std::size_t size = zero != nullptr ? static_cast<std::size_t>(static_cast<const char*>(zero) - bytes.data())
                                             : bytes.size();
    std::size_t first = 0;
    while (first < size) {
        std::size_t end = first;
        while (end < size && bytes[end] != '\r' && bytes[end] != '\n') ++end;
        if (!visit(bytes.substr(first, end - first))) return;
        if (end < size && bytes[end] == '\r' && end + 1 < size && bytes[end + 1] == '\n') ++end;
        first = end + 1;
    }
}

}  // namespace veltrin
