// A library opened on first use: a missing library or function is an error that names it, never
// a crash, so a mail or metrics start can say why it cannot go on.
#include <gtest/gtest.h>

#include <string>

#include "engine/lazylibrary.h"

namespace veltrin {
namespace {

TEST(LazyLibraryTest, OpensALibraryAndBindsItsFunctions) {
    LazyLibrary libc("libc.so.6");
    ASSERT_TRUE(libc.ok()) << libc.error();
    int (*abs)(int) = nullptr;
    ASSERT_TRUE(libc.Bind("abs", abs));
    EXPECT_EQ(abs(-7), 7);
    void (*missing)() = nullptr;
    EXPECT_FALSE(libc.Bind("no_such_function_in_libc", missing));
    EXPECT_EQ(missing, nullptr);
    EXPECT_NE(libc.error().find("no_such_function_in_libc"), std::string::npos) << libc.error();
}

TEST(LazyLibraryTest, AMissingLibraryIsNamedInTheError) {
    LazyLibrary none("libveltrin-no-such-library.so.9");
    EXPECT_FALSE(none.ok());
    EXPECT_NE(none.error().find("libveltrin-no-such-library.so.9"), std::string::npos) << none.error();
    int (*f)(int) = nullptr;
    EXPECT_FALSE(none.Bind("abs", f));
    EXPECT_EQ(f, nullptr);
}

}  // namespace
}  // namespace veltrin
