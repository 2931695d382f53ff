// Drives a modal dialog from a test: exec() blocks, so the answer is given
// from a timer on the same GUI thread once the dialog is up.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QObject>
#include <QTimer>

namespace testsupport {

// Runs fn(dialog) once the next modal dialog is up, then stops polling.
template <class Fn> void WhenModal(Fn fn) {
    auto* t = new QTimer;
    t->setInterval(10);
    QObject::connect(t, &QTimer::timeout, [t, fn] {
        if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            t->stop();
            t->deleteLater();
            fn(d);
        }
    });
    t->start();
}

} // namespace testsupport
