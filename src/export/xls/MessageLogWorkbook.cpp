// The message-log workbook: sheets, rows and the save at exit.
#include "export/xls/MessageLogWorkbook.h"

#include "export/xls/MessageLogSave.h"

#include <algorithm>
#include <string>
#include <vector>

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

namespace {

// The workbook's own cells in the form the writer takes: each direction's rows in sheet
// order ("Recv Msg", then "Recv Msg 2", ...).
class WorkbookCells final : public ILogCells {
public:
    explicit WorkbookCells(const BasicExcel& xls) : xls_(xls) {}

    std::size_t RowCount(LogDirection dir) const override {
        std::size_t n = 0;
        for (const BasicExcelWorksheet* s : Sheets(dir))
            n += static_cast<std::size_t>(std::max(0, s->GetTotalRows() - 1));
        return n;
    }

    void ForEachRow(LogDirection dir,
                    const std::function<void(const LogRowCells&)>& f) const override {
        std::string narrow[5];
        std::u16string wide[5];
        for (const BasicExcelWorksheet* s : Sheets(dir))
            for (int r = 1; r < s->GetTotalRows(); ++r) {
                LogRowCells cells;
                for (int c = 0; c < 5; ++c) {
                    const BasicExcelCell* cell = s->FindCell(r, c);
                    if (cell && cell->Type() == BasicExcelCell::WSTRING) {
                        wide[c] = cell->GetWString();
                        cells[c] = CellText::Wide(wide[c]);
                    } else {
                        narrow[c] = cell ? cell->GetString() : std::string();
                        cells[c] = CellText::Narrow(narrow[c]);
                    }
                }
                f(cells);
            }
    }

private:
    std::vector<const BasicExcelWorksheet*> Sheets(LogDirection dir) const {
        const bool recv = dir == LogDirection::Received;
        const std::string base = recv ? "Recv Msg" : "Send Msg";
        std::vector<const BasicExcelWorksheet*> out{
            xls_.GetWorksheet(recv ? MessageLogWorkbook::kRecvSheet : MessageLogWorkbook::kSendSheet)};
        for (int i = 2;; ++i) {
            const BasicExcelWorksheet* s = nullptr;
            for (int k = 0; k < xls_.GetTotalWorkSheets() && !s; ++k)
                if (xls_.GetWorksheet(k)->GetAnsiSheetName() == base + " " + std::to_string(i))
                    s = xls_.GetWorksheet(k);
            if (!s) break;
            out.push_back(s);
        }
        return out;
    }

    const BasicExcel& xls_;
};

} // namespace

std::filesystem::path MessageLogWorkbook::SaveAtExit(const std::filesystem::path& dir) {
    SaveOptions options;
    options.dir = dir;
    return SaveLogCells(WorkbookCells(xls_), options).written;
}

} // namespace tarvex::xls
