// Per-address accounting and states without a network: the monitor's window-thread side fed
// with sends, replies and losses as the ledger reports them.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>
#include <vector>

#include "monitor/reachability.h"
#include "monitor/statetext.h"

using namespace veltrin;

namespace {

std::uint32_t V(const char* dotted) { return ::inet_addr(dotted); }

Tdecordbuf ReplyRecord(const std::string& ms) {
    Tdecordbuf r;
    r.icmptype = "Type 0 Code 0";
    r.icmpcode = "Reply message";
    r.ttl = "64";
    r.replytime = ms;
    r.packetsize = "32";
    return r;
}

struct Fixture {
    AddressList list;
    Reachability reach{list};
    std::vector<StateChange> changes;
    void Take() {
        for (auto& c : reach.TakeChanges()) changes.push_back(std::move(c));
    }
    std::uint32_t Target(int row) {
        std::uint32_t value = 0;
        std::string ip;
        EXPECT_TRUE(reach.Target(row, value, ip));
        return value;
    }
};

}  // namespace

TEST(AddressText, DottedTextIsReadStrictlyAndLeadingZerosAreDecimal) {
    struct Case {
        const char* text;
        AddressKind kind;
        const char* value;
    } const cases[] = {
        {"127.0.0.1", AddressKind::Dotted, "127.0.0.1"},
        {"127.000.000.003", AddressKind::Dotted, "127.0.0.3"},
        {"010.0.0.010", AddressKind::Dotted, "10.0.0.10"},  // not octal
        {"255.255.255.255", AddressKind::Dotted, "255.255.255.255"},
        {"300.1.1.1", AddressKind::NotAddress, nullptr},
        {"1.2.3.4.5", AddressKind::NotAddress, nullptr},
        {"1.2.3", AddressKind::NotAddress, nullptr},
        {"1..2.3", AddressKind::NotAddress, nullptr},
        {"1.2.3.", AddressKind::NotAddress, nullptr},
        {".1.2.3", AddressKind::NotAddress, nullptr},
        {"0001.2.3.4", AddressKind::NotAddress, nullptr},
        {"", AddressKind::NotAddress, nullptr},
        {"localhost", AddressKind::Name, nullptr},
        {"1.2.3.4a", AddressKind::Name, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const AddressText t = ClassifyAddressText(c.text);
        EXPECT_EQ(t.kind, c.kind);
        if (c.value != nullptr) {
            EXPECT_EQ(t.value, V(c.value));
        }
    }
}

TEST(Reachability, AnsweringThenNotAnsweringThenAnsweringAgain) {
    Fixture f;
    f.list.Append("198.18.7.2");
    f.reach.SetLostCount(2);
    const std::uint32_t a = f.Target(0);
    EXPECT_EQ(a, V("198.18.7.2"));
    f.reach.Sent(a, 1000);
    f.Take();
    EXPECT_EQ(f.list.Status(0).state, RowState::NeverAnswered);
    f.reach.Reply(a, ReplyRecord("3"), EchoLedger::Match::Answered, 3'456'789, 1003);
    EXPECT_EQ(f.list.Status(0).state, RowState::Answering);
    EXPECT_EQ(f.list.Row(0).time, "3");
    EXPECT_EQ(f.list.Row(0).bytes, "return data length:   32");
    ASSERT_EQ(f.list.Status(0).recentcount, 1);
    EXPECT_DOUBLE_EQ(f.list.Status(0).recent[0], 3.456);
    // One loss is not yet "not answering"; the second in a row is.
    f.reach.Sent(a, 2000);
    f.reach.Lost(a, 4000);
    EXPECT_EQ(f.list.Status(0).state, RowState::Answering);
    f.reach.Sent(a, 3000);
    f.reach.Lost(a, 5000);
    EXPECT_EQ(f.list.Status(0).state, RowState::NotAnswering);
    EXPECT_EQ(f.list.Status(0).sincems, 5000);
    // It keeps its last values.
    EXPECT_EQ(f.list.Row(0).time, "3");
    f.reach.Sent(a, 6000);
    f.reach.Reply(a, ReplyRecord("1"), EchoLedger::Match::Answered, 1'000'000, 6001);
    const RowStatus& s = f.list.Status(0);
    EXPECT_EQ(s.state, RowState::Answering);
    EXPECT_EQ(s.sent, 4u);
    EXPECT_EQ(s.received, 2u);
    EXPECT_EQ(s.lost, 2u);
    EXPECT_EQ(s.consecutivelost, 0);
    EXPECT_DOUBLE_EQ(s.LossPercent(), 50.0);
    EXPECT_EQ(s.lastreplyms, 6001);
    f.Take();
    std::vector<std::pair<RowState, RowState>> seen;
    for (const auto& c : f.changes) seen.emplace_back(c.from, c.to);
    const std::vector<std::pair<RowState, RowState>> want{{RowState::NotYetPinged, RowState::NeverAnswered},
                                                          {RowState::NeverAnswered, RowState::Answering},
                                                          {RowState::Answering, RowState::NotAnswering},
                                                          {RowState::NotAnswering, RowState::Answering}};
    EXPECT_EQ(seen, want);
    EXPECT_EQ(f.changes[2].address, "198.18.7.2");
    EXPECT_EQ(f.changes[2].ip, "198.18.7.2");
    EXPECT_EQ(f.changes[2].status.consecutivelost, 2);
}

TEST(Reachability, LateReplyIsShownButChangesNoCount) {
    Fixture f;
    f.list.Append("127.0.0.1");
    const std::uint32_t a = f.Target(0);
    f.reach.Sent(a, 0);
    f.reach.Lost(a, 2000);
    f.reach.Reply(a, ReplyRecord("2500"), EchoLedger::Match::Late, 2'500'000'000, 2500);
    const RowStatus& s = f.list.Status(0);
    EXPECT_EQ(f.list.Row(0).time, "2500");
    EXPECT_EQ(s.received, 0u);
    EXPECT_EQ(s.lost, 1u);
    EXPECT_DOUBLE_EQ(s.LossPercent(), 100.0);
    EXPECT_EQ(s.state, RowState::NeverAnswered);
    // Neither duplicates nor unknown replies touch anything.
    f.reach.Reply(a, ReplyRecord("9"), EchoLedger::Match::Duplicate, 9, 2600);
    f.reach.Reply(a, ReplyRecord("9"), EchoLedger::Match::Unknown, 9, 2600);
    EXPECT_EQ(f.list.Row(0).time, "2500");
}

TEST(Reachability, RowsSharingAnAddressShareWhatHappensToIt) {
    Fixture f;
    for (const char* t : {"127.0.0.1", "127.0.0.2", "127.000.000.001", "300.1.1.1"}) f.list.Append(t);
    const std::uint32_t a = f.Target(0);
    f.reach.Sent(a, 0);
    f.reach.Reply(a, ReplyRecord("1"), EchoLedger::Match::Answered, 1'000'000, 1);
    EXPECT_EQ(f.list.Status(2).state, RowState::Answering);
    EXPECT_EQ(f.list.Status(2).sent, 1u);
    EXPECT_EQ(f.list.Row(2).ttl, "64");
    EXPECT_EQ(f.list.Status(1).state, RowState::NotYetPinged);
    EXPECT_EQ(f.list.Row(1).ttl, "");
    // Text that is no address says so without being pinged.
    EXPECT_EQ(f.list.Status(3).state, RowState::NoAddress);
    EXPECT_EQ(f.list.Status(3).reason, "not an IPv4 address");
    std::uint32_t value = 0;
    std::string ip;
    EXPECT_FALSE(f.reach.Target(3, value, ip));
    EXPECT_TRUE(ip.empty());
    // A row added later joins its address's record; removing rows keeps the others right.
    f.list.Append("127.0.0.1");
    f.reach.Sent(a, 5);
    EXPECT_EQ(f.list.Status(4).sent, 2u);
    EXPECT_EQ(f.list.Status(4).state, RowState::Answering);
    f.list.RemoveAt(0);
    f.reach.Sent(a, 6);
    EXPECT_EQ(f.reach.RowsOf(a), (std::vector<int>{1, 3}));
    EXPECT_EQ(f.list.Status(1).sent, 3u);
    EXPECT_EQ(f.list.Status(3).sent, 3u);
    // With every row of it gone, what was known of an address goes too.
    f.list.Clear();
    f.list.Append("127.0.0.1");
    f.reach.Sent(a, 7);
    EXPECT_EQ(f.list.Status(0).sent, 1u);
}

TEST(Reachability, ReplyWorkIsTheRowsOfItsAddressOnly) {
    // 100,000 rows; a reply for one address writes only its rows.
    Fixture f;
    std::vector<AddressRow> rows(100000);
    for (std::size_t i = 0; i < rows.size(); ++i) rows[i].address = "127." + std::to_string(i / 62500) + "." + std::to_string(i / 250 % 250) + "." + std::to_string(i % 250);
    f.list.AppendRows(std::move(rows));
    struct Count : AddressList::Observer {
        int changed = 0;
        void RowsReset() override {}
        void RowsInserted(int, int) override {}
        void RowsRemoved(int, int) override {}
        void RowChanged(int) override { ++changed; }
        void SelectionChanged() override {}
    } count;
    f.list.SetObserver(&count);
    const std::uint32_t a = f.Target(1234);
    f.reach.Sent(a, 0);
    f.reach.Reply(a, ReplyRecord("1"), EchoLedger::Match::Answered, 1'000'000, 1);
    EXPECT_EQ(f.reach.RowsOf(a), std::vector<int>{1234});
    EXPECT_EQ(count.changed, 3);  // sent; cells and status of the reply
}

TEST(StateText, ChangeAndSummaryLines) {
    StateChange c;
    c.address = "198.18.10.2";
    c.from = RowState::Answering;
    c.to = RowState::NotAnswering;
    c.status.state = RowState::NotAnswering;
    c.status.consecutivelost = 2;
    c.status.sincems = 1700000000000;
    const std::string clock = ClockText(c.status.sincems);
    ASSERT_EQ(clock.size(), 8u);
    EXPECT_EQ(StateChangeLine(c), "198.18.10.2 not answering since " + clock + " (2 lost)");
    c.from = RowState::NotAnswering;
    c.to = RowState::Answering;
    EXPECT_EQ(StateChangeLine(c), "198.18.10.2 answering again since " + clock);
    c.to = RowState::NoAddress;
    c.status.reason = "not an IPv4 address";
    EXPECT_EQ(StateChangeLine(c), "198.18.10.2 no address: not an IPv4 address");

    RowStatus s;
    s.state = RowState::Answering;
    s.sent = 12;
    s.received = 11;
    s.lost = 1;
    s.lastreplyms = 1700000000000;
    EXPECT_EQ(RowStateLine("h", s), "h: answering, sent 12, received 11, lost 1 (8.3%), last reply " + clock);
    EXPECT_EQ(RowStateLine("h", RowStatus{}), "h: not yet pinged");
    EXPECT_EQ(ClockText(-1), "-");
}

TEST(Reachability, LossesOvertakenByANewerAnswerAreNotInARow) {
    // Echoes 1..4 go out while the host is silent, 5 is answered, then 1..4 run out: the host
    // answers, so it must not turn "not answering" again.
    Fixture f;
    f.list.Append("198.18.7.2");
    f.reach.SetLostCount(2);
    const std::uint32_t a = f.Target(0);
    for (int i = 0; i < 5; ++i) f.reach.Sent(a, i);
    f.reach.Reply(a, ReplyRecord("1"), EchoLedger::Match::Answered, 1'000'000, 10, 5);
    for (std::uint64_t seq = 1; seq <= 4; ++seq) f.reach.Lost(a, 20, seq);
    EXPECT_EQ(f.list.Status(0).state, RowState::Answering);
    EXPECT_EQ(f.list.Status(0).lost, 4u);
    EXPECT_EQ(f.list.Status(0).consecutivelost, 0);
    // Echoes after the answer that run out do count.
    f.reach.Sent(a, 30);
    f.reach.Sent(a, 31);
    f.reach.Lost(a, 40, 6);
    f.reach.Lost(a, 41, 7);
    EXPECT_EQ(f.list.Status(0).state, RowState::NotAnswering);
    // An old echo answered out of order does not bring it back.
    f.reach.Reply(a, ReplyRecord("1"), EchoLedger::Match::Answered, 1'000'000, 50, 3);
    EXPECT_EQ(f.list.Status(0).state, RowState::NotAnswering);
    EXPECT_EQ(f.list.Status(0).received, 2u);
}

// Every answered and lost echo becomes one result per distinct row text, in the order counted,
// and each row keeps its last results (oldest first, lost ones negative) to the microsecond.
TEST(Reachability, ResultsAndEachRowsLastResults) {
    Fixture f;
    f.list.Append("198.18.7.2");
    f.list.Append("198.18.7.2");       // the same text twice: one result
    f.list.Append("198.018.007.002");  // another text of the same address: a result of its own
    f.list.Append("198.18.7.3");
    const std::uint32_t a = f.Target(0);
    f.reach.Sent(a, 1000);
    f.reach.Reply(a, ReplyRecord("0"), EchoLedger::Match::Answered, 42'399, 1001);  // 42.399 us
    f.reach.Sent(a, 2000);
    f.reach.Lost(a, 4000);
    f.reach.Reply(a, ReplyRecord("2"), EchoLedger::Match::Late, 2'500'000, 4100);  // already counted lost
    const std::vector<EchoResult> results = f.reach.TakeResults();
    ASSERT_EQ(results.size(), 4u);
    EXPECT_EQ(results[0].address, "198.18.7.2");
    EXPECT_EQ(results[1].address, "198.018.007.002");
    EXPECT_EQ(results[0].wallms, 1001);
    EXPECT_DOUBLE_EQ(results[0].rttms, 0.042);
    EXPECT_EQ(results[2].wallms, 4000);
    EXPECT_LT(results[2].rttms, 0);
    EXPECT_TRUE(f.reach.TakeResults().empty());

    const RowStatus& s = f.list.Status(1);
    ASSERT_EQ(s.historycount, 2);
    EXPECT_FLOAT_EQ(s.history[0], 0.042f);
    EXPECT_LT(s.history[1], 0.0f);
    EXPECT_DOUBLE_EQ(s.lastrttms, 2.5) << "the late reply the cells show";
    EXPECT_EQ(f.list.Status(3).historycount, 0);

    // The ring keeps the last kHistory, oldest first.
    for (int i = 0; i < RowStatus::kHistory + 5; ++i) {
        f.reach.Sent(a, 5000 + i);
        f.reach.Reply(a, ReplyRecord("0"), EchoLedger::Match::Answered, (i + 1) * 1000, 5000 + i);
    }
    const RowStatus& t = f.list.Status(0);
    ASSERT_EQ(t.historycount, RowStatus::kHistory);
    EXPECT_FLOAT_EQ(t.history[0], 0.006f);
    EXPECT_FLOAT_EQ(t.history[RowStatus::kHistory - 1], 0.065f);
}

// A view that follows the cells finds the reply's round trip already in the row's status.
TEST(Reachability, TheStatusHoldsTheReplyBeforeTheCellsChange) {
    struct Watch : AddressList::Observer {
        const AddressList* list = nullptr;
        std::vector<double> atcells;
        std::string lasttime;
        void RowsReset() override {}
        void RowsInserted(int, int) override {}
        void RowsRemoved(int, int) override {}
        void SelectionChanged() override {}
        void RowChanged(int row) override {
            if (list->Row(row).time != lasttime) {
                lasttime = list->Row(row).time;
                atcells.push_back(list->Status(row).lastrttms);
            }
        }
    };
    Fixture f;
    f.list.Append("198.18.7.2");
    Watch watch;
    watch.list = &f.list;
    f.list.SetObserver(&watch);
    const std::uint32_t a = f.Target(0);
    f.reach.Sent(a, 1000);
    f.reach.Reply(a, ReplyRecord("7"), EchoLedger::Match::Answered, 7'654'321, 1007);
    f.reach.Sent(a, 2000);
    f.reach.Reply(a, ReplyRecord("1"), EchoLedger::Match::Answered, 1'234'567, 2001);
    f.list.SetObserver(nullptr);
    ASSERT_EQ(watch.atcells.size(), 2u);
    EXPECT_DOUBLE_EQ(watch.atcells[0], 7.654);
    EXPECT_DOUBLE_EQ(watch.atcells[1], 1.234);
}
