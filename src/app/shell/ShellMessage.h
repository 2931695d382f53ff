#pragma once
// Every message box of the shell goes through here, so that operator scripts
// and tests can answer it without a modal loop.

#include <QString>
#include <functional>

class QWidget;

using ShellMessageHook = std::function<void(QWidget* parent, const QString& text)>;

// Shows text in a modal message box, or hands it to the installed hook.
void ShellMessage(QWidget* parent, const QString& text);
// Installs a hook (empty restores the message box); returns the previous one.
ShellMessageHook SetShellMessageHook(ShellMessageHook hook);
