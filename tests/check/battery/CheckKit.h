// Observations for the check tests: messages with the heads SIPp (as the
// camera) and Tarvex put on the wire, bodies from the camera answer makers of
// tests/support/common/Sipp.h, times in milliseconds from a fixed local start.
#pragma once

#include "Sipp.h"
#include "check/battery/Battery.h"
#include "check/battery/Observation.h"

#include <gtest/gtest.h>

#include <string>

namespace checkkit {

using namespace tarvex::check;

inline const std::string kDevice = "34020000001320000001";
inline const std::string kChannel = "34020000001310000001";
inline const std::string kPlatform = "34020000002000000001";
inline constexpr std::int64_t kStart = 1716172200000; // 2024-05-20 (UTC), any local start will do

// Sipp.h's answers leave [$sn] for SIPp to fill.
inline std::string WithSn(std::string body, const std::string& sn) {
    for (std::size_t p; (p = body.find("[$sn]")) != std::string::npos;)
        body.replace(p, 5, sn);
    return body;
}

class Wire {
public:
    Observation obs;
    std::int64_t now = kStart;

    Wire() { obs.deviceId = kDevice; }

    int Add(Direction dir, const std::string& head, const std::string& body = {}) {
        obs.messages.push_back(
            ObserveMessage(dir, now, LocalTimeMsText(now), head + "\r\n\n", body));
        return static_cast<int>(obs.messages.size()) - 1;
    }
    Wire& After(std::int64_t ms) {
        now += ms;
        return *this;
    }

    // A request from the device, as SIPp's camera scenario writes it.
    std::string DeviceHead(const std::string& method, int cseq, const std::string& extra,
                           std::size_t length, const std::string& from = kDevice) {
        return method + " sip:" + kPlatform + "@127.0.0.1:5080 SIP/2.0\r\n" +
               "Via: SIP/2.0/UDP 127.0.0.1:5060;rport;branch=z9hG4bK-" + std::to_string(cseq) +
               "-" + std::to_string(now) + "\r\nFrom: <sip:" + from +
               "@127.0.0.1:5060>;tag=" + std::to_string(cseq) +
               "SIPpTag00\r\nTo: <sip:" + (method == "REGISTER" ? from : kPlatform) +
               "@127.0.0.1:5080>\r\nCall-ID: " + std::to_string(cseq) + "-" + std::to_string(now) +
               "@127.0.0.1\r\nCSeq: " + std::to_string(cseq) + " " + method + "\r\n" + extra +
               "Max-Forwards: 70\r\nUser-Agent: IPC\r\nContent-Length: " + std::to_string(length) +
               "\r\n";
    }
    // A request from Tarvex to the device.
    std::string TarvexHead(const std::string& method, const std::string& callId, int cseq,
                           const std::string& type, std::size_t length) {
        return method + " sip:" + kDevice + "@127.0.0.1:5060 SIP/2.0\r\n" +
               "Via: SIP/2.0/UDP 127.0.0.1:5080;rport;branch=z9hG4bK" + std::to_string(now) +
               "\r\nFrom: <sip:" + kPlatform + "@127.0.0.1:5080>;tag=" + std::to_string(cseq * 7) +
               "\r\nTo: <sip:" + kDevice + "@127.0.0.1:5060>\r\nCall-ID: " + callId +
               "\r\nCSeq: " + std::to_string(cseq) + " " + method + "\r\n" +
               (type.empty() ? "" : "Content-Type: " + type + "\r\n") +
               "Max-Forwards: 70\r\nUser-Agent: Tarvex\r\nContent-Length: " +
               std::to_string(length) + "\r\n";
    }
    // The answer to the request at index req, from the other side.
    int Reply(int req, int status = 200, const std::string& extra = {},
              const std::string& body = {}) {
        const ObservedMessage& r = obs.messages[static_cast<std::size_t>(req)];
        std::string h =
            "SIP/2.0 " + std::to_string(status) + (status == 200 ? " OK" : " Error") + "\r\n";
        for (const char* name : {"Via", "From", "To", "Call-ID", "CSeq"})
            h += std::string(name) + ": " + r.sip.Value(name) +
                 (std::string(name) == "To" ? ";tag=99" : "") + "\r\n";
        h += extra + "User-Agent: " + (r.Sent() ? "IPC" : "Tarvex") +
             "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
        return Add(r.Sent() ? Direction::Received : Direction::Sent, h, body);
    }

    int Register(const std::string& extra = "Contact: <sip:" + kDevice +
                                            "@127.0.0.1:5060>\r\nExpires: 3600\r\n",
                 const std::string& from = kDevice) {
        const int r = Add(Direction::Received, DeviceHead("REGISTER", ++cseq_, extra, 0, from));
        After(2);
        Reply(r, 200, "Date: 2024-05-20T10:30:00\r\n");
        return r;
    }
    // A MESSAGE of the device with Tarvex's 200 OK.
    int FromDevice(const std::string& body, const std::string& from = kDevice) {
        const int r =
            Add(Direction::Received,
                DeviceHead("MESSAGE", ++cseq_, "Content-Type: Application/MANSCDP+xml\r\n",
                           body.size(), from),
                body);
        After(1);
        Reply(r);
        return r;
    }
    // A query or command of Tarvex; the device's 200 OK follows after okMs (none when negative).
    int ToDevice(const std::string& root, const std::string& cmd, int sn,
                 const std::string& extra = {}, std::int64_t okMs = 20,
                 const std::string& id = kDevice) {
        const std::string body = "<?xml version=\"1.0\"?>\r\n<" + root + ">\r\n <CmdType>" + cmd +
                                 "</CmdType>\r\n <SN>" + std::to_string(sn) +
                                 "</SN>\r\n <DeviceID>" + id + "</DeviceID>\r\n" + extra + "</" +
                                 root + ">\r\n\r\n";
        const int q = Add(Direction::Sent,
                          TarvexHead("MESSAGE", "q" + std::to_string(sn), 20 + sn,
                                     "application/MANSCDP+xml", body.size()),
                          body);
        if (okMs >= 0) {
            After(okMs);
            Reply(q);
        }
        return q;
    }
    // A query with its answer (Sipp.h body, [$sn] filled) after answerMs.
    int Query(const std::string& cmd, int sn, const std::string& answer,
              std::int64_t answerMs = 200, const std::string& extra = {},
              const std::string& id = kDevice) {
        const int q = ToDevice("Query", cmd, sn, extra, 20, id);
        After(answerMs);
        if (!answer.empty()) FromDevice(WithSn(answer, std::to_string(sn)));
        return q;
    }

private:
    int cseq_ = 0;
};

inline std::string Replace(std::string s, const std::string& from, const std::string& to) {
    const std::size_t p = s.find(from);
    if (p != std::string::npos) s.replace(p, from.size(), to);
    return s;
}

// A device's Notify body of an event (CmdType Alarm, MobilePosition, Catalog).
inline std::string EventNotify(const std::string& cmd, const std::string& id,
                               const std::string& fields = {}) {
    return "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<Notify>\r\n<CmdType>" + cmd +
           "</CmdType>\r\n<SN>7</SN>\r\n<DeviceID>" + id + "</DeviceID>\r\n" + fields +
           "</Notify>\r\n";
}
inline std::string AlarmNotify(const std::string& id) {
    return EventNotify("Alarm", id,
                       "<AlarmPriority>1</AlarmPriority>\r\n<AlarmMethod>5</AlarmMethod>\r\n"
                       "<AlarmTime>2024-05-20T10:31:00</AlarmTime>\r\n");
}

// Tarvex's offer as its media session writes it, and a camera's answer.
inline std::string Offer(int transport, const char* kind = "Play") {
    const bool tcp = transport != kMediaUdp;
    return "v=0\r\no=" + kDevice + " 0 0 IN IP4 127.0.0.1\r\ns=" + kind +
           "\r\nc=IN IP4 127.0.0.1\r\nt=0 0 \r\n" + "m=video 6000 " +
           (tcp ? "TCP/RTP/AVP" : "RTP/AVP") + " 96 98 97\r\na=recvonly\r\n" +
           "a=rtpmap:96 PS/90000\r\na=rtpmap:98 H264/90000\r\na=rtpmap:97 MPEG4/90000\r\n" +
           (transport == kMediaTcpPassive  ? "a=setup:passive\r\na=connection:new\r\n"
            : transport == kMediaTcpActive ? "a=setup:active\r\na=connection:new\r\n"
                                           : "") +
           "a=username:" + kDevice +
           "\r\na=password:73910462\r\ny=" + (std::string(kind) == "Play" ? "0" : "1") +
           "100000001\r\nf=v/1/4/20/2/1024a/8/1\r\n";
}

inline std::string Answer(int transport, const char* y = "0100000001") {
    const bool tcp = transport != kMediaUdp;
    return "v=0\r\no=" + kDevice +
           " 0 0 IN IP4 127.0.0.1\r\ns=Play\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n" + "m=video 15060 " +
           (tcp ? "TCP/RTP/AVP" : "RTP/AVP") + " 96\r\na=sendonly\r\na=rtpmap:96 PS/90000\r\n" +
           // RFC 4145: the device's role is the opposite of the offer's.
           (transport == kMediaTcpPassive  ? "a=setup:active\r\na=connection:new\r\n"
            : transport == kMediaTcpActive ? "a=setup:passive\r\na=connection:new\r\n"
                                           : "") +
           "y=" + y + "\r\nf=\r\n";
}

// An INVITE of Tarvex answered by the camera, and what the media session measured:
// 250 frames and 5 MB in 10 s, first picture after 800 ms.
inline MediaObservation Invite(Wire& w, int transport, const std::string& answer, int status = 200,
                               const char* kind = "Play") {
    MediaObservation m;
    m.kind = kind;
    m.transport = transport;
    m.callId = "call-" + std::to_string(transport) + kind;
    m.offer = Offer(transport, kind);
    const int inv = w.Add(Direction::Sent,
                          w.TarvexHead("INVITE", m.callId, 1, "application/sdp", m.offer.size()) +
                              "Subject: INVITE\r\n",
                          m.offer);
    w.After(150);
    m.answerStatus = status;
    m.answer = status == 200 ? answer : "";
    if (status)
        w.Reply(inv, status,
                status == 200 ? "Contact: <sip:" + kDevice +
                                    "@127.0.0.1:5060>\r\n"
                                    "Content-Type: application/sdp\r\n"
                              : "",
                m.answer);
    m.firstPictureMs = 800;
    m.windowMs = 10000;
    m.frames = 250;
    m.bytes = 5000000;
    m.packets = 4000;
    m.rtpSsrc = 100000001;
    return m;
}

// The verdict and reason of one check of the battery.
inline CheckResult Judge(const char* id, const Observation& obs) {
    const CheckDef* def = FindCheck(id);
    EXPECT_NE(def, nullptr) << id;
    return def ? RunCheck(*def, obs) : CheckResult{};
}

// One row of a table: what the case sets up, and what the check must say.
struct Case {
    const char* name;
    Verdict verdict;
    std::string reasonHas; // a piece of the reason
};

// The check's verdict is c's and its reason holds c's piece.
inline void ExpectVerdict(const CheckResult& r, const Case& c) {
    EXPECT_STREQ(VerdictText(r.verdict), VerdictText(c.verdict)) << c.name << ": " << r.reason;
    EXPECT_NE(r.reason.find(c.reasonHas), std::string::npos) << c.name << ": " << r.reason;
}

} // namespace checkkit
