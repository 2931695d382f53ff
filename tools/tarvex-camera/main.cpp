// tarvex-camera: plays one or many GB/T 28181 devices against a platform.

#include "sim/camera/Fleet.h"
#include "sim/camera/Options.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::atomic<bool> g_stop{false};

void OnSignal(int) {
    // A second signal leaves at once, without unregistering.
    if (g_stop.exchange(true)) _exit(130);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    tvsim::CameraOptions o;
    std::string error;
    if (!tvsim::ParseOptions(args, o, error)) {
        std::fprintf(stderr, "tarvex-camera: %s\n(tarvex-camera --help lists the options)\n",
                     error.c_str());
        return 2;
    }
    if (o.help) {
        std::fputs(tvsim::UsageText().c_str(), stdout);
        return 0;
    }
    if (o.version) {
        std::printf("tarvex-camera %s\n", TARVEX_VERSION);
        return 0;
    }
    std::string source;
    if (!tvsim::CheckSource(o, source, error)) {
        std::fprintf(stderr, "tarvex-camera: media source: %s\n", error.c_str());
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    if (!o.quiet)
        std::printf("tarvex-camera %s: %d device(s) from %s, platform %s %s:%d over %s, media: %s\n",
                    TARVEX_VERSION, o.devices, o.id.c_str(), o.serverId.c_str(), o.serverIp.c_str(),
                    o.serverPort, o.tcp ? "TCP" : "UDP", source.c_str());
    std::fflush(stdout);
    return tvsim::RunFleet(o, g_stop);
}
