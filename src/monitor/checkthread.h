// The connectivity check: a worker that pings one probe host every four seconds and writes its
// progress into the main window's title.
#pragma once

#include <functional>
#include <string>

#include "monitor/worker.h"

namespace veltrin {

// One echo request of 12 bytes to `host`, carrying the calling thread's identifier. Returns the
// round-trip time in ms (zero or more) when the host's echo reply arrives within 2000 ms, a
// negative number otherwise (no way to send ICMP, unresolvable name, failed send, time-out).
// Datagrams that are not this probe's reply (replies to the monitor, the request itself seen on
// loopback, ICMP errors, late replies of an earlier probe) are passed over until the deadline.
int ProbeHost(const std::string& host);
// The same, with the wait cut short by the gate: a pause or stop makes the probe fail at once.
int ProbeHost(const std::string& host, Gate& gate);

class tcheckthread : public Worker {
public:
    // host: the probe host. settitle: runs on the window thread, writes the main window's title.
    // pausems: the wait after the probe and the sleep after "some end" (2000 ms; tests shorten it).
    tcheckthread(HandOver& handover, std::string host, std::function<void(std::string)> settitle,
                 int pausems = 2000);
    // The same with the host asked for before every probe, on the window thread, so a changed
    // setting counts from the next probe; an empty host means the check is off: no probe and no
    // title until it names a host again.
    tcheckthread(HandOver& handover, std::function<std::string()> host, std::function<void(std::string)> settitle,
                 int pausems = 2000);

protected:
    const char* ThreadName() const override { return "vping-check"; }
    void Run() override;

private:
    std::string host_;
    std::function<std::string()> hostnow_;
    std::function<void(std::string)> settitle_;
    int pausems_;
};

}  // namespace veltrin
