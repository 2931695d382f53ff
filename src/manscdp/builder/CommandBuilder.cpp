#include "manscdp/builder/CommandBuilder.h"

#include "base/TextCodec.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

const CommandEntry* CommandBuilder::Entry(int list, int row) const {
    auto t = list == kListSignalling ? SignallingTable() : MediaSet(mediaSet_);
    if (row < 0 || static_cast<std::size_t>(row) >= t.size()) return nullptr;
    return &t[row];
}

const CommandEntry* CommandBuilder::Select(int list, int row, std::optional<int>& untick) {
    untick.reset();
    const CommandEntry* e = Entry(list, row);
    if (!e) return nullptr;
    if (selected_ >= 0) untick = selected_;
    selected_ = row;
    list_ = list;
    sendKind_ = e->kind;
    label_ = e->label;
    return e;
}

void CommandBuilder::BuildEnvelope(const CommandEntry& e, const std::string& deviceId) {
    std::memset(buffer_, 0, sizeof buffer_);
    root_ = XMLNode::CreateTop(RootForKind(e.kind));
    description_ = std::string(e.label) + "\n";
    root_.AddTextChild("CmdType", e.command);
    root_.AddIntChild("SN", sn_++);
    // At most 31 characters of the identifier fit the device's field.
    root_.AddTextChild("DeviceID", deviceId.substr(0, 31).c_str());
}

void CommandBuilder::SetReadyText(const CommandEntry& e, std::string_view text) {
    std::memset(buffer_, 0, sizeof buffer_);
    root_ = XMLNode();
    description_ = std::string(e.label) + "\n";
    std::memcpy(buffer_, text.data(), std::min(text.size(), sizeof buffer_ - 1));
}

CommandBuilder::Result CommandBuilder::Finish(bool customMode) {
    Result r;
    if (buffer_[0] == '\0') {
        if (root_.ChildCount() == 0) return r;
        int len = 0;
        char* tree = root_.Serialize(&len);
        // Chinese text (a preset's name, a configured name) goes out in
        // GB18030 bytes (a superset of what GB2312 devices read), declared
        // GB18030 under 2022 and GB2312 under 2016; an ASCII body keeps the
        // plain declaration.
        std::string text = tree ? tree : "";
        if (TextCodec::HasNonAscii(text))
            text = TextCodec::OperatorTextToBody(std::string("<?xml version=\"1.0\" encoding=\"") +
                                                 DeclaredEncoding() + "\"?>\r\n" + text);
        else
            text = "<?xml version=\"1.0\"?>\r\n" + text;
        // The buffer holds 2047 characters; a longer body is cut, never overrun.
        std::snprintf(buffer_, sizeof buffer_, "%s\r\n", text.c_str());
        std::free(tree);
        root_ = XMLNode();
    }
    messageText_ = buffer_;
    r.shown = true;
    r.text = messageText_;
    r.kind = sendKind_;
    r.label = label_;
    r.send = !customMode;
    return r;
}

CommandBuilder::Result CommandBuilder::Edited(std::string text) {
    messageText_ = text;
    Result r;
    r.send = true;
    r.kind = sendKind_;
    r.label = label_;
    r.text = std::move(text);
    return r;
}
