#include "monitor/rowpicker.h"

namespace veltrin {

int RowPicker::next(int rows) {
    seed_ = seed_ * 134775813u + 1u;
    if (rows <= 0) return 0;
    const std::uint64_t product = static_cast<std::uint64_t>(seed_) * static_cast<std::uint64_t>(rows);
    return static_cast<int>(product >> 32);
}

}  // namespace veltrin
