#include "export/journal/Journal.h"

#include "base/TimeText.h"
#include "export/xls/ByteSink.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace tarvex::journal {
namespace {

// The layout, kSchemaVersion. Each step adds columns with defaults, so the
// readers of the workbook (recovery, --export), which take only the first
// columns, read every version; peer and call_id are read from this run's own
// journal only.
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS rows(id INTEGER PRIMARY KEY, time_ms INTEGER NOT NULL,"
    " direction INTEGER NOT NULL, device TEXT NOT NULL, type TEXT NOT NULL,"
    " head BLOB NOT NULL, body BLOB NOT NULL,"
    " peer TEXT NOT NULL DEFAULT '', call_id TEXT NOT NULL DEFAULT '');"
    "CREATE INDEX IF NOT EXISTS rows_call ON rows(call_id);"
    "CREATE TABLE IF NOT EXISTS state(key TEXT PRIMARY KEY, value TEXT NOT NULL);"
    "PRAGMA user_version=2;";
static_assert(kSchemaVersion == 2, "kSchema writes user_version 2");
constexpr const char* kInsert =
    "INSERT INTO rows(id, time_ms, direction, device, type, head, body, peer, call_id) VALUES(?,?,?,?,?,?,?,?,?);";

std::string Error(sqlite3* db, const char* what) {
    return std::string(what) + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
}

bool Exec(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// A read-only connection; nullptr (and error set) when the file is no journal.
sqlite3* OpenReadOnly(const std::filesystem::path& path, std::string& error) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        error = Error(db, "cannot open");
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, 2000);
    return db;
}

std::string_view Column(sqlite3_stmt* st, int i) {
    const void* p = sqlite3_column_blob(st, i);
    const int n = sqlite3_column_bytes(st, i);
    return p ? std::string_view(static_cast<const char*>(p), static_cast<std::size_t>(n)) : std::string_view();
}

} // namespace

Journal::~Journal() { Close(true); }

std::string Journal::Open(const std::filesystem::path& path) {
    if (db_) return "already open";
    std::error_code ec;
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path.string() + suffix, ec);
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        const std::string e = Error(db, "cannot create");
        sqlite3_close(db);
        return e;
    }
    // WAL with synchronous=NORMAL: a commit survives the process dying at once;
    // a power cut may take the commits since the last checkpoint's sync.
    if (!Exec(db, "PRAGMA journal_mode=WAL;") || !Exec(db, "PRAGMA synchronous=NORMAL;") ||
        !Exec(db, kSchema) ||
        !Exec(db, "INSERT OR REPLACE INTO state(key, value) VALUES('finished', '0');")) {
        const std::string e = Error(db, "cannot set up");
        sqlite3_close(db);
        return e;
    }
    sqlite3* reader = nullptr;
    if (sqlite3_open_v2(path.c_str(), &reader, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        const std::string e = Error(reader, "cannot read back");
        sqlite3_close(reader);
        sqlite3_close(db);
        return e;
    }
    sqlite3_busy_timeout(reader, 2000);
    db_ = db;
    {
        std::lock_guard<std::mutex> lk(readMutex_);
        reader_ = reader;
    }
    quit_ = false;
    committed_ = 0;
    nextId_ = 1;
    durable_ = 0;
    broken_ = false;
    writer_ = std::thread([this] { Writer(); });
    return {};
}

std::int64_t Journal::Append(int direction, std::chrono::system_clock::time_point time,
                             std::string_view typeText, std::string_view deviceId, std::string_view head,
                             std::string_view body, std::string_view peer, std::string_view callId) {
    Pending p{0, direction == 2 ? 2 : 1,
              std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count(),
              {}, static_cast<std::uint32_t>(typeText.size()), static_cast<std::uint32_t>(deviceId.size()),
              static_cast<std::uint32_t>(head.size()), static_cast<std::uint32_t>(body.size()),
              static_cast<std::uint32_t>(peer.size())};
    p.bytes.reserve(typeText.size() + deviceId.size() + head.size() + body.size() + peer.size() + callId.size());
    p.bytes.append(typeText).append(deviceId).append(head).append(body).append(peer).append(callId);
    std::lock_guard<std::mutex> lk(mutex_);
    if (!db_ || quit_) return 0;
    p.id = nextId_++;
    queue_.push_back(std::move(p));
    return queue_.back().id;
}

bool Journal::Commit(std::vector<Pending>& batch) {
    if (batch.empty()) return true;
    if (!Exec(db_, "BEGIN;")) return false;
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db_, kInsert, -1, &st, nullptr);
    bool ok = st != nullptr;
    for (const Pending& p : batch) {
        if (!ok) break;
        sqlite3_bind_int64(st, 1, p.id);
        sqlite3_bind_int64(st, 2, p.timeMs);
        sqlite3_bind_int(st, 3, p.direction);
        const std::size_t d = p.typeSize, h = d + p.deviceSize, b = h + p.headSize, e = b + p.bodySize,
                          c = e + p.peerSize;
        const std::string_view type = p.Part(0, p.typeSize), device = p.Part(d, p.deviceSize),
                               head = p.Part(h, p.headSize), body = p.Part(b, p.bodySize),
                               peer = p.Part(e, p.peerSize), callId = p.Part(c, std::string::npos);
        sqlite3_bind_text(st, 4, device.data(), static_cast<int>(device.size()), SQLITE_STATIC);
        sqlite3_bind_text(st, 5, type.data(), static_cast<int>(type.size()), SQLITE_STATIC);
        sqlite3_bind_blob(st, 6, head.data(), static_cast<int>(head.size()), SQLITE_STATIC);
        sqlite3_bind_blob(st, 7, body.data(), static_cast<int>(body.size()), SQLITE_STATIC);
        sqlite3_bind_text(st, 8, peer.data(), static_cast<int>(peer.size()), SQLITE_STATIC);
        sqlite3_bind_text(st, 9, callId.data(), static_cast<int>(callId.size()), SQLITE_STATIC);
        ok = sqlite3_step(st) == SQLITE_DONE;
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    if (!ok || !Exec(db_, "COMMIT;")) {
        std::fprintf(stderr, "tarvex: journal: %s\n", sqlite3_errmsg(db_));
        Exec(db_, "ROLLBACK;");
        broken_ = true;
        return false;
    }
    if (!broken_) durable_.store(batch.back().id, std::memory_order_release);
    std::lock_guard<std::mutex> lk(mutex_);
    committed_ += batch.size();
    batch.clear();
    return true;
}

void Journal::Writer() {
    std::vector<Pending> batch;
    std::unique_lock<std::mutex> lk(mutex_);
    for (;;) {
        cv_.wait_for(lk, std::chrono::milliseconds(kCommitMs), [this] { return quit_; });
        batch.swap(queue_);
        const bool quit = quit_;
        lk.unlock();
        Commit(batch);
        batch.clear(); // a failed batch is said on stderr and not tried again
        lk.lock();
        if (quit && queue_.empty()) return;
    }
}

void Journal::Close(bool finished) {
    {
        std::lock_guard<std::mutex> lk(mutex_);
        if (!db_) return;
        quit_ = true;
    }
    cv_.notify_all();
    if (writer_.joinable()) writer_.join();
    if (finished) Exec(db_, "UPDATE state SET value='1' WHERE key='finished';");
    {
        std::lock_guard<std::mutex> lk(readMutex_);
        sqlite3_finalize(readRow_);
        readRow_ = nullptr;
        sqlite3_finalize(readCall_);
        readCall_ = nullptr;
        sqlite3_close(reader_);
        reader_ = nullptr;
    }
    sqlite3_close(db_);
    std::lock_guard<std::mutex> lk(mutex_);
    db_ = nullptr;
}

std::size_t Journal::Committed() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return committed_;
}

bool Journal::ReadRow(std::int64_t id, StoredRow& out) const {
    std::lock_guard<std::mutex> lk(readMutex_);
    if (!reader_) return false;
    if (!readRow_ &&
        sqlite3_prepare_v2(reader_, "SELECT time_ms, direction, type, device, head, body, peer FROM rows WHERE id=?;",
                           -1, &readRow_, nullptr) != SQLITE_OK)
        return false;
    sqlite3_bind_int64(readRow_, 1, id);
    const bool found = sqlite3_step(readRow_) == SQLITE_ROW;
    if (found) {
        out.time = std::chrono::system_clock::time_point(std::chrono::milliseconds(sqlite3_column_int64(readRow_, 0)));
        out.direction = sqlite3_column_int(readRow_, 1);
        out.type = Column(readRow_, 2);
        out.device = Column(readRow_, 3);
        out.head = Column(readRow_, 4);
        out.body = Column(readRow_, 5);
        out.peer = Column(readRow_, 6);
    }
    sqlite3_reset(readRow_);
    return found;
}

std::vector<std::int64_t> Journal::IdsOfCall(std::string_view callId, std::int64_t first, std::int64_t last,
                                             std::size_t limit) const {
    std::vector<std::int64_t> out;
    std::lock_guard<std::mutex> lk(readMutex_);
    if (!reader_ || callId.empty() || limit == 0) return out;
    // The index holds (call_id, id): the rows of a call come in id order without a sort.
    if (!readCall_ && sqlite3_prepare_v2(reader_,
                                         "SELECT id FROM rows INDEXED BY rows_call WHERE call_id=? AND id BETWEEN ? AND ?"
                                         " ORDER BY id LIMIT ?;",
                                         -1, &readCall_, nullptr) != SQLITE_OK)
        return out;
    sqlite3_bind_text(readCall_, 1, callId.data(), static_cast<int>(callId.size()), SQLITE_STATIC);
    sqlite3_bind_int64(readCall_, 2, first);
    sqlite3_bind_int64(readCall_, 3, last);
    sqlite3_bind_int64(readCall_, 4, static_cast<sqlite3_int64>(std::min<std::size_t>(limit, INT64_MAX)));
    while (sqlite3_step(readCall_) == SQLITE_ROW) out.push_back(sqlite3_column_int64(readCall_, 0));
    sqlite3_reset(readCall_);
    sqlite3_clear_bindings(readCall_);
    return out;
}

void Journal::ForEachStored(std::int64_t first, std::int64_t last, tarvex::xls::LogDirection dir,
                            const std::function<void(const tarvex::xls::LogRowRef&)>& f) const {
    std::lock_guard<std::mutex> lk(readMutex_);
    if (!reader_) return;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(reader_,
                           "SELECT time_ms, type, device, body, head FROM rows WHERE id BETWEEN ? AND ?"
                           " AND direction=? ORDER BY id;",
                           -1, &st, nullptr) != SQLITE_OK)
        return;
    sqlite3_bind_int64(st, 1, first);
    sqlite3_bind_int64(st, 2, last);
    sqlite3_bind_int(st, 3, dir == tarvex::xls::LogDirection::Received ? 2 : 1);
    char time[32];
    while (sqlite3_step(st) == SQLITE_ROW) {
        const std::size_t n = LocalTimeTextMs(
            std::chrono::system_clock::time_point(std::chrono::milliseconds(sqlite3_column_int64(st, 0))), time,
            sizeof time);
        f(tarvex::xls::LogRowRef{std::string_view(time, n), Column(st, 1), Column(st, 2), Column(st, 3),
                                 Column(st, 4)});
    }
    sqlite3_finalize(st);
}

JournalInfo Inspect(const std::filesystem::path& path) {
    JournalInfo info;
    sqlite3* db = OpenReadOnly(path, info.error);
    if (!db) return info;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT value FROM state WHERE key='finished';", -1, &st, nullptr) != SQLITE_OK) {
        info.error = Error(db, "not a journal");
        sqlite3_close(db);
        return info;
    }
    info.finished = sqlite3_step(st) == SQLITE_ROW && Column(st, 0) == "1";
    sqlite3_finalize(st);
    if (sqlite3_prepare_v2(db, "PRAGMA user_version;", -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
        info.schema = std::max(1, sqlite3_column_int(st, 0));
    sqlite3_finalize(st);
    if (sqlite3_prepare_v2(db, "SELECT count(*), min(time_ms) FROM rows;", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW) {
        info.rows = static_cast<std::size_t>(sqlite3_column_int64(st, 0));
        info.first = std::chrono::system_clock::time_point(std::chrono::milliseconds(sqlite3_column_int64(st, 1)));
        info.ok = true;
    } else {
        info.error = Error(db, "not a journal");
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return info;
}

std::size_t JournalRows::RowCount(tarvex::xls::LogDirection dir) const {
    std::string error;
    sqlite3* db = OpenReadOnly(path_, error);
    if (!db) return 0;
    sqlite3_stmt* st = nullptr;
    std::size_t n = 0;
    if (sqlite3_prepare_v2(db, "SELECT count(*) FROM rows WHERE direction=?;", -1, &st, nullptr) == SQLITE_OK) {
        sqlite3_bind_int(st, 1, dir == tarvex::xls::LogDirection::Received ? 2 : 1);
        if (sqlite3_step(st) == SQLITE_ROW) n = static_cast<std::size_t>(sqlite3_column_int64(st, 0));
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return n;
}

void JournalRows::ForEachRow(tarvex::xls::LogDirection dir,
                             const std::function<void(const tarvex::xls::LogRowRef&)>& f) const {
    std::string error;
    sqlite3* db = OpenReadOnly(path_, error);
    if (!db) return;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT time_ms, type, device, body, head FROM rows WHERE direction=? ORDER BY id;",
                           -1, &st, nullptr) == SQLITE_OK) {
        sqlite3_bind_int(st, 1, dir == tarvex::xls::LogDirection::Received ? 2 : 1);
        char time[32];
        while (sqlite3_step(st) == SQLITE_ROW) {
            const std::size_t n = LocalTimeTextMs(
                std::chrono::system_clock::time_point(std::chrono::milliseconds(sqlite3_column_int64(st, 0))),
                time, sizeof time);
            tarvex::xls::LogRowRef r{std::string_view(time, n), Column(st, 1), Column(st, 2), Column(st, 3),
                                     Column(st, 4)};
            f(r);
        }
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
}

std::string ExportJournal(const std::filesystem::path& journal, const std::filesystem::path& out) {
    const JournalInfo info = Inspect(journal);
    if (!info.ok) return journal.string() + ": " + info.error;
    const std::filesystem::path dir = out.has_parent_path() ? out.parent_path() : std::filesystem::path(".");
    std::string tmp = (dir / ("." + out.filename().string() + ".XXXXXX")).string();
    const int fd = mkstemp(tmp.data());
    if (fd < 0) return tmp + ": " + std::strerror(errno);
    tarvex::xls::FdSink sink(fd);
    const tarvex::xls::WriteOutcome w = tarvex::xls::WriteMessageLog(JournalRows(journal), sink);
    const bool synced = w.ok && fsync(fd) == 0;
    close(fd);
    if (!synced || std::rename(tmp.c_str(), out.c_str()) != 0) {
        const int e = w.ok ? errno : w.error;
        unlink(tmp.c_str());
        return out.string() + ": " + std::strerror(e);
    }
    return {};
}

} // namespace tarvex::journal
