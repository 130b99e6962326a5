// What the monitor and worker tests share: a window-thread queue for the test's own thread, a
// MonitorEvents that records what it is told, and the raw-socket check for skipping.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "monitor/monitor.h"
#include "monitor/worker.h"

namespace veltrin::testing {

// A hand-over queue whose window thread is the thread that made it: the test's thread plays the
// window thread and drains it (WaitAndDrain), or runs steps inline.
class TestWindowQueue : public StepQueue {
public:
    TestWindowQueue() { SetWindowThread(std::this_thread::get_id()); }
};

// Records every event the monitor reports, in order.
class RecordingEvents : public MonitorEvents {
public:
    std::vector<bool> status;
    std::vector<std::string> fatal, hints;
    void StatusChanged(bool running) override { status.push_back(running); }
    void FatalError(const std::string& text) override { fatal.push_back(text); }
    void RawSocketUnavailable(const std::string& hint) override { hints.push_back(hint); }
};

// True when this process may open a raw ICMP socket: root, or CAP_NET_RAW without root. Tests
// that need one skip on false rather than asking for a user id.
inline bool CanOpenRawIcmp() {
    const int fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

}  // namespace veltrin::testing
