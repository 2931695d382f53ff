// Test helpers: rows to save, a workbook read back by python3-xlrd / olefile, and the
// records of a "Workbook" stream.
#pragma once

#include "export/xls/MessageLogSave.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace xlstest {

struct Msg {
    tarvex::xls::LogDirection dir;
    std::string time, type, id, body, head;
};

// The log's rows as the message log offers them.
class MsgRows final : public tarvex::xls::IMessageLogRows {
public:
    MsgRows() = default;
    MsgRows(std::vector<Msg> m) : msgs(std::move(m)) {}
    std::size_t RowCount(tarvex::xls::LogDirection d) const override;
    void ForEachRow(tarvex::xls::LogDirection d,
                    const std::function<void(const tarvex::xls::LogRowRef&)>& f) const override;
    void Add(tarvex::xls::LogDirection d, std::string time, std::string type, std::string id,
             std::string body, std::string head);
    std::vector<Msg> msgs;
};

// Saves rows through SaveMessageLog into dir, expects MsgXml.xls there and checks its
// structure with xlscheck::Check; returns the path.
std::filesystem::path SaveChecked(const MsgRows& rows, const std::filesystem::path& dir);

struct Cell {
    std::string value; // UTF-8
    int weight = 0;
    int colour = 0;
    int height = 0;
    std::string font;
    int vertAlign = -1;
    int formatKey = -1;
};

struct Sheet {
    std::string name;
    int nrows = 0;
    int ncols = 0;
    std::map<int, int> widths;
    std::map<std::pair<int, int>, Cell> cells;
    uint32_t crc = 0;
};

struct Book {
    bool ok = false;
    std::string output; // what the reader printed, for failure messages
    std::string oleStreams;
    int oleVersion = 0;
    int sectorSize = 0;
    long streamSize = 0;
    std::vector<Sheet> sheets;
    std::vector<std::string> sst;
};

// mode "full" or "digest".
Book ReadBack(const std::filesystem::path& xls, const std::string& mode);
// The "Workbook" stream as olefile extracts it.
std::vector<uint8_t> ExtractStream(const std::filesystem::path& xls);

struct Record {
    uint16_t code;
    uint32_t pos; // stream offset of the record header
    std::vector<uint8_t> data;
};
std::vector<Record> ParseRecords(const std::vector<uint8_t>& stream);

uint16_t Le16(const uint8_t* p);
uint32_t Le32(const uint8_t* p);

} // namespace xlstest
