#include "check/battery/Battery.h"

#include <exception>

namespace tarvex::check {

// One line per check: its function (in checks/<Name>.cpp) and its table row below.
CheckResult CheckRegisterForm(const Observation&);
CheckResult CheckRegisterDigest(const Observation&);
CheckResult CheckKeepaliveInterval(const Observation&);
CheckResult CheckKeepaliveMissed(const Observation&);
CheckResult CheckMessageFraming(const Observation&);
CheckResult CheckMessageAnswerTime(const Observation&);
CheckResult CheckCatalogAnswer(const Observation&);
CheckResult CheckCatalogItems(const Observation&);
CheckResult CheckCatalogEncoding(const Observation&);
CheckResult CheckDeviceInfoFields(const Observation&);
CheckResult CheckDeviceStatusFields(const Observation&);
CheckResult CheckRecordInfoAnswer(const Observation&);
CheckResult CheckAnswerSn(const Observation&);
CheckResult CheckAnswerDevice(const Observation&);
CheckResult CheckAnswerDelay(const Observation&);
CheckResult CheckLiveUdp(const Observation&);
CheckResult CheckLiveTcpPassive(const Observation&);
CheckResult CheckLiveTcpActive(const Observation&);
CheckResult CheckPtzAccepted(const Observation&);
CheckResult CheckByeAnswered(const Observation&);
CheckResult CheckPlaybackControl(const Observation&);

const std::vector<CheckDef>& Battery() {
    static const std::vector<CheckDef> kBattery = {
        {"register.form", "REGISTER well formed", CheckRegisterForm},
        {"register.digest", "Digest answer to the challenge", CheckRegisterDigest},
        {"keepalive.interval", "Keepalive interval", CheckKeepaliveInterval},
        {"keepalive.missed", "Missed keepalives", CheckKeepaliveMissed},
        {"message.framing", "Message bodies complete", CheckMessageFraming},
        {"message.answer_time", "200 OK to our MESSAGEs in time", CheckMessageAnswerTime},
        {"catalog.answer", "Catalog answered, Num and SumNum consistent", CheckCatalogAnswer},
        {"catalog.items", "Catalog items complete", CheckCatalogItems},
        {"catalog.encoding", "Catalog names in the declared encoding", CheckCatalogEncoding},
        {"deviceinfo.fields", "DeviceInfo fields present", CheckDeviceInfoFields},
        {"devicestatus.fields", "DeviceStatus fields present", CheckDeviceStatusFields},
        {"recordinfo.answer", "RecordInfo of the last 24 hours", CheckRecordInfoAnswer},
        {"answers.sn", "Answer SN equals the query's", CheckAnswerSn},
        {"answers.device", "Answers from the queried identifier", CheckAnswerDevice},
        {"answers.delay", "Query answers in time", CheckAnswerDelay},
        {"live.udp", "Live view over UDP", CheckLiveUdp},
        {"live.tcp_passive", "Live view over TCP passive", CheckLiveTcpPassive},
        {"live.tcp_active", "Live view over TCP active", CheckLiveTcpActive},
        {"ptz.accepted", "Pan-tilt-zoom commands accepted", CheckPtzAccepted},
        {"bye.answered", "BYE answered", CheckByeAnswered},
        {"playback.control", "Playback with pause and scale", CheckPlaybackControl},
    };
    return kBattery;
}

const CheckDef* FindCheck(std::string_view id) {
    for (const auto& d : Battery())
        if (id == d.id) return &d;
    return nullptr;
}

CheckResult RunCheck(const CheckDef& def, const Observation& obs) {
    CheckResult r;
    try {
        r = def.run(obs);
    } catch (const std::exception& e) {
        r = CheckResult::Make(Verdict::NotRun, std::string("the check stopped: ") + e.what());
    }
    r.id = def.id;
    r.title = def.title;
    return r;
}

std::vector<CheckResult> RunBattery(const Observation& obs) {
    std::vector<CheckResult> out;
    for (const auto& d : Battery())
        out.push_back(RunCheck(d, obs));
    return out;
}

} // namespace tarvex::check
