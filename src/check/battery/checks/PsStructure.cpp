// The program stream of every measured stream: each key picture comes after a
// pack header, a system header and a program stream map (a receiver that
// joins at a key picture learns the streams from them), and the map names the
// video stream type its pictures are (their parameter sets: H.264 or H.265).
#include "check/battery/Exchange.h"
#include "check/battery/checks/MediaAttempt.h"

#include <cstdio>

namespace tarvex::check {
namespace {

std::string TypeText(int type) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%02X", type);
    return std::string(buf) + (type == 0x1B ? " (H.264)" : type == 0x24 ? " (H.265)" : "");
}

} // namespace

CheckResult CheckPsStructure(const Observation& obs) {
    std::uint64_t keys = 0;
    int streams = 0, mapType = 0;
    CheckResult pass = CheckResult::Make(Verdict::Pass, {});
    for (const MediaObservation& m : obs.media) {
        if (!m.keyPictures || m.keyPictures->keys == 0) continue;
        const KeyPictures& k = *m.keyPictures;
        const std::string what = m.kind + " over " + MediaTransportName(m.transport) + ": ";
        std::string missing;
        for (const auto& [n, name] : {std::pair{k.withoutPack, "a pack header"},
                                      std::pair{k.withoutSystem, "a system header"},
                                      std::pair{k.withoutMap, "a program stream map"}})
            if (n > 0)
                missing += (missing.empty() ? "" : ", ") + std::to_string(n) + " without " + name;
        std::string problem;
        if (!missing.empty())
            problem = what + "of " + Counted(k.keys, "key picture", "key pictures") + ", " +
                      missing + " before their video";
        else if (k.typeMismatch > 0)
            problem = what + "the program stream map names video stream type " +
                      TypeText(k.mapType) + ", the pictures are " + TypeText(k.pictureType);
        if (!problem.empty()) {
            CheckResult r = CheckResult::Make(Verdict::Fail, problem);
            r.Measure("key_pictures", static_cast<double>(k.keys));
            CiteCall(r, obs, m);
            return r;
        }
        keys += k.keys;
        ++streams;
        if (k.mapType) mapType = k.mapType;
        CiteCall(pass, obs, m);
    }
    if (streams == 0) return CheckResult::Make(Verdict::NotRun, "no key picture was received");
    pass.reason = Counted(keys, "key picture", "key pictures") + " over " +
                  Counted(static_cast<std::uint64_t>(streams), "stream", "streams") +
                  ", each after a pack header, a system header and a program stream map" +
                  (mapType ? " naming " + TypeText(mapType) : std::string());
    pass.Measure("key_pictures", static_cast<double>(keys));
    return pass;
}

} // namespace tarvex::check
