// Small helpers shared by the engine's own files; not part of its public interface.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace veltrin::detail {

// Dotted text of four bytes in network order.
inline std::string Dotted(const std::uint8_t* p) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", p[0], p[1], p[2], p[3]);
    return text;
}

// Echo messages never exceed this many bytes; shorter requests than the header are padded to it.
constexpr int kEchoHeaderLength = 12;
constexpr int kEchoMaxMessage = 1024;

}  // namespace veltrin::detail
