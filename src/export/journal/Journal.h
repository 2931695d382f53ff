// The session journal: every message of the log appended, as it is logged, to
// an SQLite file in WAL mode (one row per message: time, direction, device,
// type, head, body bytes, peer and Call-ID, the last indexed). A writer thread
// commits what was appended at least every kCommitMs, so that a kill -9, a
// crash or a power cut loses at most the last second. A journal whose run ended normally is marked finished; one
// found unfinished at the next start is read back into a workbook.
//
// Threads: Append may be called from any thread (it takes a leaf lock and
// queues); the writer thread alone writes the database while it is open. Rows
// already committed are read back (ReadRow, IdsOfCall, ForEachStored) on a
// connection of their own under a second leaf lock, so reading never waits for
// a commit.
#pragma once

#include "export/xls/MessageLogSave.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace tarvex::journal {

// The layout written now (PRAGMA user_version). Version 1 (user_version 0) had
// no peer and call_id columns and no Call-ID index; it is still read.
constexpr int kSchemaVersion = 2;

// The program's journal in its working folder.
constexpr const char* kJournalFileName = "tarvex-journal.sqlite";

class Journal {
public:
    static constexpr int kCommitMs = 250;

    Journal() = default;
    ~Journal(); // Close(true) when still open
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Creates path afresh (an older file there is replaced) and starts the
    // writer. Empty on success, else why not.
    std::string Open(const std::filesystem::path& path);
    bool IsOpen() const { return db_ != nullptr; }
    // Queues one message; direction 1 sent, 2 received; peer "host:port" it
    // came from or went to, callId its Call-ID (both may be empty). Returns the
    // row's id (1, 2, ... in the order appended), 0 when the journal is not open.
    std::int64_t Append(int direction, std::chrono::system_clock::time_point time,
                        std::string_view typeText, std::string_view deviceId, std::string_view head,
                        std::string_view body, std::string_view peer = {}, std::string_view callId = {});
    // Every row with an id up to this one is committed. It stops advancing at
    // the first commit that fails (later rows may be missing from the file).
    std::int64_t DurableThrough() const { return durable_.load(std::memory_order_acquire); }

    // A committed row read back; false when there is none (or the journal is closed).
    struct StoredRow {
        int direction = 0;
        std::chrono::system_clock::time_point time;
        std::string type, device, head, body, peer;
    };
    bool ReadRow(std::int64_t id, StoredRow& out) const;
    // Ids of the committed rows with ids first..last whose Call-ID is callId, in
    // order, at most limit of them (one look-up in the Call-ID index).
    std::vector<std::int64_t> IdsOfCall(std::string_view callId, std::int64_t first, std::int64_t last,
                                        std::size_t limit) const;
    // The committed rows with ids first..last of one direction, in id order.
    void ForEachStored(std::int64_t first, std::int64_t last, tarvex::xls::LogDirection dir,
                       const std::function<void(const tarvex::xls::LogRowRef&)>& f) const;
    // Commits what is queued and ends the writer; finished marks the run as
    // ended normally. Safe to call twice.
    void Close(bool finished);
    // Rows committed so far.
    std::size_t Committed() const;

private:
    struct Pending {
        std::int64_t id;
        int direction;
        long long timeMs;
        // type, device, head, body, peer and Call-ID one after another: one allocation a row
        std::string bytes;
        std::uint32_t typeSize, deviceSize, headSize, bodySize, peerSize;
        std::string_view Part(std::size_t from, std::size_t n) const { return std::string_view(bytes).substr(from, n); }
    };
    void Writer();
    bool Commit(std::vector<Pending>& batch);

    sqlite3* db_ = nullptr;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Pending> queue_;
    bool quit_ = false;
    std::size_t committed_ = 0;
    std::int64_t nextId_ = 1;
    std::atomic<std::int64_t> durable_{0};
    bool broken_ = false; // a commit failed: durable_ stays where it was (writer thread)
    mutable std::mutex readMutex_;
    sqlite3* reader_ = nullptr;             // guarded by readMutex_
    mutable sqlite3_stmt* readRow_ = nullptr; // guarded by readMutex_
    mutable sqlite3_stmt* readCall_ = nullptr; // guarded by readMutex_
    std::thread writer_;
};

// What a journal file holds.
struct JournalInfo {
    bool ok = false;       // it could be read as a journal
    bool finished = false; // its run ended normally
    int schema = 0;        // kSchemaVersion, or 1: written before rows kept their peer and Call-ID
    std::size_t rows = 0;
    std::chrono::system_clock::time_point first; // time of its first row
    std::string error;
};
JournalInfo Inspect(const std::filesystem::path& path);

// The rows of a journal, for the workbook writer (read from the file at each call).
class JournalRows final : public tarvex::xls::IMessageLogRows {
public:
    explicit JournalRows(std::filesystem::path path) : path_(std::move(path)) {}
    std::size_t RowCount(tarvex::xls::LogDirection dir) const override;
    void ForEachRow(tarvex::xls::LogDirection dir,
                    const std::function<void(const tarvex::xls::LogRowRef&)>& f) const override;

private:
    std::filesystem::path path_;
};

// Writes the workbook of the journal at path to out (replaced when complete).
// Empty on success, else why not.
std::string ExportJournal(const std::filesystem::path& journal, const std::filesystem::path& out);

} // namespace tarvex::journal
