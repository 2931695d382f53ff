#pragma once
// What the operator has typed and set in the window, handed to the core with
// each operator action as one struct: the window reads its controls, the core
// validates and uses them.

#include "manscdp/control/ControlBodies.h"
#include "manscdp/gb2022/RowInputs.h"

#include <string>

struct OperatorInputs {
    std::string speed;        // box 1065 (0 to 255; the slider keeps the byte)
    std::string address;      // box 1058, pan-tilt-zoom address byte (0 to 254)
    std::string presetNumber; // box 1104 (0 to 255)
    std::string presetName;   // box 1105, UTF-8
    int viewWidth = 0;        // client area of the video view 1007
    int viewHeight = 0;
    DragRect drag;            // the last drag over the video view (VideoDragged)
    std::string customText;   // edit 1091, UTF-8 with CR LF line ends
    bool customMode = false;  // check box 1092 "自定义消息"
    RowValues rowValues;      // the clicked row's own inputs (its dialog or a script)
};
