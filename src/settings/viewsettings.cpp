#include "settings/viewsettings.h"

#include <algorithm>
#include <cerrno>

#include "logs/wholefile.h"
#include "settings/inifile.h"

namespace veltrin {

namespace {

constexpr char kSection[] = "List view";
constexpr std::size_t kMaxSettingsBytes = std::size_t{1} << 20;
constexpr unsigned kSettingsMode = 0600;
constexpr int kMinWidth = 8;
constexpr int kMaxWidth = 4000;
constexpr std::size_t kMaxItems = 64;

// "1,2,3": the numbers that parse, up to kMaxItems.
std::vector<std::int32_t> NumberList(const std::string& text) {
    std::vector<std::int32_t> out;
    std::size_t start = 0;
    while (start <= text.size() && out.size() < kMaxItems) {
        const std::size_t comma = text.find(',', start);
        const std::size_t end = comma == std::string::npos ? text.size() : comma;
        std::string item = text.substr(start, end - start);
        std::int32_t value = 0;
        if (ParseIniInteger(item, value)) out.push_back(value);
        else out.push_back(-1);  // keeps the positions of the others
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return out;
}

std::string Join(const std::vector<int>& values) {
    std::string text;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i) text += ',';
        text += std::to_string(values[i]);
    }
    return text;
}

}  // namespace

ListColumns ListColumnsFromText(const std::string& text, int columns) {
    IniFile ini;
    ini.Parse(text);
    ListColumns layout;
    std::string stored;
    if (ini.Find(kSection, "hidden", stored))
        for (std::int32_t c : NumberList(stored))
            if (c >= 0 && c < columns && std::find(layout.hidden.begin(), layout.hidden.end(), c) == layout.hidden.end())
                layout.hidden.push_back(c);
    if (ini.Find(kSection, "widths", stored)) {
        for (std::int32_t w : NumberList(stored)) {
            if (static_cast<int>(layout.widths.size()) >= columns) break;
            layout.widths.push_back(w >= kMinWidth && w <= kMaxWidth ? w : 0);
        }
    }
    std::int32_t value = 0;
    if (ini.Find(kSection, "sortcolumn", stored) && ParseIniInteger(stored, value) && value >= 0 && value < columns)
        layout.sortcolumn = value;
    if (ini.Find(kSection, "descending", stored) && ParseIniInteger(stored, value)) layout.descending = value != 0;
    return layout;
}

ListColumns LoadListColumns(const std::string& inipath, int columns) {
    std::string bytes;
    if (ReadWholeFile(inipath, kMaxSettingsBytes, bytes) != 0) return ListColumns{};
    return ListColumnsFromText(bytes, columns);
}

bool SaveListColumns(const std::string& inipath, const ListColumns& layout) {
    std::string bytes;
    const int err = ReadWholeFile(inipath, kMaxSettingsBytes, bytes);
    if (err != 0 && err != ENOENT) return false;  // never replace a file we could not read
    IniFile ini;
    ini.Parse(bytes);
    ini.Set(kSection, "hidden", Join(layout.hidden));
    ini.Set(kSection, "widths", Join(layout.widths));
    ini.Set(kSection, "sortcolumn", std::to_string(layout.sortcolumn));
    ini.Set(kSection, "descending", layout.descending ? "1" : "0");
    return WriteWholeFile(inipath, ini.Text(), kSettingsMode, true);
}

}  // namespace veltrin
