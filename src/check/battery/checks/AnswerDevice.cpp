// Answers from the queried identifier: every Response carries the DeviceID its
// query asked about and comes From the device (or from that DeviceID); every
// Notify of the device names the device, or for an Alarm or MobilePosition
// one of its channels (the alarm's source, the channel that moves). A RecordInfo query about the device
// itself may be answered for one of its channels (those of its Catalog
// answers): recordings belong to channels, and devices answer for their first.
#include "check/battery/Exchange.h"
#include "check/battery/SipText.h"

#include <set>

namespace tarvex::check {
namespace {

std::set<std::string> CatalogChannels(const Observation& obs) {
    std::set<std::string> ids;
    for (const QueryAnswers& qa : AnswersOf(obs, "Query", "Catalog"))
        for (const ItemRef& it : ReadAnswerList(obs, qa.answers, "DeviceList").items)
            ids.insert(ChildText(it.item, "DeviceID"));
    return ids;
}

} // namespace

CheckResult CheckAnswerDevice(const Observation& obs) {
    const std::string device = obs.DeviceId();
    std::size_t looked = 0;
    const std::set<std::string> channels = CatalogChannels(obs);
    for (const QueryAnswers& qa : PairAnswers(obs).requests) {
        const ManscdpBody& q = obs.messages[static_cast<std::size_t>(qa.request)].manscdp;
        // A Broadcast notification names no DeviceID: its audio output answers.
        const std::string asked = q.hasDeviceId ? q.deviceId : ChildText(q.root, "TargetID");
        for (int a : qa.answers) {
            ++looked;
            const ObservedMessage& m = obs.messages[static_cast<std::size_t>(a)];
            const std::string from = ParseSipAddress(m.sip.Value("From")).user;
            std::string problem;
            const bool channelAnswer = q.cmdType == "RecordInfo" && q.deviceId == device &&
                                       channels.count(m.manscdp.deviceId) > 0;
            if (m.manscdp.deviceId != asked && !channelAnswer)
                problem = q.cmdType + " answer carries DeviceID " + m.manscdp.deviceId +
                          ", the query asked " + asked;
            else if (from != device && from != asked)
                problem =
                    q.cmdType + " answer comes From " + from + ", not from the device " + device;
            if (!problem.empty())
                return CheckResult::Make(Verdict::Fail, problem)
                    .Cite(qa.request, "query")
                    .Cite(a, "answer");
        }
    }
    for (int n : Select(obs, [](const ObservedMessage& m) {
             return m.Received() && m.IsRequest("MESSAGE") &&
                    EqualsNoCase(m.manscdp.rootName, "Notify");
         })) {
        const ObservedMessage& m = obs.messages[static_cast<std::size_t>(n)];
        if (ParseSipAddress(m.sip.Value("From")).user != device) continue; // another device's
        ++looked;
        const bool sourceChannel =
            (m.manscdp.cmdType == "Alarm" || m.manscdp.cmdType == "MobilePosition") &&
            channels.count(m.manscdp.deviceId) > 0;
        if (m.manscdp.deviceId != device && !sourceChannel)
            return CheckResult::Make(Verdict::Fail, m.manscdp.cmdType +
                                                        " Notify of the device carries DeviceID " +
                                                        m.manscdp.deviceId + ", not " + device)
                .Cite(n, "notify");
    }
    if (looked == 0)
        return CheckResult::Make(Verdict::NotRun, "no answer and no notification from the device");
    return CheckResult::Make(Verdict::Pass, Counted(looked, "answer or notification names ",
                                                    "answers and notifications name ") +
                                                device + " or the channel asked for");
}

} // namespace tarvex::check
