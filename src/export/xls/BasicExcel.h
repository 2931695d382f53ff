// In-memory spreadsheet workbook: the object model that MessageLogWorkbook fills.
//
// The message log is saved through SaveMessageLog (MessageLogSave.h), which streams the
// rows to the file; this model stays for code that still adds rows to a
// MessageLogWorkbook, whose save hands its cells to the same writer.
//
// Object model
//   BasicExcel            the workbook: worksheets by index or name, the shared string pool,
//                         the fonts and cell formats in use.
//   BasicExcelWorksheet   one sheet: cells by (row, column), column widths (COLINFO).
//   BasicExcelCell        one cell: an 8-bit text (written byte for byte) or a UTF-16 text,
//                         and the index of its cell format (XF).
//   ExcelFont, CellFormat value types describing a font and a cell format.
//   XLSFormatManager      turns a CellFormat into an XF index, making one FONT and one XF
//                         entry per distinct font and format on first use.
//
// Threading: none of these classes lock. One thread at a time may use a workbook; the
// owner serialises access. Pointers and references returned by Cell() and
// GetWorksheet() stay valid until the next call that adds sheets or cells.
#pragma once

#include "export/xls/LogWorkbookWriter.h"

#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tarvex::xls {

struct ExcelFont {
    std::u16string name = u"Arial";
    uint16_t height = 200;        // twips
    uint16_t weight = 400;        // 100..1000, 400 normal, 700 bold
    uint16_t colorIndex = 0x7FFF; // palette index; 0x7FFF automatic
    bool italic = false;
    bool strikeout = false;
    uint8_t underline = 0;
    uint8_t family = 0;
    uint8_t charset = 0;

    auto operator<=>(const ExcelFont&) const = default;
};

struct CellFormat {
    ExcelFont font;
    uint16_t numberFormat = 0; // 0 = General
    uint8_t alignment = 0x20;  // horizontal general, vertical bottom
    uint8_t rotation = 0;
    uint8_t textOptions = 0;
    uint32_t borderLines = 0;        // XF bytes 10..13
    uint32_t borderColors = 0;       // XF bytes 14..17
    uint16_t patternColors = 0x20C0; // pattern colours 64 and 65

    auto operator<=>(const CellFormat&) const = default;
};

// One XF entry of the workbook: its font index (as the FONT record list numbers it, with
// the unused index 4 skipped) and its format fields.
struct XFEntry {
    uint16_t fontIndex = 0;
    CellFormat format;
};

class BasicExcel;

class BasicExcelCell {
public:
    enum Type : uint8_t { UNDEFINED = 0, STRING = 1, WSTRING = 2 };

    int Type() const { return type_; }
    // 8-bit text, stored byte for byte as a compressed BIFF8 string.
    void SetString(std::string_view bytes);
    // UTF-16 text.
    void SetWString(std::u16string_view text);
    // Bytes decoded to UTF-16 by DecodeToUtf16 (the message-log texts of kind UTF-16).
    void SetWStringFromBytes(std::string_view bytes);

    // The 8-bit text (empty unless Type() == STRING).
    std::string GetString() const;
    // The UTF-16 text (empty unless Type() == WSTRING).
    std::u16string GetWString() const;

    // XF index of the cell; 15 is the workbook's default cell format.
    void SetXFormatIdx(uint16_t xf) { xf_ = xf; }
    uint16_t GetXFormatIdx() const { return xf_; }
    // Sets the cell's XF through the workbook's format manager.
    void SetFormat(const CellFormat& format);

    // Index of the cell's text in the shared string table.
    uint32_t SstIndex() const { return sst_; }

    // Cells are made by BasicExcelWorksheet::Cell(); the owner holds the string pool.
    explicit BasicExcelCell(BasicExcel* owner = nullptr) : owner_(owner) {}

private:
    BasicExcel* owner_;
    uint32_t sst_ = 0;
    uint16_t xf_ = 15;
    uint8_t type_ = UNDEFINED;
};

struct ColInfo {
    uint16_t firstCol = 0;
    uint16_t lastCol = 0;
    uint16_t width = 0; // 1/256 of the width of the digit zero
    uint16_t xf = 0;
    uint16_t options = 0;
};

class BasicExcelWorksheet {
public:
    static constexpr int kMaxRows = 65536;
    static constexpr int kMaxCols = 256;

    const std::string& GetAnsiSheetName() const { return name_; }
    void Rename(std::string_view name) { name_ = name; }

    // The cell at (row, col), created empty when absent; null outside 65536 x 256.
    BasicExcelCell* Cell(int row, int col);
    // The cell when it exists, else null.
    const BasicExcelCell* FindCell(int row, int col) const;

    // Number of rows / columns up to the last one holding a cell.
    int GetTotalRows() const;
    int GetTotalCols() const;

    // Adds a COLINFO entry for columns first..last (xf 0, no options).
    void AddColInfo(uint16_t firstCol, uint16_t lastCol, uint16_t width);
    // COLINFO entry for one column.
    void SetColWidth(uint16_t col, uint16_t width) { AddColInfo(col, col, width); }
    const std::vector<ColInfo>& ColInfos() const { return colInfos_; }

    // Rows in order; each row holds its cells by column (absent cells are UNDEFINED).
    const std::vector<std::vector<BasicExcelCell>>& Rows() const { return rows_; }

private:
    friend class BasicExcel;
    BasicExcelWorksheet(BasicExcel* owner, std::string name)
        : owner_(owner), name_(std::move(name)) {}

    BasicExcel* owner_;
    std::string name_;
    std::vector<std::vector<BasicExcelCell>> rows_;
    std::vector<ColInfo> colInfos_;
};

// Shared string table: every distinct text once, in order of first use. An entry is the
// BIFF8 flags byte (0 = 8-bit characters, 1 = UTF-16LE) followed by the character bytes.
class SharedStrings {
public:
    uint32_t Add8(std::string_view bytes);
    uint32_t Add16(std::u16string_view text);
    std::size_t Size() const { return entries_.size(); }
    const std::string& Entry(uint32_t index) const { return entries_[index]; }

private:
    uint32_t Intern(std::string entry);
    std::deque<std::string> entries_;
    std::unordered_map<std::string_view, uint32_t> index_;
};

class XLSFormatManager {
public:
    explicit XLSFormatManager(BasicExcel& xls) : xls_(xls) {}
    // XF index for the format; the first use adds its FONT (when new) and its XF.
    uint16_t GetFormatIdx(const CellFormat& format);

private:
    BasicExcel& xls_;
};

class BasicExcel {
public:
    // Number of FONT and XF records every workbook starts with (4 fonts, 15 style XFs and
    // the default cell XF 15).
    static constexpr uint16_t kDefaultFonts = 4;
    static constexpr uint16_t kDefaultXFs = 16;

    BasicExcel();
    BasicExcel(const BasicExcel&) = delete;
    BasicExcel& operator=(const BasicExcel&) = delete;
    virtual ~BasicExcel();

    // Drops everything and makes `sheets` worksheets named "Sheet1", "Sheet2", ...
    void New(int sheets);
    // Drops all sheets, cells, strings and formats.
    void Close();

    int GetTotalWorkSheets() const { return static_cast<int>(sheets_.size()); }
    BasicExcelWorksheet* GetWorksheet(int index);
    BasicExcelWorksheet* GetWorksheet(std::string_view name);
    const BasicExcelWorksheet* GetWorksheet(int index) const;
    // Appends a sheet; an empty name gives the next free "Sheet%d".
    BasicExcelWorksheet* AddWorksheet(std::string_view name = {});
    bool RenameWorksheet(int index, std::string_view name);

    SharedStrings& Strings() { return strings_; }
    const SharedStrings& Strings() const { return strings_; }
    // Fonts beyond the defaults and XFs beyond the defaults, in order of first use.
    const std::vector<ExcelFont>& Fonts() const { return fonts_; }
    const std::vector<XFEntry>& XFs() const { return xfs_; }
    // Font record index for the font, added when new (index 4 is never used in BIFF).
    uint16_t FontIndex(const ExcelFont& font);
    // XF index for the format, added when new.
    uint16_t XFIndex(const CellFormat& format);

private:
    std::vector<std::unique_ptr<BasicExcelWorksheet>> sheets_;
    SharedStrings strings_;
    std::vector<ExcelFont> fonts_;
    std::map<ExcelFont, uint16_t> fontIndex_;
    std::vector<XFEntry> xfs_;
    std::map<CellFormat, uint16_t> xfIndex_;
};

} // namespace tarvex::xls
