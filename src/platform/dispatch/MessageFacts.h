#pragma once
// What a logged message says of itself, read from its own bytes: the start
// line (method or status), the Call-ID, the MANSCDP CmdType and root. The
// log's 类型 column of a received message is made from these, never from
// whatever the operator built last.

#include <string>
#include <string_view>

struct HeadFacts {
    bool request = false;
    std::string method; // of a request; of an answer, its CSeq method
    int status = 0;     // of an answer
    std::string callId;
};
HeadFacts ReadHead(std::string_view head);

struct BodyFacts {
    std::string root;     // "Query", "Response", "Notify", "Control"
    std::string cmdType;  // "" when none
    std::string deviceId; // the body's top DeviceID
};
// Cheap: scans for the first elements only; a body that is no MANSCDP gives
// empty facts.
BodyFacts ReadBody(std::string_view body);

// The type text of a MANSCDP command: the signalling list's label for it,
// else a text of its own (心跳包 for Keepalive, 文件检索 for RecordInfo...),
// else the CmdType itself.
std::string TypeTextOfCommand(const std::string& cmdType);

// The type text of a received message: its command's, else its method's,
// else "<status> <method>" for an answer nobody filed.
std::string TypeTextOfReceived(const HeadFacts& head, const BodyFacts& body);
