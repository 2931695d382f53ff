// The live view's cost per picture against ffmpeg decoding the same stream,
// in the same run: CPU seconds of this process (every thread, so that work
// Qt's painter hands to its thread pool counts too) decoding on one thread,
// scaling to the view's size, and at the paint converting 1:1 straight into a
// window-sized raster image (what CStaticEx does with Qt's backing store),
// next to `ffmpeg -threads 1 -i S -f null -` (its CPU from the child's
// rusage). Two older paths are timed too: converting into a canvas that
// QPainter then copies into the window, and bicubic BGR24 with a copy and a
// converting paint. Streams are made with ffmpeg: 1080p25 at
// 4 Mbit/s and 2160p25. Five alternating rounds, the best of each side.
// Usage: bench_view [--seconds N] [--view WxH]
#include "vidana/lib/AccessUnits.h"
#include "vidana/lib/Vidana.h"

#include <QImage>
#include <QPainter>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

namespace {

double Cpu(int who) {
    rusage u{};
    getrusage(who, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}
double ProcessCpu() { return Cpu(RUSAGE_SELF); }
double ChildrenCpu() { return Cpu(RUSAGE_CHILDREN); }

// The view: a canvas lent to the decoder (or a copied BGR picture), painted
// centred into the window's raster image.
enum class Path { Keep, Canvas, Present };

class View : public IVidanaSurface {
public:
    View(int w, int h, Path path)
        : w_(w), h_(h), canvas_(path == Path::Canvas), keep_(path == Path::Keep),
          window_(w, h, QImage::Format_RGB32) {}
    bool KeepsPictures() const override { return keep_; }
    // Painted at once, every picture, as the view's paint does it.
    void KeepPicture(VidanaPicturePtr picture) override {
        const VidanaSize s = CVidanaPainter::SizeOf(*picture);
        if (painter_.Paint(*picture, window_.bits(), window_.bytesPerLine(), window_.sizeInBytes(),
                           (w_ - s.width) / 2, (h_ - s.height) / 2))
            ++painted;
    }
    VidanaSize ClientSize() const override { return {w_, h_}; }
    void Present(const uint8_t* bgr, int32_t width, int32_t height) override {
        QImage img(width, height, QImage::Format_BGR888);
        for (int y = 0; y < height; ++y)
            std::memcpy(img.scanLine(y), bgr + size_t(y) * width * 3, size_t(width) * 3);
        Paint(img);
    }
    bool BeginCanvas(int32_t width, int32_t height, VidanaCanvas& c) override {
        if (!canvas_) return false;
        if (image_.width() != width || image_.height() != height) {
            memory_.assign(size_t(width) * height * 4 + kVidanaCanvasSlack, 0);
            image_ = QImage(memory_.data(), width, height, width * 4, QImage::Format_RGB32);
        }
        c.bits = memory_.data();
        c.stride = width * 4;
        return true;
    }
    void EndCanvas() override { Paint(image_); }
    int painted = 0;

private:
    void Paint(const QImage& img) {
        QPainter p(&window_);
        p.drawImage((w_ - img.width()) / 2, (h_ - img.height()) / 2, img);
        ++painted;
    }
    int w_, h_;
    bool canvas_, keep_;
    CVidanaPainter painter_;
    QImage window_;
    std::vector<uint8_t> memory_;
    QImage image_;
};

double RunView(const std::vector<std::span<const uint8_t>>& units, int w, int h, Path path,
               int& pictures) {
    View view(w, h, path);
    CVidana v;
    const double t0 = ProcessCpu();
    v.SetHWND(&view);
    for (const auto& u : units)
        v.DecodeXFrame(u.data(), int32_t(u.size()), kVidanaFrameH264);
    v.ReleaseDecoder();
    pictures = view.painted;
    return ProcessCpu() - t0;
}

double RunFfmpeg(const std::string& path) {
    const double t0 = ChildrenCpu();
    const std::string cmd = "ffmpeg -nostdin -v error -threads 1 -i '" + path + "' -f null -";
    if (std::system(cmd.c_str()) != 0) return -1;
    return ChildrenCpu() - t0;
}

} // namespace

int main(int argc, char** argv) {
    int seconds = 10, vw = 1280, vh = 720;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--seconds")) seconds = std::max(1, std::atoi(argv[i + 1]));
        if (!std::strcmp(argv[i], "--view")) std::sscanf(argv[i + 1], "%dx%d", &vw, &vh);
    }
    struct Stream {
        const char* name;
        const char* size;
        const char* rate;
    };
    const Stream streams[] = {{"1080p25 4 Mbit/s", "1920x1080", "4M"},
                              {"2160p25 12 Mbit/s", "3840x2160", "12M"}};
    const auto dir = std::filesystem::temp_directory_path();
    std::printf("view %dx%d, %d s of each stream, CPU seconds\n", vw, vh, seconds);
    for (const Stream& s : streams) {
        const std::string path =
            (dir / ("bench-view-" + std::to_string(getpid()) + "-" + s.size + ".h264")).string();
        const std::string make = std::string("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=") +
                                 s.size + ":rate=25 -t " + std::to_string(seconds) +
                                 " -c:v libx264 -preset veryfast -bf 0 -g 50 -b:v " + s.rate +
                                 " -maxrate " + s.rate + " -bufsize " + s.rate + " -f h264 '" +
                                 path + "'";
        if (std::system(make.c_str()) != 0) {
            std::fprintf(stderr, "bench_view: ffmpeg could not make the %s stream\n", s.name);
            return 1;
        }
        std::ifstream in(path, std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
        const auto units = vidana::SplitAccessUnits(bytes);
        // Alternating rounds, the best of each side: the machine is shared.
        double best[4] = {1e9, 1e9, 1e9, 1e9};
        int pictures = 0, canvasPictures = 0, oldPictures = 0;
        for (int round = 0; round < 5; ++round) {
            best[0] = std::min(best[0], RunFfmpeg(path));
            best[1] = std::min(best[1], RunView(units, vw, vh, Path::Keep, pictures));
            best[2] = std::min(best[2], RunView(units, vw, vh, Path::Canvas, canvasPictures));
            best[3] = std::min(best[3], RunView(units, vw, vh, Path::Present, oldPictures));
        }
        std::filesystem::remove(path);
        std::printf("%s (%zu pictures): ffmpeg %.2f s; view %.2f s (%d painted), ratio %.2f; "
                    "canvas and copy %.2f s (%d), ratio %.2f; old path %.2f s (%d), ratio %.2f\n",
                    s.name, units.size(), best[0], best[1], pictures, best[1] / best[0], best[2],
                    canvasPictures, best[2] / best[0], best[3], oldPictures, best[3] / best[0]);
    }
    return 0;
}
