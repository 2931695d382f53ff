#include "platform/devices/DeviceRegistry.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <strings.h>

// ---------------------------------------------------------------- tree model

namespace {
// A view catches up by a whole redraw rather than by more changes than this
// beyond half the items it shows.
constexpr std::size_t kDeltaSlack = 256;
} // namespace

void DeviceTreeModel::Reset(const std::string& rootText) {
    items_.clear();
    dead_.clear();
    root_ = next_++;
    Item& r = items_[root_];
    r.text = rootText;
    r.expanded = true;
    journal_.clear();
    full_ = true;
}

void DeviceTreeModel::Record(TreeChange change) {
    if (full_) return;
    // Nobody takes the changes (no view, or one far behind): a redraw is cheaper.
    if (journal_.size() > items_.size() / 2 + kDeltaSlack) {
        journal_.clear();
        full_ = true;
        return;
    }
    journal_.push_back(std::move(change));
}

int DeviceTreeModel::FindOrAdd(int parent, const std::string& text, int kind) {
    Item& p = items_[parent];
    auto it = p.byText.find(text);
    if (it != p.byText.end()) return it->second;
    const int id = next_++;
    p.children.push_back(id);
    p.byText.emplace(text, id);
    Item& n = items_[id];
    n.parent = parent;
    n.text = text;
    n.kind = kind;
    Record({TreeChange::Op::Add, id, parent, text, kind});
    return id;
}

void DeviceTreeModel::AddNode(int parent, DeviceNode& node) {
    if (!items_.count(parent)) return;
    const int item = FindOrAdd(parent, node.TreeText(), node.kind);
    ++items_[item].nodes;
    node.treeItem = item;
    Item& p = items_[parent];
    if (!p.expanded) {
        p.expanded = true;
        Record({TreeChange::Op::Expand, parent, 0, {}, 0});
    }
    for (auto& c : node.children) AddNode(item, *c);
}

void DeviceTreeModel::DropNode(const DeviceNode& node) {
    for (const auto& c : node.children) DropNode(*c);
    auto it = items_.find(node.treeItem);
    if (it == items_.end() || node.treeItem == root_) return;
    if (--it->second.nodes == 0) dead_.push_back(node.treeItem);
}

void DeviceTreeModel::Sweep() {
    if (dead_.empty()) return;
    // Children before their parents (DropNode went depth first); each parent's
    // list is compacted once for the whole batch.
    std::unordered_map<int, bool> gone;
    for (int id : dead_) gone[id] = true;
    std::unordered_map<int, bool> parents;
    for (int id : dead_) {
        Item& i = items_[id];
        Record({TreeChange::Op::Remove, id, i.parent, {}, 0});
        auto p = items_.find(i.parent);
        if (p == items_.end() || gone.count(i.parent)) continue;
        p->second.byText.erase(i.text);
        parents[i.parent] = true;
    }
    for (const auto& [pid, unused] : parents) {
        (void)unused;
        std::erase_if(items_[pid].children, [&](int c) { return gone.count(c) != 0; });
    }
    for (int id : dead_) items_.erase(id);
    dead_.clear();
}

void DeviceTreeModel::Rebuild(const std::vector<DeviceNode*>& devices) {
    const std::string rootText = items_.count(root_) ? items_[root_].text : std::string();
    Reset(rootText);
    for (DeviceNode* d : devices) AddNode(root_, *d);
}

void DeviceTreeModel::TakeDelta(TreeDelta& out) {
    out.changes.clear();
    out.offline.clear();
    out.full = full_;
    if (full_) {
        out.snapshot = Snapshot();
        full_ = false;
        for (const auto& [id, item] : items_)
            if (item.offline) out.offline.emplace_back(id, true);
    } else {
        out.snapshot = TreeItem{};
        out.changes.swap(journal_);
        out.offline.swap(offlineJournal_);
    }
    journal_.clear();
    offlineJournal_.clear();
}

void DeviceTreeModel::SetOffline(int item, bool offline) {
    auto it = items_.find(item);
    if (it == items_.end() || it->second.offline == offline) return;
    it->second.offline = offline;
    if (!full_) offlineJournal_.emplace_back(item, offline);
}

bool DeviceTreeModel::Offline(int item) const {
    auto it = items_.find(item);
    return it != items_.end() && it->second.offline;
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

// ---------------------------------------------------------------- records

namespace {

// Text of the first child named `name` (its first text), or "".
std::string ChildText(XMLNode& parent, const char* name) {
    XMLNode c = parent.ChildByName(name);
    if (c.IsEmpty()) return {};
    const char* t = c.Text(0);
    return t ? t : "";
}

// Identifiers are compared as stored: cut to 31 characters.
std::string Stored(const std::string& text) {
    char field[DeviceNode::kFieldSize];
    DeviceNode::SetField(field, text);
    return field;
}

DeviceNode* FindItem(DeviceNode* node, int item) {
    if (node->treeItem == item) return node;
    for (auto& c : node->children)
        if (DeviceNode* f = FindItem(c.get(), item)) return f;
    return nullptr;
}

} // namespace

DeviceRecord* DeviceRegistry::Register(const DeviceAddress& device) {
    const std::string key = Stored(device.id);
    DeviceRecord* r = FindDevice(key);
    if (!r) {
        if (records_.size() >= kMaxDevices) return nullptr;
        auto fresh = std::make_unique<DeviceRecord>();
        fresh->serial = nextSerial_++;
        fresh->node = std::make_unique<DeviceNode>();
        fresh->node->kind = kNodeDevice;
        DeviceNode::SetField(fresh->node->id, key);
        records_.push_back(std::move(fresh));
        r = records_.back().get();
        byId_[key] = r;
        if (!SyncTree()) tree_.AddNode(tree_.Root(), *r->node);
    }
    DeviceNode::SetField(r->node->address, device.address);
    r->node->port = static_cast<std::uint16_t>(device.port);
    r->registered = true;
    r->stage = ChainStage::CatalogDue;
    r->catalogOpen = false;
    return r;
}

DeviceRecord* DeviceRegistry::Unregister(const std::string& id) {
    DeviceRecord* r = FindDevice(id);
    if (!r) return nullptr;
    r->registered = false;
    r->offline = true;
    r->stage = ChainStage::Done;
    r->catalogOpen = false;
    tree_.SetOffline(r->node->treeItem, true);
    return r;
}

DeviceRecord* DeviceRegistry::BySerial(std::uint64_t serial) {
    for (auto& r : records_)
        if (r->serial == serial) return r.get();
    return nullptr;
}

const DeviceRecord* DeviceRegistry::BySerial(std::uint64_t serial) const {
    return const_cast<DeviceRegistry*>(this)->BySerial(serial);
}

DeviceRecord* DeviceRegistry::FindDevice(const std::string& id) {
    if (id.empty()) return nullptr;
    auto it = byId_.find(Stored(id));
    return it == byId_.end() ? nullptr : it->second;
}

DeviceRecord* DeviceRegistry::Find(const std::string& id) {
    if (DeviceRecord* d = FindDevice(id)) return d;
    if (id.empty()) return nullptr;
    const std::string key = Stored(id);
    for (auto& r : records_)
        for (const auto& c : r->node->children)
            if (key == c->id) return r.get();
    return nullptr;
}

const DeviceRecord* DeviceRegistry::Find(const std::string& id) const {
    return const_cast<DeviceRegistry*>(this)->Find(id);
}

bool DeviceRegistry::Owns(const DeviceRecord& r, const std::string& id) {
    const std::string key = Stored(id);
    if (key == r.node->id) return true;
    for (const auto& c : r.node->children)
        if (key == c->id) return true;
    return false;
}

DeviceNode* DeviceRegistry::NodeOfItem(int item, DeviceRecord** owner) {
    if (item == 0) return nullptr;
    for (auto& r : records_)
        if (DeviceNode* f = FindItem(r->node.get(), item)) {
            if (owner) *owner = r.get();
            return f;
        }
    return nullptr;
}

void DeviceRegistry::Clear() {
    records_.clear();
    byId_.clear();
}

void DeviceRegistry::ResetTree(const std::string& rootText) {
    tree_.Reset(rootText);
    for (const auto& r : records_) r->node->treeItem = 0;
    treeStale_ = !records_.empty();
}

bool DeviceRegistry::SyncTree() {
    if (!treeStale_) return false;
    treeStale_ = false;
    std::vector<DeviceNode*> devices;
    devices.reserve(records_.size());
    for (auto& r : records_) devices.push_back(r->node.get());
    tree_.Rebuild(devices);
    return true;
}

int DeviceRegistry::ApplyCatalog(DeviceRecord& r, XMLNode element) {
    // Real devices leave Num out: the items are counted all the same.
    XMLNode list = element.ChildWithNum("DeviceList");
    if (list.IsEmpty()) list = element.ChildByName("DeviceList");
    if (list.IsEmpty() || list.ChildCount() == 0) return -1;
    const char* snText = element.FindText("SN");
    const char* sumText = element.FindText("SumNum");
    const std::string sn = snText ? snText : "";
    const long sum = sumText ? std::strtol(sumText, nullptr, 10) : -1;
    // A catalog may come in several messages of one SN: collect them; any other
    // answer starts a new channel list.
    const bool collecting = sum > 0 && r.catalogOpen && r.catalogSN == sn && r.catalogSum == sum;
    DeviceNode& device = *r.node;
    // After a reset of the tree the whole tree is built once the records changed.
    const bool stale = treeStale_;
    if (!collecting) {
        // The items of the old channels go (unless another record of the device
        // still has them); the new ones are appended.
        if (!stale) {
            for (const auto& c : device.children) tree_.DropNode(*c);
            tree_.Sweep();
        }
        device.children.clear();
        r.catalogSN = sn;
        r.catalogSum = sum;
        r.catalogCount = 0;
    }
    for (int i = 0; i < list.ChildCount(); ++i) {
        XMLNode item = list.ChildAt(i);
        auto node = ChannelOf(item);
        if (!stale) tree_.AddNode(device.treeItem, *node);
        device.children.push_back(std::move(node));
        ++r.catalogCount;
    }
    SyncTree();
    const bool complete = sum <= 0 || r.catalogCount >= sum;
    r.catalogOpen = !complete;
    return complete ? 1 : 0;
}

std::unique_ptr<DeviceNode> DeviceRegistry::ChannelOf(XMLNode& item) {
    auto node = std::make_unique<DeviceNode>();
    node->kind = kNodeChannel;
    DeviceNode::SetField(node->address, ChildText(item, "IPAddress"));
    DeviceNode::SetField(node->id, ChildText(item, "DeviceID"));
    if (!item.ChildByName("Port").IsEmpty()) node->port = PortFromText(ChildText(item, "Port"));
    node->name = ChildText(item, "Name");
    node->status = ChildText(item, "Status");
    return node;
}

int DeviceRegistry::MergeCatalog(DeviceRecord& r, XMLNode element) {
    XMLNode list = element.ChildWithNum("DeviceList");
    if (list.IsEmpty()) list = element.ChildByName("DeviceList");
    if (list.IsEmpty()) return 0;
    DeviceNode& device = *r.node;
    const bool stale = treeStale_;
    int changed = 0;
    for (int i = 0; i < list.ChildCount(); ++i) {
        XMLNode item = list.ChildAt(i);
        const std::string id = Stored(ChildText(item, "DeviceID"));
        if (id.empty() || id == device.id) continue;
        std::string event = ChildText(item, "Event");
        for (char& c : event) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        auto it = std::find_if(device.children.begin(), device.children.end(),
                               [&](const auto& c) { return id == c->id; });
        auto drop = [&] {
            if (!stale) {
                tree_.DropNode(**it);
                tree_.Sweep();
            }
            it = device.children.erase(it);
        };
        if (event == "DEL") {
            if (it != device.children.end()) {
                drop();
                ++changed;
            }
            continue;
        }
        if (event == "ON" || event == "OFF" || event == "VLOST" || event == "DEFECT") {
            if (it != device.children.end()) {
                (*it)->status = event;
                if (!stale) tree_.SetOffline((*it)->treeItem, event != "ON");
                ++changed;
            }
            continue;
        }
        // ADD, UPDATE or no event: the item as sent replaces the channel,
        // keeping its recordings.
        auto node = ChannelOf(item);
        if (it != device.children.end()) {
            node->children = std::move((*it)->children);
            (*it)->children.clear();
            drop();
        }
        if (!stale) tree_.AddNode(device.treeItem, *node);
        device.children.push_back(std::move(node));
        ++changed;
    }
    SyncTree();
    return changed;
}

void DeviceRegistry::ApplyRecords(DeviceRecord& r, XMLNode element) {
    const bool stale = treeStale_;
    XMLNode list = element.ChildWithNum("RecordList");
    const int count = list.IsEmpty() ? 0 : list.ChildCount();
    for (auto& channel : r.node->children) {
        for (int i = 0; i < count; ++i) {
            XMLNode item = list.ChildAt(i);
            if (Stored(ChildText(item, "DeviceID")) != channel->id) continue;
            auto rec = std::make_unique<DeviceNode>();
            rec->kind = kNodeRecording;
            DeviceNode::SetField(rec->id, ChildText(item, "FilePath"));
            DeviceNode::SetField(rec->startTime, ChildText(item, "StartTime"));
            DeviceNode::SetField(rec->endTime, ChildText(item, "EndTime"));
            if (!stale) tree_.AddNode(channel->treeItem, *rec);
            channel->children.push_back(std::move(rec));
        }
    }
    SyncTree();
}
