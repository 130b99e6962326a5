// Running the built programs as a user does, for the console and metrics tests: started
// directly (no shell), optionally inside a private network namespace that holds only its own
// loopback, with the output collected and a bound that only stops a hung program.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace veltrin::testing {

using EnvChanges = std::vector<std::pair<std::string, std::string>>;  // an empty value removes

// A network namespace with only "lo" (up), alive as long as the object.
class PrivateNet {
public:
    PrivateNet();
    ~PrivateNet();
    PrivateNet(const PrivateNet&) = delete;
    PrivateNet& operator=(const PrivateNet&) = delete;
    bool ok() const { return fd_ >= 0; }
    const std::string& error() const { return error_; }
    int fd() const { return fd_; }
    // Runs `step` on a thread inside the namespace (sockets it makes stay there).
    void Within(const std::function<void()>& step) const;

private:
    int fd_ = -1;
    std::string error_;
};

struct Outcome {
    int status = -1;  // exit status, or -1 when it did not exit normally
    std::string out, err;
    bool timedout = false;
};

struct RunOptions {
    EnvChanges env;
    std::string input;                 // written to standard input, then closed
    const PrivateNet* net = nullptr;   // run inside this namespace
    // Called with the output so far; when it returns true the program gets SIGTERM.
    std::function<bool(const std::string& out, const std::string& err)> whilerunning;
    std::chrono::seconds limit{60};
};

Outcome RunProgram(const std::vector<std::string>& args, const RunOptions& options = {});

// A program left running while the test talks to it; its output goes to files.
class Background {
public:
    Background() = default;
    ~Background() { Stop(); }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;
    bool Start(const std::vector<std::string>& args, const EnvChanges& env, const PrivateNet* net,
               const std::string& outpath, const std::string& errpath);
    // SIGTERM, then SIGKILL after a bound; returns the exit status or -1.
    int Stop();
    bool Running();
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int status_ = -1;
};

// One HTTP/1.0 GET of `path` from 127.0.0.1:`port` (inside `net` when given); the whole
// response, or empty on failure.
std::string HttpGet(std::uint16_t port, const std::string& path, const PrivateNet* net = nullptr,
                    const std::string& method = "GET");

}  // namespace veltrin::testing
