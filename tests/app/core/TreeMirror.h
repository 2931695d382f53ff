#pragma once
// A copy of the device tree kept only from the core's deltas, as the window's
// tree view keeps it; tests and the dispatch fuzzer hold it against the model.

#include "platform/devices/DeviceRegistry.h"

#include <string>
#include <unordered_map>
#include <vector>

struct TreeMirror {
    struct Node {
        std::string text;
        int kind = 0;
        bool expanded = false;
        int parent = 0;
        std::vector<int> children;
    };
    std::unordered_map<int, Node> nodes;
    int root = 0;

    // False when a change does not fit the copy (an unknown parent or item, an
    // item added twice).
    bool Apply(const TreeDelta& d) {
        if (d.full) {
            nodes.clear();
            root = d.snapshot.item;
            Load(d.snapshot, 0);
            return true;
        }
        for (const TreeChange& c : d.changes) {
            switch (c.op) {
            case TreeChange::Op::Add: {
                if (!nodes.count(c.parent) || nodes.count(c.item)) return false;
                nodes[c.parent].children.push_back(c.item);
                Node& n = nodes[c.item];
                n.text = c.text;
                n.kind = c.kind;
                n.parent = c.parent;
                break;
            }
            case TreeChange::Op::Expand:
                if (!nodes.count(c.item)) return false;
                nodes[c.item].expanded = true;
                break;
            case TreeChange::Op::Remove:
                // A descendant of an item removed before is gone already.
                if (nodes.count(c.item)) Remove(c.item);
                break;
            }
        }
        return true;
    }

    TreeItem Snapshot() const { return nodes.count(root) ? SnapshotOf(root) : TreeItem{}; }

private:
    void Load(const TreeItem& t, int parent) {
        Node& n = nodes[t.item];
        n.text = t.text;
        n.kind = t.kind;
        n.expanded = t.expanded;
        n.parent = parent;
        for (const TreeItem& c : t.children) {
            n.children.push_back(c.item);
            Load(c, t.item);
        }
    }
    void Remove(int item) {
        const Node n = nodes[item];
        for (int c : n.children) Remove(c);
        if (nodes.count(n.parent)) std::erase(nodes[n.parent].children, item);
        nodes.erase(item);
    }
    TreeItem SnapshotOf(int item) const {
        const Node& n = nodes.at(item);
        TreeItem t{item, n.text, n.kind, n.expanded, {}};
        for (int c : n.children) t.children.push_back(SnapshotOf(c));
        return t;
    }
};

inline bool SameTree(const TreeItem& a, const TreeItem& b) {
    if (a.item != b.item || a.text != b.text || a.kind != b.kind || a.expanded != b.expanded ||
        a.children.size() != b.children.size())
        return false;
    for (std::size_t i = 0; i < a.children.size(); ++i)
        if (!SameTree(a.children[i], b.children[i])) return false;
    return true;
}
