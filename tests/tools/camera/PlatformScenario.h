#pragma once
// SIPp playing the platform against tarvex-camera: it takes the REGISTER
// (challenging it and checking the digest), sends queries, an INVITE with an
// SDP offer, INFO and BYE in one call, and takes the unregistration. What the
// camera sends outside that call (its answers, keepalives, MediaStatus) goes
// to an out-of-call scenario that answers 200. The message trace is read back.

#include <string>
#include <vector>

namespace camtest {

inline const char* kServerId = "34020000002000000001";

struct Platform {
    std::string deviceId = "34020000001320000001";
    std::string password = "12345678";
    bool challenge = false;
    int expires = 3600;        // Expires of the first 200
    bool expectRefresh = false; // a second REGISTER before expiry, answered with 3600
    struct Query {
        std::string body;
        int pauseMs = 0; // after its answer
        int status = 200; // the answer expected
    };
    std::vector<Query> queries;
    std::string offer; // SDP of an INVITE; empty: no call
    std::string inviteTo; // user part of the INVITE's request URI (the channel)
    struct Info {
        int pauseMs;
        std::string body;
    };
    std::vector<Info> infos; // INFO requests after the ACK
    int holdMs = 2000;       // before the BYE (or the wait for the device's BYE)
    bool deviceSendsBye = false;
    bool expectUnregister = true;
    std::string doneFile; // written when the main call went through
};

// CR LF line ends for bodies written with \n.
inline std::string Crlf(const std::string& s) {
    std::string o;
    for (char c : s) {
        if (c == '\n') o += "\r\n";
        else o += c;
    }
    return o;
}

inline std::string Query(const std::string& cmd, int sn, const std::string& deviceId,
                         const std::string& extra = "", const char* root = "Query") {
    return Crlf(std::string("<?xml version=\"1.0\"?>\n<") + root + ">\n<CmdType>" + cmd +
                "</CmdType>\n<SN>" + std::to_string(sn) + "</SN>\n<DeviceID>" + deviceId +
                "</DeviceID>\n" + extra + "</" + root + ">\n");
}

inline std::string Offer(const std::string& session, int port, const char* transport,
                         const std::string& setup, const std::string& y, long start = 0,
                         long end = 0, int speed = 0) {
    std::string s = "v=0\no=34020000002000000001 0 0 IN IP4 127.0.0.1\ns=" + session +
                    "\nc=IN IP4 127.0.0.1\nt=" + std::to_string(start) + " " + std::to_string(end) +
                    "\nm=video " + std::to_string(port) + " " + transport +
                    " 96 98 97\na=recvonly\na=rtpmap:96 PS/90000\na=rtpmap:98 H264/90000\n"
                    "a=rtpmap:97 MPEG4/90000\n";
    if (speed) s += "a=downloadspeed:" + std::to_string(speed) + "\n";
    if (!setup.empty()) s += "a=setup:" + setup + "\na=connection:new\n";
    s += "y=" + y + "\nf=\n";
    return Crlf(s);
}

inline std::string Rtsp(const char* method, const char* scale, int npt) {
    return std::string(method) + " RTSP/1.0\r\nCSeq: 2\r\nScale: " + scale + "\r\nRange: npt=" +
           std::to_string(npt) + "-\r\n";
}

std::string PlatformScenario(const Platform& p);

// One message of SIPp's -trace_msg file.
struct Traced {
    bool sent = false;      // by SIPp
    double time = 0;        // seconds since 1970 (from the trace's time stamps)
    std::string text;       // the whole message
    std::string FirstLine() const { return text.substr(0, text.find("\r\n")); }
    std::string Header(const std::string& name) const;
    std::string Body() const;
};
std::vector<Traced> ReadTrace(const std::string& path);

} // namespace camtest
