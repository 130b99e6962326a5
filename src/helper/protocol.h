// The messages between the program and veltrin-ping-helper over their SOCK_SEQPACKET pair.
// Shared by both sides; plain bytes, no library, so the helper stays small enough to audit.
//
// Program -> helper, exactly kRequestSize bytes:
//   [0]      kEchoCommand
//   [1..3]   zero
//   [4..7]   destination IPv4 address, network byte order
//   [8..9]   identifier, low byte first (as the echo message carries it)
//   [10..11] whole echo message length, low byte first, kMinMessage..kMaxMessage
//   [12..15] tick, low byte first (the first four data bytes of the echo)
//
// Helper -> program, one message per event, the first byte says which:
//   kReady                     the raw socket is open and every capability is gone
//   kFailed   + errno (4, LE)  the helper cannot serve (its raw socket could not be opened)
//   kSent     + errno (4, LE)  one request handled: 0 sent, else why not (EINVAL: refused)
//   kDatagram + bytes          one datagram as the raw socket gave it, IPv4 header first
//   kStampedDatagram + stamp (8, LE) + bytes
//                              the same with the kernel's receive time, CLOCK_MONOTONIC ns
#pragma once

#include <cstddef>
#include <cstdint>

namespace veltrin::helperproto {

constexpr std::size_t kRequestSize = 16;
constexpr std::uint8_t kEchoCommand = 'E';
constexpr int kMinMessage = 12;
constexpr int kMaxMessage = 1024;

constexpr std::uint8_t kReady = 'R';
constexpr std::uint8_t kFailed = 'F';
constexpr std::uint8_t kSent = 'S';
constexpr std::uint8_t kDatagram = 'D';
constexpr std::uint8_t kStampedDatagram = 'T';

// The largest datagram forwarded, with its type byte and stamp.
constexpr std::size_t kMaxForward = 65536 + 1 + 8;

constexpr const char* kHelperName = "veltrin-ping-helper";

}  // namespace veltrin::helperproto
