#include "monitor/addresstext.h"

#include <algorithm>

namespace veltrin {

AddressText ClassifyAddressText(const std::string& text) {
    AddressText out;
    if (text.empty()) return out;
    const bool dotted = std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
    if (!dotted) {
        out.kind = AddressKind::Name;
        return out;
    }
    std::uint8_t bytes[4] = {};
    int part = 0, digits = 0, value = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '.') {
            if (digits == 0 || part >= 4) return out;
            bytes[part++] = static_cast<std::uint8_t>(value);
            digits = value = 0;
            continue;
        }
        if (++digits > 3) return out;
        value = value * 10 + (text[i] - '0');
        if (value > 255) return out;
    }
    if (part != 4) return out;
    out.kind = AddressKind::Dotted;
    std::uint32_t v = 0;
    static_assert(sizeof v == sizeof bytes);
    std::copy(bytes, bytes + 4, reinterpret_cast<std::uint8_t*>(&v));
    out.value = v;
    return out;
}

}  // namespace veltrin
