// Saving at exit: the temporary file renamed over MsgXml.xls, the fallbacks in their order
// (a timestamped name beside it, then the state directory) with what standard error says,
// a full disk, an unwritable directory and locked files; the decoding of UTF-16 cells; the
// workbook model that older callers still fill.
#include "Files.h"
#include "XlsReadBack.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <regex>

using namespace tarvex::xls;
using xlstest::MsgRows;
namespace fs = std::filesystem;

namespace {

const std::string kDevice = "34010000002000000001";
const std::regex kStamped(R"(MsgXml-\d{8}-\d{6}(-\d+)?\.xls)");

std::vector<fs::path> Listing(const fs::path& dir) {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(dir))
        out.push_back(e.path().filename());
    std::sort(out.begin(), out.end());
    return out;
}

MsgRows Rows(int n, const std::string& body = "body") {
    MsgRows rows;
    for (int i = 0; i < n; ++i)
        rows.Add(i % 2 ? LogDirection::Sent : LogDirection::Received, "2024-05-06T12:34:56.789",
                 "心跳信息", kDevice, body + " " + std::to_string(i), "MESSAGE sip:x SIP/2.0\r\n\n");
    return rows;
}

std::string Joined(const std::vector<std::string>& notes) {
    std::string s;
    for (const auto& n : notes)
        s += n + "\n";
    return s;
}

// Gives this test program a mount namespace of its own: mounts made here are seen by no
// other process and vanish with it. False where that is not allowed.
bool PrivateMounts() {
    static const bool ok = ::unshare(CLONE_NEWNS) == 0 &&
                           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return ok;
}

struct Mounted {
    std::string where;
    ~Mounted() {
        if (!where.empty()) ::umount2(where.c_str(), MNT_DETACH);
    }
};

// Fails every write that reaches past `limit` bytes of the file with ENOSPC, as a full
// disk does.
class FullAfter final : public ByteSink {
public:
    FullAfter(std::unique_ptr<ByteSink> inner, uint64_t limit) : inner_(std::move(inner)), limit_(limit) {}
    bool WriteAt(uint64_t offset, const void* data, std::size_t n) override {
        if (offset + n > limit_) {
            errno = ENOSPC;
            return false;
        }
        return inner_->WriteAt(offset, data, n);
    }
    bool ReadAt(uint64_t offset, void* out, std::size_t n) override { return inner_->ReadAt(offset, out, n); }

private:
    std::unique_ptr<ByteSink> inner_;
    uint64_t limit_;
};

} // namespace

// Every test saves into a scratch folder, with the state directory in a scratch folder too
// (never the user's own).
class XlsSave : public testing::Test {
protected:
    void SetUp() override {
        if (const char* x = std::getenv("XDG_STATE_HOME")) oldState_ = x;
        state = fs::path(stateTmp.Path()) / "state";
        ::setenv("XDG_STATE_HOME", state.c_str(), 1);
        dir = tmp.Path();
    }
    void TearDown() override {
        if (oldState_) ::setenv("XDG_STATE_HOME", oldState_->c_str(), 1);
        else ::unsetenv("XDG_STATE_HOME");
    }

    // Saves with standard error captured; checks that it says exactly the notes.
    SaveResult Save(const IMessageLogRows& rows, SaveOptions options) {
        testing::internal::CaptureStderr();
        SaveResult r = SaveMessageLogWith(rows, options);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err, Joined(r.notes));
        return r;
    }
    SaveResult Save(const IMessageLogRows& rows, const fs::path& where) {
        SaveOptions o;
        o.dir = where;
        return Save(rows, o);
    }

    // The file is a workbook whose first data row is the first of Rows(n, body).
    static void ExpectWorkbook(const fs::path& p, const std::string& body = "body") {
        const auto b = xlstest::ReadBack(p, "full");
        ASSERT_TRUE(b.ok) << b.output;
        EXPECT_EQ(b.sheets.at(0).cells.at({1, 3}).value, body + " 0");
    }

    TempDir tmp, stateTmp;
    fs::path dir, state;

private:
    std::optional<std::string> oldState_;
};

TEST_F(XlsSave, ReplacesThePreviousFileThroughATemporaryFile) {
    WriteFile(dir / "MsgXml.xls", std::string(100000, 'z'));
    ::chmod((dir / "MsgXml.xls").c_str(), 0640);
    const SaveResult r = Save(Rows(3), dir);
    EXPECT_EQ(r.written, dir / "MsgXml.xls");
    ExpectWorkbook(r.written);
    EXPECT_EQ(Listing(dir), std::vector<fs::path>{"MsgXml.xls"}) << "no temporary file is left";
    EXPECT_EQ(fs::status(r.written).permissions(), fs::perms(0640)) << "the file keeps its mode";
    ASSERT_EQ(r.notes.size(), 1u);
    EXPECT_EQ(r.notes[0], "message log saved as " + (dir / "MsgXml.xls").string() +
                              " (2 received, 1 sent messages)");
}

TEST_F(XlsSave, LockedFileIsLeftAloneAndTheLogGoesToATimestampedName) {
    const std::string previous = "held open by a spreadsheet program";
    WriteFile(dir / "MsgXml.xls", previous);
    // Another program's lock on the file (an open-file lock on a descriptor of our own).
    const int fd = ::open((dir / "MsgXml.xls").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    struct flock lk {};
    lk.l_type = F_WRLCK;
    lk.l_whence = SEEK_SET;
    ASSERT_EQ(::fcntl(fd, F_OFD_SETLK, &lk), 0);

    const SaveResult r = Save(Rows(1), dir);
    EXPECT_EQ(ReadFile(dir / "MsgXml.xls"), previous);
    ASSERT_FALSE(r.written.empty());
    EXPECT_EQ(r.written.parent_path(), dir);
    EXPECT_TRUE(std::regex_match(r.written.filename().string(), kStamped)) << r.written;
    ASSERT_EQ(r.notes.size(), 2u);
    EXPECT_EQ(r.notes[0], "message log: " + (dir / "MsgXml.xls").string() +
                              " could not be written (locked by another program); the previous "
                              "file is left as it was");
    EXPECT_NE(r.notes[1].find(r.written.string() + " instead"), std::string::npos) << r.notes[1];
    ExpectWorkbook(r.written);

    // A second save in the same second does not overwrite the first fallback file.
    const SaveResult r2 = Save(Rows(1, "other"), dir);
    ::close(fd);
    EXPECT_FALSE(r2.written.empty());
    EXPECT_NE(r2.written, r.written);
    ExpectWorkbook(r.written);
    EXPECT_EQ(Listing(dir).size(), 3u) << "no temporary file is left";
}

TEST_F(XlsSave, LibreOfficeLockFileCountsAsLocked) {
    WriteFile(dir / "MsgXml.xls", "open in LibreOffice");
    WriteFile(dir / ".~lock.MsgXml.xls#", "user,host,...");
    const SaveResult r = Save(Rows(1), dir);
    EXPECT_EQ(ReadFile(dir / "MsgXml.xls"), "open in LibreOffice");
    EXPECT_TRUE(std::regex_match(r.written.filename().string(), kStamped)) << r.written;
    EXPECT_NE(r.notes.at(0).find("LibreOffice"), std::string::npos);
    fs::remove(dir / ".~lock.MsgXml.xls#");
    EXPECT_EQ(Save(Rows(1), dir).written, dir / "MsgXml.xls");
}

TEST_F(XlsSave, DirectoryInTheWayFallsBackBesideIt) {
    fs::create_directory(dir / "MsgXml.xls");
    const SaveResult r = Save(Rows(1), dir);
    EXPECT_EQ(r.written.parent_path(), dir);
    EXPECT_TRUE(std::regex_match(r.written.filename().string(), kStamped)) << r.written;
    EXPECT_NE(r.notes.at(0).find("could not be written"), std::string::npos);
    ExpectWorkbook(r.written);
}

// Where the directory takes no file, the copy goes to the state directory, made with
// mode 0700; where that fails too, the save says the log is lost and returns no path.
TEST_F(XlsSave, StateDirectoryIsTheLastFallback) {
    const SaveResult r = Save(Rows(3), dir / "missing");
    ASSERT_EQ(r.written.parent_path(), state / "tarvex");
    EXPECT_TRUE(std::regex_match(r.written.filename().string(), kStamped)) << r.written;
    EXPECT_EQ(fs::status(state / "tarvex").permissions(), fs::perms(0700));
    ExpectWorkbook(r.written);
    ASSERT_EQ(r.notes.size(), 3u);
    EXPECT_NE(r.notes[0].find((dir / "missing" / "MsgXml.xls").string() + " could not be written"),
              std::string::npos);
    EXPECT_NE(r.notes[1].find("no copy could be written in " + (dir / "missing").string()),
              std::string::npos);
    EXPECT_NE(r.notes[2].find(r.written.string() + " instead (2 received, 1 sent messages)"),
              std::string::npos);

    WriteFile(stateTmp / "file", "x");
    ::setenv("XDG_STATE_HOME", (stateTmp / "file").c_str(), 1); // a file where a folder must be
    const SaveResult none = Save(Rows(3), dir / "missing");
    EXPECT_TRUE(none.written.empty());
    ASSERT_EQ(none.notes.size(), 4u);
    EXPECT_NE(none.notes[2].find("state directory unusable"), std::string::npos) << none.notes[2];
    EXPECT_EQ(none.notes[3], "message log could not be saved: the 3 logged messages of this run are lost");
}

// A write that fails midway (here injected) leaves the previous file as it was and no
// temporary file; the next place gets the whole workbook.
TEST_F(XlsSave, FailedWriteKeepsThePreviousFile) {
    std::string previous(50000, '\0');
    for (std::size_t i = 0; i < previous.size(); ++i)
        previous[i] = static_cast<char>(i * 31 + 7);
    WriteFile(dir / "MsgXml.xls", previous);
    int files = 0;
    SaveOptions o;
    o.dir = dir;
    o.wrapSink = [&](std::unique_ptr<ByteSink> s) -> std::unique_ptr<ByteSink> {
        if (files++ == 0) return std::make_unique<FullAfter>(std::move(s), 20000);
        return s;
    };
    const SaveResult r = Save(Rows(200, std::string(400, 'b')), o);
    EXPECT_EQ(files, 2);
    EXPECT_EQ(ReadFile(dir / "MsgXml.xls"), previous);
    EXPECT_EQ(r.written.parent_path(), dir);
    EXPECT_EQ(Listing(dir).size(), 2u) << "no temporary file is left";
    EXPECT_NE(r.notes.at(0).find("could not be written (No space left on device); the previous file is "
                                 "left as it was"),
              std::string::npos)
        << r.notes.at(0);
    const auto b = xlstest::ReadBack(r.written, "digest");
    ASSERT_TRUE(b.ok) << b.output;
    EXPECT_EQ(b.sheets.at(0).nrows, 101);
    EXPECT_EQ(b.sheets.at(1).nrows, 101);
}

// A real full disk: a 64 KiB tmpfs holding yesterday's file.
TEST_F(XlsSave, FullDiskKeepsThePreviousFileAndSavesInTheStateDirectory) {
    if (!PrivateMounts()) GTEST_SKIP() << "no mount namespace of our own here";
    const fs::path full = dir / "full";
    fs::create_directory(full);
    Mounted m;
    ASSERT_EQ(::mount("tmpfs", full.c_str(), "tmpfs", 0, "size=64k"), 0) << std::strerror(errno);
    m.where = full;
    const std::string previous(20000, 'y');
    WriteFile(full / "MsgXml.xls", previous);
    const SaveResult r = Save(Rows(200, std::string(400, 'b')), full);
    EXPECT_EQ(ReadFile(full / "MsgXml.xls"), previous);
    EXPECT_EQ(Listing(full), std::vector<fs::path>{"MsgXml.xls"}) << "no temporary file is left";
    EXPECT_EQ(r.written.parent_path(), state / "tarvex");
    ASSERT_EQ(r.notes.size(), 3u);
    EXPECT_NE(r.notes[0].find("No space left on device"), std::string::npos) << r.notes[0];
    EXPECT_NE(r.notes[1].find("No space left on device"), std::string::npos) << r.notes[1];
    ExpectWorkbook(r.written, std::string(400, 'b'));
}

TEST_F(XlsSave, UnwritableDirectoryKeepsThePreviousFile) {
    const fs::path ro = dir / "ro";
    fs::create_directory(ro);
    WriteFile(ro / "MsgXml.xls", "yesterday");
    Mounted m;
    if (::geteuid() == 0) {
        // Root writes through permission bits: make the folder a read-only mount instead.
        if (!PrivateMounts()) GTEST_SKIP() << "no mount namespace of our own here";
        ASSERT_EQ(::mount(ro.c_str(), ro.c_str(), nullptr, MS_BIND, nullptr), 0);
        m.where = ro;
        ASSERT_EQ(::mount(nullptr, ro.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
    } else {
        fs::permissions(ro, fs::perms(0555));
    }
    const SaveResult r = Save(Rows(1), ro);
    if (m.where.empty()) fs::permissions(ro, fs::perms(0755));
    EXPECT_EQ(ReadFile(ro / "MsgXml.xls"), "yesterday");
    EXPECT_EQ(Listing(ro), std::vector<fs::path>{"MsgXml.xls"});
    EXPECT_EQ(r.written.parent_path(), state / "tarvex");
    ExpectWorkbook(r.written);
}

TEST_F(XlsSave, DefaultDirectoryIsTheWorkingDirectory) {
    const fs::path old = fs::current_path();
    fs::current_path(dir);
    const SaveResult r = Save(Rows(1), fs::path());
    fs::current_path(old);
    EXPECT_EQ(r.written, "MsgXml.xls");
    EXPECT_EQ(Listing(dir), std::vector<fs::path>{"MsgXml.xls"});
    EXPECT_NE(r.notes.at(0).find((dir / "MsgXml.xls").string()), std::string::npos) << r.notes.at(0);
}

TEST_F(XlsSave, StateDirectoryFollowsXdgThenHome) {
    const char* home = std::getenv("HOME");
    const std::string oldHome = home ? home : "";
    const struct {
        const char* xdg;
        const char* home;
        const char* want;
    } cases[] = {
        {"/var/x", "/home/u", "/var/x/tarvex"},
        {"relative/x", "/home/u", "/home/u/.local/state/tarvex"}, // only absolute paths count
        {nullptr, "/home/u", "/home/u/.local/state/tarvex"},
    };
    for (const auto& c : cases) {
        if (c.xdg) ::setenv("XDG_STATE_HOME", c.xdg, 1);
        else ::unsetenv("XDG_STATE_HOME");
        ::setenv("HOME", c.home, 1);
        EXPECT_EQ(StateDirectory(), fs::path(c.want)) << (c.xdg ? c.xdg : "(unset)");
    }
    ::setenv("HOME", oldHome.c_str(), 1);
}

TEST(TextDecode, DeclarationThenUtf8ThenGb18030) {
    // Declared GB2312 / GBK: decoded as GB18030 even when the bytes happen to be UTF-8-valid.
    EXPECT_EQ(DecodeToUtf16("<?xml version=\"1.0\" encoding=\"GB2312\"?><a>\xC4\xE3</a>"),
              u"<?xml version=\"1.0\" encoding=\"GB2312\"?><a>你</a>");
    EXPECT_EQ(DecodeToUtf16("<?xml version='1.0' encoding='gbk'?><a>\xC4\xE3</a>"),
              u"<?xml version='1.0' encoding='gbk'?><a>你</a>");
    // No declaration: valid UTF-8 is UTF-8.
    EXPECT_EQ(DecodeToUtf16("注册信息"), u"注册信息");
    // Declared UTF-8 but holding GBK bytes: not valid UTF-8, so GB18030.
    EXPECT_EQ(DecodeToUtf16("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\xC4\xE3"),
              u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>你");
    // Characters outside the BMP come through as surrogate pairs.
    EXPECT_EQ(DecodeToUtf16("\xF0\x9F\x98\x80"), u"\U0001F600");
    // Bytes that are nothing in GB18030 become U+FFFD, the rest is kept.
    EXPECT_EQ(DecodeToUtf16("a\xFF"
                            "b"),
              u"a\uFFFDb");
    EXPECT_EQ(Utf16ToUtf8(u"设备\U0001F600"), "设备\xF0\x9F\x98\x80");
}

