// libFuzzer entry for the message-log workbook writer. The input becomes log rows: random
// bytes in every field, random counts per direction, a count announced to the writer that
// may be off by a few (a log still growing), fields repeated from earlier rows (the string
// table's duplicates), fields stretched past a record (CONTINUE) and small sheet and cell
// limits (added sheets, cut texts). The workbook is written to memory; the file must pass
// the structure checks and every cell must hold the text the rules give it.
#include "XlsStructure.h"
#include "export/xls/MessageLogSave.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace tarvex::xls;

namespace {

struct Row {
    LogDirection dir;
    std::string f[5]; // time, type, device, body, head
};

class FuzzRows final : public IMessageLogRows {
public:
    std::vector<Row> rows;
    int skew[2] = {0, 0}; // announced minus actual, per direction (received, sent)

    std::size_t Actual(LogDirection d) const {
        return static_cast<std::size_t>(
            std::count_if(rows.begin(), rows.end(), [d](const Row& r) { return r.dir == d; }));
    }
    std::size_t RowCount(LogDirection d) const override {
        const long n = static_cast<long>(Actual(d)) + skew[d == LogDirection::Received ? 0 : 1];
        return static_cast<std::size_t>(std::max(0L, n));
    }
    void ForEachRow(LogDirection d, const std::function<void(const LogRowRef&)>& f) const override {
        for (const Row& r : rows)
            if (r.dir == d) f({r.f[0], r.f[1], r.f[2], r.f[3], r.f[4]});
    }
};

std::u16string Cut(std::u16string s, std::size_t max) {
    if (s.size() > max) {
        std::size_t n = max;
        if (n > 0 && s[n - 1] >= 0xD800 && s[n - 1] <= 0xDBFF) --n;
        s.resize(n);
    }
    return s;
}

// The cell as the rules say: time and device byte for byte, the rest decoded.
std::u16string Expected(const std::string& field, int column, std::size_t max) {
    if (column == 0 || column == 2) {
        std::u16string s;
        for (unsigned char c : field.substr(0, max))
            s.push_back(c);
        return s;
    }
    return Cut(DecodeToUtf16(field), max);
}

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "%s\n", what.c_str());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    WorkbookLimits limits;
    limits.rowsPerSheet = in.ConsumeIntegralInRange<std::size_t>(1, 6);
    if (in.ConsumeBool()) limits.maxCellChars = in.ConsumeIntegralInRange<std::size_t>(0, 48);
    FuzzRows log;
    log.skew[0] = in.ConsumeIntegralInRange(-2, 2);
    log.skew[1] = in.ConsumeIntegralInRange(-2, 2);
    const int count = in.ConsumeIntegralInRange(0, 16);
    // One input in eight stretches one field past the end of a record (CONTINUE).
    const int stretch = in.ConsumeIntegralInRange(0, 8 * 5 * 16 - 1);
    for (int i = 0; i < count && in.remaining_bytes() > 0; ++i) {
        Row r;
        r.dir = in.ConsumeBool() ? LogDirection::Received : LogDirection::Sent;
        for (int k = 0; k < 5; ++k) {
            std::string& f = r.f[k];
            if (in.ConsumeIntegralInRange(0, 7) == 0 && !log.rows.empty()) {
                f = log.rows[in.ConsumeIntegralInRange<std::size_t>(0, log.rows.size() - 1)]
                        .f[in.ConsumeIntegralInRange(0, 4)];
            } else {
                f = in.ConsumeRandomLengthString(48);
            }
            if (stretch == i * 5 + k) {
                // Valid text (random bytes would mostly time the lenient decoder): one-byte,
                // two-byte, Chinese or outside the BMP, so that compressed strings, UTF-16
                // and surrogate pairs all meet a record boundary.
                static const char* const kFill[] = {"x", "\xC3\xA9", "\xE7\x9B\xAE", "\xF0\x9F\x98\x80"};
                const char* fill = kFill[in.ConsumeIntegralInRange(0, 3)];
                const std::size_t target = in.ConsumeIntegralInRange<std::size_t>(8200, 9000);
                while (f.size() < target)
                    f += fill;
            }
        }
        log.rows.push_back(std::move(r));
    }

    MemorySink sink;
    const WriteOutcome out = WriteMessageLog(log, sink, limits);
    if (!out.ok) Fail("write failed");
    if (out.fileSize != sink.Bytes().size()) Fail("file size differs from what was written");
    xlscheck::Workbook book;
    if (const std::string e = xlscheck::Check(sink.Bytes(), book); !e.empty()) Fail(e);

    // The sheets the rows must land in, and what each cell must hold.
    const std::size_t per = limits.rowsPerSheet;
    std::vector<const Row*> kept[2];
    std::size_t sheets[2];
    for (int d = 0; d < 2; ++d) {
        const LogDirection dir = d == 0 ? LogDirection::Received : LogDirection::Sent;
        sheets[d] = std::max<std::size_t>(1, (log.RowCount(dir) + per - 1) / per);
        for (const Row& r : log.rows)
            if (r.dir == dir && kept[d].size() < sheets[d] * per) kept[d].push_back(&r);
    }
    if (out.received != kept[0].size() || out.sent != kept[1].size() ||
        out.dropped != log.rows.size() - kept[0].size() - kept[1].size())
        Fail("row counts differ");
    struct Want {
        std::u16string name;
        int dir;
        std::size_t first;
    };
    std::vector<Want> want = {{u"Recv Msg", 0, 0}, {u"Send Msg", 1, 0}, {u"Sheet3", -1, 0}};
    for (std::size_t k = 2; k <= std::max(sheets[0], sheets[1]); ++k)
        for (int d = 0; d < 2; ++d)
            if (k <= sheets[d]) {
                const std::string n = (d == 0 ? "Recv Msg " : "Send Msg ") + std::to_string(k);
                want.push_back({std::u16string(n.begin(), n.end()), d, (k - 1) * per});
            }
    if (book.sheets.size() != want.size()) Fail("sheet count");
    static const std::u16string headers[5] = {u"时间", u"类型", u"设备ID", u"信息体", u"信息头"};
    for (std::size_t s = 0; s < want.size(); ++s) {
        const auto& got = book.sheets[s];
        if (got.name != want[s].name) Fail("sheet name");
        if (want[s].dir < 0) {
            if (!got.rows.empty()) Fail("third sheet not empty");
            continue;
        }
        const auto& rows = kept[want[s].dir];
        const std::size_t n = want[s].first < rows.size() ? std::min(per, rows.size() - want[s].first) : 0;
        if (got.rows.size() != n + 1) Fail("rows in sheet");
        for (int c = 0; c < 5; ++c) {
            if (got.rows[0].size() != 5 || got.rows[0][c] != Cut(headers[c], limits.maxCellChars))
                Fail("header row");
            for (std::size_t r = 0; r < n; ++r)
                if (got.rows[r + 1].size() != 5 ||
                    got.rows[r + 1][c] != Expected(rows[want[s].first + r]->f[c], c, limits.maxCellChars))
                    Fail("cell text in sheet " + std::to_string(s) + " row " + std::to_string(r + 1) +
                         " column " + std::to_string(c));
        }
    }
    return 0;
}
