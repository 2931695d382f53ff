// Record framing and the records every workbook carries.
#include "export/xls/BiffRecords.h"

#include <algorithm>
#include <cerrno>

namespace tarvex::xls {

RecordEmitter::RecordEmitter(ByteSink& sink, uint64_t base, std::size_t window)
    : sink_(sink), base_(base), cap_(window), win_(new uint8_t[window]) {}

void RecordEmitter::Begin(uint16_t code) {
    recordStart_ = pos_;
    U16(code);
    U16(0);
    dataStart_ = pos_;
}

void RecordEmitter::End() {
    const std::size_t len = pos_ - dataStart_;
    const uint8_t b[2] = {static_cast<uint8_t>(len), static_cast<uint8_t>(len >> 8)};
    PatchAt(recordStart_ + 2, b, 2);
}

void RecordEmitter::Record(uint16_t code, const void* data, std::size_t n) {
    Begin(code);
    Bytes(data, n);
    End();
}

void RecordEmitter::Fail(int err) {
    if (error_ == 0) error_ = err ? err : EIO;
}

bool RecordEmitter::Flush() {
    const std::size_t fill = pos_ - winStart_;
    if (error_ == 0 && fill && !sink_.WriteAt(base_ + winStart_, win_.get(), fill)) Fail(errno);
    winStart_ = pos_;
    return error_ == 0;
}

void RecordEmitter::PutSlow(const void* data, std::size_t n) {
    Flush();
    if (n <= cap_) {
        std::memcpy(win_.get(), data, n);
        pos_ += n;
        return;
    }
    // Larger than the window: straight to the sink.
    if (error_ == 0 && !sink_.WriteAt(base_ + pos_, data, n)) Fail(errno);
    pos_ += n;
    winStart_ = pos_;
}

void RecordEmitter::PatchAt(std::size_t pos, const uint8_t* bytes, std::size_t n) {
    // The part already sent goes to the sink, the rest into the window.
    const std::size_t sent = pos < winStart_ ? std::min(n, winStart_ - pos) : 0;
    if (sent && error_ == 0 && !sink_.WriteAt(base_ + pos, bytes, sent)) Fail(errno);
    if (n > sent) std::memcpy(win_.get() + (pos + sent - winStart_), bytes + sent, n - sent);
}

void RecordEmitter::Patch32(std::size_t pos, uint32_t v) {
    const uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                          static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
    PatchAt(pos, b, 4);
}

bool RecordEmitter::Read(std::size_t pos, void* out, std::size_t n) {
    auto* o = static_cast<uint8_t*>(out);
    const std::size_t sent = pos < winStart_ ? std::min(n, winStart_ - pos) : 0;
    if (sent) {
        if (error_ != 0) return false;
        if (!sink_.ReadAt(base_ + pos, o, sent)) {
            Fail(errno);
            return false;
        }
    }
    if (n > sent) std::memcpy(o + sent, win_.get() + (pos + sent - winStart_), n - sent);
    return true;
}

void WriteBof(RecordEmitter& out, uint16_t substream) {
    out.Begin(biff::BOF);
    out.U16(0x0600);
    out.U16(substream);
    out.U16(0x19A0);
    out.U16(0x07CD);
    out.U32(0x0000C0C9);
    out.U32(0x00000306);
    out.End();
}

void WriteShortString(RecordEmitter& out, std::u16string_view s) {
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

void WriteFont(RecordEmitter& out, const FontRecord& f) {
    out.Begin(biff::FONT);
    out.U16(f.height);
    out.U16(0); // not italic, not struck out
    out.U16(f.colorIndex);
    out.U16(f.weight);
    out.U16(0); // no escapement
    out.U8(0);  // no underline
    out.U8(0);  // family
    out.U8(0);  // character set
    out.U8(0);
    WriteShortString(out, f.name);
    out.End();
}

void WriteXF(RecordEmitter& out, const XFRecord& xf) {
    out.Begin(biff::XF);
    out.U16(xf.font);
    out.U16(xf.numberFormat);
    out.U16(xf.typeProt);
    out.U8(xf.alignment);
    out.U8(xf.rotation);
    out.U8(xf.textOptions);
    out.U8(xf.usedAttributes);
    out.U32(xf.borderLines);
    out.U32(xf.borderColors);
    out.U16(xf.patternColors);
    out.End();
}

} // namespace tarvex::xls
