#pragma once
// What the transfer server knows and decides, without sockets: the open
// snapshot sessions (each a session id the platform put into a
// SnapShotConfig, the channel it was for and the pictures saved for it) and
// the firmware files offered under a one-time path. Every upload and
// download is judged here; the HTTP server only carries the bytes. One lock
// (a leaf) guards it, so the server's threads and the core may call at once.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tarvex::http {

struct TransferLimits {
    std::size_t maxUploadBytes = 4u << 20;     // one picture
    int maxFilesPerSession = 10;               // SnapNum is 1 to 10
    int maxOpenSessions = 16;                  // the oldest closes for a new one
    std::chrono::seconds sessionLife{600};     // an open session accepts this long
    std::size_t maxFirmwareBytes = 64u << 20;  // a file offered is held in memory
    int maxOffers = 4;                         // the oldest is withdrawn for a new one
};

// The HTTP status an upload gets, with what was saved.
struct UploadVerdict {
    int status = 404;
    std::string reason;         // for the answer's body and the log
    std::filesystem::path saved; // the file written (status 200)
};

struct SnapshotSession {
    std::string sessionId, channel;
    std::vector<std::filesystem::path> files;
    int refused = 0; // uploads for it that were turned away (size, count, not JPEG)
};

struct FirmwareOffer {
    std::string sessionId, token, name;
    std::shared_ptr<const std::string> bytes;
    std::uint64_t served = 0; // bytes sent to the device so far
    bool fetched = false;     // its one GET started; the path is spent
    bool complete = false;    // the whole file went out
};

class TransferBook {
public:
    // Pictures go to <workDir>/snapshots/<channel>/<time>.jpg.
    explicit TransferBook(std::filesystem::path workDir, TransferLimits limits = {});

    const TransferLimits& Limits() const { return limits_; }

    // The path a device uploads to for this session ("/snapshot/<id>"). An id
    // already open starts again empty. Ids are letters, digits, '-' and '_'
    // only (anything else: "" and nothing is opened).
    std::string OpenSnapshot(const std::string& sessionId, const std::string& channel);
    // One upload: the request's path and its picture (the raw body or the
    // file part of a form). Saves it when the path names an open session with
    // room and the bytes are a JPEG within the size bound.
    // formSession: the SessionID field of a form ("" when none); another
    // session's id than the path's makes the upload stray.
    UploadVerdict TakeUpload(const std::string& path, const std::string& picture,
                             const std::string& formSession = {});
    // Closes the session (a notification came) and tells what it received;
    // false when no such session was open.
    bool CloseSnapshot(const std::string& sessionId, SnapshotSession& out);
    // What an open session received so far; false when none is open.
    bool PeekSnapshot(const std::string& sessionId, SnapshotSession& out) const;

    // Offers a file under "/firmware/<token>/<name>" for one GET; the path,
    // or "" with error set (unreadable, too large, no session id).
    std::string OfferFirmware(const std::filesystem::path& file, const std::string& sessionId,
                              std::string& error);
    // The bytes to serve for a GET of path; null when the path is not an
    // offer's or was already fetched. Spends the offer.
    std::shared_ptr<const std::string> TakeDownload(const std::string& path, std::string& token);
    // Counts bytes sent of an offer; complete marks the end of its file.
    void CountServed(const std::string& token, std::uint64_t bytes, bool complete);
    // The offer made for a session id (the upgrade's); false when none.
    bool OfferFor(const std::string& sessionId, FirmwareOffer& out) const;

    using Clock = std::chrono::steady_clock;
    // For tests: the clock the session lifetime is measured on.
    void SetClock(Clock::time_point (*now)()) { now_ = now; }

private:
    struct Open {
        SnapshotSession s;
        Clock::time_point opened;
    };
    std::filesystem::path NewPictureName(const std::string& channel);

    const std::filesystem::path workDir_;
    const TransferLimits limits_;
    Clock::time_point (*now_)() = &Clock::now;
    mutable std::mutex m_;
    std::vector<Open> sessions_;       // oldest first
    std::vector<FirmwareOffer> offers_; // oldest first
};

// True when the bytes begin as a JPEG file (SOI then a marker) and end with EOI.
bool LooksLikeJpeg(const std::string& bytes);

} // namespace tarvex::http
