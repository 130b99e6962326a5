// Temporary front end until the windows land: pings the bundled default once with the engine.
#include <cstdio>
#include <string>

#include "engine/global_unit.h"

int main(int argc, char** argv) {
    const std::string address = argc > 1 ? argv[1] : "127.0.0.1";
    veltrin::EngineStartup();
    const int sent = veltrin::SendEcho(address, 0, 32);
    std::printf("SendEcho(%s) = %d\n", address.c_str(), sent);
    veltrin::EngineShutdown();
    return 0;
}
