// Finding things in an observation: requests and their answers, queries and the
// MANSCDP answers that belong to them, lists spread over several answers.
#pragma once

#include "check/battery/CheckResult.h"
#include "check/battery/Observation.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tarvex::check {

// Indexes of the messages for which pred holds, in order.
std::vector<int> Select(const Observation& obs,
                        const std::function<bool(const ObservedMessage&)>& pred);

// The first final (>= 200) response in the other direction that answers the
// request at index request; -1 when none did.
int FinalResponseTo(const Observation& obs, int request);

// A short label of a message for evidence: "REGISTER", "200 OK",
// "MESSAGE Catalog Response SN 11".
std::string Describe(const ObservedMessage& m);

// MANSCDP requests Tarvex sent (MESSAGE with a Query or Control body) and the
// Response MESSAGEs that answer them. A Response belongs to the latest earlier
// request of its CmdType with its SN; one whose SN matches no request is given
// to the latest earlier request of its CmdType that has no answer of its own SN
// (so that a wrong SN is seen as a wrong SN, not as a missing answer).
struct QueryAnswers {
    int request = -1;
    std::vector<int> answers; // in order
    bool snMatches = true;    // false when the answers came with another SN
};
struct Pairing {
    std::vector<QueryAnswers> requests;
    std::vector<int> orphans; // Responses no request of their CmdType preceded
};
Pairing PairAnswers(const Observation& obs);
// Cites the request as "query" and each of its answers as "answer".
CheckResult& CiteQuery(CheckResult& r, const QueryAnswers& qa);

// The requests of one root ("Query" or "Control") and CmdType, with their answers.
std::vector<QueryAnswers> AnswersOf(const Observation& obs, const char* root, const char* cmdType);

// Verdict of a check whose query went unanswered (fail) or was answered Result
// ERROR (not supported for an optional query, else fail), or nothing when the
// answers can be judged. Shared so that the query checks word these alike.
std::optional<CheckResult> UnansweredQuery(const Observation& obs, const QueryAnswers& qa,
                                           const char* cmdType, bool optional = false);

// A list of items (Catalog's DeviceList, RecordInfo's RecordList) spread over
// the answers of one query, with SumNum and Num read and compared.
struct ItemRef {
    int message = -1;
    XMLNode item;
};
struct AnswerList {
    std::string problem; // empty when SumNum and every Num agree with the items
    int problemMessage = -1;
    long sumNum = -1;
    std::vector<ItemRef> items;
};
AnswerList ReadAnswerList(const Observation& obs, const std::vector<int>& answers,
                          const char* listName);

// "1 query", "3 queries".
std::string Counted(std::uint64_t n, const char* one, const char* many);

// A text taken from a body, as UTF-8 for reasons and the report: decoded by the
// body's declared encoding, as TextCodec::BodyToUtf8 decodes whole bodies.
std::string BodyValueText(const ManscdpBody& body, const std::string& bytes);

// The fields an answer must (or may) carry, and the check of them that the
// DeviceInfo and DeviceStatus checks share: each rule's element present (when
// required) and, when present, one of the values (any non-empty text when
// none are listed), a whole number, or a MANSCDP time.
struct FieldRule {
    const char* name;
    bool required = true;
    std::vector<const char*> values = {};
    enum Kind { kText, kNumber, kTime } kind = kText;
};
CheckResult CheckAnswerFields(const Observation& obs, const char* cmdType,
                              const std::vector<FieldRule>& rules);

// MANSCDP time: "%Y-%m-%dT%H:%M:%S" with an optional fraction, fields in range.
bool IsManscdpTime(std::string_view text);
// YYYYMMDDhhmmss of a time text that IsManscdpTime accepts, for comparisons.
std::int64_t TimeKey(std::string_view text);

} // namespace tarvex::check
