#pragma once
// The ladder of one call: every logged message with the Call-ID of a chosen
// row, in order, as arrows between Tarvex and the far end (a SIP flow view).
// Toolkit-free; the window draws it (CLadderView).

#include "app/core/MessageLog.h"

#include <cstddef>
#include <string>
#include <vector>

struct LadderStep {
    std::size_t logRow = 0;
    int direction = 0;     // 1 Tarvex → far end, 2 far end → Tarvex
    std::string time;      // time of day with milliseconds
    std::string label;     // "INVITE", "200 OK", "MESSAGE Catalog"
    std::string cseq;      // "20 INVITE"
    std::string peer;      // the far end's host:port as logged
    long long offsetMs = 0; // since the call's first message
};

struct CallLadder {
    std::string callId;          // empty: the row has none (or does not exist)
    std::string farEnd;          // the device id, else the peer address
    std::vector<LadderStep> steps;
    int selected = -1;           // the step of the chosen row
    bool truncated = false;      // more than the limit of rows carry this Call-ID
};

// At most limit steps (the first ones of the call).
CallLadder BuildCallLadder(const MessageLog& log, std::size_t row, std::size_t limit = 2000);
