// The message-log workbook: sheets, rows and the save at exit.
#include "export/xls/MessageLogWorkbook.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

namespace tarvex::xls {
namespace {

struct Column {
    const char16_t* header;
    uint16_t width;
};
constexpr Column kColumns[5] = {
    {u"时间", 6000}, {u"类型", 6000}, {u"设备ID", 6000}, {u"信息体", 12000}, {u"信息头", 8000}};

} // namespace

CellFormat MessageLogWorkbook::HeaderFormat() {
    CellFormat f;
    f.font.name = u"Arial";
    f.font.height = 200;
    f.font.weight = 500;
    f.font.colorIndex = 4;
    return f;
}

CellFormat MessageLogWorkbook::DataFormat() {
    CellFormat f = HeaderFormat();
    f.font.weight = 300;
    f.font.colorIndex = 0;
    return f;
}

MessageLogWorkbook::MessageLogWorkbook() {
    xls_.New(3); // "Sheet1", "Sheet2", "Sheet3"
    xls_.RenameWorksheet(kRecvSheet, "Recv Msg");
    xls_.RenameWorksheet(kSendSheet, "Send Msg");
    XLSFormatManager formats(xls_);
    headerXF_ = formats.GetFormatIdx(HeaderFormat());
    dataXF_ = formats.GetFormatIdx(DataFormat());
    PrepareSheet(*xls_.GetWorksheet(kRecvSheet));
    PrepareSheet(*xls_.GetWorksheet(kSendSheet));
}

MessageLogWorkbook::~MessageLogWorkbook() = default;

void MessageLogWorkbook::PrepareSheet(BasicExcelWorksheet& sheet) {
    for (uint16_t c = 0; c < 5; ++c) {
        sheet.SetColWidth(c, kColumns[c].width);
        BasicExcelCell* cell = sheet.Cell(0, c);
        cell->SetWString(kColumns[c].header);
        cell->SetXFormatIdx(headerXF_);
    }
}

int MessageLogWorkbook::AddRow(LogDirection dir, std::string_view time, std::string_view type,
                               std::string_view deviceId, std::string_view body,
                               std::string_view head) {
    Cursor& cur = CursorFor(dir);
    if (cur.nextRow >= BasicExcelWorksheet::kMaxRows) {
        // This sheet is full: go on in a new one with the same header row.
        ++cur.overflowCount;
        const std::string base = dir == LogDirection::Received ? "Recv Msg" : "Send Msg";
        BasicExcelWorksheet* s = xls_.AddWorksheet(base + " " + std::to_string(cur.overflowCount));
        PrepareSheet(*s);
        cur.sheet = xls_.GetTotalWorkSheets() - 1;
        cur.nextRow = 1;
    }
    BasicExcelWorksheet* sheet = xls_.GetWorksheet(cur.sheet);
    const int row = cur.nextRow++;
    auto put8 = [&](int col, std::string_view v) {
        BasicExcelCell* c = sheet->Cell(row, col);
        c->SetString(v);
        c->SetXFormatIdx(dataXF_);
    };
    auto put16 = [&](int col, std::string_view v) {
        BasicExcelCell* c = sheet->Cell(row, col);
        c->SetWStringFromBytes(v);
        c->SetXFormatIdx(dataXF_);
    };
    put8(0, time);
    put16(1, type);
    put8(2, deviceId);
    put16(3, body);
    put16(4, head);
    return row;
}

int MessageLogWorkbook::NextRow(LogDirection dir) const {
    return dir == LogDirection::Received ? recv_.nextRow : send_.nextRow;
}

int MessageLogWorkbook::CurrentSheet(LogDirection dir) const {
    return dir == LogDirection::Received ? recv_.sheet : send_.sheet;
}

std::filesystem::path MessageLogWorkbook::SaveAtExit(const std::filesystem::path& dir) {
    // An empty directory means the working directory; the names stay relative then.
    const std::filesystem::path& base = dir;
    const std::filesystem::path primary = base / kFileName;
    const SaveError err = xls_.SaveAs(primary);
    if (err == SaveError::None) return primary;
    const int primaryErrno = errno;

    if (err == SaveError::CreateFile || err == SaveError::Locked) {
        // The usual file is held or cannot be made: keep the log under a timestamped name.
        char stamp[32];
        const std::time_t now = std::time(nullptr);
        std::tm tm{};
        localtime_r(&now, &tm);
        std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
        for (int n = 0; n < 100; ++n) {
            std::string name = std::string("MsgXml-") + stamp;
            if (n > 0) name += "-" + std::to_string(n);
            name += ".xls";
            const std::filesystem::path alt = base / name;
            std::error_code ec;
            if (std::filesystem::exists(alt, ec)) continue;
            if (xls_.SaveAs(alt) == SaveError::None) {
                std::fprintf(stderr, "%s could not be written (%s); message log saved as %s\n",
                             primary.c_str(),
                             err == SaveError::Locked ? "locked by another program"
                                                      : std::strerror(primaryErrno),
                             alt.c_str());
                return alt;
            }
            break;
        }
    }
    std::fprintf(stderr, "message log could not be saved: %s (%s)\n", primary.c_str(),
                 std::strerror(primaryErrno));
    return {};
}

} // namespace tarvex::xls
