// What Tarvex's HTTP transfer server saw during a check: the pictures a
// snapshot session received and the firmware an upgrade offered. The driver
// fills it from the core; the 2022 checks compare it with the notifications.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarvex::check {

struct SnapshotFile {
    std::string name;        // the saved file, relative to the working folder
    std::uint64_t bytes = 0;
    bool jpeg = false;       // starts with SOI and a marker, ends with EOI
};

struct SnapshotReceipt {
    std::string sessionId, channel;
    std::vector<SnapshotFile> files; // as the server saved them, in order
    int refused = 0;                 // uploads for the session turned away
    bool closed = false;             // its UploadSnapShotFinished arrived
};

struct FirmwareReceipt {
    std::string sessionId, name;
    std::uint64_t bytes = 0;  // the file offered
    std::uint64_t served = 0; // bytes sent to the device
    bool fetched = false;     // its one GET came
    bool complete = false;    // the whole file went out
};

struct TransferObservation {
    std::vector<SnapshotReceipt> snapshots;
    std::vector<FirmwareReceipt> firmware;
};

} // namespace tarvex::check
