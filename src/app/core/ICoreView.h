#pragma once
// The window side of the application core. CTarvexDlg implements it with Qt;
// tests implement it with a recording fake. Every call arrives on the GUI thread.

#include <functional>
#include <string>
#include <vector>

struct LocalAdapter;

class ICoreView {
public:
    virtual ~ICoreView() = default;
    // Clears the device tree and inserts one root item with this text.
    virtual void ResetDeviceTree(const std::string& rootText) = 0;
    // Fills the local address tree below its root "本地联接:".
    virtual void ShowLocalAddresses(const std::vector<std::string>& addresses) = 0;
    // Speed slider position and the speed byte box.
    virtual void ShowSpeed(int speed) = 0;
    // A modal message box.
    virtual void ShowMessage(const std::string& text) = 0;
    // Runs fn on the GUI thread after ms milliseconds, without blocking it.
    virtual void RunLater(int ms, std::function<void()> fn) = 0;
};
