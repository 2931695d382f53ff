#include "app/core/MessageLog.h"

#include "app/core/SipText.h"

#include "base/TextCodec.h"
#include "base/TimeText.h"
#include "export/journal/Journal.h"

#include <atomic>
#include <functional>

namespace {
std::atomic<tarvex::journal::Journal*> g_journal{nullptr};

std::uint32_t CallHash(std::string_view callId) {
    return static_cast<std::uint32_t>(std::hash<std::string_view>{}(callId));
}
} // namespace

void MessageLog::AttachJournal(tarvex::journal::Journal* journal) { g_journal = journal; }

std::uint32_t MessageLog::Intern(std::vector<std::string>& table,
                                 std::unordered_map<std::string, std::uint32_t>& index,
                                 std::string_view text) {
    auto it = index.find(std::string(text));
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
    e.callHash = CallHash(tarvex::siptext::CallIdOf(head));
    e.time = time;
    e.direction = static_cast<std::uint8_t>(direction == 2 ? 2 : 1);
    e.headSize = static_cast<std::uint32_t>(head.size());
    e.bytes.reserve(head.size() + body.size());
    e.bytes.append(head).append(body);
    std::lock_guard<std::mutex> lk(mutex_);
    e.type = static_cast<std::uint16_t>(Intern(types_, typeIndex_, typeText));
    e.device = Intern(devices_, deviceIndex_, deviceId);
    e.peer = Intern(peers_, peerIndex_, peer);
    rows_.push_back(std::move(e));
    ++counts_[rows_.back().direction];
    if (tarvex::journal::Journal* j = g_journal.load())
        j->Append(direction, time, typeText, deviceId, head, body);
    return rows_.size() - 1;
}

std::size_t MessageLog::Size() const {
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
    std::lock_guard<std::mutex> lk(mutex_);
    if (index >= rows_.size()) return false;
    out = TextOf(rows_[index]);
    return true;
}

bool MessageLog::RowPeer(std::size_t index, int& direction, std::string& peer) const {
    std::lock_guard<std::mutex> lk(mutex_);
    if (index >= rows_.size()) return false;
    direction = rows_[index].direction;
    peer = peers_[rows_[index].peer];
    return true;
}

std::vector<std::size_t> MessageLog::RowsOfCall(std::string_view callId, std::size_t limit) const {
    std::vector<std::size_t> out;
    if (callId.empty()) return out;
    const std::uint32_t h = CallHash(callId);
    std::lock_guard<std::mutex> lk(mutex_);
    for (std::size_t i = 0; i < rows_.size() && out.size() < limit; ++i) {
        const Entry& e = rows_[i];
        // The hash only narrows; the head says whether it is that call.
        if (e.callHash == h &&
            tarvex::siptext::CallIdOf(std::string_view(e.bytes).substr(0, e.headSize)) == callId)
            out.push_back(i);
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
    std::size_t n = sizeof(Entry) * rows_.size();
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
    char time[40];
    for (const Entry& e : rows_) {
        if (e.direction != want) continue;
        const std::size_t n = LocalTimeTextMs(e.time, time, sizeof time);
        const std::string_view bytes(e.bytes);
        f(tarvex::xls::LogRowRef{std::string_view(time, n), types_[e.type], devices_[e.device],
                                 bytes.substr(e.headSize), bytes.substr(0, e.headSize)});
    }
}
