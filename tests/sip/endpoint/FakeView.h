#pragma once
// A view that records what the signalling core shows, for tests.

#include "sip/endpoint/SignalView.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class FakeView : public ISignalView {
public:
    void AppendLogRow(const LogRow& row) override { Record([&] { rows.push_back(row); }); }
    void RebuildDeviceTree(const TreeItem& root) override {
        Record([&] {
            tree = root;
            ++treeRebuilds;
        });
    }
    void ShowMessageBox(const std::string& text) override {
        Record([&] { boxes.push_back(text); });
    }
    void SetPlaybackProgress(const std::string& text, int range, int pos) override {
        Record([&] {
            progressText = text;
            progressRange = range;
            progressPos = pos;
        });
    }
    void FillCommandList(int list, const std::vector<CommandEntry>& r) override {
        Record([&] {
            lists[list] = r;
            ++fills[list];
        });
    }
    void SetCommandChecked(int list, int row, bool checked) override {
        Record([&] {
            if (checked)
                ticked.insert({list, row});
            else
                ticked.erase({list, row});
        });
    }
    void SetMessageText(const std::string& text) override { Record([&] { messageText = text; }); }

    // Waits until pred (called under the lock) holds; false on timeout.
    bool WaitFor(const std::function<bool()>& pred, int ms = 15000) {
        std::unique_lock<std::mutex> lk(m);
        return cv.wait_for(lk, std::chrono::milliseconds(ms), pred);
    }
    template <class F> auto Locked(F f) {
        std::lock_guard<std::mutex> lk(m);
        return f();
    }

    std::mutex m;
    std::condition_variable cv;
    std::vector<LogRow> rows;
    TreeItem tree;
    int treeRebuilds = 0;
    std::vector<std::string> boxes;
    std::string progressText;
    int progressRange = -1, progressPos = -1;
    std::map<int, std::vector<CommandEntry>> lists;
    std::map<int, int> fills;
    std::set<std::pair<int, int>> ticked;
    std::string messageText;

private:
    template <class F> void Record(F f) {
        {
            std::lock_guard<std::mutex> lk(m);
            f();
        }
        cv.notify_all();
    }
};
