#include "XlsReadBack.h"

#include "Files.h"
#include "XlsStructure.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace xlstest {
namespace {

std::string Unhex(const std::string& h) {
    if (h == "-") return {};
    std::string out;
    for (std::size_t i = 0; i + 1 < h.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16)));
    return out;
}

std::string Run(const std::string& cmd, int& status) {
    std::string out;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) {
        status = -1;
        return out;
    }
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    status = ::pclose(p);
    return out;
}

std::string Script() {
    return std::string(TARVEX_SOURCE_DIR) + "/tests/export/xls/read_xls.py";
}

} // namespace

Book ReadBack(const std::filesystem::path& xls, const std::string& mode) {
    Book b;
    int status = 0;
    b.output =
        Run("/usr/bin/python3 " + Script() + " '" + xls.string() + "' " + mode + " 2>&1", status);
    b.ok = status == 0;
    std::istringstream in(b.output);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string key;
        ls >> key;
        if (key == "olestreams") {
            std::getline(ls >> std::ws, b.oleStreams);
        } else if (key == "oleheader") {
            int cutoff;
            ls >> b.oleVersion >> b.sectorSize >> cutoff;
        } else if (key == "olesize") {
            ls >> b.streamSize;
        } else if (key == "sheet") {
            int i;
            std::string name;
            Sheet s;
            ls >> i >> name >> s.nrows >> s.ncols;
            s.name = Unhex(name);
            b.sheets.push_back(s);
        } else if (key == "width") {
            int i, col, width, xf;
            ls >> i >> col >> width >> xf;
            b.sheets.at(i).widths[col] = width;
        } else if (key == "cell") {
            int i, r, c;
            std::string v, font;
            Cell cell;
            ls >> i >> r >> c >> v >> cell.weight >> cell.colour >> cell.height >> font >>
                cell.vertAlign >> cell.formatKey;
            cell.value = Unhex(v);
            cell.font = Unhex(font);
            b.sheets.at(i).cells[{r, c}] = cell;
        } else if (key == "crc") {
            int i;
            ls >> i;
            ls >> b.sheets.at(i).crc;
        } else if (key == "sst") {
            std::string v;
            ls >> v;
            b.sst.push_back(Unhex(v));
        }
    }
    return b;
}

std::vector<uint8_t> ExtractStream(const std::filesystem::path& xls) {
    const std::filesystem::path out = xls.string() + ".stream";
    int status = 0;
    Run("/usr/bin/python3 " + Script() + " '" + xls.string() + "' stream '" + out.string() + "'",
        status);
    std::ifstream f(out, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

std::vector<Record> ParseRecords(const std::vector<uint8_t>& s) {
    std::vector<Record> out;
    std::size_t pos = 0;
    while (pos + 4 <= s.size()) {
        Record r;
        r.code = Le16(&s[pos]);
        const uint16_t len = Le16(&s[pos + 2]);
        r.pos = static_cast<uint32_t>(pos);
        if (pos + 4 + len > s.size()) break;
        r.data.assign(s.begin() + pos + 4, s.begin() + pos + 4 + len);
        out.push_back(std::move(r));
        pos += 4 + len;
    }
    return out;
}

std::size_t MsgRows::RowCount(tarvex::xls::LogDirection d) const {
    return static_cast<std::size_t>(
        std::count_if(msgs.begin(), msgs.end(), [d](const Msg& m) { return m.dir == d; }));
}

void MsgRows::ForEachRow(tarvex::xls::LogDirection d,
                         const std::function<void(const tarvex::xls::LogRowRef&)>& f) const {
    for (const Msg& m : msgs)
        if (m.dir == d) f({m.time, m.type, m.id, m.body, m.head});
}

void MsgRows::Add(tarvex::xls::LogDirection d, std::string time, std::string type, std::string id,
                  std::string body, std::string head) {
    msgs.push_back({d, std::move(time), std::move(type), std::move(id), std::move(body), std::move(head)});
}

std::filesystem::path SaveChecked(const MsgRows& rows, const std::filesystem::path& dir) {
    const tarvex::xls::SaveResult r = tarvex::xls::SaveMessageLog(rows, dir);
    EXPECT_EQ(r.written, dir / "MsgXml.xls");
    const std::string bytes = ReadFile(r.written.string());
    xlscheck::Workbook book;
    EXPECT_EQ(xlscheck::Check({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()}, book), "")
        << r.written;
    return r.written;
}

} // namespace xlstest
