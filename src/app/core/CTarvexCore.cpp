#include "app/core/CTarvexCore.h"
#include "manscdp/gb2022/Gb2022Bodies.h"
#include "manscdp/gb2022/Gb2022Summary.h"

#include "base/TextCodec.h"
#include "sip/endpoint/CSIP.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <strings.h>

namespace {

constexpr const char* kContentType = "application/MANSCDP+xml\r\n";
constexpr const char* kNotRegistered = "提示\r\n设备未注册到服务器";
constexpr int kRestartPauseMs = 1000;
constexpr auto kFollowUpPause = std::chrono::milliseconds(1000);
constexpr int kRowRecordSearch = 3; // media set 0 "文件检索"

std::vector<std::string> Labels(std::span<const CommandEntry> rows) {
    std::vector<std::string> out;
    out.reserve(rows.size());
    for (const auto& e : rows) out.emplace_back(e.label);
    return out;
}

bool IsKeepalive(const std::string& body) {
    if (body.find("Keepalive") == std::string::npos) return false;
    XMLNode doc = XMLNode::Parse(body.c_str());
    const char* cmd = doc.IsEmpty() ? nullptr : doc.FindText("CmdType");
    return cmd && std::strcmp(cmd, "Keepalive") == 0;
}

bool HasDeclaration(XMLNode& doc) {
    const char* name = doc.Name();
    return name && strcasecmp(name, "xml") == 0;
}

} // namespace

CTarvexCore::CTarvexCore(Parts parts)
    : settings_(std::move(parts.settings)), lister_(std::move(parts.lister)),
      wallClock_(std::move(parts.wallClock)), clock_(std::move(parts.clock)),
      search_(std::make_unique<CDlgSearch>(parts.searchIni, wallClock_)),
      keepaliveMisses_(parts.keepaliveMisses > 0 ? parts.keepaliveMisses : 3),
      sip_(std::move(parts.sip)) {
    if (!lister_) lister_ = ListLocalAdapters;
    if (parts.challengeRegister) settings_->localVerifyPassword = true;
    if (!sip_) {
        auto sip = std::make_unique<CSIP>();
        sip->clock = wallClock_;
        sip_ = std::move(sip);
    }
    inputs_.search = search_.get();
    inputs_.config.clock = wallClock_;
    registry_.ResetTree(std::string());
    CMediaSession::Options media;
    // An answer's receiver may connect to the device for seconds: not on m_hThread.
    media.startWorker = true;
    media_ = std::make_unique<CMediaSession>(decoder_, nullptr, mediaSignal_, &mediaView_, media);
    if (parts.timerThread) timer_ = std::thread([this] { TimerLoop(); });
}

CTarvexCore::~CTarvexCore() {
    *alive_ = false;
    Stop();
}

// ---------------------------------------------------------------- start-up

void CTarvexCore::Initialise() {
    // Speed slider: the speed byte starts at the settings' pan-tilt-zoom speed.
    speedByte_ = settings_->ptzSpeed;
    if (ICoreView* v = view_) v->ShowSpeed(speedByte_);
    ResetTree(settings_->localId);
    {
        std::lock_guard<std::mutex> lk(mutex_);
        keepaliveInterval_ =
            std::chrono::seconds(settings_->heartbeatPeriod > 0 ? settings_->heartbeatPeriod : 60);
    }
    sip_->SetContentType(kContentType);
    StartEndpoint();
    // The signalling list is filled when a device is added or clicked.
}

void CTarvexCore::ListAddresses() {
    std::vector<LocalAdapter> adapters;
    ICoreView* v = view_;
    if (!lister_(adapters)) {
        if (v) v->ShowMessage("Call to GetAdaptersInfo failed.\n");
        return;
    }
    if (v) v->ShowLocalAddresses(AddressTreeItems(adapters));
}

void CTarvexCore::StartEndpoint() {
    SipSettings s;
    s.port = settings_->localPort;
    s.address = settings_->localAddress;
    s.id = settings_->localId;
    s.domain = settings_->localDomain;
    s.registerPassword = ChallengePassword();
    s.gbVersion = GbVersionHeader(EditionSetting(settings_->gbEdition));
    startedPassword_ = s.registerPassword;
    {
        std::lock_guard<std::mutex> cmd(commandMutex_);
        lastStart_ = sip_->Start(settings_->localTransport, s, *this);
    }
    std::printf("SIP endpoint start transport %d port %d: %d\n", settings_->localTransport,
                settings_->localPort, lastStart_);
    std::fflush(stdout);
}

void CTarvexCore::ResetTree(const std::string& localId) {
    {
        std::lock_guard<std::mutex> lk(mutex_);
        localId_ = localId;
        // The records stay; the next change puts them back under the root.
        registry_.ResetTree(localId);
    }
    if (ICoreView* v = view_) v->DeviceTreeChanged();
}

void CTarvexCore::SpeedFromSlider(int pos) { SpeedFromEdit(pos); }

void CTarvexCore::SpeedFromEdit(int value) {
    speedByte_ = static_cast<std::uint8_t>(value);
    settings_->ptzSpeed = static_cast<std::uint8_t>(value);
    if (ICoreView* v = view_) v->ShowSpeed(speedByte_);
}

bool CTarvexCore::SetPtzAddress(int value) {
    if (value < 0 || value > 254) return false;
    ptzAddress_ = value;
    return true;
}

std::string CTarvexCore::InputBoxMessage(int control, const std::string& text) {
    // The number check is the settings dialog's (an int box), the range
    // message in its words; the address box stops at 254.
    std::string why = CDlgCfg::Validate(CfgField::LocalPort, text);
    const int hi = control == 1058 ? 254 : 255;
    const int v = CfgAtoi(text);
    if (why.empty() && (v < 0 || v > hi)) {
        char buf[128];
        std::snprintf(buf, sizeof buf, "请输入一个介于 %d 和 %d 之间的整数。", 0, hi);
        why = buf;
    }
    return why;
}

void CTarvexCore::AddressChecked(const std::string& address) { settings_->localAddress = address; }

void CTarvexCore::SettingsAccepted() {
    {
        std::lock_guard<std::mutex> lk(mutex_);
        keepaliveInterval_ =
            std::chrono::seconds(settings_->heartbeatPeriod > 0 ? settings_->heartbeatPeriod : 60);
    }
    const bool restart = settings_->RestartNeeded(); // also moves its reference on
    // The endpoint challenges REGISTER with the password it was started with:
    // 验证密码 or the password changed restarts it too.
    if ((!restart && ChallengePassword() == startedPassword_) || exited_) return;
    ResetTree(settings_->localId);
    {
        std::lock_guard<std::mutex> cmd(commandMutex_);
        sip_->Stop();
    }
    if (restartPending_) return; // the pending start picks up the newest settings
    restartPending_ = true;
    auto start = [this, alive = alive_] {
        if (!*alive) return;
        restartPending_ = false;
        if (!exited_) StartEndpoint();
    };
    if (ICoreView* v = view_)
        v->RunLater(kRestartPauseMs, start);
    else
        start();
}

// ---------------------------------------------------------------- ways out

void CTarvexCore::StopTimer() {
    {
        std::lock_guard<std::mutex> lk(mutex_);
        timerQuit_ = true;
    }
    timerCv_.notify_all();
    if (timer_.joinable()) timer_.join();
}

void CTarvexCore::Stop() {
    StopTimer();
    std::lock_guard<std::mutex> cmd(commandMutex_);
    if (stopped_) return;
    stopped_ = true;
    // Exit step 5: every open call gets its BYE (queued to the endpoint, which
    // sends it before it goes down), the receiver stops, the decoder is released.
    media_->Stop();
    sip_->Stop();
}

void CTarvexCore::Exit() {
    // Steps 1 to 3 and 5: the endpoint ends its thread and shuts the stack down.
    Stop();
    {
        // Step 4: the device records.
        std::lock_guard<std::mutex> lk(mutex_);
        registry_.Clear();
        schedule_.clear();
    }
    exited_ = true;
    // Step 6.
    settings_->Store();
}

// ---------------------------------------------------------------- builds

void CTarvexCore::TakeInputsLocked(const OperatorInputs& in, bool report, Outgoing& out) {
    // A box holding anything but 0 to 255 is reported (for media-list builds)
    // and the last accepted value is used; an empty text is no input.
    auto byteBox = [&](const std::string& text, std::uint8_t& value) {
        if (text.empty()) return;
        const std::string why = CDlgCfg::Validate(CfgField::PtzSpeed, text);
        if (why.empty())
            value = static_cast<std::uint8_t>(CfgAtoi(text));
        else if (report)
            out.messages.push_back(why);
    };
    std::uint8_t speed = static_cast<std::uint8_t>(speedByte_.load());
    byteBox(in.speed, speed); // the slider and the box already set the byte
    byteBox(in.presetNumber, presetNumber_);
    if (!in.address.empty()) {
        const int a = CfgAtoi(in.address);
        if (CDlgCfg::Validate(CfgField::PtzAddress, in.address).empty()) SetPtzAddress(a);
    }
    inputs_.control.speed = static_cast<std::uint8_t>(speedByte_.load());
    inputs_.control.presetNumber = presetNumber_;
    inputs_.control.presetName = in.presetName;
    inputs_.control.viewWidth = in.viewWidth;
    inputs_.control.viewHeight = in.viewHeight;
    // A missing key reads as -1; the device gets the defaults of empty settings.
    inputs_.config.expiration = settings_->registrationTime < 0 ? 3600 : settings_->registrationTime;
    inputs_.config.heartBeatInterval = settings_->heartbeatPeriod < 0 ? 60 : settings_->heartbeatPeriod;
    customMode_ = in.customMode;
    inputs_.rowValues = in.rowValues;
    inputs_.edition = EditionSetting(settings_->gbEdition);
}

void CTarvexCore::BuildLocked(int list, int row, DeviceRecord& target, Outgoing& out) {
    std::optional<int> untick;
    const CommandEntry* e = builder_.Select(list, row, untick);
    if (!e) return;
    // Only the row last acted on is ticked, across both lists.
    if (untick) {
        out.untick.push_back({kListSignalling, *untick});
        out.untick.push_back({kListMedia, *untick});
    }
    out.tick = CommandBuilder::Tick{list, row};
    const int set = builder_.MediaSetNumber();
    if (list == kListMedia && (e->kind == kKindInvite || e->kind == kKindInfo)) {
        // Built by the session (ClickMediaRow); nothing of its own goes out.
        builder_.SetReadyText(*e, {});
        typeText_ = builder_.Description();
    } else {
        builder_.BuildEnvelope(*e, target.node->id);
        // The log's type text is the description of the body being built.
        typeText_ = builder_.Description();
        const BodyOutcome body = AppendCommandBody(list, set, row, builder_.Root(), inputs_);
        // Every pan-tilt-zoom and preset build forgets the last drag.
        if (body.clearDrag) {
            inputs_.control.drag = DragRect{};
            out.clearDrag = true;
        }
        if (body.refused) out.messages.push_back(body.message);
    }
    FinishLocked(target, out);
}

SipRequest* CTarvexCore::FinishLocked(const DeviceRecord& target, Outgoing& out) {
    CommandBuilder::Result r = builder_.Finish(customMode_);
    if (!r.shown) return nullptr;
    out.shownText = r.text;
    if (!r.send) return nullptr;
    SipRequest req;
    req.kind = r.kind;
    req.body = std::move(r.text);
    req.to = target.Address();
    out.send = std::move(req);
    return &*out.send;
}

void CTarvexCore::Deliver(Outgoing& out) {
    if (ICoreView* v = view_) {
        for (const auto& m : out.messages) v->ShowMessage(m);
        if (out.fill) v->FillCommandList(out.fill->first, out.fill->second);
        if (out.mediaFill) v->FillCommandList(kListMedia, *out.mediaFill);
        for (const auto& t : out.untick) v->SetCommandChecked(t.list, t.row, false);
        if (out.tick) v->SetCommandChecked(out.tick->list, out.tick->row, true);
        if (out.shownText) v->ShowMessageText(*out.shownText);
    }
    if (out.dragRect) VideoDragging(*out.dragRect);
    if (out.clearDrag) media_->SetDragRect({});
    if (out.send) {
        const SendResult r = sip_->Send(*out.send);
        if (out.send->kind == kKindInvite && r.callId > 0) {
            std::lock_guard<std::mutex> lk(mutex_);
            lastInviteCall_ = r.callId;
        }
    }
}

void CTarvexCore::SetInputs(const OperatorInputs& in) {
    std::lock_guard<std::mutex> lk(mutex_);
    Outgoing ignored;
    TakeInputsLocked(in, false, ignored);
}

void CTarvexCore::ClickCommand(int list, int row, const OperatorInputs& in) {
    std::lock_guard<std::mutex> cmd(commandMutex_);
    Outgoing out;
    int mediaSet = -1;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        // Before a registration a click changes nothing.
        DeviceRecord* d = registry_.Current();
        if (!d) return;
        TakeInputsLocked(in, list == kListMedia, out);
        const int set = builder_.MediaSetNumber();
        if (list == kListMedia && MediaRowAt(set, row).action != MediaRowAction::None)
            mediaSet = set;
        else
            BuildLocked(list, row, *d, out);
    }
    if (mediaSet >= 0) ClickMediaRow(mediaSet, row, out);
    Deliver(out);
}

MediaInputs CTarvexCore::MediaInputsLocked() const {
    MediaInputs in;
    in.transport = mediaTransportOverride_.value_or(settings_->mediaTransport);
    in.address = settings_->mediaAddress;
    in.port = settings_->mediaPort;
    in.downloadSpeed = settings_->downloadSpeed;
    if (const DeviceRecord* d = registry_.Current()) {
        in.deviceId = d->node->id;
        in.deviceAddress = d->node->address;
    }
    in.searchStart = search_->startTime;
    in.searchEnd = search_->endTime;
    return in;
}

void CTarvexCore::ClickMediaRow(int set, int row, Outgoing& out) {
    MediaInputs mi;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        mi = MediaInputsLocked();
        lastMediaInputs_ = mi;
        // A cancel row's BYE is logged by the call-ending worker, which may run
        // before this click is finished: the row's type text must be current
        // before the session hears of it.
        if (const CommandEntry* e = builder_.Entry(kListMedia, row))
            typeText_ = std::string(e->label) + "\n";
    }
    // Without the core's lock: a cancel row joins the receive thread, and
    // "TCP active" starts listening here.
    const MediaCommand c = media_->BuildMediaCommand(set, row, mi);
    std::lock_guard<std::mutex> lk(mutex_);
    DeviceRecord* d = registry_.Current();
    if (!d) return;
    if (!c.refusal.empty()) out.messages.push_back(c.refusal);
    // The row is ticked and shown as any other; its text is the session's. A
    // list refilled with another set shows no tick.
    std::optional<int> untick;
    const CommandEntry* e = builder_.Select(kListMedia, row, untick);
    if (!e) return;
    if (untick) {
        out.untick.push_back({kListSignalling, *untick});
        out.untick.push_back({kListMedia, *untick});
    }
    if (c.showSet >= 0)
        FillMediaLocked(c.showSet, out);
    else
        out.tick = CommandBuilder::Tick{kListMedia, row};
    builder_.SetReadyText(*e, c.send ? c.text : std::string());
    // The log's type text is the description of the text being built.
    typeText_ = builder_.Description();
    if (SipRequest* req = FinishLocked(*d, out)) {
        req->dialogId = c.did;
        if (c.contentType) req->contentType = c.contentType;
    }
}

bool CTarvexCore::ClickSearchesRecordings(int list, int row) const {
    std::lock_guard<std::mutex> lk(mutex_);
    return list == kListMedia && row == kRowRecordSearch && builder_.MediaSetNumber() == 0 &&
           registry_.Current() != nullptr;
}

int CTarvexCore::PressSend(const OperatorInputs& in) {
    std::lock_guard<std::mutex> cmd(commandMutex_);
    // Playback control edited by hand goes where a click on its row would.
    const CMediaSession::Dialog control = media_->ControlDialog();
    Outgoing out;
    int result = 0;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        TakeInputsLocked(in, false, out);
        if (!in.customMode) return 1;
        if (DeviceRecord* d = registry_.Current()) {
            // The text goes out in the encoding its body declares.
            CommandBuilder::Result r = builder_.Edited(TextCodec::OperatorTextToBody(in.customText));
            typeText_ = builder_.Description();
            SipRequest req;
            req.kind = r.kind;
            req.body = std::move(r.text);
            req.to = d->Address();
            if (req.kind == kKindInfo) {
                req.dialogId = control.did;
                req.contentType = kMansrtspContentType;
            }
            out.send = std::move(req);
        } else {
            out.messages.push_back(kNotRegistered);
            result = -1;
        }
    }
    Deliver(out);
    return result;
}

void CTarvexCore::VideoDragged(const OperatorInputs& in) {
    std::lock_guard<std::mutex> cmd(commandMutex_);
    Outgoing out;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        TakeInputsLocked(in, true, out);
        inputs_.control.drag = in.drag;
        out.dragRect = in.drag;
        const bool inside = in.drag.x2 >= 0 && in.drag.y2 >= 0 && in.drag.x2 < in.viewWidth &&
                            in.drag.y2 < in.viewHeight;
        // Set 1 is shown exactly while a live view is open on the channel.
        DeviceRecord* d = registry_.Current();
        if (inside && d && builder_.MediaSetNumber() == 1)
            BuildLocked(kListMedia, DragZoomRow(in.drag), *d, out);
    }
    Deliver(out);
}

void CTarvexCore::UntickLocked(int list, Outgoing& out) {
    if (builder_.SelectedRow() >= 0) out.untick.push_back({list, builder_.SelectedRow()});
}

void CTarvexCore::FillMediaLocked(int set, Outgoing& out) {
    builder_.SetMediaSet(set);
    out.mediaFill = Labels(MediaSet(set));
}

void CTarvexCore::TreeClicked(int item) {
    std::lock_guard<std::mutex> cmd(commandMutex_);
    int kind = -1;
    std::string startTime, endTime;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        if (item == 0 || item == registry_.Tree().Root()) return;
        EXOSIP2INFO* node = registry_.NodeOfItem(item);
        if (!node) return;
        kind = node->kind;
        startTime = node->startTime;
        endTime = node->endTime;
    }
    // The session first, without the core's lock: a device or a recording ends
    // an open live view (its cancel row), a recording sets up the progress.
    int set = -1;
    switch (kind) {
    case kNodeDevice:
        set = media_->SelectDevice();
        break;
    case kNodeChannel:
        set = media_->SelectChannel();
        break;
    case kNodeRecording:
        set = media_->SelectRecording(startTime, endTime);
        break;
    default:
        return;
    }
    Outgoing out;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        if (set >= 0) FillMediaLocked(set, out);
        if (kind == kNodeDevice) {
            UntickLocked(kListMedia, out);
            out.fill = std::make_pair(int(kListSignalling), Labels(SignallingTable()));
        } else {
            UntickLocked(kListSignalling, out);
        }
    }
    Deliver(out);
}

CTarvexCore::ViewerRequest CTarvexCore::LogDoubleClicked(int row, int column) const {
    MessageLog::RowText r;
    if (row < 0 || !log_.Row(static_cast<std::size_t>(row), r)) return {};
    if (column == 3) {
        XMLNode doc = XMLNode::Parse(r.body.c_str());
        if (!doc.IsEmpty() && doc.ChildCount() > 0) return {Viewer::Xml, r.body};
        return {Viewer::Text, TextCodec::BodyToUtf8(r.body)};
    }
    if (column == 4) return {Viewer::Text, TextCodec::BodyToUtf8(r.head)};
    return {};
}

// ---------------------------------------------------------------- follow-ups

void CTarvexCore::ScheduleLocked(const DeviceRecord& r, int row) {
    schedule_.push_back({Now(clock_) + kFollowUpPause, r.serial, row});
    timerCv_.notify_all();
}

std::optional<std::chrono::steady_clock::time_point> CTarvexCore::NextDue() const {
    std::lock_guard<std::mutex> lk(mutex_);
    if (schedule_.empty()) return std::nullopt;
    auto it = std::min_element(schedule_.begin(), schedule_.end(),
                               [](const FollowUp& a, const FollowUp& b) { return a.due < b.due; });
    return it->due;
}

void CTarvexCore::RunDue() {
    CheckKeepalives();
    std::lock_guard<std::mutex> cmd(commandMutex_);
    for (;;) {
        Outgoing out;
        {
            std::lock_guard<std::mutex> lk(mutex_);
            const auto now = Now(clock_);
            auto it = std::min_element(schedule_.begin(), schedule_.end(),
                                       [](const FollowUp& a, const FollowUp& b) { return a.due < b.due; });
            if (it == schedule_.end() || it->due > now) return;
            const FollowUp f = *it;
            schedule_.erase(it);
            DeviceRecord* d = registry_.BySerial(f.device);
            if (!d) continue;
            switch (f.row) {
            case kRowCatalog: d->stage = ChainStage::CatalogSent; break;
            case kRowDeviceInfo: d->stage = ChainStage::InfoSent; break;
            default: d->stage = ChainStage::Done; break;
            }
            // The chain's queries behave exactly like clicks on their rows.
            BuildLocked(kListSignalling, f.row, *d, out);
        }
        Deliver(out);
    }
}

void CTarvexCore::TimerLoop() {
    pthread_setname_np(pthread_self(), "m_hChain");
    std::unique_lock<std::mutex> lk(mutex_);
    while (!timerQuit_) {
        std::optional<std::chrono::steady_clock::time_point> next = KeepaliveDeadlineLocked();
        if (!schedule_.empty()) {
            auto due = std::min_element(schedule_.begin(), schedule_.end(),
                                        [](const FollowUp& a, const FollowUp& b) {
                                            return a.due < b.due;
                                        })->due;
            if (!next || due < *next) next = due;
        }
        if (!next) {
            timerCv_.wait(lk);
            continue;
        }
        const auto due = *next;
        if (Now(clock_) < due) {
            timerCv_.wait_until(lk, due);
            continue;
        }
        lk.unlock();
        RunDue();
        lk.lock();
    }
}

// ---------------------------------------------------------------- keepalives

std::optional<std::chrono::steady_clock::time_point> CTarvexCore::KeepaliveDeadlineLocked() const {
    std::optional<std::chrono::steady_clock::time_point> first;
    const auto limit = keepaliveInterval_ * keepaliveMisses_;
    for (const auto& r : registry_.Records())
        if (!r->offline && (!first || r->lastKeepalive + limit < *first))
            first = r->lastKeepalive + limit;
    // Strictly later than the limit: the check below wants silence beyond it.
    if (first) *first += std::chrono::milliseconds(1);
    return first;
}

void CTarvexCore::SeenLocked(DeviceRecord& r, bool& treeChanged) {
    r.lastKeepalive = Now(clock_);
    if (r.offline) {
        r.offline = false;
        registry_.Tree().SetOffline(r.node->treeItem, false);
        std::printf("device %s online again\n", r.node->id);
        std::fflush(stdout);
        treeChanged = true;
    }
    timerCv_.notify_all();
}

void CTarvexCore::CheckKeepalives() {
    bool changed = false;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        const auto now = Now(clock_);
        const auto limit = keepaliveInterval_ * keepaliveMisses_;
        for (const auto& r : registry_.Records()) {
            if (r->offline || now - r->lastKeepalive <= limit) continue;
            r->offline = true;
            // The item is the device's only while it is its latest record.
            if (registry_.Find(r->node->id) == r.get())
                registry_.Tree().SetOffline(r->node->treeItem, true);
            std::printf("device %s offline: %d keepalives missed (interval %lld s)\n", r->node->id,
                        keepaliveMisses_, static_cast<long long>(keepaliveInterval_.count()));
            std::fflush(stdout);
            changed = true;
        }
    }
    if (changed)
        if (ICoreView* v = view_) v->DeviceTreeChanged();
}

bool CTarvexCore::DeviceOffline(const std::string& id) const {
    std::lock_guard<std::mutex> lk(mutex_);
    for (auto it = registry_.Records().rbegin(); it != registry_.Records().rend(); ++it)
        if ((*it)->node->id == id) return (*it)->offline;
    return false;
}

// ---------------------------------------------------------------- SIP events

void CTarvexCore::OnMessageLogged(const LoggedMessage& m) {
    const std::string& body = BodyToUse(m);
    bool treeChanged = false;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        if (m.role == LoggedMessage::Role::Register) typeText_ = "注册信息";
        std::string device;
        if (m.role != LoggedMessage::Role::Plain) {
            // A REGISTER and its answer carry the registering device.
            char id[EXOSIP2INFO::kFieldSize];
            EXOSIP2INFO::SetField(id, m.deviceId);
            device = id;
        } else if (const DeviceRecord* c = registry_.Current()) {
            device = c->node->id;
        } else {
            return; // before the first registration there is no device to file it under
        }
        if (m.direction == kLogReceived) Gb2022LogLine(body, typeText_);
        log_.Append(m.direction, Now(wallClock_), typeText_, device, m.head, body);
        // Any keepalive counts, also one the dispatch leaves alone (no declaration).
        if (m.direction == kLogReceived && IsKeepalive(body))
            if (DeviceRecord* r = registry_.Find(m.peerUser)) SeenLocked(*r, treeChanged);
    }
    if (treeChanged)
        if (ICoreView* v = view_) v->DeviceTreeChanged();
    if (ICoreView* v = view_) v->LogGrew();
    // Writing the row of a received message feeds its body to the dispatch.
    if (m.direction == kLogReceived) Dispatch(body, m.peerUser);
}

const std::string& CTarvexCore::BodyToUse(const LoggedMessage& m) {
    // A device that counts Content-Length in characters sends more bytes than
    // it declares: the declared cut ends inside the XML. The whole datagram is
    // taken only when that cut is unreadable and the whole is readable.
    if (m.datagramBody.empty() || m.datagramBody.size() <= m.body.size()) return m.body;
    int declared = -1, whole = -1;
    XMLNode::Parse(m.body, &declared);
    if (declared == XML_OK) return m.body;
    XMLNode::Parse(m.datagramBody, &whole);
    if (whole != XML_OK) return m.body;
    std::fprintf(stderr,
                 "tarvex: MESSAGE from %s: Content-Length %zu cuts its XML; the whole datagram "
                 "body of %zu bytes is used\n",
                 m.peerUser.c_str(), m.body.size(), m.datagramBody.size());
    return m.datagramBody;
}

DeviceRecord* CTarvexCore::SenderLocked(const std::string& peerUser, XMLNode& element) {
    // The device that sent the answer: its From user, else the body's DeviceID;
    // an answer from nobody known goes to the current device.
    if (DeviceRecord* d = registry_.Find(peerUser)) return d;
    const char* id = element.FindText("DeviceID");
    if (DeviceRecord* d = registry_.Find(id ? id : "")) return d;
    return registry_.Current();
}

int CTarvexCore::Dispatch(const std::string& body, const std::string& peerUser) {
    XMLNode doc = XMLNode::Parse(body.c_str());
    if (doc.IsEmpty() || doc.ChildCount() == 0) return 0;
    // Only a body that begins with an XML declaration is dispatched; any other
    // is logged and left alone.
    if (!HasDeclaration(doc)) return 0;
    const char* cmdText = doc.FindText("CmdType");
    if (!cmdText) return 0;
    const std::string cmd = cmdText;
    struct Row {
        const char* cmdType;
        const char* typeText;
        int handler; // 0 none, 1 DeviceInfo chain, 2 catalog, 3 recordings
    };
    static const Row kTable[] = {
        {"DeviceInfo", "信息查询", 1}, {"DeviceStatus", "状态查询", 0},
        {"Catalog", "目录查询", 2},    {"RecordInfo", "信息查询", 3},
        {"Keepalive", "心跳包", 0},
    };
    const Row* row = nullptr;
    for (const Row& r : kTable)
        if (cmd == r.cmdType) row = &r;
    if (!row) return 0;
    // The document element: the first child of the declaration.
    XMLNode element = doc.ChildAt(0);
    int result = 0;
    bool treeChanged = false;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        typeText_ = row->typeText;
        DeviceRecord* d = row->handler ? SenderLocked(peerUser, element) : nullptr;
        if (!d) return 0;
        switch (row->handler) {
        case 1:
            if (d->stage == ChainStage::InfoSent) {
                d->stage = ChainStage::StatusDue;
                ScheduleLocked(*d, kRowDeviceStatus);
            }
            break;
        case 2: {
            const int r = registry_.ApplyCatalog(*d, element);
            if (r < 0) return -1;
            treeChanged = true;
            if (r == 1 && d->stage == ChainStage::CatalogSent) {
                d->stage = ChainStage::InfoDue;
                ScheduleLocked(*d, kRowDeviceInfo);
            }
            break;
        }
        case 3:
            registry_.ApplyRecords(*d, element);
            treeChanged = true;
            break;
        }
    }
    if (treeChanged)
        if (ICoreView* v = view_) v->DeviceTreeChanged();
    return result;
}

void CTarvexCore::OnDeviceRegistered(const DeviceAddress& device) {
    {
        std::lock_guard<std::mutex> lk(mutex_);
        DeviceRecord& r = registry_.Add(device);
        r.lastKeepalive = Now(clock_);
        // A new registration's item may be an offline record's.
        registry_.Tree().SetOffline(r.node->treeItem, false);
        ScheduleLocked(r, kRowCatalog);
    }
    if (ICoreView* v = view_) {
        v->DeviceTreeChanged();
        v->FillCommandList(kListSignalling, Labels(SignallingTable()));
    }
}

namespace {

const char* StreamName(MediaStream s) {
    switch (s) {
    case MediaStream::Live:
        return "live view";
    case MediaStream::Playback:
        return "playback";
    case MediaStream::Download:
        return "download";
    case MediaStream::Voice:
        return "voice";
    default:
        return "no offer";
    }
}

} // namespace

void CTarvexCore::OnCallAnswered(int callId, int dialogId, const std::string& sdp) {
    MediaInputs current;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        current = lastMediaInputs_;
    }
    // Quick: a receiver the answer starts is set up on the session's own thread.
    const AnswerOutcome a = media_->OnCallAnswered(callId, dialogId, sdp, current);
    std::printf("call %d answered (%s): %s\n", callId, StreamName(a.stream),
                a.ended        ? "ended already, BYE sent"
                : a.starting   ? "receiver starting"
                : a.started    ? "receiver started"
                : a.receivable ? "no receiver started"
                               : "no video to receive");
    std::fflush(stdout);
}

void CTarvexCore::OnCallClosed(int callId, int dialogId) {
    (void)dialogId;
    // The device's BYE is in the log already; the receiver goes on until the
    // operator ends the stream.
    const MediaStream s = media_->OnCallClosed(callId);
    if (s != MediaStream::None) {
        std::printf("call %d closed (%s)\n", callId, StreamName(s));
        std::fflush(stdout);
    }
}

// ---------------------------------------------------------------- media and reads

void CTarvexCore::SetVideoSurface(IVidanaSurface* surface) {
    media_->SetSurface(surface);
}

void CTarvexCore::VideoDragging(const DragRect& r) {
    media_->SetDragRect({r.x1, r.y1, r.x2, r.y2});
}

CTarvexCore::MediaStatus CTarvexCore::Media() const {
    MediaStatus m;
    m.livePlaying = media_->LiveOpen();
    m.playbackOpen = media_->PlaybackOpen() || media_->DownloadOpen();
    m.playbackSeconds = media_->RecordingDurationSeconds();
    return m;
}

void CTarvexCore::OverrideMediaTransport(std::optional<int> transport) {
    std::lock_guard<std::mutex> lk(mutex_);
    mediaTransportOverride_ = transport;
}

void CTarvexCore::AcceptSearch(const std::string& startText, const std::string& endText,
                               int typeIndex) {
    std::lock_guard<std::mutex> lk(mutex_);
    search_->Accept(startText, endText, typeIndex);
}

std::string CTarvexCore::ChallengePassword() const {
    return settings_->localVerifyPassword ? settings_->localPassword : std::string();
}

int CTarvexCore::LastInviteCallId() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return lastInviteCall_;
}

TreeItem CTarvexCore::TreeSnapshot() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return registry_.Tree().Snapshot();
}

TreeDelta CTarvexCore::TakeTreeDelta() {
    TreeDelta d;
    std::lock_guard<std::mutex> lk(mutex_);
    registry_.Tree().TakeDelta(d);
    return d;
}

bool CTarvexCore::Registered() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return registry_.Current() != nullptr;
}

std::optional<std::string> CTarvexCore::CurrentDeviceId() const {
    std::lock_guard<std::mutex> lk(mutex_);
    if (const DeviceRecord* c = registry_.Current()) return std::string(c->node->id);
    return std::nullopt;
}

std::string CTarvexCore::TypeText() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return typeText_;
}

int CTarvexCore::NextSequenceNumber() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return builder_.NextSequenceNumber();
}

int CTarvexCore::MediaSetNumber() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return builder_.MediaSetNumber();
}

int CTarvexCore::SendKind() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return builder_.SendKind();
}

std::string CTarvexCore::MessageText() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return builder_.MessageText();
}

std::size_t CTarvexCore::DeviceRecordCount() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return registry_.Count();
}

void CTarvexCore::VisitDevices(const std::function<void(const EXOSIP2INFO&)>& f) const {
    std::lock_guard<std::mutex> lk(mutex_);
    for (const auto& r : registry_.Records()) f(*r->node);
}
