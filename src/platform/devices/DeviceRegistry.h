#pragma once
// The device records, one per device identifier (a new REGISTER of a known
// device refreshes its record), each owning its channels and their
// recordings, its query chain and catalog collection; and the device tree
// model built from them. A plain object: the core guards it with its mutex.

#include "manscdp/xml/XMLNode.h"
#include "platform/devices/DeviceNode.h"
#include "sip/endpoint/SipEndpoint.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

// A copy of the device tree for the view: the root carries this system's SIP
// identifier; item numbers stay the same for an item while it lives, so that
// clicks and check marks find it.
struct TreeItem {
    int item = 0;
    std::string text;
    int kind = 0; // NodeKind of the node the item was made for; 0 for the root
    bool expanded = false;
    std::vector<TreeItem> children;
};

// What changed in the tree since the view last looked: items added (at the end
// of their parent's children), items removed (with their descendants), items
// expanded. When the changes would cost more than drawing the whole tree
// (after a reset, or when many piled up), full is set and snapshot holds it.
struct TreeChange {
    enum class Op { Add, Remove, Expand };
    Op op = Op::Add;
    int item = 0;
    int parent = 0;   // Add
    std::string text; // Add
    int kind = 0;     // Add
};
struct TreeDelta {
    bool full = false;
    TreeItem snapshot; // when full
    std::vector<TreeChange> changes;
    // Items whose offline mark changed since the last delta (after the
    // changes), or with full every item marked offline: (item, offline).
    std::vector<std::pair<int, bool>> offline;
};

class DeviceTreeModel {
public:
    // Forgets every item; the new root carries rootText.
    void Reset(const std::string& rootText);
    // Gives node (and its descendants) an item under parent: one item per
    // distinct text among siblings, appended when new; sets each treeItem. The
    // parent then shows expanded.
    void AddNode(int parent, DeviceNode& node);
    // The node and its descendants no longer need their items; an item that no
    // node needs any more goes, with its descendants. Call Sweep after a batch.
    void DropNode(const DeviceNode& node);
    void Sweep();
    // The items of every device node, from a fresh root with the same text.
    void Rebuild(const std::vector<DeviceNode*>& devices);
    TreeItem Snapshot() const;
    // A device's item shows that it missed its keepalives (or no longer does).
    void SetOffline(int item, bool offline);
    bool Offline(int item) const;
    // The changes since the last call (or the whole tree), then forgets them.
    void TakeDelta(TreeDelta& out);
    int Root() const { return root_; }
    std::size_t ItemCount() const { return items_.size(); }

private:
    struct Item {
        int parent = 0;
        std::string text;
        int kind = 0;
        bool expanded = false;
        bool offline = false;
        int nodes = 0; // nodes whose item this is
        std::vector<int> children;
        std::unordered_map<std::string, int> byText;
    };
    int FindOrAdd(int parent, const std::string& text, int kind);
    void Record(TreeChange change);
    TreeItem SnapshotOf(int item) const;

    std::unordered_map<int, Item> items_;
    std::vector<int> dead_;
    int root_ = 0;
    int next_ = 1;
    std::vector<TreeChange> journal_;
    std::vector<std::pair<int, bool>> offlineJournal_;
    bool full_ = true;
};

// Where a device record's automatic queries stand: Catalog one second after the
// REGISTER's answer, DeviceInfo one second after the complete Catalog answer,
// DeviceStatus one second after the DeviceInfo answer; once per registration.
enum class ChainStage {
    CatalogDue,
    CatalogSent,
    InfoDue,
    InfoSent,
    StatusDue,
    Done,
};

struct DeviceRecord {
    std::uint64_t serial = 0; // names the record in the follow-up schedule
    std::unique_ptr<DeviceNode> node;
    ChainStage stage = ChainStage::CatalogDue;
    // A catalog answered in several messages of one SN.
    std::string catalogSN;
    long catalogSum = -1;
    long catalogCount = 0;
    bool catalogOpen = false;

    // The last keepalive (or the registration); a device silent for the
    // configured misses times the interval is marked offline until it speaks.
    std::chrono::steady_clock::time_point lastKeepalive{};
    bool offline = false;
    // False once the device unregistered (Expires 0): requests from it are
    // refused until it registers again.
    bool registered = true;
    // The version the device declared in its REGISTER ("X-GB-Ver"), if any.
    std::string gbVersion;

    DeviceAddress Address() const { return {node->id, node->address, node->port}; }
};

// What the operator selected in the tree: a device, one of its channels, or a
// recording of a channel. Requests go where it says.
struct Selection {
    std::uint64_t device = 0; // DeviceRecord::serial; 0 nothing selected
    std::string channel;      // empty: the device itself
    std::string startTime, endTime; // a recording's times
};

class DeviceRegistry {
public:
    // Records kept at most; a REGISTER of a new device beyond it is refused.
    static constexpr std::size_t kMaxDevices = 10000;

    // The record of a REGISTER: a known device's record gets the new address
    // and its chain starts again; an unknown device gets a new record. Null
    // when the registry is full.
    DeviceRecord* Register(const DeviceAddress& device);
    // Expires 0: the device's record is marked unregistered and offline (it
    // stays in the tree, grey). Null when the device is unknown.
    DeviceRecord* Unregister(const std::string& id);
    DeviceRecord* BySerial(std::uint64_t serial);
    const DeviceRecord* BySerial(std::uint64_t serial) const;
    // The record of the device with this identifier (compared as stored: cut
    // to 31 characters), or of the device owning a channel of that identifier.
    DeviceRecord* Find(const std::string& id);
    const DeviceRecord* Find(const std::string& id) const;
    // The device with exactly this identifier (no channel lookup).
    DeviceRecord* FindDevice(const std::string& id);
    // True when id is the record's device or one of its channels.
    static bool Owns(const DeviceRecord& r, const std::string& id);
    // The node whose tree item this is, depth first in registration order,
    // and the record it belongs to.
    DeviceNode* NodeOfItem(int item, DeviceRecord** owner = nullptr);
    std::size_t Count() const { return records_.size(); }
    const std::vector<std::unique_ptr<DeviceRecord>>& Records() const { return records_; }
    // Deletes every record with its channels and recordings.
    void Clear();

    // A Catalog answer (Response) on the record replaces its channel list: -1
    // when the answer carries no DeviceList with items (nothing changes); 1
    // when the catalog is now complete, 0 while more messages are due. A
    // DeviceList without Num counts its items; an answer without SumNum is
    // complete by itself.
    int ApplyCatalog(DeviceRecord& r, XMLNode element);
    // A Catalog notification (Notify, subscription events) merges into the
    // list: each item's Event ADD or UPDATE adds or replaces the channel, DEL
    // removes it, ON, OFF, VLOST and DEFECT set its status; an item without
    // Event is added or replaced. The number of channels changed.
    int MergeCatalog(DeviceRecord& r, XMLNode element);
    // The RecordInfo handler: recordings of the record's channels.
    void ApplyRecords(DeviceRecord& r, XMLNode element);

    // The tree model follows the records: Register, the catalog handlers and
    // ApplyRecords change only the items of the nodes they touch.
    DeviceTreeModel& Tree() { return tree_; }
    const DeviceTreeModel& Tree() const { return tree_; }
    // A new root; the records come back under it with the next change.
    void ResetTree(const std::string& rootText);

private:
    // Puts every record back under the root after a reset.
    bool SyncTree();
    // The channel node of the item, filled from a Catalog item.
    static std::unique_ptr<DeviceNode> ChannelOf(XMLNode& item);
    bool treeStale_ = false;

    std::vector<std::unique_ptr<DeviceRecord>> records_;
    std::unordered_map<std::string, DeviceRecord*> byId_;
    std::uint64_t nextSerial_ = 1;
    DeviceTreeModel tree_;
};
