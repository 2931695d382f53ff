#include "app/core/MessageLog.h"

#include "app/core/SipText.h"

#include "base/TextCodec.h"
#include "base/TimeText.h"
#include "export/journal/Journal.h"

#include <algorithm>
#include <atomic>
#include <functional>

namespace {
std::atomic<tarvex::journal::Journal*> g_journal{nullptr};

std::uint32_t CallHash(std::string_view callId) {
    return static_cast<std::uint32_t>(std::hash<std::string_view>{}(callId));
}
} // namespace

void MessageLog::AttachJournal(tarvex::journal::Journal* journal) { g_journal = journal; }

std::uint32_t MessageLog::Intern(std::vector<std::string>& table, TextIndex& index, std::string_view text) {
    auto it = index.find(text);
    if (it != index.end()) return it->second;
    const auto n = static_cast<std::uint32_t>(table.size());
    table.emplace_back(text);
    index.emplace(table.back(), n);
    return n;
}

std::size_t MessageLog::Append(int direction, std::chrono::system_clock::time_point time,
                               std::string_view typeText, std::string_view deviceId,
                               std::string_view head, std::string_view body, std::string_view peer) {
    Entry e;
    const std::string_view callId = tarvex::siptext::CallIdOf(head);
    e.callHash = CallHash(callId);
    e.time = time;
    e.direction = static_cast<std::uint8_t>(direction == 2 ? 2 : 1);
    e.headSize = static_cast<std::uint32_t>(head.size());
    e.bytes.reserve(head.size() + body.size());
    e.bytes.append(head).append(body);
    std::lock_guard<std::mutex> lk(mutex_);
    e.type = static_cast<std::uint16_t>(Intern(types_, typeIndex_, typeText));
    e.device = Intern(devices_, deviceIndex_, deviceId);
    e.peer = Intern(peers_, peerIndex_, peer);
    tarvex::journal::Journal* j = g_journal.load();
    if (j) e.journalId = j->Append(direction, time, typeText, deviceId, head, body, peer, callId);
    rows_.push_back(std::move(e));
    ++counts_[rows_.back().direction];
    const std::size_t index = evicted_ + rows_.size() - 1;
    if (j) EvictLocked(*j);
    return index;
}

void MessageLog::EvictLocked(const tarvex::journal::Journal& journal) {
    if (rows_.size() <= memoryRows_) return;
    const std::int64_t durable = journal.DurableThrough();
    while (rows_.size() > memoryRows_) {
        const std::int64_t id = rows_.front().journalId;
        if (id == 0 || id > durable) return; // not (yet) safe in the journal
        if (runs_.empty() || runs_.back().firstId + static_cast<std::int64_t>(evicted_ - runs_.back().firstIndex) != id)
            runs_.push_back({evicted_, id});
        rows_.pop_front();
        ++evicted_;
    }
}

std::int64_t MessageLog::JournalIdLocked(std::size_t index) const {
    auto it = std::upper_bound(runs_.begin(), runs_.end(), index,
                               [](std::size_t i, const Run& r) { return i < r.firstIndex; });
    --it; // runs_[0].firstIndex is 0
    return it->firstId + static_cast<std::int64_t>(index - it->firstIndex);
}

std::size_t MessageLog::Size() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return evicted_ + rows_.size();
}

std::size_t MessageLog::MemoryRows() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return rows_.size();
}

MessageLog::RowText MessageLog::TextOf(const Entry& e) const {
    RowText r;
    r.direction = e.direction;
    r.time = LocalTimeTextMs(e.time);
    r.typeText = types_[e.type];
    r.deviceId = devices_[e.device];
    r.peer = peers_[e.peer];
    r.head.assign(e.bytes, 0, e.headSize);
    r.body.assign(e.bytes, e.headSize);
    return r;
}

bool MessageLog::Row(std::size_t index, RowText& out) const {
    std::int64_t id = 0;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        if (index >= evicted_ + rows_.size()) return false;
        if (index >= evicted_) {
            out = TextOf(rows_[index - evicted_]);
            return true;
        }
        id = JournalIdLocked(index);
    }
    tarvex::journal::Journal* j = g_journal.load();
    tarvex::journal::Journal::StoredRow stored;
    if (!j || !j->ReadRow(id, stored)) return false;
    out.direction = stored.direction;
    out.time = LocalTimeTextMs(stored.time);
    out.typeText = std::move(stored.type);
    out.deviceId = std::move(stored.device);
    out.head = std::move(stored.head);
    out.body = std::move(stored.body);
    out.peer = std::move(stored.peer);
    return true;
}

void MessageLog::ScanRows(std::size_t from, std::size_t to,
                          const std::function<void(std::size_t, const RowView&)>& f) const {
    // Chunks short enough that an Append waits at most about a millisecond.
    constexpr std::size_t kChunk = 2048;
    std::size_t i = from;
    while (i < to) {
        std::size_t firstInMemory = 0;
        {
            std::lock_guard<std::mutex> lk(mutex_);
            const std::size_t size = evicted_ + rows_.size();
            to = std::min(to, size);
            firstInMemory = evicted_;
            if (i >= evicted_) {
                const std::size_t end = std::min(to, i + kChunk);
                for (; i < end; ++i) {
                    const Entry& e = rows_[i - evicted_];
                    const std::string_view bytes(e.bytes);
                    f(i, RowView{e.direction, devices_[e.device], bytes.substr(0, e.headSize),
                                 bytes.substr(e.headSize), peers_[e.peer]});
                }
                continue;
            }
        }
        // Rows the journal holds (evicted since: still read from it).
        const std::size_t end = std::min(to, std::max(firstInMemory, i + 1));
        RowText r;
        for (; i < end; ++i)
            if (Row(i, r)) f(i, RowView{r.direction, r.deviceId, r.head, r.body, r.peer});
    }
}

bool MessageLog::RowPeer(std::size_t index, int& direction, std::string& peer) const {
    {
        std::lock_guard<std::mutex> lk(mutex_);
        if (index >= evicted_ + rows_.size()) return false;
        if (index >= evicted_) {
            const Entry& e = rows_[index - evicted_];
            direction = e.direction;
            peer = peers_[e.peer];
            return true;
        }
    }
    // A row read back from the journal.
    RowText r;
    if (!Row(index, r)) return false;
    direction = r.direction;
    peer = std::move(r.peer);
    return true;
}

std::vector<std::size_t> MessageLog::RowsOfCall(std::string_view callId, std::size_t limit) const {
    std::vector<std::size_t> out;
    if (callId.empty()) return out;
    const std::uint32_t h = CallHash(callId);
    std::lock_guard<std::mutex> lk(mutex_);
    // Rows that left memory: one look-up in the journal's Call-ID index per run
    // of journal ids, under the lock (so that no row leaves memory meanwhile).
    tarvex::journal::Journal* j = evicted_ > 0 ? g_journal.load() : nullptr;
    for (std::size_t r = 0; j && r < runs_.size() && out.size() < limit; ++r) {
        const std::size_t end = r + 1 < runs_.size() ? runs_[r + 1].firstIndex : evicted_;
        const std::int64_t first = runs_[r].firstId;
        for (std::int64_t id : j->IdsOfCall(callId, first, first + static_cast<std::int64_t>(end - runs_[r].firstIndex) - 1,
                                            limit - out.size()))
            out.push_back(runs_[r].firstIndex + static_cast<std::size_t>(id - first));
    }
    for (std::size_t i = 0; i < rows_.size() && out.size() < limit; ++i) {
        const Entry& e = rows_[i];
        // The hash only narrows; the head says whether it is that call.
        if (e.callHash == h &&
            tarvex::siptext::CallIdOf(std::string_view(e.bytes).substr(0, e.headSize)) == callId)
            out.push_back(evicted_ + i);
    }
    return out;
}

bool MessageLog::RowContains(std::size_t index, std::string_view utf8) const {
    RowText r;
    if (!Row(index, r)) return false;
    auto has = [&](std::string_view s) { return s.find(utf8) != std::string_view::npos; };
    if (has(r.ListTime()) || has(r.typeText) || has(r.deviceId)) return true;
    // ASCII text matches the bytes whatever their encoding; the rest is looked for
    // in the decoded texts, as the list shows them.
    if (!TextCodec::HasNonAscii(utf8)) return has(r.body) || has(r.head);
    return has(TextCodec::BodyToUtf8(r.body)) || has(TextCodec::BodyToUtf8(r.head));
}

std::size_t MessageLog::OverheadBytes() const {
    std::lock_guard<std::mutex> lk(mutex_);
    std::size_t n = sizeof(Entry) * rows_.size() + sizeof(Run) * runs_.capacity();
    for (const auto& e : rows_) n += e.bytes.capacity() - e.bytes.size();
    return n;
}

std::size_t MessageLog::RowCount(tarvex::xls::LogDirection dir) const {
    std::lock_guard<std::mutex> lk(mutex_);
    return counts_[dir == tarvex::xls::LogDirection::Received ? 2 : 1];
}

void MessageLog::ForEachRow(tarvex::xls::LogDirection dir,
                            const std::function<void(const tarvex::xls::LogRowRef&)>& f) const {
    const std::uint8_t want = dir == tarvex::xls::LogDirection::Received ? 2 : 1;
    std::lock_guard<std::mutex> lk(mutex_);
    if (evicted_ > 0) {
        tarvex::journal::Journal* j = g_journal.load();
        for (std::size_t r = 0; j && r < runs_.size(); ++r) {
            const std::size_t end = r + 1 < runs_.size() ? runs_[r + 1].firstIndex : evicted_;
            j->ForEachStored(runs_[r].firstId,
                             runs_[r].firstId + static_cast<std::int64_t>(end - runs_[r].firstIndex) - 1, dir, f);
        }
    }
    char time[40];
    for (const Entry& e : rows_) {
        if (e.direction != want) continue;
        const std::size_t n = LocalTimeTextMs(e.time, time, sizeof time);
        const std::string_view bytes(e.bytes);
        f(tarvex::xls::LogRowRef{std::string_view(time, n), types_[e.type], devices_[e.device],
                                 bytes.substr(e.headSize), bytes.substr(0, e.headSize)});
    }
}
