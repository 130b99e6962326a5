#include "ui/closemail.h"

#include <utility>

#include "settings/mailreport.h"

namespace veltrin {

CloseMailSender::CloseMailSender(HandOver& handover, Tmailsetting mail,
                                 std::function<void(const std::string&)> onresult)
    : Worker(handover), mail_(std::move(mail)), onresult_(std::move(onresult)) {}

// Stop() would otherwise wait for a slow mail server to finish.
void CloseMailSender::StopRequested() { cancel_.store(true); }

// Never waits: it may be called from inside the result step itself (the result box is a nested
// event loop on the window thread while the thread waits for the step to end).
void CloseMailSender::Cancel() {
    cancel_.store(true);
    gate().RequestStop();
}

void CloseMailSender::Run() {
    const std::string result = SendMail(mail_, cancel_);
    if (cancel_.load()) return;
    OnWindow([this, result] {
        if (!cancel_.load() && onresult_) onresult_(result);
    });
}

}  // namespace veltrin
