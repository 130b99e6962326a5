// The ICMP channel a sender and its receiver share. A datagram socket only hears the replies to
// its own echoes, and a packet helper answers on the socket pair it was started with, so the
// two workers of one pair must use one channel. The receiver opens it (off the window thread,
// as starting the helper takes a moment) and puts it here; the sender uses it once it is there.
#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "engine/icmp_channel.h"

namespace veltrin {

class ChannelSlot {
public:
    void Set(std::shared_ptr<IcmpChannel> channel) {
        std::lock_guard<std::mutex> lock(mutex_);
        channel_ = std::move(channel);
    }
    std::shared_ptr<IcmpChannel> Get() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return channel_;
    }

    // The sender reads replies while it paces; the receiver keeps out of the socket meanwhile
    // and waits on HandBackFd(), which becomes readable whenever the sender begins or stops
    // reading (a receiver waiting in the socket when the sender begins would otherwise sleep on:
    // the sender reads every reply first).
    void SetSenderReads(bool on) {
        senderreads_.store(on);
        if (handback_ >= 0) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(handback_, &one, sizeof one);
        }
    }
    bool SenderReads() const { return senderreads_.load(); }
    int HandBackFd() const { return handback_; }
    void TakeHandBack() {
        if (handback_ < 0) return;
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = ::read(handback_, &count, sizeof count);
    }

    ChannelSlot() : handback_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~ChannelSlot() {
        if (handback_ >= 0) ::close(handback_);
    }
    ChannelSlot(const ChannelSlot&) = delete;
    ChannelSlot& operator=(const ChannelSlot&) = delete;

private:
    mutable std::mutex mutex_;
    std::shared_ptr<IcmpChannel> channel_;
    std::atomic<bool> senderreads_{false};
    int handback_ = -1;
};

}  // namespace veltrin
