#pragma once
// The conditions of the recording search: start and end time texts and the
// recording type, kept in "Search.ini" between runs. Toolkit-free; the modal
// dialog "历史文件查询条件" (CDlgSearchDialog.h) is a view over it.

#include "base/TimeText.h"
#include "manscdp/xml/XMLNode.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>

class ConfigINI;

// Items of the type drop-down and the texts the query carries for them.
extern const std::array<const char*, 3> kRecordTypeItems; // 全部录像, 手动录像, 计划录像
extern const std::array<const char*, 3> kRecordTypeTexts; // all, manual, time

class CDlgSearch {
public:
    // Opens the file and reads the conditions (missing keys: empty texts, -1).
    explicit CDlgSearch(const std::string& iniFile = "Search.ini", WallClock clock = {});
    virtual ~CDlgSearch();
    CDlgSearch(const CDlgSearch&) = delete;
    CDlgSearch& operator=(const CDlgSearch&) = delete;

    // Before the dialog shows: a start text shorter than 8 characters gives
    // the last 24 hours.
    void PrepareOpen();
    // OK: takes the texts and the index, derives the type text and the
    // seconds, stores all three and saves the file.
    void Accept(const std::string& start, const std::string& end, int typeIndex);
    // Cancel takes and stores nothing; only the outcome is remembered.
    void Cancel();
    // Outcome of the last run (false before any).
    bool LastAccepted() const { return accepted_; }

    // The search elements after the envelope, for the outcome of the last run.
    void AppendRecordInfo(XMLNode& root) const;

    // The time text read as local standard time (daylight saving off), or 0 when the six
    // numbers are not all there.
    static std::int64_t TextToSeconds(const std::string& text);
    // Type text for a drop-down index; the index -1 (nothing chosen) searches all.
    static const char* TypeText(int index);

    std::string startText, endText;
    int typeIndex = -1;
    std::string typeText;
    std::int64_t startTime = 0, endTime = 0;

private:
    std::unique_ptr<ConfigINI> ini_;
    WallClock clock_;
    bool accepted_ = false;
};
