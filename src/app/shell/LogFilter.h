#pragma once
// The log's display filter, as Wireshark users write one. Toolkit-free.
//
//   cmd==Catalog && dev==34020000001320000001
//   method==INVITE || status>=400        dir==sent        !cmd==Keepalive
//   "Call-ID: 12ab"  (a bare or quoted word: the row contains it)
//
// Fields: dev (the row's device id, or any DeviceID in the body), cmd (the
// body's CmdType), method (a request's method), status (an answer's code), dir
// (sent / received, also → / ←), callid, peer (host:port, or the host alone
// with ==), text (anywhere in head or body).
// Operators: == != (exact, case-insensitive for words), contains (~), and for
// status < <= > >=. Terms combine with && (and), || (or), ! (not) and ( ).

#include <memory>
#include <string>
#include <string_view>

namespace tarvex::logfilter {

// What one log row offers the filter; texts are UTF-8.
struct RowFields {
    int direction = 0; // 1 sent, 2 received
    std::string_view deviceId, head, body;
    std::string_view peer; // "host:port" it came from or went to
};

class Filter {
public:
    Filter();
    ~Filter();
    Filter(Filter&&) noexcept;
    Filter& operator=(Filter&&) noexcept;

    // An empty text is the filter that keeps every row. False with the reason
    // (and the filter left as it was) when the text does not parse.
    bool Compile(std::string_view text, std::string* error);
    bool Empty() const;
    bool Matches(const RowFields& row) const;

    struct Node;

private:
    std::unique_ptr<Node> root_;
};

} // namespace tarvex::logfilter
