// Structure checks of a message-log workbook file, in C++ so that the fuzzer needs no
// Python: the compound file (header, FAT and DIFAT, every sector chain, the directory,
// the mini stream) and the BIFF8 records of its "Workbook" stream (record framing,
// BOF/EOF nesting, BOUNDSHEET, INDEX and DBCELL offsets, the shared string table with its
// CONTINUE records, every LABELSST cell). The cells found are handed back for comparison.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace xlscheck {

struct Sheet {
    std::u16string name;
    std::vector<std::vector<std::u16string>> rows; // rows[r][c]; absent cells are empty
};

struct Workbook {
    std::vector<Sheet> sheets;
    std::vector<std::u16string> sst;
    std::vector<uint8_t> sstFlags; // flags byte of each string (0 compressed, 1 UTF-16)
};

// Finds the "Workbook" stream of a compound file. Empty on success, else the first problem.
std::string ExtractStream(std::span<const uint8_t> file, std::vector<uint8_t>& stream);

// Checks the whole file. Empty on success (and `book` filled), else the first problem.
std::string Check(std::span<const uint8_t> file, Workbook& book);

} // namespace xlscheck
