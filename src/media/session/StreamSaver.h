#pragma once
// A download kept on disk: the video elementary stream the receiver hands on,
// written as it comes, then remuxed with libavformat into an MP4 file (the
// pictures copied, not encoded again).

#include <cstdint>
#include <cstdio>
#include <string>

class StreamSaver {
public:
    StreamSaver() = default;
    ~StreamSaver();
    StreamSaver(const StreamSaver&) = delete;
    StreamSaver& operator=(const StreamSaver&) = delete;

    // Opens the stream's file beside path (path + ".es"); false with error set.
    bool Open(const std::string& path, std::string& error);
    void Write(const std::uint8_t* data, std::size_t size);
    // Remuxes what was written into path, or into finalPath when given
    // (H.265 when hevc), and removes the stream's file. Empty on success, else
    // why not.
    std::string Finish(bool hevc, const std::string& finalPath = std::string());
    const std::string& Path() const { return path_; }
    std::uint64_t Bytes() const { return bytes_; }

private:
    std::string path_;
    std::FILE* es_ = nullptr;
    std::uint64_t bytes_ = 0;
    bool failed_ = false;
};

// The elementary stream file es (H.264 or H.265 Annex B) as an MP4 file at
// mp4, every access unit copied; empty on success, else why not.
std::string RemuxToMp4(const std::string& es, const std::string& mp4, bool hevc);

// "<channel>-<start>-<end>.mp4", the times as local YYYYMMDDhhmmss.
std::string DownloadFileName(const std::string& channel, std::int64_t start, std::int64_t end);
// The program stream's file beside a download's or 录像's MP4: "<...>.ps".
std::string PsFileName(const std::string& mp4);
