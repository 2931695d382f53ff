// BIFF8 records of the workbook globals and the worksheets.
#include "export/xls/BiffRecords.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace tarvex::xls {

// ---- RecordEmitter --------------------------------------------------------------------

void RecordEmitter::Begin(uint16_t code) {
    if (buf_) {
        buf_[pos_] = static_cast<uint8_t>(code);
        buf_[pos_ + 1] = static_cast<uint8_t>(code >> 8);
    }
    pos_ += 4;
    dataStart_ = pos_;
}

void RecordEmitter::End() {
    const std::size_t len = pos_ - dataStart_;
    if (buf_) {
        buf_[dataStart_ - 2] = static_cast<uint8_t>(len);
        buf_[dataStart_ - 1] = static_cast<uint8_t>(len >> 8);
    }
}

void RecordEmitter::U8(uint8_t v) {
    if (buf_) buf_[pos_] = v;
    pos_ += 1;
}

void RecordEmitter::U16(uint16_t v) {
    if (buf_) {
        buf_[pos_] = static_cast<uint8_t>(v);
        buf_[pos_ + 1] = static_cast<uint8_t>(v >> 8);
    }
    pos_ += 2;
}

void RecordEmitter::U32(uint32_t v) {
    if (buf_)
        for (int i = 0; i < 4; ++i)
            buf_[pos_ + i] = static_cast<uint8_t>(v >> (8 * i));
    pos_ += 4;
}

void RecordEmitter::Bytes(const void* data, std::size_t n) {
    if (buf_ && n) std::memcpy(buf_ + pos_, data, n);
    pos_ += n;
}

void RecordEmitter::Record(uint16_t code, const void* data, std::size_t n) {
    Begin(code);
    Bytes(data, n);
    End();
}

namespace {

void WriteBof(RecordEmitter& out, uint16_t type) {
    out.Begin(biff::BOF);
    out.U16(0x0600);
    out.U16(type);
    out.U16(0x19A0);
    out.U16(0x07CD);
    out.U32(0x0000C0C9);
    out.U32(0x00000306);
    out.End();
}

// Short (8-bit length) unicode string: compressed when every unit fits in a byte.
void WriteShortString(RecordEmitter& out, const std::u16string& s) {
    const bool wide = std::any_of(s.begin(), s.end(), [](char16_t c) { return c > 0xFF; });
    const std::size_t n = std::min<std::size_t>(s.size(), 255);
    out.U8(static_cast<uint8_t>(n));
    out.U8(wide ? 1 : 0);
    for (std::size_t i = 0; i < n; ++i) {
        if (wide)
            out.U16(s[i]);
        else
            out.U8(static_cast<uint8_t>(s[i]));
    }
}

void WriteFont(RecordEmitter& out, const ExcelFont& f) {
    out.Begin(biff::FONT);
    out.U16(f.height);
    out.U16(static_cast<uint16_t>((f.italic ? 0x02 : 0) | (f.strikeout ? 0x08 : 0)));
    out.U16(f.colorIndex);
    out.U16(f.weight);
    out.U16(0); // no escapement
    out.U8(f.underline);
    out.U8(f.family);
    out.U8(f.charset);
    out.U8(0);
    WriteShortString(out, f.name);
    out.End();
}

void WriteXF(RecordEmitter& out, uint16_t font, uint16_t fmt, uint16_t typeProt, uint8_t align,
             uint8_t rotation, uint8_t text, uint8_t used, uint32_t borders, uint32_t borderColors,
             uint16_t pattern) {
    out.Begin(biff::XF);
    out.U16(font);
    out.U16(fmt);
    out.U16(typeProt);
    out.U8(align);
    out.U8(rotation);
    out.U8(text);
    out.U8(used);
    out.U32(borders);
    out.U32(borderColors);
    out.U16(pattern);
    out.End();
}

} // namespace

uint32_t CountStringCells(const BasicExcel& xls) {
    uint32_t n = 0;
    for (int s = 0; s < xls.GetTotalWorkSheets(); ++s)
        for (const auto& row : xls.GetWorksheet(s)->Rows())
            for (const auto& c : row)
                if (c.Type() != BasicExcelCell::UNDEFINED) ++n;
    return n;
}

// ---- Workbook globals -----------------------------------------------------------------

void Workbook::Write(RecordEmitter& out, const StreamLayout& layout) const {
    WriteBof(out, 0x0005);

    out.Begin(biff::WINDOW1);
    out.U16(120);
    out.U16(120);
    out.U16(15135);
    out.U16(9300);
    out.U16(0x0038);
    out.U16(0); // active sheet
    out.U16(0); // first visible tab
    out.U16(1); // selected tabs
    out.U16(600);
    out.End();

    const ExcelFont defaultFont;
    for (int i = 0; i < BasicExcel::kDefaultFonts; ++i)
        WriteFont(out, defaultFont);
    for (const auto& f : xls_.Fonts())
        WriteFont(out, f);

    // No FORMAT records: every format used is built in (General).

    // Style XFs 0..14 (Normal and the built-in styles' slots) and the default cell XF 15.
    WriteXF(out, 0, 0, 0xFFF5, 0x20, 0, 0, 0x00, 0, 0, 0x20C0);
    for (int i = 1; i < 15; ++i) {
        const uint16_t font = i <= 2 ? 1 : (i <= 4 ? 2 : 0);
        WriteXF(out, font, 0, 0xFFF5, 0x20, 0, 0, 0xF4, 0, 0, 0x20C0);
    }
    WriteXF(out, 0, 0, 0x0001, 0x20, 0, 0, 0x00, 0, 0, 0x20C0);
    for (const auto& xf : xls_.XFs()) {
        const CellFormat& f = xf.format;
        WriteXF(out, xf.fontIndex, f.numberFormat, 0x0001, f.alignment, f.rotation, f.textOptions,
                0xF8, f.borderLines, f.borderColors, f.patternColors);
    }

    // The built-in style Normal on XF 0.
    out.Begin(biff::STYLE);
    out.U16(0x8000);
    out.U8(0);
    out.U8(0xFF);
    out.End();

    for (int s = 0; s < xls_.GetTotalWorkSheets(); ++s) {
        out.Begin(biff::BOUNDSHEET);
        out.U32(s < static_cast<int>(layout.sheetBof.size()) ? layout.sheetBof[s] : 0);
        out.U8(0); // visible
        out.U8(0); // worksheet
        WriteShortString(out, DecodeToUtf16(xls_.GetWorksheet(s)->GetAnsiSheetName()));
        out.End();
    }

    WriteSST(out);
    out.Record(biff::EOF_, nullptr, 0);
}

// Each string: 16-bit character count, flags byte, characters. A string that does not fit
// the record goes on in a CONTINUE record that repeats the flags byte; a new record is
// started before a string when its header and first character do not fit.
void Workbook::WriteSST(RecordEmitter& out) const {
    const SharedStrings& sst = xls_.Strings();
    out.Begin(biff::SST);
    out.U32(CountStringCells(xls_));
    out.U32(static_cast<uint32_t>(sst.Size()));
    for (uint32_t i = 0; i < sst.Size(); ++i) {
        const std::string& e = sst.Entry(i);
        const uint8_t flags = static_cast<uint8_t>(e[0]);
        const std::size_t unit = flags ? 2 : 1;
        const std::size_t chars = (e.size() - 1) / unit;
        if (out.Room() < 3 + (chars ? unit : 0)) {
            out.End();
            out.Begin(biff::CONTINUE);
        }
        out.U16(static_cast<uint16_t>(chars));
        out.U8(flags);
        const char* p = e.data() + 1;
        std::size_t left = chars;
        while (left > 0) {
            std::size_t fit = std::min(left, out.Room() / unit);
            if (fit == 0) {
                out.End();
                out.Begin(biff::CONTINUE);
                out.U8(flags);
                continue;
            }
            out.Bytes(p, fit * unit);
            p += fit * unit;
            left -= fit;
        }
    }
    out.End();
}

// ---- Worksheet ------------------------------------------------------------------------

void Worksheet::Write(RecordEmitter& out, const StreamLayout& layout, StreamLayout& found) const {
    const auto& rows = sheet_.Rows();
    // Rows with at least one cell, and the used range.
    std::vector<uint32_t> used;
    int firstCol = -1, lastCol = -1;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        bool any = false;
        for (std::size_t c = 0; c < rows[r].size(); ++c)
            if (rows[r][c].Type() != BasicExcelCell::UNDEFINED) {
                any = true;
                if (firstCol < 0 || static_cast<int>(c) < firstCol) firstCol = static_cast<int>(c);
                lastCol = std::max(lastCol, static_cast<int>(c));
            }
        if (any) used.push_back(static_cast<uint32_t>(r));
    }
    const uint32_t firstRow = used.empty() ? 0 : used.front();
    const uint32_t rowEnd = used.empty() ? 0 : used.back() + 1;

    // Row blocks: consecutive used rows with the same row / 32.
    std::vector<std::pair<std::size_t, std::size_t>> blocks; // [begin, end) in `used`
    for (std::size_t i = 0; i < used.size();) {
        std::size_t j = i;
        while (j < used.size() && used[j] / biff::kRowsPerBlock == used[i] / biff::kRowsPerBlock)
            ++j;
        blocks.emplace_back(i, j);
        i = j;
    }

    found.sheetBof.resize(std::max(found.sheetBof.size(), index_ + 1));
    found.dbcells.resize(std::max(found.dbcells.size(), index_ + 1));
    found.sheetBof[index_] = static_cast<uint32_t>(out.Pos());
    found.dbcells[index_].clear();
    WriteBof(out, 0x0010);

    out.Begin(biff::INDEX);
    out.U32(0);
    out.U32(firstRow);
    out.U32(rowEnd);
    out.U32(0); // no DEFCOLWIDTH record
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        const auto& known =
            index_ < layout.dbcells.size() ? layout.dbcells[index_] : std::vector<uint32_t>{};
        out.U32(b < known.size() ? known[b] : 0);
    }
    out.End();

    for (const ColInfo& ci : sheet_.ColInfos()) {
        out.Begin(biff::COLINFO);
        out.U16(ci.firstCol);
        out.U16(ci.lastCol);
        out.U16(ci.width);
        out.U16(ci.xf);
        out.U16(ci.options);
        out.U16(0);
        out.End();
    }

    out.Begin(biff::DIMENSIONS);
    out.U32(firstRow);
    out.U32(rowEnd);
    out.U16(static_cast<uint16_t>(firstCol < 0 ? 0 : firstCol));
    out.U16(static_cast<uint16_t>(lastCol < 0 ? 0 : lastCol + 1));
    out.U16(0);
    out.End();

    std::vector<std::size_t> firstCell;
    for (const auto& [bBegin, bEnd] : blocks) {
        const std::size_t firstRowPos = out.Pos();
        for (std::size_t i = bBegin; i < bEnd; ++i) {
            const auto& row = rows[used[i]];
            uint16_t c0 = 0, c1 = 0;
            bool seen = false;
            for (std::size_t c = 0; c < row.size(); ++c)
                if (row[c].Type() != BasicExcelCell::UNDEFINED) {
                    if (!seen) c0 = static_cast<uint16_t>(c);
                    seen = true;
                    c1 = static_cast<uint16_t>(c + 1);
                }
            out.Begin(biff::ROW);
            out.U16(static_cast<uint16_t>(used[i]));
            out.U16(c0);
            out.U16(c1);
            out.U16(0x00FF); // default height
            out.U16(0);
            out.U16(0);
            out.U32(0x000F0100); // default cell format 15
            out.End();
        }
        const std::size_t secondRowPos = firstRowPos + 20;
        firstCell.clear();
        for (std::size_t i = bBegin; i < bEnd; ++i) {
            const auto& row = rows[used[i]];
            firstCell.push_back(out.Pos());
            for (std::size_t c = 0; c < row.size(); ++c) {
                if (row[c].Type() == BasicExcelCell::UNDEFINED) continue;
                out.Begin(biff::LABELSST);
                out.U16(static_cast<uint16_t>(used[i]));
                out.U16(static_cast<uint16_t>(c));
                out.U16(row[c].GetXFormatIdx());
                out.U32(row[c].SstIndex());
                out.End();
            }
        }
        const std::size_t dbPos = out.Pos();
        found.dbcells[index_].push_back(static_cast<uint32_t>(dbPos));
        out.Begin(biff::DBCELL);
        out.U32(static_cast<uint32_t>(dbPos - firstRowPos));
        std::size_t prev = secondRowPos;
        for (std::size_t fc : firstCell) {
            out.U16(static_cast<uint16_t>(fc - prev));
            prev = fc;
        }
        out.End();
    }

    out.Begin(biff::WINDOW2);
    out.U16(0x06B6);
    out.U16(0);  // first visible row
    out.U16(0);  // first visible column
    out.U16(64); // grid-line colour
    out.U16(0);
    out.U16(0); // zoom in page-break preview: default
    out.U16(0); // zoom in normal view: default
    out.U32(0);
    out.End();

    out.Record(biff::EOF_, nullptr, 0);
}

// ---- BasicExcel::BuildStream ----------------------------------------------------------

std::vector<uint8_t> BasicExcel::BuildStream() const {
    const Workbook globals(*this);
    // Measure: positions found here are the ones the writing pass puts into BOUNDSHEET
    // and INDEX (their sizes do not depend on the values).
    StreamLayout layout;
    {
        RecordEmitter measure;
        StreamLayout none;
        globals.Write(measure, none);
        for (int s = 0; s < GetTotalWorkSheets(); ++s)
            Worksheet(*GetWorksheet(s), s).Write(measure, none, layout);
        layout.dbcells.resize(GetTotalWorkSheets());
        layout.sheetBof.resize(GetTotalWorkSheets());
        std::vector<uint8_t> buf(measure.Pos());
        RecordEmitter out(buf.data());
        StreamLayout check;
        globals.Write(out, layout);
        for (int s = 0; s < GetTotalWorkSheets(); ++s)
            Worksheet(*GetWorksheet(s), s).Write(out, layout, check);
        if (out.Pos() != buf.size() || check.sheetBof != layout.sheetBof ||
            check.dbcells != layout.dbcells)
            throw std::logic_error("workbook stream layout changed between passes");
        return buf;
    }
}

} // namespace tarvex::xls
