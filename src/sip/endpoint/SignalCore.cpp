#include "sip/endpoint/SignalCore.h"

#include "base/TextCodec.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <strings.h>

// ---------------------------------------------------------------- tree model

int DeviceTreeModel::Reset(const std::string& rootText) {
    items_.clear();
    root_ = next_++;
    items_[root_] = Item{0, rootText, 0, false, {}};
    return root_;
}

int DeviceTreeModel::FindChild(int parent, const std::string& text) const {
    auto it = items_.find(parent);
    if (it == items_.end()) return 0;
    for (int c : it->second.children)
        if (items_.at(c).text == text) return c;
    return 0;
}

int DeviceTreeModel::Append(int parent, const std::string& text, int kind) {
    auto it = items_.find(parent);
    if (it == items_.end()) return 0;
    int id = next_++;
    it->second.children.push_back(id);
    items_[id] = Item{parent, text, kind, false, {}};
    return id;
}

void DeviceTreeModel::Expand(int item) {
    auto it = items_.find(item);
    if (it != items_.end()) it->second.expanded = true;
}

TreeItem DeviceTreeModel::SnapshotOf(int item) const {
    const Item& i = items_.at(item);
    TreeItem t{item, i.text, i.kind, i.expanded, {}};
    t.children.reserve(i.children.size());
    for (int c : i.children) t.children.push_back(SnapshotOf(c));
    return t;
}

TreeItem DeviceTreeModel::Snapshot() const {
    if (!items_.count(root_)) return {};
    return SnapshotOf(root_);
}

// ---------------------------------------------------------------- core

namespace {

// Text of the first child named `name` (its first text), or "".
std::string ChildText(XMLNode& parent, const char* name) {
    XMLNode c = parent.ChildByName(name);
    if (c.IsEmpty()) return {};
    const char* t = c.Text(0);
    return t ? t : "";
}

// Local time as "%Y-%m-%dT%H:%M:%S" read back into seconds since the epoch.
bool ParseTimeText(const char* text, std::time_t& out) {
    std::tm tm{};
    const char* end = strptime(text, "%Y-%m-%dT%H:%M:%S", &tm);
    if (!end) return false;
    tm.tm_isdst = -1;
    out = std::mktime(&tm);
    return out != static_cast<std::time_t>(-1);
}

} // namespace

SignalCore::SignalCore() {
    tree_.Reset(std::string());
    CommandBuilder::Hooks h;
    h.deviceId = [this] { return CurrentDeviceId(); };
    h.setTypeText = [this](const std::string& t) { SetTypeText(t); };
    h.send = [this](int kind, const std::string& text) { return sip_.Send(kind, text); };
    builder_.SetHooks(std::move(h));
}

SignalCore::~SignalCore() { StopEndpoint(); }

void SignalCore::SetView(ISignalView* v) {
    {
        // A view bound after the endpoint started still gets everything.
        std::lock_guard<std::mutex> lk(mutex_);
        view_ = v;
        if (v) {
            for (const auto& r : listRows_) v->AppendLogRow(r);
            v->RebuildDeviceTree(tree_.Snapshot());
        }
    }
    builder_.SetView(v);
}

void SignalCore::SetMediaHooks(MediaHooks h) {
    std::lock_guard<std::mutex> lk(mutex_);
    media_ = std::move(h);
}

void SignalCore::ResetTree(const std::string& localId) {
    std::lock_guard<std::mutex> lk(mutex_);
    localId_ = localId;
    tree_.Reset(localId);
    // Nodes keep no stale items of the old tree.
    std::function<void(std::vector<std::unique_ptr<EXOSIP2INFO>>&)> clear =
        [&](std::vector<std::unique_ptr<EXOSIP2INFO>>& v) {
            for (auto& n : v) {
                n->treeItem = 0;
                clear(n->children);
            }
        };
    clear(deviceRecords_);
    if (view_) view_->RebuildDeviceTree(tree_.Snapshot());
}

int SignalCore::StartEndpoint(int transport, const SipSettings& settings) {
    {
        std::lock_guard<std::mutex> lk(pauseMutex_);
        pausesCancelled_ = false;
    }
    // The window puts the content type in before the first start.
    if (sip_.contentType[0] == '\0')
        std::strncpy(sip_.contentType, "application/MANSCDP+xml\r\n", sizeof sip_.contentType - 1);
    return sip_.Start(transport, this, settings);
}

void SignalCore::StopEndpoint() {
    {
        std::lock_guard<std::mutex> lk(pauseMutex_);
        pausesCancelled_ = true;
    }
    pauseCv_.notify_all();
    sip_.Stop();
}

bool SignalCore::Pause(int ms) {
    std::unique_lock<std::mutex> lk(pauseMutex_);
    return !pauseCv_.wait_for(lk, std::chrono::milliseconds(ms), [this] { return pausesCancelled_; });
}

std::string SignalCore::TimeText() {
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t t = system_clock::to_time_t(now);
    int ms = static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[64];
    std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    std::snprintf(buf + n, sizeof buf - n, ".%03d", ms);
    return buf;
}

const std::array<const char*, 5>& SignalCore::SheetHeader() {
    static const std::array<const char*, 5> h = {"时间", "类型", "设备ID", "信息体", "信息头"};
    return h;
}

void SignalCore::SetTypeText(const std::string& text) {
    std::lock_guard<std::mutex> lk(mutex_);
    typeText_ = text;
}

std::string SignalCore::TypeText() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return typeText_;
}

std::optional<std::string> SignalCore::CurrentDeviceId() const {
    std::lock_guard<std::mutex> lk(mutex_);
    if (!current_) return std::nullopt;
    return std::string(current_->id);
}

void SignalCore::ShowMessageBox(const std::string& text) {
    std::lock_guard<std::mutex> lk(mutex_);
    if (view_) view_->ShowMessageBox(text);
}

void SignalCore::AddLogRow(int direction, const std::string& body, const std::string& head,
                           const char* registeringId) {
    if (body.empty() || (direction != kLogSent && direction != kLogReceived)) return;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        // Before the first registration there is no device to file rows under;
        // a REGISTER and its answer carry the registering device instead.
        if (!current_ && !registeringId) return;
        LogRow row;
        row.direction = direction;
        row.time = TimeText();
        row.typeText = typeText_;
        row.deviceId = registeringId ? registeringId : current_->id;
        row.body = body;
        row.head = head;
        row.bodyText = TextCodec::BodyToUtf8(body);
        row.headText = TextCodec::BodyToUtf8(head);
        workbook_.AddRow(direction == kLogReceived ? tarvex::xls::LogDirection::Received
                                                   : tarvex::xls::LogDirection::Sent,
                         row.time, row.typeText, row.deviceId, row.body, row.head);
        (direction == kLogReceived ? recvRows_ : sendRows_).push_back(row);
        listRows_.push_back(row);
        if (view_) view_->AppendLogRow(row);
    }
    if (direction == kLogReceived) DispatchBody(body);
}

std::vector<LogRow> SignalCore::SheetRows(int direction) const {
    std::lock_guard<std::mutex> lk(mutex_);
    return direction == kLogReceived ? recvRows_ : sendRows_;
}

int SignalCore::NextSheetRow(int direction) const {
    std::lock_guard<std::mutex> lk(mutex_);
    return workbook_.NextRow(direction == kLogReceived ? tarvex::xls::LogDirection::Received
                                                       : tarvex::xls::LogDirection::Sent);
}

std::filesystem::path SignalCore::SaveWorkbook(const std::filesystem::path& dir) {
    std::lock_guard<std::mutex> lk(mutex_);
    return workbook_.SaveAtExit(dir);
}

void SignalCore::WithWorkbook(const std::function<void(tarvex::xls::MessageLogWorkbook&)>& f) {
    std::lock_guard<std::mutex> lk(mutex_);
    f(workbook_);
}

int SignalCore::ListRowCount() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return static_cast<int>(listRows_.size());
}

TreeItem SignalCore::TreeSnapshot() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return tree_.Snapshot();
}

std::size_t SignalCore::DeviceRecordCount() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return deviceRecords_.size();
}

void SignalCore::VisitDevices(const std::function<void(const EXOSIP2INFO&)>& f) const {
    std::lock_guard<std::mutex> lk(mutex_);
    for (const auto& d : deviceRecords_) f(*d);
}

void SignalCore::DeleteDevices() {
    std::lock_guard<std::mutex> lk(mutex_);
    current_ = nullptr;
    catalogDevice_ = nullptr;
    deviceRecords_.clear();
}

// ---------------------------------------------------------------- registration

void SignalCore::OnDeviceRegistered(std::unique_ptr<EXOSIP2INFO> node) {
    if (!node) return;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        current_ = node.get();
        deviceRecords_.push_back(std::move(node));
        AddTreeChildrenLocked(tree_.Root(), deviceRecords_);
        if (view_) view_->RebuildDeviceTree(tree_.Snapshot());
    }
    builder_.FillSignalling();
    if (Pause(1000)) builder_.RunSignalling(kRowCatalog);
}

// ---------------------------------------------------------------- tree

void SignalCore::AddTreeChildrenLocked(int parent,
                                       const std::vector<std::unique_ptr<EXOSIP2INFO>>& nodes) {
    for (const auto& n : nodes) {
        int item = tree_.FindChild(parent, n->id);
        if (!item) {
            item = tree_.Append(parent, n->id, n->kind);
            n->treeItem = item;
        }
        if (!n->children.empty()) AddTreeChildrenLocked(item, n->children);
    }
    tree_.Expand(parent);
}

void SignalCore::RebuildDeviceTreeLocked() {
    AddTreeChildrenLocked(tree_.Reset(localId_), deviceRecords_);
    if (view_) view_->RebuildDeviceTree(tree_.Snapshot());
}

void SignalCore::RebuildDeviceTree() {
    std::lock_guard<std::mutex> lk(mutex_);
    RebuildDeviceTreeLocked();
}

EXOSIP2INFO* SignalCore::FindNodeLocked(int item, EXOSIP2INFO* under) {
    if (under->treeItem == item) return under;
    for (auto& c : under->children)
        if (EXOSIP2INFO* f = FindNodeLocked(item, c.get())) return f;
    return nullptr;
}

void SignalCore::OnTreeClick(int item) {
    int kind = 0;
    std::string start, end;
    MediaHooks media;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        if (item == 0 || item == tree_.Root()) return;
        EXOSIP2INFO* found = nullptr;
        for (auto& d : deviceRecords_)
            if ((found = FindNodeLocked(item, d.get()))) break;
        if (!found) return;
        kind = found->kind;
        start = found->startTime;
        end = found->endTime;
        media = media_;
    }
    bool live = media.livePlaying && media.livePlaying();
    switch (kind) {
    case kNodeDevice:
        if (live && media.stopLive) media.stopLive();
        builder_.ClearChecks(kListMedia);
        builder_.FillSignalling();
        break;
    case kNodeChannel:
        builder_.FillMedia(live ? 1 : 0);
        builder_.ClearChecks(kListSignalling);
        break;
    case kNodeRecording: {
        std::time_t s = 0, e = 0;
        long seconds = 0;
        if (ParseTimeText(start.c_str(), s) && ParseTimeText(end.c_str(), e))
            seconds = static_cast<long>(e - s);
        if (media.setPlaybackLength) media.setPlaybackLength(static_cast<int>(seconds));
        // A negative length (end before start) shows as zero.
        long shown = seconds < 0 ? 0 : seconds;
        char duration[32], progress[48];
        std::snprintf(duration, sizeof duration, "%02ld:%02ld:%02ld", shown / 3600,
                      (shown % 3600) / 60, shown % 60);
        std::snprintf(progress, sizeof progress, "00:00:00/%s", duration);
        {
            std::lock_guard<std::mutex> lk(mutex_);
            if (view_) view_->SetPlaybackProgress(progress, static_cast<int>(shown), 1);
        }
        if (live && media.stopLive) media.stopLive();
        bool open = media.playbackOpen && media.playbackOpen();
        builder_.FillMedia(open ? 3 : 2);
        builder_.ClearChecks(kListSignalling);
        break;
    }
    default: break;
    }
}

SignalCore::ViewerRequest SignalCore::OnLogDoubleClick(int row, int column) const {
    std::string body, head;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        if (row < 0 || static_cast<std::size_t>(row) >= listRows_.size()) return {};
        body = listRows_[row].body;
        head = listRows_[row].headText;
    }
    if (column == 3) {
        XMLNode doc = XMLNode::Parse(body.c_str());
        if (!doc.IsEmpty() && doc.ChildCount() > 0) return {Viewer::Xml, body};
        return {Viewer::Text, TextCodec::BodyToUtf8(body)};
    }
    if (column == 4) return {Viewer::Text, head};
    return {};
}

// ---------------------------------------------------------------- dispatch

int SignalCore::DispatchBody(const std::string& text) {
    lastResponse_ = XMLNode::Parse(text.c_str());
    XMLNode doc = lastResponse_;
    if (doc.IsEmpty() || doc.ChildCount() == 0) return 0;
    const char* cmd = doc.FindText("CmdType");
    if (!cmd) return 0;
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
    for (const Row& r : kTable) {
        if (std::strcmp(cmd, r.cmdType) != 0) continue;
        SetTypeText(r.typeText);
        switch (r.handler) {
        case 1:
            if (Pause(1000)) builder_.RunSignalling(kRowDeviceStatus);
            return 0;
        case 2: return CatalogHandler(doc);
        case 3: return RecordHandler(doc);
        default: return 0;
        }
    }
    return 0;
}

namespace {
// The document element: the first child of the declaration node, or the
// parsed element itself for a body without declaration.
XMLNode DocumentElement(XMLNode& doc) {
    const char* name = doc.Name();
    if (name && strcasecmp(name, "xml") == 0) return doc.ChildAt(0);
    return doc;
}
} // namespace

int SignalCore::CatalogHandler(XMLNode doc) {
    XMLNode element = DocumentElement(doc);
    XMLNode list = element.ChildWithNum("DeviceList");
    if (list.IsEmpty() || list.ChildCount() == 0) return -1;
    const char* snText = element.FindText("SN");
    const char* sumText = element.FindText("SumNum");
    std::string sn = snText ? snText : "";
    long sum = sumText ? std::strtol(sumText, nullptr, 10) : -1;
    bool complete = false;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        if (!current_) return -1;
        // A catalog may come in several messages of one SN: collect them.
        bool collecting = sum > 0 && catalogDevice_ == current_ && catalogSN_ == sn &&
                          catalogSum_ == sum && catalogCount_ < catalogSum_;
        if (!collecting) {
            current_->children.clear();
            catalogDevice_ = current_;
            catalogSN_ = sn;
            catalogSum_ = sum;
            catalogCount_ = 0;
        }
        for (int i = 0; i < list.ChildCount(); ++i) {
            XMLNode item = list.ChildAt(i);
            auto node = std::make_unique<EXOSIP2INFO>();
            node->kind = kNodeChannel;
            EXOSIP2INFO::SetField(node->address, ChildText(item, "IPAddress"));
            EXOSIP2INFO::SetField(node->id, ChildText(item, "DeviceID"));
            if (!item.ChildByName("Port").IsEmpty()) node->port = PortFromText(ChildText(item, "Port"));
            current_->children.push_back(std::move(node));
            ++catalogCount_;
        }
        complete = sum <= 0 || catalogCount_ >= catalogSum_;
        RebuildDeviceTreeLocked();
    }
    if (complete && Pause(1000)) builder_.RunSignalling(kRowDeviceInfo);
    return 0;
}

int SignalCore::RecordHandler(XMLNode doc) {
    XMLNode element = DocumentElement(doc);
    XMLNode list = element.ChildWithNum("RecordList");
    int count = list.IsEmpty() ? 0 : list.ChildCount();
    std::lock_guard<std::mutex> lk(mutex_);
    if (!current_) return 0;
    for (auto& channel : current_->children) {
        for (int i = 0; i < count; ++i) {
            XMLNode item = list.ChildAt(i);
            // Compared as stored: identifiers are kept to 31 characters.
            char itemId[EXOSIP2INFO::kFieldSize];
            EXOSIP2INFO::SetField(itemId, ChildText(item, "DeviceID"));
            if (std::strcmp(itemId, channel->id) != 0) continue;
            auto rec = std::make_unique<EXOSIP2INFO>();
            rec->kind = kNodeRecording;
            EXOSIP2INFO::SetField(rec->id, ChildText(item, "FilePath"));
            EXOSIP2INFO::SetField(rec->startTime, ChildText(item, "StartTime"));
            EXOSIP2INFO::SetField(rec->endTime, ChildText(item, "EndTime"));
            channel->children.push_back(std::move(rec));
        }
    }
    RebuildDeviceTreeLocked();
    return 0;
}
