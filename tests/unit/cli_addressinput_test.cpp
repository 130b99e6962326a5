// The console's address sources: address logs and plain lists told apart by their lines,
// comments and blanks skipped, problems named by line, and the size bound.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cli/addressinput.h"
#include "logs/logops.h"
#include "testfiles.h"

namespace {

using veltrin::cli::AddressText;
using veltrin::cli::ReadAddressText;

std::vector<std::string> Addresses(const std::string& bytes, AddressText* keep = nullptr) {
    AddressText text;
    ReadAddressText(bytes, text);
    std::vector<std::string> out;
    for (const auto& row : text.rows) out.push_back(row.address);
    if (keep != nullptr) *keep = text;
    return out;
}

using List = std::vector<std::string>;

TEST(CliAddressInput, FormsOfBothKinds) {
    struct Case {
        const char* name;
        std::string bytes;
        List addresses;
    };
    const std::vector<Case> cases = {
        {"address log", "127.0.0.1_   TTL  Timeout     \r\r\nlocalhost_   TTL 64 Timeout 0  x  \r\r\n", {"127.0.0.1", "localhost"}},
        {"address log keeps its own rule", "no underscore\r\n127.0.0.2_x\r\n_lead\r\n", {"127.0.0.2"}},
        {"plain list", "127.0.0.1\nlocalhost\n", {"127.0.0.1", "localhost"}},
        {"plain list, CR LF and no last line end", "127.0.0.1\r\n127.0.0.2", {"127.0.0.1", "127.0.0.2"}},
        {"blanks and comments", "# hosts\n\n   \n\t127.0.0.1  \n127.0.0.2 # the second\n#127.0.0.3\n", {"127.0.0.1", "127.0.0.2"}},
        {"a commented underscore does not make a log", "# my_hosts\n127.0.0.1\n", {"127.0.0.1"}},
        {"web addresses", "HTTP://example.test/path\n", {"HTTP://example.test/path"}},
        {"empty", "", {}},
        {"only comments", "# nothing\n\n", {}},
        {"zero byte ends the text", std::string("127.0.0.1\n127.0.0.2\0\n127.0.0.3\n", 30), {"127.0.0.1", "127.0.0.2"}},
    };
    for (const Case& c : cases) EXPECT_EQ(Addresses(c.bytes), c.addresses) << c.name;
}

TEST(CliAddressInput, LinesThatHoldNoAddressAreNamed) {
    AddressText text;
    const List got = Addresses("127.0.0.1\ntwo words\n127.0.0.2\nctl\x01here\n" + std::string(2000, 'a') + "\n", &text);
    EXPECT_EQ(got, (List{"127.0.0.1", "127.0.0.2"}));
    ASSERT_EQ(text.problems.size(), 3u);
    EXPECT_EQ(text.problems[0], "line 2: more than one word (one address per line)");
    EXPECT_EQ(text.problems[1], "line 4: a control character");
    EXPECT_EQ(text.problems[2], "line 5: too long for an address");
}

TEST(CliAddressInput, ProblemsAreBounded) {
    std::string bytes;
    for (int i = 0; i < 1000; ++i) bytes += "two words\n";
    AddressText text;
    EXPECT_TRUE(Addresses(bytes, &text).empty());
    ASSERT_EQ(text.problems.size(), veltrin::cli::kMaxProblems + 1);
    EXPECT_EQ(text.problems.back(), "... and 980 more lines that hold no address");
}

TEST(CliAddressInput, RowsPastTheLimitAreCounted) {
    std::string bytes;
    bytes.reserve((veltrin::kMaxImportRows + 5) * 2);
    for (std::size_t i = 0; i < veltrin::kMaxImportRows + 5; ++i) bytes += "a\n";
    AddressText text;
    ReadAddressText(bytes, text);
    EXPECT_EQ(text.rows.size(), veltrin::kMaxImportRows);
    EXPECT_EQ(text.skipped, 5u);
}

TEST(CliAddressInput, SourcesAreReadWholeAndBounded) {
    veltrin::testfiles::TempFolder dir("cliinput");
    veltrin::testfiles::PutFile(dir / "list", "127.0.0.1\n");
    std::string bytes, error;
    ASSERT_TRUE(veltrin::cli::ReadSource(dir / "list", bytes, error)) << error;
    EXPECT_EQ(bytes, "127.0.0.1\n");

    EXPECT_FALSE(veltrin::cli::ReadSource(dir / "missing", bytes, error));
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;
    EXPECT_FALSE(veltrin::cli::ReadSource(dir.path(), bytes, error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;

    // A sparse file one byte past the bound is refused, not read into memory.
    const std::string big = dir / "big";
    const int fd = ::open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(veltrin::kMaxAddressFileBytes + 1)), 0);
    ::close(fd);
    EXPECT_FALSE(veltrin::cli::ReadSource(big, bytes, error));
    EXPECT_NE(error.find("larger than 64 MiB"), std::string::npos) << error;
    EXPECT_TRUE(bytes.empty());
}

}  // namespace
