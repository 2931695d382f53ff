#pragma once
// Runs SIPp as the camera: scenario files written at test time, a process that
// the test waits for, free ports on 127.0.0.1.

#include "Files.h"
#include "Net.h"

#include <string>
#include <vector>

#include <sys/types.h>

class SippProcess {
public:
    SippProcess() = default;
    ~SippProcess();
    SippProcess(const SippProcess&) = delete;
    SippProcess& operator=(const SippProcess&) = delete;
    // Starts /usr/bin/sipp with args; its standard output and error go to log.
    bool Start(const std::vector<std::string>& args, const std::string& log);
    // The exit status, or -1 when it did not end within timeoutMs (then it is killed).
    int Wait(int timeoutMs);

private:
    pid_t pid_ = -1;
};

// What the simulated camera does. Bodies may use [$sn] for the SN of the
// query being answered.
struct DeviceScript {
    std::string deviceId = "34010000001320000001";
    std::string fromUser;        // user part of From; deviceId when empty
    bool fromPort = true;        // From URI carries the port
    bool viaRport = true;        // top Via asks for rport
    // Behind NAT: the REGISTER's Via, From, To and Contact name this address
    // (no port, no rport) instead of SIPp's own; our answer then goes to that
    // address's port 9 and SIPp does not wait for it.
    std::string natAddress;
    bool registerFirst = true;
    int registers = 1;           // REGISTERs sent, 1500 ms apart
    int firstPauseMs = 0;        // before the first REGISTER
    // MESSAGEs the camera sends on its own after the REGISTERs: pause, body,
    // and whether an answer is expected (false: any answer fails the
    // scenario), with its status.
    struct Unsolicited {
        int pauseMs;
        std::string body;
        bool expectAnswer;
        int status = 200;
    };
    std::vector<Unsolicited> messages;
    int holdMs = 7000;           // the main call stays this long at the end
    // Answers to Tarvex's queries; a query with an empty answer only gets 200.
    std::vector<std::string> catalog; // one MESSAGE each
    std::string deviceInfo, deviceStatus, recordInfo;
    // When set, INVITEs are answered 200 with this SDP (CR LF lines); the call
    // then takes the ACK, any INFOs (200 each) and the BYE (200).
    std::string inviteAnswer;
    // With inviteAnswer: when >= 0, the device itself ends the call with BYE
    // this long after the ACK (and takes no INFO).
    int inviteByeAfterMs = -1;
    // With inviteAnswer: a final status other than 200 refuses every INVITE
    // with it ("488 Not Acceptable Here"), without a body; the ACK is taken.
    std::string inviteRefusal;
};

std::string MainScenario(const DeviceScript& s);
std::string OocScenario(const DeviceScript& s);

// MANSCDP answers in the layout cameras use.
std::string CatalogAnswer(const std::string& deviceId, int sumNum,
                          const std::vector<std::string>& channelIds, bool withNum = true,
                          const std::string& nameOfFirst = "Camera");
std::string SimpleAnswer(const char* cmdType, const std::string& deviceId, const std::string& extra);
std::string RecordAnswer(const std::string& deviceId, const std::string& channelId, int items);
std::string KeepaliveNotify(const std::string& deviceId);

// A device that answers one INVITE with sdp, takes the ACK and then either sends
// BYE itself after byeAfterMs, or (byeAfterMs < 0) waits for ours.
std::string CallScenario(const std::string& sdp, int byeAfterMs = -1);

// One message of a SIPp -trace_msg file.
struct TracedMessage {
    double time = 0;        // seconds since the epoch, as SIPp stamped it
    bool sentBySipp = false; // false: SIPp received it
    std::string text;       // start line, headers, empty line, body
    std::string StartLine() const;
    std::string Method() const;  // of a request, "" for a response
    int Status() const;          // of a response, 0 for a request
    std::string Header(const std::string& name) const; // first value, blanks trimmed
    std::string Body() const;
    // The transaction a message belongs to: top Via branch and CSeq.
    std::string Transaction() const;
};
std::vector<TracedMessage> ReadSippTrace(const std::string& file);
// Requests of method that SIPp received, one per transaction (retransmissions
// of the same branch and CSeq are one).
std::vector<TracedMessage> ReceivedRequests(const std::vector<TracedMessage>& trace,
                                            const std::string& method);

struct SippRun {
    std::string trace; // -trace_msg file
    std::string log;   // stdout / stderr of sipp
    std::string errors;
};
