// The message-log workbook: every logged SIP message as one row of "Recv Msg" or
// "Send Msg", written as "MsgXml.xls" when the main dialog goes away.
//
// Use:
//   MessageLogWorkbook book;                     // three sheets, widths, header rows
//   book.AddRow(LogDirection::Received, time, type, deviceId, body, head);
//   ...
//   book.SaveAtExit();                           // at main-dialog destruction, once
//
// SaveAtExit() saves the cells as SaveMessageLog does (MessageLogSave.h): "MsgXml.xls" in
// the working directory (or `dir`) through a temporary file, else the fallbacks, each
// outcome on standard error. It returns the path written, or an empty path when no copy
// could be written. New code saves the log through SaveMessageLog and needs no
// MessageLogWorkbook.
//
// Threading: no locking inside. AddRow() is called from the SIP thread and from the GUI
// thread; the caller (the signalling core) holds its mutex around AddRow(), NextRow() and
// any read of the sheets. SaveAtExit() runs after the SIP thread has stopped.
#pragma once

#include "export/xls/BasicExcel.h"

#include <filesystem>
#include <string_view>

namespace tarvex::xls {

class MessageLogWorkbook {
public:
    static constexpr const char* kFileName = "MsgXml.xls";
    static constexpr int kRecvSheet = 0;
    static constexpr int kSendSheet = 1;

    MessageLogWorkbook();
    MessageLogWorkbook(const MessageLogWorkbook&) = delete;
    MessageLogWorkbook& operator=(const MessageLogWorkbook&) = delete;
    virtual ~MessageLogWorkbook();

    // Writes the next row of the direction's sheet and advances its counter. Time and device
    // identifier are 8-bit cells, type, body and head UTF-16 cells (bytes decoded by
    // DecodeToUtf16). Returns the row written. A sheet holds at most 65536 rows; when one
    // is full the direction goes on in an added sheet "Recv Msg 2" / "Send Msg 2" (then 3,
    // ...) with the same header row, so no message is dropped.
    int AddRow(LogDirection dir, std::string_view time, std::string_view type,
               std::string_view deviceId, std::string_view body, std::string_view head);

    // The row the next message of that direction goes to (1 at start).
    int NextRow(LogDirection dir) const;
    // Index of the sheet the next message of that direction goes to (0 or 1 at start).
    int CurrentSheet(LogDirection dir) const;

    // Saves as described at the top of this file.
    std::filesystem::path SaveAtExit(const std::filesystem::path& dir = {});

    BasicExcel& Excel() { return xls_; }
    const BasicExcel& Excel() const { return xls_; }

    // The two cell formats of the log.
    static CellFormat HeaderFormat();
    static CellFormat DataFormat();

private:
    struct Cursor {
        int sheet;
        int nextRow = 1;
        int overflowCount = 1; // sheets used so far by this direction
    };
    void PrepareSheet(BasicExcelWorksheet& sheet);
    Cursor& CursorFor(LogDirection dir) { return dir == LogDirection::Received ? recv_ : send_; }

    BasicExcel xls_;
    uint16_t headerXF_ = 0;
    uint16_t dataXF_ = 0;
    Cursor recv_{kRecvSheet};
    Cursor send_{kSendSheet};
};

} // namespace tarvex::xls
