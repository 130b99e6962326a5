// A small INI text model that keeps every line it does not change exactly as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace veltrin {

// Layout understood: "[section]" lines open a section; "key=value" lines inside it hold
// values; blank lines and lines starting with ";" or "#" are comments; any other line is
// kept but means nothing. Names of sections and keys are matched without regard to ASCII case,
// blanks and tabs around names and values are not part of them, and the first of several equal
// sections or keys is the one that counts. Lines end at LF or CR LF; each line keeps its own end
// when the text is written back, a last line without an end stays without one.
class IniFile {
public:
    // Any bytes are accepted (zero bytes and lone carriage returns are ordinary characters).
    void Parse(std::string_view text);

    // The stored text of the value as it stands in the file (not unescaped).
    bool Find(std::string_view section, std::string_view key, std::string& value) const;

    // Replaces the value of the key in place, else adds "key=value" after the last non-blank
    // line of the section, else appends the section with the key at the end of the text.
    // `value` is written as given; callers escape text values first (EscapeIniValue).
    void Set(std::string_view section, std::string_view key, std::string_view value);

    std::string Text() const;

private:
    struct Line {
        std::string text;
        std::string end;  // "\n", "\r\n" or "" for a last line without an end
    };
    enum class Kind { Other, Section, Key };
    static Kind Classify(const std::string& text, std::string_view& name, std::string_view& value);
    std::string NewLine() const;

    std::vector<Line> lines_;
};

// Escaping of text values so that any text, line breaks included, stays on its one line and
// reads back unchanged: "\" is written "\\", LF "\n", CR "\r", tab "\t", every other byte below
// 32 and 127 "\xHH" (two upper-case hex digits), and a blank at the very start or end "\x20"
// (blanks around a value are not part of it when it is read). All other bytes stand as they are.
std::string EscapeIniValue(std::string_view text);
// The reverse. "\\", "\n", "\r", "\t" and "\x" followed by two hex digits are decoded; a
// backslash followed by anything else stands for itself, so a value written without escapes
// (by hand, or by an older writer) reads back as it stands.
std::string UnescapeIniValue(std::string_view text);

// Integer rule of the settings file: an optional sign and decimal digits fitting a signed
// 32-bit integer, or "0x"/"0X" followed by one or more hex digits of a value below 2^32 (taken
// as the 32-bit pattern, so "0xFFFFFFFF" is -1). Anything else is not a number.
bool ParseIniInteger(std::string_view text, std::int32_t& value);

}  // namespace veltrin
