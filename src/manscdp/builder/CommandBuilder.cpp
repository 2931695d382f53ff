#include "manscdp/builder/CommandBuilder.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

void CommandBuilder::SetHooks(Hooks h) {
    std::lock_guard<std::mutex> lk(mutex_);
    hooks_ = std::move(h);
}

void CommandBuilder::SetView(ICommandView* v) {
    std::lock_guard<std::mutex> lk(mutex_);
    view_ = v;
}

// cmds: the command bodies plug in without touching the other hooks.
void CommandBuilder::SetBodyHook(std::function<void(int, int, int, XMLNode&)> f) {
    std::lock_guard<std::mutex> lk(mutex_);
    hooks_.appendBody = std::move(f);
}

void CommandBuilder::FillSignalling() {
    std::lock_guard<std::mutex> lk(mutex_);
    auto t = SignallingTable();
    if (view_) view_->FillCommandList(kListSignalling, {t.begin(), t.end()});
}

void CommandBuilder::FillMedia(int set) {
    std::lock_guard<std::mutex> lk(mutex_);
    mediaSet_ = set;
    auto t = MediaSet(set);
    if (view_) view_->FillCommandList(kListMedia, {t.begin(), t.end()});
}

void CommandBuilder::ClearChecks(int list) {
    std::lock_guard<std::mutex> lk(mutex_);
    if (view_ && selected_ >= 0) view_->SetCommandChecked(list, selected_, false);
}

const CommandEntry* CommandBuilder::EntryLocked(int list, int row) const {
    auto t = list == kListSignalling ? SignallingTable() : MediaSet(mediaSet_);
    if (row < 0 || static_cast<std::size_t>(row) >= t.size()) return nullptr;
    return &t[row];
}

void CommandBuilder::ClickRow(int list, int row) {
    Pending p;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        std::optional<std::string> device = hooks_.deviceId ? hooks_.deviceId() : std::nullopt;
        if (!device) return; // nothing is built before a registration
        const CommandEntry* e = EntryLocked(list, row);
        if (!e) return;
        if (view_ && selected_ >= 0) {
            view_->SetCommandChecked(kListSignalling, selected_, false);
            view_->SetCommandChecked(kListMedia, selected_, false);
        }
        selected_ = row;
        list_ = list;
        sendKind_ = e->kind;
        label_ = e->label;
        if (view_) view_->SetCommandChecked(list, row, true);

        if (list == kListMedia && (e->kind == kKindInvite || e->kind == kKindInfo)) {
            // Stream offers and playback control texts come ready-made.
            std::memset(buffer_, 0, sizeof buffer_);
            root_ = XMLNode();
            description_ = std::string(e->label) + "\n";
            if (hooks_.mediaText) hooks_.mediaText(mediaSet_, row, buffer_, sizeof buffer_ - 1);
            buffer_[sizeof buffer_ - 1] = '\0';
        } else {
            BuildEnvelopeLocked(*e, *device);
            if (hooks_.appendBody) hooks_.appendBody(list, mediaSet_, row, root_);
        }
        p = FinishLocked();
    }
    Deliver(p);
}

void CommandBuilder::BuildEnvelope(int row) {
    std::lock_guard<std::mutex> lk(mutex_);
    const CommandEntry* e = EntryLocked(list_, row);
    if (!e) return;
    std::optional<std::string> device = hooks_.deviceId ? hooks_.deviceId() : std::nullopt;
    BuildEnvelopeLocked(*e, device.value_or(std::string()));
}

void CommandBuilder::BuildEnvelopeLocked(const CommandEntry& e, const std::string& deviceId) {
    std::memset(buffer_, 0, sizeof buffer_);
    root_ = XMLNode::CreateTop(RootForKind(e.kind));
    description_ = std::string(e.label) + "\n";
    root_.AddTextChild("CmdType", e.command);
    root_.AddIntChild("SN", sn_++);
    // At most 31 characters of the identifier fit the device's field.
    root_.AddTextChild("DeviceID", deviceId.substr(0, 31).c_str());
}

void CommandBuilder::FinishAndSend() {
    Pending p;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        p = FinishLocked();
    }
    Deliver(p);
}

CommandBuilder::Pending CommandBuilder::FinishLocked() {
    Pending p;
    if (buffer_[0] == '\0') {
        if (root_.ChildCount() == 0) return p;
        int len = 0;
        char* tree = root_.Serialize(&len);
        // The buffer holds 2047 characters; a longer body is cut, never overrun.
        std::snprintf(buffer_, sizeof buffer_, "%s%s\r\n", "<?xml version=\"1.0\"?>\r\n",
                      tree ? tree : "");
        std::free(tree);
        root_ = XMLNode();
    }
    messageText_ = buffer_;
    if (view_) view_->SetMessageText(messageText_);
    if (custom_) return p;
    p.send = true;
    p.kind = sendKind_;
    p.text = messageText_;
    p.typeText = label_;
    return p;
}

void CommandBuilder::Deliver(const Pending& p) {
    if (!p.send) return;
    Hooks h;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        h = hooks_;
    }
    if (h.setTypeText) h.setTypeText(p.typeText);
    if (h.send) h.send(p.kind, p.text);
}

void CommandBuilder::SetCustomMode(bool on) {
    std::lock_guard<std::mutex> lk(mutex_);
    custom_ = on;
}

bool CommandBuilder::CustomMode() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return custom_;
}

int CommandBuilder::PressSend(const std::string& editedText) {
    if (!CustomMode()) return -1;
    return SendEdited(editedText);
}

int CommandBuilder::SendEdited(const std::string& editedText) {
    Hooks h;
    int kind;
    std::string label;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        messageText_ = editedText;
        kind = sendKind_;
        label = label_;
        h = hooks_;
    }
    if (h.setTypeText) h.setTypeText(label);
    return h.send ? h.send(kind, editedText) : -1;
}

int CommandBuilder::NextSequenceNumber() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return sn_;
}
int CommandBuilder::SendKind() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return sendKind_;
}
int CommandBuilder::MediaSetNumber() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return mediaSet_;
}
int CommandBuilder::SelectedRow() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return selected_;
}
int CommandBuilder::CurrentList() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return list_;
}
std::string CommandBuilder::MessageText() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return messageText_;
}
std::string CommandBuilder::Description() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return description_;
}
