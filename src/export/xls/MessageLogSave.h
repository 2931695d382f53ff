// The seam between the message log and the workbook file: the log offers its
// rows through IMessageLogRows, and SaveMessageLog writes them as "MsgXml.xls".
//
// Use (at exit, after the SIP thread has stopped and every received message is
// logged):
//   SaveResult r = SaveMessageLog(log, dir);
//   if (r.written.empty()) ... no copy could be written: exit non-zero
//
// Rows are read once, in order, while the file is written; the log keeps its
// own copy of each row and the writer keeps none beyond what the file format
// needs.
#pragma once

#include "export/xls/MessageLogWorkbook.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvex::xls {

// One logged message as the workbook shows it. time and deviceId are 8-bit
// texts; typeText, body and head are bytes as logged (decoded for the cells by
// the body encoding rule).
struct LogRowRef {
    std::string_view time, typeText, deviceId, body, head;
};

class IMessageLogRows {
public:
    virtual ~IMessageLogRows() = default;
    virtual std::size_t RowCount(LogDirection dir) const = 0;
    // Calls f for every row of one direction, oldest first. The views are valid
    // during the call only.
    virtual void ForEachRow(LogDirection dir,
                            const std::function<void(const LogRowRef&)>& f) const = 0;
};

struct SaveResult {
    std::filesystem::path written;  // the file written; empty when no copy could be
    std::vector<std::string> notes; // what was said on standard error, in order
};

// Writes the log as "MsgXml.xls" in dir (the working directory when empty), or
// where the fallbacks lead; every outcome is said on standard error.
SaveResult SaveMessageLog(const IMessageLogRows& rows, const std::filesystem::path& dir = {});

} // namespace tarvex::xls
