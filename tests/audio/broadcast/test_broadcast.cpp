// The operator's voice through the window's own handlers, offscreen, with
// tarvex-camera: the broadcast over UDP and both TCP roles (the Broadcast
// notification names us and the selected channel, the camera INVITEs us for
// the audio, the microphone's 1 kHz tone from ALSA's file device reaches the
// camera as G.711, which measures it, and 停止音频 sends the BYE); a WAV file
// chosen in the window as the source; talk both ways; and a live view's own
// audio (the camera's --audio tone) played to ALSA's file device with the
// output meter and the mute.
#include "support/common/TreeItems.h"
#include "app/shell/CTarvexDlg.h"
#include "app/shell/ShellMessage.h"
#include "app/settings/CfgIniStore.h"
#include "app/shell/AudioMeterView.h"
#include "media/audio/ToneMeter.h"
#include "media/audio/WavFile.h"
#include "audio/AlsaTestDevices.h"
#include "support/common/Files.h"
#include "support/common/Net.h"
#include "system/program/Harness.h"

#include <QApplication>
#include <QDir>
#include <QPushButton>
#include <QCheckBox>
#include <QTest>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <algorithm>
#include <cstring>
#include <memory>
#include <regex>
#include <thread>

namespace {

const std::string kCamera = TARVEX_BINARY_DIR "/tools/tarvex-camera/tarvex-camera";
constexpr const char* kDevice = "34020000001320000001";
constexpr const char* kChannel = "34020000001310000101";

// The microphone: ALSA's file device reads its input from a pipe that this
// writer fills with a 1 kHz tone (44.1 kHz stereo) one capture buffer (2048
// frames, 8192 bytes) at a time in real time. The device has no clock of its
// own; the pipe gives it the writer's, so capture runs at the pace a sound
// card would. (The device fills a short read with silence: whole buffers
// written at once are read whole.)
class PacedMicrophone {
public:
    PacedMicrophone() {
        const std::string path = AlsaTestDevices::Get().CaptureFile();
        unlink(path.c_str());
        if (mkfifo(path.c_str(), 0600) != 0) std::abort();
        writer_ = std::thread([this, path] {
            const int fd = open(path.c_str(), O_WRONLY); // waits for capture to open it
            if (fd < 0) return;
            constexpr std::size_t kFrames = 2048;
            std::vector<int16_t> chunk(2 * kFrames);
            long n = 0;
            auto next = std::chrono::steady_clock::now();
            while (!stop_) {
                for (std::size_t i = 0; i < kFrames; ++i, ++n)
                    chunk[2 * i] = chunk[2 * i + 1] =
                        static_cast<int16_t>(10000 * std::sin(2 * M_PI * 1000.0 * double(n) / 44100));
                if (write(fd, chunk.data(), chunk.size() * 2) <= 0) break;
                next += std::chrono::microseconds(kFrames * 1000000 / 44100);
                std::this_thread::sleep_until(next);
            }
            close(fd);
            done_ = true;
        });
    }
    ~PacedMicrophone() {
        stop_ = true;
        // A writer waiting for a reader, or blocked on a full pipe, is let go
        // by opening the pipe ourselves and draining it.
        const int fd = open(AlsaTestDevices::Get().CaptureFile().c_str(), O_RDONLY | O_NONBLOCK);
        char sink[65536];
        while (!done_) {
            if (fd >= 0 && read(fd, sink, sizeof sink) < 0 && errno != EAGAIN) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        writer_.join();
        if (fd >= 0) close(fd);
        unlink(AlsaTestDevices::Get().CaptureFile().c_str());
        AlsaTestDevices::Get().WriteCapture({});
    }

private:
    std::atomic<bool> stop_{false};
    std::atomic<bool> done_{false};
    std::thread writer_;
};

class Broadcast : public ::testing::TestWithParam<const char*> {};

TEST_P(Broadcast, MicrophoneToneReachesTheCameraAndStopSendsBye) {
    PacedMicrophone microphone;
    TempDir dir;
    ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(dir.Path())));
    const int port = FreePort(SOCK_DGRAM);
    WriteFile(dir.File("config.ini"), systest::MediaConfig(port, 0, FreeMediaPorts()));
    SetShellMessageHook([&](QWidget*, const QString&) {});
    CTarvexCore::Parts parts;
    parts.settings = LoadSettings(dir.File("config.ini"));
    parts.searchIni = dir.File("Search.ini");
    CTarvexDlg dlg(std::make_unique<CTarvexCore>(std::move(parts)));
    dlg.show();
    systest::Program camera(dir.Path(),
                            {"--server", "127.0.0.1:" + std::to_string(port), "--channels", "1",
                             "--voice-transport", GetParam(), "--expect-tone", "1000"},
                            kCamera, {}, dir.File("camera.out"));
    auto out = [&] { return ReadFile(dir.File("camera.out")); };
    QTreeWidget* tree = dlg.DeviceTree();
    ASSERT_TRUE(QTest::qWaitFor([&] { return ItemOf(tree, kChannel) != nullptr; }, 30000)) << out();
    dlg.OnDeviceTreeClicked(ItemOf(tree, kChannel));
    dlg.OnListClicked(1081, 1); // 音频广播
    ASSERT_TRUE(QTest::qWaitFor([&] { return out().find("voice: INVITE answered 200") != std::string::npos; },
                                15000))
        << out();
    // The camera read SourceID and TargetID from the notification.
    EXPECT_NE(out().find(std::string("from ") + systest::kLocalId + ": answered Result OK"), std::string::npos)
        << out();
    EXPECT_NE(out().find(std::string("broadcast from ") + systest::kLocalId + " for " + kChannel),
              std::string::npos)
        << out();
    EXPECT_NE(out().find("sendonly, payload types 8 0"), std::string::npos) << out();
    // Audio captured before the TCP connection is up is dropped as stale.
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.Core().Voice().Sending(); }, 15000));
    auto* button = qobject_cast<QPushButton*>(dlg.Control(1102));
    ASSERT_NE(button, nullptr);
    button->click(); // 开启音频: the microphone goes out
    EXPECT_EQ(button->text(), QString::fromUtf8("停止音频"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.Core().Voice().PacketsSent() >= 100; }, 15000))
        << dlg.Core().Voice().PacketsSent();
    button->click(); // 停止音频: BYE
    ASSERT_TRUE(QTest::qWaitFor([&] { return out().find("voice ended (BYE received)") != std::string::npos; },
                                15000))
        << out();
    const std::string o = out();
    std::smatch m;
    ASSERT_TRUE(std::regex_search(o, m, std::regex(R"(voice ended \(BYE received\): (\d+) packets, payload type (\d+).*tone ([0-9.]+) Hz)")))
        << o;
    EXPECT_GE(std::stoi(m[1]), 100);
    EXPECT_EQ(m[2], "8"); // PCMA, first in our answer
    EXPECT_NEAR(std::stod(m[3]), 1000, 10);
    EXPECT_NE(o.find("expected 1000 Hz: ok"), std::string::npos) << o;
    EXPECT_FALSE(dlg.Core().Voice().Active());
}

// The window and the camera, the channel selected.
struct Session {
    TempDir dir;
    std::unique_ptr<CTarvexDlg> dlg;
    std::unique_ptr<systest::Program> camera;
    std::string Out() const { return ReadFile(dir.File("camera.out")); }

    explicit Session(std::vector<std::string> cameraArgs) {
        if (!QDir::setCurrent(QString::fromStdString(dir.Path()))) std::abort();
        const int port = FreePort(SOCK_DGRAM);
        WriteFile(dir.File("config.ini"), systest::MediaConfig(port, 0, FreeMediaPorts()));
        SetShellMessageHook([&](QWidget*, const QString&) {});
        CTarvexCore::Parts parts;
        parts.settings = LoadSettings(dir.File("config.ini"));
        parts.searchIni = dir.File("Search.ini");
        dlg = std::make_unique<CTarvexDlg>(std::make_unique<CTarvexCore>(std::move(parts)));
        dlg->show();
        std::vector<std::string> args = {"--server", "127.0.0.1:" + std::to_string(port), "--channels", "1"};
        args.insert(args.end(), cameraArgs.begin(), cameraArgs.end());
        camera = std::make_unique<systest::Program>(dir.Path(), args, kCamera, std::vector<std::string>{},
                                                    dir.File("camera.out"));
    }
    bool SelectChannel() {
        QTreeWidget* tree = dlg->DeviceTree();
        if (!QTest::qWaitFor([&] { return ItemOf(tree, kChannel) != nullptr; }, 30000)) return false;
        dlg->OnDeviceTreeClicked(ItemOf(tree, kChannel));
        return true;
    }
    QPushButton* AudioButton() const { return qobject_cast<QPushButton*>(dlg->Control(1102)); }
};

// What ALSA's default playback device was given since the last Forget, at 8 kHz mono.
tvaudio::PcmBlock Played() {
    const std::string bytes = ReadFile(AlsaTestDevices::Get().PlaybackFile());
    tvaudio::PcmBlock b;
    b.samples.resize(bytes.size() / 2);
    std::memcpy(b.samples.data(), bytes.data(), b.samples.size() * 2);
    return b;
}
void ForgetPlayed() { unlink(AlsaTestDevices::Get().PlaybackFile().c_str()); }

// The meter shows a trace: some pixel is not of the background, the centre
// line or the cursor.
bool MeterShowsSignal(const QImage& picture) {
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x) {
            const QRgb p = picture.pixel(x, y) & 0xFFFFFF;
            if (p != 0 && p != AudioMeter::ToPixel(AudioMeter::kCentreLine) &&
                p != AudioMeter::ToPixel(AudioMeter::kCursorSignal) &&
                p != AudioMeter::ToPixel(AudioMeter::kCursorQuiet))
                return true;
        }
    return false;
}

// The voice ended at the camera (its BYE, when stopping took it): its report line.
struct CameraReport {
    int packets = 0, payloadType = -1;
    double tone = 0;
};
bool ReadReport(const std::string& out, CameraReport& r) {
    std::smatch m;
    if (!std::regex_search(out, m, std::regex(R"(voice ended \(BYE received\): (\d+) packets, payload type (-?\d+).*tone ([0-9.]+) Hz)")))
        return false;
    r.packets = std::stoi(m[1]);
    r.payloadType = std::stoi(m[2]);
    r.tone = std::stod(m[3]);
    return true;
}

// A live view of a camera sending its 1 kHz A-law tone: the window plays it
// (ALSA's default playback device gets the tone), the output meter draws it,
// and 静音 makes what follows silence while the video goes on.
TEST(DeviceSound, LiveViewsToneIsPlayedMeteredAndMuted) {
    ForgetPlayed();
    uint64_t framesAtMute = 0;
    {
        Session s({"--audio"});
        ASSERT_TRUE(s.SelectChannel()) << s.Out();
        s.dlg->OnListClicked(1081, 0); // 实时点播
        tvaudio::DeviceAudio& sound = s.dlg->Core().DeviceSound();
        ASSERT_TRUE(QTest::qWaitFor([&] { return sound.FramesPlayed() >= 16000; }, 20000))
            << sound.FramesPlayed() << " " << sound.Error() << s.Out();
        auto* meter = dynamic_cast<AudioMeterView*>(s.dlg->Control(1106));
        ASSERT_NE(meter, nullptr);
        ASSERT_TRUE(QTest::qWaitFor([&] { return MeterShowsSignal(meter->ShownPicture()); }, 5000));
        const QImage before = meter->ShownPicture();
        ASSERT_TRUE(QTest::qWaitFor([&] { return meter->ShownPicture() != before; }, 5000)) << "the meter stands still";
        EXPECT_GT(s.dlg->Core().MediaSession().Receiver().videoFrames, 0u); // the video goes on
        auto* mute = qobject_cast<QCheckBox*>(s.dlg->Control(1108));
        ASSERT_NE(mute, nullptr);
        mute->click(); // 静音
        EXPECT_TRUE(sound.Muted());
        framesAtMute = sound.FramesPlayed();
        // What was queued before the click (at most the player's second) may
        // still sound; then silence, still played at the stream's pace.
        ASSERT_TRUE(QTest::qWaitFor([&] { return sound.FramesPlayed() >= framesAtMute + 16000; }, 20000));
    }
    const tvaudio::PcmBlock played = Played();
    ASSERT_GE(played.samples.size(), framesAtMute + 16000);
    tvaudio::PcmBlock tone;
    tone.samples.assign(played.samples.begin(), played.samples.begin() + static_cast<long>(framesAtMute));
    tvaudio::ToneMeter m;
    m.Push(tone);
    EXPECT_NEAR(m.Frequency(), 1000, 10);
    EXPECT_GT(m.Rms(), 1000);
    const auto tail = played.samples.end() - 4000; // the last half second
    EXPECT_TRUE(std::all_of(tail, played.samples.end(), [](int16_t v) { return v == 0; }));
}

// 语音对讲: we INVITE the channel with our audio port (sendrecv); the
// microphone's 1 kHz reaches the camera, which measures it, and the camera's
// own 600 Hz comes back and is played. Per row, the camera answers keeping
// PCMA (as most devices do) or only AAC (102): AAC goes 1024 samples a packet,
// about 8 packets a second.
struct TalkRow {
    const char* name;
    std::vector<std::string> args;
    int payloadType;
    const char* said; // what the camera prints of its answer
    uint64_t packets, sentBack;
};
class Talk : public ::testing::TestWithParam<TalkRow> {};

TEST_P(Talk, BothDirectionsCarryTheTone) {
    const TalkRow& row = GetParam();
    PacedMicrophone microphone;
    ForgetPlayed();
    std::string out;
    {
        std::vector<std::string> args = {"--expect-tone", "1000", "--talk-tone", "600"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        Session s(args);
        ASSERT_TRUE(s.SelectChannel()) << s.Out();
        s.dlg->OnListClicked(1081, 2); // 语音对讲
        ASSERT_TRUE(QTest::qWaitFor([&] { return s.Out().find("talk for ") != std::string::npos; }, 15000)) << s.Out();
        EXPECT_NE(s.Out().find(std::string("talk for ") + kChannel + ": answered 200"), std::string::npos) << s.Out();
        EXPECT_NE(s.Out().find(row.said), std::string::npos) << s.Out();
        ASSERT_TRUE(QTest::qWaitFor([&] { return s.dlg->Core().Voice().Sending(); }, 15000));
        QPushButton* button = s.AudioButton();
        button->click(); // 开启音频: the microphone goes out
        VoiceCalls& v = s.dlg->Core().Voice();
        ASSERT_TRUE(QTest::qWaitFor([&] { return v.PacketsSent() >= row.packets && v.PacketsReceived() >= row.packets; },
                                    15000))
            << v.PacketsSent() << " sent, " << v.PacketsReceived() << " received";
        ASSERT_TRUE(QTest::qWaitFor([&] { return s.dlg->Core().DeviceSound().FramesPlayed() >= 8000; }, 10000));
        button->click(); // 停止音频: BYE
        ASSERT_TRUE(QTest::qWaitFor([&] { return s.Out().find("voice ended (BYE received)") != std::string::npos; },
                                    15000))
            << s.Out();
        EXPECT_FALSE(v.Active());
        out = s.Out();
    }
    CameraReport r;
    ASSERT_TRUE(ReadReport(out, r)) << out;
    EXPECT_GE(r.packets, static_cast<int>(row.packets));
    EXPECT_EQ(r.payloadType, row.payloadType);
    EXPECT_NEAR(r.tone, 1000, 10);
    EXPECT_NE(out.find("expected 1000 Hz: ok"), std::string::npos) << out;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, std::regex(R"((\d+) packets of tone sent back)"))) << out;
    EXPECT_GE(std::stoull(m[1]), row.sentBack);
    tvaudio::ToneMeter heard;
    heard.Push(Played());
    EXPECT_NEAR(heard.Frequency(), 600, 10);
}

INSTANTIATE_TEST_SUITE_P(Codecs, Talk,
                         ::testing::Values(TalkRow{"g711", {}, 8, "payload type 8)", 100, 50},
                                           TalkRow{"aac", {"--talk-codec", "aac"}, 102, "payload type 102)", 16, 8}),
                         [](const auto& info) { return std::string(info.param.name); });

// The WAV file chosen in the window (选择WAV…'s handler) is what a broadcast
// sends, without the microphone; a file that is no WAV is refused with a
// message and the source stays as it was.
TEST(WavSource, AWavFileChosenInTheWindowIsWhatTheCameraHears) {
    std::string out;
    {
        Session s({"--expect-tone", "700"});
        std::vector<QString> messages;
        SetShellMessageHook([&](QWidget*, const QString& t) { messages.push_back(t); });
        WriteFile(s.dir.File("not.wav"), "RIFF but nothing more");
        s.dlg->Voice().OnWavChosen(QString::fromStdString(s.dir.File("not.wav")));
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_TRUE(s.dlg->Voice().WavPath().isEmpty());
        tvaudio::PcmBlock tone; // 700 Hz, 16 kHz stereo: resampled on the way
        tone.rate = 16000;
        tone.channels = 2;
        for (int i = 0; i < 16000; ++i) {
            const auto v = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 700.0 * i / 16000));
            tone.samples.push_back(v);
            tone.samples.push_back(v);
        }
        ASSERT_TRUE(tvaudio::WriteWav(s.dir.File("tone.wav"), tone));
        s.dlg->Voice().OnWavChosen(QString::fromStdString(s.dir.File("tone.wav")));
        EXPECT_EQ(s.dlg->Voice().WavPath(), QString::fromStdString(s.dir.File("tone.wav")));
        ASSERT_TRUE(s.SelectChannel()) << s.Out();
        s.dlg->OnListClicked(1081, 1); // 音频广播
        VoiceCalls& v = s.dlg->Core().Voice();
        ASSERT_TRUE(QTest::qWaitFor([&] { return v.PacketsSent() >= 75; }, 15000)) << v.PacketsSent() << s.Out();
        QPushButton* button = s.AudioButton();
        button->click(); // 开启音频 (the microphone is not what goes out) ...
        button->click(); // ... 停止音频: BYE
        ASSERT_TRUE(QTest::qWaitFor([&] { return s.Out().find("voice ended (BYE received)") != std::string::npos; },
                                    15000))
            << s.Out();
        out = s.Out();
    }
    CameraReport r;
    ASSERT_TRUE(ReadReport(out, r)) << out;
    EXPECT_NEAR(r.tone, 700, 10);
    EXPECT_NE(out.find("expected 700 Hz: ok"), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(Transports, Broadcast, ::testing::Values("udp", "tcp-active", "tcp-passive"),
                         [](const auto& info) {
                             std::string n = info.param;
                             n.erase(std::remove(n.begin(), n.end(), '-'), n.end());
                             return n;
                         });

} // namespace

int main(int argc, char** argv) {
    AlsaTestDevices::Get(); // before any ALSA call
    signal(SIGPIPE, SIG_IGN); // the microphone pipe outlives its reader
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
