#include "app/shell/TreeEventMarker.h"

#include "app/core/CTarvexCore.h"

#include <QApplication>
#include <QStyle>
#include <QTimer>
#include <QTreeWidgetItem>

namespace {

void Mark(QTreeWidgetItem* it, int alarms, const QString& tip) {
    // The tooltip's own text (offline, version) stays; ours follows it.
    QString base = it->toolTip(0);
    const QString old = it->data(0, TreeEventMarker::kTipRole).toString();
    if (!old.isEmpty() && base.endsWith(old)) base.chop(old.size());
    if (base.endsWith(QLatin1Char('\n'))) base.chop(1);
    it->setToolTip(0, tip.isEmpty() ? base : base.isEmpty() ? tip : base + QLatin1Char('\n') + tip);
    it->setData(0, TreeEventMarker::kTipRole, tip.isEmpty() ? QString() : QLatin1Char('\n') + tip);
    it->setData(0, TreeEventMarker::kAlarmsRole, alarms);
    it->setIcon(0, alarms > 0 ? QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning)
                              : QIcon());
}

} // namespace

TreeEventMarker::TreeEventMarker(QObject* parent, CTarvexCore& core, ItemLookup lookup)
    : QObject(parent), core_(core), lookup_(std::move(lookup)), timer_(new QTimer(this)) {
    timer_->setInterval(500);
    connect(timer_, &QTimer::timeout, this, &TreeEventMarker::Refresh);
    timer_->start();
}

void TreeEventMarker::Refresh() {
    std::map<int, QTreeWidgetItem*> now;
    for (const auto& [item, mark] : core_.TreeEventMarks()) {
        QTreeWidgetItem* it = lookup_(item);
        if (!it) continue;
        QStringList tip;
        if (mark.alarms > 0) tip << QString::fromUtf8("报警 %1 条未复位").arg(mark.alarms);
        if (!mark.lastPosition.empty())
            tip << QString::fromUtf8("位置: ") + QString::fromStdString(mark.lastPosition);
        if (!mark.lastPtz.empty()) tip << QString::fromUtf8("PTZ 位置: ") + QString::fromStdString(mark.lastPtz);
        const QString text = tip.join(QLatin1Char('\n'));
        if (it->data(0, kAlarmsRole).toInt() != mark.alarms ||
            it->data(0, kTipRole).toString() != (text.isEmpty() ? QString() : QLatin1Char('\n') + text) ||
            !it->toolTip(0).endsWith(text))
            Mark(it, mark.alarms, text);
        now[item] = it;
    }
    // Marks that went (acknowledged): cleared, if the item is still the same one.
    for (const auto& [item, it] : marked_)
        if (!now.count(item) && lookup_(item) == it) Mark(it, 0, {});
    marked_ = std::move(now);
}
