// build/tarvex as a black box: started in a scratch working directory with its
// config.ini, driven by --script, with SIPp playing the camera; and closed by
// SIGTERM as by its close box.

#include "base/TextCodec.h"
#include "support/common/Sipp.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

const char* kDevice = "34010000001320000001";

std::string Config(int port) {
    return TextCodec::Utf8ToGbk("[本地服务器]\r\n协议=0\r\nID=34020000002000000001\r\n域=3402000000\r\n"
                                "地址=127.0.0.1\r\n端口=" +
                                std::to_string(port) +
                                "\r\n\r\n[媒体接收者]\r\n协议=0\r\n地址=127.0.0.1\r\n端口=6000\r\n"
                                "下载速度=4\r\n\r\n[云台控制]\r\n地址位=0\r\n速度=50\r\n");
}

// The program in dir with args; its standard output and error go to dir/out.
class Program {
public:
    Program(const std::string& dir, const std::vector<std::string>& args) {
        pid_ = fork();
        if (pid_ == 0) {
            if (chdir(dir.c_str()) != 0) _exit(127);
            int fd = open("out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            dup2(fd, 2);
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
            std::vector<char*> argv;
            std::string exe = TARVEX_BINARY_DIR "/tarvex";
            argv.push_back(exe.data());
            std::vector<std::string> copy = args;
            for (auto& a : copy) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(exe.c_str(), argv.data());
            _exit(127);
        }
    }
    ~Program() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    // Exit status, or -1 after timeoutMs (then it is killed).
    int Wait(int timeoutMs) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            int st = 0;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }
    void Signal(int sig) { kill(pid_, sig); }

private:
    pid_t pid_ = -1;
};

bool WaitForText(const std::string& file, const std::string& text, int timeoutMs) {
    for (int t = 0; t < timeoutMs; t += 20) {
        if (ReadFile(file).find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

} // namespace

TEST(Program, ScriptRegistersCameraQueriesCatalogAndExits) {
    TempDir dir;
    const int port = FreePort(SOCK_DGRAM);
    WriteFile(dir.File("config.ini"), Config(port));
    WriteFile(dir.File("check.txt"),
              "# a camera registers and answers the catalog\n"
              "wait-registered 20000\n"
              "wait-log <CmdType>Catalog</CmdType> 20000\n"
              "wait-log 34010000001310000002 20000\n"
              "tree 34010000001310000001\n"
              "click 1080 0          # 信息查询\n"
              "wait-log <CmdType>DeviceInfo</CmdType> 10000\n"
              "shot window.png\n"
              "exit\n");

    DeviceScript cam;
    cam.deviceId = kDevice;
    cam.catalog = {CatalogAnswer(kDevice, 2, {"34010000001310000001", "34010000001310000002"})};
    cam.deviceInfo = SimpleAnswer("DeviceInfo", kDevice, "<DeviceName>IPC</DeviceName>\r\n");
    cam.deviceStatus = SimpleAnswer("DeviceStatus", kDevice, "<Online>ONLINE</Online>\r\n");
    cam.holdMs = 6000;
    WriteFile(dir.File("cam.xml"), MainScenario(cam));
    WriteFile(dir.File("cam-ooc.xml"), OocScenario(cam));

    Program tarvex(dir.Path(), {"--script", "check.txt"});
    ASSERT_TRUE(WaitForText(dir.File("out"), "SIP endpoint start transport 0", 20000))
        << ReadFile(dir.File("out"));
    SippProcess sipp;
    const int sippPort = FreePort(SOCK_DGRAM);
    ASSERT_TRUE(sipp.Start({"127.0.0.1:" + std::to_string(port), "-sf", dir.File("cam.xml"),
                            "-oocsf", dir.File("cam-ooc.xml"), "-i", "127.0.0.1", "-p",
                            std::to_string(sippPort), "-m", "1", "-t", "u1", "-nostdin",
                            "-timeout", "60s", "-max_recv_loops", "1000"},
                           dir.File("sipp.out")));
    const int rc = tarvex.Wait(60000);
    const std::string out = ReadFile(dir.File("out"));
    ASSERT_EQ(rc, 0) << out << "\n---- sipp:\n" << ReadFile(dir.File("sipp.out"));
    EXPECT_NE(out.find("line 2: wait-registered 20000"), std::string::npos) << out;
    EXPECT_NE(out.find("] registered"), std::string::npos);
    EXPECT_NE(out.find("click 1080 row 0: 信息查询"), std::string::npos) << out;
    EXPECT_NE(out.find("line 9: exit"), std::string::npos);
    EXPECT_EQ(out.find("FAILED"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(dir.File("window.png")));
    // The exit button stored the settings, and the log went into the workbook.
    const std::string ini = TextCodec::GbkToUtf8(ReadFile(dir.File("config.ini")));
    EXPECT_NE(ini.find("端口=" + std::to_string(port)), std::string::npos) << ini;
    EXPECT_GT(std::filesystem::file_size(dir.File("MsgXml.xls")), 4096u);
    sipp.Wait(20000);
}

TEST(Program, SigtermClosesLikeTheCloseBox) {
    TempDir dir;
    const int port = FreePort(SOCK_DGRAM);
    const std::string config = Config(port) + "\r\n# hand-written comment\r\n";
    WriteFile(dir.File("config.ini"), config);
    Program tarvex(dir.Path(), {});
    ASSERT_TRUE(WaitForText(dir.File("out"), "SIP endpoint start transport 0", 20000))
        << ReadFile(dir.File("out"));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    tarvex.Signal(SIGTERM);
    EXPECT_EQ(tarvex.Wait(20000), 0) << ReadFile(dir.File("out"));
    EXPECT_NE(ReadFile(dir.File("out")).find("signal received"), std::string::npos);
    // Not stored (the file is byte for byte as written), but the log is saved.
    EXPECT_EQ(ReadFile(dir.File("config.ini")), config);
    EXPECT_TRUE(std::filesystem::exists(dir.File("MsgXml.xls")));
}

TEST(Program, WithoutConfigTheWindowStillRunsAndScriptFailuresExitOne) {
    TempDir dir;
    WriteFile(dir.File("bad.txt"), "about\nwait-registered 300\nexit\n");
    Program tarvex(dir.Path(), {"--script", "bad.txt"});
    EXPECT_EQ(tarvex.Wait(30000), 1);
    const std::string out = ReadFile(dir.File("out"));
    EXPECT_NE(out.find("load config, file [config.ini] not exist"), std::string::npos) << out;
    EXPECT_NE(out.find("SIP endpoint start transport -1"), std::string::npos);
    EXPECT_NE(out.find("about: Tarvex 2.0"), std::string::npos);
    EXPECT_NE(out.find("line 2: FAILED: wait-registered 300: no device registered within 300 ms"),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir.File("config.ini")));

    WriteFile(dir.File("syntax.txt"), "sleep 10\nfly away\n");
    Program p2(dir.Path(), {"--script", "syntax.txt"});
    EXPECT_EQ(p2.Wait(30000), 1);
    EXPECT_NE(ReadFile(dir.File("out")).find("syntax.txt: line 2: unknown action \"fly\""),
              std::string::npos);
}
