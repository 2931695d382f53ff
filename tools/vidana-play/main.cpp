// vidana-play: decodes an H.264 or H.265 elementary stream through libvidana
// into raw BGR24 frames and/or PNG files, as the tarvex video view would show
// them, and at the end of the file every picture the decoder still holds.
#include "base/Version.h"
#include "media/recv/CHbPSDemux.h"
#include "vidana/lib/AccessUnits.h"
#include "vidana/lib/Vidana.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace {

const char kUsage[] =
    "Usage: vidana-play --in FILE --size WxH [OPTION]...\n"
    "Decode an H.264 or H.265 elementary stream (Annex B, as tarvex-recv writes it)\n"
    "through libvidana, as the video view of a client area of W x H shows it, and\n"
    "write the pictures as raw BGR24 frames and/or PNG files.\n"
    "At the end of the file the decoder is flushed, so every picture is presented,\n"
    "those held for reordering included. The last line on standard output is\n"
    "\"presented N pictures\".\n"
    "\n"
    "Exit status: 0 when it ran, 1 with a message on standard error otherwise.\n"
    "\n"
    "Options:\n"
    "  --in FILE             the elementary stream\n"
    "  --size WxH            the view's client area, in pixels\n"
    "  --codec auto|h264|h265\n"
    "                        the codec; auto (the default) tells it by the stream's\n"
    "                        first parameter set\n"
    "  --out FRAMES.bgr      append every picture as W x H x 3 bytes of BGR24\n"
    "  --png-dir DIR         write every picture as DIR/frame-00001.png, ...\n"
    "  -h, --help            print this help and exit\n"
    "  --version             print the version and exit\n";

void Put32(std::string& s, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        s.push_back(char(v >> shift));
}

void PutChunk(std::string& png, const char* type, const std::string& data) {
    Put32(png, uint32_t(data.size()));
    std::string body(type, 4);
    body += data;
    png += body;
    Put32(png, uint32_t(crc32(0, reinterpret_cast<const Bytef*>(body.data()), uInt(body.size()))));
}

// An 8-bit RGB PNG of a packed BGR24 picture.
bool WritePng(const std::string& path, const uint8_t* bgr, int w, int h) {
    std::string raw;
    raw.reserve(size_t(h) * (size_t(w) * 3 + 1));
    for (int y = 0; y < h; ++y) {
        raw.push_back(0); // filter: none
        const uint8_t* p = bgr + size_t(y) * w * 3;
        for (int x = 0; x < w; ++x, p += 3) {
            raw.push_back(char(p[2]));
            raw.push_back(char(p[1]));
            raw.push_back(char(p[0]));
        }
    }
    uLongf packedSize = compressBound(uLong(raw.size()));
    std::string packed(packedSize, '\0');
    if (compress2(reinterpret_cast<Bytef*>(packed.data()), &packedSize,
                  reinterpret_cast<const Bytef*>(raw.data()), uLong(raw.size()), 6) != Z_OK)
        return false;
    packed.resize(packedSize);
    std::string png("\x89PNG\r\n\x1a\n", 8);
    std::string ihdr;
    Put32(ihdr, uint32_t(w));
    Put32(ihdr, uint32_t(h));
    ihdr += std::string("\x08\x02\x00\x00\x00", 5); // 8 bits, RGB, deflate, no filter/interlace
    PutChunk(png, "IHDR", ihdr);
    PutChunk(png, "IDAT", packed);
    PutChunk(png, "IEND", "");
    std::ofstream out(path, std::ios::binary);
    out.write(png.data(), std::streamsize(png.size()));
    return bool(out);
}

// The in-memory view: a client area of W x H; every presented picture is laid
// at its top-left corner over black, as the view would show it.
class FrameSink : public IVidanaSurface {
public:
    FrameSink(int w, int h, std::FILE* raw, std::string pngDir)
        : m_w(w), m_h(h), m_raw(raw), m_pngDir(std::move(pngDir)), m_frame(size_t(w) * h * 3) {}

    VidanaSize ClientSize() const override { return {m_w, m_h}; }

    void Present(const uint8_t* bgr, int32_t width, int32_t height) override {
        const int cw = std::min(width, m_w), ch = std::min(height, m_h);
        std::fill(m_frame.begin(), m_frame.end(), 0);
        for (int y = 0; y < ch; ++y)
            std::memcpy(&m_frame[size_t(y) * m_w * 3], bgr + size_t(y) * width * 3, size_t(cw) * 3);
        ++m_count;
        if (m_raw && std::fwrite(m_frame.data(), 1, m_frame.size(), m_raw) != m_frame.size())
            m_failed = "cannot write the frames file: " + std::string(std::strerror(errno));
        if (!m_pngDir.empty()) {
            char name[32];
            std::snprintf(name, sizeof name, "/frame-%05llu.png", (unsigned long long)m_count);
            if (!WritePng(m_pngDir + name, m_frame.data(), m_w, m_h))
                m_failed = "cannot write " + m_pngDir + name;
        }
    }

    unsigned long long Count() const { return m_count; }
    const std::string& Failure() const { return m_failed; }

private:
    int m_w, m_h;
    std::FILE* m_raw;
    std::string m_pngDir;
    std::vector<uint8_t> m_frame;
    unsigned long long m_count = 0;
    std::string m_failed;
};

bool ParseSize(std::string_view text, int& w, int& h) {
    const auto x = text.find('x');
    if (x == std::string_view::npos) return false;
    const std::string a(text.substr(0, x)), b(text.substr(x + 1));
    char *ea = nullptr, *eb = nullptr;
    const long lw = std::strtol(a.c_str(), &ea, 10), lh = std::strtol(b.c_str(), &eb, 10);
    if (a.empty() || b.empty() || *ea || *eb || lw < 1 || lh < 1 || lw > 16384 || lh > 16384)
        return false;
    w = int(lw), h = int(lh);
    return true;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "vidana-play: %s\n", message.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    std::string in, out, pngDir, codec = "auto";
    int w = 0, h = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("vidana-play %s\n", TARVEX_VERSION);
            return 0;
        }
        if (i + 1 >= argc) {
            std::fputs(kUsage, stderr);
            return Fail("missing value after " + std::string(arg));
        }
        const char* value = argv[++i];
        if (arg == "--in")
            in = value;
        else if (arg == "--out")
            out = value;
        else if (arg == "--png-dir")
            pngDir = value;
        else if (arg == "--codec") {
            codec = value;
            if (codec != "auto" && codec != "h264" && codec != "h265")
                return Fail("bad --codec '" + codec + "', want auto, h264 or h265");
        } else if (arg == "--size") {
            if (!ParseSize(value, w, h))
                return Fail("bad --size '" + std::string(value) + "', want WxH");
        } else {
            std::fputs(kUsage, stderr);
            return Fail("unknown option " + std::string(arg));
        }
    }
    if (in.empty() || w == 0) {
        std::fputs(kUsage, stderr);
        return Fail("--in and --size are required");
    }

    std::ifstream file(in, std::ios::binary);
    if (!file) return Fail("cannot open " + in + ": " + std::strerror(errno));
    const std::vector<uint8_t> stream((std::istreambuf_iterator<char>(file)),
                                      std::istreambuf_iterator<char>());
    std::FILE* raw = nullptr;
    if (!out.empty()) {
        raw = std::fopen(out.c_str(), "wb");
        if (!raw) return Fail("cannot create " + out + ": " + std::strerror(errno));
    }

    const bool hevc =
        codec == "h265" ||
        (codec == "auto" &&
         CHbPSDemux::SniffStreamType(stream.data(),
                                     int32_t(std::min<size_t>(stream.size(), INT32_MAX))) == 0x24);
    const int32_t type = hevc ? kVidanaFrameH265 : kVidanaFrameH264;
    FrameSink sink(w, h, raw, pngDir);
    unsigned long long presented = 0;
    {
        CVidana vidana;
        vidana.SetHWND(&sink);
        for (const auto unit : vidana::SplitAccessUnits(stream, hevc)) {
            // Each unit is handed over in its own exactly sized buffer, as the
            // receiver hands over one reassembled frame.
            const std::vector<uint8_t> frame(unit.begin(), unit.end());
            vidana.SetRect(VidanaRect{});
            vidana.DecodeXFrame(frame.data(), int32_t(frame.size()), type);
            if (!sink.Failure().empty()) break;
        }
        // A file ends: the pictures held back for reordering are shown too.
        if (sink.Failure().empty()) vidana.FlushDecoder();
        vidana.ReleaseDecoder();
        presented = sink.Count();
    }
    if (raw && std::fclose(raw) != 0) return Fail("cannot write " + out);
    if (!sink.Failure().empty()) return Fail(sink.Failure());
    std::printf("presented %llu pictures\n", presented);
    return 0;
}
