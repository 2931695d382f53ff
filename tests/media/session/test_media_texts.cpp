// The texts of the media rows, byte for byte, and the figures the window shows.

#include "manscdp/builder/CommandEntry.h"
#include "media/session/MediaTexts.h"
#include "media/session/StreamStatistics.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace {

MediaInputs Inputs(int transport) {
    MediaInputs in;
    in.transport = transport;
    in.address = "192.168.1.100";
    in.port = 6000;
    in.downloadSpeed = 4;
    in.deviceId = "34010000002000000001";
    in.searchStart = 1700000000;
    in.searchEnd = 1700003600;
    return in;
}

TEST(MediaTexts, OffersByRowAndTransport) {
    // The first is the example of a live view over UDP, line by line.
    const std::string example = "v=0\r\n"
                                "o=34010000002000000001 0 0 IN IP4 192.168.1.100\r\n"
                                "s=Play\r\n"
                                "c=IN IP4 192.168.1.100\r\n"
                                "t=0 0 \r\n"
                                "m=video 6000 RTP/AVP 96 98 97\r\n"
                                "a=recvonly\r\n"
                                "a=rtpmap:96 PS/90000\r\n"
                                "a=rtpmap:98 H264/90000\r\n"
                                "a=rtpmap:97 MPEG4/90000\r\n"
                                "a=username:34010000002000000001\r\n"
                                "a=password:73910462\r\n"
                                "y=0100000001\r\n"
                                "f=v/1/4/20/2/1024a/8/1\r\n";
    // Playback and download name the recording's channel in u=.
    auto head = [](const char* s, const char* u = "") {
        return std::string("v=0\r\no=34010000002000000001 0 0 IN IP4 192.168.1.100\r\ns=") + s +
               "\r\n" + u + "c=IN IP4 192.168.1.100\r\n";
    };
    const char* u = "u=34010000002000000001:0\r\n";
    const std::string maps = "a=recvonly\r\na=rtpmap:96 PS/90000\r\na=rtpmap:98 H264/90000\r\n"
                             "a=rtpmap:97 MPEG4/90000\r\n";
    auto tail = [](char history) {
        return std::string("a=username:34010000002000000001\r\na=password:73910462\r\ny=") +
               history + "100000001\r\nf=v/1/4/20/2/1024a/8/1\r\n";
    };
    const std::string passive = "a=setup:passive\r\na=connection:new\r\n";
    const std::string active = "a=setup:active\r\na=connection:new\r\n";
    const std::string range = "t=1700000000 1700003600 \r\n";
    const std::string tcp = " TCP/RTP/AVP 96 98 97\r\n";
    const struct {
        int set, row, transport;
        std::string expected;
    } cases[] = {
        {0, 0, 0, example},
        {0, 0, 1, head("Play") + "t=0 0 \r\nm=video 6000" + tcp + maps + passive + tail('0')},
        {0, 0, 3, head("Play") + "t=0 0 \r\nm=video 6000" + tcp + maps + tail('0')},
        {0, 1, 0,
         head("BroadCast") + "t=0 0 \r\nm=audio 6000 RTP/AVP 96 98 97\r\n" + maps + tail('0')},
        // No setup lines in a voice offer, whatever the transport.
        {0, 2, 2, head("Dialog") + "t=0 0 \r\nm=audio 6000" + tcp + maps + tail('0')},
        {2, 0, 1,
         head("Download", u) + range + "m=video 6000" + tcp + maps + "a=downloadspeed:4\r\n" +
             passive + tail('1')},
        {2, 1, 2, head("Playback", u) + range + "m=video 6000" + tcp + maps + active + tail('1')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.set) + "/" + std::to_string(c.row) + " over " +
                     std::to_string(c.transport));
        EXPECT_EQ(OfferText(MediaRowAt(c.set, c.row), Inputs(c.transport)), c.expected);
    }
    // The recording clicked gives the range and its channel the u= line.
    {
        MediaInputs rec = Inputs(0);
        rec.recordStart = 1700000600;
        rec.recordEnd = 1700000640;
        rec.channelId = "34010000001310000001";
        const std::string t = OfferText(MediaRowAt(2, 1), rec);
        EXPECT_NE(t.find("s=Playback\r\nu=34010000001310000001:0\r\nc=IN IP4 192.168.1.100\r\n"
                         "t=1700000600 1700000640 \r\n"),
                  std::string::npos)
            << t;
        EXPECT_EQ(OfferText(MediaRowAt(0, 0), rec).find("u="), std::string::npos);
        rec.recordEnd = rec.recordStart; // no length: the search's range
        EXPECT_NE(OfferText(MediaRowAt(2, 0), rec).find(range), std::string::npos);
    }
    // The range is the low half of the search's seconds, signed; the identifier
    // is cut to the device field's 31 characters.
    MediaInputs in = Inputs(4);
    in.searchStart = 0x100000005LL;
    in.searchEnd = 0x80000000LL;
    in.deviceId += "12345678901234"; // 34 characters
    const std::string t = OfferText(MediaRowAt(2, 1), in);
    EXPECT_NE(t.find("\r\nt=5 -2147483648 \r\nm=video 6000" + tcp), std::string::npos) << t;
    EXPECT_NE(t.find("a=username:3401000000200000000112345678901\r\na=pass"), std::string::npos);
}

TEST(MediaTexts, PlaybackControlTextsOfSetThree) {
    const std::pair<int, const char*> cases[] = {
        {2, "PLAY RTSP/1.0\r\nCSeq: 2\r\nScale: 1.0\r\nRange: npt=0-\r\n"},
        {3, "PAUSE RTSP/1.0\r\nCSeq: 2\r\nScale: 1.0\r\nRange: npt=0-\r\n"},
        {4, "PLAY RTSP/1.0\r\nCSeq: 2\r\nScale: 2.0\r\nRange: npt=0-\r\n"},
        {5, "PLAY RTSP/1.0\r\nCSeq: 2\r\nScale: 0.5\r\nRange: npt=0-\r\n"},
        {6, "PLAY RTSP/1.0\r\nCSeq: 2\r\nScale: -2.0\r\nRange: npt=0-\r\n"},
        {7, "PLAY RTSP/1.0\r\nCSeq: 2\r\nScale: -0.5\r\nRange: npt=0-\r\n"},
        {8, "PLAY RTSP/1.0\r\nCSeq: 2\r\nScale: 1.0\r\nRange: npt=10-\r\n"},
        {1, ""},
        {9, ""},
    };
    for (auto [row, text] : cases)
        EXPECT_EQ(PlaybackControlText(row), text) << "row " << row;
}

// The rows built here are the rows of kind 5 and 6 of the command lists.
TEST(MediaTexts, RowsFollowTheMediaSetsOfTheCommandLists) {
    for (int set = 0; set < kMediaSetCount; ++set) {
        const auto entries = MediaSet(set);
        EXPECT_EQ(MediaRowAt(set, static_cast<int>(entries.size())).action, MediaRowAction::None);
        for (std::size_t row = 0; row < entries.size(); ++row) {
            const MediaRow r = MediaRowAt(set, static_cast<int>(row));
            const bool ours = entries[row].kind == kKindInvite || entries[row].kind == kKindInfo;
            EXPECT_EQ(r.action != MediaRowAction::None, ours) << set << "/" << row;
            if (ours) {
                EXPECT_STREQ(r.command, entries[row].command) << set << "/" << row;
                EXPECT_EQ(r.kind, entries[row].kind) << set << "/" << row;
            }
        }
    }
}

TEST(MediaFigures, StatisticsLine) {
    // frames, empty, bytes, elapsed; pictures, undecodable, lost packets; the
    // window's frames, device rate and KB a second.
    const std::pair<StreamFigures, const char*> cases[] = {
        {{}, "解码 0帧 丢 0包 坏 0帧 帧率 0 Fps 设备 0 Fps 接收数据 0 KB 码率 0 KBps \n"},
        {{10, 0, 50000, 0, 9, 1, 0, 10, 25, 48},
         "解码 9帧 丢 0包 坏 1帧 帧率 10 Fps 设备 25 Fps 接收数据 48 KB 码率 48 KBps \n"},
        {{250, 3, 5u << 20, 10, 250, 0, 9, 50, 25, 1024},
         "解码 250帧 丢 9包 坏 0帧 帧率 50 Fps 设备 25 Fps 接收数据 5120 KB 码率 1024 KBps \n"},
        {{4000000000u, 0, 1ull << 42, 100000, 1ull << 40, 7, 123456789012ull, 1000, 1000, 40000},
         "解码 1099511627776帧 丢 123456789012包 坏 7帧 帧率 1000 Fps 设备 1000 Fps 接收数据 "
         "4294967296 KB 码率 40000 KBps \n"},
    };
    for (const auto& [f, text] : cases)
        EXPECT_EQ(StatisticsLine(f), text);
}

TEST(MediaFigures, ElapsedAndRecordingProgress) {
    const struct {
        std::int64_t elapsed, streamSeconds;
        bool recording;
        std::int32_t duration;
        std::optional<std::string> text;
        std::optional<int> pos;
    } cases[] = {
        {3725, 9, false, 3600, "01:02:05/12:00:00", std::nullopt},
        {0, 0, false, 3600, "00:00:00/12:00:00", std::nullopt},
        // A playback or download: the stream's own time, whatever the wall clock says.
        {10, 40, true, 3600, "00:00:40/01:00:00", 40},
        {2, 3600, true, 3600, "01:00:00/01:00:00", 3600},
        {900, 3700, true, 3600, "01:00:00/01:00:00", 3600}, // held at the end
        // Without a recording's length, elapsed time as for a live view.
        {9, 40, true, 0, "00:00:09/12:00:00", std::nullopt},
    };
    for (const auto& c : cases) {
        StreamFigures f;
        f.frames = 1;
        f.elapsed = c.elapsed;
        f.streamSeconds = c.streamSeconds;
        const ProgressShown p = ProgressFor(f, c.recording, c.duration);
        EXPECT_EQ(p.text, c.text) << c.elapsed;
        EXPECT_EQ(p.pos, c.pos) << c.elapsed;
        EXPECT_EQ(p.max, c.pos ? std::optional<int>(c.duration) : std::nullopt);
    }
}

TEST(MediaFigures, RecordingDurationReadsLocalTimeWithoutDaylightSaving) {
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(RecordingDuration("2024-01-01T00:00:00", "2024-01-01T01:00:05"), 3605);
    // A text that does not read counts as 0 for itself only.
    EXPECT_EQ(RecordingDuration("no time", "1970-01-01T01:00:00"), 3600);
    EXPECT_EQ(RecordingDuration("1970-01-01T01:00:00", "2024-01-01"), -3600);
    // Two wall-clock hours across the spring change count as two hours.
    setenv("TZ", "America/New_York", 1);
    tzset();
    EXPECT_EQ(RecordingDuration("2024-03-10T01:00:00", "2024-03-10T03:00:00"), 7200);
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

} // namespace
