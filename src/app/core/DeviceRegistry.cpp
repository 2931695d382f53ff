#include "app/core/DeviceRegistry.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <strings.h>

// ---------------------------------------------------------------- tree model

void DeviceTreeModel::Reset(const std::string& rootText) {
    items_.clear();
    root_ = next_++;
    Item& r = items_[root_];
    r.text = rootText;
    r.expanded = true;
}

int DeviceTreeModel::FindOrAdd(int parent, const std::string& text, int kind) {
    Item& p = items_[parent];
    auto it = p.byText.find(text);
    int id;
    if (it != p.byText.end()) {
        id = it->second;
    } else {
        id = next_++;
        p.children.push_back(id);
        p.byText.emplace(text, id);
        Item& n = items_[id];
        n.parent = parent;
        n.text = text;
        n.kind = kind;
    }
    items_[id].used = true;
    return id;
}

void DeviceTreeModel::Mark(int parent, const std::vector<std::unique_ptr<EXOSIP2INFO>>& nodes) {
    for (const auto& n : nodes) {
        const int item = FindOrAdd(parent, n->id, n->kind);
        n->treeItem = item;
        if (!n->children.empty()) Mark(item, n->children);
    }
    if (!nodes.empty()) items_[parent].expanded = true;
}

void DeviceTreeModel::Rebuild(const std::vector<EXOSIP2INFO*>& devices) {
    if (!items_.count(root_)) Reset(std::string());
    for (auto& [id, item] : items_) item.used = false;
    items_[root_].used = true;
    for (EXOSIP2INFO* d : devices) {
        const int item = FindOrAdd(root_, d->id, d->kind);
        d->treeItem = item;
        if (!d->children.empty()) Mark(item, d->children);
    }
    // Items of nodes that are gone (a catalog replaced the channels) go too.
    std::vector<int> gone;
    for (const auto& [id, item] : items_)
        if (!item.used) gone.push_back(id);
    for (int id : gone) {
        auto it = items_.find(id);
        auto parent = items_.find(it->second.parent);
        if (parent != items_.end()) {
            auto& c = parent->second.children;
            c.erase(std::remove(c.begin(), c.end(), id), c.end());
            auto t = parent->second.byText.find(it->second.text);
            if (t != parent->second.byText.end() && t->second == id) parent->second.byText.erase(t);
        }
    }
    for (int id : gone) items_.erase(id);
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
    char field[EXOSIP2INFO::kFieldSize];
    EXOSIP2INFO::SetField(field, text);
    return field;
}

EXOSIP2INFO* FindItem(EXOSIP2INFO* node, int item) {
    if (node->treeItem == item) return node;
    for (auto& c : node->children)
        if (EXOSIP2INFO* f = FindItem(c.get(), item)) return f;
    return nullptr;
}

} // namespace

DeviceRecord& DeviceRegistry::Add(const DeviceAddress& device) {
    auto r = std::make_unique<DeviceRecord>();
    r->serial = nextSerial_++;
    r->node = std::make_unique<EXOSIP2INFO>();
    r->node->kind = kNodeDevice;
    EXOSIP2INFO::SetField(r->node->id, device.id);
    EXOSIP2INFO::SetField(r->node->address, device.address);
    r->node->port = static_cast<std::uint16_t>(device.port);
    records_.push_back(std::move(r));
    current_ = records_.back().get();
    return *current_;
}

DeviceRecord* DeviceRegistry::BySerial(std::uint64_t serial) {
    for (auto& r : records_)
        if (r->serial == serial) return r.get();
    return nullptr;
}

DeviceRecord* DeviceRegistry::Find(const std::string& id) {
    if (id.empty()) return nullptr;
    const std::string key = Stored(id);
    for (auto it = records_.rbegin(); it != records_.rend(); ++it)
        if (key == (*it)->node->id) return it->get();
    for (auto it = records_.rbegin(); it != records_.rend(); ++it)
        for (const auto& c : (*it)->node->children)
            if (key == c->id) return it->get();
    return nullptr;
}

EXOSIP2INFO* DeviceRegistry::NodeOfItem(int item) {
    if (item == 0) return nullptr;
    for (auto& r : records_)
        if (EXOSIP2INFO* f = FindItem(r->node.get(), item)) return f;
    return nullptr;
}

void DeviceRegistry::Clear() {
    current_ = nullptr;
    records_.clear();
}

void DeviceRegistry::RebuildTree() {
    std::vector<EXOSIP2INFO*> devices;
    devices.reserve(records_.size());
    for (auto& r : records_) devices.push_back(r->node.get());
    tree_.Rebuild(devices);
}

int DeviceRegistry::ApplyCatalog(DeviceRecord& r, XMLNode element) {
    XMLNode list = element.ChildWithNum("DeviceList");
    if (list.IsEmpty() || list.ChildCount() == 0) return -1;
    const char* snText = element.FindText("SN");
    const char* sumText = element.FindText("SumNum");
    const std::string sn = snText ? snText : "";
    const long sum = sumText ? std::strtol(sumText, nullptr, 10) : -1;
    // A catalog may come in several messages of one SN: collect them; any other
    // answer starts a new channel list.
    const bool collecting = sum > 0 && r.catalogOpen && r.catalogSN == sn && r.catalogSum == sum;
    EXOSIP2INFO& device = *r.node;
    if (!collecting) {
        device.children.clear();
        r.catalogSN = sn;
        r.catalogSum = sum;
        r.catalogCount = 0;
    }
    for (int i = 0; i < list.ChildCount(); ++i) {
        XMLNode item = list.ChildAt(i);
        auto node = std::make_unique<EXOSIP2INFO>();
        node->kind = kNodeChannel;
        EXOSIP2INFO::SetField(node->address, ChildText(item, "IPAddress"));
        EXOSIP2INFO::SetField(node->id, ChildText(item, "DeviceID"));
        if (!item.ChildByName("Port").IsEmpty()) node->port = PortFromText(ChildText(item, "Port"));
        device.children.push_back(std::move(node));
        ++r.catalogCount;
    }
    const bool complete = sum <= 0 || r.catalogCount >= sum;
    r.catalogOpen = !complete;
    return complete ? 1 : 0;
}

void DeviceRegistry::ApplyRecords(DeviceRecord& r, XMLNode element) {
    XMLNode list = element.ChildWithNum("RecordList");
    const int count = list.IsEmpty() ? 0 : list.ChildCount();
    for (auto& channel : r.node->children) {
        for (int i = 0; i < count; ++i) {
            XMLNode item = list.ChildAt(i);
            if (Stored(ChildText(item, "DeviceID")) != channel->id) continue;
            auto rec = std::make_unique<EXOSIP2INFO>();
            rec->kind = kNodeRecording;
            EXOSIP2INFO::SetField(rec->id, ChildText(item, "FilePath"));
            EXOSIP2INFO::SetField(rec->startTime, ChildText(item, "StartTime"));
            EXOSIP2INFO::SetField(rec->endTime, ChildText(item, "EndTime"));
            channel->children.push_back(std::move(rec));
        }
    }
}
