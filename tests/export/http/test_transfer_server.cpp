// The snapshot uploads and firmware downloads of the transfer server, with
// python3 as the device's HTTP client (its own HTTP code, not ours) and
// ffprobe reading the saved pictures.

#include "export/http/TransferServer.h"

#include "ChildProcess.h"
#include "Files.h"
#include "Net.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;
using tarvex::http::TransferBook;
using tarvex::http::TransferLimits;
using tarvex::http::TransferServer;

// The device side: METHOD URL [FILE [form]] prints the status, then the body
// of a GET into FILE.
const char kClient[] = R"PY(
import sys, urllib.request, urllib.error
method, url = sys.argv[1], sys.argv[2]
data, headers = None, {}
if method in ("POST", "PUT"):
    data = open(sys.argv[3], "rb").read()
    headers["Content-Type"] = "image/jpeg"
    if len(sys.argv) > 4:
        # A form as devices send it: the session id field, then the picture.
        b = "tarvexboundary"
        data = (("--%s\r\nContent-Disposition: form-data; name=\"SessionID\"\r\n\r\n%s\r\n"
                 "--%s\r\nContent-Disposition: form-data; name=\"file\"; filename=\"a.jpg\"\r\n"
                 "Content-Type: image/jpeg\r\n\r\n" % (b, sys.argv[4], b)).encode() + data +
                ("\r\n--%s--\r\n" % b).encode())
        headers["Content-Type"] = "multipart/form-data; boundary=" + b
req = urllib.request.Request(url, data=data, method=method, headers=headers)
try:
    with urllib.request.urlopen(req, timeout=20) as r:
        body = r.read()
        print(r.status)
        if method == "GET": open(sys.argv[3], "wb").write(body)
except urllib.error.HTTPError as e:
    print(e.code)
except Exception as e:
    print("error", e)
)PY";

struct Rig {
    TempDir dir;
    TransferBook book;
    TransferServer server{book};
    explicit Rig(TransferLimits l = {}) : book(dir.Path(), l) {
        WriteFile(dir.File("client.py"), kClient);
        std::string error;
        EXPECT_TRUE(server.Start("127.0.0.1", 0, error)) << error;
    }
    std::string Url(const std::string& path) const { return server.BaseUrl() + path; }
    // The status the client saw.
    std::string Client(std::vector<std::string> args) {
        args.insert(args.begin(), {"/usr/bin/env", "python3", dir.File("client.py")});
        const std::string log = dir.File("client.out");
        EXPECT_EQ(testsupport::RunIn(dir.Path(), args, log, 60000), 0) << ReadFile(log);
        std::string s = ReadFile(log);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        return s;
    }
    // A JPEG made by ffmpeg at that size.
    std::string Jpeg(const std::string& name, const std::string& size) {
        const std::string f = dir.File(name);
        const int rc = testsupport::RunIn(dir.Path(),
                                          {"/usr/bin/ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                                           "testsrc=size=" + size + ":rate=1", "-frames:v", "1",
                                           "-q:v", "2", f},
                                          dir.File("ffmpeg.out"), 60000);
        EXPECT_EQ(rc, 0) << ReadFile(dir.File("ffmpeg.out"));
        return f;
    }
    std::string Probe(const fs::path& f) {
        const std::string log = dir.File("probe.out");
        testsupport::RunIn(dir.Path(),
                           {"/usr/bin/ffprobe", "-v", "error", "-show_entries", "stream=codec_name,width",
                            "-of", "csv=p=0", f.string()},
                           log, 60000);
        std::string s = ReadFile(log);
        while (!s.empty() && s.back() == '\n') s.pop_back();
        return s;
    }
};

TEST(TransferServer, UploadsOfAnOpenSessionAreSavedAsJpegUnderTheChannel) {
    Rig r;
    const std::string path = r.book.OpenSnapshot("S1", "34020000001310000001");
    ASSERT_EQ(path, "/snapshot/S1");
    const std::string pic = r.Jpeg("a.jpg", "320x240");
    EXPECT_EQ(r.Client({"POST", r.Url(path), pic}), "200");
    EXPECT_EQ(r.Client({"PUT", r.Url(path + "/second.jpg"), pic}), "200");
    EXPECT_EQ(r.Client({"POST", r.Url(path), pic, "S1"}), "200");
    tarvex::http::SnapshotSession s;
    // A look while it is open (the device check's) leaves it open.
    ASSERT_TRUE(r.book.PeekSnapshot("S1", s));
    EXPECT_EQ(s.files.size(), 3u);
    EXPECT_FALSE(r.book.PeekSnapshot("S9", s));
    ASSERT_TRUE(r.book.CloseSnapshot("S1", s));
    EXPECT_FALSE(r.book.PeekSnapshot("S1", s));
    ASSERT_EQ(s.files.size(), 3u);
    EXPECT_EQ(s.refused, 0);
    for (const fs::path& f : s.files) {
        EXPECT_EQ(f.parent_path(), fs::path(r.dir.Path()) / "snapshots" / "34020000001310000001");
        EXPECT_EQ(f.extension(), ".jpg");
        EXPECT_EQ(ReadFile(f.string()), ReadFile(pic)) << f;
        EXPECT_EQ(r.Probe(f), "mjpeg,320") << f;
    }
    // Closed by its notification: the same path is now stray.
    EXPECT_EQ(r.Client({"POST", r.Url(path), pic}), "404");
}

TEST(TransferServer, StrayOversizedSurplusAndNonJpegUploadsAreRefused) {
    TransferLimits l;
    l.maxUploadBytes = 20000;
    l.maxFilesPerSession = 1;
    Rig r(l);
    r.book.OpenSnapshot("S2", "ch1");
    const std::string small = r.Jpeg("small.jpg", "64x48");
    const std::string big = r.Jpeg("big.jpg", "1280x720"); // testsrc at q 2: well over 20 kB
    ASSERT_GT(fs::file_size(big), 20000u);
    WriteFile(r.dir.File("text.jpg"), "GIF89a not a picture at all");
    // Far beyond the bound: httplib itself refuses the body unread.
    WriteFile(r.dir.File("huge.jpg"), std::string(200000, '\xFF'));
    struct Case {
        std::vector<std::string> args;
        const char* status;
    } cases[] = {
        {{"POST", r.Url("/snapshot/NOPE"), small}, "404"},
        {{"POST", r.Url("/snapshot/"), small}, "404"},
        {{"POST", r.Url("/snapshot/S2/../S2"), small}, "404"},
        {{"POST", r.Url("/other"), small}, "404"},
        {{"POST", r.Url("/snapshot/S2"), small, "OTHER"}, "404"},
        {{"GET", r.Url("/snapshot/S2"), r.dir.File("got")}, "404"},
        {{"POST", r.Url("/snapshot/S2"), big}, "413"},
        {{"POST", r.Url("/snapshot/S2"), r.dir.File("huge.jpg")}, "413"},
        {{"POST", r.Url("/snapshot/S2"), r.dir.File("text.jpg")}, "415"},
        {{"POST", r.Url("/snapshot/S2"), small}, "200"},
        {{"POST", r.Url("/snapshot/S2"), small}, "429"},
    };
    for (const Case& c : cases) EXPECT_EQ(r.Client(c.args), c.status) << c.args[1] << " " << c.args[2];
    tarvex::http::SnapshotSession s;
    ASSERT_TRUE(r.book.CloseSnapshot("S2", s));
    EXPECT_EQ(s.files.size(), 1u);
    EXPECT_EQ(s.refused, 3); // big, text, surplus (huge never reached the book)
    // Nothing but the one picture was written.
    int files = 0;
    for (const auto& e : fs::recursive_directory_iterator(fs::path(r.dir.Path()) / "snapshots"))
        files += e.is_regular_file();
    EXPECT_EQ(files, 1);
}

TEST(TransferServer, ASessionPastItsLifeTakesNoUpload) {
    static TransferBook::Clock::time_point fake = TransferBook::Clock::now();
    Rig r;
    r.book.SetClock([] { return fake; });
    r.book.OpenSnapshot("S3", "ch");
    fake += std::chrono::seconds(601);
    EXPECT_EQ(r.Client({"POST", r.Url("/snapshot/S3"), r.Jpeg("a.jpg", "64x48")}), "404");
    tarvex::http::SnapshotSession s;
    EXPECT_FALSE(r.book.CloseSnapshot("S3", s));
}

TEST(TransferServer, TheFirmwareIsServedOnceUnderItsOneTimePath) {
    Rig r;
    std::string fw(300000, '\0');
    for (std::size_t i = 0; i < fw.size(); ++i) fw[i] = static_cast<char>(i * 7 + i / 251);
    WriteFile(r.dir.File("ipc fw v2.bin"), fw);
    std::string error;
    const std::string path = r.book.OfferFirmware(r.dir.File("ipc fw v2.bin"), "U1", error);
    ASSERT_FALSE(path.empty()) << error;
    EXPECT_EQ(path.substr(0, 10), "/firmware/");
    EXPECT_EQ(path.substr(path.size() - 14), "/ipc_fw_v2.bin");
    tarvex::http::FirmwareOffer o;
    ASSERT_TRUE(r.book.OfferFor("U1", o));
    EXPECT_FALSE(o.fetched);
    const std::string otherToken = "/firmware/0123456789abcdef0123456789abcdef/ipc_fw_v2.bin";
    EXPECT_EQ(r.Client({"GET", r.Url(otherToken), r.dir.File("x")}), "404");
    EXPECT_EQ(r.Client({"GET", r.Url(path), r.dir.File("got.bin")}), "200");
    EXPECT_EQ(ReadFile(r.dir.File("got.bin")), fw);
    EXPECT_EQ(r.Client({"GET", r.Url(path), r.dir.File("again.bin")}), "404");
    ASSERT_TRUE(r.book.OfferFor("U1", o));
    EXPECT_TRUE(o.fetched);
    EXPECT_TRUE(o.complete);
    EXPECT_EQ(o.served, fw.size());
}

TEST(TransferServer, OffersThatCannotBeMadeSaySo) {
    TransferLimits l;
    l.maxFirmwareBytes = 10;
    Rig r(l);
    WriteFile(r.dir.File("big.bin"), std::string(11, 'x'));
    struct Case {
        std::string file, session;
    } cases[] = {{r.dir.File("missing.bin"), "U"}, {r.dir.Path(), "U"}, {r.dir.File("big.bin"), "U"},
                 {r.dir.File("big.bin"), "bad id/.."}};
    for (const Case& c : cases) {
        std::string error;
        EXPECT_EQ(r.book.OfferFirmware(c.file, c.session, error), "") << c.file;
        EXPECT_FALSE(error.empty()) << c.file;
    }
    EXPECT_EQ(r.book.OpenSnapshot("a/b", "ch"), "");
    EXPECT_EQ(r.book.OpenSnapshot("S", "../etc"), "");
}

TEST(TransferServer, ABusyPortIsReported) {
    Rig r;
    TransferBook other(r.dir.Path());
    TransferServer second(other);
    std::string error;
    EXPECT_FALSE(second.Start("127.0.0.1", r.server.Port(), error));
    EXPECT_NE(error.find(std::to_string(r.server.Port())), std::string::npos) << error;
}

} // namespace
