// Message bodies complete: every body the device sent is exactly as long as its
// Content-Length says, and every MANSCDP body is whole XML with its envelope
// (CmdType, SN, DeviceID) under a Response or Notify root.
#include "check/battery/Exchange.h"
#include "check/battery/SipText.h"

namespace tarvex::check {
namespace {

const char* OutcomeText(int outcome) {
    switch (outcome) {
    case XML_MISSING_END_TAG:
        return "an end tag is missing";
    case XML_NO_ELEMENT:
        return "there is no element";
    case XML_MISSING_TAG_NAME:
        return "a tag has no name";
    case XML_MISSING_END_TAG_NAME:
        return "an end tag has no name";
    case XML_UNMATCHED_END_TAG:
        return "an end tag matches no start tag";
    case XML_SECTION_NOT_CLOSED:
        return "a comment or CDATA section is not closed";
    case XML_UNEXPECTED_TOKEN:
        return "a start tag is malformed";
    case XML_UNDEFINED_ENTITY:
        return "an entity is undefined";
    case XML_CHAR_ABOVE_255:
        return "a character reference is above 255";
    case XML_TOO_DEEP:
        return "elements nest too deep";
    default:
        return "it does not parse";
    }
}

std::string BodyProblem(const ObservedMessage& m, bool tcp) {
    const std::string* length = m.sip.Find("Content-Length");
    long n = -1;
    if (length && (!ParseLong(*length, &n) || n != static_cast<long>(m.body.size())))
        return "Content-Length " + *length + " but the body has " + std::to_string(m.body.size()) +
               " bytes";
    if (!length && tcp) return "no Content-Length over TCP";
    if (!m.IsRequest("MESSAGE")) return {};
    const ManscdpBody& b = m.manscdp;
    if (!b.present) return {};
    if (Lower(m.sip.Value("Content-Type")).find("manscdp+xml") == std::string::npos)
        return "Content-Type \"" + m.sip.Value("Content-Type") + "\" for a MANSCDP body";
    if (b.outcome != XML_OK)
        return std::string("the body is not whole XML: ") + OutcomeText(b.outcome);
    if (!EqualsNoCase(b.rootName, "Response") && !EqualsNoCase(b.rootName, "Notify"))
        return "root element <" + b.rootName + "> is neither Response nor Notify";
    long sn = 0;
    if (!b.hasCmdType || b.cmdType.empty()) return "no CmdType";
    if (!b.hasSn || !ParseLong(b.sn, &sn) || sn < 0) return "SN \"" + b.sn + "\" is not a number";
    if (!b.hasDeviceId || b.deviceId.empty()) return "no DeviceID";
    return {};
}

} // namespace

CheckResult CheckMessageFraming(const Observation& obs) {
    const bool tcp = EqualsNoCase(obs.settings.sipTransport, "tcp");
    const std::vector<int> bodies =
        Select(obs, [](const ObservedMessage& m) { return m.Received() && !m.body.empty(); });
    if (bodies.empty())
        return CheckResult::Make(Verdict::NotRun, "the device sent no message with a body");
    for (int i : bodies) {
        const ObservedMessage& m = obs.messages[static_cast<std::size_t>(i)];
        const std::string problem = BodyProblem(m, tcp);
        if (!problem.empty())
            return CheckResult::Make(Verdict::Fail,
                                     Describe(m) + " at " + m.timeText + ": " + problem)
                .Cite(i, Describe(m));
    }
    return CheckResult::Make(Verdict::Pass, Counted(bodies.size(), "body", "bodies") + " complete")
        .Measure("bodies", static_cast<double>(bodies.size()));
}

} // namespace tarvex::check
