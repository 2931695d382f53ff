// The record layout of the "Workbook" stream, parsed from the file as olefile extracts it,
// and the C++ structure checks (which the fuzzer relies on) catching broken files.
#include "Files.h"
#include "XlsReadBack.h"
#include "XlsStructure.h"
#include "export/xls/CompoundFile.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>

using namespace tarvex::xls;
using xlstest::Le16;
using xlstest::Le32;
using xlstest::MsgRows;
using xlstest::Record;

namespace {

const std::string kDevice = "34010000002000000001";

std::vector<uint8_t> SavedStream(const MsgRows& rows) {
    TempDir tmp;
    return xlstest::ExtractStream(xlstest::SaveChecked(rows, tmp.Path()));
}

struct Parsed {
    std::vector<Record> recs;
    std::map<uint32_t, std::size_t> at; // stream offset -> record index
};

Parsed Parse(const std::vector<uint8_t>& stream) {
    Parsed p;
    p.recs = xlstest::ParseRecords(stream);
    for (std::size_t i = 0; i < p.recs.size(); ++i)
        p.at[p.recs[i].pos] = i;
    return p;
}

// Codes of the globals up to and including their EOF.
std::vector<uint16_t> GlobalCodes(const Parsed& p) {
    std::vector<uint16_t> codes;
    for (const auto& r : p.recs) {
        codes.push_back(r.code);
        if (r.code == 0x000A) break;
    }
    return codes;
}

// Checks one worksheet substream that starts at record index `i`; returns the rows found.
int CheckSheet(const Parsed& p, std::size_t i, std::size_t expectColinfo) {
    const auto& recs = p.recs;
    EXPECT_EQ(recs[i].code, 0x0809);
    EXPECT_EQ(Le16(&recs[i].data[2]), 0x0010);
    const Record& index = recs[i + 1];
    EXPECT_EQ(index.code, 0x020B);
    const uint32_t rwMic = Le32(&index.data[4]);
    const uint32_t rwMac = Le32(&index.data[8]);
    std::vector<uint32_t> dbcells;
    for (std::size_t k = 16; k + 4 <= index.data.size(); k += 4)
        dbcells.push_back(Le32(&index.data[k]));

    std::size_t j = i + 2;
    std::size_t colinfo = 0;
    while (recs[j].code == 0x007D) {
        EXPECT_EQ(recs[j].data.size(), 12u);
        ++colinfo;
        ++j;
    }
    EXPECT_EQ(colinfo, expectColinfo);
    EXPECT_EQ(recs[j].code, 0x0200); // DIMENSIONS
    EXPECT_EQ(Le32(&recs[j].data[0]), rwMic);
    EXPECT_EQ(Le32(&recs[j].data[4]), rwMac);
    ++j;

    // Row blocks.
    int rows = 0;
    std::size_t block = 0;
    while (recs[j].code == 0x0208) {
        const std::size_t firstRow = j;
        std::vector<uint16_t> rowNums;
        while (recs[j].code == 0x0208)
            rowNums.push_back(Le16(&recs[j++].data[0]));
        EXPECT_LE(rowNums.size(), 32u);
        while (recs[j].code == 0x00FD)
            ++j;
        const Record& db = recs[j];
        EXPECT_EQ(db.code, 0x00D7);
        if (db.code != 0x00D7) return rows;
        // INDEX points at this DBCELL.
        EXPECT_LT(block, dbcells.size());
        if (block < dbcells.size()) {
            EXPECT_EQ(dbcells[block], db.pos);
        }
        // DBCELL points back at the first ROW and at the first cell of each row.
        EXPECT_EQ(db.pos - Le32(&db.data[0]), recs[firstRow].pos);
        EXPECT_EQ(db.data.size(), 4 + 2 * rowNums.size());
        uint32_t cellPos = recs[firstRow].pos + 20; // end of the first ROW
        for (std::size_t r = 0; r < rowNums.size(); ++r) {
            cellPos += Le16(&db.data[4 + 2 * r]);
            auto it = p.at.find(cellPos);
            EXPECT_NE(it, p.at.end()) << "row " << rowNums[r];
            if (it == p.at.end()) break;
            EXPECT_EQ(recs[it->second].code, 0x00FD);
            EXPECT_EQ(Le16(&recs[it->second].data[0]), rowNums[r]);
            // It is the row's first cell: the record before it is no cell of the same row.
            const Record& before = recs[it->second - 1];
            EXPECT_FALSE(before.code == 0x00FD && Le16(&before.data[0]) == rowNums[r]);
        }
        rows += static_cast<int>(rowNums.size());
        ++block;
        ++j;
    }
    EXPECT_EQ(block, dbcells.size());
    EXPECT_EQ(recs[j].code, 0x023E); // WINDOW2
    EXPECT_EQ(Le16(&recs[j].data[0]), 0x06B6);
    EXPECT_EQ(Le16(&recs[j].data[6]), 64);
    EXPECT_EQ(recs[j + 1].code, 0x000A);
    return rows;
}

} // namespace

TEST(XlsRecords, GlobalsComeInOrderWithTheirValues) {
    MsgRows book;
    book.Add(LogDirection::Received, "2024-05-06T12:34:56.789", "注册信息", kDevice,
             "No Body!\n", "REGISTER\r\n\n");
    const Parsed p = Parse(SavedStream(book));
    ASSERT_FALSE(p.recs.empty());

    const std::vector<uint16_t> codes = GlobalCodes(p);
    std::vector<uint16_t> want = {0x0809, 0x003D};
    want.insert(want.end(), 6, 0x0031);  // 4 default fonts + header and data fonts
    want.insert(want.end(), 18, 0x00E0); // 16 default XFs + header and data formats
    want.push_back(0x0293);
    want.insert(want.end(), 3, 0x0085);
    want.push_back(0x00FC);
    want.push_back(0x000A);
    EXPECT_EQ(codes, want);

    const auto& bof = p.recs[0].data;
    ASSERT_EQ(bof.size(), 16u);
    EXPECT_EQ(Le16(&bof[0]), 0x0600);
    EXPECT_EQ(Le16(&bof[2]), 0x0005);
    EXPECT_EQ(Le16(&bof[4]), 0x19A0);
    EXPECT_EQ(Le16(&bof[6]), 0x07CD);
    EXPECT_EQ(Le32(&bof[8]), 0xC0C9u);
    EXPECT_EQ(Le32(&bof[12]), 0x0306u);

    const auto& w1 = p.recs[1].data;
    ASSERT_EQ(w1.size(), 18u);
    const uint16_t w1want[9] = {120, 120, 15135, 9300, 0x0038, 0, 0, 1, 600};
    for (int k = 0; k < 9; ++k)
        EXPECT_EQ(Le16(&w1[2 * k]), w1want[k]) << k;

    // The header and data fonts (records 4 and 5, referenced as fonts 5 and 6).
    const auto& fh = p.recs[2 + 4].data;
    const auto& fd = p.recs[2 + 5].data;
    EXPECT_EQ(Le16(&fh[0]), 200);
    EXPECT_EQ(Le16(&fh[4]), 4);
    EXPECT_EQ(Le16(&fh[6]), 500);
    EXPECT_EQ(Le16(&fd[4]), 0);
    EXPECT_EQ(Le16(&fd[6]), 300);
    EXPECT_EQ(std::string(fh.begin() + 16, fh.end()), "Arial");

    // The two cell formats: fonts 5 and 6, General, bottom aligned, pattern 0x20C0.
    for (int k = 0; k < 2; ++k) {
        const auto& xf = p.recs[2 + 6 + 16 + k].data;
        ASSERT_EQ(xf.size(), 20u);
        EXPECT_EQ(Le16(&xf[0]), 5 + k);
        EXPECT_EQ(Le16(&xf[2]), 0);
        EXPECT_EQ(xf[6], 0x20);
        EXPECT_EQ(xf[7], 0);
        EXPECT_EQ(xf[8], 0);
        EXPECT_EQ(Le32(&xf[10]), 0u);
        EXPECT_EQ(Le16(&xf[18]), 0x20C0);
    }

    // BOUNDSHEET offsets point at the worksheets' BOF records, in sheet order.
    const char* names[3] = {"Recv Msg", "Send Msg", "Sheet3"};
    std::size_t prev = 0;
    for (int s = 0; s < 3; ++s) {
        const auto& bs = p.recs[2 + 6 + 18 + 1 + s].data;
        const uint32_t off = Le32(&bs[0]);
        EXPECT_EQ(bs[4], 0);
        EXPECT_EQ(bs[5], 0);
        EXPECT_EQ(std::string(bs.begin() + 8, bs.end()), names[s]);
        auto it = p.at.find(off);
        ASSERT_NE(it, p.at.end()) << names[s];
        EXPECT_GT(it->second, prev);
        prev = it->second;
        const int rows = CheckSheet(p, it->second, s < 2 ? 5 : 0);
        EXPECT_EQ(rows, s == 0 ? 2 : (s == 1 ? 1 : 0));
    }

    // The header cells use the header XF (16), data cells the data XF (17).
    int header = 0, data = 0;
    uint32_t labels = 0;
    for (const auto& r : p.recs) {
        EXPECT_NE(r.code, 0x00FF) << "EXTSST is not written";
        if (r.code != 0x00FD) continue;
        ++labels;
        const uint16_t row = Le16(&r.data[0]), xf = Le16(&r.data[4]);
        if (row == 0) {
            header += xf == 16;
        } else {
            data += xf == 17;
        }
    }
    EXPECT_EQ(header, 10);
    EXPECT_EQ(data, 5);
    const Record& sst = p.recs[2 + 6 + 18 + 1 + 3];
    EXPECT_EQ(Le32(&sst.data[0]), labels);
}

TEST(XlsRecords, RowBlocksAndIndexOffsetsHoldForManyRows) {
    MsgRows book;
    // 100 received rows: blocks of rows 0-31, 32-63, 64-95, 96-100.
    for (int i = 0; i < 100; ++i)
        book.Add(LogDirection::Received, "t", "类型", kDevice, "body " + std::to_string(i), "h");
    const Parsed p = Parse(SavedStream(book));
    std::vector<std::size_t> bofs;
    for (std::size_t i = 0; i < p.recs.size(); ++i)
        if (p.recs[i].code == 0x0809 && Le16(&p.recs[i].data[2]) == 0x0010) bofs.push_back(i);
    ASSERT_EQ(bofs.size(), 3u);
    EXPECT_EQ(CheckSheet(p, bofs[0], 5), 101);
    EXPECT_EQ(CheckSheet(p, bofs[1], 5), 1);
    EXPECT_EQ(CheckSheet(p, bofs[2], 0), 0);
    const auto& index = p.recs[bofs[0] + 1].data;
    EXPECT_EQ(index.size(), 16u + 4 * 4);
    EXPECT_EQ(Le32(&index[4]), 0u);
    EXPECT_EQ(Le32(&index[8]), 101u);
    const auto& empty = p.recs[bofs[2] + 1].data;
    EXPECT_EQ(empty.size(), 16u);
    EXPECT_EQ(Le32(&empty[8]), 0u);
}

TEST(XlsRecords, LongStringsContinueWithinTheRecordLimit) {
    MsgRows book;
    std::string chinese;
    for (int i = 0; i < 10000; ++i)
        chinese += "目";
    book.Add(LogDirection::Received, "t", "类型", kDevice, std::string(20 * 1024, 'a'), "h");
    book.Add(LogDirection::Received, "t", "类型", kDevice, chinese, "h");
    const Parsed p = Parse(SavedStream(book));
    std::size_t sst = 0;
    while (sst < p.recs.size() && p.recs[sst].code != 0x00FC)
        ++sst;
    ASSERT_LT(sst, p.recs.size());
    std::size_t cont = 0;
    for (std::size_t i = sst + 1; p.recs[i].code == 0x003C; ++i)
        ++cont;
    // 20480 one-byte characters and 20000 bytes of UTF-16 need at least 5 records.
    EXPECT_GE(cont, 4u);
    for (const auto& r : p.recs)
        EXPECT_LE(r.data.size(), 8224u);
    // Each CONTINUE that splits a string begins with that string's flags byte, and UTF-16
    // characters are never cut in half: every continuation of the Chinese text is odd-sized
    // (flags byte plus whole characters) unless it also ends the table.
    // The ASCII body goes on compressed (flags 0) in the first two CONTINUE records.
    bool sawWide = false;
    for (std::size_t i = sst + 1; p.recs[i].code == 0x003C; ++i) {
        const auto& d = p.recs[i].data;
        if (i <= sst + 2) {
            EXPECT_EQ(d[0], 0) << "record " << i;
        }
        if (d[0] == 1) {
            sawWide = true;
            EXPECT_EQ((d.size() - 1) % 2, 0u) << "record " << i;
        }
    }
    EXPECT_TRUE(sawWide);
}

TEST(XlsRecords, CompoundFileHoldsAnyStreamSize) {
    TempDir tmp;
    const std::filesystem::path dir = tmp.Path();
    for (std::size_t size : {1u, 63u, 64u, 4095u, 4096u, 4097u, 70000u, 8u << 20}) {
        SCOPED_TRACE(size);
        std::vector<uint8_t> data(size);
        for (std::size_t i = 0; i < size; ++i)
            data[i] = static_cast<uint8_t>(i * 7 + i / 251);
        CompoundFile cf(u"Workbook");
        const auto file = cf.Build(data);
        EXPECT_EQ(file.size() % 512, 0u);
        const auto path = dir / ("cf" + std::to_string(size));
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(file.data()), static_cast<long>(file.size()));
        EXPECT_EQ(xlstest::ExtractStream(path), data);
    }
}

// The structure checks find each kind of damage the writer could do (and that the fuzzer
// relies on them to see).
TEST(XlsStructure, ChecksRejectBrokenFiles) {
    MsgRows rows;
    for (int i = 0; i < 40; ++i)
        rows.Add(LogDirection::Received, "t" + std::to_string(i), "心跳信息", kDevice,
                 std::string(300, 'b') + std::to_string(i), "h");
    rows.Add(LogDirection::Sent, "t", "类型", kDevice, std::string(9000, 'x'), "h");
    TempDir tmp;
    const std::string good = ReadFile(xlstest::SaveChecked(rows, tmp.Path()).string());
    const auto bytes = [](const std::string& s) {
        return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    };
    std::vector<uint8_t> stream;
    ASSERT_EQ(xlscheck::ExtractStream(bytes(good), stream), "");
    ASSERT_GE(stream.size(), 4096u) << "the stream lies in whole sectors from offset 512";
    const auto recs = xlstest::ParseRecords(stream);
    auto first = [&](uint16_t code) {
        for (const auto& r : recs)
            if (r.code == code) return static_cast<std::size_t>(512 + r.pos);
        return std::size_t{0};
    };
    auto add32 = [](std::string& f, std::size_t at, int delta) {
        const uint32_t v = Le32(reinterpret_cast<const uint8_t*>(&f[at])) + delta;
        for (int k = 0; k < 4; ++k)
            f[at + k] = static_cast<char>(v >> (8 * k));
    };
    const struct {
        const char* what;
        std::function<void(std::string&)> harm;
    } cases[] = {
        {"BOUNDSHEET offset", [&](std::string& f) { add32(f, first(0x0085) + 4, 4); }},
        {"INDEX DBCELL position", [&](std::string& f) { add32(f, first(0x020B) + 4 + 16, 2); }},
        {"DBCELL back offset", [&](std::string& f) { add32(f, first(0x00D7) + 4, -20); }},
        {"SST total count", [&](std::string& f) { add32(f, first(0x00FC) + 4, 1); }},
        {"SST index of a cell", [&](std::string& f) { add32(f, first(0x00FD) + 4 + 6, 100000); }},
        {"record length", [&](std::string& f) { f[first(0x023E) + 3] = 0x30; }},
        {"ROW order", [&](std::string& f) { f[first(0x0208) + 4] = 5; }},
        {"stream's sector chain", [&](std::string& f) {
             // The FAT (its first sector is named in the header) sends sector 0 to itself.
             const std::size_t fat = 512 + 512 * Le32(reinterpret_cast<const uint8_t*>(&f[76]));
             f.replace(fat, 4, std::string(4, '\0'));
         }},
        {"directory name", [&](std::string& f) {
             const std::size_t dir = 512 + 512 * Le32(reinterpret_cast<const uint8_t*>(&f[48]));
             f[dir + 128] = 'w';
         }},
        {"lost last sector", [&](std::string& f) { f.resize(f.size() - 512); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string f = good;
        c.harm(f);
        ASSERT_NE(f, good);
        xlscheck::Workbook book;
        EXPECT_NE(xlscheck::Check(bytes(f), book), "");
    }
}
