// Linked into every window test. A main window whose monitor runs also starts the connectivity
// check; tests must never ping off the machine, so the check's probe host is loopback unless a
// test sets another one itself.
#include <cstdlib>

namespace {

const bool kLoopbackProbe = [] {
    ::setenv("VELTRIN_PROBEHOST", "127.0.0.1", 0);
    return true;
}();

}  // namespace
