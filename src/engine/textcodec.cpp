// Base64 for the stored SMTP credentials and the comma-joined form of multi-line text.
#include <cstdint>
#include <string>
#include <vector>

#include "engine/global_unit.h"

namespace veltrin {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kPad = 64;      // value of "="
constexpr int kInvalid = -1;  // a byte outside the alphabet

int Base64Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    if (c == '=') return kPad;
    return kInvalid;
}

bool NeedsQuotes(const std::string& line) {
    for (const char ch : line) {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= 32 || c == '"' || c == ',') return true;
    }
    return false;
}

}  // namespace

std::string Base64Encode(const std::string& text) {
    std::string out;
    try {
        out.reserve((text.size() + 2) / 3 * 4);
        std::size_t i = 0;
        const auto byte = [&text](std::size_t at) { return static_cast<std::uint32_t>(static_cast<unsigned char>(text[at])); };
        for (; i + 3 <= text.size(); i += 3) {
            const std::uint32_t v = (byte(i) << 16) | (byte(i + 1) << 8) | byte(i + 2);
            out += kAlphabet[(v >> 18) & 63];
            out += kAlphabet[(v >> 12) & 63];
            out += kAlphabet[(v >> 6) & 63];
            out += kAlphabet[v & 63];
        }
        const std::size_t rest = text.size() - i;
        if (rest == 1) {
            const std::uint32_t v = byte(i) << 16;
            out += kAlphabet[(v >> 18) & 63];
            out += kAlphabet[(v >> 12) & 63];
            out += "==";
        } else if (rest == 2) {
            const std::uint32_t v = (byte(i) << 16) | (byte(i + 1) << 8);
            out += kAlphabet[(v >> 18) & 63];
            out += kAlphabet[(v >> 12) & 63];
            out += kAlphabet[(v >> 6) & 63];
            out += '=';
        }
    } catch (...) {
        out.clear();
    }
    return out;
}

// Decodes whole groups of four; anything after the last whole group is ignored. A group that
// holds a byte outside the alphabet (blank, line break, any other character) ends the decoding:
// the bytes of the groups before it are returned and nothing is guessed for the rest. A stored
// credential that was damaged by hand therefore yields a shorter text, never bytes made up from
// out-of-range values.
std::string Base64Decode(const std::string& text) {
    std::string out;
    try {
        out.reserve(text.size() / 4 * 3);
        for (std::size_t i = 0; i + 4 <= text.size(); i += 4) {
            const int a = Base64Value(static_cast<unsigned char>(text[i]));
            const int b = Base64Value(static_cast<unsigned char>(text[i + 1]));
            const int c = Base64Value(static_cast<unsigned char>(text[i + 2]));
            const int d = Base64Value(static_cast<unsigned char>(text[i + 3]));
            if (a == kInvalid || b == kInvalid || c == kInvalid || d == kInvalid) break;
            out += static_cast<char>(((a << 2) | (b >> 4)) & 0xFF);
            // A pad ends only its own group; a later group is decoded as usual.
            if (c == kPad) continue;
            out += static_cast<char>(((b << 4) & 0xFF) | (c >> 2));
            if (d == kPad) continue;
            out += static_cast<char>(((c << 6) & 0xFF) | d);
        }
    } catch (...) {
        out.clear();
    }
    return out;
}

std::string JoinCommaText(const std::vector<std::string>& lines) {
    if (lines.size() == 1 && lines[0].empty()) return "\"\"";
    std::string out;
    try {
        for (std::size_t n = 0; n < lines.size(); ++n) {
            if (n > 0) out += ',';
            const std::string& line = lines[n];
            if (!NeedsQuotes(line)) {
                out += line;
                continue;
            }
            out += '"';
            for (const char ch : line) {
                if (ch == '"') out += '"';
                out += ch;
            }
            out += '"';
        }
    } catch (...) {
        out.clear();
    }
    return out;
}

std::string TrimText(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= 0x20) ++begin;
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 0x20) --end;
    return std::string(text.substr(begin, end - begin));
}

}  // namespace veltrin
