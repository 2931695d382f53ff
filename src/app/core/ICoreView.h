#pragma once
// The one view of the core: what the window shows. CTarvexDlg implements it
// with Qt; tests implement it with a recording fake.
//
// Threads: the first group is called from any thread (the GUI thread, the SIP
// event thread, the core's timer thread, the media receive thread); an
// implementation hands each call to its GUI thread and never waits there. The
// core holds none of its own locks while it calls the view. The last group is
// called on the GUI thread only.

#include "media/session/MediaSeams.h"

#include <functional>
#include <string>
#include <vector>

class ICoreView {
public:
    virtual ~ICoreView() = default;

    // Rows were appended to the core's message log; the list takes them in
    // batches (a few times a second), reading the log on demand.
    virtual void LogGrew() = 0;
    // The device tree changed; the view takes CTarvexCore::TakeTreeDelta when it
    // redraws (coalescing changes that come close together).
    virtual void DeviceTreeChanged() = 0;
    // Command list 0 (signalling, 1080) or 1 (media, 1081) gets these row labels.
    virtual void FillCommandList(int list, const std::vector<std::string>& labels) = 0;
    virtual void SetCommandChecked(int list, int row, bool checked) = 0;
    // The message box 1091 shows a built body (bytes; decoded for display).
    virtual void ShowMessageText(const std::string& body) = 0;
    // The media session's figures: statistics line 1090, progress label 1101,
    // progress bar 1100 (range 0 to progressMax, position); each field that is
    // set replaces what its control shows. Also called on the media receive
    // thread, a few times a second.
    virtual void ShowMediaFigures(const MediaViewUpdate& update) = 0;
    // A message box; it never blocks the caller.
    virtual void ShowMessage(const std::string& text) = 0;
    // Whose stream the video view shows ("" when none): the channel and its
    // device, for the view's caption and beside the statistics line.
    virtual void ShowStreamSource(const std::string& text) { (void)text; }

    // GUI thread only.
    // Fills the local address tree below its root "本地联接:".
    virtual void ShowLocalAddresses(const std::vector<std::string>& addresses) = 0;
    // Speed slider position and the speed byte box.
    virtual void ShowSpeed(int speed) = 0;
    // Runs fn on the GUI thread after ms milliseconds, without blocking it.
    virtual void RunLater(int ms, std::function<void()> fn) = 0;
};
