// The engine's clock, thread identifier and the one global settings object. Echo building,
// decoding and resolution live in echo.cpp, decode.cpp and resolve.cpp.
#include "engine/global_unit.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <memory>

namespace veltrin {

namespace {

std::unique_ptr<Tgolbal>& GolbalSlot() {
    static std::unique_ptr<Tgolbal> slot;
    return slot;
}

}  // namespace

std::uint32_t TickCount() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

std::uint16_t CurrentThreadIdentifier() {
    // A thread's id never changes, and a sender asks for it with every echo.
    thread_local const std::uint16_t id =
        static_cast<std::uint16_t>(static_cast<std::uint32_t>(::syscall(SYS_gettid)) & 0xFFFF);
    return id;
}

Tgolbal* Golbal() { return GolbalSlot().get(); }

void EngineStartup() {
    try {
        (void)ResolveLock();
        if (!GolbalSlot()) GolbalSlot() = std::make_unique<Tgolbal>();
    } catch (...) {
        // Out of memory at start-up: Golbal() stays null, and every caller already treats a
        // null Golbal() as "defaults".
    }
}

void EngineShutdown() { GolbalSlot().reset(); }

}  // namespace veltrin
