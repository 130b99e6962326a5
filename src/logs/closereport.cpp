#include "logs/closereport.h"

#include "engine/global_unit.h"
#include "engine/sendsetting.h"
#include "logs/logfiles.h"

namespace veltrin {

bool PrepareCloseReport(Tmailsetting& mail, const std::vector<AddressRow>& rows) {
    if (mail.sendsetting == kSendAll) mail.emailtext = JoinCommaText(MainLogLines(rows));
    return !(mail.sendsetting == kSendNothing || mail.sendsetting.empty());
}

}  // namespace veltrin
