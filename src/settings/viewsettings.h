// How the main list's columns are laid out: which are hidden, their widths and the sort the view
// shows. Kept in section "List view" of the settings file.
#pragma once

#include <string>
#include <vector>

namespace veltrin {

struct ListColumns {
    std::vector<int> hidden;  // column numbers
    std::vector<int> widths;  // pixels, one per column from the first; 0 or missing: the default
    int sortcolumn = -1;      // -1: list order
    bool descending = false;
};

// A missing file, section or key, or a malformed value, gives the default for that key; numbers
// out of range (columns beyond `columns`, widths outside 8..4000) are dropped.
ListColumns LoadListColumns(const std::string& inipath, int columns);
ListColumns ListColumnsFromText(const std::string& text, int columns);
// Rewrites the whole file (temporary file, then rename, mode 0600) keeping every other line.
bool SaveListColumns(const std::string& inipath, const ListColumns& layout);

}  // namespace veltrin
