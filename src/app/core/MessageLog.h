#pragma once
// The message log: every SIP message sent or received, once, in the order the
// endpoint reported them. A row keeps the message's bytes (head, then body) and
// small indexes for its time, type text and device identifier; display texts are
// made when read. The window's list reads rows on demand, and the workbook is
// written from here at exit (IMessageLogRows).
//
// Thread-safe: one leaf lock guards the rows; nothing is called while it is held
// but ForEachRow's function (the workbook writer), which must not use the log.

#include "export/xls/MessageLogSave.h"

namespace tarvex::journal {
class Journal;
}

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class MessageLog final : public tarvex::xls::IMessageLogRows {
public:
    // One row as the list and the viewers show it; body and head are the bytes.
    struct RowText {
        int direction = 0; // 1 sent, 2 received
        std::string time;  // "%Y-%m-%dT%H:%M:%S.mmm"
        std::string typeText, deviceId, body, head;
        std::string peer;  // "host:port" it came from or went to; empty when not known
        // The list shows the time of day with milliseconds.
        std::string ListTime() const { return time.size() > 11 ? time.substr(11) : time; }
    };

    // Appends a row; returns its index. peer: where it came from or went to.
    std::size_t Append(int direction, std::chrono::system_clock::time_point time,
                       std::string_view typeText, std::string_view deviceId,
                       std::string_view head, std::string_view body, std::string_view peer = {});
    std::size_t Size() const;
    // The direction (1 sent, 2 received) and peer of a row without copying its
    // bytes (the list's columns); false for a row that does not exist.
    bool RowPeer(std::size_t index, int& direction, std::string& peer) const;
    // The rows whose Call-ID is callId, in order, at most limit of them.
    std::vector<std::size_t> RowsOfCall(std::string_view callId, std::size_t limit) const;
    // Nothing for a row that does not exist.
    bool Row(std::size_t index, RowText& out) const;
    // True when a shown text of the row (time of day, type, device, body or head,
    // decoded as the list shows them) contains utf8.
    bool RowContains(std::size_t index, std::string_view utf8) const;
    // Bytes the rows hold beyond the messages' own (for the memory figure).
    std::size_t OverheadBytes() const;
    // The process's session journal (null: none): every row appended to any log
    // from then on is appended there too, in the same order, under the log's
    // lock (the journal's own lock is a leaf). Set before the endpoint starts
    // and cleared after it stopped.
    static void AttachJournal(tarvex::journal::Journal* journal);

    // IMessageLogRows
    std::size_t RowCount(tarvex::xls::LogDirection dir) const override;
    void ForEachRow(tarvex::xls::LogDirection dir,
                    const std::function<void(const tarvex::xls::LogRowRef&)>& f) const override;

private:
    struct Entry {
        std::chrono::system_clock::time_point time;
        std::string bytes; // head, then body
        std::uint32_t headSize = 0;
        std::uint32_t device = 0;
        std::uint32_t peer = 0;
        std::uint32_t callHash = 0; // of the Call-ID: finds a call's rows without reading every head
        std::uint16_t type = 0;
        std::uint8_t direction = 0;
    };
    // Index of text in a table of distinct texts (type texts, device identifiers).
    static std::uint32_t Intern(std::vector<std::string>& table,
                                std::unordered_map<std::string, std::uint32_t>& index,
                                std::string_view text);
    RowText TextOf(const Entry& e) const;

    mutable std::mutex mutex_;
    std::deque<Entry> rows_;
    std::size_t counts_[3] = {0, 0, 0};
    std::vector<std::string> types_, devices_, peers_;
    std::unordered_map<std::string, std::uint32_t> typeIndex_, deviceIndex_, peerIndex_;
};
