// The 2022 edition's SDP as a platform sees it: the offers with H.265 in
// payload type 100 and the live view's stream number, the answer's payload
// types, a=filesize and a=streamnumber / a=stream, and the download progress
// a=filesize gives. The expected offers are written out from the published
// examples, not made by the builder.

#include "manscdp/builder/CommandEntry.h"
#include "media/session/MediaTexts.h"
#include "media/session/SdpAnswer.h"
#include "media/session/StreamStatistics.h"

#include <gtest/gtest.h>

namespace {

MediaInputs Inputs(int transport, bool edition2022) {
    MediaInputs in;
    in.transport = transport;
    in.address = "192.168.1.100";
    in.port = 6000;
    in.downloadSpeed = 4;
    in.deviceId = "34010000002000000001";
    in.searchStart = 1700000000;
    in.searchEnd = 1700003600;
    in.edition2022 = edition2022;
    return in;
}

TEST(Sdp2022, OffersByEditionAndStream) {
    const std::string live2022Sub = "v=0\r\n"
                                    "o=34010000002000000001 0 0 IN IP4 192.168.1.100\r\n"
                                    "s=Play\r\n"
                                    "c=IN IP4 192.168.1.100\r\n"
                                    "t=0 0 \r\n"
                                    "m=video 6000 RTP/AVP 96 98 97 100\r\n"
                                    "a=recvonly\r\n"
                                    "a=rtpmap:96 PS/90000\r\n"
                                    "a=rtpmap:98 H264/90000\r\n"
                                    "a=rtpmap:97 MPEG4/90000\r\n"
                                    "a=rtpmap:100 H265/90000\r\n"
                                    "a=streamnumber:1\r\n"
                                    "a=username:34010000002000000001\r\n"
                                    "a=password:73910462\r\n"
                                    "y=0100000001\r\n"
                                    "f=v/1/4/20/2/1024a/8/1\r\n";
    const std::string download2022 = "v=0\r\n"
                                     "o=34010000002000000001 0 0 IN IP4 192.168.1.100\r\n"
                                     "s=Download\r\n"
                                     "u=34010000002000000001:0\r\n"
                                     "c=IN IP4 192.168.1.100\r\n"
                                     "t=1700000000 1700003600 \r\n"
                                     "m=video 6000 TCP/RTP/AVP 96 98 97 100\r\n"
                                     "a=recvonly\r\n"
                                     "a=rtpmap:96 PS/90000\r\n"
                                     "a=rtpmap:98 H264/90000\r\n"
                                     "a=rtpmap:97 MPEG4/90000\r\n"
                                     "a=rtpmap:100 H265/90000\r\n"
                                     "a=downloadspeed:4\r\n"
                                     "a=setup:passive\r\n"
                                     "a=connection:new\r\n"
                                     "a=username:34010000002000000001\r\n"
                                     "a=password:73910462\r\n"
                                     "y=1100000001\r\n"
                                     "f=v/1/4/20/2/1024a/8/1\r\n";
    MediaInputs sub = Inputs(0, true);
    sub.streamNumber = 1;
    EXPECT_EQ(OfferText(MediaRowAt(0, 0), sub), live2022Sub);
    EXPECT_EQ(OfferText(MediaRowAt(2, 0), Inputs(1, true)), download2022);

    struct Case {
        int set, row;
        bool edition2022;
        int stream;
        bool h265, streamLine;
        const char* streamText;
    } cases[] = {
        {0, 0, true, 0, true, true, "a=streamnumber:0\r\n"},
        {0, 0, true, 7, true, true, "a=streamnumber:0\r\n"}, // no such stream: the main one
        {0, 0, false, 1, false, false, nullptr},             // 2016 names no stream
        {2, 1, true, 1, true, false, nullptr},               // only the live view names it
        {0, 1, true, 0, false, false, nullptr},              // voice keeps the 2016 map
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.set) + "/" + std::to_string(c.row) +
                     (c.edition2022 ? " 2022" : " 2016"));
        MediaInputs in = Inputs(0, c.edition2022);
        in.streamNumber = c.stream;
        const std::string t = OfferText(MediaRowAt(c.set, c.row), in);
        EXPECT_EQ(t.find(" 96 98 97 100\r\n") != std::string::npos, c.h265) << t;
        EXPECT_EQ(t.find("a=rtpmap:100 H265/90000\r\n") != std::string::npos, c.h265) << t;
        EXPECT_EQ(t.find("a=streamnumber:") != std::string::npos, c.streamLine) << t;
        if (c.streamText) {
            EXPECT_NE(t.find(c.streamText), std::string::npos) << t;
        }
    }
}

std::string Answer(const std::string& formats, const std::string& attributes,
                   const std::string& audio = "") {
    return "v=0\r\no=34020000001320000001 0 0 IN IP4 10.0.0.9\r\ns=Play\r\n"
           "c=IN IP4 10.0.0.9\r\nt=0 0\r\nm=video 40000 RTP/AVP " +
           formats + "\r\na=sendonly\r\n" + attributes + audio + "y=0100000001\r\n";
}

TEST(Sdp2022, AnswersPayloadTypesFileSizeAndStreamNumber) {
    const std::string aacAudio = "m=audio 40002 RTP/AVP 102\r\n";
    struct Case {
        std::string sdp;
        bool edition2022;
        int payloadType;
        AnswerEncoding encoding;
        std::optional<std::int64_t> fileSize;
        std::optional<int> streamNumber;
        int audioPayloadType;
        AnswerEncoding audioEncoding;
    } cases[] = {
        // 100 without a=rtpmap: H.265 under 2022, unknown under 2016.
        {Answer("100", ""), true, 100, AnswerEncoding::H265, {}, {}, -1, AnswerEncoding::None},
        {Answer("100", ""), false, 100, AnswerEncoding::Other, {}, {}, -1, AnswerEncoding::None},
        {Answer("100", "a=rtpmap:100 H265/90000\r\n"), false, 100, AnswerEncoding::H265, {}, {},
         -1, AnswerEncoding::None},
        // a=rtpmap wins over the table: a device that maps 100 to PS.
        {Answer("100", "a=rtpmap:100 PS/90000\r\n"), true, 100, AnswerEncoding::Ps, {}, {}, -1,
         AnswerEncoding::None},
        // The file size as a device answers a download; -1 is "unknown".
        {Answer("96", "a=rtpmap:96 PS/90000\r\na=filesize:10485760\r\n"), true, 96,
         AnswerEncoding::Ps, 10485760, {}, -1, AnswerEncoding::None},
        {Answer("96", "a=rtpmap:96 PS/90000\r\na=filesize:-1\r\n"), true, 96, AnswerEncoding::Ps,
         {}, {}, -1, AnswerEncoding::None},
        {Answer("96", "a=filesize:12ab\r\n"), true, 96, AnswerEncoding::Ps, {}, {}, -1,
         AnswerEncoding::None},
        // Both spellings of the stream number.
        {Answer("96", "a=streamnumber:1\r\n"), true, 96, AnswerEncoding::Ps, {}, 1, -1,
         AnswerEncoding::None},
        {Answer("96", "a=stream:0\r\n"), true, 96, AnswerEncoding::Ps, {}, 0, -1,
         AnswerEncoding::None},
        {Answer("96", "a=streamprofile:1\r\n"), true, 96, AnswerEncoding::Ps, {}, 1, -1,
         AnswerEncoding::None},
        // A device writing two spellings: a=streamnumber is the one read.
        {Answer("96", "a=streamprofile:0\r\na=streamnumber:1\r\n"), true, 96,
         AnswerEncoding::Ps, {}, 1, -1, AnswerEncoding::None},
        {Answer("96", "a=streamnumber:1\r\na=stream:0\r\n"), true, 96, AnswerEncoding::Ps,
         {}, 1, -1, AnswerEncoding::None},
        // AAC on the audio line: 102 by the 2022 table, or by its rtpmap name.
        {Answer("96", "", aacAudio), true, 96, AnswerEncoding::Ps, {}, {}, 102,
         AnswerEncoding::Aac},
        {Answer("96", "", aacAudio), false, 96, AnswerEncoding::Ps, {}, {}, 102,
         AnswerEncoding::Other},
        {Answer("96", "", "m=audio 40002 RTP/AVP 97\r\na=rtpmap:97 MPEG4-GENERIC/44100\r\n"),
         false, 96, AnswerEncoding::Ps, {}, {}, 97, AnswerEncoding::Aac},
        {Answer("96", "", "m=audio 40002 RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\n"), true, 96,
         AnswerEncoding::Ps, {}, {}, 8, AnswerEncoding::Other},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sdp + (c.edition2022 ? " (2022)" : " (2016)"));
        const AnswerMedia a = ReadAnswer(c.sdp, c.edition2022);
        ASSERT_TRUE(a.parsed);
        EXPECT_EQ(a.payloadType, c.payloadType);
        EXPECT_EQ(a.encoding, c.encoding);
        EXPECT_EQ(a.fileSize, c.fileSize);
        EXPECT_EQ(a.streamNumber, c.streamNumber);
        EXPECT_EQ(a.audioPayloadType, c.audioPayloadType);
        EXPECT_EQ(a.audioEncoding, c.audioEncoding);
    }
}

// With a=filesize a download shows the share of the file's bytes received.
TEST(Sdp2022, DownloadProgressByFileSize) {
    struct Case {
        std::uint64_t bytes;
        std::int32_t duration;
        std::int64_t fileSize;
        const char* text;
        int pos, max;
    } cases[] = {
        {0, 600, 1000000, "00:00:00/00:10:00", 0, 600},
        {250000, 600, 1000000, "00:02:30/00:10:00", 150, 600},
        {2000000, 600, 1000000, "00:10:00/00:10:00", 600, 600}, // held at the end
        {512000, 0, 1024000, "500 KB/1000 KB", 50, 100},          // no length: per cent
    };
    for (const Case& c : cases) {
        StreamFigures f;
        f.bytes = c.bytes;
        f.streamSeconds = 5; // the stream's time is not what counts
        const ProgressShown p = ProgressFor(f, true, c.duration, c.fileSize);
        EXPECT_EQ(p.text, std::optional<std::string>(c.text)) << c.bytes;
        EXPECT_EQ(p.pos, c.pos) << c.bytes;
        EXPECT_EQ(p.max, c.max) << c.bytes;
    }
    // A live view is never a share of a file.
    StreamFigures f;
    f.elapsed = 3;
    EXPECT_EQ(ProgressFor(f, false, 600, 1000).text, std::optional<std::string>("00:00:03/12:00:00"));
}

} // namespace
