// Address resolution: dotted text as it is, names through the resolver under the engine's lock.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <vector>

#include "engine/global_unit.h"
#include "engine/ipv4text.h"

namespace veltrin {

using detail::Dotted;

std::mutex& ResolveLock() {
    static std::mutex resolvelock;
    return resolvelock;
}

void ResolveAddress(const std::string& text, tipdata& out) {
    if (text.empty()) return;
    std::lock_guard<std::mutex> guard(ResolveLock());
    LookUpAddress(text, out);
}

void LookUpAddress(const std::string& text, tipdata& out) {
    if (text.empty()) return;
    tipdata work;
    try {
        const bool dotted = std::all_of(text.begin(), text.end(),
                                        [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
        if (dotted) {
            work.ip = text;
            work.addr = ::inet_addr(text.c_str());
            work.hostname = text;
            work.alias = text;
            work.status = 0;
        } else {
            std::string name = text;
            std::transform(name.begin(), name.end(), name.begin(),
                           [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
            const auto scheme = name.find("HTTP://");
            if (scheme != std::string::npos) name = name.substr(scheme + 7);
            const auto slash = name.find('/');
            if (slash != std::string::npos) name.resize(slash);
            hostent entry{};
            hostent* result = nullptr;
            int herr = 0;
            std::vector<char> scratch(8192);
            int rc = 0;
            // An embedded zero byte would silently shorten the name the resolver sees, so such
            // a text is refused rather than looked up as its first part.
            const bool lookup = name.find('\0') == std::string::npos;
            if (lookup) {
                while ((rc = ::gethostbyname_r(name.c_str(), &entry, scratch.data(), scratch.size(), &result,
                                               &herr)) == ERANGE &&
                       scratch.size() < (1u << 20))
                    scratch.resize(scratch.size() * 2);
            } else {
                herr = HOST_NOT_FOUND;
            }
            if (!lookup || rc != 0 || result == nullptr || entry.h_addrtype != AF_INET || entry.h_addr_list == nullptr ||
                entry.h_addr_list[0] == nullptr) {
                work.status = -1;
                work.errcode = herr != 0 ? herr : (rc != 0 ? rc : HOST_NOT_FOUND);
            } else {
                work.ip = Dotted(reinterpret_cast<const std::uint8_t*>(entry.h_addr_list[0]));
                work.addr = ::inet_addr(work.ip.c_str());
                work.hostname = entry.h_name != nullptr ? entry.h_name : "";
                work.alias = (entry.h_aliases != nullptr && entry.h_aliases[0] != nullptr) ? entry.h_aliases[0] : "";
                work.status = 0;
            }
        }
    } catch (...) {
        work = tipdata{};
        work.status = -1;
        work.errcode = ENOMEM;
    }
    out = std::move(work);
}

}  // namespace veltrin
