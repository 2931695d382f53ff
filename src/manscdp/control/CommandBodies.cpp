#include "manscdp/control/CommandBodies.h"

#include "manscdp/search/CDlgSearch.h"

#include <cstring>

namespace {

constexpr int kList_Signalling = 0;
constexpr int kList_Media = 1;
constexpr int kRowRecordSearch = 3; // media set 0 "文件检索"
constexpr char kDeclaration[] = "<?xml version=\"1.0\"?>\r\n";

// 设备配置 offers the settings' registration time and heartbeat period where
// the operator left them empty: values the operator set, never our own.
RowValues WithSettings(int row, const CommandInputs& in) {
    RowValues v = in.rowValues;
    if (row != 7) return v;
    auto offer = [&v](const char* key, int value) {
        if (!RowValue(v, key).empty()) return;
        // The dialog hands every box, empty ones too: the empty one gives way.
        std::erase_if(v, [key](const auto& p) { return p.first == key; });
        v.emplace_back(key, std::to_string(value));
    };
    offer("Expiration", in.config.expiration);
    offer("HeartBeatInterval", in.config.heartBeatInterval);
    return v;
}

} // namespace

BodyOutcome AppendCommandBody(int list, int set, int row, XMLNode& root, const CommandInputs& in) {
    BodyOutcome out;
    if (root.IsEmpty()) return out;
    if (list == kList_Signalling) {
        if (RowBody b = AppendRowBody(row, WithSettings(row, in), in.edition, root); b.handled) {
            out.appended = b.appended;
            if (!b.appended) {
                out.refused = true;
                out.message = b.refusal;
                root = XMLNode();
                return out;
            }
        } else {
            out.appended = AppendSignallingControl(row, root) || AppendConfigBody(row, in.config, root);
        }
    } else if (list == kList_Media) {
        if (set == 0 && row == kRowRecordSearch) {
            if (in.search) {
                in.search->AppendRecordInfo(root);
                out.appended = true;
            }
        } else {
            ControlOutcome c = AppendMediaControl(set, row, in.control, root);
            out.appended = c.appended;
            out.clearDrag = c.clearDrag;
        }
    }
    if (!out.appended) return out;
    // Only operator texts (the preset name, a row's inputs) can make a body this long.
    const std::size_t length = std::strlen(kDeclaration) + root.Serialize().size() + 2;
    if (length > kMessageRoom) {
        out.refused = true;
        out.message = "消息长度 " + std::to_string(length) +
                      " 字节, 超出 2048 字节消息缓冲区 (最多 " + std::to_string(kMessageRoom) +
                      " 字节), 请缩短预置点名称。消息未发送。";
        root = XMLNode();
    }
    return out;
}

CommandBodies::CommandBodies(const CDlgSearch* search) {
    in_.search = search;
}

void CommandBodies::SetControl(std::uint8_t speed, std::uint8_t presetNumber,
                               const std::string& presetName, int viewWidth, int viewHeight) {
    std::lock_guard<std::mutex> lk(mutex_);
    in_.control.speed = speed;
    in_.control.presetNumber = presetNumber;
    in_.control.presetName = presetName;
    in_.control.viewWidth = viewWidth;
    in_.control.viewHeight = viewHeight;
}

void CommandBodies::SetSettings(int expiration, int heartBeatInterval) {
    std::lock_guard<std::mutex> lk(mutex_);
    in_.config.expiration = expiration;
    in_.config.heartBeatInterval = heartBeatInterval;
}

void CommandBodies::SetClock(WallClock clock) {
    std::lock_guard<std::mutex> lk(mutex_);
    in_.config.clock = std::move(clock);
}

void CommandBodies::SetDrag(const DragRect& r) {
    std::lock_guard<std::mutex> lk(mutex_);
    in_.control.drag = r;
}

void CommandBodies::SetRowValues(RowValues values) {
    std::lock_guard<std::mutex> lk(mutex_);
    in_.rowValues = std::move(values);
}

void CommandBodies::SetEdition(GbEdition e) {
    std::lock_guard<std::mutex> lk(mutex_);
    in_.edition = e;
}

DragRect CommandBodies::Drag() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return in_.control.drag;
}

CommandInputs CommandBodies::Inputs() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return in_;
}

void CommandBodies::Append(int list, int set, int row, XMLNode& root) {
    BodyOutcome out;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        out = AppendCommandBody(list, set, row, root, in_);
        // Every pan-tilt-zoom and preset build forgets the last drag.
        if (out.clearDrag) in_.control.drag = DragRect{};
    }
    if (out.refused && onRefused) onRefused(out.message);
}
