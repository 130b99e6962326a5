// The monitor's row choice: a linear congruential generator seeded with 0, never from the clock,
// so every run draws the same sequence for the same list length.
#pragma once

#include <cstdint>

namespace veltrin {

class RowPicker {
public:
    // Index in 0..rows-1; 0 for rows <= 0.
    int next(int rows);

private:
    std::uint32_t seed_ = 0;
};

}  // namespace veltrin
