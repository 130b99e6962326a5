// The ICMP channel a sender and its receiver share. A datagram socket only hears the replies to
// its own echoes, and a packet helper answers on the socket pair it was started with, so the
// two workers of one pair must use one channel. The receiver opens it (off the window thread,
// as starting the helper takes a moment) and puts it here; the sender uses it once it is there.
#pragma once

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

private:
    mutable std::mutex mutex_;
    std::shared_ptr<IcmpChannel> channel_;
};

}  // namespace veltrin
