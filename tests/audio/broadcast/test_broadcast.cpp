// The operator's broadcast through the window's own handlers, offscreen, to
// tarvex-camera over UDP and both TCP roles: the Broadcast notification names
// us and the selected channel, the camera INVITEs us for the audio, the
// microphone's 1 kHz tone (ALSA's file device) reaches the camera as G.711,
// which measures it, and 停止音频 sends the BYE.
#include "support/common/TreeItems.h"
#include "app/shell/CTarvexDlg.h"
#include "app/shell/ShellMessage.h"
#include "app/settings/CfgIniStore.h"
#include "audio/AlsaTestDevices.h"
#include "support/common/Files.h"
#include "support/common/Net.h"
#include "system/program/Harness.h"

#include <QApplication>
#include <QDir>
#include <QPushButton>
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
