// The console's address reader on any bytes: plain lists and address logs, with the row bound,
// clean addresses, a bounded problem list, and output text (JSON, CSV, metric labels) that is
// valid UTF-8 whatever the address held.
#include <cstddef>
#include <cstdint>
#include <string>

#include "cli/addressinput.h"
#include "cli/output.h"
#include "logs/logops.h"
#include "metrics/exposition.h"

namespace {

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

bool ValidUtf8(const std::string& text) { return veltrin::metrics::ToValidUtf8(text) == text; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    veltrin::cli::AddressText text;
    veltrin::cli::ReadAddressText(bytes, text);
    Check(text.rows.size() <= veltrin::kMaxImportRows);
    Check(text.problems.size() <= veltrin::cli::kMaxProblems + 1);
    const bool log = veltrin::cli::LooksLikeAddressLog(bytes);
    for (const auto& row : text.rows) {
        Check(!row.address.empty());
        Check(row.address.find_first_of(std::string("\r\n\0", 3)) == std::string::npos);
        if (!log) {
            Check(row.address.find_first_of(" \t#") == std::string::npos);
            for (char c : row.address) Check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
        }
        const std::string json = veltrin::cli::JsonString(row.address);
        Check(ValidUtf8(json));
        for (char c : json) Check(static_cast<unsigned char>(c) >= 0x20);
        Check(ValidUtf8(veltrin::cli::CsvField(row.address)));
        const std::string label = veltrin::metrics::EscapeLabel(row.address);
        Check(ValidUtf8(label));
        Check(label.find('\n') == std::string::npos);
    }
    return 0;
}
