// The 2022 transfers over Tarvex's HTTP server. Snapshot: after
// SnapShotConfig, the device uploads JPEG pictures for its session and then
// notifies UploadSnapShotFinished with that session and the pictures' ids; the
// server received as many JPEGs as the notification lists and as were asked
// for. Upgrade: after DeviceUpgrade, the device fetches the whole firmware
// file from the one-time address and notifies DeviceUpgradeResult with the
// session (its Result is reported, OK or not: the check's file is no firmware).
#include "check/battery/checks/Gb2022.h"

namespace tarvex::check {
namespace {

// The device's Response to the control at request; Result ERROR declines it.
std::optional<CheckResult> RefusedControl(const Observation& obs, int request, const char* cmdType,
                                          const char* what) {
    for (const QueryAnswers& qa : AnswersOf(obs, "Control", cmdType)) {
        if (qa.request != request) continue;
        for (int a : qa.answers) {
            bool has = false;
            const std::string r = ChildText(obs.messages[static_cast<std::size_t>(a)].manscdp.root, "Result", &has);
            if (has && EqualsNoCase(r, "ERROR"))
                return CheckResult::Make(Verdict::NotSupported, std::string(what) + " answered Result ERROR")
                    .Cite(request, what)
                    .Cite(a, "answer");
        }
    }
    return std::nullopt;
}

// The first notification of cmdType from the device after index from.
int NotifyAfter(const Observation& obs, int from, const char* cmdType) {
    for (std::size_t i = static_cast<std::size_t>(from) + 1; i < obs.messages.size(); ++i) {
        const ObservedMessage& m = obs.messages[i];
        if (m.Received() && m.IsRequest("MESSAGE") && m.manscdp.Is("Notify", cmdType)) return static_cast<int>(i);
    }
    return -1;
}

// The session a control's element carries.
std::string SessionOf(const ObservedMessage& m, const char* element) {
    return ChildText(m.manscdp.root.ChildByName(element), "SessionID");
}

} // namespace

CheckResult CheckGb2022Snapshot(const Observation& obs) {
    const int cfg = SentControlWith(obs, "DeviceConfig", "SnapShotConfig");
    if (cfg < 0) {
        if (auto r = NotA2022Device(obs, "SnapShotConfig")) return *r;
        return CheckResult::Make(Verdict::NotRun, "Tarvex sent no SnapShotConfig");
    }
    if (auto r = Declined(obs, cfg, "SnapShotConfig")) return *r;
    if (auto r = RefusedControl(obs, cfg, "DeviceConfig", "SnapShotConfig")) return *r;
    const ObservedMessage& c = obs.messages[static_cast<std::size_t>(cfg)];
    const std::string session = SessionOf(c, "SnapShotConfig");
    long asked = 0;
    ParseLong(ChildText(c.manscdp.root.ChildByName("SnapShotConfig"), "SnapNum"), &asked);
    const SnapshotReceipt* got = nullptr;
    for (const SnapshotReceipt& s : obs.transfers.snapshots)
        if (s.sessionId == session) got = &s;
    if (!got)
        return CheckResult::Make(Verdict::NotRun, "Tarvex's HTTP server kept no record of session " + session)
            .Cite(cfg, "SnapShotConfig");
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; i < got->files.size(); ++i) {
        bytes += got->files[i].bytes;
        if (!got->files[i].jpeg)
            return CheckResult::Make(Verdict::Fail, "picture " + std::to_string(i + 1) + " of session " + session +
                                                        " (" + got->files[i].name + ") is not a JPEG")
                .Cite(cfg, "SnapShotConfig");
    }
    const std::string received = Counted(got->files.size(), "JPEG picture", "JPEG pictures") +
                                 " received over HTTP for session " + session;
    const int n = NotifyAfter(obs, cfg, "UploadSnapShotFinished");
    CheckResult r;
    if (n < 0) {
        r = CheckResult::Make(Verdict::Fail, "no UploadSnapShotFinished after the SnapShotConfig at " +
                                                 c.timeText + "; " + received);
    } else {
        const ObservedMessage& m = obs.messages[static_cast<std::size_t>(n)];
        const std::string theirs = ChildText(m.manscdp.root, "SessionID");
        std::size_t listed = 0;
        const XMLNode list = m.manscdp.root.ChildByName("SnapShotList");
        int cursor = 0;
        for (XMLNode f = list.IsEmpty() ? XMLNode() : list.ChildByName("SnapShotFileID", &cursor); !f.IsEmpty();
             f = list.ChildByName("SnapShotFileID", &cursor))
            ++listed;
        if (theirs != session)
            r = CheckResult::Make(Verdict::Fail, "UploadSnapShotFinished names session \"" +
                                                     BodyValueText(m.manscdp, theirs) +
                                                     "\", the SnapShotConfig's is " + session);
        else if (got->files.empty())
            r = CheckResult::Make(Verdict::Fail, "no picture was uploaded for session " + session +
                                                     " before its UploadSnapShotFinished");
        else if (listed != got->files.size())
            r = CheckResult::Make(Verdict::Fail, received + ", UploadSnapShotFinished lists " +
                                                     std::to_string(listed));
        else if (asked > 0 && got->files.size() < static_cast<std::size_t>(asked))
            r = CheckResult::Make(Verdict::Fail, received + ", SnapShotConfig asked for " +
                                                     std::to_string(asked));
        else if (got->refused > 0)
            r = CheckResult::Make(Verdict::Fail, received + ", and " +
                                                     Counted(static_cast<std::uint64_t>(got->refused),
                                                             "upload", "uploads") +
                                                     " refused (size, count or not a JPEG)");
        else
            r = CheckResult::Make(Verdict::Pass, received + " (" + std::to_string(bytes) +
                                                     " bytes), as UploadSnapShotFinished lists");
        r.Cite(cfg, "SnapShotConfig").Cite(n, "UploadSnapShotFinished");
    }
    if (n < 0) r.Cite(cfg, "SnapShotConfig");
    for (const SnapshotFile& f : got->files)
        r.Note("picture", f.name + ", " + std::to_string(f.bytes) + " bytes" + (f.jpeg ? "" : ", not a JPEG"));
    r.Measure("pictures", static_cast<double>(got->files.size())).Measure("bytes", static_cast<double>(bytes));
    return r;
}

CheckResult CheckGb2022Upgrade(const Observation& obs) {
    const int ctrl = SentControlWith(obs, "DeviceControl", "DeviceUpgrade");
    if (ctrl < 0) {
        if (auto r = NotA2022Device(obs, "DeviceUpgrade")) return *r;
        return CheckResult::Make(Verdict::NotRun, "Tarvex sent no DeviceUpgrade");
    }
    if (auto r = Declined(obs, ctrl, "DeviceUpgrade")) return *r;
    if (auto r = RefusedControl(obs, ctrl, "DeviceControl", "DeviceUpgrade")) return *r;
    const ObservedMessage& c = obs.messages[static_cast<std::size_t>(ctrl)];
    const std::string session = SessionOf(c, "DeviceUpgrade");
    const FirmwareReceipt* offer = nullptr;
    for (const FirmwareReceipt& f : obs.transfers.firmware)
        if (f.sessionId == session) offer = &f;
    if (!offer)
        return CheckResult::Make(Verdict::NotRun, "Tarvex offered no firmware file for session " + session)
            .Cite(ctrl, "DeviceUpgrade");
    const std::string served = std::to_string(offer->served) + " of " + std::to_string(offer->bytes) + " bytes";
    const int n = NotifyAfter(obs, ctrl, "DeviceUpgradeResult");
    CheckResult r;
    if (!offer->fetched)
        r = CheckResult::Make(Verdict::Fail, "the device never fetched the firmware offered for session " + session);
    else if (!offer->complete || offer->served < offer->bytes)
        r = CheckResult::Make(Verdict::Fail, "the device fetched " + served + " of the firmware");
    else if (n < 0)
        r = CheckResult::Make(Verdict::Fail, "firmware fetched (" + served +
                                                 "), but no DeviceUpgradeResult after the DeviceUpgrade at " +
                                                 c.timeText);
    if (n >= 0 && r.reason.empty()) {
        const ObservedMessage& m = obs.messages[static_cast<std::size_t>(n)];
        const std::string theirs = ChildText(m.manscdp.root, "SessionID");
        // Devices spell the outcome Result or UpgradeResult.
        std::string result = ChildText(m.manscdp.root, "Result");
        if (result.empty()) result = ChildText(m.manscdp.root, "UpgradeResult");
        std::string why = ChildText(m.manscdp.root, "Description");
        if (why.empty()) why = ChildText(m.manscdp.root, "Reason");
        if (theirs != session)
            r = CheckResult::Make(Verdict::Fail, "DeviceUpgradeResult names session \"" +
                                                     BodyValueText(m.manscdp, theirs) +
                                                     "\", the DeviceUpgrade's is " + session);
        else if (!EqualsNoCase(result, "OK") && !EqualsNoCase(result, "ERROR"))
            r = CheckResult::Make(Verdict::Fail, "DeviceUpgradeResult Result \"" +
                                                     BodyValueText(m.manscdp, result) + "\" is not OK or ERROR");
        else
            r = CheckResult::Make(Verdict::Pass, "firmware fetched (" + served + "), DeviceUpgradeResult Result " +
                                                     result +
                                                     (why.empty() ? "" : " (" + BodyValueText(m.manscdp, why) + ")"));
    }
    r.Cite(ctrl, "DeviceUpgrade");
    if (n >= 0) r.Cite(n, "DeviceUpgradeResult");
    r.Measure("served_bytes", static_cast<double>(offer->served)).Measure("file_bytes", static_cast<double>(offer->bytes));
    return r;
}

} // namespace tarvex::check
