// The message-log workbook written in one pass: globals with the string table as the rows
// arrive, then the worksheets from the string indices kept per row.
#include "export/xls/LogWorkbookWriter.h"

#include "export/xls/BiffRecords.h"
#include "export/xls/CompoundFile.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <new>
#include <string>
#include <vector>

namespace tarvex::xls {
namespace {

constexpr std::size_t kHeaderSector = CompoundFile::kSectorSize;
// BIFF8 stream offsets are 32-bit and signed in some readers.
constexpr std::size_t kMaxStream = 0x7FFFFFFF;
constexpr int kColumns = 5;
constexpr const char16_t* kHeaders[kColumns] = {u"时间", u"类型", u"设备ID", u"信息体", u"信息头"};
constexpr uint16_t kWidths[kColumns] = {6000, 6000, 6000, 12000, 8000};
// Cell formats: 16 default XFs (15 style XFs and the default cell XF 15), then ours.
constexpr uint16_t kHeaderXF = 16;
constexpr uint16_t kDataXF = 17;

uint64_t Mix(uint64_t x) {
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// A cell's text as the string table stores it: the flags byte (0 compressed, 1 UTF-16)
// and the character bytes, cut to the cell limit. The bytes are the cell's own when they
// can be, else they are built in `scratch`.
struct Encoded {
    uint8_t flags;
    std::string_view bytes;
};

Encoded Encode(const CellText& c, std::size_t maxChars, std::string& scratch) {
    if (!c.isWide) return {0, c.narrow.substr(0, maxChars)};
    std::u16string_view w = c.wide;
    if (w.size() > maxChars) {
        std::size_t n = maxChars;
        // Do not leave half of a surrogate pair at the cut.
        if (n > 0 && w[n - 1] >= 0xD800 && w[n - 1] <= 0xDBFF) --n;
        w = w.substr(0, n);
    }
    const bool fits8 = std::all_of(w.begin(), w.end(), [](char16_t u) { return u <= 0xFF; });
    if (fits8) {
        scratch.resize(w.size());
        for (std::size_t i = 0; i < w.size(); ++i)
            scratch[i] = static_cast<char>(w[i]);
        return {0, scratch};
    }
    if constexpr (std::endian::native == std::endian::little)
        return {1, {reinterpret_cast<const char*>(w.data()), w.size() * 2}};
    scratch.resize(w.size() * 2);
    for (std::size_t i = 0; i < w.size(); ++i) {
        scratch[2 * i] = static_cast<char>(w[i] & 0xFF);
        scratch[2 * i + 1] = static_cast<char>(w[i] >> 8);
    }
    return {1, scratch};
}

// The shared string table, written as texts arrive. A text seen before is found by its
// hash; the candidate is confirmed against the bytes already written (read back from the
// window or the sink), so no text is kept in memory except a small cache of short texts
// that repeat (device identifiers, type texts, "No Body!").
class SharedStringTable {
public:
    explicit SharedStringTable(RecordEmitter& out) : out_(out), slots_(1u << 10, 0) {
        hot_.resize(kHotSlots);
    }

    void Begin() {
        out_.Begin(biff::SST);
        countsPos_ = out_.Pos();
        out_.U32(0); // cells, patched by End()
        out_.U32(0); // distinct strings
    }

    uint32_t Add(const Encoded& e) {
        const uint64_t h = Mix(std::hash<std::string_view>{}(e.bytes) ^ (uint64_t{e.flags} << 63));
        Hot& hot = hot_[h & (kHotSlots - 1)];
        if (hot.used && hot.hash == h && hot.flags == e.flags && hot.bytes == e.bytes)
            return hot.index;
        const auto tag = static_cast<uint32_t>(h >> 32);
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = tag & mask; slots_[i] != 0; i = (i + 1) & mask) {
            if (static_cast<uint32_t>(slots_[i] >> 32) != tag) continue;
            const uint32_t index = static_cast<uint32_t>(slots_[i]) - 1;
            if (!Stored(index, e)) continue;
            if (e.bytes.size() <= kHotMaxBytes) {
                hot.used = true;
                hot.hash = h;
                hot.flags = e.flags;
                hot.index = index;
                hot.bytes.assign(e.bytes);
            }
            return index;
        }
        const auto index = static_cast<uint32_t>(entryPos_.size());
        Emit(e);
        Insert(tag, index);
        return index;
    }

    void End(uint32_t cells) {
        out_.End();
        out_.Patch32(countsPos_, cells);
        out_.Patch32(countsPos_ + 4, static_cast<uint32_t>(entryPos_.size()));
    }

private:
    static constexpr std::size_t kHotSlots = 256;
    static constexpr std::size_t kHotMaxBytes = 256;
    struct Hot {
        bool used = false;
        uint8_t flags = 0;
        uint32_t index = 0;
        uint64_t hash = 0;
        std::string bytes;
    };

    void NextRecord() {
        recordEnds_.push_back(out_.Pos());
        out_.End();
        out_.Begin(biff::CONTINUE);
    }

    // 16-bit character count, flags byte, characters. A new record is started before a
    // string whose header and first character do not fit; a string that does not fit goes
    // on in a CONTINUE record that starts with its flags byte again.
    void Emit(const Encoded& e) {
        const std::size_t unit = e.flags ? 2 : 1;
        const std::size_t chars = e.bytes.size() / unit;
        if (out_.Room() < 3 + (chars ? unit : 0)) NextRecord();
        entryPos_.push_back(static_cast<uint32_t>(out_.Pos()));
        out_.U16(static_cast<uint16_t>(chars));
        out_.U8(e.flags);
        const char* p = e.bytes.data();
        std::size_t left = chars;
        while (left > 0) {
            const std::size_t fit = std::min(left, out_.Room() / unit);
            if (fit == 0) {
                NextRecord();
                out_.U8(e.flags);
                continue;
            }
            out_.Bytes(p, fit * unit);
            p += fit * unit;
            left -= fit;
        }
    }

    // Whether entry `index` holds exactly this text, read back across record boundaries.
    bool Stored(uint32_t index, const Encoded& e) {
        const std::size_t unit = e.flags ? 2 : 1;
        const std::size_t pos = entryPos_[index];
        uint8_t head[3];
        if (!out_.Read(pos, head, 3)) return false;
        if (static_cast<std::size_t>(head[0] | head[1] << 8) != e.bytes.size() / unit ||
            head[2] != e.flags)
            return false;
        auto rec = std::upper_bound(recordEnds_.begin(), recordEnds_.end(), pos);
        auto recordEnd = [&] { return rec == recordEnds_.end() ? out_.Pos() : *rec; };
        std::size_t at = pos + 3, end = recordEnd(), done = 0;
        char buf[4096];
        while (done < e.bytes.size()) {
            if (at == end) { // skip the CONTINUE header and its flags byte
                ++rec;
                at += 5;
                end = recordEnd();
            }
            const std::size_t n = std::min({e.bytes.size() - done, end - at, sizeof buf});
            if (!out_.Read(at, buf, n) || std::char_traits<char>::compare(buf, e.bytes.data() + done, n))
                return false;
            at += n;
            done += n;
        }
        return true;
    }

    void Insert(uint32_t tag, uint32_t index) {
        // Linear probing stays short below three quarters full.
        if ((used_ + 1) * 4 > slots_.size() * 3) {
            std::vector<uint64_t> old(slots_.size() * 2, 0);
            old.swap(slots_);
            for (uint64_t s : old)
                if (s) Place(s);
        }
        Place(uint64_t{tag} << 32 | (index + 1));
        ++used_;
    }

    void Place(uint64_t slot) {
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = static_cast<uint32_t>(slot >> 32) & mask;
        while (slots_[i] != 0)
            i = (i + 1) & mask;
        slots_[i] = slot;
    }

    RecordEmitter& out_;
    std::size_t countsPos_ = 0;
    std::vector<uint32_t> entryPos_;    // stream position of each string's character count
    std::vector<std::size_t> recordEnds_; // end of each closed SST / CONTINUE record
    std::vector<uint64_t> slots_;       // hash tag << 32 | index + 1; 0 is free
    std::size_t used_ = 0;
    std::vector<Hot> hot_;
};

struct SheetPlan {
    std::u16string name;
    int dir = -1;          // 0 received, 1 sent, -1 the empty third sheet
    std::size_t first = 0; // index of its first row among the direction's rows
};

class Writer {
public:
    Writer(const ILogCells& cells, ByteSink& sink, const WorkbookLimits& limits)
        : cells_(cells), sink_(sink), out_(sink, kHeaderSector), sst_(out_),
          perSheet_(std::clamp<std::size_t>(limits.rowsPerSheet, 1, 65535)),
          maxChars_(limits.maxCellChars) {}

    WriteOutcome Run() {
        Plan();
        WriteGlobals();
        for (std::size_t i = 0; i < plan_.size(); ++i) {
            out_.Patch32(sheetPos_[i], static_cast<uint32_t>(out_.Pos()));
            WriteSheet(plan_[i]);
        }
        WriteOutcome r;
        r.received = rows_[0].size() / kColumns;
        r.sent = rows_[1].size() / kColumns;
        r.dropped = dropped_;
        const std::size_t size = out_.Pos();
        if (size > kMaxStream) out_.Fail(EFBIG);
        if (!out_.Flush()) {
            r.error = out_.Error();
            return r;
        }
        // The container around the stream: its tables after it, its header in front.
        CompoundFile cf(u"Workbook");
        cf.Layout(size);
        if (!sink_.WriteAt(kHeaderSector + size, cf.Tail().data(), cf.Tail().size()) ||
            !sink_.WriteAt(0, cf.Head().data(), cf.Head().size())) {
            r.error = errno ? errno : EIO;
            return r;
        }
        r.ok = true;
        r.fileSize = kHeaderSector + size + cf.Tail().size();
        return r;
    }

private:
    void Plan() {
        // No stream can hold more rows than this (each row takes over 90 bytes in it).
        constexpr std::size_t kMostRows = kMaxStream / 90;
        const std::size_t counts[2] = {std::min(cells_.RowCount(LogDirection::Received), kMostRows),
                                       std::min(cells_.RowCount(LogDirection::Sent), kMostRows)};
        std::size_t sheets[2];
        for (int d = 0; d < 2; ++d) {
            sheets[d] = std::max<std::size_t>(1, (counts[d] + perSheet_ - 1) / perSheet_);
            capacity_[d] = sheets[d] * perSheet_;
            rows_[d].reserve(std::min(counts[d], capacity_[d]) * kColumns);
        }
        plan_.push_back({u"Recv Msg", 0, 0});
        plan_.push_back({u"Send Msg", 1, 0});
        plan_.push_back({u"Sheet3", -1, 0});
        // A direction whose sheet is full goes on in "Recv Msg 2", "Send Msg 2", ...
        for (std::size_t k = 2; k <= std::max(sheets[0], sheets[1]); ++k)
            for (int d = 0; d < 2; ++d)
                if (k <= sheets[d]) {
                    const std::string name = (d == 0 ? "Recv Msg " : "Send Msg ") + std::to_string(k);
                    plan_.push_back({std::u16string(name.begin(), name.end()), d, (k - 1) * perSheet_});
                }
    }

    void WriteGlobals() {
        WriteBof(out_, biff::kGlobals);

        out_.Begin(biff::WINDOW1);
        for (uint16_t v : {120, 120, 15135, 9300, 0x0038, 0 /* active sheet */,
                           0 /* first visible tab */, 1 /* selected tabs */, 600})
            out_.U16(v);
        out_.End();

        // Four default fonts; record index 4 does not exist in BIFF, so the header font
        // is font 5 and the data font font 6.
        for (int i = 0; i < 4; ++i)
            WriteFont(out_, FontRecord{});
        WriteFont(out_, FontRecord{200, 500, 4, u"Arial"});
        WriteFont(out_, FontRecord{200, 300, 0, u"Arial"});

        // No FORMAT records: every format used is built in (General). Style XFs 0..14
        // (Normal and the built-in styles' slots), the default cell XF 15, then ours.
        XFRecord style;
        style.typeProt = 0xFFF5;
        WriteXF(out_, style);
        for (uint16_t i = 1; i < 15; ++i) {
            style.font = i <= 2 ? 1 : (i <= 4 ? 2 : 0);
            style.usedAttributes = 0xF4;
            WriteXF(out_, style);
        }
        WriteXF(out_, XFRecord{});
        for (uint16_t font : {5, 6}) {
            XFRecord xf;
            xf.font = font;
            xf.usedAttributes = 0xF8;
            WriteXF(out_, xf);
        }

        // The built-in style Normal on XF 0.
        out_.Begin(biff::STYLE);
        out_.U16(0x8000);
        out_.U8(0);
        out_.U8(0xFF);
        out_.End();

        for (const SheetPlan& s : plan_) {
            out_.Begin(biff::BOUNDSHEET);
            sheetPos_.push_back(out_.Pos());
            out_.U32(0); // stream offset of the sheet's BOF, patched when it is written
            out_.U8(0);  // visible
            out_.U8(0);  // worksheet
            WriteShortString(out_, s.name);
            out_.End();
        }

        sst_.Begin();
        std::string scratch;
        for (int c = 0; c < kColumns; ++c)
            headers_[c] = sst_.Add(Encode(CellText::Wide(kHeaders[c]), maxChars_, scratch));
        std::string scratches[kColumns];
        for (int d = 0; d < 2; ++d) {
            cells_.ForEachRow(d == 0 ? LogDirection::Received : LogDirection::Sent,
                              [&](const LogRowCells& row) {
                                  if (!out_.Ok()) return;
                                  if (rows_[d].size() / kColumns >= capacity_[d]) {
                                      ++dropped_;
                                      return;
                                  }
                                  for (int c = 0; c < kColumns; ++c)
                                      rows_[d].push_back(
                                          sst_.Add(Encode(row[c], maxChars_, scratches[c])));
                                  if (out_.Pos() > kMaxStream) out_.Fail(EFBIG);
                              });
        }
        std::size_t cells = rows_[0].size() + rows_[1].size();
        for (const SheetPlan& s : plan_)
            if (s.dir >= 0) cells += kColumns; // header rows
        sst_.End(static_cast<uint32_t>(cells));
        out_.Record(biff::EOF_, nullptr, 0);
    }

    void WriteSheet(const SheetPlan& s) {
        // Rows of the sheet: the header row and its share of the direction's rows.
        std::size_t data = 0;
        if (s.dir >= 0) {
            const std::size_t all = rows_[s.dir].size() / kColumns;
            data = s.first < all ? std::min(perSheet_, all - s.first) : 0;
        }
        const std::size_t rows = s.dir >= 0 ? data + 1 : 0;
        const std::size_t blocks = (rows + biff::kRowsPerBlock - 1) / biff::kRowsPerBlock;

        WriteBof(out_, biff::kWorksheet);

        out_.Begin(biff::INDEX);
        out_.U32(0);
        out_.U32(0);                          // first used row
        out_.U32(static_cast<uint32_t>(rows)); // last used row + 1
        out_.U32(0);                          // no DEFCOLWIDTH record
        const std::size_t dbcellSlots = out_.Pos();
        for (std::size_t b = 0; b < blocks; ++b)
            out_.U32(0); // DBCELL positions, patched as the blocks are written
        out_.End();

        if (s.dir >= 0)
            for (uint16_t c = 0; c < kColumns; ++c) {
                out_.Begin(biff::COLINFO);
                out_.U16(c);
                out_.U16(c);
                out_.U16(kWidths[c]);
                out_.U16(0); // XF
                out_.U16(0); // options
                out_.U16(0);
                out_.End();
            }

        out_.Begin(biff::DIMENSIONS);
        out_.U32(0);
        out_.U32(static_cast<uint32_t>(rows));
        out_.U16(0);
        out_.U16(rows ? kColumns : 0);
        out_.U16(0);
        out_.End();

        std::size_t firstCell[biff::kRowsPerBlock];
        for (std::size_t b = 0; b < blocks; ++b) {
            const std::size_t r0 = b * biff::kRowsPerBlock;
            const std::size_t r1 = std::min(rows, r0 + biff::kRowsPerBlock);
            const std::size_t firstRowPos = out_.Pos();
            for (std::size_t r = r0; r < r1; ++r) {
                out_.Begin(biff::ROW);
                out_.U16(static_cast<uint16_t>(r));
                out_.U16(0);        // first column
                out_.U16(kColumns); // last column + 1
                out_.U16(0x00FF);   // default height
                out_.U16(0);
                out_.U16(0);
                out_.U32(0x000F0100); // default cell format 15
                out_.End();
            }
            for (std::size_t r = r0; r < r1; ++r) {
                firstCell[r - r0] = out_.Pos();
                const uint32_t* sst =
                    r == 0 ? nullptr : &rows_[s.dir][(s.first + r - 1) * kColumns];
                for (int c = 0; c < kColumns; ++c) {
                    out_.Begin(biff::LABELSST);
                    out_.U16(static_cast<uint16_t>(r));
                    out_.U16(static_cast<uint16_t>(c));
                    out_.U16(r == 0 ? kHeaderXF : kDataXF);
                    out_.U32(sst ? sst[c] : headers_[c]);
                    out_.End();
                }
            }
            // DBCELL: back to the block's first ROW, then from the second ROW record to
            // the first cell of the first row and from each row's first cell to the next.
            const std::size_t dbPos = out_.Pos();
            out_.Patch32(dbcellSlots + 4 * b, static_cast<uint32_t>(dbPos));
            out_.Begin(biff::DBCELL);
            out_.U32(static_cast<uint32_t>(dbPos - firstRowPos));
            std::size_t prev = firstRowPos + 20;
            for (std::size_t r = r0; r < r1; ++r) {
                out_.U16(static_cast<uint16_t>(firstCell[r - r0] - prev));
                prev = firstCell[r - r0];
            }
            out_.End();
        }

        out_.Begin(biff::WINDOW2);
        out_.U16(0x06B6);
        out_.U16(0);  // first visible row
        out_.U16(0);  // first visible column
        out_.U16(64); // grid-line colour
        out_.U16(0);
        out_.U16(0); // zoom in page-break preview: default
        out_.U16(0); // zoom in normal view: default
        out_.U32(0);
        out_.End();

        out_.Record(biff::EOF_, nullptr, 0);
    }

    const ILogCells& cells_;
    ByteSink& sink_;
    RecordEmitter out_;
    SharedStringTable sst_;
    std::size_t perSheet_;
    std::size_t maxChars_;
    std::vector<SheetPlan> plan_;
    std::vector<std::size_t> sheetPos_; // BOUNDSHEET offset fields
    std::size_t capacity_[2] = {0, 0};
    uint32_t headers_[kColumns] = {};
    std::vector<uint32_t> rows_[2]; // string-table index of each cell, five per row
    std::size_t dropped_ = 0;
};

} // namespace

WriteOutcome WriteLogWorkbook(const ILogCells& cells, ByteSink& sink, const WorkbookLimits& limits) {
    try {
        Writer w(cells, sink, limits);
        return w.Run();
    } catch (const std::bad_alloc&) {
        WriteOutcome r;
        r.error = ENOMEM;
        return r;
    }
}

} // namespace tarvex::xls
