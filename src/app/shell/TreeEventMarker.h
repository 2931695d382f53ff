#pragma once
// The device tree's event marks: a warning badge (icon) on a device or
// channel with alarms not yet acknowledged, and in its tooltip how many and
// the channel's last position. Polls the core every 500 ms on the GUI thread
// and redraws only when the core's events or the tree's items changed.

#include <QObject>

#include <functional>
#include <map>

class CTarvexCore;
class QTimer;
class QTreeWidgetItem;

class TreeEventMarker : public QObject {
    Q_OBJECT
public:
    // Roles of the marked items: the alarm count, and the tooltip part added.
    static constexpr int kAlarmsRole = Qt::UserRole + 40;
    static constexpr int kTipRole = Qt::UserRole + 41;
    using ItemLookup = std::function<QTreeWidgetItem*(int item)>;
    TreeEventMarker(QObject* parent, CTarvexCore& core, ItemLookup lookup);
    // One poll now (the timer's).
    void Refresh();

private:
    CTarvexCore& core_;
    ItemLookup lookup_;
    QTimer* timer_;
    std::map<int, QTreeWidgetItem*> marked_; // item number -> the widget item marked
};
