// The close sequence's report mail, sent off the window thread.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "engine/u_header.h"
#include "monitor/worker.h"

namespace veltrin {

// Sends one mail on a thread of its own and hands the result line to the window thread through
// the hand-over. Cancel gives the send up without waiting (libcurl notices within about a second);
// a result that was not handed over yet is then never shown. The destructor also joins.
class CloseMailSender : public Worker {
public:
    CloseMailSender(HandOver& handover, Tmailsetting mail, std::function<void(const std::string&)> onresult);
    void Cancel();

protected:
    const char* ThreadName() const override { return "vping-mail"; }
    void Run() override;
    void StopRequested() override;

private:
    Tmailsetting mail_;
    std::function<void(const std::string&)> onresult_;
    std::atomic<bool> cancel_{false};
};

}  // namespace veltrin
