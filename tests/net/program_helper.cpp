#include "net/program_helper.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <thread>

extern char** environ;

namespace veltrin::testing {

namespace {

std::vector<std::string> Environment(const EnvChanges& changes) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const auto& [name, value] : changes)
            if (entry.compare(0, name.size() + 1, name + "=") == 0) replaced = true;
        if (!replaced) env.push_back(entry);
    }
    for (const auto& [name, value] : changes)
        if (!value.empty()) env.push_back(name + "=" + value);
    return env;
}

struct Argv {
    explicit Argv(const std::vector<std::string>& args, const EnvChanges& env) : args_(args), env_(Environment(env)) {
        for (auto& a : args_) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : env_) envp.push_back(e.data());
        envp.push_back(nullptr);
    }
    std::vector<std::string> args_, env_;
    std::vector<char*> argv, envp;
};

// After fork: only async-signal-safe calls until exec.
[[noreturn]] void Child(const Argv& a, int netfd, int in, int out, int err) {
    if (netfd >= 0 && ::setns(netfd, CLONE_NEWNET) != 0) ::_exit(126);
    if (::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(126);
    // The test's own signal mask and dispositions are not the program's business.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(a.argv[0], a.argv.data(), a.envp.data());
    ::_exit(127);
}

bool WaitExit(pid_t pid, std::chrono::milliseconds limit, int& status) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return true;
        if (r < 0) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

PrivateNet::PrivateNet() {
    std::thread maker([this] {
        if (::unshare(CLONE_NEWNET) != 0) {
            error_ = std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
            return;
        }
        const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq ifr{};
        std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
        bool up = s >= 0 && ::ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
        ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
        up = up && ::ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
        if (s >= 0) ::close(s);
        if (!up) {
            error_ = std::string("cannot bring lo up: ") + std::strerror(errno);
            return;
        }
        fd_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) error_ = std::string("cannot open the namespace: ") + std::strerror(errno);
    });
    maker.join();
}

PrivateNet::~PrivateNet() {
    if (fd_ >= 0) ::close(fd_);
}

void PrivateNet::Within(const std::function<void()>& step) const {
    std::thread t([&] {
        if (::setns(fd_, CLONE_NEWNET) != 0) return;
        step();
    });
    t.join();
}

Outcome RunProgram(const std::vector<std::string>& args, const RunOptions& options) {
    Outcome result;
    const Argv a(args, options.env);
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return result;
    const int netfd = options.net != nullptr ? options.net->fd() : -1;
    const pid_t pid = ::fork();
    if (pid == 0) Child(a, netfd, in[0], out[1], err[1]);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (pid < 0) {
        ::close(in[1]);
        ::close(out[0]);
        ::close(err[0]);
        result.err = std::string("fork failed: ") + std::strerror(errno);
        return result;
    }
    // Standard input is written from a thread of its own so a large input cannot deadlock
    // against a program that writes before it has read everything.
    std::thread writer([fd = in[1], &input = options.input] {
        std::size_t done = 0;
        ::signal(SIGPIPE, SIG_IGN);
        while (done < input.size()) {
            const ssize_t n = ::write(fd, input.data() + done, input.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        ::close(fd);
    });
    const auto deadline = std::chrono::steady_clock::now() + options.limit;
    bool outopen = true, erropen = true, signalled = false;
    while (outopen || erropen) {
        if (std::chrono::steady_clock::now() >= deadline) {
            result.timedout = true;
            ::kill(pid, SIGKILL);
            break;
        }
        pollfd fds[2] = {{outopen ? out[0] : -1, POLLIN, 0}, {erropen ? err[0] : -1, POLLIN, 0}};
        if (::poll(fds, 2, 100) < 0 && errno != EINTR) break;
        char buffer[65536];
        for (int i = 0; i < 2; ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            std::string& sink = i == 0 ? result.out : result.err;
            if (n > 0)
                sink.append(buffer, static_cast<std::size_t>(n));
            else
                (i == 0 ? outopen : erropen) = false;
        }
        if (!signalled && options.whilerunning && options.whilerunning(result.out, result.err)) {
            ::kill(pid, SIGTERM);
            signalled = true;
        }
    }
    ::close(out[0]);
    ::close(err[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    writer.join();
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    return result;
}

bool Background::Start(const std::vector<std::string>& args, const EnvChanges& env, const PrivateNet* net,
                       const std::string& outpath, const std::string& errpath) {
    const Argv a(args, env);
    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out = ::open(outpath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int err = ::open(errpath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (in < 0 || out < 0 || err < 0) return false;
    const int netfd = net != nullptr ? net->fd() : -1;
    pid_ = ::fork();
    if (pid_ == 0) Child(a, netfd, in, out, err);
    ::close(in);
    ::close(out);
    ::close(err);
    return pid_ > 0;
}

bool Background::Running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        pid_ = -1;
        return false;
    }
    return true;
}

int Background::Stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        if (!WaitExit(pid_, std::chrono::seconds(10), status)) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            status_ = -1;
        } else {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        pid_ = -1;
    }
    return status_;
}

std::string HttpGet(std::uint16_t port, const std::string& path, const PrivateNet* net, const std::string& method) {
    std::string response;
    auto get = [&] {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0) return;
        timeval tv{30, 0};  // only a bound for a hung server: sanitizer builds are slow
        ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            ::close(s);
            return;
        }
        const std::string request = method + " " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (::send(s, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
            ::close(s);
            return;
        }
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::recv(s, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            response.append(buffer, static_cast<std::size_t>(n));
        }
        ::close(s);
    };
    if (net != nullptr)
        net->Within(get);
    else
        get();
    return response;
}

}  // namespace veltrin::testing
