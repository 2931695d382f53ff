#pragma once
// MANSCDP bodies that a simulated device sends: answers to the platform's
// queries and commands, and its own notifications. Texts are built as UTF-8
// and go out as GBK under a GB2312 declaration (EncodeBody), as cameras do.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tvsim {

struct Channel {
    std::string id;
    std::string name; // UTF-8
};

struct DeviceIdentity {
    std::string id;
    std::string name; // UTF-8
    std::string address; // our IPv4 address
    int sipPort = 0;
    std::string serverId, serverAddress, domain;
    int serverPort = 0;
    int expires = 3600;
    int keepalive = 60;
    std::string password;
    std::vector<Channel> channels;
};

// The XML declaration, the tree and a final CR LF, converted to GBK.
std::string EncodeBody(const std::string& utf8Xml);

// Catalog answers: every channel once, perMessage items a message (0: all
// in one). withNum false leaves the Num attribute off DeviceList.
std::vector<std::string> CatalogAnswers(const DeviceIdentity& d, const std::string& sn,
                                        int perMessage, bool withNum);
std::string DeviceInfoAnswer(const DeviceIdentity& d, const std::string& sn);
std::string DeviceStatusAnswer(const DeviceIdentity& d, const std::string& sn, bool guard);

// Recordings invented over [start, end] (seconds since 1970): one of up to
// 30 minutes at the start of every hour, at most kMaxRecordings.
constexpr int kMaxRecordings = 200;
std::vector<std::pair<int64_t, int64_t>> InventRecordings(int64_t start, int64_t end);
// badTimes writes each StartTime with a space for the T and each EndTime
// without its seconds, as some recorders do.
std::vector<std::string> RecordInfoAnswers(const DeviceIdentity& d, const std::string& sn,
                                           const std::string& channelId, int64_t start,
                                           int64_t end, const std::string& type, int perMessage,
                                           bool badTimes = false);

std::string ConfigDownloadAnswer(const DeviceIdentity& d, const std::string& sn,
                                 const std::string& configType);
std::string PresetAnswer(const DeviceIdentity& d, const std::string& sn);
// Response with CmdType, SN, DeviceID and Result OK (controls, configuration,
// queries without an answer of their own).
std::string ResultAnswer(const std::string& cmdType, const std::string& sn,
                         const std::string& deviceId, const char* result = "OK");
std::string KeepaliveNotify(const std::string& deviceId, int sn, const char* status = "OK");
// NotifyType 121: a download has reached its end.
std::string MediaStatusNotify(const std::string& deviceId, int sn);

// The SN a device with the wrong-sn fault answers with: the query's + 1000
// (1000 for an SN that is not a number), never the query's own.
std::string OtherSn(const std::string& sn);

// Rewrites the Content-Length of a whole SIP message (head and body as on the
// wire) to the number of characters its GBK body holds, as devices that count
// characters do. False, and bytes untouched, when the count is the byte count
// already or the message has no Content-Length.
bool ContentLengthInCharacters(std::string& bytes);

// "%Y-%m-%dT%H:%M:%S" local time to seconds; -1 when the text is not such a time.
int64_t ParseLocalTime(const std::string& text);
std::string LocalTime(int64_t seconds);

// A PTZCmd code in words ("up speed 192", "set preset 3", "stop"), with
// "bad checksum" added when byte 8 is wrong.
std::string DescribePtz(const std::string& hex);

} // namespace tvsim
