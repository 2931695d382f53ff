#include "manscdp/control/ControlBodies.h"

#include "manscdp/control/PtzCode.h"

bool AppendSignallingControl(int row, XMLNode& root) {
    switch (row) {
    case 3:
        root.AddTextChild("TeleBoot", "Boot");
        return true;
    case 4:
        root.AddTextChild("GuardCmd", "SetGuard");
        return true;
    case 5:
        root.AddTextChild("GuardCmd", "ResetGuard");
        return true;
    case 6: {
        root.AddTextChild("AlarmCmd", "ResetAlarm");
        XMLNode info = root.AddChild("Info");
        info.AddTextChild("AlarmMethod", "2");
        return true;
    }
    default:
        return false;
    }
}

namespace {

void AppendDragZoom(const char* name, bool in, const ControlInputs& c, XMLNode& root) {
    const DragRect& r = c.drag;
    XMLNode z = root.AddChild(name);
    z.AddIntChild("Length", c.viewHeight);
    z.AddIntChild("Width", c.viewWidth);
    // Integer division truncates toward zero, as the device expects. The sums
    // are widened so that extreme coordinates cannot overflow.
    z.AddIntChild("MidPointX", static_cast<int>((static_cast<long long>(r.x1) + r.x2) / 2));
    z.AddIntChild("MidPointY", static_cast<int>((static_cast<long long>(r.y1) + r.y2) / 2));
    z.AddIntChild("LengthX", in ? r.x2 - r.x1 : r.x1 - r.x2);
    z.AddIntChild("LengthY", in ? r.y2 - r.y1 : r.y1 - r.y2);
}

} // namespace

ControlOutcome AppendMediaControl(int set, int row, const ControlInputs& in, XMLNode& root) {
    ControlOutcome out;
    if (set == 0) {
        if (row == kRowStartRecord)
            root.AddTextChild("RecordCmd", "Record");
        else if (row == kRowStopRecord)
            root.AddTextChild("RecordCmd", "StopRecord");
        else
            return out;
        out.appended = true;
        return out;
    }
    if (set != 1) return out;
    if (IsPtzMotionRow(row) || IsPtzPresetRow(row)) {
        root.AddTextChild("PTZCmd", PtzTextForRow(row, in.speed, in.presetNumber).c_str());
        if (IsPtzPresetRow(row)) {
            XMLNode info = root.AddChild("Info");
            info.AddTextChild("ControlPriority", "5");
            info.AddTextChild("Name", in.presetName.c_str());
        }
        out.appended = true;
        out.clearDrag = true;
        return out;
    }
    switch (row) {
    case kRowForceKeyFrame:
        root.AddTextChild("IFameCmd", "Send");
        break;
    case kRowHomePosition: {
        XMLNode h = root.AddChild("HomePosition");
        h.AddTextChild("Enabled", "0");
        h.AddTextChild("ResetTime", "10");
        h.AddTextChild("PresetIndex", "6");
        break;
    }
    case kRowDragZoomIn:
        AppendDragZoom("DragZoomIn", true, in, root);
        break;
    case kRowDragZoomOut:
        AppendDragZoom("DragZoomOut", false, in, root);
        break;
    default:
        return out;
    }
    out.appended = true;
    return out;
}

int DragZoomRow(const DragRect& r) {
    return static_cast<long long>(r.x2) - r.x1 > 0 ? kRowDragZoomIn : kRowDragZoomOut;
}
