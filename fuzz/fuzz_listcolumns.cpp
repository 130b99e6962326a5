// The list view's stored column layout on any bytes: every number it gives back is in range,
// no column is hidden twice, and there are never more widths than columns.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "settings/viewsettings.h"

namespace {

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (int columns : {0, 1, 8}) {
        const veltrin::ListColumns l = veltrin::ListColumnsFromText(text, columns);
        Check(static_cast<int>(l.widths.size()) <= columns);
        for (int w : l.widths) Check(w == 0 || (w >= 8 && w <= 4000));
        for (std::size_t i = 0; i < l.hidden.size(); ++i) {
            Check(l.hidden[i] >= 0 && l.hidden[i] < columns);
            Check(std::count(l.hidden.begin(), l.hidden.end(), l.hidden[i]) == 1);
        }
        Check(l.sortcolumn >= -1 && l.sortcolumn < columns);
    }
    return 0;
}
