// The core's media rows without a network: offers and playback control go
// through the media session to the endpoint with their kinds, dialogs and
// content types, also when edited by hand; the lists follow the streams.

#include "app/core/CoreRig.h"
#include "base/TextCodec.h"

#include <gtest/gtest.h>

namespace {

constexpr const char* kDev = "34010000001320000001";
constexpr const char* kChannel = "34010000001310000001";

class CoreMedia : public ::testing::Test {
protected:
    void SetUp() override {
        rig.core->Initialise();
        // "TCP actpass": offers go out, no receiver is ever started.
        rig.core->Settings().mediaTransport = 3;
        rig.core->Settings().mediaAddress = "10.1.1.1";
        rig.core->Settings().mediaPort = 6000;
        rig.core->OnDeviceRegistered({kDev, "127.0.0.1", 5060});
        Receive(
            "<?xml version=\"1.0\"?>\r\n<Response><CmdType>Catalog</CmdType><SN>10</SN><SumNum>1"
            "</SumNum><DeviceList Num=\"1\"><Item><DeviceID>" +
            std::string(kChannel) + "</DeviceID></Item></DeviceList></Response>\r\n");
        Receive("<?xml version=\"1.0\"?>\r\n<Response><CmdType>RecordInfo</CmdType><SN>5</SN>"
                "<RecordList Num=\"1\"><Item><DeviceID>" +
                std::string(kChannel) +
                "</DeviceID><FilePath>/f0</FilePath><StartTime>2024-05-06T10:00:00</StartTime>"
                "<EndTime>2024-05-06T10:05:00</EndTime></Item></RecordList></Response>\r\n");
        const TreeItem tree = rig.core->TreeSnapshot();
        const TreeItem& channel = tree.children.at(0).children.at(0);
        channel_ = channel.item;
        recording_ = channel.children.at(0).item;
    }
    void Receive(const std::string& body) {
        LoggedMessage m;
        m.direction = kLogReceived;
        m.peerUser = kDev;
        m.head = "MESSAGE sip:p SIP/2.0\r\n\r\n\n";
        m.body = body;
        rig.core->OnMessageLogged(m);
    }
    std::size_t MediaRows() {
        std::lock_guard<std::mutex> lk(rig.view.m);
        return rig.view.lists[kListMedia].size();
    }
    // After a download (call 100, dialog 7) and a live view (101, 8) were
    // answered: each cancel row ends its own call.
    void CheckBothCalls();
    CoreRig rig;
    int channel_ = 0, recording_ = 0;
};

TEST_F(CoreMedia, PlaybackControlGoesAsInfoInThePlaybacksDialog) {
    rig.core->TreeClicked(recording_);
    EXPECT_EQ(rig.view.progressText, "00:00:00/00:05:00");
    ASSERT_EQ(MediaRows(), 2u);
    rig.core->ClickCommand(kListMedia, 1, {}); // 文件回放
    ASSERT_EQ(rig.Sent().size(), 1u);
    const SipRequest invite = rig.Sent()[0];
    EXPECT_EQ(invite.kind, 5);
    // The recording's channel is asked for: Request-URI, To, o= and Subject
    // name it; the request goes to its device's address.
    EXPECT_EQ(invite.body.rfind(
                  "v=0\r\no=" + std::string(kChannel) + " 0 0 IN IP4 10.1.1.1\r\ns=Playback\r\n", 0),
              0u);
    EXPECT_EQ(invite.to.id, kChannel);
    EXPECT_EQ(invite.to.port, 5060);
    EXPECT_EQ(invite.subject.rfind(std::string(kChannel) + ":", 0), 0u);
    EXPECT_NE(invite.subject.find(",34020000002000000001:0"), std::string::npos);
    // 国标版本 2022 by default: H.265 in 100 besides PS, H.264 and MPEG-4.
    EXPECT_NE(invite.body.find("m=video 6000 TCP/RTP/AVP 96 98 97 100\r\n"), std::string::npos);
    EXPECT_EQ(rig.core->TypeText(), "文件回放\n"); // the row label with its line break, as every command row
    EXPECT_EQ(MediaRows(), 9u);
    EXPECT_EQ(rig.core->LastInviteCallId(), 100);
    rig.core->OnCallAnswered(100, 7, "v=0\r\nc=IN IP4 127.0.0.1\r\nm=video 9 RTP/AVP 96\r\n");

    rig.core->ClickCommand(kListMedia, 3, {}); // 回放:暂停
    SipRequest info = rig.Sent().back();
    EXPECT_EQ(info.kind, 6);
    EXPECT_EQ(info.dialogId, 7);
    EXPECT_EQ(info.contentType, "Application/MANSRTSP");
    EXPECT_EQ(info.body, "PAUSE RTSP/1.0\r\nCSeq: 2\r\nScale: 1.0\r\nRange: npt=0-\r\n");
    // Edited by hand, it goes the same way.
    OperatorInputs in;
    in.customMode = true;
    rig.core->ClickCommand(kListMedia, 8, in); // 回放:随机, held
    EXPECT_EQ(rig.view.messageText, "PLAY RTSP/1.0\r\nCSeq: 2\r\nScale: 1.0\r\nRange: npt=10-\r\n");
    in.customText = "PLAY RTSP/1.0\r\nCSeq: 2\r\nScale: 1.0\r\nRange: npt=20-\r\n";
    ASSERT_EQ(rig.core->PressSend(in), 0);
    info = rig.Sent().back();
    EXPECT_EQ(info.kind, 6);
    EXPECT_EQ(info.dialogId, 7);
    EXPECT_EQ(info.contentType, "Application/MANSRTSP");
    EXPECT_EQ(info.body, in.customText);

    // 回放取消: the BYE, nothing else on the wire, back to set 2.
    const std::size_t sent = rig.Sent().size();
    rig.core->ClickCommand(kListMedia, 1, {});
    EXPECT_EQ(rig.Sent().size(), sent);
    EXPECT_EQ(rig.sip->ended, (std::vector<std::pair<int, int>>{{100, 7}}));
    MessageLog::RowText bye;
    ASSERT_TRUE(rig.core->Log().Row(rig.core->Log().Size() - 1, bye));
    EXPECT_EQ(bye.head.rfind("BYE ", 0), 0u);
    EXPECT_EQ(bye.typeText, "回放取消\n");
    EXPECT_EQ(MediaRows(), 2u);
    EXPECT_FALSE(rig.core->Media().playbackOpen);
}

// A download and a live view waiting for their answers at once, answered in
// the opposite order: each answer is filed under its own INVITE's call, and
// ending one leaves the other.
TEST_F(CoreMedia, TwoOffersAnsweredInTheOppositeOrderKeepTheirOwnCalls) {
    const std::string sdp = "v=0\r\nc=IN IP4 127.0.0.1\r\nm=video 9 RTP/AVP 96\r\n";
    rig.core->TreeClicked(recording_);
    rig.core->ClickCommand(kListMedia, 0, {}); // 文件下载: call 100
    rig.core->TreeClicked(channel_);
    ASSERT_EQ(MediaRows(), 6u);
    rig.core->ClickCommand(kListMedia, 0, {}); // 实时点播: call 101
    ASSERT_EQ(rig.Sent().size(), 2u);
    EXPECT_NE(rig.Sent()[0].body.find("s=Download"), std::string::npos);
    EXPECT_NE(rig.Sent()[1].body.find("s=Play"), std::string::npos);
    // Each stream offers its own receiver port.
    EXPECT_NE(rig.Sent()[0].body.find("m=video 6000 "), std::string::npos);
    EXPECT_NE(rig.Sent()[1].body.find("m=video 6004 "), std::string::npos);
    rig.core->OnCallAnswered(101, 8, sdp);
    rig.core->OnCallAnswered(100, 7, sdp);
    CheckBothCalls();
}

// The view's caption names the channel as text, whatever encoding its catalog came in.
TEST_F(CoreMedia, TheLiveViewsCaptionShowsAGbkChannelNameAsText) {
    Receive("<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<Response><CmdType>Catalog</CmdType><SN>11</SN>"
            "<SumNum>1</SumNum><DeviceList Num=\"1\"><Item><DeviceID>" +
            std::string(kChannel) + "</DeviceID><Name>" + TextCodec::Utf8ToGbk("大门") +
            "</Name></Item></DeviceList></Response>\r\n");
    const TreeItem tree = rig.core->TreeSnapshot();
    rig.core->TreeClicked(tree.children.at(0).children.at(0).item);
    rig.core->ClickCommand(kListMedia, 0, {}); // 实时点播
    std::lock_guard<std::mutex> lk(rig.view.m);
    EXPECT_EQ(rig.view.source, std::string("通道 ") + kChannel + " 大门 · 设备 " + kDev);
}

// The same in the order of the offers: an answer goes to its call, not to
// the newest offer.
TEST_F(CoreMedia, TwoOffersAnsweredInTheirOrderKeepTheirOwnCalls) {
    const std::string sdp = "v=0\r\nc=IN IP4 127.0.0.1\r\nm=video 9 RTP/AVP 96\r\n";
    rig.core->TreeClicked(recording_);
    rig.core->ClickCommand(kListMedia, 0, {}); // 文件下载: call 100
    rig.core->TreeClicked(channel_);
    rig.core->ClickCommand(kListMedia, 0, {}); // 实时点播: call 101
    rig.core->OnCallAnswered(100, 7, sdp);
    rig.core->OnCallAnswered(101, 8, sdp);
    CheckBothCalls();
}

void CoreMedia::CheckBothCalls() {

    rig.core->ClickCommand(kListMedia, 0, {}); // 点播取消
    EXPECT_EQ(rig.sip->ended, (std::vector<std::pair<int, int>>{{101, 8}}));
    EXPECT_TRUE(rig.core->Media().playbackOpen);
    rig.core->TreeClicked(recording_);
    ASSERT_EQ(MediaRows(), 9u);
    rig.core->ClickCommand(kListMedia, 3, {}); // 回放:暂停 goes to the download's dialog
    EXPECT_EQ(rig.Sent().back().kind, 6);
    EXPECT_EQ(rig.Sent().back().dialogId, 7);
    rig.core->ClickCommand(kListMedia, 0, {}); // 下载取消
    EXPECT_EQ(rig.sip->ended, (std::vector<std::pair<int, int>>{{101, 8}, {100, 7}}));
}

TEST_F(CoreMedia, AnOfferTooLongForTheBufferIsRefusedWithAMessage) {
    rig.core->Settings().mediaAddress = std::string(1000, '1');
    rig.core->TreeClicked(channel_);
    rig.core->ClickCommand(kListMedia, 0, {});
    EXPECT_TRUE(rig.Sent().empty());
    ASSERT_EQ(rig.view.messages.size(), 1u);
    EXPECT_NE(rig.view.messages[0].find("2048"), std::string::npos);
    EXPECT_EQ(MediaRows(), 6u);
    EXPECT_FALSE(rig.core->Media().livePlaying);
}

} // namespace

// The live offer follows 国标版本 and the window's 码流 choice: 2022 names
// the stream (main 0, sub 1) and offers H.265 in 100; 2016 does neither.
TEST_F(CoreMedia, LiveOfferFollowsTheEditionAndTheStreamChoice) {
    struct Case {
        const char* edition;
        int stream;
        const char* media;
        const char* streamLine;
    } cases[] = {
        {"2022", 1, "m=video 6000 TCP/RTP/AVP 96 98 97 100\r\n", "a=streamnumber:1\r\n"},
        {"", 0, "m=video 6000 TCP/RTP/AVP 96 98 97 100\r\n", "a=streamnumber:0\r\n"},
        {"2016", 1, "m=video 6000 TCP/RTP/AVP 96 98 97\r\n", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.edition) + " stream " + std::to_string(c.stream));
        rig.core->Settings().gbEdition = c.edition;
        rig.core->SetLiveStream(c.stream);
        rig.core->TreeClicked(channel_);
        const std::size_t before = rig.Sent().size();
        rig.core->ClickCommand(kListMedia, 0, {}); // 实时点播
        ASSERT_EQ(rig.Sent().size(), before + 1);
        const std::string body = rig.Sent().back().body;
        EXPECT_NE(body.find(c.media), std::string::npos) << body;
        if (c.streamLine)
            EXPECT_NE(body.find(c.streamLine), std::string::npos) << body;
        else
            EXPECT_EQ(body.find("a=streamnumber"), std::string::npos) << body;
        rig.core->ClickCommand(kListMedia, 0, {}); // set 1: ends the live view
    }
}
