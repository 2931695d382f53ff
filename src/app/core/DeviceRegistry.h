#pragma once
// The device records (one per REGISTER, each owning its channels and their
// recordings), the current device (the latest REGISTER), each record's query
// chain and catalog collection, and the device tree model built from them.
// A plain object: the core guards it with its mutex.

#include "manscdp/xml/XMLNode.h"
#include "sip/endpoint/EXOSIP2INFO.h"
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
    void AddNode(int parent, EXOSIP2INFO& node);
    // The node and its descendants no longer need their items; an item that no
    // node needs any more goes, with its descendants. Call Sweep after a batch.
    void DropNode(const EXOSIP2INFO& node);
    void Sweep();
    // The items of every device node, from a fresh root with the same text.
    void Rebuild(const std::vector<EXOSIP2INFO*>& devices);
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
    std::unique_ptr<EXOSIP2INFO> node;
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

    DeviceAddress Address() const { return {node->id, node->address, node->port}; }
};

class DeviceRegistry {
public:
    // A new record from a REGISTER; it becomes the current device.
    DeviceRecord& Add(const DeviceAddress& device);
    DeviceRecord* Current() { return current_; }
    const DeviceRecord* Current() const { return current_; }
    DeviceRecord* BySerial(std::uint64_t serial);
    // The latest record of the device with this identifier (compared as stored:
    // cut to 31 characters), or the device owning a channel of that identifier.
    DeviceRecord* Find(const std::string& id);
    // The node whose tree item this is, depth first in registration order.
    EXOSIP2INFO* NodeOfItem(int item);
    std::size_t Count() const { return records_.size(); }
    const std::vector<std::unique_ptr<DeviceRecord>>& Records() const { return records_; }
    // Deletes every record with its channels and recordings.
    void Clear();

    // The Catalog handler on the record: -1 when the answer carries no DeviceList
    // with items (nothing changes); 1 when the catalog is now complete, 0 while
    // more messages are due. A DeviceList without Num counts its items; an
    // answer without SumNum is complete by itself.
    int ApplyCatalog(DeviceRecord& r, XMLNode element);
    // The RecordInfo handler: recordings of the record's channels.
    void ApplyRecords(DeviceRecord& r, XMLNode element);

    // The tree model follows the records: Add, ApplyCatalog and ApplyRecords
    // change only the items of the nodes they touch.
    DeviceTreeModel& Tree() { return tree_; }
    const DeviceTreeModel& Tree() const { return tree_; }
    // A new root; the records come back under it with the next change.
    void ResetTree(const std::string& rootText);

private:
    // Puts every record back under the root after a reset.
    bool SyncTree();
    bool treeStale_ = false;

    std::vector<std::unique_ptr<DeviceRecord>> records_;
    DeviceRecord* current_ = nullptr;
    std::uint64_t nextSerial_ = 1;
    DeviceTreeModel tree_;
};
