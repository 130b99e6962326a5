// Base64 on any bytes: decoding never yields more than three bytes per whole group, encoding
// gives only alphabet characters of the right length, and every text survives a round trip.
// The comma-joined form of the input's lines is built as well.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzzhelp.h"
#include "engine/global_unit.h"
#include "logs/logfiles.h"

namespace {

using fuzzhelp::Check;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes = fuzzhelp::Bytes(data, size);
    const std::string decoded = veltrin::Base64Decode(bytes);
    Check(decoded.size() <= size / 4 * 3);

    const std::string encoded = veltrin::Base64Encode(bytes);
    Check(encoded.size() == (size + 2) / 3 * 4);
    Check(encoded.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=") ==
          std::string::npos);
    Check(veltrin::Base64Decode(encoded) == bytes);
    // A canonical text decodes and encodes back to itself.
    if (veltrin::Base64Encode(decoded) == bytes) Check(veltrin::Base64Decode(bytes) == decoded);

    const auto lines = veltrin::SplitTextLines(bytes);
    const std::string joined = veltrin::JoinCommaText(lines);
    std::size_t least = lines.empty() ? 0 : lines.size() - 1;  // the commas
    for (const std::string& line : lines) least += line.size();
    Check(joined.size() >= least);
    if (lines.size() == 1 && lines[0].empty()) Check(joined == "\"\"");
    return 0;
}
