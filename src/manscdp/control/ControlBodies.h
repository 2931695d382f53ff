#pragma once
// Elements of the DeviceControl bodies that follow the envelope: reboot,
// arming, alarm reset, recording, pan-tilt-zoom, presets, home position,
// key-frame request and drag zoom.

#include "manscdp/xml/XMLNode.h"

#include <cstdint>
#include <string>

// Where the left button went down (x1, y1) and came up (x2, y2) over the video
// view, in its client coordinates.
struct DragRect {
    int x1 = 0, y1 = 0, x2 = 0, y2 = 0;
    bool operator==(const DragRect&) const = default;
};

// The operator's pan-tilt-zoom inputs as read from the window.
struct ControlInputs {
    std::uint8_t speed = 0;
    std::uint8_t presetNumber = 1;
    std::string presetName;
    DragRect drag;
    int viewWidth = 0; // client area of the video view
    int viewHeight = 0;
};

// Media set 1 rows of this layer.
constexpr int kRowForceKeyFrame = 10;
constexpr int kRowHomePosition = 11;
constexpr int kRowDragZoomIn = 15;
constexpr int kRowDragZoomOut = 16;
// Media set 0 rows.
constexpr int kRowStartRecord = 4;
constexpr int kRowStopRecord = 5;

// Signalling rows 3 to 6. False for any other row (nothing appended).
bool AppendSignallingControl(int row, XMLNode& root);

// What a media-list build did.
struct ControlOutcome {
    bool appended = false;
    bool clearDrag = false; // a pan-tilt-zoom or preset code was built
};
// Media set 0 rows 4, 5 and set 1 rows 1 to 16.
ControlOutcome AppendMediaControl(int set, int row, const ControlInputs& in, XMLNode& root);

// Which drag-zoom row a released drag selects: in when dragged to the right.
int DragZoomRow(const DragRect& r);
