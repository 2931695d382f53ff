#pragma once
// What the tarvex-camera tests share: the tool's path, child processes with
// their output in files, and waiting on a line of that output.

#include "Files.h"
#include "Net.h"
#include "media/MediaTestUtil.h"

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace camtest {

inline const std::string kCamera = std::string(TARVEX_BINARY_DIR) + "/tools/tarvex-camera/tarvex-camera";
inline const std::string kRecv = std::string(TARVEX_BINARY_DIR) + "/tools/tarvex-recv/tarvex-recv";

inline int CountOf(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

// Waits until file holds text at least count times; generous ceilings, as the
// machine is shared.
inline bool WaitFor(const std::string& file, const std::string& text, double seconds, int count = 1) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        if (CountOf(ReadFile(file), text) >= count) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

inline std::vector<std::string> CameraArgs(int sipPort, std::vector<std::string> extra) {
    std::vector<std::string> a = {kCamera, "--server", "127.0.0.1:" + std::to_string(sipPort),
                                  "--local-ip", "127.0.0.1"};
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
}

} // namespace camtest
