#pragma once
// The window's tree items, found by what they show.

#include <QList>
#include <QString>
#include <QTreeWidget>
#include <QTreeWidgetItem>

#include <string>

// The item whose text is id, or id followed by its name ("ID  name"); null
// when the tree has none.
inline QTreeWidgetItem* ItemOf(QTreeWidget* tree, const std::string& id) {
    const QString key = QString::fromStdString(id);
    QList<QTreeWidgetItem*> stack;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) stack << tree->topLevelItem(i);
    while (!stack.isEmpty()) {
        QTreeWidgetItem* it = stack.takeLast();
        if (it->text(0) == key || it->text(0).startsWith(key + "  ")) return it;
        for (int i = 0; i < it->childCount(); ++i) stack << it->child(i);
    }
    return nullptr;
}
