#include "app/shell/ShellMessage.h"

#include <QMessageBox>

namespace {
ShellMessageHook& Hook() {
    static ShellMessageHook hook;
    return hook;
}
} // namespace

void ShellMessage(QWidget* parent, const QString& text) {
    if (Hook()) {
        Hook()(parent, text);
        return;
    }
    QMessageBox::information(parent, QStringLiteral("Tarvex"), text);
}

ShellMessageHook SetShellMessageHook(ShellMessageHook hook) {
    ShellMessageHook old = std::move(Hook());
    Hook() = std::move(hook);
    return old;
}
