#include "app/core/CTarvexCore.h"

#include "app/core/SipText.h"
#include "manscdp/gb2022/Gb2022Bodies.h"
#include "manscdp/gb2022/Gb2022Summary.h"

#include "base/TextCodec.h"
#include "platform/dispatch/Admission.h"
#include "platform/dispatch/AnswerDispatch.h"
#include "platform/dispatch/MessageFacts.h"
#include "sip/endpoint/CSIP.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <strings.h>
#include <utility>

namespace {

constexpr const char* kContentType = "application/MANSCDP+xml\r\n";
constexpr const char* kNotRegistered = "提示\r\n设备未注册到服务器";
constexpr const char* kChooseDevice = "提示\r\n请先在设备树中选择设备或通道";
constexpr int kRestartPauseMs = 1000;
constexpr int kMediaStatusGraceMs = 1000; // after MediaStatus 121, for the device's own BYE
constexpr int kRowRecordSearch = 3; // media set 0 "文件检索"

std::vector<std::string> Labels(std::span<const CommandEntry> rows) {
    std::vector<std::string> out;
    out.reserve(rows.size());
    for (const auto& e : rows) out.emplace_back(e.label);
    return out;
}

// doc: body parsed.
bool IsKeepalive(const std::string& body, const XMLNode& doc) {
    if (body.find("Keepalive") == std::string::npos) return false;
    const char* cmd = doc.IsEmpty() ? nullptr : doc.FindText("CmdType");
    return cmd && std::strcmp(cmd, "Keepalive") == 0;
}

// Rows whose body names the selected channel rather than its device: the
// media list's (pan-tilt-zoom, recording search, recording control) and the
// preset and cruise queries.
bool ChannelCommand(int list, const CommandEntry& e) {
    if (list == kListMedia) return true;
    const std::string cmd = e.command;
    return cmd == "PresetQuery" || cmd == "CuriseInfo" || cmd == "CruiseTrackListQuery";
}

// "y=" of an SDP offer: the SSRC that the Subject header repeats.
std::string OfferSsrc(const std::string& sdp) {
    auto at = sdp.find("\ny=");
    if (at == std::string::npos) return "0000000000";
    at += 3;
    auto end = sdp.find_first_of("\r\n", at);
    return sdp.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

bool HasDeclaration(const XMLNode& doc) {
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
    WireVoice();
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
    if (!settings_->digestAlgorithm.empty()) s.digestAlgorithm = settings_->digestAlgorithm;
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
    EndSubscriptions(); // Expires 0 for each, before the endpoint goes down
    // Exit step 5: every open call gets its BYE (queued to the endpoint, which
    // sends it before it goes down), the receiver stops, the decoder is released.
    media_->Stop();
    EndVoice();
    sip_->Stop();
}

void CTarvexCore::Exit() {
    // Steps 1 to 3 and 5: the endpoint ends its thread and shuts the stack down.
    Stop();
    {
        // Step 4: the device records.
        std::lock_guard<std::mutex> lk(mutex_);
        registry_.Clear();
        chain_.Clear();
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
    builder_.SetEdition2022(inputs_.edition == GbEdition::Gb2022);
}

CTarvexCore::Target CTarvexCore::TargetLocked(Outgoing& out) {
    Target t;
    if (selection_.device) {
        t.device = registry_.BySerial(selection_.device);
        t.channel = selection_.channel;
    }
    if (!t.device) {
        // Nothing selected: the only registered device, never a guess among several.
        DeviceRecord* only = nullptr;
        int registered = 0;
        for (const auto& r : registry_.Records())
            if (r->registered) {
                only = r.get();
                ++registered;
            }
        if (registered == 1) t.device = only;
        if (registered > 1) out.messages.push_back(kChooseDevice);
    }
    return t;
}

void CTarvexCore::BuildLocked(int list, int row, const Target& target, Outgoing& out,
                              bool automatic) {
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
        const bool channel = ChannelCommand(list, *e) && !target.channel.empty();
        builder_.BuildEnvelope(*e, channel ? target.channel : std::string(target.device->node->id));
        // The log's type text is the description of the body being built.
        typeText_ = builder_.Description();
        transfers_.Prepare(list, row, channel ? target.channel : std::string(target.device->node->id),
                           settings_->localAddress, settings_->httpPort, inputs_.rowValues, out.messages);
        const BodyOutcome body = AppendCommandBody(list, set, row, builder_.Root(), inputs_);
        // Every pan-tilt-zoom and preset build forgets the last drag.
        if (body.clearDrag) {
            inputs_.control.drag = DragRect{};
            out.clearDrag = true;
        }
        if (body.refused) out.messages.push_back(body.message);
    }
    FinishLocked(target, out, automatic);
}

SipRequest* CTarvexCore::FinishLocked(const Target& target, Outgoing& out, bool automatic) {
    // The chain's own queries always go out and never replace the text the
    // operator is editing.
    CommandBuilder::Result r = builder_.Finish(automatic ? false : customMode_);
    if (!r.shown) return nullptr;
    if (!automatic || !customMode_) out.shownText = r.text;
    if (!r.send) return nullptr;
    SipRequest req;
    req.kind = r.kind;
    req.body = std::move(r.text);
    req.to = target.device->Address();
    if (req.kind == kKindInvite) {
        // A stream is asked of the channel: Request-URI and To name it, and
        // Subject says which stream of whom for whom.
        const std::string channel = target.channel.empty() ? std::string(target.device->node->id)
                                                           : target.channel;
        req.to.id = channel;
        req.subject = channel + ":" + OfferSsrc(req.body) + "," + localId_ + ":0";
    }
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
        if (out.source) v->ShowStreamSource(*out.source);
    }
    if (out.dragRect) VideoDragging(*out.dragRect);
    if (out.clearDrag) media_->SetDragRect({});
    std::uint64_t offer = out.offer;
    if (out.send && out.send->kind == kKindInvite && !offer) {
        // An INVITE sent by hand carries the offer held for editing.
        std::lock_guard<std::mutex> lk(mutex_);
        offer = std::exchange(heldOffer_, 0);
    }
    if (out.send) {
        const SendResult r = sip_->Send(*out.send);
        if (out.send->kind == kKindInvite && r.callId > 0) {
            std::lock_guard<std::mutex> lk(mutex_);
            lastInviteCall_ = r.callId;
            const DeviceRecord* d = registry_.Find(out.send->to.id);
            calls_.Opened(MediaCall{r.callId, 0, d ? std::string(d->node->id) : out.send->to.id,
                                    out.send->to.id});
        }
        if (out.talk) TalkSent(r.callId); // CTarvexVoice.cpp
        // Answers are filed by the INVITE's call id.
        if (out.send->kind == kKindInvite && offer)
            for (const auto& [cid, a] : media_->OfferSent(offer, r.callId))
                PrintAnswer(cid, a);
    } else if (offer) {
        std::uint64_t previous;
        {
            std::lock_guard<std::mutex> lk(mutex_);
            previous = std::exchange(heldOffer_, offer);
        }
        if (previous) media_->OfferSent(previous, 0);
    }
}

void CTarvexCore::SetInputs(const OperatorInputs& in) {
    std::lock_guard<std::mutex> lk(mutex_);
    Outgoing ignored;
    TakeInputsLocked(in, false, ignored);
}

void CTarvexCore::ClickCommand(int list, int row, const OperatorInputs& in) {
    if (ClickSubscriptionRow(list, row, in)) return;
    std::lock_guard<std::mutex> cmd(commandMutex_);
    Outgoing out;
    int mediaSet = -1;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        // Before a registration a click changes nothing.
        const Target t = TargetLocked(out);
        if (t.device) {
            TakeInputsLocked(in, list == kListMedia, out);
            const int set = builder_.MediaSetNumber();
            if (list == kListMedia && BuildBroadcastLocked(set, row, t, out)) {
                // The notification; the device's INVITE follows (OnCallOffered).
            } else if (list == kListMedia && MediaRowAt(set, row).action != MediaRowAction::None) {
                mediaSet = set;
            } else {
                BuildLocked(list, row, t, out);
            }
        }
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
    in.legacySetup = settings_->mediaSetupLegacy;
    in.savePs = settings_->mediaSavePs;
    in.edition2022 = EditionSetting(settings_->gbEdition) == GbEdition::Gb2022;
    in.streamNumber = liveStream_.load();
    Outgoing ignored;
    const Target t = const_cast<CTarvexCore*>(this)->TargetLocked(ignored);
    if (t.device) {
        // The stream is the selected channel's; the offer names it.
        in.deviceId = t.channel.empty() ? std::string(t.device->node->id) : t.channel;
        in.channelId = in.deviceId;
        in.deviceAddress = t.device->node->address;
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
    out.offer = c.offer;
    std::lock_guard<std::mutex> lk(mutex_);
    const Target t = TargetLocked(out);
    if (!t.device) return;
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
    if (SipRequest* req = FinishLocked(t, out)) {
        req->dialogId = c.did;
        if (c.contentType) req->contentType = c.contentType;
        if (req->kind == kKindInvite) {
            // The view says whose stream it shows.
            std::string name;
            for (const auto& ch : t.device->node->children)
                // The catalog's bytes (GBK from most devices): shown as text.
                if (ch->id == req->to.id) name = TextCodec::BodyToUtf8(ch->name);
            out.source = "通道 " + req->to.id + (name.empty() ? "" : " " + name) + " · 设备 " +
                         std::string(t.device->node->id);
        }
    } else if (c.showSet == 0 || c.showSet == 2) {
        out.source = std::string(); // the stream was ended by its cancel row
    }
}

bool CTarvexCore::ClickSearchesRecordings(int list, int row) const {
    std::lock_guard<std::mutex> lk(mutex_);
    Outgoing ignored;
    return list == kListMedia && row == kRowRecordSearch && builder_.MediaSetNumber() == 0 &&
           const_cast<CTarvexCore*>(this)->TargetLocked(ignored).device != nullptr;
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
        if (registry_.Count() == 0) out.messages.push_back(kNotRegistered);
        const Target t = TargetLocked(out);
        if (DeviceRecord* d = t.device) {
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
        if (inside && builder_.MediaSetNumber() == 1) {
            const Target t = TargetLocked(out);
            if (t.device) BuildLocked(kListMedia, DragZoomRow(in.drag), t, out);
        }
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
        DeviceRecord* owner = nullptr;
        DeviceNode* node = registry_.NodeOfItem(item, &owner);
        if (!node || !owner) return;
        kind = node->kind;
        startTime = node->startTime;
        endTime = node->endTime;
        // Requests go to what is selected: the device, the channel, or the
        // channel of the recording.
        selection_ = Selection{owner->serial, {}, {}, {}};
        if (kind == kNodeChannel) selection_.channel = node->id;
        if (kind == kNodeRecording) {
            for (const auto& c : owner->node->children)
                for (const auto& rec : c->children)
                    if (rec.get() == node) selection_.channel = c->id;
            selection_.startTime = startTime;
            selection_.endTime = endTime;
        }
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

std::optional<std::chrono::steady_clock::time_point> CTarvexCore::NextDue() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return chain_.NextDue();
}

void CTarvexCore::RunDue() {
    CheckKeepalives();
    std::lock_guard<std::mutex> cmd(commandMutex_);
    RefreshSubscriptionsDue();
    for (;;) {
        // A MediaStatus whose grace has passed: the session ends its stream
        // unless the device's BYE ended it already.
        DueStatus due;
        {
            std::lock_guard<std::mutex> lk(mutex_);
            auto it = std::find_if(statusDue_.begin(), statusDue_.end(),
                                   [&](const DueStatus& d) { return d.due <= Now(clock_); });
            if (it == statusDue_.end()) break;
            due = *it;
            statusDue_.erase(it);
        }
        const int set = media_->OnMediaStatus(due.id, due.notifyType);
        if (set >= 0) ShowMediaSet(set);
    }
    for (;;) {
        Outgoing out;
        {
            std::lock_guard<std::mutex> lk(mutex_);
            const auto f = chain_.TakeDue(registry_, Now(clock_));
            if (!f) return;
            DeviceRecord* d = registry_.BySerial(f->device);
            // The chain's queries behave like clicks on their rows, for the
            // device whose chain it is, and leave the operator's text alone.
            BuildLocked(kListSignalling, f->row, Target{d, {}}, out, true);
        }
        Deliver(out);
    }
}

void CTarvexCore::TimerLoop() {
    pthread_setname_np(pthread_self(), "m_hChain");
    std::unique_lock<std::mutex> lk(mutex_);
    while (!timerQuit_) {
        std::optional<std::chrono::steady_clock::time_point> next = KeepaliveDeadlineLocked();
        if (const auto due = chain_.NextDue(); due && (!next || *due < *next)) next = due;
        for (const DueStatus& d : statusDue_)
            if (!next || d.due < *next) next = d.due;
        if (const auto s = subs_.NextDue(); s && (!next || *s < *next)) next = s;
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
    // A keepalive only moves its device's deadline later: the timer, when it
    // wakes at the earlier one, looks again. Only a device back online adds a
    // deadline, and wakes it.
    if (r.offline) {
        r.offline = false;
        registry_.Tree().SetOffline(r.node->treeItem, false);
        std::printf("device %s online again\n", r.node->id);
        std::fflush(stdout);
        treeChanged = true;
        timerCv_.notify_all();
    }
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

namespace {
// The type of the last request received on this thread: the endpoint logs
// its answer right after it, on the same thread.
thread_local std::string tLastReceivedType;
} // namespace

void CTarvexCore::FileRowLocked(const LoggedMessage& m, const std::string& body, std::string& type,
                                std::string& device) {
    // The device a row is filed under: the registering device for a REGISTER
    // and its answer, else the device the peer's user is (or whose channel it
    // is), else that user as it is.
    auto deviceOf = [&](const std::string& user) {
        if (const DeviceRecord* r = registry_.Find(user)) return std::string(r->node->id);
        char id[DeviceNode::kFieldSize];
        DeviceNode::SetField(id, user);
        return std::string(id);
    };
    if (m.role != LoggedMessage::Role::Plain) {
        device = deviceOf(m.deviceId);
        type = "注册信息";
        return;
    }
    device = deviceOf(m.peerUser);
    const HeadFacts head = ReadHead(m.head);
    if (m.direction == kLogSent) {
        if (head.request) {
            // What the operator or the chain built for this request.
            type = typeText_;
            calls_.Sent(head.callId, type, device);
        } else {
            // Our answer carries the type of the request it answers.
            const auto filed = calls_.Find(head.callId);
            type = filed                       ? filed->typeText
                   : !tLastReceivedType.empty() ? tLastReceivedType
                                                : TypeTextOfReceived(head, ReadBody(body));
        }
        return;
    }
    if (head.request) {
        type = TypeTextOfReceived(head, ReadBody(body));
        // Our answer (logged next, on this thread) is filed with it.
        calls_.Sent(head.callId, type, device);
        tLastReceivedType = type;
        return;
    }
    // An answer to one of our requests: the type of that request.
    const auto filed = calls_.Find(head.callId);
    type = filed ? filed->typeText : TypeTextOfReceived(head, ReadBody(body));
}

// The log's peer column: where a received message came from, where a sent one went.
static std::string LogPeerOf(const LoggedMessage& m) {
    if (m.role == LoggedMessage::Role::Invalid) return m.deviceId;
    if (m.direction == kLogSent) return tarvex::siptext::SentPeer(m.head);
    return m.sourceHost.empty() ? std::string() : m.sourceHost + ":" + std::to_string(m.sourcePort);
}

void CTarvexCore::OnMessageLogged(const LoggedMessage& m) {
    if (m.role == LoggedMessage::Role::Invalid) {
        // Bytes that were no SIP message: filed under their source, never dispatched.
        log_.Append(m.direction, Now(wallClock_), "无效消息", m.deviceId, m.head, m.body, LogPeerOf(m));
        if (ICoreView* v = view_) v->LogGrew();
        return;
    }
    const std::string& body = BodyToUse(m);
    bool treeChanged = false;
    const bool refused = m.answerStatus != 0 && m.answerStatus != 200;
    // A keepalive holds nothing that the 2022 summary or the transfers read:
    // its body is not parsed for them (two XML parses of every keepalive).
    const BodyFacts facts = m.direction == kLogReceived ? ReadBody(body) : BodyFacts{};
    const bool keepaliveBody = facts.root == "Notify" && facts.cmdType == "Keepalive";
    // One parse serves the keepalive count and the dispatch, outside the lock.
    const bool dispatched =
        m.direction == kLogReceived && !refused && m.role == LoggedMessage::Role::Plain;
    XMLNode doc;
    if (dispatched || (m.direction == kLogReceived && !refused && body.find("Keepalive") != std::string::npos))
        doc = XMLNode::Parse(body.c_str());
    {
        std::lock_guard<std::mutex> lk(mutex_);
        std::string type, device;
        FileRowLocked(m, body, type, device);
        // A 2022 answer or notification says what it holds in its row's type.
        if (m.direction == kLogReceived && !keepaliveBody) Gb2022LogLine(body, type);
        if (m.direction == kLogReceived && !refused && !keepaliveBody) transfers_.Annotate(body, type);
        if (m.direction == kLogReceived && m.role == LoggedMessage::Role::Register)
            registerVersion_ = {m.deviceId, GbVersionInHead(m.head)};
        log_.Append(m.direction, Now(wallClock_), type, device, m.head, body, LogPeerOf(m));
        // Any keepalive of a registered device counts, also one the dispatch
        // leaves alone (no declaration).
        if (m.direction == kLogReceived && !refused && IsKeepalive(body, doc))
            if (DeviceRecord* r = SenderOf(registry_, m.peerUser, m.sourceHost))
                SeenLocked(*r, treeChanged);
    }
    if (refused && m.direction == kLogReceived) {
        std::fprintf(stderr, "tarvex: request from %s (%s:%d) answered %d: not a registered device%s\n",
                     m.peerUser.c_str(), m.sourceHost.c_str(), m.sourcePort, m.answerStatus,
                     m.answerStatus == kRefusedStatus ? " or not its own catalog" : "");
    }
    if (treeChanged)
        if (ICoreView* v = view_) v->DeviceTreeChanged();
    if (ICoreView* v = view_) v->LogGrew();
    // Writing the row of a received message feeds its body to the dispatch;
    // a refused one changes nothing.
    if (dispatched) Dispatch(doc, m);
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

int CTarvexCore::AdmitRequest(const IncomingRequest& request) {
    std::lock_guard<std::mutex> lk(mutex_);
    return Admit(registry_, request);
}

int CTarvexCore::Dispatch(const XMLNode& doc, const LoggedMessage& m) {
    if (doc.IsEmpty() || doc.ChildCount() == 0) return 0;
    // Only a body that begins with an XML declaration is dispatched; any other
    // is logged and left alone.
    if (!HasDeclaration(doc)) return 0;
    if (const char* cmd = doc.FindText("CmdType"); cmd && std::strcmp(cmd, "MediaStatus") == 0) {
        // 121: a playback or download was sent whole. The device usually ends
        // the call itself right after it; the session ends it a second later
        // if the device has not, so that the two BYEs do not cross.
        const char* type = doc.FindText("NotifyType");
        const char* id = doc.FindText("DeviceID");
        {
            std::lock_guard<std::mutex> lk(mutex_);
            statusDue_.push_back({Now(clock_) + std::chrono::milliseconds(kMediaStatusGraceMs),
                                  id ? id : "", type ? std::atoi(type) : 0});
        }
        timerCv_.notify_all();
        return 0;
    }
    DispatchOutcome outcome;
    bool sooner = false;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        // Applied to the registered device that sent it, and to nobody else.
        DeviceRecord* d = SenderOf(registry_, m.peerUser, m.sourceHost);
        if (!d) return 0;
        if (ApplyEventLocked(*d, doc.ChildAt(0))) return 0; // an alarm or a position
        const auto before = chain_.NextDue();
        outcome = ApplyManscdp(registry_, chain_, *d, doc.ChildAt(0), Now(clock_));
        // The timer is woken only when a follow-up became due sooner than it
        // waits for (not on every keepalive).
        const auto after = chain_.NextDue();
        sooner = outcome.applied && after && (!before || *after < *before);
    }
    if (sooner) timerCv_.notify_all();
    if (outcome.treeChanged)
        if (ICoreView* v = view_) v->DeviceTreeChanged();
    return outcome.refused ? -1 : 0;
}

void CTarvexCore::OnDeviceRegistered(const DeviceAddress& device) {
    {
        std::lock_guard<std::mutex> lk(mutex_);
        DeviceRecord* r = registry_.Register(device);
        if (!r) return; // refused already (AdmitRequest)
        r->lastKeepalive = Now(clock_);
        r->offline = false;
        if (registerVersion_.first == device.id) r->gbVersion = registerVersion_.second;
        // A new registration's item may be an offline record's.
        registry_.Tree().SetOffline(r->node->treeItem, false);
        // A registration starts its chain again, once.
        chain_.Registered(*r, Now(clock_));
    }
    timerCv_.notify_all();
    if (ICoreView* v = view_) {
        v->DeviceTreeChanged();
        v->FillCommandList(kListSignalling, Labels(SignallingTable()));
    }
}

std::vector<std::pair<int, std::string>> CTarvexCore::DeviceVersionTips() {
    std::lock_guard<std::mutex> lk(mutex_);
    std::vector<std::pair<int, std::string>> tips;
    for (const auto& r : registry_.Records()) {
        if (!r->registered || !r->node || r->node->treeItem <= 0) continue;
        const std::string& v = r->gbVersion;
        tips.emplace_back(r->node->treeItem,
                          v.empty() ? std::string("X-GB-Ver: 无")
                                    : "X-GB-Ver " + v +
                                          (EditionOfHeader(v) == GbEdition::Gb2022 ? " (2022)" : " (2016)"));
    }
    return tips;
}

void CTarvexCore::OnDeviceUnregistered(const std::string& deviceId) {
    std::vector<MediaCall> ended;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        DeviceRecord* r = registry_.Unregister(deviceId);
        if (!r) return;
        chain_.Forget(*r);
        DeviceLeftLocked(std::string(r->node->id));
        ended = calls_.TakeCallsOf(r->node->id);
    }
    std::printf("device %s unregistered: offline, %zu call(s) ended\n", deviceId.c_str(), ended.size());
    std::fflush(stdout);
    // Its calls end (BYE through the endpoint's worker); the others go on.
    for (const MediaCall& c : ended) {
        sip_->EndCall(c.callId, c.dialogId);
        media_->OnCallClosed(c.callId);
    }
    if (ICoreView* v = view_) v->DeviceTreeChanged();
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
        calls_.Answered(callId, dialogId);
    }
    if (TalkAnswered(callId, dialogId, sdp)) return;
    // Quick: a receiver the answer starts is set up on the session's own thread.
    PrintAnswer(callId, media_->OnCallAnswered(callId, dialogId, sdp, current));
}

void CTarvexCore::PrintAnswer(int callId, const AnswerOutcome& a) {
    // One that overtook its INVITE's OfferSent is printed when it is filed.
    if (a.held) return;
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
    {
        std::lock_guard<std::mutex> lk(mutex_);
        calls_.Closed(callId);
    }
    if (voice_.Closed(callId)) {
        std::printf("call %d closed (voice)\n", callId);
        std::fflush(stdout);
        return;
    }
    // The device's BYE is in the log already.
    const MediaStream s = media_->OnCallClosed(callId);
    if (s != MediaStream::None) {
        std::printf("call %d closed (%s)\n", callId, StreamName(s));
        std::fflush(stdout);
    }
    // A video stream the device ended is over in the window too.
    if (s == MediaStream::Live || s == MediaStream::Playback || s == MediaStream::Download)
        ShowMediaSet(0);
}

void CTarvexCore::ShowMediaSet(int set) {
    Outgoing out;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        FillMediaLocked(set, out);
    }
    Deliver(out);
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
    for (const auto& r : registry_.Records())
        if (r->registered) return true;
    return false;
}

std::optional<std::string> CTarvexCore::CurrentDeviceId() const {
    std::lock_guard<std::mutex> lk(mutex_);
    Outgoing ignored;
    const Target t = const_cast<CTarvexCore*>(this)->TargetLocked(ignored);
    if (t.device) return std::string(t.device->node->id);
    return std::nullopt;
}

std::pair<std::string, std::string> CTarvexCore::SelectedIds() const {
    std::lock_guard<std::mutex> lk(mutex_);
    const DeviceRecord* d = registry_.BySerial(selection_.device);
    if (!d) return {};
    return {d->node->id, selection_.channel};
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

void CTarvexCore::VisitDevices(const std::function<void(const DeviceNode&)>& f) const {
    std::lock_guard<std::mutex> lk(mutex_);
    for (const auto& r : registry_.Records()) f(*r->node);
}
