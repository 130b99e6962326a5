#include "monitor/monitor.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <utility>

#include "engine/decimal.h"
#include "engine/global_unit.h"
#include "engine/icmp_socket.h"

namespace veltrin {

namespace {

constexpr int kFailPauseMs = 100;

// Wall clock in ms since the epoch, for the times a row shows.
std::int64_t WallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Wakes when the oldest echo in flight is due and has the window thread count it lost. It
// sleeps in between, so a quiet list costs nothing and a long one is never walked.
class tsweepthread : public Worker {
public:
    tsweepthread(HandOver& handover, EchoLedger& ledger, std::function<void()> sweep)
        : Worker(handover), ledger_(ledger), sweep_(std::move(sweep)) {}

    // The time-out changed: the nap under way may be too long now.
    void Nudge() {
        {
            std::lock_guard<std::mutex> lock(gate().mutex());
            nudged_ = true;
        }
        gate().condition().notify_all();
    }

protected:
    const char* ThreadName() const override { return "vping-losses"; }
    void Run() override {
        Gate& g = gate();
        for (;;) {
            if (!g.WaitWhilePaused()) return;
            const int due = ledger_.MsUntilDue(MonotonicNs());
            if (due == 0) {
                if (!OnWindow(sweep_)) return;
                continue;
            }
            // With nothing in flight, an echo sent from now on is due no sooner than one
            // time-out away; a shorter time-out nudges this nap.
            const int nap = due < 0 ? std::max(ledger_.Timeout(), 1) : due;
            std::unique_lock<std::mutex> lock(g.mutex());
            g.condition().wait_for(lock, std::chrono::milliseconds(nap), [&] { return g.StopRequested() || nudged_; });
            nudged_ = false;
            if (g.StopRequested()) return;
        }
    }

private:
    EchoLedger& ledger_;
    std::function<void()> sweep_;
    bool nudged_ = false;  // under the gate's lock
};

// The raw-socket hint is worth saying once per process, however many monitors try.
std::atomic<bool> rawhinttold{false};

}  // namespace

Monitor::Monitor(AddressList& list, HandOver& handover, MonitorEvents& events,
                 std::function<std::string()> intervaltext)
    : list_(list),
      handover_(handover),
      events_(events),
      intervaltext_(std::move(intervaltext)),
      ledger_(options_.timeoutms),
      reach_(list) {
    reach_.SetLostCount(options_.lostcount);
}

Monitor::~Monitor() {
    // Ask everybody first so the joins below do not wait one after another.
    hintgate_.RequestStop();
    if (sender_) sender_->gate().RequestStop();
    if (receiver_) receiver_->gate().RequestStop();
    if (check_) check_->gate().RequestStop();
    if (sweep_) sweep_->gate().RequestStop();
    for (auto& w : graveyard_) w->gate().RequestStop();
    if (sender_) sender_->Stop();
    if (receiver_) receiver_->Stop();
    if (check_) check_->Stop();
    if (sweep_) sweep_->Stop();
    nudgelosses_ = nullptr;
    sweep_.reset();
    for (auto& w : graveyard_) w->Stop();
    sender_.reset();
    receiver_.reset();
    check_.reset();
    graveyard_.clear();
}

void Monitor::SetCheckFactory(std::function<std::unique_ptr<Worker>(HandOver&)> factory) {
    checkfactory_ = std::move(factory);
}

void Monitor::SetReachOptions(const ReachOptions& options) {
    options_ = options;
    ledger_.SetTimeout(options.timeoutms);
    reach_.SetLostCount(options.lostcount);
    if (nudgelosses_) nudgelosses_();
}

std::uint16_t Monitor::SenderIdentifier() const {
    const int id = senderid_.load();
    return id < 0 ? 0 : static_cast<std::uint16_t>(id);
}

bool Monitor::CreateSet() {
    // Receiver first, so the first replies already find it listening; a datagram that comes
    // before the sender exists is dropped.
    auto receiver = std::make_unique<Threaded<trecvthread>>(
        handover_, [this] { return senderid_.load(); }, &ledger_,
        [this](const std::uint8_t*, int, const ReplyCheck& check) { ShowReply(check); },
        [this](int error) { SocketFailed(error); });
    receiver->SetBatch([this](std::vector<ReplyCheck>& checks) { ShowReplies(checks); }, kReplyGatherMs);
    receiver->SetDeferredWhile([this] { return sweepsteady_.load(); });
    auto sender = std::make_unique<Threaded<tsendthread>>(
        handover_, [this](SendTarget& target) { return sweeping_ ? PickSlice(target) : PickAddress(target, false); },
        std::function<void(int)>{}, kFailPauseMs);
    sender->SetPickAhead([this](SendTarget& target) { return PickAddress(target, true); });
    ShareChannel(*sender, *receiver);
    if (!receiver->Start()) return false;
    receiver_ = std::move(receiver);

    if (!sender->Start()) return false;
    sender_ = std::move(sender);
    senderid_.store(sender_->Identifier());

    if (!sweep_) {
        // One for the life of the monitor: the ledger it watches outlives every set.
        auto sweep = std::make_unique<Threaded<tsweepthread>>(handover_, ledger_, [this] { Sweep(); });
        if (!sweep->Start()) return false;
        nudgelosses_ = [losses = sweep.get()] { losses->Nudge(); };
        sweep_ = std::move(sweep);
    }

    if (checkfactory_) {
        auto check = checkfactory_(handover_);
        if (!check) return false;
        if (!check->Started() && !check->Start()) return false;
        check_ = std::move(check);
    }
    return true;
}

void Monitor::PauseSet() {
    if (sender_) {
        sender_->Pause();
        sender_->DropPickAhead();
    }
    if (receiver_) receiver_->Pause();
    if (check_) check_->Pause();
    if (sweep_) sweep_->Pause();
    // Replies wait unread in the socket while paused; their echoes must not run out meanwhile.
    ledger_.Freeze(MonotonicNs());
}

void Monitor::ResumeSet() {
    ledger_.Thaw(MonotonicNs());
    if (sweep_) sweep_->Resume();
    if (receiver_) receiver_->Resume();
    if (check_) check_->Resume();
    if (sender_) sender_->Resume();
}

void Monitor::RetireSet() {
    // Asking to end never waits; the workers finish on their own and are joined by ~Monitor.
    senderid_.store(-1);
    ledger_.Thaw(MonotonicNs());
    if (sweep_) sweep_->Resume();
    if (sender_) {
        sender_->gate().RequestStop();
        graveyard_.push_back(std::move(sender_));
    }
    if (check_) {
        check_->Pause();
        check_->gate().RequestStop();
        graveyard_.push_back(std::move(check_));
    }
    if (receiver_) {
        receiver_->gate().RequestStop();
        graveyard_.push_back(std::move(receiver_));
    }
}

void Monitor::Start() {
    if (list_.Count() == 0) return;
    if (created_ && !running_) {
        // A set that lost its sender or receiver cannot be resumed as a whole; it is retired
        // like one whose resume failed (a lock error), and the next Start makes a new set.
        bool resumed = false;
        if (sender_ && receiver_) {
            try {
                ResumeSet();
                resumed = true;
            } catch (...) {
                // Handled below: the set is retired.
            }
        }
        if (resumed) {
            created_ = true;
            running_ = true;
        } else {
            created_ = false;
            running_ = false;
            try {
                RetireSet();
            } catch (...) {
                // Retiring only moves pointers and sets flags; if even that fails the state is
                // unknown and the user is told to start again.
                events_.FatalError("Unclear Error\r\nplease re-startup the program");
                return;
            }
        }
    } else if (!created_) {
        // Whatever a failed attempt made stays alive, asked to end, until the Monitor goes.
        RetireSet();
        bool made = false;
        try {
            made = CreateSet();
        } catch (...) {
            // Out of memory or no thread to be had: like any other failed creation below.
            made = false;
        }
        if (made) {
            created_ = true;
            running_ = true;
        } else {
            RetireSet();
        }
    }
    // Already running: the one set keeps going; only the picture is refreshed.
    events_.StatusChanged(running_);
}

void Monitor::Stop() {
    if (created_ && running_) {
        try {
            PauseSet();
            running_ = false;
        } catch (...) {
            // A pause that failed (a lock error) leaves the set in an unknown state: retire it.
            try {
                RetireSet();
                created_ = false;
                running_ = false;
            } catch (...) {
                created_ = false;
                running_ = false;
                events_.FatalError("Unclear error! Please re-startup the program");
                return;
            }
        }
    }
    events_.StatusChanged(running_);
}

void Monitor::Clear() {
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            if (created_) {
                PauseSet();
                list_.Clear();
                running_ = false;
            } else {
                list_.Clear();
            }
            events_.StatusChanged(running_);
            return;
        } catch (...) {
            // One more try, then the user is told.
        }
    }
    events_.FatalError("Unclear Error");
}

void Monitor::PickAhead() {
    // The sweep plans its own slices; a switch to it takes effect at the sender's next pick.
    if (sender_ && !sweeping_ && running_) sender_->PickAhead();
}

bool Monitor::PickAddress(SendTarget& target, bool ahead) {
    TakeOutcomes();
    const int rows = list_.Count();
    // The generator advances on every cycle, also on an empty list, so the sequence of picks
    // depends only on the list lengths seen.
    const int index = picker_.next(rows);
    if (rows <= 0 || index < 0 || index >= rows) {
        Announce();
        return false;
    }

    // Text that names no address is never sent to (a malformed dotted text would otherwise go
    // to 255.255.255.255); the row says why instead.
    std::uint32_t value = 0;
    std::string ip;
    const bool found = reach_.Target(index, value, ip);
    Announce();
    if (picked_ && !ahead) picked_(index, found ? ip : std::string(), MonotonicNs());
    if (picked_ && ahead) {
        // Told once the sender takes it: a pick made ahead may yet be dropped by a pause.
        target.taken = [notes = picknotes_, index, ip = found ? ip : std::string()] {
            std::lock_guard<std::mutex> lock(notes->mutex);
            notes->notes.push_back({index, ip, MonotonicNs()});
        };
    }
    int interval = kDefaultInterval;
    if (intervaltext_) interval = MonitorInterval(intervaltext_());
    Tgolbal* golbal = Golbal();
    if (golbal) golbal->interval = interval;
    target.ip = found ? ip : std::string();
    target.interval = interval;
    target.datalength = golbal ? golbal->datalength : 8;
    if (found) {
        EchoLedger* ledger = &ledger_;
        target.record = [ledger, value](std::uint16_t identifier, std::uint32_t tick) {
            ledger->Record(value, identifier, tick, MonotonicNs());
        };
    }
    return found;
}

void Monitor::TakeOutcomes() {
    if (picked_) {
        std::vector<PickNote> notes;
        {
            std::lock_guard<std::mutex> lock(picknotes_->mutex);
            notes.swap(picknotes_->notes);
        }
        for (const PickNote& note : notes) picked_(note.row, note.ip, note.ns);
    }
    const std::int64_t wall = WallMs();
    for (std::uint32_t value : ledger_.TakeSent()) reach_.Sent(value, wall);
    for (const EchoLedger::LostEcho& echo : ledger_.TakeLost(MonotonicNs())) reach_.Lost(echo.addr, wall, echo.seq);
}

void Monitor::Announce() {
    std::vector<StateChange> changes = reach_.TakeChanges();
    if (!changes.empty()) events_.RowStatesChanged(changes);
    std::vector<EchoResult> results = reach_.TakeResults();
    if (!results.empty()) events_.Results(results);
}

void Monitor::Sweep() {
    TakeOutcomes();
    Announce();
    PickAhead();
}

void Monitor::ShowReply(const ReplyCheck& check) {
    // The echo this answers was recorded before it left, so its send is counted first.
    TakeOutcomes();
    ShowOne(check);
    Announce();
    // The window thread is awake: the sender's next pick is made now rather than in a step
    // of its own when the interval ends (one wake of this thread and one of the sender fewer
    // per echo).
    PickAhead();
}

void Monitor::ShowReplies(std::vector<ReplyCheck>& checks) {
    // Every echo these answer was recorded before it left: one look at the ledger serves them
    // all, and the turn's changes are reported once.
    TakeOutcomes();
    for (const ReplyCheck& check : checks) ShowOne(check);
    Announce();
    PickAhead();
}

void Monitor::ShowOne(const ReplyCheck& check) {
    // Only echo replies that answer our own echoes write rows; rows are found by address value.
    if (check.echoreply) sweeppace_.Answered(check.source);
    if (check.echoreply && check.described.icmpcode == "Reply message") {
        try {
            reach_.Reply(check.source, check.described, check.match, check.rttns, WallMs(), check.seq);
        } catch (...) {
            // Rows already written stay written.
        }
    }
}

void Monitor::SocketFailed(int error) {
    handover_.Run(hintgate_, [this, error] {
        if (!rawhinttold.exchange(true)) events_.RawSocketUnavailable(RawSocketHint(error));
    });
}

// ---- list commands --------------------------------------------------------------------------

void ClearAllAddresses(AddressList& list, Monitor& monitor) {
    monitor.Clear();
    list.Clear();  // no-op when it is the monitor's own list
}

void DeleteSelectedAddress(AddressList& list) {
    if (list.SelectedCount() != 1) return;
    list.RemoveAt(list.FirstSelected());
}

void DeleteSelectedAddresses(AddressList& list, Monitor& monitor) {
    const int selected = list.SelectedCount();
    if (selected == 0) return;
    if (selected == list.Count()) {
        ClearAllAddresses(list, monitor);
        return;
    }
    list.RemoveSelected();
}

void DeleteLastAddress(AddressList& list, Monitor& monitor) {
    if (list.Count() < 2) {
        ClearAllAddresses(list, monitor);
        return;
    }
    list.RemoveAt(list.Count() - 1);
}

}  // namespace veltrin
