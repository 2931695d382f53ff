#include "app/shell/LogFilter.h"
#include "app/core/SipText.h"

#include <cctype>
#include <cstdlib>
#include <vector>

namespace tarvex::logfilter {

using tarvex::siptext::MethodOf;
using tarvex::siptext::HeaderValue;
using tarvex::siptext::StatusOf;

namespace {

enum class Field { Dev, Cmd, Method, Status, Dir, CallId, Peer, Text };
enum class Op { Eq, Ne, Contains, Lt, Le, Gt, Ge, Has };

// ASCII case only: the texts are UTF-8, whose other bytes have no case here.
inline unsigned char Lower(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

bool IEquals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(static_cast<unsigned char>(a[i])) != Lower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool IContains(std::string_view hay, std::string_view needle) {
    if (needle.empty()) return true;
    if (needle.size() > hay.size()) return false;
    const unsigned char first = Lower(static_cast<unsigned char>(needle[0]));
    const std::size_t last = hay.size() - needle.size();
    for (std::size_t i = 0; i <= last; ++i)
        if (Lower(static_cast<unsigned char>(hay[i])) == first &&
            IEquals(hay.substr(i + 1, needle.size() - 1), needle.substr(1)))
            return true;
    return false;
}

std::string_view Trimmed(std::string_view v) {
    while (!v.empty() && std::isspace(static_cast<unsigned char>(v.front()))) v.remove_prefix(1);
    while (!v.empty() && std::isspace(static_cast<unsigned char>(v.back()))) v.remove_suffix(1);
    return v;
}

// Whether fn is true for the text of any element <name>…</name> of body
// (open and close are the two tags), in order; nothing is allocated.
template <class Fn> bool AnyElement(std::string_view body, std::string_view open, std::string_view close, Fn fn) {
    std::size_t at = 0;
    while ((at = body.find(open, at)) != std::string_view::npos) {
        const std::size_t from = at + open.size();
        const std::size_t to = body.find(close, from);
        if (to == std::string_view::npos) break;
        if (fn(Trimmed(body.substr(from, to - from)))) return true;
        at = to + close.size();
    }
    return false;
}

} // namespace

struct Filter::Node {
    enum Kind { And, Or, Not, Term } kind = Term;
    std::unique_ptr<Node> a, b;
    Field field = Field::Text;
    Op op = Op::Has;
    std::string value;
    int number = 0;
    std::string open, close; // the element a dev or cmd term reads ("<DeviceID>", "</DeviceID>")

    bool Eval(const RowFields& r) const {
        switch (kind) {
        case And: return a->Eval(r) && b->Eval(r);
        case Or: return a->Eval(r) || b->Eval(r);
        case Not: return !a->Eval(r);
        case Term: break;
        }
        return EvalTerm(r);
    }

    bool Compare(std::string_view have) const {
        switch (op) {
        case Op::Eq: return IEquals(have, value);
        case Op::Ne: return !IEquals(have, value);
        default: return IContains(have, value);
        }
    }

    bool EvalTerm(const RowFields& r) const {
        switch (field) {
        case Field::Text: {
            const bool has = IContains(r.head, value) || IContains(r.body, value) ||
                             IContains(r.deviceId, value);
            return op == Op::Ne ? !has : has;
        }
        case Field::Dev: {
            // The row's device, or any device or channel the body names.
            const bool any = Compare(r.deviceId);
            if (op == Op::Ne)
                return any && !AnyElement(r.body, open, close, [&](std::string_view v) { return !Compare(v); });
            return any || AnyElement(r.body, open, close, [&](std::string_view v) { return Compare(v); });
        }
        case Field::Cmd: {
            // The first CmdType only.
            std::string_view first;
            AnyElement(r.body, open, close, [&](std::string_view v) {
                first = v;
                return true;
            });
            return Compare(first);
        }
        case Field::Method: return Compare(MethodOf(r.head));
        case Field::CallId: return Compare(HeaderValue(r.head, "Call-ID", "i"));
        case Field::Peer: {
            // host:port, or the host alone (the part before the last colon).
            const std::size_t colon = r.peer.rfind(':');
            const std::string_view host = colon == std::string_view::npos ? r.peer : r.peer.substr(0, colon);
            if (op == Op::Eq) return Compare(r.peer) || Compare(host);
            if (op == Op::Ne) return Compare(r.peer) && Compare(host);
            return Compare(r.peer);
        }
        case Field::Dir: {
            const std::string_view d = r.direction == 1 ? "sent" : r.direction == 2 ? "received" : "";
            return Compare(d);
        }
        case Field::Status: {
            const int s = StatusOf(r.head);
            if (s < 0) return op == Op::Ne;
            switch (op) {
            case Op::Eq: return s == number;
            case Op::Ne: return s != number;
            case Op::Lt: return s < number;
            case Op::Le: return s <= number;
            case Op::Gt: return s > number;
            case Op::Ge: return s >= number;
            default: return std::to_string(s).find(value) != std::string::npos;
            }
        }
        }
        return false;
    }
};

namespace {

struct Token {
    enum Kind { Word, Quoted, AndT, OrT, NotT, Open, Close, OpT, End } kind = End;
    std::string text;
};

bool Lex(std::string_view s, std::vector<Token>& out, std::string* error) {
    std::size_t i = 0;
    auto word = [](char c) {
        return !std::isspace(static_cast<unsigned char>(c)) && c != '(' && c != ')' && c != '!' &&
               c != '=' && c != '<' && c != '>' && c != '&' && c != '|' && c != '"' && c != '~';
    };
    while (i < s.size()) {
        const char c = s[i];
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
        } else if (s.substr(i, 2) == "&&") {
            out.push_back({Token::AndT, "&&"});
            i += 2;
        } else if (s.substr(i, 2) == "||") {
            out.push_back({Token::OrT, "||"});
            i += 2;
        } else if (s.substr(i, 2) == "==" || s.substr(i, 2) == "!=" || s.substr(i, 2) == "<=" ||
                   s.substr(i, 2) == ">=") {
            out.push_back({Token::OpT, std::string(s.substr(i, 2))});
            i += 2;
        } else if (c == '<' || c == '>' || c == '~') {
            out.push_back({Token::OpT, std::string(1, c)});
            ++i;
        } else if (c == '!') {
            out.push_back({Token::NotT, "!"});
            ++i;
        } else if (c == '(' || c == ')') {
            out.push_back({c == '(' ? Token::Open : Token::Close, std::string(1, c)});
            ++i;
        } else if (c == '"') {
            std::string t;
            ++i;
            while (i < s.size() && s[i] != '"') {
                if (s[i] == '\\' && i + 1 < s.size()) ++i;
                t += s[i++];
            }
            if (i >= s.size()) {
                if (error) *error = "a quoted text has no closing \"";
                return false;
            }
            ++i;
            out.push_back({Token::Quoted, t});
        } else if (word(c) || static_cast<unsigned char>(c) >= 0x80) {
            std::size_t j = i;
            while (j < s.size() && (word(s[j]) || static_cast<unsigned char>(s[j]) >= 0x80)) ++j;
            const std::string w(s.substr(i, j - i));
            if (IEquals(w, "and")) out.push_back({Token::AndT, w});
            else if (IEquals(w, "or")) out.push_back({Token::OrT, w});
            else if (IEquals(w, "not")) out.push_back({Token::NotT, w});
            else if (IEquals(w, "contains")) out.push_back({Token::OpT, "~"});
            else out.push_back({Token::Word, w});
            i = j;
        } else {
            if (error) *error = std::string("unexpected '") + c + "'";
            return false;
        }
    }
    out.push_back({Token::End, ""});
    return true;
}

class Parser {
public:
    Parser(std::vector<Token> t, std::string* error) : t_(std::move(t)), error_(error) {}
    std::unique_ptr<Filter::Node> Parse() {
        auto n = Or();
        if (n && t_[pos_].kind != Token::End) return Fail("unexpected \"" + t_[pos_].text + "\"");
        return n;
    }

private:
    using NodeP = std::unique_ptr<Filter::Node>;
    NodeP Fail(const std::string& why) {
        if (error_ && error_->empty()) *error_ = why;
        return nullptr;
    }
    NodeP Join(Filter::Node::Kind k, NodeP a, NodeP b) {
        auto n = std::make_unique<Filter::Node>();
        n->kind = k;
        n->a = std::move(a);
        n->b = std::move(b);
        return n;
    }
    NodeP Or() {
        NodeP a = And();
        while (a && t_[pos_].kind == Token::OrT) {
            ++pos_;
            NodeP b = And();
            if (!b) return nullptr;
            a = Join(Filter::Node::Or, std::move(a), std::move(b));
        }
        return a;
    }
    NodeP And() {
        NodeP a = Unary();
        while (a && t_[pos_].kind == Token::AndT) {
            ++pos_;
            NodeP b = Unary();
            if (!b) return nullptr;
            a = Join(Filter::Node::And, std::move(a), std::move(b));
        }
        return a;
    }
    NodeP Unary() {
        if (t_[pos_].kind == Token::NotT) {
            ++pos_;
            NodeP a = Unary();
            if (!a) return nullptr;
            return Join(Filter::Node::Not, std::move(a), nullptr);
        }
        if (t_[pos_].kind == Token::Open) {
            ++pos_;
            NodeP a = Or();
            if (!a) return nullptr;
            if (t_[pos_].kind != Token::Close) return Fail("a \"(\" is not closed");
            ++pos_;
            return a;
        }
        return Term();
    }
    NodeP Term() {
        const Token& first = t_[pos_];
        if (first.kind != Token::Word && first.kind != Token::Quoted)
            return Fail(first.kind == Token::End ? "the filter ends too early"
                                                 : "unexpected \"" + first.text + "\"");
        ++pos_;
        auto n = std::make_unique<Filter::Node>();
        if (first.kind == Token::Quoted || t_[pos_].kind != Token::OpT) {
            n->field = Field::Text; // a bare word: the row contains it
            n->op = Op::Has;
            n->value = first.text;
            return n;
        }
        static const struct { const char* name; Field f; } kFields[] = {
            {"dev", Field::Dev},       {"device", Field::Dev},  {"channel", Field::Dev},
            {"cmd", Field::Cmd},       {"cmdtype", Field::Cmd}, {"method", Field::Method},
            {"status", Field::Status}, {"code", Field::Status}, {"dir", Field::Dir},
            {"callid", Field::CallId}, {"peer", Field::Peer},  {"text", Field::Text}};
        bool known = false;
        for (const auto& k : kFields)
            if (IEquals(first.text, k.name)) {
                n->field = k.f;
                known = true;
            }
        if (!known) return Fail("unknown field \"" + first.text + "\" (dev, cmd, method, status, dir, callid, peer, text)");
        const std::string op = t_[pos_++].text;
        n->op = op == "==" ? Op::Eq : op == "!=" ? Op::Ne : op == "~" ? Op::Contains
              : op == "<" ? Op::Lt : op == "<=" ? Op::Le : op == ">" ? Op::Gt : Op::Ge;
        if (t_[pos_].kind != Token::Word && t_[pos_].kind != Token::Quoted)
            return Fail("\"" + first.text + " " + op + "\" needs a value");
        n->value = t_[pos_++].text;
        if (n->field == Field::Text && n->op != Op::Ne) n->op = Op::Has;
        if (n->field == Field::Dev || n->field == Field::Cmd) {
            const char* element = n->field == Field::Dev ? "DeviceID" : "CmdType";
            n->open = std::string("<") + element + ">";
            n->close = std::string("</") + element + ">";
        }
        if (n->field == Field::Dir) {
            if (n->value == "→" || IEquals(n->value, "out") || IEquals(n->value, "tx")) n->value = "sent";
            if (n->value == "←" || IEquals(n->value, "in") || IEquals(n->value, "rx")) n->value = "received";
            if (!IEquals(n->value, "sent") && !IEquals(n->value, "received"))
                return Fail("dir is sent or received, not \"" + n->value + "\"");
        }
        const bool ordered = n->op == Op::Lt || n->op == Op::Le || n->op == Op::Gt || n->op == Op::Ge;
        if (n->field == Field::Status && n->op != Op::Contains) {
            char* end = nullptr;
            n->number = static_cast<int>(std::strtol(n->value.c_str(), &end, 10));
            if (n->value.empty() || *end) return Fail("status takes a number, not \"" + n->value + "\"");
        } else if (ordered) {
            return Fail("\"" + op + "\" compares status codes only");
        }
        return n;
    }

    std::vector<Token> t_;
    std::size_t pos_ = 0;
    std::string* error_;
};

} // namespace

Filter::Filter() = default;
Filter::~Filter() = default;
Filter::Filter(Filter&&) noexcept = default;
Filter& Filter::operator=(Filter&&) noexcept = default;

bool Filter::Compile(std::string_view text, std::string* error) {
    if (error) error->clear();
    std::vector<Token> tokens;
    if (!Lex(text, tokens, error)) return false;
    if (tokens.size() == 1) {
        root_.reset();
        return true;
    }
    std::string why;
    Parser p(std::move(tokens), &why);
    auto root = p.Parse();
    if (!root) {
        if (error) *error = why;
        return false;
    }
    root_ = std::move(root);
    return true;
}

bool Filter::Empty() const { return !root_; }

bool Filter::Matches(const RowFields& row) const { return !root_ || root_->Eval(row); }

} // namespace tarvex::logfilter
