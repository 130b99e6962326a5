// The engine: echo packet, checksum, decoding and description, address resolution,
// the location table, Base64, comma text and the one global settings object.
// Qt-free; every operation reports failure through its result and never throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/u_header.h"

namespace veltrin {

class LocationLoader;

// ---- echo packet and replies -------------------------------------------------------------
std::uint16_t IcmpChecksum(const std::uint8_t* data, std::size_t length);
// The whole echo request (length rule applied, checksum filled in).
std::vector<std::uint8_t> BuildEchoRequest(std::uint16_t identifier, std::uint32_t tick, int datalength);
// The echo message length for a requested data length: the request itself when it lies in
// 12..1024, else 12. BuildEchoRequest builds, and SendEcho sends, exactly this many bytes.
int EchoWireLength(int datalength);
// Sends one echo request, then pauses interval x 100 ms. Returns the bytes sent, 0 for an
// empty address or a failed send (no pause then), or the raw socket's errno when no way to send
// ICMP works (raw socket, packet helper, datagram socket).
int SendEcho(const std::string& address, int interval, int datalength);
void DecodeReply(const std::uint8_t* buffer, int length, std::uint32_t recvtick, std::uint16_t expectedid,
                 Tdecordbuf& out);
Tdecordbuf DescribeReply(const Tdecordbuf& in);

// ---- addresses ------------------------------------------------------------------------------
void ResolveAddress(const std::string& text, tipdata& out);

// ---- location table -------------------------------------------------------------------------
std::int64_t IpKey(const std::string& text);
int LoadLocationTable(const std::string& path, LocationTable& table);  // appends
std::string LookupLocation(const LocationTable& table, std::int64_t key);

// ---- text helpers ---------------------------------------------------------------------------
std::string Base64Encode(const std::string& text);
std::string Base64Decode(const std::string& text);
std::string JoinCommaText(const std::vector<std::string>& lines);
// `text` without its leading and trailing characters of codes 0 to 32 (blanks and controls).
std::string TrimText(std::string_view text);

// Monotonic milliseconds, wrapping modulo 2^32.
std::uint32_t TickCount();

// ---- additions beyond the fixed interface -------------------------------------------------

// Low 16 bits of the calling thread's kernel id: the identifier its echo requests carry.
std::uint16_t CurrentThreadIdentifier();

// SendEcho with the pause done by `pause(ms)` instead of a plain sleep, so a worker can be
// woken out of it. `pause` returns false when the worker was asked to stop. `sending`, when
// given, is told the identifier and tick of the echo right before it is handed to the socket.
int SendEchoWith(const std::string& address, int interval, int datalength,
                 const std::function<bool(int)>& pause,
                 const std::function<void(std::uint16_t identifier, std::uint32_t tick)>& sending = {});

// The engine's one lock: every resolution runs inside it.
std::mutex& ResolveLock();
// ResolveAddress without the lock, so the resolver cache's lookups can run side by side
// (gethostbyname_r is reentrant); the same reading of the text, the same record.
void LookUpAddress(const std::string& text, tipdata& out);

// The one global settings and resources object. Read and written on the window thread only.
struct Tgolbal {
    Tmailsetting mailsetting;
    LocationTable location;
    // The location table as the windows use it: loaded off the window thread, searched sorted
    // (engine/location.h). Null until the start-up begins the load.
    std::shared_ptr<LocationLoader> locations;
    std::int32_t interval = 3;    // pause after each echo, in 100 ms units
    std::int32_t datalength = 8;  // total echo message length (12 when outside 12..1024)
    std::string probehost;        // host the connectivity check pings
    std::string inipath;          // settings file in use
};

// Created by EngineStartup, freed by EngineShutdown. Null outside that span.
Tgolbal* Golbal();
void EngineStartup();
void EngineShutdown();

}  // namespace veltrin
