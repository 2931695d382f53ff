// The five queries of the 2022 edition, each answered Result OK with the
// fields it exists for: the home position (HomePositionQuery), the cruise
// tracks (CruiseTrackListQuery) and one track's points (CruiseTrackQuery), the
// pan-tilt-zoom position (PTZPosition) and the storage cards (SDCardStatus).
// A device that declares no 2022 edition was not asked (not supported); a
// SIP 405/501 or Result ERROR declines the query (not supported).
#include "check/battery/checks/Gb2022.h"

#include <cstdlib>
#include <functional>

namespace tarvex::check {
namespace {

// The problem with an answer's body ("" when none); seen gets what it said.
using Judge = std::function<std::string(const ManscdpBody&, const std::string& bytes, std::string& seen)>;

CheckResult JudgeQuery(const Observation& obs, const char* cmd, const Judge& judge) {
    const std::vector<QueryAnswers> queries = AnswersOf(obs, "Query", cmd);
    if (queries.empty()) {
        if (auto r = NotA2022Device(obs, (std::string(cmd) + " query").c_str())) return *r;
        return CheckResult::Make(Verdict::NotRun, std::string("Tarvex sent no ") + cmd + " query");
    }
    CheckResult pass = CheckResult::Make(Verdict::Pass, {});
    for (const QueryAnswers& qa : queries) {
        if (auto r = Declined(obs, qa.request, cmd)) return *r;
        if (auto r = UnansweredQuery(obs, qa, cmd, true)) return *r;
        const int a = qa.answers.front();
        const ObservedMessage& m = obs.messages[static_cast<std::size_t>(a)];
        std::string seen;
        std::string problem;
        bool has = false;
        const std::string result = ChildText(m.manscdp.root, "Result", &has);
        if (has && !EqualsNoCase(result, "OK"))
            problem = "Result \"" + BodyValueText(m.manscdp, result) + "\" is not OK";
        else
            problem = judge(m.manscdp, m.body, seen);
        if (!problem.empty())
            return CheckResult::Make(Verdict::Fail, std::string(cmd) + " answer: " + problem)
                .Cite(qa.request, "query")
                .Cite(a, "answer");
        pass.reason = seen;
        pass.Cite(qa.request, "query").Cite(a, "answer");
    }
    return pass;
}

bool Decimal(const std::string& s, double lo, double hi, double* out = nullptr) {
    if (s.empty()) return false;
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (!end || *end != '\0' || !(v >= lo && v <= hi)) return false;
    if (out) *out = v;
    return true;
}

// A child element's text, or a problem naming it when it is missing or not a
// whole number (in [0, max]).
std::string NumberField(const XMLNode& n, const char* name, const ManscdpBody& b, long max,
                        std::string& text) {
    bool has = false;
    text = ChildText(n, name, &has);
    long v = 0;
    if (!has || text.empty()) return std::string("no ") + name;
    if (!ParseLong(text, &v) || v < 0 || v > max)
        return std::string(name) + " \"" + BodyValueText(b, text) + "\" is not a number from 0 to " +
               std::to_string(max);
    return {};
}

// The items called item under list, and whether its Num attribute counts them.
std::string CountedList(const XMLNode& list, const char* listName, const char* item,
                        std::vector<XMLNode>& items) {
    int cursor = 0;
    for (XMLNode i = list.ChildByName(item, &cursor); !i.IsEmpty(); i = list.ChildByName(item, &cursor))
        items.push_back(i);
    const char* num = list.AttributeValue("Num");
    long n = -1;
    if (!num) return std::string(listName) + " without Num attribute";
    if (!ParseLong(num, &n) || n < 0) return std::string(listName) + " Num=\"" + num + "\" is not a count";
    if (static_cast<std::size_t>(n) != items.size())
        return std::string(listName) + " Num=\"" + num + "\" but it holds " +
               std::to_string(items.size()) + " " + item;
    return {};
}

} // namespace

CheckResult CheckGb2022HomePosition(const Observation& obs) {
    return JudgeQuery(obs, "HomePositionQuery", [](const ManscdpBody& b, const std::string&, std::string& seen) {
        const XMLNode h = b.root.ChildByName("HomePosition");
        if (h.IsEmpty()) return std::string("no HomePosition");
        bool has = false;
        const std::string en = ChildText(h, "Enabled", &has);
        if (!has) return std::string("HomePosition without Enabled");
        if (en != "0" && en != "1")
            return "HomePosition Enabled \"" + BodyValueText(b, en) + "\" is not 0 or 1";
        seen = "home position Enabled " + en;
        if (en == "1") {
            // Enabled: where it returns to and after how long.
            std::string reset, preset;
            if (auto p = NumberField(h, "ResetTime", b, 86400, reset); !p.empty()) return "HomePosition " + p;
            if (auto p = NumberField(h, "PresetIndex", b, 255, preset); !p.empty()) return "HomePosition " + p;
            seen += ", ResetTime " + reset + " s, PresetIndex " + preset;
        }
        return std::string();
    });
}

CheckResult CheckGb2022CruiseList(const Observation& obs) {
    return JudgeQuery(obs, "CruiseTrackListQuery", [](const ManscdpBody& b, const std::string&, std::string& seen) {
        const XMLNode l = b.root.ChildByName("CruiseTrackList");
        if (l.IsEmpty()) return std::string("no CruiseTrackList");
        std::vector<XMLNode> tracks;
        if (auto p = CountedList(l, "CruiseTrackList", "CruiseTrack", tracks); !p.empty()) return p;
        std::string numbers;
        for (std::size_t i = 0; i < tracks.size(); ++i) {
            std::string n;
            if (auto p = NumberField(tracks[i], "Number", b, 255, n); !p.empty())
                return "CruiseTrack " + std::to_string(i + 1) + ": " + p;
            numbers += (i ? ", " : "") + n;
        }
        seen = Counted(tracks.size(), "cruise track", "cruise tracks") +
               (numbers.empty() ? std::string() : " (" + numbers + ")");
        return std::string();
    });
}

CheckResult CheckGb2022CruiseTrack(const Observation& obs) {
    return JudgeQuery(obs, "CruiseTrackQuery", [](const ManscdpBody& b, const std::string&, std::string& seen) {
        const XMLNode t = b.root.ChildByName("CruiseTrack");
        if (t.IsEmpty()) return std::string("no CruiseTrack");
        std::vector<XMLNode> points;
        if (auto p = CountedList(t, "CruiseTrack", "CruisePoint", points); !p.empty()) return p;
        for (std::size_t i = 0; i < points.size(); ++i) {
            std::string preset;
            if (auto p = NumberField(points[i], "PresetIndex", b, 255, preset); !p.empty())
                return "CruisePoint " + std::to_string(i + 1) + ": " + p;
        }
        seen = "cruise track " + BodyValueText(b, ChildText(b.root, "Number")) + ": " +
               Counted(points.size(), "point", "points");
        return std::string();
    });
}

CheckResult CheckGb2022PtzPosition(const Observation& obs) {
    return JudgeQuery(obs, "PTZPosition", [](const ManscdpBody& b, const std::string&, std::string& seen) {
        struct Axis {
            const char* name;
            double lo, hi;
        };
        // Pan a full turn, tilt from below the horizon to straight up, zoom 1x and up.
        const Axis axes[] = {{"Pan", 0, 360}, {"Tilt", -90, 90}, {"Zoom", 1, 100000}};
        // After the Result as most devices answer, or inside PTZPosInfo.
        const XMLNode info = b.root.ChildByName("PTZPosInfo");
        const XMLNode& at = info.IsEmpty() ? b.root : info;
        for (const Axis& a : axes) {
            bool has = false;
            const std::string v = ChildText(at, a.name, &has);
            if (!has || v.empty()) return std::string("no ") + a.name;
            if (!Decimal(v, a.lo, a.hi))
                return std::string(a.name) + " \"" + BodyValueText(b, v) + "\" is not a number from " +
                       std::to_string(static_cast<int>(a.lo)) + " to " + std::to_string(static_cast<int>(a.hi));
            seen += (seen.empty() ? "" : ", ") + std::string(a.name) + " " + v;
        }
        return std::string();
    });
}

CheckResult CheckGb2022SdCard(const Observation& obs) {
    return JudgeQuery(obs, "SDCardStatus", [](const ManscdpBody& b, const std::string&, std::string& seen) {
        // Devices answer SumNum and SDCardStatusInfo; SDCardList Num="N" is read too.
        std::vector<XMLNode> cards;
        if (const XMLNode info = b.root.ChildByName("SDCardStatusInfo"); !info.IsEmpty()) {
            if (info.AttributeValue("Num")) {
                if (auto p = CountedList(info, "SDCardStatusInfo", "Item", cards); !p.empty()) return p;
            } else {
                int cursor = 0;
                for (XMLNode i = info.ChildByName("Item", &cursor); !i.IsEmpty();
                     i = info.ChildByName("Item", &cursor))
                    cards.push_back(i);
                bool has = false;
                const std::string sum = ChildText(b.root, "SumNum", &has);
                long n = -1;
                if (!has || !ParseLong(sum.c_str(), &n) || n < 0)
                    return std::string("SDCardStatusInfo without SumNum");
                if (static_cast<std::size_t>(n) != cards.size())
                    return "SumNum " + sum + " but SDCardStatusInfo holds " + std::to_string(cards.size()) +
                           " Item";
            }
        } else {
            const XMLNode l = b.root.ChildByName("SDCardList");
            if (l.IsEmpty()) return std::string("no SDCardStatusInfo");
            if (auto p = CountedList(l, "SDCardList", "Item", cards); !p.empty()) return p;
        }
        std::string states;
        for (std::size_t i = 0; i < cards.size(); ++i) {
            std::string id;
            if (auto p = NumberField(cards[i], "ID", b, 255, id); !p.empty())
                return "card " + std::to_string(i + 1) + ": " + p;
            bool has = false;
            const std::string st = ChildText(cards[i], "Status", &has);
            if (!has || st.empty()) return "card " + id + ": no Status";
            states += (i ? ", " : "") + id + " " + BodyValueText(b, st);
        }
        seen = Counted(cards.size(), "storage card", "storage cards") +
               (states.empty() ? std::string() : " (" + states + ")");
        return std::string();
    });
}

} // namespace tarvex::check
