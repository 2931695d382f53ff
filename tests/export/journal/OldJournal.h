#pragma once
// A journal as the first layout wrote it (no peer, no call_id, no index,
// user_version 0): what a run of an earlier build leaves behind. Its rows:
// received keepalives with SN 1..rows, every third one sent instead.

#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace journaltest {

inline std::string OldKeepaliveBody(int sn) {
    return "<?xml version=\"1.0\"?>\r\n<Notify>\r\n<CmdType>Keepalive</CmdType>\r\n<SN>" + std::to_string(sn) +
           "</SN>\r\n<DeviceID>34010000001320000001</DeviceID>\r\n<Status>OK</Status>\r\n</Notify>\r\n";
}
inline std::string OldHead(int sn) {
    return "MESSAGE sip:34010000002000000001@3401000000 SIP/2.0\r\nCall-ID: old-" + std::to_string(sn) +
           "\r\nCSeq: " + std::to_string(sn) + " MESSAGE\r\n\r\n\n";
}

// Empty on success, else SQLite's reason.
inline std::string WriteVersion1Journal(const std::string& path, int rows, bool finished,
                                        std::int64_t t0Ms = 1'780'000'000'000) {
    sqlite3* db = nullptr;
    std::string error;
    auto exec = [&](const std::string& sql) {
        if (error.empty() && sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
            error = sqlite3_errmsg(db);
    };
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) error = "cannot open";
    exec("PRAGMA journal_mode=WAL;"
         "CREATE TABLE rows(id INTEGER PRIMARY KEY, time_ms INTEGER NOT NULL,"
         " direction INTEGER NOT NULL, device TEXT NOT NULL, type TEXT NOT NULL,"
         " head BLOB NOT NULL, body BLOB NOT NULL);"
         "CREATE TABLE state(key TEXT PRIMARY KEY, value TEXT NOT NULL);"
         "BEGIN;");
    exec(std::string("INSERT INTO state VALUES('finished', '") + (finished ? "1" : "0") + "');");
    sqlite3_stmt* st = nullptr;
    if (error.empty() &&
        sqlite3_prepare_v2(db, "INSERT INTO rows VALUES(?,?,?,'34010000001320000001','Keepalive',?,?);", -1, &st,
                           nullptr) != SQLITE_OK)
        error = sqlite3_errmsg(db);
    for (int sn = 1; error.empty() && sn <= rows; ++sn) {
        const std::string head = OldHead(sn), body = OldKeepaliveBody(sn);
        sqlite3_bind_int64(st, 1, sn);
        sqlite3_bind_int64(st, 2, t0Ms + sn);
        sqlite3_bind_int(st, 3, sn % 3 == 0 ? 1 : 2);
        sqlite3_bind_blob(st, 4, head.data(), static_cast<int>(head.size()), SQLITE_TRANSIENT);
        sqlite3_bind_blob(st, 5, body.data(), static_cast<int>(body.size()), SQLITE_TRANSIENT);
        if (sqlite3_step(st) != SQLITE_DONE) error = sqlite3_errmsg(db);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    exec("COMMIT;");
    sqlite3_close(db);
    return error;
}

} // namespace journaltest
