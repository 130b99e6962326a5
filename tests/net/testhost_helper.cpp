#include "net/testhost_helper.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

namespace veltrin::testing {

namespace {

bool WaitExit(pid_t pid, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool HaveIpTool() {
    for (const char* p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
        if (::access(p, X_OK) == 0) return true;
    return false;
}

}  // namespace

std::string TestHost::ToolPath() {
    if (const char* env = std::getenv("VELTRIN_TESTHOST"); env != nullptr && *env != '\0') return env;
    return std::string(VELTRIN_BINARY_DIR) + "/tests/tools/veltrin-testhost";
}

std::string TestHost::SkipReason() {
    if (::geteuid() != 0) return "test hosts need root (network namespaces, veth pairs, raw sockets)";
    if (!HaveIpTool()) return "test hosts need iproute2's ip (scripts/install-deps.sh installs it)";
    // A thread of its own tries a namespace; the change dies with the thread.
    int err = 0;
    std::thread probe([&err] {
        if (::unshare(CLONE_NEWNET) != 0) err = errno;
    });
    probe.join();
    if (err != 0) return std::string("network namespaces are not available here: ") + std::strerror(err);
    return {};
}

TestHost::TestHost(const TestHostOptions& o) {
    const std::string tool = ToolPath();
    if (::access(tool.c_str(), X_OK) != 0) {
        error_ = "test host tool not found: " + tool;
        return;
    }
    std::vector<std::string> args{tool, "--ttl", std::to_string(o.ttl), "--delay-ms", std::to_string(o.delay_ms),
                                  "--loss-percent", std::to_string(o.loss_percent)};
    if (o.rewrite_id >= 0) args.insert(args.end(), {"--rewrite-id", std::to_string(o.rewrite_id)});
    if (o.error_type >= 0)
        args.insert(args.end(), {"--error", std::to_string(o.error_type) + "/" + std::to_string(o.error_code)});
    if (o.userspace) args.push_back("--userspace");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    // Both pipes are close-on-exec here so no other child of this process holds them open:
    // the tool must see end of file as soon as this object (or the process) lets go.
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        return;
    }
    if (::pipe2(out, O_CLOEXEC) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        ::close(in[0]);
        ::close(in[1]);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    const int rc = posix_spawn(&pid_, tool.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    control_ = in[1];
    if (rc != 0) {
        pid_ = -1;
        error_ = "cannot start " + tool + ": " + std::strerror(rc);
        ::close(out[0]);
        Stop();
        return;
    }

    // Wait for "ready <host> <gateway> <netns> <veth>"; setting up takes well under a second,
    // the limit only keeps a broken machine from hanging the test.
    std::string line;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{out[0], POLLIN, 0};
        const int n = ::poll(&p, 1, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        char buf[256];
        const ssize_t r = ::read(out[0], buf, sizeof buf);
        if (r <= 0) break;
        line.append(buf, static_cast<std::size_t>(r));
    }
    ::close(out[0]);
    std::istringstream words(line);
    std::string ready;
    words >> ready >> address_ >> gateway_ >> netns_ >> veth_;
    if (ready != "ready" || address_.empty() || netns_.empty()) {
        error_ = "test host did not come up (see the tool's messages above); it said: \"" + line + "\"";
        address_.clear();
        Stop();
        return;
    }
    ok_ = true;
}

void TestHost::Stop() {
    if (control_ >= 0) ::close(control_);  // end of file: the tool removes the host and exits
    control_ = -1;
    if (pid_ <= 0) return;
    if (!WaitExit(pid_, std::chrono::seconds(15))) {
        ::kill(pid_, SIGTERM);
        if (!WaitExit(pid_, std::chrono::seconds(5))) {
            ::kill(pid_, SIGKILL);
            WaitExit(pid_, std::chrono::seconds(5));
        }
    }
    pid_ = -1;
}

TestHost::~TestHost() { Stop(); }

}  // namespace veltrin::testing
