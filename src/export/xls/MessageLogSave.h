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
// needs (LogWorkbookWriter.h). A fallback copy after a failed write reads them
// again, so ForEachRow may be called more than once per direction.
//
// Where the file goes, in this order, each outcome said on standard error and
// kept in SaveResult::notes:
//   1. dir/MsgXml.xls: written to a temporary file ".MsgXml.xls.XXXXXX" in dir,
//      flushed to disk and renamed over MsgXml.xls only when complete, so a
//      failed write never touches the previous file. Not tried when the file is
//      locked (an fcntl lock of another program, or LibreOffice's
//      ".~lock.MsgXml.xls#" beside it) or cannot be replaced (read-only, not a
//      regular file).
//   2. dir/MsgXml-YYYYMMDD-HHMMSS.xls (with "-N" added when that name exists;
//      an existing file is never replaced).
//   3. The same name in the user's state directory, StateDirectory(), made
//      (mode 0700) when missing.
// Threading: call from one thread; the rows must not change during the call.
#pragma once

#include "export/xls/LogWorkbookWriter.h"
#include "export/xls/LogWorkbookWriter.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
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

// How a save writes; the defaults are the program's.
struct SaveOptions {
    std::filesystem::path dir; // where MsgXml.xls goes; the working directory when empty
    // Wraps the sink of each file written; tests inject write failures here.
    std::function<std::unique_ptr<ByteSink>(std::unique_ptr<ByteSink>)> wrapSink;
    WorkbookLimits limits;
};

SaveResult SaveMessageLogWith(const IMessageLogRows& rows, const SaveOptions& options);
// The same save for rows already in the cells' form.
SaveResult SaveLogCells(const ILogCells& cells, const SaveOptions& options);

// The workbook of the log's rows written to any sink (no file, no fallbacks).
WriteOutcome WriteMessageLog(const IMessageLogRows& rows, ByteSink& sink,
                             const WorkbookLimits& limits = {});

// $XDG_STATE_HOME/tarvex when XDG_STATE_HOME is an absolute path, else
// ~/.local/state/tarvex; empty when no home directory is known.
std::filesystem::path StateDirectory();

} // namespace tarvex::xls
