#include "manscdp/search/CDlgSearch.h"

#include "base/ConfigINI.h"
#include "manscdp/search/SearchKeys.h"

#include <cstdio>
#include <ctime>

const std::array<const char*, 3> kRecordTypeItems = {"全部录像", "手动录像", "计划录像"};
const std::array<const char*, 3> kRecordTypeTexts = {"all", "manual", "time"};

CDlgSearch::CDlgSearch(const std::string& iniFile, WallClock clock)
    : ini_(std::make_unique<ConfigINI>(iniFile.c_str())), clock_(std::move(clock)) {
    startText = ini_->GetString(SearchKeys::kSection, SearchKeys::kStart);
    endText = ini_->GetString(SearchKeys::kSection, SearchKeys::kEnd);
    typeIndex = ini_->GetInt(SearchKeys::kSection, SearchKeys::kType, -1);
    startTime = TextToSeconds(startText);
    endTime = TextToSeconds(endText);
}

CDlgSearch::~CDlgSearch() = default;

void CDlgSearch::PrepareOpen() {
    if (startText.size() >= 8) return;
    const auto now = Now(clock_);
    startText = LocalTimeText(now - std::chrono::seconds(86400));
    endText = LocalTimeText(now);
}

void CDlgSearch::Accept(const std::string& start, const std::string& end, int index) {
    startText = start;
    endText = end;
    typeIndex = index;
    typeText = TypeText(index);
    startTime = TextToSeconds(startText);
    endTime = TextToSeconds(endText);
    ini_->SetValue(startText.c_str(), SearchKeys::kSection, SearchKeys::kStart);
    ini_->SetValue(endText.c_str(), SearchKeys::kSection, SearchKeys::kEnd);
    ini_->SetInt(typeIndex, SearchKeys::kSection, SearchKeys::kType);
    if (!ini_->Save()) std::printf("CDlgSearch::Accept: cannot write [%s]\n", ini_->FileName());
    accepted_ = true;
}

void CDlgSearch::Cancel() {
    accepted_ = false;
}

const char* CDlgSearch::TypeText(int index) {
    if (index < 0 || index >= static_cast<int>(kRecordTypeTexts.size())) return kRecordTypeTexts[0];
    return kRecordTypeTexts[index];
}

std::int64_t CDlgSearch::TextToSeconds(const std::string& text) {
    std::chrono::system_clock::time_point t;
    if (!ParseLocalTimeText(text, t, DaylightSaving::Off)) return 0;
    return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

void CDlgSearch::AppendRecordInfo(XMLNode& root) const {
    if (accepted_) {
        root.AddTextChild("StartTime", startText.c_str());
        root.AddTextChild("EndTime", endText.c_str());
        root.AddTextChild("Type", typeText.c_str());
    } else {
        // The whole current month; its real last day (not day 31 of every month).
        const std::time_t now = std::chrono::system_clock::to_time_t(Now(clock_));
        std::tm tm{};
        localtime_r(&now, &tm);
        const int year = tm.tm_year + 1900, month = tm.tm_mon + 1;
        static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        int last = kDays[tm.tm_mon];
        const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
        if (month == 2 && leap) last = 29;
        char start[48], end[48];
        std::snprintf(start, sizeof start, "%04d-%02d-01T00:00:01", year, month);
        std::snprintf(end, sizeof end, "%04d-%02d-%02dT00:00:01", year, month, last);
        root.AddTextChild("StartTime", start);
        root.AddTextChild("EndTime", end);
        root.AddTextChild("Type", "manual");
    }
    root.AddTextChild("FilePath", "64010000002100000001");
    root.AddTextChild("Address", "Address1");
    root.AddTextChild("Secrecy", "0");
    root.AddTextChild("RecorderID", "64010000003000000001");
}
