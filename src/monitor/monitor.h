// The main window's monitor: sender, receiver and connectivity-check workers with the
// Start / Stop / Clear state machine. Window thread only, except where noted.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "monitor/addresslist.h"
#include "monitor/echoledger.h"
#include "monitor/echoresult.h"
#include "monitor/pingthreads.h"
#include "monitor/reachability.h"
#include "monitor/rowpicker.h"
#include "monitor/rowstatus.h"
#include "monitor/sweeppace.h"
#include "monitor/worker.h"

namespace veltrin {

// What the monitor needs from its window (the Qt main window or the console).
class MonitorEvents {
public:
    virtual ~MonitorEvents() = default;
    virtual void StatusChanged(bool running) = 0;               // refresh the status picture
    virtual void FatalError(const std::string& text) = 0;       // "Notice" box, then end the application
    virtual void RawSocketUnavailable(const std::string& hint) = 0;  // told once per process
    // Rows whose reachability state changed, gathered per turn (window thread). Rows' statuses
    // are already updated in the list when this is called.
    virtual void RowStatesChanged(const std::vector<StateChange>& changes) { (void)changes; }
    // Echoes answered and lost, gathered per turn (window thread), in the order they were
    // counted; the rows' statuses already hold them.
    virtual void Results(const std::vector<EchoResult>& results) { (void)results; }
};

class Monitor {
public:
    // Replies reach the window in steps of at most this many ms of arrivals, not one step each.
    static constexpr int kReplyGatherMs = 50;

    // intervaltext: the interval field's current text, read on the window thread every cycle.
    Monitor(AddressList& list, HandOver& handover, MonitorEvents& events, std::function<std::string()> intervaltext);
    ~Monitor();  // stops and joins the workers

    void Start();  // pingbtnClick
    void Stop();   // stopbtnClick
    void Clear();  // the monitor side of ClearAllAddresses: pause, empty the list, red

    bool created() const { return created_; }
    bool running() const { return running_; }

    // Makes the connectivity-check worker that is created, paused and resumed with the other two.
    void SetCheckFactory(std::function<std::unique_ptr<Worker>(HandOver&)> factory);

    std::uint16_t SenderIdentifier() const;
    const trecvthread* Receiver() const { return receiver_.get(); }

    // Time-out and lost count of the reachability states; takes effect for echoes in flight too.
    void SetReachOptions(const ReachOptions& options);
    const ReachOptions& Options() const { return options_; }
    // Every echo sent and what became of it.
    const EchoLedger& Ledger() const { return ledger_; }
    // Echo replies dropped because they answered nothing this monitor sent.
    std::uint64_t UnmatchedReplies() const { return ledger_.Unmatched(); }
    Worker* Check() const { return check_.get(); }

    // The sweep pace (monitorsweep.cpp): every row once per interval x 100 ms in list order, the
    // sends spread evenly over that period, one echo in flight per address; off (the default):
    // one random row per cycle and the interval's pause after each echo. Takes effect at the
    // next pick; a sweep starts again at the first row.
    void SetSweep(bool on);
    bool Sweeping() const { return sweeping_; }
    // Told of every row the monitor sends to (window thread), with the address sent to, or an
    // empty text when the row has none and nothing was sent, and when (monotonic ns) the echo
    // left or was planned to. A pick taken at once is told before its echo leaves; one made
    // ahead of its send (the ordinary pace picks the next row during a reply's step) is told
    // at the next step after the sender took it, with the time it was taken, and never if the
    // sender dropped it (a pause or a stop).
    using PickObserver = std::function<void(int row, const std::string& ip, std::int64_t sentns)>;
    void SetPickObserver(PickObserver observer) { picked_ = std::move(observer); }
    // Sends whose target was picked ahead. For tests.
    std::uint64_t PicksTakenAhead() const { return sender_ ? sender_->PicksTakenAhead() : 0; }

private:
    // ahead: picked during another step, before the sender needs it (see SetPickObserver).
    bool PickAddress(SendTarget& target, bool ahead);
    void PickAhead();  // window thread: the sender's next pick, when it wants one
    bool PickSlice(SendTarget& target);                // monitorsweep.cpp
    void ShowReplies(std::vector<ReplyCheck>& checks);
    void ShowReply(const ReplyCheck& check);
    void ShowOne(const ReplyCheck& check);  // one reply's rows, without the turn's report
    void Sweep();          // window thread: echoes past their time-out
    void TakeOutcomes();   // window thread: sends and losses recorded since the last step
    void Announce();       // window thread: the turn's state changes, in one report
    void SocketFailed(int error);  // receiver thread
    bool CreateSet();
    void PauseSet();
    void ResumeSet();
    void RetireSet();  // asks the held set to end and keeps it alive until the Monitor goes

    AddressList& list_;
    HandOver& handover_;
    MonitorEvents& events_;
    std::function<std::string()> intervaltext_;
    std::function<std::unique_ptr<Worker>(HandOver&)> checkfactory_;
    RowPicker picker_;
    ReachOptions options_;
    EchoLedger ledger_;
    Reachability reach_;
    bool created_ = false;
    bool running_ = false;
    std::unique_ptr<tsendthread> sender_;
    std::unique_ptr<trecvthread> receiver_;
    std::unique_ptr<Worker> check_;
    std::unique_ptr<Worker> sweep_;
    std::function<void()> nudgelosses_;  // wakes sweep_ when the time-out changes
    std::vector<std::unique_ptr<Worker>> graveyard_;  // retired workers, joined by ~Monitor
    std::atomic<int> senderid_{-1};                   // read by the receiver thread; -1: no sender
    Gate hintgate_;                                   // lets ~Monitor cut short the hint hand-over
    SweepPace sweeppace_;
    bool sweeping_ = false;
    std::atomic<bool> sweepsteady_{false};  // sweeping_, for the receiver thread
    PickObserver picked_;
    // Picks made ahead that the sender took, for the observer (filled on the sender's thread).
    struct PickNote {
        int row = -1;
        std::string ip;
        std::int64_t ns = 0;
    };
    struct PickNotes {
        std::mutex mutex;
        std::vector<PickNote> notes;
    };
    std::shared_ptr<PickNotes> picknotes_ = std::make_shared<PickNotes>();
};

// The list commands; ClearAllAddresses also stops the monitor.
void DeleteSelectedAddress(AddressList& list);
void DeleteSelectedAddresses(AddressList& list, Monitor& monitor);
void DeleteLastAddress(AddressList& list, Monitor& monitor);
void ClearAllAddresses(AddressList& list, Monitor& monitor);

}  // namespace veltrin
