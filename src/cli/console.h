// The console monitor: monitors addresses on a terminal or for a script, without a display and
// without Qt. Run by `veltrin-ping --console ...` and by `veltrin-ping-cli ...`.
#pragma once

#include <string>

namespace veltrin {

// Exit statuses, as scripts know them from ping.
inline constexpr int kExitAllAnswered = 0;  // every row answered during the run and still answers
inline constexpr int kExitSomeSilent = 1;   // a row never answered or ended not answering
inline constexpr int kExitUsage = 2;        // bad usage, an unreadable or empty address file
inline constexpr int kExitNoIcmp = 3;       // no way to send ICMP (no rights)

// The usage text of the window program (also printed by its --help) and of the console program.
const char* UsageText();
const char* CliUsageText();

// Runs the console for the whole command line (argv[0] is the program). `needconsole`: the
// window program's form, which must carry --console. Returns the exit status.
int RunConsole(int argc, char** argv, bool needconsole = true);

}  // namespace veltrin
