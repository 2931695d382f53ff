// The message-log workbook, written as it is read: the rows go once, in order, from the
// log to the file; the writer keeps five string-table indices per row (the worksheets come
// after the string table in the stream) and the bookkeeping that finds a repeated text
// (a hash and a stream position per distinct text, never the text itself).
//
// File layout: a compound file (CompoundFile.h) whose one stream "Workbook" starts right
// after the 512-byte header, so the stream goes out front to back and the header and the
// container's tables are written last. In the stream:
//   globals   BOF, WINDOW1, 6 FONT, 18 XF, STYLE, one BOUNDSHEET per sheet, SST (+ CONTINUE), EOF
//   sheets    "Recv Msg", "Send Msg", "Sheet3", then "Recv Msg 2", "Send Msg 2", "Recv Msg 3"...
//             as the rows need them: BOF, INDEX, 5 COLINFO, DIMENSIONS, row blocks of 32
//             (ROW records, LABELSST cells, DBCELL), WINDOW2, EOF
// BOUNDSHEET, INDEX and the SST counts are patched once their values are known.
//
// Texts: 8-bit cells are stored byte for byte; UTF-16 cells whose characters all fit in
// 8 bits are stored as compressed strings, the rest as UTF-16. A text longer than a cell
// holds is cut at a character boundary; a string crossing a record boundary goes on in a
// CONTINUE record that repeats its flags byte, never inside a UTF-16 character.
#pragma once

#include "export/xls/ByteSink.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tarvex::xls {

// Values match the log's direction codes: 2 received, 1 sent.
enum class LogDirection { Sent = 1, Received = 2 };

// Longest text one cell holds, in UTF-16 code units (Excel's cell limit).
inline constexpr std::size_t kMaxCellChars = 32767;

// Converts bytes of a message (received bytes, or our own UTF-8 texts) to UTF-16: by the
// encoding the XML declaration names (GB2312, GBK and GB18030 all as GB18030), else UTF-8
// when valid, else GB18030.
std::u16string DecodeToUtf16(std::string_view bytes);
// UTF-8 rendering of UTF-16 text (unpaired surrogates become U+FFFD).
std::string Utf16ToUtf8(std::u16string_view text);

// One cell's text: 8-bit characters (each byte one character) or UTF-16.
struct CellText {
    std::string_view narrow;
    std::u16string_view wide;
    bool isWide = false;

    static CellText Narrow(std::string_view s) { return {s, {}, false}; }
    static CellText Wide(std::u16string_view s) { return {{}, s, true}; }
};

// The five cells of a row: time, type, device, body, head.
using LogRowCells = std::array<CellText, 5>;

// Rows in the form the file stores them. ForEachRow is called once per direction,
// received first; the cells are read during the call only.
class ILogCells {
public:
    virtual ~ILogCells() = default;
    virtual std::size_t RowCount(LogDirection dir) const = 0;
    virtual void ForEachRow(LogDirection dir,
                            const std::function<void(const LogRowCells&)>& f) const = 0;
};

struct WorkbookLimits {
    std::size_t rowsPerSheet = 65535; // data rows under the header row (65,536 rows a sheet)
    std::size_t maxCellChars = kMaxCellChars;
};

struct WriteOutcome {
    bool ok = false;
    int error = 0;          // errno of the failure when !ok
    uint64_t fileSize = 0;  // bytes of the whole file
    std::size_t received = 0, sent = 0; // rows written
    // Rows beyond what RowCount announced that found no sheet (the sheets are laid out
    // from the announced counts before the rows are read).
    std::size_t dropped = 0;
};

// Writes the whole compound file to sink, from offset 0.
WriteOutcome WriteLogWorkbook(const ILogCells& cells, ByteSink& sink,
                              const WorkbookLimits& limits = {});

} // namespace tarvex::xls
