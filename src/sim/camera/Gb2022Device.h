#pragma once
// What tarvex-camera does with the commands of the 2022 edition. A 2022
// device (--gb 2022, the default) answers every 2022 query with data of its
// own state, moves its pan-tilt-zoom position on PTZPreciseCtrl, keeps the
// 2022 configuration it is given and takes snapshot and upgrade orders. A
// 2016 device (--gb 2016) answers as 2016 devices in the field do: a 2022
// query or configuration type gets Result ERROR, a 2022 control no answer.

#include "manscdp/xml/XMLNode.h"
#include "sim/camera/Bodies.h"
#include "sim/camera/VideoSource.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace tvsim {

// What the device was told to do besides answering (done by the caller).
struct SnapShotOrder {
    int count = 0;
    int intervalSeconds = 1;
    std::string url, sessionId;
};
struct UpgradeOrder {
    std::string firmware, url, sessionId, manufacturer;
};

struct Gb2022Reply {
    bool handled = false;
    std::vector<std::string> bodies; // answers to send, UTF-8
    std::string what;                // for the camera's own log
    bool snapshot = false;           // snapshotOrder holds the order
    bool upgrade = false;            // upgradeOrder holds the order
    SnapShotOrder snapshotOrder;
    UpgradeOrder upgradeOrder;
};

// The position the pattern shows; pan 0 to 360, tilt -30 to 90, zoom 1 and up.
struct PtzPosition {
    double pan = 0, tilt = 0, zoom = 1;
};

// The HTTP transfers a 2022 device makes (cpp-httplib's client), run on a
// worker thread of the device; stop ends them early.
struct TransferLog {
    std::vector<std::string> lines; // for the camera's own output
};
// Takes order.count pictures of the pattern, order.intervalSeconds apart,
// and POSTs each to order.url as devices do: a multipart form with the
// SessionID and the JPEG file, named device id (20), picture code 02, time
// (17, to the millisecond) and sequence (2). Returns the file ids (those
// names without ".jpg") of the pictures the platform accepted (2xx).
std::vector<std::string> UploadSnapshots(const std::string& deviceId, const SnapShotOrder& order,
                                         const PatternOptions& pattern,
                                         const std::atomic<bool>& stop, TransferLog& log);
// GETs url; the number of bytes received, or -1 with error set.
long long DownloadFile(const std::string& url, const std::atomic<bool>& stop, std::string& error);

class Gb2022Device {
public:
    explicit Gb2022Device(int edition) : edition_(edition) {}
    int Edition() const { return edition_; }

    // rootName Query or Control, cmd its CmdType. Not handled: the 2016
    // handling applies.
    Gb2022Reply Handle(const std::string& rootName, const std::string& cmd, const XMLNode& root,
                       const DeviceIdentity& who, const std::string& sn);

    PtzPosition Position() const;

    // Bodies of the notifications the device sends after an order.
    static std::string SnapShotFinished(const std::string& deviceId, int sn,
                                        const std::string& sessionId,
                                        const std::vector<std::string>& fileIds);
    static std::string UpgradeResult(const std::string& deviceId, int sn,
                                     const std::string& sessionId, const std::string& firmware,
                                     bool ok, const std::string& description);

private:
    Gb2022Reply Query(const std::string& cmd, const XMLNode& root, const DeviceIdentity& who,
                      const std::string& sn);
    Gb2022Reply Control(const std::string& cmd, const XMLNode& root, const DeviceIdentity& who,
                        const std::string& sn);

    const int edition_;
    mutable std::mutex m_;
    PtzPosition ptz_;
    bool homeEnabled_ = false;
    int homeResetTime_ = 0, homePreset_ = 0;
    // The 2022 configuration given, type by type, as the elements' texts.
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> config_;
};

} // namespace tvsim
