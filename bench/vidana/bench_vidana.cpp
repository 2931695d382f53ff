// Decodes, converts and presents a 1080p H.264 stream through CVidana and
// through a bare loop of the same FFmpeg calls, in the same run, and prints
// both rates and their ratio. Usage: bench_vidana [--in FILE.h264] [--rounds N]
#include "vidana/lib/AccessUnits.h"
#include "vidana/lib/Vidana.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Units = std::vector<std::vector<uint8_t>>;

// What the tarvex view does with a picture: copy it for the GUI thread.
class CopySurface : public IVidanaSurface {
public:
    CopySurface(int w, int h) : m_w(w), m_h(h) {}
    VidanaSize ClientSize() const override { return {m_w, m_h}; }
    void Present(const uint8_t* bgr, int32_t width, int32_t height) override {
        m_copy.assign(bgr, bgr + size_t(width) * height * 3);
        ++presented;
    }
    size_t presented = 0;

private:
    int m_w, m_h;
    std::vector<uint8_t> m_copy;
};

double RunVidana(const Units& units, int w, int h, size_t& pictures) {
    CopySurface surface(w, h);
    CVidana v;
    const auto t0 = Clock::now();
    v.SetHWND(&surface);
    for (const auto& u : units) {
        v.SetRect(VidanaRect{});
        v.DecodeXFrame(u.data(), int32_t(u.size()), 7);
    }
    v.ReleaseDecoder();
    pictures = surface.presented;
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

double RunBare(const Units& units, int w, int h, size_t& pictures) {
    std::vector<uint8_t> view;
    const auto t0 = Clock::now();
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    avcodec_open2(ctx, codec, nullptr);
    AVFrame* frame = av_frame_alloc();
    AVPacket* pkt = av_packet_alloc();
    SwsContext* sws = nullptr;
    std::vector<uint8_t> picture(size_t(w) * h * 3);
    pictures = 0;
    for (const auto& u : units) {
        // Borrowed bytes, as CVidana hands them over.
        pkt->buf = av_buffer_create(
            const_cast<uint8_t*>(u.data()), int(u.size()), [](void*, uint8_t*) {}, nullptr,
            AV_BUFFER_FLAG_READONLY);
        pkt->data = const_cast<uint8_t*>(u.data());
        pkt->size = int(u.size());
        avcodec_send_packet(ctx, pkt);
        av_packet_unref(pkt);
        while (avcodec_receive_frame(ctx, frame) == 0) {
            if (!sws)
                sws = sws_getContext(frame->width, frame->height, AVPixelFormat(frame->format), w,
                                     h, AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr, nullptr);
            uint8_t* dst[4] = {picture.data()};
            int stride[4] = {w * 3};
            sws_scale(sws, frame->data, frame->linesize, 0, frame->height, dst, stride);
            view.assign(picture.begin(), picture.end());
            ++pictures;
        }
    }
    sws_freeContext(sws);
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

} // namespace

int main(int argc, char** argv) {
    std::string in;
    int rounds = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--in"))
            in = argv[i + 1];
        else if (!std::strcmp(argv[i], "--rounds"))
            rounds = std::max(1, std::atoi(argv[i + 1]));
    }
    std::string made;
    if (in.empty()) {
        made = (std::filesystem::temp_directory_path() /
                ("bench-vidana-" + std::to_string(getpid()) + ".h264"))
                   .string();
        const std::string cmd =
            "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=25 "
            "-frames:v 150 -c:v libx264 -preset veryfast -bf 0 -g 50 -f h264 '" +
            made + "'";
        if (std::system(cmd.c_str()) != 0) {
            std::fprintf(stderr, "bench_vidana: ffmpeg could not make the stream\n");
            return 1;
        }
        in = made;
    }
    std::ifstream file(in, std::ios::binary);
    const std::vector<uint8_t> stream((std::istreambuf_iterator<char>(file)),
                                      std::istreambuf_iterator<char>());
    if (!made.empty()) std::filesystem::remove(made);
    Units units;
    for (auto u : vidana::SplitAccessUnits(stream))
        units.emplace_back(u.begin(), u.end());
    if (units.empty()) {
        std::fprintf(stderr, "bench_vidana: no access units in %s\n", in.c_str());
        return 1;
    }

    std::printf("%zu access units, best of %d alternating rounds\n", units.size(), rounds);
    for (auto [w, h] : {std::pair{1920, 1080}, {1280, 720}}) {
        double bare = 1e9, vidana = 1e9;
        size_t pb = 0, pv = 0;
        for (int r = 0; r < rounds; ++r) {
            bare = std::min(bare, RunBare(units, w, h, pb));
            vidana = std::min(vidana, RunVidana(units, w, h, pv));
        }
        std::printf("view %dx%d: bare loop %.1f pictures/s, CVidana %.1f pictures/s, "
                    "CVidana/bare time ratio %.3f (%+.1f %%)%s\n",
                    w, h, pb / bare, pv / vidana, vidana / bare, (vidana / bare - 1) * 100,
                    pb == pv ? "" : "  [picture counts differ]");
    }
    return 0;
}
