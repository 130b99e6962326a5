// The row picker: a fixed generator, so every run picks the same rows for the same list length.
#include <gtest/gtest.h>

#include <vector>

#include "monitor/rowpicker.h"

namespace veltrin {
namespace {

TEST(RowPickerTest, ThreeRowsGiveTheKnownFirstTwelvePicks) {
    RowPicker picker;
    std::vector<int> picks;
    for (int i = 0; i < 12; ++i) picks.push_back(picker.next(3) + 1);  // rows counted from 1
    EXPECT_EQ(picks, (std::vector<int>{1, 1, 3, 1, 1, 3, 1, 1, 2, 2, 1, 2}));
}

TEST(RowPickerTest, FirstPickIsTheFirstRowWhateverTheLength) {
    for (int rows : {1, 2, 3, 7, 100, 65536, 100000, 2147483647}) {
        RowPicker picker;
        EXPECT_EQ(picker.next(rows), 0) << rows;
    }
}

TEST(RowPickerTest, PicksStayInRangeAndReachEveryRow) {
    RowPicker picker;
    constexpr int kRows = 17;
    std::vector<int> seen(kRows, 0);
    for (int i = 0; i < 17000; ++i) {
        const int r = picker.next(kRows);
        ASSERT_GE(r, 0);
        ASSERT_LT(r, kRows);
        ++seen[static_cast<std::size_t>(r)];
    }
    for (int r = 0; r < kRows; ++r) EXPECT_GT(seen[static_cast<std::size_t>(r)], 500) << r;  // about 1000 each
}

TEST(RowPickerTest, EmptyListStillAdvancesTheSequence) {
    RowPicker a, b;
    EXPECT_EQ(a.next(0), 0);
    EXPECT_EQ(a.next(-4), 0);
    b.next(3);
    b.next(3);
    // Both have drawn twice, so the third draw agrees.
    EXPECT_EQ(a.next(3), b.next(3));
    EXPECT_EQ(a.next(1000), b.next(1000));
}

}  // namespace
}  // namespace veltrin
