// The console front end: `veltrin-ping --console FILE.spl [--seconds S]` monitors the addresses of
// an address log on a terminal, without a display and without Qt, and prints every row as an
// address-log line when it ends (after S seconds, or on SIGINT / SIGTERM).
#pragma once

namespace veltrin {

// The program's usage text (also printed by --help).
const char* UsageText();

// Runs the console monitor for the whole command line (argv[0] is the program). Returns the
// process exit status: 0 after a normal end, 2 for bad usage or an unreadable file, 1 when the
// monitor reported a fatal error.
int RunConsole(int argc, char** argv);

}  // namespace veltrin
