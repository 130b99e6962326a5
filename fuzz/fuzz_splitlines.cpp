// The import line rule on any file image: SplitTextLines, LoadAddressLines and the streaming
// LoadAddressText must agree, produce lines without line ends or zero bytes, and a log written
// from the imported rows must import to the same addresses.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzzhelp.h"
#include "logs/logfiles.h"
#include "logs/logops.h"

namespace {

using fuzzhelp::Check;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes = fuzzhelp::Bytes(data, size);
    const std::vector<std::string> lines = veltrin::SplitTextLines(bytes);
    std::size_t total = 0;
    for (const std::string& line : lines) {
        Check(line.find_first_of(std::string("\r\n\0", 3)) == std::string::npos);
        total += line.size();
    }
    Check(total <= size);

    std::vector<veltrin::AddressRow> rows;
    veltrin::LoadAddressLines(lines, rows);
    std::vector<veltrin::AddressRow> streamed;
    Check(veltrin::LoadAddressText(bytes, streamed) == rows.size());
    Check(streamed.size() == rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        Check(rows[i].address == streamed[i].address);
        Check(!rows[i].address.empty() && rows[i].address.find('_') == std::string::npos);
        Check(rows[i].ttl.empty() && rows[i].time.empty() && rows[i].bytes.empty());
    }

    // Save as the address log does (every line followed by CR LF) and import again.
    std::string log;
    for (const veltrin::AddressRow& row : rows) log += veltrin::MainLogLine(row) + "\r\n";
    std::vector<veltrin::AddressRow> again;
    veltrin::LoadAddressText(log, again);
    Check(again.size() == rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) Check(again[i].address == rows[i].address);
    return 0;
}
