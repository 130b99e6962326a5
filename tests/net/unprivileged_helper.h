// Running parts of the program as an ordinary account: the nobody user (65534) without any
// capability, in a private network namespace whose net.ipv4.ping_group_range a test sets, and
// a copy of the packet helper that carries cap_net_raw as its file capability.
//
// Tests that need these start with
//   if (auto why = veltrin::testing::UnprivilegedSkipReason(); !why.empty()) GTEST_SKIP() << why;
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace veltrin::testing {

constexpr int kNobody = 65534;

// Empty when this process can do all of the above (root with namespaces and file capabilities).
std::string UnprivilegedSkipReason();

// Moves the calling thread (and so everything it starts afterwards) into a fresh network
// namespace with loopback up. Call it while the process has one thread only, so the whole
// test program lives in the namespace. Returns an error text, empty on success.
std::string EnterPrivateNetwork();
// Writes net.ipv4.ping_group_range of the calling thread's network namespace ("1 0" closes it).
bool SetPingGroupRange(const std::string& range);

// The value of one field ("CapEff", "CapPrm", "CapBnd", "Uid" ...) of /proc/PID/status, or
// /proc/PID/task/TID/status when tid > 0. Empty when unreadable.
std::string ProcStatusField(pid_t pid, const std::string& field, pid_t tid = 0);

// A copy of the built packet helper in a fresh folder that nobody may read and run; with
// `capability` it carries cap_net_raw+ep. Removed with the object.
class HelperCopy {
public:
    explicit HelperCopy(bool capability);
    ~HelperCopy();
    HelperCopy(const HelperCopy&) = delete;
    HelperCopy& operator=(const HelperCopy&) = delete;
    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    const std::string& path() const { return path_; }
    const std::string& folder() const { return folder_; }

private:
    std::string folder_, path_, error_;
};

// The packet helper as built.
std::string BuiltHelperPath();

// Argument list that runs `program args...` as nobody with no groups and no capability, via
// setpriv (no shell).
std::vector<std::string> AsNobody(const std::vector<std::string>& command);

// Runs `body` on a thread of its own whose credentials alone become nobody's (the kernel's
// per-thread setresuid, not glibc's process-wide one). Threads it starts inherit them; the rest
// of the test program keeps root. Returns false when the switch failed.
bool RunOnNobodyThread(const std::function<void()>& body);

}  // namespace veltrin::testing
