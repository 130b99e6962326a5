// Echo packet, checksum, reply decoding and description: the wire-level core, tested on
// hand-made datagrams so every offset and every boundary is pinned down.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "engine/global_unit.h"

namespace veltrin {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Textbook RFC 1071 in network byte order, written independently of the engine's
// little-endian summing, so the two can check each other.
std::uint16_t ReferenceChecksumBigEndian(const Bytes& m) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < m.size(); i += 2) {
        const std::uint32_t hi = m[i];
        const std::uint32_t lo = i + 1 < m.size() ? m[i + 1] : 0;
        sum += (hi << 8) | lo;
    }
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

// One's-complement sum over the message including its checksum field: zero means it verifies.
std::uint16_t Verify(const Bytes& m) { return IcmpChecksum(m.data(), m.size()); }

// A received datagram: a 20-byte IPv4 header followed by the ICMP message.
struct Datagram {
    std::uint8_t ttl = 64;
    std::uint8_t src[4] = {127, 0, 0, 1};
    std::uint8_t dst[4] = {127, 0, 0, 2};
    std::uint8_t type = 0, code = 0;
    std::uint16_t id = 0x1234;
    std::uint32_t stamp = 0x00010203;
    Bytes data;  // bytes after the 12-byte ICMP header

    Bytes Wire() const {
        Bytes b(20, 0);
        b[0] = 0x45;
        b[8] = ttl;
        b[9] = 1;
        std::memcpy(&b[12], src, 4);
        std::memcpy(&b[16], dst, 4);
        Bytes icmp = {type, code, 0, 0, static_cast<std::uint8_t>(id & 0xFF), static_cast<std::uint8_t>(id >> 8), 0,
                      0};
        for (int i = 0; i < 4; ++i) icmp.push_back(static_cast<std::uint8_t>(stamp >> (8 * i)));
        icmp.insert(icmp.end(), data.begin(), data.end());
        b.insert(b.end(), icmp.begin(), icmp.end());
        const std::size_t total = b.size();
        b[2] = static_cast<std::uint8_t>(total >> 8);
        b[3] = static_cast<std::uint8_t>(total & 0xFF);
        return b;
    }
};

Tdecordbuf Sentinel() {
    return {"t0", "c0", "s0", "d0", "p0", "r0", "l0", "x0"};
}

void ExpectFields(const Tdecordbuf& r, const std::vector<std::string>& want) {
    ASSERT_EQ(want.size(), 8u);
    EXPECT_EQ(r.icmptype, want[0]);
    EXPECT_EQ(r.icmpcode, want[1]);
    EXPECT_EQ(r.sourceip, want[2]);
    EXPECT_EQ(r.destip, want[3]);
    EXPECT_EQ(r.packetsize, want[4]);
    EXPECT_EQ(r.replytime, want[5]);
    EXPECT_EQ(r.ttl, want[6]);
    EXPECT_EQ(r.datastr, want[7]);
}

// ---- IcmpChecksum ---------------------------------------------------------------------------

TEST(IcmpChecksum, KnownHeaderOnlyRequest) {
    Bytes m = {0x08, 0x00, 0x00, 0x00, 0x34, 0x12, 0x00, 0x00, 0x03, 0x02, 0x01, 0x00};
    const std::uint16_t sum = IcmpChecksum(m.data(), m.size());
    m[2] = static_cast<std::uint8_t>(sum & 0xFF);
    m[3] = static_cast<std::uint8_t>(sum >> 8);
    EXPECT_EQ(m, (Bytes{0x08, 0x00, 0xBF, 0xEB, 0x34, 0x12, 0x00, 0x00, 0x03, 0x02, 0x01, 0x00}));
    EXPECT_EQ(Verify(m), 0);
}

struct ChecksumCase {
    const char* name;
    Bytes bytes;
    std::uint16_t expected;  // as the engine returns it: little-endian word value
};

TEST(IcmpChecksum, Table) {
    const std::vector<ChecksumCase> cases = {
        {"empty", {}, 0xFFFF},
        {"one odd byte counts as the low byte of a word", {0x01}, 0xFFFE},
        {"three bytes, last one padded", {0x01, 0x02, 0x03}, 0xFDFB},
        {"zeros", Bytes(64, 0), 0xFFFF},
        {"all ones fold to zero", Bytes(1024, 0xFF), 0x0000},
        // 3 x 0xFFFF + 0x0002 = 0x2FFFF: the first fold gives 0x10001, only the second settles it.
        {"needs the second fold", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00}, 0xFFFD},
        {"single carry", {0xFF, 0xFF, 0x01, 0x00}, 0xFFFE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(IcmpChecksum(c.bytes.data(), c.bytes.size()), c.expected);
    }
}

TEST(IcmpChecksum, MatchesNetworkOrderReferenceForEveryLength) {
    std::mt19937 rng(20240611);
    for (std::size_t len = 0; len <= 1030; ++len) {
        Bytes m(len);
        for (auto& b : m) b = static_cast<std::uint8_t>(rng());
        const std::uint16_t le = IcmpChecksum(m.data(), m.size());
        const std::uint16_t be = ReferenceChecksumBigEndian(m);
        // Stored low byte first, the engine's value must put the same two bytes on the wire.
        ASSERT_EQ(le & 0xFF, be >> 8) << "length " << len;
        ASSERT_EQ(le >> 8, be & 0xFF) << "length " << len;
    }
}

TEST(IcmpChecksum, OddLengthEqualsZeroPadded) {
    for (std::size_t len : {1u, 13u, 33u, 1023u}) {
        Bytes m(len);
        for (std::size_t i = 0; i < len; ++i) m[i] = static_cast<std::uint8_t>(i * 37 + 11);
        Bytes padded = m;
        padded.push_back(0);
        EXPECT_EQ(IcmpChecksum(m.data(), m.size()), IcmpChecksum(padded.data(), padded.size())) << len;
        // and the last byte really takes part
        Bytes changed = m;
        changed.back() ^= 0x01;
        EXPECT_NE(IcmpChecksum(m.data(), m.size()), IcmpChecksum(changed.data(), changed.size())) << len;
    }
}

// ---- BuildEchoRequest -------------------------------------------------------------------------

TEST(BuildEchoRequest, LengthRule) {
    const struct {
        int datalength;
        std::size_t length;
    } cases[] = {{0, 12},   {8, 12},    {11, 12},   {12, 12},      {13, 13},           {32, 32},
                 {1024, 1024}, {1025, 12}, {-1, 12},   {-1024, 12}, {INT_MIN, 12}, {INT_MAX, 12}};
    for (const auto& c : cases) {
        SCOPED_TRACE("datalength " + std::to_string(c.datalength));
        const Bytes m = BuildEchoRequest(0xBEEF, 0xCAFEF00D, c.datalength);
        ASSERT_EQ(m.size(), c.length);
        EXPECT_EQ(Verify(m), 0);
        std::size_t fill = 0;
        for (std::size_t i = 12; i < m.size(); ++i) fill += m[i] == 0x55;
        EXPECT_EQ(fill, c.length - 12);
    }
}

TEST(BuildEchoRequest, HeaderLayout) {
    const Bytes m = BuildEchoRequest(0x1234, 0x00010203, 8);
    EXPECT_EQ(m, (Bytes{0x08, 0x00, 0xBF, 0xEB, 0x34, 0x12, 0x00, 0x00, 0x03, 0x02, 0x01, 0x00}));

    const Bytes full = BuildEchoRequest(0xA1B2, 0xF1E2D3C4, 1024);
    ASSERT_EQ(full.size(), 1024u);
    EXPECT_EQ(full[0], 8);
    EXPECT_EQ(full[1], 0);
    EXPECT_EQ(full[4], 0xB2);
    EXPECT_EQ(full[5], 0xA1);
    EXPECT_EQ(full[6], 0);
    EXPECT_EQ(full[7], 0);
    EXPECT_EQ((Bytes{full[8], full[9], full[10], full[11]}), (Bytes{0xC4, 0xD3, 0xE2, 0xF1}));
    EXPECT_EQ(std::count(full.begin() + 12, full.end(), 0x55), 1012);
    EXPECT_EQ(Verify(full), 0);
    // the checksum covers the fill too: flipping one fill byte breaks it
    Bytes broken = full;
    broken[700] = 0x54;
    EXPECT_NE(Verify(broken), 0);
}

// ---- DecodeReply ------------------------------------------------------------------------------

TEST(DecodeReply, ShortOrNegativeLengthGivesNilAndErrors) {
    const Bytes big = Datagram{.data = Bytes(40, 0x55)}.Wire();
    for (int length : {31, 0, 1, -1, -32, INT_MIN}) {
        SCOPED_TRACE(length);
        Tdecordbuf r = Sentinel();
        DecodeReply(big.data(), length, 0, 0x1234, r);
        ExpectFields(r, {"NIL", "Error", "Error", "Error", "Error", "Error", "Error", "Error"});
    }
    Tdecordbuf r = Sentinel();
    DecodeReply(nullptr, 100, 0, 0x1234, r);
    EXPECT_EQ(r.icmptype, "NIL");
}

TEST(DecodeReply, ThirtyOneByteBufferIsNotRead) {
    // Heap buffer of exactly 31 bytes: under ASan any read past it aborts.
    const Bytes d = Datagram{}.Wire();
    std::vector<std::uint8_t> exact(d.begin(), d.begin() + 31);
    Tdecordbuf r;
    DecodeReply(exact.data(), 31, 0, 0x1234, r);
    ExpectFields(r, {"NIL", "Error", "Error", "Error", "Error", "Error", "Error", "Error"});
}

TEST(DecodeReply, EchoReplyFields) {
    Datagram g;
    g.ttl = 128;
    g.src[0] = 198, g.src[1] = 18, g.src[2] = 0, g.src[3] = 2;
    g.dst[0] = 198, g.dst[1] = 18, g.dst[2] = 0, g.dst[3] = 1;
    g.id = 0xBEEF;
    g.stamp = 1000;
    g.data = Bytes(20, 0x55);
    const Bytes d = g.Wire();
    Tdecordbuf r = Sentinel();
    DecodeReply(d.data(), static_cast<int>(d.size()), 1042, 0xBEEF, r);
    ExpectFields(r, {"0", "0", "198.18.0.2", "198.18.0.1", "52", "42", "128", std::string(20, 'U')});
}

TEST(DecodeReply, ForeignIdentifierChangesOnlyType) {
    Datagram g;
    g.id = 0x1234;
    g.data = Bytes(20, 0x55);
    const Bytes d = g.Wire();
    for (std::uint16_t expected : {0x3412, 0x1235, 0x0000, 0xFFFF}) {
        SCOPED_TRACE(expected);
        Tdecordbuf r = Sentinel();
        DecodeReply(d.data(), static_cast<int>(d.size()), 5, expected, r);
        ExpectFields(r, {"NIL", "c0", "s0", "d0", "p0", "r0", "l0", "x0"});
    }
}

TEST(DecodeReply, IdentifierIsReadLittleEndianWhateverTheType) {
    // An echo request, an error message and an unknown type all decode when bytes 24..25
    // carry the expected identifier: the type takes no part in ownership.
    for (std::uint8_t type : {8, 3, 42}) {
        Datagram g;
        g.type = type;
        g.code = 13;
        g.id = 0x0102;
        const Bytes d = g.Wire();
        ASSERT_EQ(d[24], 0x02);
        ASSERT_EQ(d[25], 0x01);
        Tdecordbuf r = Sentinel();
        DecodeReply(d.data(), static_cast<int>(d.size()), g.stamp, 0x0102, r);
        EXPECT_EQ(r.icmptype, std::to_string(type));
        EXPECT_EQ(r.icmpcode, "13");
        EXPECT_EQ(r.replytime, "0");
    }
}

TEST(DecodeReply, ExactlyThirtyTwoBytesHasEmptyData) {
    const Bytes d = Datagram{}.Wire();
    ASSERT_EQ(d.size(), 32u);
    std::vector<std::uint8_t> exact(d);  // heap buffer of exactly 32 bytes
    Tdecordbuf r = Sentinel();
    DecodeReply(exact.data(), 32, 0x00010203, 0x1234, r);
    ExpectFields(r, {"0", "0", "127.0.0.1", "127.0.0.2", "32", "0", "64", ""});
}

TEST(DecodeReply, DataStopsAtFirstZeroByte) {
    const struct {
        Bytes data;
        std::string expected;
    } cases[] = {
        {{'a', 'b', 'c', 'd', 'e', 0, 'g', 'h'}, "abcde"},
        {{0, 'a'}, ""},
        {{'U', 'U', 'U'}, "UUU"},
        {{0x80, 0xFF, 0x01}, std::string("\x80\xFF\x01")},
    };
    for (const auto& c : cases) {
        Datagram g;
        g.data = c.data;
        const Bytes d = g.Wire();
        Tdecordbuf r;
        DecodeReply(d.data(), static_cast<int>(d.size()), 0, 0x1234, r);
        EXPECT_EQ(r.datastr, c.expected);
        EXPECT_EQ(r.packetsize, std::to_string(d.size()));
    }
}

TEST(DecodeReply, ReplyTimeAcrossTickWrap) {
    const struct {
        std::uint32_t stamp, recv;
        const char* expected;
    } cases[] = {
        {0xFFFFFFF0u, 16, "32"},          // 16 ms before the wrap, received 16 ms after it
        {0xFFFFFFFFu, 0, "1"},
        {100, 100, "0"},
        {0, 0xFFFFFFFFu, "4294967295"},   // a stamp from the future still reads as unsigned
        {12345, 12395, "50"},
    };
    for (const auto& c : cases) {
        Datagram g;
        g.stamp = c.stamp;
        const Bytes d = g.Wire();
        Tdecordbuf r;
        DecodeReply(d.data(), static_cast<int>(d.size()), c.recv, 0x1234, r);
        EXPECT_EQ(r.replytime, c.expected) << c.stamp << " -> " << c.recv;
    }
}

TEST(DecodeReply, LongLengthsStayInsideTheCallersBuffer) {
    // 1024-byte heap buffer handed with ever larger lengths: at most 1024 bytes may be read
    // (ASan turns any read past the buffer into a failure).
    Datagram g;
    g.data = Bytes(1024 - 32, 0x55);
    const Bytes d = g.Wire();
    ASSERT_EQ(d.size(), 1024u);
    std::vector<std::uint8_t> exact(d);
    for (int length : {1024, 1025, 2048, 65535, INT_MAX}) {
        SCOPED_TRACE(length);
        Tdecordbuf r;
        DecodeReply(exact.data(), length, g.stamp + 7, 0x1234, r);
        EXPECT_EQ(r.icmptype, "0");
        EXPECT_EQ(r.packetsize, std::to_string(length));
        EXPECT_EQ(r.replytime, "7");
        EXPECT_EQ(r.datastr, std::string(992, 'U'));
    }
}

TEST(DecodeReply, DataLongerThanTheWindowIsCut) {
    // A 1044-byte datagram (a 1024-byte echo plus its IP header) keeps 992 data bytes: the
    // working copy holds the first 1024 bytes only.
    Datagram g;
    g.data = Bytes(1012, 0x55);
    const Bytes d = g.Wire();
    ASSERT_EQ(d.size(), 1044u);
    Tdecordbuf r;
    DecodeReply(d.data(), static_cast<int>(d.size()), g.stamp, 0x1234, r);
    EXPECT_EQ(r.packetsize, "1044");
    EXPECT_EQ(r.datastr, std::string(992, 'U'));
}

TEST(DecodeReply, IpOptionsAreSkippedByTheHeaderLength) {
    // Replies that carry IP options (record route, timestamp) are read where the header length
    // puts the ICMP message, up to the longest header of 15 words.
    for (int words : {5, 6, 9, 15}) {
        SCOPED_TRACE(words);
        Datagram g;
        g.type = 0;
        g.code = 3;
        g.stamp = 100;
        g.data = {'a', 'b', 0, 'c'};
        Bytes d = g.Wire();
        d[0] = static_cast<std::uint8_t>(0x40 | words);
        d.insert(d.begin() + 20, static_cast<std::size_t>(words * 4 - 20), 1);  // NOP options
        Tdecordbuf r = Sentinel();
        DecodeReply(d.data(), static_cast<int>(d.size()), 130, 0x1234, r);
        ExpectFields(r, {"0", "3", "127.0.0.1", "127.0.0.2", std::to_string(d.size()), "30", "64", "ab"});
    }
}

TEST(DecodeReply, HeaderLengthThatLeavesNoRoomIsNoReply) {
    // Below 5 words, or an ICMP header that would run past the datagram.
    Datagram g;
    g.data.assign(4, 'U');
    const Bytes base = g.Wire();  // 36 bytes
    for (std::uint8_t first : {0x40, 0x44, 0x47, 0x4F}) {
        SCOPED_TRACE(static_cast<int>(first));
        Bytes d = base;
        d[0] = first;
        Tdecordbuf r = Sentinel();
        DecodeReply(d.data(), static_cast<int>(d.size()), 0, 0x1234, r);
        ExpectFields(r, {"NIL", "Error", "Error", "Error", "Error", "Error", "Error", "Error"});
    }
    // 6 words over 36 bytes still leaves the 12-byte echo header (24 + 12): decoded there.
    Bytes d = base;
    d[0] = 0x46;
    Tdecordbuf r = Sentinel();
    DecodeReply(d.data(), static_cast<int>(d.size()), 0, static_cast<std::uint16_t>(d[28] | d[29] << 8), r);
    EXPECT_NE(r.icmptype, "NIL");
}

// ---- DescribeReply ----------------------------------------------------------------------------

TEST(DescribeReply, Table) {
    const struct {
        const char* type;
        const char* code;
        const char* description;
    } cases[] = {
        {"0", "0", "Reply message"},
        {"0", "77", "Reply message"},
        {"0", "not a number", "Reply message"},
        {"3", "0", "Net unreachable "},
        {"3", "1", "Host unreachable "},
        {"3", "2", "Protocol unreachable"},
        {"3", "3", "Port unreachable"},
        {"3", "4", "Fragmentation needed and DF set"},
        {"3", "5", "Source route failed"},
        {"3", "6", "6"},
        {"3", "13", "13"},
        {"3", "-1", "-1"},
        {"4", "0", "Check sum error"},
        {"4", "1", "1"},
        {"5", "0", "Redirect datagrams for the Network"},
        {"5", "1", "Redirect datagrams for the Host"},
        {"5", "2", "Redirect datagrams for the Type of Service and Network"},
        {"5", "3", "Redirect datagrams for the Type of Service and Host"},
        {"5", "4", "4"},
        {"8", "0", "Echo message"},
        {"8", "9", "Echo message"},
        {"11", "0", "Time to live exceeded in transit"},
        {"11", "1", "Fragment reassembly time exceeded"},
        {"11", "2", "2"},
        {"12", "0", "Pointer indicates the error"},
        {"12", "1", "1"},
        {"13", "0", "Timestamp message"},
        {"14", "5", "Timestamp reply message"},
        {"15", "0", "Information request message"},
        {"16", "0", "Information reply message"},
        {"1", "0", "Unknown Error"},
        {"2", "0", "Unknown Error"},
        {"6", "0", "Unknown Error"},
        {"7", "0", "Unknown Error"},
        {"9", "0", "Unknown Error"},
        {"10", "0", "Unknown Error"},
        {"17", "0", "Unknown Error"},
        {"255", "0", "Unknown Error"},
        {"-1", "0", "Unknown Error"},
        {"-3", "1", "Unknown Error"},
        {"+3", "1", "Host unreachable "},
        {"+-3", "1", "Unknown Error"},
        {"", "0", "Unknown Error"},
        {"NIL", "Error", "Unknown Error"},
        {"abc", "0", "Unknown Error"},
        {"3x", "1", "Unknown Error"},
        {" 3", "1", "Unknown Error"},
        {"99999999999", "0", "Unknown Error"},
        {"3", "", "Unknown Error"},
        {"3", "one", "Unknown Error"},
        {"11", "0x1", "Unknown Error"},
        {"3", "99999999999", "Unknown Error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("type '") + c.type + "' code '" + c.code + "'");
        const Tdecordbuf in{c.type, c.code, "1.2.3.4", "5.6.7.8", "52", "17", "64", "UUUU"};
        const Tdecordbuf copy = in;
        const Tdecordbuf out = DescribeReply(in);
        EXPECT_EQ(out.icmptype, std::string("Type ") + c.type + " Code " + c.code);
        EXPECT_EQ(out.icmpcode, c.description);
        EXPECT_EQ(out.sourceip, "1.2.3.4");
        EXPECT_EQ(out.destip, "5.6.7.8");
        EXPECT_EQ(out.packetsize, "52");
        EXPECT_EQ(out.replytime, "17");
        EXPECT_EQ(out.ttl, "64");
        EXPECT_EQ(out.datastr, "UUUU");
        EXPECT_EQ(in.icmptype, copy.icmptype);  // the input is left alone
        EXPECT_EQ(in.icmpcode, copy.icmpcode);
    }
}

TEST(DescribeReply, DecodedEchoReply) {
    Datagram g;
    g.data = Bytes(20, 0x55);
    const Bytes d = g.Wire();
    Tdecordbuf r;
    DecodeReply(d.data(), static_cast<int>(d.size()), g.stamp + 3, 0x1234, r);
    const Tdecordbuf described = DescribeReply(r);
    ExpectFields(described,
                 {"Type 0 Code 0", "Reply message", "127.0.0.1", "127.0.0.2", "52", "3", "64", std::string(20, 'U')});
}

// ---- TickCount and the thread identifier ------------------------------------------------------

TEST(TickCount, MonotonicMillisecondsModuloTwoToThe32) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint32_t reference =
        static_cast<std::uint32_t>(static_cast<std::uint64_t>(now.tv_sec) * 1000u + now.tv_nsec / 1000000);
    const std::uint32_t first = TickCount();
    // Both read the same clock: the difference is the few instructions in between.
    EXPECT_LT(static_cast<std::uint32_t>(first - reference), 1000u);

    std::uint32_t last = first;
    for (int i = 0; i < 100000; ++i) {
        const std::uint32_t t = TickCount();
        // differences are taken modulo 2^32; going backwards would show as a huge step
        ASSERT_LT(static_cast<std::uint32_t>(t - last), 60000u);
        last = t;
    }
    const std::uint32_t before = TickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GE(static_cast<std::uint32_t>(TickCount() - before), 20u);
}

TEST(CurrentThreadIdentifier, LowBitsOfTheKernelThreadId) {
    EXPECT_EQ(CurrentThreadIdentifier(), static_cast<std::uint16_t>(::syscall(SYS_gettid) & 0xFFFF));
    long other = 0;
    std::uint16_t otherid = 0;
    std::thread t([&] {
        other = ::syscall(SYS_gettid);
        otherid = CurrentThreadIdentifier();
    });
    t.join();
    EXPECT_EQ(otherid, static_cast<std::uint16_t>(other & 0xFFFF));
    EXPECT_NE(other, ::syscall(SYS_gettid));
}

}  // namespace
}  // namespace veltrin
