// What every fuzz target shares: the input as a string, and a check that stops the run on a
// broken property (a trap, so libFuzzer keeps the input that did it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzzhelp {

inline void Check(bool condition) {
    if (!condition) __builtin_trap();
}

inline std::string Bytes(const std::uint8_t* data, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

}  // namespace fuzzhelp
