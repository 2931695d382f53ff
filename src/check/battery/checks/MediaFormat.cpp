// The codec and picture size the device's answer states in its f= line
// ("v/<codec>/<resolution>/<frame rate>/<rate type>/<bit rate>", then "a/...")
// against what Tarvex decoded from the stream: a platform that sets up its
// decoder by f= shows nothing when f= is wrong. An empty field, a code outside
// the list below or a stream of which nothing was decoded is not judged.
#include "check/battery/Exchange.h"
#include "check/battery/Sdp.h"
#include "check/battery/checks/MediaAttempt.h"

#include <cstdlib>
#include <cstdio>

namespace tarvex::check {
namespace {

struct VideoFormat {
    std::string codec, resolution; // the fields as written, "" when empty
};

// The video part of an f= value; nothing without one ("v/" first).
std::optional<VideoFormat> VideoOfF(const std::string& f) {
    if (f.rfind("v/", 0) != 0) return std::nullopt;
    std::string v = f.substr(2);
    // The audio part follows at "a", with or without a blank before it.
    if (const std::size_t a = v.find('a'); a != std::string::npos) v.resize(a);
    std::vector<std::string> fields;
    std::size_t p = 0;
    for (;;) {
        const std::size_t e = v.find('/', p);
        std::string field = v.substr(p, e == std::string::npos ? std::string::npos : e - p);
        while (!field.empty() && (field.back() == ' ' || field.back() == '\t')) field.pop_back();
        fields.push_back(field);
        if (e == std::string::npos) break;
        p = e + 1;
    }
    VideoFormat out;
    if (!fields.empty()) out.codec = fields[0];
    if (fields.size() > 1) out.resolution = fields[1];
    return out;
}

// The codec of an f= code: 1 MPEG-4, 2 H.264, 3 SVAC, 4 3GP; "" for others.
const char* CodecOfCode(const std::string& code) {
    if (code == "1") return "MPEG-4";
    if (code == "2") return "H.264";
    if (code == "3") return "SVAC";
    if (code == "4") return "3GP";
    return "";
}

struct Size {
    int w, h;
};
struct Resolution {
    const char* code;
    const char* name;
    Size pal, ntsc; // the 625-line and 525-line sizes (the same for HD)
};
constexpr Resolution kResolutions[] = {
    {"1", "QCIF", {176, 144}, {176, 120}},     {"2", "CIF", {352, 288}, {352, 240}},
    {"3", "4CIF", {704, 576}, {704, 480}},     {"4", "D1", {720, 576}, {720, 480}},
    {"5", "720P", {1280, 720}, {1280, 720}},   {"6", "1080P/I", {1920, 1080}, {1920, 1080}},
};

std::string SizeText(int w, int h) { return std::to_string(w) + "x" + std::to_string(h); }

// What is wrong with one stream's f= against its pictures, "" when nothing;
// judged is set when f= had something to compare.
std::string Judge(const MediaObservation& m, const VideoFormat& f, bool& judged) {
    const int type = m.keyPictures ? m.keyPictures->pictureType : 0;
    const std::string decoded = type == 0x1B ? "H.264" : type == 0x24 ? "H.265" : "";
    const std::string what = m.kind + " over " + MediaTransportName(m.transport) + ": f=v/" +
                             f.codec + "/" + f.resolution + " ";
    if (const std::string codec = CodecOfCode(f.codec); !codec.empty() && !decoded.empty()) {
        judged = true;
        if (codec != decoded)
            return what + "says " + codec + ", the pictures are " + decoded;
    }
    if (m.pictureWidth <= 0 || m.pictureHeight <= 0 || f.resolution.empty()) return {};
    for (const Resolution& r : kResolutions)
        if (f.resolution == r.code) {
            judged = true;
            const bool fits = (m.pictureWidth == r.pal.w && m.pictureHeight == r.pal.h) ||
                              (m.pictureWidth == r.ntsc.w && m.pictureHeight == r.ntsc.h);
            if (!fits)
                return what + "says " + r.name + " (" + SizeText(r.pal.w, r.pal.h) +
                       "), the pictures are " + SizeText(m.pictureWidth, m.pictureHeight);
            return {};
        }
    // A size written out ("1920x1080"), as some devices do.
    const std::size_t x = f.resolution.find_first_of("xX*");
    if (x != std::string::npos) {
        const int w = std::atoi(f.resolution.c_str()), h = std::atoi(f.resolution.c_str() + x + 1);
        if (w > 0 && h > 0) {
            judged = true;
            if (w != m.pictureWidth || h != m.pictureHeight)
                return what + "says " + SizeText(w, h) + ", the pictures are " +
                       SizeText(m.pictureWidth, m.pictureHeight);
        }
    }
    return {};
}

} // namespace

CheckResult CheckMediaFormat(const Observation& obs) {
    int answered = 0, stated = 0, judgedStreams = 0;
    std::string decodedText;
    CheckResult pass = CheckResult::Make(Verdict::Pass, {});
    for (const MediaObservation& m : obs.media) {
        if (m.answerStatus < 200 || m.answerStatus >= 300 || m.answer.empty()) continue;
        ++answered;
        const std::optional<std::string> f = ParseSdp(m.answer).First('f');
        const std::optional<VideoFormat> video = f ? VideoOfF(*f) : std::nullopt;
        if (!video || (video->codec.empty() && video->resolution.empty())) continue;
        ++stated;
        bool judged = false;
        if (const std::string problem = Judge(m, *video, judged); !problem.empty()) {
            CheckResult r = CheckResult::Make(Verdict::Fail, problem);
            r.Note("f=", *f);
            CiteCall(r, obs, m);
            return r;
        }
        if (!judged) continue;
        ++judgedStreams;
        if (m.pictureWidth > 0)
            decodedText = ", pictures " + SizeText(m.pictureWidth, m.pictureHeight);
        CiteCall(pass, obs, m);
    }
    if (answered == 0) return CheckResult::Make(Verdict::NotRun, "no INVITE was answered 2xx");
    if (stated == 0)
        return CheckResult::Make(Verdict::NotRun,
                                 "the device's answers state no video format (f= empty or "
                                 "absent in " +
                                     Counted(static_cast<std::uint64_t>(answered), "answer",
                                             "answers") +
                                     ")");
    if (judgedStreams == 0)
        return CheckResult::Make(Verdict::NotRun,
                                 "nothing to compare: no picture decoded, or f= codes outside "
                                 "the known lists");
    pass.reason = Counted(static_cast<std::uint64_t>(judgedStreams), "stream", "streams") +
                  " as their answers' f= state" + decodedText;
    return pass;
}

} // namespace tarvex::check
