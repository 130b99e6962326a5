// What the program keeps of the rights it was started with.
#pragma once

#include <string>

namespace veltrin {

// Called first thing in main, before any window or thread exists. A process that may open raw
// sockets (root, or a capability it was given) keeps cap_net_raw alone: in its bounding,
// permitted and effective sets, nothing inheritable or ambient. Any other process, which pings
// through the helper or datagram sockets, keeps nothing. Returns false, with the reason, when
// the kernel refused a step; the process then carries on with what it has.
bool KeepOnlyNetRaw(std::string* why = nullptr);

}  // namespace veltrin
