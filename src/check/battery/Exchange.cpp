#include "check/battery/Exchange.h"

#include "base/TextCodec.h"
#include "check/battery/SipText.h"

#include <map>

namespace tarvex::check {
namespace {

bool IsManscdpRequest(const ObservedMessage& m) {
    return m.Sent() && m.IsRequest("MESSAGE") && m.manscdp.hasSn &&
           (EqualsNoCase(m.manscdp.rootName, "Query") ||
            EqualsNoCase(m.manscdp.rootName, "Control") ||
            // The Broadcast notification is answered with a Response too.
            EqualsNoCase(m.manscdp.rootName, "Notify"));
}

bool IsManscdpResponse(const ObservedMessage& m) {
    return m.Received() && m.IsRequest("MESSAGE") && EqualsNoCase(m.manscdp.rootName, "Response");
}

} // namespace

std::vector<int> Select(const Observation& obs,
                        const std::function<bool(const ObservedMessage&)>& pred) {
    std::vector<int> out;
    for (std::size_t i = 0; i < obs.messages.size(); ++i)
        if (pred(obs.messages[i])) out.push_back(static_cast<int>(i));
    return out;
}

int FinalResponseTo(const Observation& obs, int request) {
    const ObservedMessage& req = obs.messages[static_cast<std::size_t>(request)];
    for (std::size_t i = static_cast<std::size_t>(request) + 1; i < obs.messages.size(); ++i) {
        const ObservedMessage& m = obs.messages[i];
        if (m.direction != req.direction && m.sip.status >= 200 && m.Answers(req))
            return static_cast<int>(i);
    }
    return -1;
}

std::string Describe(const ObservedMessage& m) {
    std::string s;
    if (!m.sip.valid)
        s = "unreadable message";
    else if (m.sip.isRequest)
        s = m.sip.method;
    else
        s = std::to_string(m.sip.status) + (m.sip.reason.empty() ? "" : " " + m.sip.reason);
    if (!m.manscdp.rootName.empty()) {
        s += " " + (m.manscdp.cmdType.empty() ? std::string("?") : m.manscdp.cmdType) + " " +
             m.manscdp.rootName;
        if (m.manscdp.hasSn) s += " SN " + m.manscdp.sn;
    }
    return s;
}

Pairing PairAnswers(const Observation& obs) {
    Pairing p;
    std::map<int, std::size_t> slot; // request message -> its entry
    for (int i : Select(obs, IsManscdpRequest)) {
        slot[i] = p.requests.size();
        p.requests.push_back({i, {}, true});
    }
    const auto sameCmd = [&](int a, int b) {
        return obs.messages[static_cast<std::size_t>(a)].manscdp.cmdType ==
               obs.messages[static_cast<std::size_t>(b)].manscdp.cmdType;
    };
    std::vector<int> unmatched;
    for (int r : Select(obs, IsManscdpResponse)) {
        const ObservedMessage& resp = obs.messages[static_cast<std::size_t>(r)];
        int best = -1;
        for (const auto& qa : p.requests)
            if (qa.request < r && sameCmd(qa.request, r) &&
                obs.messages[static_cast<std::size_t>(qa.request)].manscdp.sn == resp.manscdp.sn)
                best = qa.request;
        if (best >= 0)
            p.requests[slot[best]].answers.push_back(r);
        else
            unmatched.push_back(r);
    }
    for (int r : unmatched) {
        int best = -1;
        for (const auto& qa : p.requests)
            if (qa.request < r && sameCmd(qa.request, r) && (qa.answers.empty() || !qa.snMatches))
                best = qa.request;
        if (best < 0) {
            p.orphans.push_back(r);
            continue;
        }
        QueryAnswers& qa = p.requests[slot[best]];
        qa.snMatches = false;
        qa.answers.push_back(r);
    }
    return p;
}

CheckResult& CiteQuery(CheckResult& r, const QueryAnswers& qa) {
    r.Cite(qa.request, "query");
    for (int a : qa.answers)
        r.Cite(a, "answer");
    return r;
}

std::vector<QueryAnswers> AnswersOf(const Observation& obs, const char* root, const char* cmdType) {
    std::vector<QueryAnswers> out;
    for (auto& qa : PairAnswers(obs).requests)
        if (obs.messages[static_cast<std::size_t>(qa.request)].manscdp.Is(root, cmdType))
            out.push_back(std::move(qa));
    return out;
}

std::optional<CheckResult> UnansweredQuery(const Observation& obs, const QueryAnswers& qa,
                                           const char* cmdType, bool optional) {
    const ObservedMessage& q = obs.messages[static_cast<std::size_t>(qa.request)];
    if (qa.answers.empty()) {
        CheckResult r = CheckResult::Make(
            Verdict::Fail, std::string("no ") + cmdType + " answer to the query of SN " +
                               q.manscdp.sn + " within the observation");
        r.Cite(qa.request, "query");
        const int ok = FinalResponseTo(obs, qa.request);
        if (ok >= 0) r.Cite(ok, "the only answer");
        return r;
    }
    for (int a : qa.answers) {
        const ObservedMessage& m = obs.messages[static_cast<std::size_t>(a)];
        bool has = false;
        const std::string result = ChildText(m.manscdp.root, "Result", &has);
        if (has && EqualsNoCase(result, "ERROR")) {
            CheckResult r = CheckResult::Make(optional ? Verdict::NotSupported : Verdict::Fail,
                                              std::string(cmdType) + " answered Result ERROR");
            r.Cite(qa.request, "query").Cite(a, "answer");
            return r;
        }
    }
    return std::nullopt;
}

AnswerList ReadAnswerList(const Observation& obs, const std::vector<int>& answers,
                          const char* listName) {
    AnswerList out;
    const auto fail = [&](int message, std::string problem) {
        if (out.problem.empty()) {
            out.problem = std::move(problem);
            out.problemMessage = message;
        }
    };
    for (int a : answers) {
        const ManscdpBody& b = obs.messages[static_cast<std::size_t>(a)].manscdp;
        bool has = false;
        const std::string sumText = ChildText(b.root, "SumNum", &has);
        long sum = -1;
        if (!has)
            fail(a, "answer without SumNum");
        else if (!ParseLong(sumText, &sum) || sum < 0)
            fail(a, "SumNum \"" + sumText + "\" is not a count");
        else if (out.sumNum >= 0 && sum != out.sumNum)
            fail(a, "SumNum " + std::to_string(sum) + " differs from " +
                        std::to_string(out.sumNum) + " of an earlier message");
        if (out.sumNum < 0) out.sumNum = sum;

        XMLNode list = b.root.ChildByName(listName);
        if (list.IsEmpty()) {
            if (sum != 0) fail(a, std::string("answer without ") + listName);
            continue;
        }
        const int children = list.ChildCount();
        const char* numText = list.AttributeValue("Num");
        long num = -1;
        if (!numText)
            fail(a, std::string(listName) + " without Num attribute");
        else if (!ParseLong(numText, &num) || num != children)
            fail(a, std::string(listName) + " Num=\"" + numText + "\" but it holds " +
                        std::to_string(children) + " items");
        for (int i = 0; i < children; ++i)
            out.items.push_back({a, list.ChildAt(i)});
    }
    if (out.problem.empty() && out.sumNum >= 0 && static_cast<long>(out.items.size()) != out.sumNum)
        fail(answers.empty() ? -1 : answers.back(),
             "SumNum " + std::to_string(out.sumNum) + " but " + std::to_string(out.items.size()) +
                 " items arrived in " + std::to_string(answers.size()) +
                 (answers.size() == 1 ? " message" : " messages"));
    return out;
}

std::string Counted(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string BodyValueText(const ManscdpBody& body, const std::string& bytes) {
    const std::string enc = Lower(body.encoding);
    if (enc.rfind("gb", 0) == 0 || !TextCodec::IsValidUtf8(bytes))
        return TextCodec::GbkToUtf8(bytes);
    return bytes;
}

CheckResult CheckAnswerFields(const Observation& obs, const char* cmdType,
                              const std::vector<FieldRule>& rules) {
    const std::vector<QueryAnswers> queries = AnswersOf(obs, "Query", cmdType);
    if (queries.empty())
        return CheckResult::Make(Verdict::NotRun,
                                 std::string("Tarvex sent no ") + cmdType + " query");
    CheckResult pass = CheckResult::Make(Verdict::Pass, {});
    for (const QueryAnswers& qa : queries) {
        if (auto r = UnansweredQuery(obs, qa, cmdType)) return *r;
        const int a = qa.answers.front();
        const ManscdpBody& b = obs.messages[static_cast<std::size_t>(a)].manscdp;
        std::string seen;
        for (const FieldRule& rule : rules) {
            bool has = false;
            const std::string v = ChildText(b.root, rule.name, &has);
            std::string problem;
            long n = 0;
            if (!has || v.empty()) {
                if (rule.required)
                    problem = "no " + std::string(rule.name);
                else
                    continue;
            } else if (rule.kind == FieldRule::kNumber && (!ParseLong(v, &n) || n < 0)) {
                problem =
                    std::string(rule.name) + " \"" + BodyValueText(b, v) + "\" is not a number";
            } else if (rule.kind == FieldRule::kTime && !IsManscdpTime(v)) {
                problem = std::string(rule.name) + " \"" + BodyValueText(b, v) + "\" is not a time";
            } else if (!rule.values.empty()) {
                bool ok = false;
                std::string allowedText;
                for (std::size_t i = 0; i < rule.values.size(); ++i) {
                    ok = ok || EqualsNoCase(v, rule.values[i]);
                    allowedText += (i == 0 ? "" : i + 1 == rule.values.size() ? " or " : ", ");
                    allowedText += rule.values[i];
                }
                if (!ok)
                    problem = std::string(rule.name) + " \"" + BodyValueText(b, v) + "\" is not " +
                              allowedText;
            }
            if (!problem.empty())
                return CheckResult::Make(Verdict::Fail,
                                         std::string(cmdType) + " answer: " + problem)
                    .Cite(qa.request, "query")
                    .Cite(a, "answer");
            seen += (seen.empty() ? "" : ", ") + std::string(rule.name) + " " + BodyValueText(b, v);
        }
        pass.reason = seen;
        pass.Cite(qa.request, "query").Cite(a, "answer");
    }
    return pass;
}

bool IsManscdpTime(std::string_view t) {
    if (t.size() < 19) return false;
    static constexpr char kShape[] = "dddd-dd-ddTdd:dd:dd";
    for (std::size_t i = 0; i < 19; ++i) {
        const bool digit = t[i] >= '0' && t[i] <= '9';
        if (kShape[i] == 'd' ? !digit : t[i] != kShape[i]) return false;
    }
    if (t.size() > 19) {
        if (t[19] != '.' || t.size() == 20) return false;
        for (std::size_t i = 20; i < t.size(); ++i)
            if (t[i] < '0' || t[i] > '9') return false;
    }
    const auto num = [&](std::size_t at, std::size_t n) {
        int v = 0;
        for (std::size_t i = at; i < at + n; ++i)
            v = v * 10 + (t[i] - '0');
        return v;
    };
    const int y = num(0, 4), mo = num(5, 2), d = num(8, 2);
    static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (mo < 1 || mo > 12 || d < 1 || d > kDays[mo - 1]) return false;
    if (mo == 2 && d == 29 && !(y % 4 == 0 && (y % 100 != 0 || y % 400 == 0))) return false;
    return num(11, 2) < 24 && num(14, 2) < 60 && num(17, 2) < 60;
}

std::int64_t TimeKey(std::string_view t) {
    std::int64_t v = 0;
    for (std::size_t i = 0; i < 19 && i < t.size(); ++i)
        if (t[i] >= '0' && t[i] <= '9') v = v * 10 + (t[i] - '0');
    return v;
}

} // namespace tarvex::check
