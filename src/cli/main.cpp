// veltrin-ping-cli: the console monitor alone, for machines without a display or Qt.
#include "cli/console.h"

int main(int argc, char** argv) { return veltrin::RunConsole(argc, argv, false); }
