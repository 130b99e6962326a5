// veltrin-silentdns: runs a program with a name server that never answers.
//
//   veltrin-silentdns [--hosts FILE] -- PROGRAM [ARGS...]
//
// The program runs in a network namespace of its own (only "lo", up) and a private mount
// namespace in which /etc/resolv.conf names 127.0.0.1, /etc/nsswitch.conf asks the hosts file
// and then DNS, and /etc/hosts is FILE (else localhost alone). A UDP socket bound to
// 127.0.0.1:53 is handed to the program open and never read, so every query is taken and
// dropped: the resolver waits its whole time-out, as with a name server that went silent. The
// machine's own files are never written; the mounts end with the namespaces. Needs root.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "veltrin-silentdns: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(125);
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) Fail("cannot write " + path);
}

// Lays `text` over `target` for this mount namespace only.
void Cover(const std::string& dir, const char* name, const std::string& target, const std::string& text) {
    const std::string path = dir + "/" + name;
    WriteFile(path, text);
    struct stat st {};
    if (::stat(target.c_str(), &st) != 0) Fail("no " + target + " to cover");
    if (::mount(path.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) Fail("cannot cover " + target);
    ::unlink(path.c_str());  // the mount keeps the file
}

}  // namespace

int main(int argc, char** argv) {
    std::string hosts = "127.0.0.1 localhost\n";
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "--hosts" && i + 1 < argc) {
            std::ifstream in(argv[++i], std::ios::binary);
            if (!in) Fail(std::string("cannot read ") + argv[i]);
            std::ostringstream text;
            text << in.rdbuf();
            hosts = text.str();
            continue;
        }
        std::fprintf(stderr, "usage: veltrin-silentdns [--hosts FILE] -- PROGRAM [ARGS...]\n");
        return 2;
    }
    if (i >= argc) {
        std::fprintf(stderr, "usage: veltrin-silentdns [--hosts FILE] -- PROGRAM [ARGS...]\n");
        return 2;
    }

    if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) Fail("unshare");
    // Nothing mounted here may reach the machine's mount table.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) Fail("cannot make the mounts private");
    char dir[] = "/tmp/veltrin-silentdns.XXXXXX";
    if (::mkdtemp(dir) == nullptr) Fail("mkdtemp");
    Cover(dir, "resolv.conf", "/etc/resolv.conf", "nameserver 127.0.0.1\n");
    Cover(dir, "nsswitch.conf", "/etc/nsswitch.conf", "hosts: files dns\n");
    Cover(dir, "hosts", "/etc/hosts", hosts);
    ::rmdir(dir);

    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    if (s < 0 || ::ioctl(s, SIOCGIFFLAGS, &ifr) != 0) Fail("cannot read lo");
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
    if (::ioctl(s, SIOCSIFFLAGS, &ifr) != 0) Fail("cannot bring lo up");
    ::close(s);

    // The silent server: bound, kept open across exec, never read.
    const int dns = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(53);
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (dns < 0 || ::bind(dns, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) Fail("cannot bind 127.0.0.1:53");

    ::execvp(argv[i], argv + i);
    Fail(std::string("cannot run ") + argv[i]);
}
