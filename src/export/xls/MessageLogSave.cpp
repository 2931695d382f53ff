#include "export/xls/MessageLogSave.h"


namespace tarvex::xls {

SaveResult SaveMessageLog(const IMessageLogRows& rows, const std::filesystem::path& dir) {
    MessageLogWorkbook book;
    for (LogDirection d : {LogDirection::Received, LogDirection::Sent})
        rows.ForEachRow(d, [&](const LogRowRef& r) {
            book.AddRow(d, r.time, r.typeText, r.deviceId, r.body, r.head);
        });
    SaveResult result;
    result.written = book.SaveAtExit(dir);
    return result;
}

} // namespace tarvex::xls
