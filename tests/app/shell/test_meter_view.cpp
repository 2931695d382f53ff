#include "audio/AlsaTestDevices.h"
#include "app/shell/AudioMeterView.h"

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <cmath>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

namespace {

MeterPicture Pattern(int w, int h, uint32_t seed) {
    MeterPicture p;
    p.width = w;
    p.height = h;
    for (int i = 0; i < w * h; ++i)
        p.pixels.push_back((uint32_t(i) * 2654435761u + seed) & 0xFFFFFF);
    return p;
}

// The widget's own rendering, as it would reach the screen.
QImage Rendered(QWidget& w) {
    return w.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

int Mismatches(const QImage& img, const MeterPicture& p) {
    int wrong = 0;
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x)
            wrong += (img.pixel(x, y) & 0xFFFFFF) != p.At(x, y);
    return wrong;
}

std::vector<int16_t> SineFile(int frames) {
    std::vector<int16_t> s;
    for (int i = 0; i < frames; ++i) {
        const auto v = int16_t(std::lround(6000 * std::sin(2 * M_PI * i / 100.0)));
        s.push_back(v);
        s.push_back(v);
    }
    return s;
}

class AudioMeterViewTest : public ::testing::Test {
protected:
    void SetUp() override { AlsaTestDevices::Get(); }
};

TEST_F(AudioMeterViewTest, PictureFromAnotherThreadIsShownOnTheGuiThread) {
    AudioMeterView view;
    view.resize(300, 64);
    view.show();
    int w = 0, h = 0;
    view.ClientSize(&w, &h);
    EXPECT_EQ(w, 300);
    EXPECT_EQ(h, 64);

    // Several pictures in a row before the GUI thread runs: the newest is shown.
    std::thread capture([&] {
        for (uint32_t k = 1; k <= 5; ++k)
            view.Present(Pattern(300, 64, k));
    });
    capture.join();
    EXPECT_TRUE(view.ShownPicture().isNull()) << "shown before the GUI thread took it";
    ASSERT_TRUE(QTest::qWaitFor([&] { return !view.ShownPicture().isNull(); }, 5000));
    const MeterPicture newest = Pattern(300, 64, 5);
    EXPECT_EQ(Mismatches(view.ShownPicture(), newest), 0);
    EXPECT_EQ(Mismatches(Rendered(view), newest), 0);
}

TEST_F(AudioMeterViewTest, ResizeReachesTheCaptureSideAndBlackFillsTheRest) {
    AudioMeterView view;
    view.resize(300, 64);
    view.show();
    view.Present(Pattern(300, 64, 1));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !view.ShownPicture().isNull(); }, 5000));
    view.resize(320, 80);
    QApplication::processEvents();
    int w = 0, h = 0;
    view.ClientSize(&w, &h);
    EXPECT_EQ(w, 320);
    EXPECT_EQ(h, 80);
    // Until a picture of the new size comes, the old one is shown on black.
    const QImage img = Rendered(view);
    EXPECT_EQ(Mismatches(img, Pattern(300, 64, 1)), 0);
    EXPECT_EQ(img.pixel(310, 70) & 0xFFFFFF, 0u);
}

TEST_F(AudioMeterViewTest, ButtonRunsTheToggleAndTheMeterShowsTheMicrophone) {
    AlsaTestDevices::Get().WriteCapture(SineFile(2048 * 400));
    auto audio = std::make_unique<AudioToggle>();
    QWidget window;
    auto* button = new QPushButton(&window);
    auto* in = new AudioMeterView(&window);
    auto* out = new AudioMeterView(&window);
    in->setGeometry(0, 0, 300, 64);
    out->setGeometry(0, 70, 300, 64);
    ConnectAudioToggle(*audio, button, in);
    window.show();
    EXPECT_EQ(button->text(), QString::fromUtf8("开启音频"));
    EXPECT_EQ(audio->InputMeter(), in);

    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(button->text(), QString::fromUtf8("停止音频"));
    EXPECT_TRUE(audio->GetRecorder().IsRunning());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !in->ShownPicture().isNull(); }, 10000));
    EXPECT_EQ(in->ShownPicture().size(), QSize(300, 64));

    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(button->text(), QString::fromUtf8("开启音频"));
    EXPECT_FALSE(audio->GetRecorder().IsRunning());
    QApplication::processEvents();
    // Switched off, the meter keeps its last picture; it has the centre line
    // and one cursor column, and the output meter stays black.
    const QImage shown = in->ShownPicture();
    const QImage rendered = Rendered(*in);
    int differing = 0;
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 300; ++x)
            differing += (rendered.pixel(x, y) & 0xFFFFFF) != (shown.pixel(x, y) & 0xFFFFFF);
    EXPECT_EQ(differing, 0);
    int cursorColumns = 0, cursor = -1;
    for (int x = 0; x < 300; ++x) {
        const uint32_t c = shown.pixel(x, 2) & 0xFFFFFF;
        if (c == 0x303030 || c == 0x800000) {
            ++cursorColumns;
            cursor = x;
        }
    }
    EXPECT_LE(cursorColumns, 1); // none when the cursor stands just past the right edge
    const int right = cursor == 290 ? 295 : 290; // right of the trace, off the cursor
    EXPECT_EQ(shown.pixel(right, 33) & 0xFFFFFF, 0x303020u);
    EXPECT_TRUE(out->ShownPicture().isNull());
    EXPECT_EQ(Rendered(*out).pixel(150, 30) & 0xFFFFFF, 0u);

    // Toggle gone first: the views outlive it safely.
    audio.reset();
    QApplication::processEvents();
}

TEST_F(AudioMeterViewTest, MeterDestroyedWhileCapturing) {
    AlsaTestDevices::Get().WriteCapture(SineFile(2048 * 400));
    AudioToggle audio;
    auto view = std::make_unique<AudioMeterView>();
    view->resize(300, 64);
    view->AttachTo(&audio);
    audio.Toggle();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !view->ShownPicture().isNull(); }, 10000));
    view.reset(); // pictures still queued for it are dropped with it
    EXPECT_EQ(audio.InputMeter(), nullptr);
    QApplication::processEvents();
    EXPECT_TRUE(audio.GetRecorder().IsRunning());
    audio.Toggle();
}

} // namespace

// The application lives on main's stack: destroyed at static destruction
// time it would outlive parts of Qt it depends on.
int main(int argc, char** argv) {
    AlsaTestDevices::Get(); // ALSA configuration before any ALSA use
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
