// BIFF8 records: codes, the emitter that frames records into the "Workbook" stream as it
// goes out to a ByteSink, and the records every workbook carries.
#pragma once

#include "export/xls/ByteSink.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

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
inline constexpr uint16_t kGlobals = 0x0005; // BOF substream types
inline constexpr uint16_t kWorksheet = 0x0010;
} // namespace biff

// Appends records at a running stream position. Stream position p lands at offset
// base + p of the sink; bytes gather in a window and go out when it is full, so a record
// header can be patched in memory when its record ends. Once a write to the sink fails
// the emitter keeps counting positions but writes nothing more; Error() tells why.
class RecordEmitter {
public:
    RecordEmitter(ByteSink& sink, uint64_t base, std::size_t window = 64 * 1024);

    std::size_t Pos() const { return pos_; }
    // Starts a record; its length is filled in by End().
    void Begin(uint16_t code);
    void End();
    // Data bytes of the open record.
    void U8(uint8_t v) { Put(&v, 1); }
    void U16(uint16_t v) {
        const uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
        Put(b, 2);
    }
    void U32(uint32_t v) {
        const uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                              static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
        Put(b, 4);
    }
    void Bytes(const void* data, std::size_t n) {
        if (n) Put(data, n);
    }
    // Room left in the open record before it reaches the record size limit.
    std::size_t Room() const { return biff::kMaxRecordData - (pos_ - dataStart_); }
    // A record with fixed data.
    void Record(uint16_t code, const void* data, std::size_t n);

    // Overwrites four bytes emitted before (an offset learnt later).
    void Patch32(std::size_t pos, uint32_t v);
    // Reads back bytes emitted before, whether they went out yet or not.
    bool Read(std::size_t pos, void* out, std::size_t n);
    // Sends what the window holds to the sink; false once any write failed.
    bool Flush();

    bool Ok() const { return error_ == 0; }
    int Error() const { return error_; }
    // Stops the writing with this errno (the first failure is the one kept).
    void Fail(int err);

private:
    void Put(const void* data, std::size_t n) {
        const std::size_t fill = pos_ - winStart_;
        if (fill + n <= cap_) {
            std::memcpy(win_.get() + fill, data, n);
            pos_ += n;
        } else {
            PutSlow(data, n);
        }
    }
    void PutSlow(const void* data, std::size_t n);
    void PatchAt(std::size_t pos, const uint8_t* bytes, std::size_t n);

    ByteSink& sink_;
    uint64_t base_;
    std::size_t cap_;
    std::unique_ptr<uint8_t[]> win_;
    std::size_t winStart_ = 0; // stream position of win_[0]
    std::size_t pos_ = 0;
    std::size_t recordStart_ = 0;
    std::size_t dataStart_ = 0;
    int error_ = 0;
};

// BOF of the globals or of a worksheet (biff::kGlobals, biff::kWorksheet).
void WriteBof(RecordEmitter& out, uint16_t substream);
// Short (8-bit length) unicode string, compressed when every unit fits in a byte.
void WriteShortString(RecordEmitter& out, std::u16string_view s);

struct FontRecord {
    uint16_t height = 200;        // twips
    uint16_t weight = 400;        // 400 normal, 700 bold
    uint16_t colorIndex = 0x7FFF; // palette index; 0x7FFF automatic
    std::u16string_view name = u"Arial";
};
void WriteFont(RecordEmitter& out, const FontRecord& f);

struct XFRecord {
    uint16_t font = 0;
    uint16_t numberFormat = 0;   // 0 = General
    uint16_t typeProt = 0x0001;  // cell XF, locked; 0xFFF5 for a style XF
    uint8_t alignment = 0x20;    // horizontal general, vertical bottom
    uint8_t rotation = 0;
    uint8_t textOptions = 0;
    uint8_t usedAttributes = 0;
    uint32_t borderLines = 0;
    uint32_t borderColors = 0;
    uint16_t patternColors = 0x20C0; // pattern colours 64 and 65
};
void WriteXF(RecordEmitter& out, const XFRecord& xf);

} // namespace tarvex::xls
