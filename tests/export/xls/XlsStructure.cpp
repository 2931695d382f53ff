#include "XlsStructure.h"

#include <algorithm>
#include <cstdio>

namespace xlscheck {
namespace {

constexpr uint32_t kFree = 0xFFFFFFFF;
constexpr uint32_t kEnd = 0xFFFFFFFE;
constexpr uint32_t kFatSect = 0xFFFFFFFD;
constexpr uint32_t kDifSect = 0xFFFFFFFC;
constexpr std::size_t kSector = 512;
constexpr std::size_t kMini = 64;
constexpr std::size_t kMaxRecord = 8224;

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// The compound file's sectors, FAT and which chain owns each sector.
class Container {
public:
    explicit Container(std::span<const uint8_t> f) : file_(f) {}

    std::string Open() {
        if (file_.size() < kSector || file_.size() % kSector) return "file size is not whole sectors";
        static const uint8_t sig[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
        const uint8_t* h = file_.data();
        if (!std::equal(sig, sig + 8, h)) return "no compound file signature";
        if (Le16(h + 26) != 3 || Le16(h + 28) != 0xFFFE || Le16(h + 30) != 9 || Le16(h + 32) != 6 ||
            Le32(h + 56) != 4096)
            return "header fields are not those of a version 3 file";
        count_ = file_.size() / kSector - 1;
        owner_.assign(count_, 0);
        const uint32_t fatSectors = Le32(h + 44);
        std::vector<uint32_t> fatList;
        for (std::size_t i = 0; i < 109; ++i) {
            const uint32_t s = Le32(h + 76 + 4 * i);
            if (i < fatSectors) fatList.push_back(s);
            else if (s != kFree) return "header DIFAT entry beyond the FAT count is used";
        }
        uint32_t difat = Le32(h + 68);
        for (uint32_t d = 0; d < Le32(h + 72); ++d) {
            if (!Claim(difat, 'D')) return "DIFAT sector out of range or used twice";
            const uint8_t* p = SectorData(difat);
            for (std::size_t k = 0; k < 127; ++k) {
                const uint32_t s = Le32(p + 4 * k);
                if (fatList.size() < fatSectors) fatList.push_back(s);
                else if (s != kFree) return "DIFAT entry beyond the FAT count is used";
            }
            difatSectors_.push_back(difat);
            difat = Le32(p + 508);
        }
        if (difat != kEnd) return "DIFAT chain does not end";
        if (fatList.size() != fatSectors) return "FAT sectors missing from the DIFAT";
        if (static_cast<std::size_t>(fatSectors) * 128 < count_) return "FAT too short for the file";
        for (uint32_t s : fatList) {
            if (!Claim(s, 'F')) return "FAT sector out of range or used twice";
            const uint8_t* p = SectorData(s);
            for (std::size_t k = 0; k < 128; ++k)
                fat_.push_back(Le32(p + 4 * k));
        }
        for (uint32_t s : fatList)
            if (fat_[s] != kFatSect) return "FAT sector not marked as such in the FAT";
        for (uint32_t s : difatSectors_)
            if (fat_[s] != kDifSect) return "DIFAT sector not marked as such in the FAT";
        return {};
    }

    // Follows a chain from `start`, claiming its sectors for `tag`.
    std::string Chain(uint32_t start, char tag, std::vector<uint32_t>& out) {
        for (uint32_t s = start; s != kEnd; s = fat_[s]) {
            if (!Claim(s, tag)) return std::string("chain of '") + tag + "' leaves the file or meets another chain";
            out.push_back(s);
        }
        return {};
    }

    std::string Unclaimed() const {
        for (std::size_t s = 0; s < count_; ++s)
            if (!owner_[s] && fat_[s] != kFree) return "sector in no chain is not free in the FAT";
        return {};
    }

    const uint8_t* SectorData(uint32_t s) const { return file_.data() + kSector * (s + 1); }
    const uint8_t* Header() const { return file_.data(); }

private:
    bool Claim(uint32_t s, char tag) {
        if (s >= count_ || owner_[s]) return false;
        owner_[s] = tag;
        return true;
    }

    std::span<const uint8_t> file_;
    std::size_t count_ = 0;
    std::vector<char> owner_;
    std::vector<uint32_t> fat_;
    std::vector<uint32_t> difatSectors_;
};

std::string ReadStream(Container& cf, uint32_t start, std::size_t size, char tag,
                       std::vector<uint8_t>& out) {
    std::vector<uint32_t> chain;
    if (auto e = cf.Chain(start, tag, chain); !e.empty()) return e;
    if (chain.size() != (size + kSector - 1) / kSector) return "chain length does not match the stream size";
    out.clear();
    for (uint32_t s : chain)
        out.insert(out.end(), cf.SectorData(s), cf.SectorData(s) + kSector);
    out.resize(size);
    return {};
}

struct Rec {
    uint16_t code;
    std::size_t pos;
    const uint8_t* data;
    std::size_t len;
};

// Reads the strings of the SST and its CONTINUE records.
class SstReader {
public:
    explicit SstReader(std::vector<const Rec*> recs) : recs_(std::move(recs)) {}

    std::string Read(uint32_t& total, Workbook& book) {
        if (recs_[0]->len < 8) return "SST shorter than its counts";
        total = Le32(recs_[0]->data);
        const uint32_t distinct = Le32(recs_[0]->data + 4);
        off_ = 8;
        for (uint32_t i = 0; i < distinct; ++i) {
            if (off_ == Cur().len && !Next()) return "SST ends before its strings";
            if (Cur().len - off_ < 3) return "string header split across records";
            std::size_t chars = Le16(Cur().data + off_);
            uint8_t flags = Cur().data[off_ + 2];
            off_ += 3;
            if (flags > 1) return "string with rich text or extension flags";
            book.sstFlags.push_back(flags);
            std::u16string s;
            while (chars > 0) {
                if (off_ == Cur().len) {
                    if (!Next()) return "SST ends inside a string";
                    flags = Cur().data[off_++];
                    if (flags > 1) return "bad flags byte at the start of a CONTINUE";
                }
                const std::size_t unit = flags ? 2 : 1;
                const std::size_t n = std::min(chars, (Cur().len - off_) / unit);
                if (n == 0) return "UTF-16 character split across records";
                for (std::size_t k = 0; k < n; ++k, off_ += unit)
                    s.push_back(unit == 2 ? Le16(Cur().data + off_) : Cur().data[off_]);
                chars -= n;
            }
            book.sst.push_back(std::move(s));
        }
        if (off_ != Cur().len || rec_ + 1 != recs_.size()) return "bytes left over after the last string";
        return {};
    }

private:
    const Rec& Cur() const { return *recs_[rec_]; }
    bool Next() {
        if (rec_ + 1 >= recs_.size()) return false;
        ++rec_;
        off_ = 0;
        return true;
    }
    std::vector<const Rec*> recs_;
    std::size_t rec_ = 0, off_ = 0;
};

std::string At(const Rec& r, const std::string& what) {
    return "record 0x" + [&] {
        char b[8];
        std::snprintf(b, sizeof b, "%04X", r.code);
        return std::string(b);
    }() + " at " + std::to_string(r.pos) + ": " + what;
}

class BiffChecker {
public:
    explicit BiffChecker(const std::vector<uint8_t>& s) : s_(s) {}

    std::string Run(Workbook& book) {
        for (std::size_t pos = 0; pos < s_.size();) {
            if (s_.size() - pos < 4) return "stream ends inside a record header";
            const std::size_t len = Le16(&s_[pos + 2]);
            if (len > kMaxRecord) return "record longer than 8224 bytes at " + std::to_string(pos);
            if (pos + 4 + len > s_.size()) return "record runs past the stream at " + std::to_string(pos);
            recs_.push_back({Le16(&s_[pos]), pos, s_.data() + pos + 4, len});
            pos += 4 + len;
        }
        if (recs_.empty() || !IsBof(recs_[0], 0x0005)) return "stream does not start with a globals BOF";

        std::vector<std::pair<uint32_t, std::u16string>> bounds;
        std::size_t i = 1, xfs = 0;
        uint32_t total = 0;
        bool sawSst = false;
        for (; i < recs_.size() && recs_[i].code != 0x000A; ++i) {
            const Rec& r = recs_[i];
            if (r.code == 0x0809) return At(r, "BOF inside the globals");
            if (r.code == 0x003C) return At(r, "CONTINUE after no SST");
            if (r.code == 0x00E0) ++xfs;
            if (r.code == 0x0085) {
                if (r.len < 8 || r.len != 8 + std::size_t(r.data[6]) * (r.data[7] ? 2 : 1))
                    return At(r, "bad BOUNDSHEET");
                std::u16string name;
                for (std::size_t k = 0; k < r.data[6]; ++k)
                    name.push_back(r.data[7] ? Le16(r.data + 8 + 2 * k) : r.data[8 + k]);
                bounds.emplace_back(Le32(r.data), std::move(name));
            }
            if (r.code == 0x00FC) {
                std::vector<const Rec*> parts{&r};
                while (i + 1 < recs_.size() && recs_[i + 1].code == 0x003C)
                    parts.push_back(&recs_[++i]);
                if (auto e = SstReader(parts).Read(total, book); !e.empty()) return At(r, e);
                sawSst = true;
            }
        }
        if (i == recs_.size()) return "globals have no EOF";
        if (!sawSst) return "no SST";
        ++i;

        std::size_t labels = 0;
        for (const auto& [offset, name] : bounds) {
            if (i >= recs_.size() || recs_[i].pos != offset)
                return "BOUNDSHEET offset " + std::to_string(offset) + " is not where the next sheet starts";
            Sheet sheet;
            sheet.name = name;
            if (auto e = CheckSheet(i, xfs, book, sheet, labels); !e.empty()) return e;
            book.sheets.push_back(std::move(sheet));
        }
        if (i != recs_.size()) return "records after the last sheet";
        if (labels != total) return "SST total count differs from the number of LABELSST cells";
        return {};
    }

private:
    static bool IsBof(const Rec& r, uint16_t type) {
        return r.code == 0x0809 && r.len >= 4 && Le16(r.data) == 0x0600 && Le16(r.data + 2) == type;
    }

    const Rec* Get(std::size_t i) const { return i < recs_.size() ? &recs_[i] : nullptr; }

    std::string CheckSheet(std::size_t& i, std::size_t xfs, const Workbook& book, Sheet& sheet,
                           std::size_t& labels) {
        if (!IsBof(recs_[i], 0x0010)) return At(recs_[i], "sheet does not start with a worksheet BOF");
        const Rec* index = Get(++i);
        if (!index || index->code != 0x020B || index->len < 16 || (index->len - 16) % 4)
            return At(recs_[i - 1], "no INDEX after the sheet's BOF");
        const uint32_t rwMic = Le32(index->data + 4), rwMac = Le32(index->data + 8);
        std::vector<uint32_t> dbcells;
        for (std::size_t k = 16; k < index->len; k += 4)
            dbcells.push_back(Le32(index->data + k));
        for (++i; Get(i) && Get(i)->code == 0x007D; ++i)
            if (Get(i)->len != 12) return At(*Get(i), "COLINFO is not 12 bytes");
        const Rec* dim = Get(i);
        if (!dim || dim->code != 0x0200 || dim->len != 14 || Le32(dim->data) != rwMic ||
            Le32(dim->data + 4) != rwMac)
            return At(*index, "DIMENSIONS missing or disagreeing with INDEX");
        ++i;

        std::size_t block = 0;
        int lastRow = -1;
        while (Get(i) && Get(i)->code == 0x0208) {
            const Rec& firstRow = *Get(i);
            std::vector<int> rowNums;
            for (; Get(i) && Get(i)->code == 0x0208; ++i) {
                const Rec& r = *Get(i);
                const int row = r.len == 16 ? Le16(r.data) : -1;
                if (row <= lastRow || static_cast<uint32_t>(row) < rwMic || static_cast<uint32_t>(row) >= rwMac ||
                    row / 32 != Le16(firstRow.data) / 32 || rowNums.size() == 32)
                    return At(r, "ROW out of order, out of range or in the wrong block");
                rowNums.push_back(lastRow = row);
            }
            std::vector<std::size_t> firstCell(rowNums.size(), 0);
            std::size_t rowAt = 0;
            for (; Get(i) && Get(i)->code == 0x00FD; ++i) {
                const Rec& c = *Get(i);
                if (c.len != 10) return At(c, "LABELSST is not 10 bytes");
                const int row = Le16(c.data), col = Le16(c.data + 2), xf = Le16(c.data + 4);
                const uint32_t sst = Le32(c.data + 6);
                while (rowAt < rowNums.size() && rowNums[rowAt] != row)
                    ++rowAt;
                if (rowAt == rowNums.size()) return At(c, "cell of no row of its block, or out of order");
                if (!firstCell[rowAt]) firstCell[rowAt] = c.pos;
                if (col > 255 || static_cast<std::size_t>(xf) >= xfs || sst >= book.sst.size())
                    return At(c, "cell column, XF or string index out of range");
                if (sheet.rows.size() <= static_cast<std::size_t>(row)) sheet.rows.resize(row + 1);
                auto& cells = sheet.rows[row];
                if (cells.size() <= static_cast<std::size_t>(col)) cells.resize(col + 1);
                cells[col] = book.sst[sst];
                ++labels;
            }
            const Rec* db = Get(i);
            if (!db || db->code != 0x00D7 || db->len != 4 + 2 * rowNums.size())
                return At(firstRow, "row block without its DBCELL");
            if (block >= dbcells.size() || dbcells[block] != db->pos)
                return At(*db, "INDEX does not point at this DBCELL");
            if (Le32(db->data) != db->pos - firstRow.pos) return At(*db, "DBCELL does not point back at the block's first ROW");
            std::size_t at = firstRow.pos + 20;
            for (std::size_t k = 0; k < rowNums.size(); ++k) {
                at += Le16(db->data + 4 + 2 * k);
                if (firstCell[k] && at != firstCell[k]) return At(*db, "DBCELL cell offset is not the row's first cell");
            }
            ++block;
            ++i;
        }
        if (block != dbcells.size()) return At(*index, "INDEX lists more DBCELLs than there are blocks");
        if (rwMac != (lastRow < 0 ? rwMic : static_cast<uint32_t>(lastRow + 1)))
            return At(*index, "INDEX row range does not end at the last row");
        if (!Get(i) || Get(i)->code != 0x023E) return "sheet has no WINDOW2 after its rows";
        if (!Get(++i) || Get(i)->code != 0x000A) return "sheet does not end with EOF";
        ++i;
        return {};
    }

    const std::vector<uint8_t>& s_;
    std::vector<Rec> recs_;
};

} // namespace

std::string ExtractStream(std::span<const uint8_t> file, std::vector<uint8_t>& stream) {
    Container cf(file);
    if (auto e = cf.Open(); !e.empty()) return e;
    const uint8_t* h = cf.Header();
    std::vector<uint32_t> dirChain;
    if (auto e = cf.Chain(Le32(h + 48), 'd', dirChain); !e.empty()) return e;
    std::vector<const uint8_t*> entries;
    for (uint32_t s : dirChain)
        for (std::size_t k = 0; k < 4; ++k)
            entries.push_back(cf.SectorData(s) + 128 * k);
    if (entries.empty() || entries[0][66] != 5) return "no root entry";

    // Walk the directory tree for "Workbook", every entry at most once.
    std::vector<bool> seen(entries.size(), false);
    std::vector<uint32_t> todo{Le32(entries[0] + 76)};
    const uint8_t* book = nullptr;
    while (!todo.empty()) {
        const uint32_t id = todo.back();
        todo.pop_back();
        if (id == kFree) continue;
        if (id >= entries.size() || seen[id]) return "directory tree leaves the directory or loops";
        seen[id] = true;
        const uint8_t* e = entries[id];
        const std::size_t nameBytes = Le16(e + 64);
        std::u16string name;
        for (std::size_t k = 0; k + 2 < nameBytes && k < 62; k += 2)
            name.push_back(Le16(e + k));
        if (name == u"Workbook" && e[66] == 2) book = e;
        for (std::size_t link : {68u, 72u, 76u})
            todo.push_back(Le32(e + link));
    }
    if (!book) return "no \"Workbook\" stream";
    const std::size_t size = Le32(book + 120);
    const uint32_t start = Le32(book + 116);

    if (size >= 4096) {
        if (auto e = ReadStream(cf, start, size, 'w', stream); !e.empty()) return e;
    } else {
        // Small streams live in the mini stream, held by the root entry.
        std::vector<uint8_t> mini, miniFatBytes;
        if (auto e = ReadStream(cf, Le32(entries[0] + 116), Le32(entries[0] + 120), 'm', mini); !e.empty())
            return e;
        const uint32_t miniFatCount = Le32(h + 64);
        if (auto e = ReadStream(cf, Le32(h + 60), std::size_t(miniFatCount) * kSector, 'M', miniFatBytes);
            !e.empty())
            return e;
        stream.clear();
        std::vector<bool> used(mini.size() / kMini, false);
        for (uint32_t s = start; s != kEnd;) {
            if (s >= used.size() || used[s]) return "mini chain leaves the mini stream or loops";
            used[s] = true;
            stream.insert(stream.end(), mini.begin() + kMini * s, mini.begin() + kMini * (s + 1));
            if (4u * s + 4 > miniFatBytes.size()) return "mini FAT too short";
            s = Le32(&miniFatBytes[4 * s]);
        }
        if (stream.size() != (size + kMini - 1) / kMini * kMini) return "mini chain length does not match the stream size";
        stream.resize(size);
    }
    return cf.Unclaimed();
}

std::string Check(std::span<const uint8_t> file, Workbook& book) {
    std::vector<uint8_t> stream;
    if (auto e = ExtractStream(file, stream); !e.empty()) return e;
    book = Workbook{};
    return BiffChecker(stream).Run(book);
}

} // namespace xlscheck
