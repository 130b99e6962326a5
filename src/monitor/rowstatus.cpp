#include "monitor/rowstatus.h"

namespace veltrin {

const char* RowStateName(RowState state) {
    switch (state) {
        case RowState::NotYetPinged: return "not yet pinged";
        case RowState::NeverAnswered: return "never answered";
        case RowState::Answering: return "answering";
        case RowState::NotAnswering: return "not answering";
        case RowState::NoAddress: return "no address";
    }
    return "not yet pinged";
}

}  // namespace veltrin
