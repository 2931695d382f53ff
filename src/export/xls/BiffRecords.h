// BIFF8 record images of a workbook: the globals substream (Workbook) and one substream
// per sheet (Worksheet). Both are written through a RecordEmitter twice: once to measure
// (no buffer) and once into the single buffer of the whole stream.
#pragma once

#include "export/xls/BasicExcel.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarvex::xls {

namespace biff {
inline constexpr uint16_t BOF = 0x0809;
inline constexpr uint16_t WINDOW1 = 0x003D;
inline constexpr uint16_t FONT = 0x0031;
inline constexpr uint16_t FORMAT = 0x041E;
inline constexpr uint16_t XF = 0x00E0;
inline constexpr uint16_t STYLE = 0x0293;
inline constexpr uint16_t BOUNDSHEET = 0x0085;
inline constexpr uint16_t SST = 0x00FC;
inline constexpr uint16_t CONTINUE = 0x003C;
inline constexpr uint16_t EOF_ = 0x000A;
inline constexpr uint16_t INDEX = 0x020B;
inline constexpr uint16_t COLINFO = 0x007D;
inline constexpr uint16_t DIMENSIONS = 0x0200;
inline constexpr uint16_t ROW = 0x0208;
inline constexpr uint16_t LABELSST = 0x00FD;
inline constexpr uint16_t DBCELL = 0x00D7;
inline constexpr uint16_t WINDOW2 = 0x023E;
inline constexpr std::size_t kMaxRecordData = 8224;
inline constexpr int kRowsPerBlock = 32;
} // namespace biff

// Appends records at a running stream position; with a null buffer it only counts.
class RecordEmitter {
public:
    explicit RecordEmitter(uint8_t* buffer = nullptr) : buf_(buffer) {}

    std::size_t Pos() const { return pos_; }
    // Starts a record; its length is filled in by End().
    void Begin(uint16_t code);
    void End();
    // Data bytes of the open record.
    void U8(uint8_t v);
    void U16(uint16_t v);
    void U32(uint32_t v);
    void Bytes(const void* data, std::size_t n);
    // Room left in the open record before it reaches the record size limit.
    std::size_t Room() const { return biff::kMaxRecordData - (pos_ - dataStart_); }
    // A record with fixed data.
    void Record(uint16_t code, const void* data, std::size_t n);

private:
    uint8_t* buf_;
    std::size_t pos_ = 0;
    std::size_t dataStart_ = 0;
};

// Stream positions that the measuring pass finds and the writing pass uses.
struct StreamLayout {
    std::vector<uint32_t> sheetBof;             // per sheet
    std::vector<std::vector<uint32_t>> dbcells; // per sheet, per row block
};

class Workbook {
public:
    explicit Workbook(const BasicExcel& xls) : xls_(xls) {}
    void Write(RecordEmitter& out, const StreamLayout& layout) const;

private:
    void WriteSST(RecordEmitter& out) const;
    const BasicExcel& xls_;
};

class Worksheet {
public:
    Worksheet(const BasicExcelWorksheet& sheet, std::size_t index) : sheet_(sheet), index_(index) {}
    // Writes the sheet; records the DBCELL positions it emits into `found`.
    void Write(RecordEmitter& out, const StreamLayout& layout, StreamLayout& found) const;

private:
    const BasicExcelWorksheet& sheet_;
    std::size_t index_;
};

// Number of LABELSST records the workbook will hold (the SST's total count).
uint32_t CountStringCells(const BasicExcel& xls);

} // namespace tarvex::xls
