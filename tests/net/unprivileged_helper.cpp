#include "net/unprivileged_helper.h"

#include <fcntl.h>
#include <grp.h>
#include <net/if.h>
#include <sched.h>
#include <sys/capability.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace veltrin::testing {

std::string UnprivilegedSkipReason() {
    if (::geteuid() != 0) return "needs root to create namespaces and give the helper its capability";
    if (::access("/usr/bin/setpriv", X_OK) != 0) return "setpriv (util-linux) is missing";
    if (::access("/proc/self/ns/net", R_OK) != 0) return "no network namespaces here";
    if (::access(BuiltHelperPath().c_str(), X_OK) != 0) return "veltrin-ping-helper is not built";
    return {};
}

std::string EnterPrivateNetwork() {
    if (::unshare(CLONE_NEWNET) != 0) return std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::string("socket: ") + std::strerror(errno);
    ifreq req{};
    std::strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ::ioctl(fd, SIOCGIFFLAGS, &req) == 0;
    req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP);
    up = up && ::ioctl(fd, SIOCSIFFLAGS, &req) == 0;
    const int saved = errno;
    ::close(fd);
    if (!up) return std::string("cannot bring lo up: ") + std::strerror(saved);
    return {};
}

bool SetPingGroupRange(const std::string& range) {
    std::ofstream out("/proc/sys/net/ipv4/ping_group_range");
    out << range << "\n";
    out.flush();
    return static_cast<bool>(out);
}

std::string ProcStatusField(pid_t pid, const std::string& field, pid_t tid) {
    const std::string path = "/proc/" + std::to_string(pid) + (tid > 0 ? "/task/" + std::to_string(tid) : "") + "/status";
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, field.size() + 1, field + ":") != 0) continue;
        std::istringstream rest(line.substr(field.size() + 1));
        std::string value;
        rest >> value;
        return value;
    }
    return {};
}

std::string BuiltHelperPath() { return std::string(VELTRIN_BINARY_DIR) + "/src/app/veltrin-ping-helper"; }

HelperCopy::HelperCopy(bool capability) {
    char folder[] = "/tmp/veltrin-helper-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
        error_ = std::string("mkdtemp: ") + std::strerror(errno);
        return;
    }
    folder_ = folder;
    ::chmod(folder, 0755);
    path_ = folder_ + "/veltrin-ping-helper";
    std::ifstream in(BuiltHelperPath(), std::ios::binary);
    std::ofstream out(path_, std::ios::binary);
    out << in.rdbuf();
    out.close();
    if (!in || !out || ::chmod(path_.c_str(), 0755) != 0) {
        error_ = "cannot copy " + BuiltHelperPath();
        return;
    }
    if (!capability) return;
    cap_t caps = cap_from_text("cap_net_raw=ep");
    const bool set = caps != nullptr && cap_set_file(path_.c_str(), caps) == 0;
    const int saved = errno;
    if (caps != nullptr) cap_free(caps);
    if (!set) error_ = std::string("cap_set_file: ") + std::strerror(saved);
}

HelperCopy::~HelperCopy() {
    if (!path_.empty()) ::unlink(path_.c_str());
    if (!folder_.empty()) ::rmdir(folder_.c_str());
}

std::vector<std::string> AsNobody(const std::vector<std::string>& command) {
    std::vector<std::string> args = {"/usr/bin/setpriv", "--reuid=" + std::to_string(kNobody),
                                     "--regid=" + std::to_string(kNobody), "--clear-groups", "--inh-caps=-all", "--"};
    args.insert(args.end(), command.begin(), command.end());
    return args;
}

bool RunOnNobodyThread(const std::function<void()>& body) {
    bool switched = false;
    std::thread t([&] {
        // Raw system calls: glibc's wrappers would change every thread of the test program.
        if (::syscall(SYS_setgroups, 0, nullptr) != 0) return;
        if (::syscall(SYS_setresgid, kNobody, kNobody, kNobody) != 0) return;
        if (::syscall(SYS_setresuid, kNobody, kNobody, kNobody) != 0) return;
        switched = true;
        body();
    });
    t.join();
    return switched;
}

}  // namespace veltrin::testing
