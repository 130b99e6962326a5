// A pingable test host for real-network tests: its own network namespace behind a veth pair,
// at a 198.18.0.0/15 address that the root namespace routes to. It lives exactly as long as
// the object (and is removed even when the test process dies: the tool that keeps it watches
// the pipe to this process).
//
//   TestHost host({.ttl = 128, .delay_ms = 50});
//   ASSERT_TRUE(host.ok()) << host.error();
//   SendEcho(host.address(), 0, 32);
//
// Tests that need one start with
//   if (auto why = TestHost::SkipReason(); !why.empty()) GTEST_SKIP() << why;
#pragma once

#include <sys/types.h>

#include <string>

namespace veltrin::testing {

struct TestHostOptions {
    int ttl = 64;            // TTL of every answer
    int delay_ms = 0;        // answer this long after the request arrived
    int loss_percent = 0;    // exact, repeatable share of requests left unanswered (50: every second one)
    int rewrite_id = -1;     // 0..65535: answer with this identifier instead of the request's
    int error_type = -1;     // 0..255: answer with this ICMP error message, quoting the request
    int error_code = 0;
    bool userspace = false;  // answer from userspace even when the kernel could (implied by the above)
};

class TestHost {
public:
    explicit TestHost(const TestHostOptions& options = {});
    ~TestHost();
    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;

    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    const std::string& address() const { return address_; }  // the host, e.g. "198.18.4.2"
    const std::string& gateway() const { return gateway_; }  // this side of the veth
    const std::string& netns() const { return netns_; }
    const std::string& veth() const { return veth_; }        // this side's interface

    // Empty when test hosts can be made here; otherwise why not (no root, no namespaces, no ip).
    static std::string SkipReason();
    // The veltrin-testhost program (VELTRIN_TESTHOST overrides the built one).
    static std::string ToolPath();

private:
    void Stop();

    bool ok_ = false;
    std::string error_, address_, gateway_, netns_, veth_;
    pid_t pid_ = -1;
    int control_ = -1;  // write end of the tool's stdin; closing it ends the host
};

}  // namespace veltrin::testing
