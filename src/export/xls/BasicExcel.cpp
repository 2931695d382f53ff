// Workbook object model: sheets, cells, the shared string pool and the format lists.
#include "export/xls/BasicExcel.h"

#include <algorithm>
#include <cstdio>

namespace tarvex::xls {

// ---- SharedStrings --------------------------------------------------------------------

uint32_t SharedStrings::Intern(std::string entry) {
    if (auto it = index_.find(entry); it != index_.end()) return it->second;
    const auto idx = static_cast<uint32_t>(entries_.size());
    entries_.push_back(std::move(entry));
    index_.emplace(std::string_view(entries_.back()), idx);
    return idx;
}

uint32_t SharedStrings::Add8(std::string_view bytes) {
    bytes = bytes.substr(0, kMaxCellChars);
    std::string e;
    e.reserve(bytes.size() + 1);
    e.push_back('\0');
    e.append(bytes);
    return Intern(std::move(e));
}

uint32_t SharedStrings::Add16(std::u16string_view text) {
    if (text.size() > kMaxCellChars) {
        std::size_t n = kMaxCellChars;
        // Do not leave half of a surrogate pair at the cut.
        if (text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
        text = text.substr(0, n);
    }
    std::string e;
    e.reserve(text.size() * 2 + 1);
    e.push_back('\1');
    for (char16_t c : text) {
        e.push_back(static_cast<char>(c & 0xFF));
        e.push_back(static_cast<char>(c >> 8));
    }
    return Intern(std::move(e));
}

// ---- BasicExcelCell -------------------------------------------------------------------

void BasicExcelCell::SetString(std::string_view bytes) {
    sst_ = owner_->Strings().Add8(bytes);
    type_ = STRING;
}

void BasicExcelCell::SetWString(std::u16string_view text) {
    sst_ = owner_->Strings().Add16(text);
    type_ = WSTRING;
}

void BasicExcelCell::SetWStringFromBytes(std::string_view bytes) {
    SetWString(DecodeToUtf16(bytes));
}

std::string BasicExcelCell::GetString() const {
    if (type_ != STRING) return {};
    return owner_->Strings().Entry(sst_).substr(1);
}

std::u16string BasicExcelCell::GetWString() const {
    if (type_ != WSTRING) return {};
    const std::string& e = owner_->Strings().Entry(sst_);
    std::u16string out;
    out.reserve((e.size() - 1) / 2);
    for (std::size_t i = 1; i + 1 < e.size(); i += 2)
        out.push_back(static_cast<char16_t>(static_cast<unsigned char>(e[i]) |
                                            (static_cast<unsigned char>(e[i + 1]) << 8)));
    return out;
}

void BasicExcelCell::SetFormat(const CellFormat& format) {
    xf_ = owner_->XFIndex(format);
}

// ---- BasicExcelWorksheet --------------------------------------------------------------

BasicExcelCell* BasicExcelWorksheet::Cell(int row, int col) {
    if (row < 0 || row >= kMaxRows || col < 0 || col >= kMaxCols) return nullptr;
    if (static_cast<std::size_t>(row) >= rows_.size()) rows_.resize(row + 1);
    auto& r = rows_[row];
    while (r.size() <= static_cast<std::size_t>(col))
        r.emplace_back(owner_);
    return &r[col];
}

const BasicExcelCell* BasicExcelWorksheet::FindCell(int row, int col) const {
    if (row < 0 || col < 0 || static_cast<std::size_t>(row) >= rows_.size()) return nullptr;
    const auto& r = rows_[row];
    if (static_cast<std::size_t>(col) >= r.size()) return nullptr;
    return r[col].Type() == BasicExcelCell::UNDEFINED ? nullptr : &r[col];
}

int BasicExcelWorksheet::GetTotalRows() const {
    for (std::size_t i = rows_.size(); i > 0; --i)
        for (const auto& c : rows_[i - 1])
            if (c.Type() != BasicExcelCell::UNDEFINED) return static_cast<int>(i);
    return 0;
}

int BasicExcelWorksheet::GetTotalCols() const {
    int cols = 0;
    for (const auto& r : rows_)
        for (std::size_t c = r.size(); c > 0; --c)
            if (r[c - 1].Type() != BasicExcelCell::UNDEFINED) {
                cols = std::max(cols, static_cast<int>(c));
                break;
            }
    return cols;
}

void BasicExcelWorksheet::AddColInfo(uint16_t firstCol, uint16_t lastCol, uint16_t width) {
    colInfos_.push_back(ColInfo{firstCol, lastCol, width, 0, 0});
}

// ---- XLSFormatManager -----------------------------------------------------------------

uint16_t XLSFormatManager::GetFormatIdx(const CellFormat& format) {
    return xls_.XFIndex(format);
}

// ---- BasicExcel -----------------------------------------------------------------------

BasicExcel::BasicExcel() = default;
BasicExcel::~BasicExcel() = default;

void BasicExcel::Close() {
    sheets_.clear();
    strings_ = SharedStrings();
    fonts_.clear();
    fontIndex_.clear();
    xfs_.clear();
    xfIndex_.clear();
}

void BasicExcel::New(int sheets) {
    Close();
    for (int i = 0; i < sheets; ++i)
        AddWorksheet();
}

BasicExcelWorksheet* BasicExcel::GetWorksheet(int index) {
    if (index < 0 || index >= GetTotalWorkSheets()) return nullptr;
    return sheets_[index].get();
}

const BasicExcelWorksheet* BasicExcel::GetWorksheet(int index) const {
    if (index < 0 || index >= GetTotalWorkSheets()) return nullptr;
    return sheets_[index].get();
}

BasicExcelWorksheet* BasicExcel::GetWorksheet(std::string_view name) {
    for (auto& s : sheets_)
        if (s->GetAnsiSheetName() == name) return s.get();
    return nullptr;
}

BasicExcelWorksheet* BasicExcel::AddWorksheet(std::string_view name) {
    std::string n(name);
    if (n.empty()) {
        for (int k = 1;; ++k) {
            char buf[32];
            std::snprintf(buf, sizeof buf, "Sheet%d", k);
            if (!GetWorksheet(std::string_view(buf))) {
                n = buf;
                break;
            }
        }
    }
    sheets_.push_back(std::unique_ptr<BasicExcelWorksheet>(new BasicExcelWorksheet(this, n)));
    return sheets_.back().get();
}

bool BasicExcel::RenameWorksheet(int index, std::string_view name) {
    BasicExcelWorksheet* s = GetWorksheet(index);
    if (!s || name.empty() || name.size() > 31) return false;
    if (BasicExcelWorksheet* other = GetWorksheet(name); other && other != s) return false;
    s->Rename(name);
    return true;
}

uint16_t BasicExcel::FontIndex(const ExcelFont& font) {
    if (auto it = fontIndex_.find(font); it != fontIndex_.end()) return it->second;
    // Record index 4 does not exist in BIFF: the fifth FONT record is font 5.
    const auto idx = static_cast<uint16_t>(kDefaultFonts + 1 + fonts_.size());
    fonts_.push_back(font);
    fontIndex_.emplace(font, idx);
    return idx;
}

uint16_t BasicExcel::XFIndex(const CellFormat& format) {
    if (auto it = xfIndex_.find(format); it != xfIndex_.end()) return it->second;
    const uint16_t font = FontIndex(format.font);
    const auto idx = static_cast<uint16_t>(kDefaultXFs + xfs_.size());
    xfs_.push_back(XFEntry{font, format});
    xfIndex_.emplace(format, idx);
    return idx;
}

} // namespace tarvex::xls
