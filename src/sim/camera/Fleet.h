#pragma once
// Runs the devices of one tarvex-camera process: opens them all, starts them
// at once, and when asked to stop lets each end its calls and unregister;
// then prints the summary.

#include "sim/camera/Options.h"

#include <atomic>
#include <string>

namespace tvsim {

// Checks that the media source can be opened (file readable, libx264 there).
bool CheckSource(const CameraOptions& o, std::string& description, std::string& error);

// Runs until stop is set (or --duration passed). Returns the exit status:
// 0, or 1 when a device could not be opened.
int RunFleet(const CameraOptions& o, const std::atomic<bool>& stop);

} // namespace tvsim
