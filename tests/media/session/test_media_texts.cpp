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
    in.deviceAddress = "192.168.1.64";
    in.searchStart = 1700000000;
    in.searchEnd = 1700003600;
    return in;
}

const std::string kVideo = "a=recvonly\r\na=rtpmap:96 PS/90000\r\na=rtpmap:98 H264/90000\r\n"
                           "a=rtpmap:97 MPEG4/90000\r\n";
std::string Header(const char* s) {
    return std::string("v=0\r\no=34010000002000000001 0 0 IN IP4 192.168.1.100\r\ns=") + s +
           "\r\nc=IN IP4 192.168.1.100\r\n";
}
std::string Trailer(char history) {
    return std::string("a=username:34010000002000000001\r\na=password:73910462\r\ny=") + history +
           "100000001\r\nf=v/1/4/20/2/1024a/8/1\r\n";
}

TEST(MediaTexts, LiveViewOverUdpIsTheExampleOfferLineByLine) {
    const std::string expected = "v=0\r\n"
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
    EXPECT_EQ(OfferText(MediaRowAt(0, 0), Inputs(0)), expected);
}

TEST(MediaTexts, EveryOfferByRowAndTransport) {
    struct Case {
        int set, row, transport;
        std::string expected;
    };
    const std::string passive = "a=setup:passive\r\na=connection:new\r\n";
    const std::string active = "a=setup:active\r\na=connection:new\r\n";
    const std::string range = "t=1700000000 1700003600 \r\n";
    const Case cases[] = {
        {0, 0, 1, Header("Play") + "t=0 0 \r\nm=video 6000 TCP/RTP/AVP 96 98 97\r\n" + kVideo +
                      passive + Trailer('0')},
        {0, 0, 2, Header("Play") + "t=0 0 \r\nm=video 6000 TCP/RTP/AVP 96 98 97\r\n" + kVideo +
                      active + Trailer('0')},
        {0, 0, 3, Header("Play") + "t=0 0 \r\nm=video 6000 TCP/RTP/AVP 96 98 97\r\n" + kVideo +
                      Trailer('0')},
        {0, 0, 4, Header("Play") + "t=0 0 \r\nm=video 6000 TCP/RTP/AVP 96 98 97\r\n" + kVideo +
                      Trailer('0')},
        {0, 1, 0, Header("BroadCast") + "t=0 0 \r\nm=audio 6000 RTP/AVP 96 98 97\r\n" + kVideo +
                      Trailer('0')},
        // The voice offers carry no setup lines whatever the transport.
        {0, 2, 2, Header("Dialog") + "t=0 0 \r\nm=audio 6000 TCP/RTP/AVP 96 98 97\r\n" + kVideo +
                      Trailer('0')},
        {2, 0, 0, Header("Download") + range + "m=video 6000 RTP/AVP 96 98 97\r\n" + kVideo +
                      "a=downloadspeed:4\r\n" + Trailer('1')},
        {2, 0, 1, Header("Download") + range + "m=video 6000 TCP/RTP/AVP 96 98 97\r\n" + kVideo +
                      "a=downloadspeed:4\r\n" + passive + Trailer('1')},
        {2, 1, 0, Header("Playback") + range + "m=video 6000 RTP/AVP 96 98 97\r\n" + kVideo +
                      Trailer('1')},
        {2, 1, 2, Header("Playback") + range + "m=video 6000 TCP/RTP/AVP 96 98 97\r\n" + kVideo +
                      active + Trailer('1')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("set " + std::to_string(c.set) + " row " + std::to_string(c.row) +
                     " transport " + std::to_string(c.transport));
        EXPECT_EQ(OfferText(MediaRowAt(c.set, c.row), Inputs(c.transport)), c.expected);
    }
}

TEST(MediaTexts, RangeIsTheLowHalfOfTheSearchAsSignedAndTheIdentifierIsCut) {
    MediaInputs in = Inputs(0);
    in.searchStart = 0x100000005LL;
    in.searchEnd = 0x80000000LL;
    in.deviceId = "3401000000200000000123456789012345"; // 34 characters
    const std::string t = OfferText(MediaRowAt(2, 1), in);
    EXPECT_NE(t.find("\r\nt=5 -2147483648 \r\n"), std::string::npos) << t;
    EXPECT_NE(t.find("o=3401000000200000000123456789012 0 0"), std::string::npos) << t;
    EXPECT_NE(t.find("a=username:3401000000200000000123456789012\r\n"), std::string::npos) << t;
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
        {0, ""},
        {1, ""},
        {9, ""},
    };
    for (auto [row, text] : cases)
        EXPECT_EQ(PlaybackControlText(row), text) << "row " << row;
}

// The rows this session builds are the rows of kind 5 and 6 of the command
// lists, with the same commands.
TEST(MediaTexts, RowsFollowTheMediaSetsOfTheCommandLists) {
    for (int set = 0; set < kMediaSetCount; ++set) {
        const auto entries = MediaSet(set);
        for (int row = 0; row < static_cast<int>(entries.size()) + 1; ++row) {
            SCOPED_TRACE("set " + std::to_string(set) + " row " + std::to_string(row));
            const MediaRow r = MediaRowAt(set, row);
            if (row == static_cast<int>(entries.size())) {
                EXPECT_EQ(r.action, MediaRowAction::None);
                continue;
            }
            const CommandEntry& e = entries[row];
            const bool ours = e.kind == kKindInvite || e.kind == kKindInfo;
            EXPECT_EQ(r.action != MediaRowAction::None, ours);
            if (!ours) continue;
            EXPECT_EQ(r.kind, e.kind);
            EXPECT_STREQ(r.command, e.command);
        }
    }
}

TEST(MediaFigures, StatisticsLine) {
    const std::pair<StreamFigures, const char*> cases[] = {
        // No whole second yet: 25 and 128 whatever arrived.
        {{10, 0, 50000, 0}, "解码 10帧 丢 0帧 帧率 25 Fps 接收数据 48 KB 码率 128 KBps \n"},
        {{250, 3, 5u << 20, 10}, "解码 250帧 丢 3帧 帧率 25 Fps 接收数据 5120 KB 码率 512 KBps \n"},
        {{7, 1, 1023, 3}, "解码 7帧 丢 1帧 帧率 2 Fps 接收数据 0 KB 码率 0 KBps \n"},
        {{4000000000u, 0, 1ull << 42, 100000},
         "解码 4000000000帧 丢 0帧 帧率 40000 Fps 接收数据 4294967296 KB 码率 42949 KBps \n"},
    };
    for (const auto& [f, text] : cases)
        EXPECT_EQ(StatisticsLine(f), text);
}

TEST(MediaFigures, ElapsedAndDownloadProgress) {
    struct Case {
        std::int64_t elapsed;
        bool download;
        int speed;
        std::int32_t duration;
        std::optional<std::string> text;
        std::optional<int> pos;
    };
    const Case cases[] = {
        {3725, false, 4, 3600, "01:02:05/12:00:00", std::nullopt},
        {0, false, 4, 3600, "00:00:00/12:00:00", std::nullopt},
        {10, true, 4, 3600, "00:00:40/01:00:00", 40},
        {0, true, 4, 3600, "00:00:00/01:00:00", 0},
        {900, true, 4, 3600, "01:00:00/01:00:00", 3600},
        // Past the recording's end the bar and the label stay as they were.
        {901, true, 4, 3600, std::nullopt, std::nullopt},
        {1, true, 64, 63, std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.elapsed);
        const ProgressShown p = ProgressFor({1, 0, 1, c.elapsed}, c.download, c.speed, c.duration);
        EXPECT_EQ(p.text, c.text);
        EXPECT_EQ(p.pos, c.pos);
    }
}

class TimeZone {
public:
    explicit TimeZone(const char* tz) {
        const char* old = std::getenv("TZ");
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~TimeZone() {
        if (had_) setenv("TZ", old_.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }

private:
    bool had_ = false;
    std::string old_;
};

TEST(MediaFigures, RecordingDurationReadsLocalTimeWithoutDaylightSaving) {
    {
        TimeZone tz("UTC");
        EXPECT_EQ(RecordingDuration("2024-01-01T00:00:00", "2024-01-01T01:00:05"), 3605);
        // A text that does not read counts as 0 for itself only.
        EXPECT_EQ(RecordingDuration("no time", "1970-01-01T01:00:00"), 3600);
        EXPECT_EQ(RecordingDuration("1970-01-01T01:00:00", "2024-01-01"), -3600);
    }
    // Two wall-clock hours across the spring change count as two hours.
    TimeZone tz("America/New_York");
    EXPECT_EQ(RecordingDuration("2024-03-10T01:00:00", "2024-03-10T03:00:00"), 7200);
}

} // namespace
