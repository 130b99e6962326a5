// The console's command line from any bytes (arguments split at zero bytes): a clear one-line
// message or values inside their bounds, never a crash.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/options.h"

namespace {

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args = {"veltrin-ping-cli"};
    std::string current;
    for (std::size_t i = 0; i < size && args.size() < 64; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    if (!current.empty()) args.push_back(current);
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    const bool needconsole = size > 0 && (data[0] & 1) != 0;
    veltrin::cli::Options options;
    const auto result = veltrin::cli::ParseOptions(static_cast<int>(args.size()), argv.data(), needconsole, options);
    Check(result.ok == result.error.empty());
    Check(result.error.find('\n') == std::string::npos);
    Check(result.error.size() < 400);
    if (result.ok) {
        Check(options.seconds >= -1 && options.seconds <= veltrin::cli::kMaxSeconds);
        Check(options.interval == -1 || (options.interval >= 1 && options.interval <= veltrin::cli::kMaxInterval));
        Check(options.datalength == -1 ||
              (options.datalength >= veltrin::cli::kMinDataLength && options.datalength <= veltrin::cli::kMaxDataLength));
        Check(options.timeoutms >= veltrin::cli::kMinTimeoutMs && options.timeoutms <= veltrin::cli::kMaxTimeoutMs);
        if (!options.help && !options.version && !options.history) Check(!options.sources.empty());
        if (options.history && !options.help && !options.version)
            Check(options.sources.empty() && !options.historyaddress.empty());
        for (const auto& s : options.sources) Check(!s.text.empty());
    }
    std::string host, error;
    std::uint16_t port = 0;
    if (args.size() > 1 && veltrin::cli::ParseListenAddress(args[1], host, port, error)) Check(!host.empty());
    return 0;
}
