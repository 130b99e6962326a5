#include "engine/privileges.h"

#include <sys/capability.h>
#include <sys/prctl.h>

#include <cerrno>
#include <cstring>

namespace veltrin {

bool KeepOnlyNetRaw(std::string* why) {
    const auto fail = [why](const char* step) {
        if (why != nullptr) *why = std::string(step) + ": " + std::strerror(errno);
        return false;
    };
    cap_t now = cap_get_proc();
    if (now == nullptr) return fail("cap_get_proc");
    cap_flag_value_t netraw = CAP_CLEAR, setpcap = CAP_CLEAR;
    cap_get_flag(now, CAP_NET_RAW, CAP_PERMITTED, &netraw);
    cap_get_flag(now, CAP_SETPCAP, CAP_EFFECTIVE, &setpcap);
    cap_free(now);

    // The bounding set first, while CAP_SETPCAP is still effective: without it a root process
    // would get every capability back through any program it starts.
    if (setpcap == CAP_SET) {
        for (cap_value_t c = 0; c <= CAP_LAST_CAP; ++c) {
            if (netraw == CAP_SET && c == CAP_NET_RAW) continue;
            if (CAP_IS_SUPPORTED(c) && cap_drop_bound(c) != 0) return fail("cap_drop_bound");
        }
    }
    if (cap_reset_ambient() != 0 && errno != EINVAL) return fail("cap_reset_ambient");

    cap_t keep = cap_init();
    if (keep == nullptr) return fail("cap_init");
    if (netraw == CAP_SET) {
        const cap_value_t list[] = {CAP_NET_RAW};
        cap_set_flag(keep, CAP_PERMITTED, 1, list, CAP_SET);
        cap_set_flag(keep, CAP_EFFECTIVE, 1, list, CAP_SET);
    }
    const bool set = cap_set_proc(keep) == 0;
    cap_free(keep);
    if (!set) return fail("cap_set_proc");
    return true;
}

}  // namespace veltrin
