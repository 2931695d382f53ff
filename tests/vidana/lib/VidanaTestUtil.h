// Helpers shared by the vidana tests: temporary folders, ffmpeg-made fixtures
// and a surface that records what it is shown.
#pragma once

#include "vidana/lib/AccessUnits.h"
#include "vidana/lib/Vidana.h"
#include "support/common/FfmpegStreams.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

namespace vt {

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "vidana-test-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        m_path = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    std::string operator/(const std::string& name) const { return (m_path / name).string(); }
    const fs::path& Path() const { return m_path; }

private:
    fs::path m_path;
};

inline int Shell(const std::string& command) {
    const int rc = std::system(command.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

inline std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// An H.264 (or H.265) elementary stream of ffmpeg's test pattern at w x h with
// square pixels; extra goes before the output.
inline std::string MakeH264(const TempDir& dir, const std::string& name, int w, int h, int frames,
                            const std::string& extra = "", TestCodec codec = TestCodec::H264) {
    const std::string path = dir / name;
    const std::string cmd = TestPatternCommand(
        codec, "size=320x240:rate=25", "-frames:v " + std::to_string(frames),
        "-vf scale=" + std::to_string(w) + ":" + std::to_string(h) + ",setsar=1 " + extra, path);
    if (Shell(cmd) != 0) ADD_FAILURE() << "ffmpeg failed: " << cmd;
    return path;
}

inline std::string MakeHevc(const TempDir& dir, const std::string& name, int w, int h, int frames,
                            const std::string& extra = "") {
    return MakeH264(dir, name, w, h, frames, extra, TestCodec::H265);
}

// ffmpeg's own decoding of a stream scaled to w x h in packed BGR24.
inline std::vector<uint8_t> FfmpegPictures(const TempDir& dir, const std::string& in, int w,
                                           int h) {
    const std::string out = dir / "reference.bgr";
    const std::string cmd = "ffmpeg -nostdin -v error -y -i '" + in +
                            "' -vf scale=" + std::to_string(w) + ":" + std::to_string(h) +
                            ":flags=bicubic -pix_fmt bgr24 -f rawvideo '" + out + "'";
    if (Shell(cmd) != 0) ADD_FAILURE() << "ffmpeg failed: " << cmd;
    auto bytes = ReadFile(out);
    fs::remove(out);
    return bytes;
}

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> bgr;
};

// Records every presented picture; the client size can change between frames.
class RecordingSurface : public IVidanaSurface {
public:
    RecordingSurface(int w, int h) : m_w(w), m_h(h) {}
    void Resize(int w, int h) {
        m_w = w;
        m_h = h;
    }
    VidanaSize ClientSize() const override { return {m_w.load(), m_h.load()}; }
    void Present(const uint8_t* bgr, int32_t width, int32_t height) override {
        std::lock_guard guard(m_lock);
        pictures.push_back(
            {width, height, std::vector<uint8_t>(bgr, bgr + size_t(width) * height * 3)});
    }
    size_t Count() {
        std::lock_guard guard(m_lock);
        return pictures.size();
    }
    std::vector<Picture> pictures;

private:
    std::atomic<int> m_w, m_h;
    std::mutex m_lock;
};

// A surface that lends the decoder its memory (BeginCanvas / EndCanvas), as
// the video view does; records each finished canvas as packed BGRA.
class CanvasSurface : public RecordingSurface {
public:
    using RecordingSurface::RecordingSurface;
    bool BeginCanvas(int32_t width, int32_t height, VidanaCanvas& canvas) override {
        m_cw = width;
        m_ch = height;
        // Rows padded beyond the picture, as a real surface's may be.
        m_stride = width * 4 + 64;
        m_memory.assign(size_t(m_stride) * height + kVidanaCanvasSlack, 0xEE);
        canvas.bits = m_memory.data();
        canvas.stride = m_stride;
        ++begun;
        return true;
    }
    void EndCanvas() override {
        Picture p{m_cw, m_ch, {}};
        for (int y = 0; y < m_ch; ++y)
            p.bgr.insert(p.bgr.end(), m_memory.begin() + size_t(y) * m_stride,
                         m_memory.begin() + size_t(y) * m_stride + size_t(m_cw) * 4);
        canvases.push_back(std::move(p));
    }
    std::vector<Picture> canvases; // BGRA, width * 4 bytes a row
    int begun = 0;

private:
    std::vector<uint8_t> m_memory;
    int m_cw = 0, m_ch = 0, m_stride = 0;
};

// A surface that keeps the decoder's pictures (KeepPicture), as the video
// view does, to convert them later.
class KeepingSurface : public RecordingSurface {
public:
    using RecordingSurface::RecordingSurface;
    bool KeepsPictures() const override { return true; }
    void KeepPicture(VidanaPicturePtr picture) override { kept.push_back(std::move(picture)); }
    std::vector<VidanaPicturePtr> kept;
};

// ffmpeg's pictures as the canvas path makes them: scaled fast bilinear in the
// stream's own format (yuv420p), then converted to BGRA.
inline std::vector<uint8_t> FfmpegCanvasPictures(const TempDir& dir, const std::string& in, int w,
                                                 int h) {
    const std::string out = dir / "reference.bgra";
    const std::string cmd = "ffmpeg -nostdin -v error -y -i '" + in + "' -vf scale=" +
                            std::to_string(w) + ":" + std::to_string(h) +
                            ":flags=fast_bilinear,format=yuv420p,scale=flags=fast_bilinear,"
                            "format=bgra -f rawvideo '" + out + "'";
    if (Shell(cmd) != 0) ADD_FAILURE() << "ffmpeg failed: " << cmd;
    auto bytes = ReadFile(out);
    fs::remove(out);
    return bytes;
}

// Feeds every access unit of the file, each in its own exactly sized heap
// buffer so that the sanitizer sees any read past a frame. Type 8 streams are
// split as H.265.
inline void FeedStream(CVidana& v, const std::vector<uint8_t>& stream, int32_t type = 7,
                       size_t first = 0, size_t last = SIZE_MAX) {
    const auto units = vidana::SplitAccessUnits(stream, type == kVidanaFrameH265);
    for (size_t i = first; i < units.size() && i < last; ++i) {
        std::unique_ptr<uint8_t[]> frame(new uint8_t[units[i].size()]);
        std::copy(units[i].begin(), units[i].end(), frame.get());
        EXPECT_EQ(0, v.DecodeXFrame(frame.get(), int32_t(units[i].size()), type));
    }
}

inline size_t CountUnits(const std::vector<uint8_t>& stream) {
    return vidana::SplitAccessUnits(stream).size();
}

inline double Psnr(const uint8_t* a, const uint8_t* b, size_t n) {
    double se = 0;
    for (size_t i = 0; i < n; ++i)
        se += double(int(a[i]) - int(b[i])) * (int(a[i]) - int(b[i]));
    if (se == 0) return INFINITY;
    return 10 * std::log10(255.0 * 255.0 * double(n) / se);
}

} // namespace vt
