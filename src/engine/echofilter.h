// A kernel filter for a raw ICMP socket: echo replies that answer another program's echoes are
// dropped before they are queued, so a busy host's other pingers never wake our receiver.
#pragma once

#include <cstdint>

namespace veltrin {

// Keeps, on raw ICMP socket `fd`, every ICMP message but echo replies whose identifier is not
// `identifier` (as the engine writes it into its echoes). Replaces a filter set before. Best
// effort: false when the kernel refused it (the receiver then sorts datagrams out itself).
bool KeepOnlyOurEchoReplies(int fd, std::uint16_t identifier);

}  // namespace veltrin
