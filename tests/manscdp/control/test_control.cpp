// Control bodies: the pan-tilt-zoom code, every control entry byte for byte,
// drag zoom, the drag reset by pan-tilt-zoom builds and the buffer limit.

#include "BodyHarness.h"
#include "manscdp/control/PtzCode.h"

#include <gtest/gtest.h>

TEST(PtzCode, WorkedValues) {
    EXPECT_EQ(PtzTextForRow(1, 192, 1), "A50F0108C000007D");  // up at 192
    EXPECT_EQ(PtzTextForRow(9, 192, 1), "A50F0100C0000075");  // stop at 192
    EXPECT_EQ(PtzTextForRow(12, 192, 1), "A50F008100010036"); // set preset 1
    EXPECT_EQ(PtzTextForRow(13, 192, 1), "A50F008200010037"); // go to preset 1
}

TEST(PtzCode, EveryCommandCodeWithItsChecksum) {
    // Hand-computed: motion A5+0F+01+code+20, presets A5+0F+00+code+00+number.
    struct Case {
        int row;
        int number;
        const char* text;
    } cases[] = {
        {1, 0, "A50F0108200000DD"},    {2, 0, "A50F0104200000D9"},  {3, 0, "A50F0102200000D7"},
        {4, 0, "A50F0101200000D6"},    {5, 0, "A50F0110200000E5"},  {6, 0, "A50F0120200000F5"},
        {7, 0, "A50F014220000017"},    {8, 0, "A50F014120000016"},  {9, 0, "A50F0100200000D5"},
        {12, 255, "A50F008100FF0034"}, {13, 7, "A50F00820007003D"}, {14, 1, "A50F008300010038"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PtzTextForRow(c.row, 0x20, static_cast<std::uint8_t>(c.number)), c.text)
            << "row " << c.row;
    // Rows without a code: end live view, key frame, home position, drag zoom.
    for (int row : {0, 10, 11, 15, 16, 17, -1})
        EXPECT_EQ(PtzTextForRow(row, 1, 1), "") << row;
    // The checksum wraps: speed 255 on focus near sums to 0x1F6.
    EXPECT_EQ(PtzTextForRow(7, 255, 0), "A50F0142FF0000F6");
}

TEST(ControlBodies, SignallingEntries) {
    BodyHarness h;
    EXPECT_EQ(h.Signalling(3),
              Expected("Control", "DeviceControl", 10, {" <TeleBoot>Boot</TeleBoot>"}));
    EXPECT_EQ(h.Signalling(4),
              Expected("Control", "DeviceControl", 11, {" <GuardCmd>SetGuard</GuardCmd>"}));
    EXPECT_EQ(h.Signalling(5),
              Expected("Control", "DeviceControl", 12, {" <GuardCmd>ResetGuard</GuardCmd>"}));
    EXPECT_EQ(h.Signalling(6), Expected("Control", "DeviceControl", 13,
                                        {" <AlarmCmd>ResetAlarm</AlarmCmd>", " <Info>",
                                         "  <AlarmMethod>2</AlarmMethod>", " </Info>"}));
    ASSERT_EQ(h.sent.size(), 4u);
    for (const auto& s : h.sent)
        EXPECT_EQ(s.first, kKindControl);
    // Queries of the same list keep the envelope alone.
    EXPECT_EQ(h.Signalling(0), Expected("Query", "DeviceInfo", 14, {}));
}

TEST(ControlBodies, RecordingFromTheIdleChannelSet) {
    BodyHarness h;
    EXPECT_EQ(h.Media(0, 4),
              Expected("Control", "DeviceControl", 10, {" <RecordCmd>Record</RecordCmd>"}));
    EXPECT_EQ(h.Media(0, 5),
              Expected("Control", "DeviceControl", 11, {" <RecordCmd>StopRecord</RecordCmd>"}));
}

TEST(ControlBodies, PanTiltZoomRowsCarryTheSpeed) {
    BodyHarness h;
    h.bodies.SetControl(192, 1, "", 704, 576);
    const char* codes[] = {"A50F0108C000007D", "A50F0104C0000079", "A50F0102C0000077",
                           "A50F0101C0000076", "A50F0110C0000085", "A50F0120C0000095",
                           "A50F0142C00000B7", "A50F0141C00000B6", "A50F0100C0000075"};
    for (int row = 1; row <= 9; ++row) {
        const std::string line = std::string(" <PTZCmd>") + codes[row - 1] + "</PTZCmd>";
        EXPECT_EQ(h.Media(1, row), Expected("Control", "DeviceControl", 9 + row, {line.c_str()}))
            << "row " << row;
    }
}

TEST(ControlBodies, KeyFrameHomePositionAndPresets) {
    BodyHarness h;
    h.bodies.SetControl(50, 1, "gate", 704, 576);
    EXPECT_EQ(h.Media(1, 10),
              Expected("Control", "DeviceControl", 10, {" <IFameCmd>Send</IFameCmd>"}));
    EXPECT_EQ(h.Media(1, 11),
              Expected("Control", "DeviceControl", 11,
                       {" <HomePosition>", "  <Enabled>0</Enabled>", "  <ResetTime>10</ResetTime>",
                        "  <PresetIndex>6</PresetIndex>", " </HomePosition>"}));
    EXPECT_EQ(h.Media(1, 12), Expected("Control", "DeviceControl", 12,
                                       {" <PTZCmd>A50F008100010036</PTZCmd>", " <Info>",
                                        "  <ControlPriority>5</ControlPriority>",
                                        "  <Name>gate</Name>", " </Info>"}));
    EXPECT_EQ(h.Media(1, 13), Expected("Control", "DeviceControl", 13,
                                       {" <PTZCmd>A50F008200010037</PTZCmd>", " <Info>",
                                        "  <ControlPriority>5</ControlPriority>",
                                        "  <Name>gate</Name>", " </Info>"}));
    // An empty name gives an empty Name element.
    h.bodies.SetControl(50, 3, "", 704, 576);
    EXPECT_EQ(h.Media(1, 14),
              Expected("Control", "DeviceControl", 14,
                       {" <PTZCmd>A50F00830003003A</PTZCmd>", " <Info>",
                        "  <ControlPriority>5</ControlPriority>", "  <Name></Name>", " </Info>"}));
}

TEST(DragZoom, BothDirectionsAndTheClick) {
    BodyHarness h;
    h.bodies.SetControl(50, 1, "", 704, 576);
    const DragRect right{100, 50, 300, 150};
    EXPECT_EQ(DragZoomRow(right), kRowDragZoomIn);
    h.bodies.SetDrag(right);
    EXPECT_EQ(h.Media(1, 15),
              Expected("Control", "DeviceControl", 10,
                       {" <DragZoomIn>", "  <Length>576</Length>", "  <Width>704</Width>",
                        "  <MidPointX>200</MidPointX>", "  <MidPointY>100</MidPointY>",
                        "  <LengthX>200</LengthX>", "  <LengthY>100</LengthY>", " </DragZoomIn>"}));
    const DragRect left{300, 150, 100, 50};
    EXPECT_EQ(DragZoomRow(left), kRowDragZoomOut);
    h.bodies.SetDrag(left);
    EXPECT_EQ(h.Media(1, 16), Expected("Control", "DeviceControl", 11,
                                       {" <DragZoomOut>", "  <Length>576</Length>",
                                        "  <Width>704</Width>", "  <MidPointX>200</MidPointX>",
                                        "  <MidPointY>100</MidPointY>", "  <LengthX>200</LengthX>",
                                        "  <LengthY>100</LengthY>", " </DragZoomOut>"}));
    const DragRect click{40, 30, 40, 30};
    EXPECT_EQ(DragZoomRow(click), kRowDragZoomOut);
    h.bodies.SetDrag(click);
    EXPECT_EQ(h.Media(1, 16),
              Expected("Control", "DeviceControl", 12,
                       {" <DragZoomOut>", "  <Length>576</Length>", "  <Width>704</Width>",
                        "  <MidPointX>40</MidPointX>", "  <MidPointY>30</MidPointY>",
                        "  <LengthX>0</LengthX>", "  <LengthY>0</LengthY>", " </DragZoomOut>"}));
}

TEST(DragZoom, MidPointsTruncateTowardZeroOutsideTheView) {
    BodyHarness h;
    h.bodies.SetControl(50, 1, "", 320, 180);
    h.bodies.SetDrag({-3, -5, 0, 2}); // released left of and above the view
    EXPECT_EQ(h.Media(1, 15),
              Expected("Control", "DeviceControl", 10,
                       {" <DragZoomIn>", "  <Length>180</Length>", "  <Width>320</Width>",
                        "  <MidPointX>-1</MidPointX>", "  <MidPointY>-1</MidPointY>",
                        "  <LengthX>3</LengthX>", "  <LengthY>7</LengthY>", " </DragZoomIn>"}));
}

TEST(DragZoom, PanTiltZoomAndPresetBuildsClearTheRectangle) {
    BodyHarness h;
    h.bodies.SetControl(50, 1, "", 704, 576);
    for (int row : {1, 9, 12, 13, 14}) {
        h.bodies.SetDrag({1, 2, 3, 4});
        h.Media(1, row);
        EXPECT_EQ(h.bodies.Drag(), DragRect{}) << "row " << row;
    }
    // Other rows keep it.
    for (int row : {10, 11, 15, 16}) {
        h.bodies.SetDrag({1, 2, 3, 4});
        h.Media(1, row);
        EXPECT_EQ(h.bodies.Drag(), (DragRect{1, 2, 3, 4})) << "row " << row;
    }
    // A drag zoom chosen from the list after a pan-tilt-zoom build uses zeros.
    h.Media(1, 1);
    const std::string out = h.Media(1, 15);
    EXPECT_NE(out.find("  <MidPointX>0</MidPointX>\r\n  <MidPointY>0</MidPointY>\r\n  "
                       "<LengthX>0</LengthX>\r\n  <LengthY>0</LengthY>\r\n"),
              std::string::npos)
        << out;
}

TEST(BufferLimit, PresetNameTooLongIsRefusedAndNothingSent) {
    BodyHarness h;
    std::vector<std::string> refusals;
    h.bodies.onRefused = [&](const std::string& m) { refusals.push_back(m); };
    h.bodies.SetControl(50, 1, "", 704, 576);
    const std::size_t base = h.Media(1, 12).size(); // SN 10, empty name
    ASSERT_GT(base, 0u);
    // SN 11 and 12 have as many digits as SN 10: the room left is exact.
    const std::size_t room = kMessageRoom - base;
    h.bodies.SetControl(50, 1, std::string(room, 'n'), 704, 576);
    const std::string fits = h.Media(1, 12);
    EXPECT_EQ(fits.size(), kMessageRoom);
    EXPECT_NE(fits.find("<Name>" + std::string(room, 'n') + "</Name>"), std::string::npos);
    EXPECT_TRUE(refusals.empty());

    const std::size_t sentBefore = h.sent.size();
    const std::string shownBefore = h.builder.MessageText();
    h.bodies.SetControl(50, 1, std::string(room + 1, 'n'), 704, 576);
    EXPECT_EQ(h.Media(1, 12), "");
    EXPECT_EQ(h.sent.size(), sentBefore);
    EXPECT_EQ(h.builder.MessageText(), shownBefore); // the message box keeps the last text
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_NE(refusals[0].find("2048"), std::string::npos) << refusals[0];
    // The refused build took its sequence number; the next one goes out.
    h.bodies.SetControl(50, 1, "ok", 704, 576);
    EXPECT_NE(h.Media(1, 12).find("<SN>13</SN>"), std::string::npos);
}
