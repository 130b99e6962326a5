#include "settings/inifile.h"

#include <charconv>

#include "engine/decimal.h"

namespace veltrin {

namespace {

std::string_view Trim(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

void IniFile::Parse(std::string_view text) {
    lines_.clear();
    std::size_t first = 0;
    while (first < text.size()) {
        const std::size_t lf = text.find('\n', first);
        Line line;
        if (lf == std::string_view::npos) {
            line.text.assign(text.substr(first));
            first = text.size();
        } else {
            std::size_t end = lf;
            if (end > first && text[end - 1] == '\r') --end;
            line.text.assign(text.substr(first, end - first));
            line.end.assign(text.substr(end, lf + 1 - end));
            first = lf + 1;
        }
        lines_.push_back(std::move(line));
    }
}

IniFile::Kind IniFile::Classify(const std::string& text, std::string_view& name, std::string_view& value) {
    const std::string_view line = Trim(text);
    if (line.empty() || line.front() == ';' || line.front() == '#') return Kind::Other;
    if (line.front() == '[') {
        const std::size_t close = line.find(']');
        name = Trim(line.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
        return Kind::Section;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) return Kind::Other;
    name = Trim(line.substr(0, equals));
    value = Trim(line.substr(equals + 1));
    return name.empty() ? Kind::Other : Kind::Key;
}

bool IniFile::Find(std::string_view section, std::string_view key, std::string& value) const {
    bool inside = false;
    bool seen = false;
    for (const Line& line : lines_) {
        std::string_view name, text;
        switch (Classify(line.text, name, text)) {
            case Kind::Section:
                // Only the first section of the name counts, as for keys.
                if (inside) return false;
                inside = !seen && SameName(name, section);
                seen = seen || inside;
                break;
            case Kind::Key:
                if (inside && SameName(name, key)) {
                    value.assign(text);
                    return true;
                }
                break;
            case Kind::Other: break;
        }
    }
    return false;
}

std::string IniFile::NewLine() const {
    for (const Line& line : lines_)
        if (!line.end.empty()) return line.end;
    return "\n";
}

void IniFile::Set(std::string_view section, std::string_view key, std::string_view value) {
    std::string entry;
    entry.reserve(key.size() + value.size() + 1);
    entry.append(key);
    entry += '=';
    entry.append(value);

    std::size_t header = lines_.size();
    std::size_t lastfilled = 0;  // last non-blank line of the section
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        std::string_view name, text;
        const Kind kind = Classify(lines_[i].text, name, text);
        if (header == lines_.size()) {
            if (kind == Kind::Section && SameName(name, section)) {
                header = i;
                lastfilled = i;
            }
            continue;
        }
        if (kind == Kind::Section) break;
        if (kind == Kind::Key && SameName(name, key)) {
            lines_[i].text = std::move(entry);
            return;
        }
        if (!Trim(lines_[i].text).empty()) lastfilled = i;
    }
    const std::string newline = NewLine();
    if (header == lines_.size()) {
        if (!lines_.empty() && lines_.back().end.empty()) lines_.back().end = newline;
        lines_.push_back(Line{"[" + std::string(section) + "]", newline});
        lines_.push_back(Line{std::move(entry), newline});
        return;
    }
    Line added{std::move(entry), newline};
    if (lines_[lastfilled].end.empty()) {
        // The section's last line was the file's last line, without an end: it gets one and the
        // new last line goes without, as before.
        lines_[lastfilled].end = newline;
        added.end.clear();
    }
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(lastfilled + 1), std::move(added));
}

std::string IniFile::Text() const {
    std::size_t size = 0;
    for (const Line& line : lines_) size += line.text.size() + line.end.size();
    std::string text;
    text.reserve(size);
    for (const Line& line : lines_) {
        text += line.text;
        text += line.end;
    }
    return text;
}

std::string EscapeIniValue(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() + 8);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const auto u = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (u < 32 || u == 127 || (c == ' ' && (i == 0 || i + 1 == text.size()))) {
            out += "\\x";
            out += kHex[u >> 4];
            out += kHex[u & 15];
        } else {
            out += c;
        }
    }
    return out;
}

std::string UnescapeIniValue(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\\' || i + 1 >= text.size()) {
            out += c;
            continue;
        }
        const char next = text[i + 1];
        if (next == '\\') {
            out += '\\';
            ++i;
        } else if (next == 'n') {
            out += '\n';
            ++i;
        } else if (next == 'r') {
            out += '\r';
            ++i;
        } else if (next == 't') {
            out += '\t';
            ++i;
        } else if (next == 'x' && i + 3 < text.size() && HexValue(text[i + 2]) >= 0 && HexValue(text[i + 3]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 2]) * 16 + HexValue(text[i + 3]));
            i += 3;
        } else {
            out += c;
        }
    }
    return out;
}

bool ParseIniInteger(std::string_view text, std::int32_t& value) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        std::uint32_t bits = 0;
        const char* first = text.data() + 2;
        const char* last = text.data() + text.size();
        // from_chars would accept a sign here; only hex digits may follow the prefix.
        if (HexValue(*first) < 0) return false;
        const auto [ptr, ec] = std::from_chars(first, last, bits, 16);
        if (ec != std::errc() || ptr != last) return false;
        value = static_cast<std::int32_t>(bits);
        return true;
    }
    return ParseDecimal(text, value);
}

}  // namespace veltrin
