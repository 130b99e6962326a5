// The address list model and its commands (delete selected / delete last / clear), including
// what they do to a running monitor. The monitor's workers are real; the list holds loopback
// captions only, so whatever they send stays on this machine.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "shared/monitorstubs.h"
#include "engine/global_unit.h"
#include "logs/logfiles.h"
#include "monitor/addresslist.h"
#include "monitor/monitor.h"

namespace veltrin {
namespace {

std::vector<std::string> Addresses(const AddressList& list) {
    std::vector<std::string> out;
    for (const auto& row : list.Rows()) out.push_back(row.address);
    return out;
}

AddressRow Row(const std::string& address, std::string ttl = {}, std::string time = {}, std::string bytes = {}) {
    return AddressRow{address, std::move(ttl), std::move(time), std::move(bytes)};
}

// Records every notification as a short text, in order.
class RecordingObserver : public AddressList::Observer {
public:
    std::vector<std::string> events;
    void RowsReset() override { events.push_back("reset"); }
    void RowsInserted(int first, int last) override {
        events.push_back("insert " + std::to_string(first) + "-" + std::to_string(last));
    }
    void RowsRemoved(int first, int last) override {
        events.push_back("remove " + std::to_string(first) + "-" + std::to_string(last));
    }
    void RowChanged(int row) override { events.push_back("change " + std::to_string(row)); }
    void SelectionChanged() override { events.push_back("selection"); }
};

using NullEvents = veltrin::testing::RecordingEvents;

TEST(AddressListTest, AppendKeepsOrderDuplicatesAndExactText) {
    AddressList list;
    RecordingObserver seen;
    list.SetObserver(&seen);
    list.Append(" 127.0.0.1 ");
    list.Append("127.0.0.1");
    list.AppendRows({Row("host_a"), Row("127.0.0.1")});
    list.AppendRows({});
    EXPECT_EQ(Addresses(list), (std::vector<std::string>{" 127.0.0.1 ", "127.0.0.1", "host_a", "127.0.0.1"}));
    EXPECT_EQ(seen.events, (std::vector<std::string>{"insert 0-0", "insert 1-1", "insert 2-3"}));
    for (const auto& row : list.Rows()) {
        EXPECT_TRUE(row.ttl.empty());
        EXPECT_TRUE(row.time.empty());
        EXPECT_TRUE(row.bytes.empty());
    }
}

// Repeated imports cannot grow the list past its cap; what does not fit is reported by count.
TEST(AddressListTest, ListIsCappedAcrossAppends) {
    AddressList list;
    std::vector<AddressRow> rows(600000, AddressRow{"127.0.0.1", "", "", ""});
    EXPECT_EQ(list.AppendRows(rows), 600000u);
    EXPECT_EQ(list.AppendRows(rows), static_cast<std::size_t>(kMaxListRows) - 600000u);
    EXPECT_EQ(list.Count(), kMaxListRows);
    EXPECT_EQ(list.AppendRows(rows), 0u);
    EXPECT_FALSE(list.Append("127.0.0.2"));
    EXPECT_EQ(list.Count(), kMaxListRows);
    EXPECT_EQ(list.Row(kMaxListRows - 1).address, "127.0.0.1");
    list.RemoveAt(0);
    EXPECT_TRUE(list.Append("127.0.0.2"));
    EXPECT_EQ(list.Row(kMaxListRows - 1).address, "127.0.0.2");
}

TEST(AddressListTest, SelectionFollowsRemovals) {
    AddressList list;
    list.AppendRows({Row("a"), Row("b"), Row("c"), Row("d")});
    list.SetSelection({3, 1, 1, 99, -1});
    EXPECT_EQ(list.SelectedCount(), 2);
    EXPECT_EQ(list.FirstSelected(), 1);
    EXPECT_EQ(list.SelectedRows(), (std::vector<int>{1, 3}));
    list.RemoveAt(0);  // "d" and "b" stay selected, now at 2 and 0
    EXPECT_EQ(list.SelectedRows(), (std::vector<int>{0, 2}));
    list.RemoveAt(0);
    EXPECT_EQ(list.SelectedRows(), (std::vector<int>{1}));
    EXPECT_EQ(list.SelectedCount(), 1);
    list.SetSelected(1, false);
    EXPECT_EQ(list.FirstSelected(), -1);
    list.SetSelected(0, true);
    list.SetSelected(0, true);
    EXPECT_EQ(list.SelectedCount(), 1);
    list.ClearSelection();
    EXPECT_EQ(list.SelectedCount(), 0);
    list.RemoveAt(5);  // out of range: nothing
    EXPECT_EQ(list.Count(), 2);
}

TEST(AddressListTest, SetCellsAndLogLines) {
    AddressList list;
    RecordingObserver seen;
    list.AppendRows({Row("127.0.0.1"), Row("name_x")});
    list.SetObserver(&seen);
    list.SetCells(0, "64", "0", "return data length:   32");
    list.SetCells(7, "1", "2", "3");
    EXPECT_EQ(seen.events, (std::vector<std::string>{"change 0"}));
    const auto lines = MainLogLines(list.Rows());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "127.0.0.1_   TTL 64 Timeout 0  return data length:   32  \r");
    EXPECT_EQ(lines[1], "name_x_   TTL  Timeout     \r");
}

// Each row's reachability status stays with its row through every kind of removal.
TEST(AddressListTest, StatusFollowsItsRowThroughRemovals) {
    AddressList list;
    list.AppendRows({Row("a"), Row("b"), Row("c"), Row("d"), Row("e")});
    for (int i = 0; i < list.Count(); ++i) {
        RowStatus status;
        status.sent = static_cast<std::uint64_t>(i + 1);
        list.SetStatus(i, status);
    }
    list.Append("f");
    EXPECT_EQ(list.Status(5).state, RowState::NotYetPinged);
    EXPECT_EQ(list.Status(5).sent, 0u);
    list.RemoveAt(1);  // b
    list.SetSelection({0, 2});  // a, d
    list.RemoveSelected();
    ASSERT_EQ(Addresses(list), (std::vector<std::string>{"c", "e", "f"}));
    EXPECT_EQ(list.Status(0).sent, 3u);
    EXPECT_EQ(list.Status(1).sent, 5u);
    EXPECT_EQ(list.Status(2).sent, 0u);
    list.Clear();
    list.Append("g");
    EXPECT_EQ(list.Status(0).sent, 0u);
}

// Rows read as fresh until their first change, whichever rows around them changed; a status
// set again stays where it was, so a reference to it sees the new values.
TEST(AddressListTest, UnchangedRowsReadFreshBesideChangedOnes) {
    AddressList list;
    std::vector<AddressRow> rows;
    for (const char* address : {"a", "b", "c", "d", "e", "f"}) rows.push_back(Row(address));
    list.AppendRows(std::move(rows));
    const RowStatus fresh;
    for (int i = 0; i < list.Count(); ++i) {
        EXPECT_EQ(list.Status(i).state, fresh.state);
        EXPECT_EQ(list.Status(i).lastreplyms, -1);
        EXPECT_EQ(list.Status(i).lastrttms, -1.0);
        EXPECT_EQ(list.Status(i).historycount, 0);
    }
    RowStatus b;
    b.state = RowState::Answering;
    b.sent = 2;
    b.AddHistory(1.5f);
    list.SetStatus(1, b);
    RowStatus e;
    e.state = RowState::NotAnswering;
    e.lost = 4;
    list.SetStatus(4, e);
    const RowStatus& held = list.Status(1);
    b.sent = 3;
    list.SetStatus(1, b);
    EXPECT_EQ(held.sent, 3u);
    EXPECT_EQ(list.Status(0).state, RowState::NotYetPinged);  // a neighbour's change is not its own
    EXPECT_EQ(list.Status(2).state, RowState::NotYetPinged);
    list.SetSelection({0, 2});  // a, c
    list.RemoveSelected();
    ASSERT_EQ(Addresses(list), (std::vector<std::string>{"b", "d", "e", "f"}));
    EXPECT_EQ(list.Status(0).state, RowState::Answering);
    EXPECT_EQ(list.Status(0).sent, 3u);
    EXPECT_EQ(list.Status(0).historycount, 1);
    EXPECT_EQ(list.Status(0).history[0], 1.5f);
    EXPECT_EQ(list.Status(1).state, RowState::NotYetPinged);
    EXPECT_EQ(list.Status(2).state, RowState::NotAnswering);
    EXPECT_EQ(list.Status(2).lost, 4u);
    EXPECT_EQ(list.Status(3).state, RowState::NotYetPinged);
    // The shared fresh status is never written through a row.
    list.SetStatus(3, e);
    EXPECT_EQ(list.Status(1).state, RowState::NotYetPinged);
    EXPECT_EQ(list.Status(1).lost, 0u);
}

TEST(AddressListTest, LossPercentAndRecentTimes) {
    RowStatus s;
    EXPECT_EQ(s.LossPercent(), 0.0);
    s.received = 3;
    s.lost = 1;
    EXPECT_DOUBLE_EQ(s.LossPercent(), 25.0);
    for (int i = 0; i < RowStatus::kRecent + 3; ++i) s.AddRecent(i);
    EXPECT_EQ(s.recentcount, RowStatus::kRecent);
    EXPECT_EQ(s.recent.front(), 3.0);
    EXPECT_EQ(s.recent.back(), RowStatus::kRecent + 2.0);
    EXPECT_STREQ(RowStateName(RowState::NotAnswering), "not answering");
}

TEST(AddressListTest, RemoveSelectedEqualsDeletingTheFirstSelectedRepeatedly) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 200; ++round) {
        const int n = 1 + static_cast<int>(rng() % 40);
        AddressList fast, slow;
        std::vector<AddressRow> rows;
        for (int i = 0; i < n; ++i) rows.push_back(Row("127.0.0." + std::to_string(i % 7), std::to_string(i)));
        fast.AppendRows(rows);
        slow.AppendRows(rows);
        std::vector<int> selection;
        for (int i = 0; i < n; ++i)
            if (rng() % 3 == 0) selection.push_back(i);
        fast.SetSelection(selection);
        slow.SetSelection(selection);
        const int count = slow.SelectedCount();
        for (int k = 0; k < count; ++k) slow.RemoveAt(slow.FirstSelected());
        EXPECT_EQ(fast.RemoveSelected(), count);
        ASSERT_EQ(fast.Count(), slow.Count());
        for (int i = 0; i < fast.Count(); ++i) {
            EXPECT_EQ(fast.Row(i).address, slow.Row(i).address);
            EXPECT_EQ(fast.Row(i).ttl, slow.Row(i).ttl);
        }
        EXPECT_EQ(fast.SelectedCount(), 0);
    }
}

TEST(AddressListTest, RemoveSelectedNotifiesOneRangeOrAReset) {
    AddressList list;
    RecordingObserver seen;
    list.AppendRows({Row("a"), Row("b"), Row("c"), Row("d"), Row("e")});
    list.SetObserver(&seen);
    list.SetSelection({1, 2});
    list.RemoveSelected();
    EXPECT_EQ(Addresses(list), (std::vector<std::string>{"a", "d", "e"}));
    list.SetSelection({0, 2});
    list.RemoveSelected();
    EXPECT_EQ(Addresses(list), (std::vector<std::string>{"d"}));
    EXPECT_EQ(seen.events, (std::vector<std::string>{"selection", "remove 1-2", "selection", "selection", "reset",
                                                     "selection"}));
}

TEST(AddressListTest, HundredThousandRowsEveryOtherSelected) {
    AddressList list;
    std::vector<AddressRow> rows;
    constexpr int kRows = 100000;
    rows.reserve(kRows);
    std::vector<int> selection;
    for (int i = 0; i < kRows; ++i) {
        rows.push_back(Row(std::to_string(i)));
        if (i % 2 == 0) selection.push_back(i);
    }
    list.AppendRows(std::move(rows));
    list.SetSelection(selection);
    EXPECT_EQ(list.RemoveSelected(), kRows / 2);
    ASSERT_EQ(list.Count(), kRows / 2);
    for (int i = 0; i < list.Count(); ++i) ASSERT_EQ(list.Row(i).address, std::to_string(2 * i + 1));
}

// ---- the commands against a monitor -------------------------------------------------------

enum class Command { DeleteSelected, DeleteSelectedMany, DeleteLast, ClearAll };

struct CommandCase {
    const char* name;
    std::vector<std::string> rows;
    std::vector<int> selected;
    bool started;  // the monitor runs before the command
    Command command;
    std::vector<std::string> after;
    bool running, created;
};

class CommandTable : public ::testing::TestWithParam<CommandCase> {
protected:
    void SetUp() override {
        EngineStartup();
    }
    veltrin::testing::TestWindowQueue queue;  // the test thread plays the window thread
    NullEvents events;
};

TEST_P(CommandTable, Run) {
    const CommandCase& c = GetParam();
    AddressList list;
    Monitor monitor(list, queue, events, [] { return std::string("50"); });
    for (const auto& a : c.rows) list.Append(a);
    if (c.started) {
        monitor.Start();
        ASSERT_TRUE(monitor.running());
        queue.WaitAndDrain(10);  // let the workers take a step or two; nothing depends on it
    }
    list.SetSelection(c.selected);
    switch (c.command) {
        case Command::DeleteSelected: DeleteSelectedAddress(list); break;
        case Command::DeleteSelectedMany: DeleteSelectedAddresses(list, monitor); break;
        case Command::DeleteLast: DeleteLastAddress(list, monitor); break;
        case Command::ClearAll: ClearAllAddresses(list, monitor); break;
    }
    EXPECT_EQ(Addresses(list), c.after);
    EXPECT_EQ(monitor.running(), c.running);
    EXPECT_EQ(monitor.created(), c.created);
    EXPECT_TRUE(events.fatal.empty());
    if (c.started && !c.running) {
        ASSERT_FALSE(events.status.empty());
        EXPECT_FALSE(events.status.back());  // the red picture
    }
}

const std::string A = "127.0.0.1", B = "127.0.0.2", C = "127.0.0.3";

INSTANTIATE_TEST_SUITE_P(
    ListCommands, CommandTable,
    ::testing::Values(
        CommandCase{"DeleteLastOnOneRowClearsAndStops", {A}, {}, true, Command::DeleteLast, {}, false, true},
        CommandCase{"DeleteLastOnTwoRowsDeletesTheSecond", {A, B}, {0}, true, Command::DeleteLast, {A}, true, true},
        CommandCase{"DeleteLastOnEmptyNeverStarted", {}, {}, false, Command::DeleteLast, {}, false, false},
        CommandCase{"DeleteLastOnOneRowNeverStarted", {A}, {}, false, Command::DeleteLast, {}, false, false},
        CommandCase{"DeleteSelectedAllOfThreeClearsAndStops", {A, B, C}, {0, 1, 2}, true, Command::DeleteSelectedMany,
                    {}, false, true},
        CommandCase{"DeleteSelectedTwoOfThreeKeepsRunning", {A, B, C}, {0, 2}, true, Command::DeleteSelectedMany, {B},
                    true, true},
        CommandCase{"DeleteSelectedTwoOfThreeAdjacent", {A, B, C}, {1, 2}, true, Command::DeleteSelectedMany, {A}, true,
                    true},
        CommandCase{"DeleteSelectedNoneDoesNothing", {A, B, C}, {}, true, Command::DeleteSelectedMany, {A, B, C}, true,
                    true},
        CommandCase{"DeleteSelectedOneWithTwoSelectedDoesNothing", {A, B, C}, {0, 1}, true, Command::DeleteSelected,
                    {A, B, C}, true, true},
        CommandCase{"DeleteSelectedOneWithNoneDoesNothing", {A, B}, {}, true, Command::DeleteSelected, {A, B}, true,
                    true},
        CommandCase{"DeleteSelectedOneDeletesIt", {A, B, C}, {1}, true, Command::DeleteSelected, {A, C}, true, true},
        CommandCase{"DeleteOnlyRowLeavesMonitorRunning", {A}, {0}, true, Command::DeleteSelected, {}, true, true},
        CommandCase{"ClearAllWhileRunningPauses", {A, B}, {}, true, Command::ClearAll, {}, false, true},
        CommandCase{"ClearAllNeverStarted", {A, B}, {1}, false, Command::ClearAll, {}, false, false}),
    [](const ::testing::TestParamInfo<CommandCase>& info) { return std::string(info.param.name); });

// After a clear the same workers come back with the next Start once the list has rows again.
TEST(MonitorStateTest, StartAfterClearResumesTheSameWorkers) {
    EngineStartup();
    veltrin::testing::TestWindowQueue queue;
    NullEvents events;
    AddressList list;
    Monitor monitor(list, queue, events, [] { return std::string("50"); });

    monitor.Start();  // empty list: nothing at all
    EXPECT_FALSE(monitor.created());
    EXPECT_TRUE(events.status.empty());

    list.Append(A);
    monitor.Start();
    ASSERT_TRUE(monitor.running());
    const trecvthread* receiver = monitor.Receiver();
    const std::uint16_t sender = monitor.SenderIdentifier();
    EXPECT_NE(sender, 0);
    monitor.Start();  // already running: no second set
    EXPECT_EQ(monitor.Receiver(), receiver);
    EXPECT_EQ(monitor.SenderIdentifier(), sender);

    ClearAllAddresses(list, monitor);
    EXPECT_FALSE(monitor.running());
    EXPECT_TRUE(monitor.created());
    monitor.Start();  // still empty: stays paused
    EXPECT_FALSE(monitor.running());
    list.Append(B);
    monitor.Start();
    EXPECT_TRUE(monitor.running());
    EXPECT_EQ(monitor.Receiver(), receiver);
    EXPECT_EQ(monitor.SenderIdentifier(), sender);
    monitor.Stop();
    monitor.Stop();
    EXPECT_FALSE(monitor.running());
    EXPECT_EQ(events.status, (std::vector<bool>{true, true, false, true, false, false}));
}

// The interval field: empty, zero, negative or not an integer gives 3; it lands in the global
// settings with the first pick.
TEST(MonitorStateTest, IntervalTextRule) {
    EngineStartup();
    const std::vector<std::pair<std::string, int>> cases = {
        {"", 3}, {"0", 3}, {"-5", 3}, {"abc", 3}, {"12x", 3}, {" 7", 3}, {"99999999999", 3}, {"7", 7}, {"+4", 4}};
    for (const auto& [text, expected] : cases) {
        veltrin::testing::TestWindowQueue queue;
        NullEvents events;
        AddressList list;
        list.Append("127.0.0.1");
        const std::string field = text;
        Monitor monitor(list, queue, events, [field] { return field; });
        Golbal()->interval = -1;
        monitor.Start();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (Golbal()->interval == -1 && std::chrono::steady_clock::now() < deadline) queue.WaitAndDrain(10);
        EXPECT_EQ(Golbal()->interval, expected) << '"' << text << '"';
    }
}

// The connectivity check comes from the factory once, and is paused and resumed with the set.
class IdleWorker : public Worker {
public:
    explicit IdleWorker(HandOver& handover) : Worker(handover) {}

protected:
    void Run() override {
        while (gate().WaitWhilePaused())
            if (!gate().Sleep(10)) return;
    }
};

TEST(MonitorStateTest, CheckWorkerFollowsTheSet) {
    EngineStartup();
    veltrin::testing::TestWindowQueue queue;
    NullEvents events;
    AddressList list;
    Monitor monitor(list, queue, events, [] { return std::string("50"); });
    int made = 0;
    monitor.SetCheckFactory([&](HandOver& handover) {
        ++made;
        return std::make_unique<Threaded<IdleWorker>>(handover);
    });
    list.Append(A);
    monitor.Start();
    ASSERT_NE(monitor.Check(), nullptr);
    EXPECT_TRUE(monitor.Check()->Started());
    EXPECT_FALSE(monitor.Check()->gate().Paused());
    Worker* check = monitor.Check();
    monitor.Stop();
    EXPECT_TRUE(check->gate().Paused());
    monitor.Start();
    EXPECT_FALSE(check->gate().Paused());
    ClearAllAddresses(list, monitor);
    EXPECT_TRUE(check->gate().Paused());
    list.Append(B);
    monitor.Start();
    EXPECT_FALSE(check->gate().Paused());
    EXPECT_EQ(monitor.Check(), check);
    EXPECT_EQ(made, 1);
}

TEST(MonitorStateTest, FailedCreationKeepsTheFlagsAndLaterStartsAFreshSet) {
    EngineStartup();
    veltrin::testing::TestWindowQueue queue;
    NullEvents events;
    AddressList list;
    Monitor monitor(list, queue, events, [] { return std::string("50"); });
    bool fail = true;
    monitor.SetCheckFactory([&](HandOver& handover) -> std::unique_ptr<Worker> {
        if (fail) return nullptr;  // as if the thread could not be made
        return std::make_unique<Threaded<IdleWorker>>(handover);
    });
    list.Append(A);
    monitor.Start();
    EXPECT_FALSE(monitor.created());
    EXPECT_FALSE(monitor.running());
    EXPECT_EQ(events.status, (std::vector<bool>{false}));
    EXPECT_TRUE(events.fatal.empty());
    fail = false;
    monitor.Start();
    EXPECT_TRUE(monitor.created());
    EXPECT_TRUE(monitor.running());
    ASSERT_NE(monitor.Receiver(), nullptr);
    EXPECT_NE(monitor.Check(), nullptr);
}

// A row's status is copied into the list with every result; the copy reuses the row's strip
// and stays a copy: what the list holds never changes with the status it came from.
TEST(RowStatusCopy, AStatusSetOnARowIsAnIndependentCopy) {
    AddressList list;
    list.Append("127.0.0.1");
    RowStatus status;
    status.AddHistory(1.5f);
    status.AddHistory(-1.0f);
    status.reason = "first";
    list.SetStatus(0, status);
    status.AddHistory(2.5f);
    status.reason = "second";
    EXPECT_EQ(list.Status(0).historycount, 2);
    EXPECT_FLOAT_EQ(list.Status(0).history[0], 1.5f);
    EXPECT_LT(list.Status(0).history[1], 0.0f);
    EXPECT_FLOAT_EQ(list.Status(0).history[2], 0.0f);
    EXPECT_EQ(list.Status(0).reason, "first");

    list.SetStatus(0, status);  // into the strip already there
    EXPECT_EQ(list.Status(0).historycount, 3);
    EXPECT_FLOAT_EQ(list.Status(0).history[2], 2.5f);
    EXPECT_EQ(list.Status(0).reason, "second");

    list.SetStatus(0, RowStatus{});  // a status without a strip empties the row's
    EXPECT_EQ(list.Status(0).historycount, 0);
    EXPECT_FLOAT_EQ(list.Status(0).history[0], 0.0f);

    RowStatus self = status;
    self = *&self;
    EXPECT_FLOAT_EQ(self.history[2], 2.5f);
}

}  // namespace
}  // namespace veltrin
