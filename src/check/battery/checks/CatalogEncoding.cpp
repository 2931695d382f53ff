// Catalog names in the declared encoding: the bytes of every Name decode
// strictly in the encoding the body's XML declaration names (GB2312, GBK and
// GB18030 all as GB18030, as devices that declare GB2312 send GBK), or as UTF-8
// without a declaration. A Name declared GB but valid UTF-8 with non-ASCII
// bytes is taken as UTF-8 sent under the wrong declaration.
#include "base/TextCodec.h"
#include "check/battery/Exchange.h"
#include "check/battery/SipText.h"

namespace tarvex::check {
namespace {

bool IsGbFamily(const std::string& enc) {
    const std::string e = Lower(enc);
    return e == "gb2312" || e == "gbk" || e == "gb18030" || e == "gb_2312-80" || e == "cp936";
}

// "" when name is good text in enc.
std::string NameProblem(const std::string& name, const std::string& enc) {
    if (!TextCodec::HasNonAscii(name)) return {};
    if (enc.empty() || EqualsNoCase(enc, "UTF-8") || EqualsNoCase(enc, "UTF8"))
        return TextCodec::IsValidUtf8(name) ? "" : "is not UTF-8";
    if (IsGbFamily(enc)) {
        if (TextCodec::IsValidUtf8(name)) return "is UTF-8, not " + enc;
        return TextCodec::Convert(name, "GB18030", "UTF-8") ? "" : "is not " + enc;
    }
    return TextCodec::Convert(name, enc.c_str(), "UTF-8") ? "" : "is not " + enc;
}

} // namespace

CheckResult CheckCatalogEncoding(const Observation& obs) {
    std::size_t names = 0, nonAscii = 0;
    std::string encodings;
    int answers = 0;
    for (const QueryAnswers& qa : AnswersOf(obs, "Query", "Catalog")) {
        for (int a : qa.answers) {
            ++answers;
            const ManscdpBody& b = obs.messages[static_cast<std::size_t>(a)].manscdp;
            const std::string enc = b.encoding;
            if (encodings.find(enc.empty() ? "none" : enc) == std::string::npos)
                encodings +=
                    (encodings.empty() ? "" : ", ") + (enc.empty() ? std::string("none") : enc);
            const XMLNode list = b.root.ChildByName("DeviceList");
            for (int i = 0; i < list.ChildCount(); ++i) {
                bool has = false;
                const XMLNode item = list.ChildAt(i);
                const std::string name = ChildText(item, "Name", &has);
                if (!has) continue;
                ++names;
                if (TextCodec::HasNonAscii(name)) ++nonAscii;
                const std::string problem = NameProblem(name, enc);
                if (!problem.empty())
                    return CheckResult::Make(Verdict::Fail,
                                             "Name of " + ChildText(item, "DeviceID") + " " +
                                                 problem +
                                                 (enc.empty() ? " (no encoding declared)"
                                                              : " (declared " + enc + ")"))
                        .Cite(a, "answer");
            }
        }
    }
    if (answers == 0) return CheckResult::Make(Verdict::NotRun, "no Catalog answer to look at");
    if (names == 0) return CheckResult::Make(Verdict::NotRun, "the Catalog answers hold no Name");
    return CheckResult::Make(Verdict::Pass, Counted(names, "name", "names") +
                                                " valid in the declared encoding (" + encodings +
                                                "), " + std::to_string(nonAscii) +
                                                " of them non-ASCII")
        .Measure("names", static_cast<double>(names))
        .Measure("non_ascii_names", static_cast<double>(nonAscii));
}

} // namespace tarvex::check
