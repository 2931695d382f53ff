#include "manscdp/xml/XMLNode.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <vector>

// Kinds of the content order entries: index * 4 + kind.
enum : int { kKindChild = 0, kKindText = 2, kKindSection = 3 };

struct XMLNodeBody {
    std::string name;
    bool hasName = false;
    bool declaration = false;
    XMLNodeBody* parent = nullptr;      // not owning
    std::vector<XMLNodeBody*> children; // each holds one reference
    std::vector<std::string> texts;
    std::vector<XMLSection> sections;
    std::vector<XMLAttrib> attributes;
    // Document order of the content, index * 4 + kind. Kept only once the content
    // mixes kinds; until then it is the order of the one array in use.
    std::vector<int> order;
    bool mixed = false;
    int refs = 0;

    std::size_t ContentSize() const {
        return mixed ? order.size() : children.size() + texts.size() + sections.size();
    }
    int SingleKind() const {
        return !children.empty() ? kKindChild : !texts.empty() ? kKindText : kKindSection;
    }
    int EntryAt(std::size_t pos) const {
        return mixed ? order[pos] : static_cast<int>(pos) * 4 + SingleKind();
    }
    // Records an item of kind about to be appended to its array.
    void NoteContent(int kind) {
        const std::size_t index = kind == kKindChild  ? children.size()
                                  : kind == kKindText ? texts.size()
                                                      : sections.size();
        if (!mixed) {
            const std::size_t n = ContentSize();
            if (n == 0 || SingleKind() == kind) return;
            const int k = SingleKind();
            order.reserve(n + 8);
            for (std::size_t i = 0; i < n; ++i)
                order.push_back(static_cast<int>(i) * 4 + k);
            mixed = true;
        }
        order.push_back(static_cast<int>(index) * 4 + kind);
    }
};

namespace {

struct SectionKind {
    const char* open;
    std::size_t length;
    const char* close;
};
constexpr SectionKind kSections[] = {
    {"<![CDATA[", 9, "]]>"},
    {"<!DOCTYPE", 9, ">"},
    {"<!--", 4, "-->"},
    {"<PRE>", 5, "</PRE>"},
};
constexpr int kDoctype = 1;
constexpr int kComment = 2;

struct Entity {
    const char* text;
    std::size_t length;
    char ch;
};
constexpr Entity kEntities[] = {
    {"&amp;", 5, '&'}, {"&lt;", 4, '<'}, {"&gt;", 4, '>'}, {"&quot;", 6, '"'}, {"&apos;", 6, '\''},
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// ASCII bytes that end a text token (a slash only when ">" follows it).
struct StopTable {
    bool t[128] = {};
    constexpr StopTable() {
        for (char c : {'\0', ' ', '\t', '\r', '\n', '<', '>', '='})
            t[static_cast<int>(c)] = true;
    }
    constexpr bool operator[](unsigned char c) const { return t[c]; }
};
constexpr StopTable kStopsText;

// Steps over one character. The length comes from the UTF-8 lead byte, but only
// continuation bytes are taken after it: GBK text (a lead byte followed by an
// ASCII trail or by markup) is then never swallowed past a "<" or the end.
const char* Step(const char* p) {
    const auto c = static_cast<unsigned char>(*p);
    int n = 1;
    if (c >= 0xC2 && c <= 0xDF)
        n = 2;
    else if (c >= 0xE0 && c <= 0xEF)
        n = 3;
    else if (c >= 0xF0 && c <= 0xF4)
        n = 4;
    ++p;
    for (int k = 1; k < n && (static_cast<unsigned char>(*p) & 0xC0) == 0x80; ++k)
        ++p;
    return p;
}

void AddRef(XMLNodeBody* b) {
    if (b) ++b->refs;
}

// Drops one reference; at zero the body and every child nobody else holds are freed.
// Iterative, so freeing a deep tree needs no deep stack.
void Release(XMLNodeBody* b) {
    if (!b || --b->refs > 0) return;
    // A body with a parent is held by the parent's reference, so it never gets here
    // attached; its children outlive it only through handles of their own.
    std::vector<XMLNodeBody*> doomed{b};
    while (!doomed.empty()) {
        XMLNodeBody* d = doomed.back();
        doomed.pop_back();
        for (XMLNodeBody* c : d->children) {
            c->parent = nullptr;
            if (--c->refs == 0) doomed.push_back(c);
        }
        delete d;
    }
}

XMLNodeBody* NewBody(const char* name, std::size_t len, bool declaration) {
    auto* b = new XMLNodeBody;
    if (name) {
        b->name.assign(name, len);
        b->hasName = true;
    }
    b->declaration = declaration;
    return b;
}

void AppendChild(XMLNodeBody* parent, XMLNodeBody* child) {
    child->parent = parent;
    ++child->refs; // the parent's reference
    parent->NoteContent(kKindChild);
    if (parent->children.empty()) parent->children.reserve(4);
    parent->children.push_back(child);
}

bool SameName(const char* a, const char* b) {
    return a && b && strcasecmp(a, b) == 0;
}

} // namespace

// ---- handle -------------------------------------------------------------

XMLNode::XMLNode(XMLNodeBody* b) : body_(b) {
    AddRef(b);
}
XMLNode::XMLNode(const XMLNode& o) : body_(o.body_) {
    AddRef(body_);
}
XMLNode::~XMLNode() {
    Release(body_);
}

XMLNode& XMLNode::operator=(const XMLNode& o) {
    if (body_ == o.body_) return *this;
    AddRef(o.body_);
    XMLNodeBody* old = body_;
    body_ = o.body_;
    Release(old);
    return *this;
}

XMLNode& XMLNode::operator=(XMLNode&& o) noexcept {
    if (this == &o) return *this;
    XMLNodeBody* old = body_;
    body_ = o.body_;
    o.body_ = nullptr;
    Release(old);
    return *this;
}

// ---- building -----------------------------------------------------------

XMLNode XMLNode::CreateTop(const char* name) {
    if (!name) return {};
    return XMLNode(NewBody(name, std::strlen(name), false));
}

XMLNode XMLNode::AddChild(const char* name) {
    if (!body_ || !name) return {};
    XMLNodeBody* c = NewBody(name, std::strlen(name), false);
    AppendChild(body_, c);
    return XMLNode(c);
}

void XMLNode::AddText(const char* text) {
    if (!body_ || !text) return;
    body_->NoteContent(kKindText);
    body_->texts.emplace_back(text);
}

XMLNode XMLNode::AddTextChild(const char* name, const char* text) {
    XMLNode c = AddChild(name);
    c.AddText(text);
    return c;
}

XMLNode XMLNode::AddIntChild(const char* name, int value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%d", value);
    return AddTextChild(name, buf);
}

void XMLNode::AddNumAttribute() {
    AddAttribute("Num", "1");
}

void XMLNode::AddAttribute(const char* name, const char* value) {
    if (!body_ || !name) return;
    XMLAttrib a;
    a.name = name;
    if (value) {
        a.value = value;
        a.hasValue = true;
    }
    body_->attributes.push_back(std::move(a));
}

// ---- queries ------------------------------------------------------------

XMLNode XMLNode::ChildByName(const char* name, int* cursor) const {
    if (!body_ || !name) return {};
    const int n = static_cast<int>(body_->children.size());
    for (int i = cursor && *cursor > 0 ? *cursor : 0; i < n; ++i) {
        if (SameName(body_->children[i]->name.c_str(), name)) {
            if (cursor) *cursor = i + 1;
            return XMLNode(body_->children[i]);
        }
    }
    return {};
}

XMLNode XMLNode::ChildAt(int index) const {
    if (!body_ || index < 0 || index >= static_cast<int>(body_->children.size())) return {};
    return XMLNode(body_->children[index]);
}

XMLNode XMLNode::ChildWithNum(const char* name) const {
    if (!body_ || !name) return {};
    for (XMLNodeBody* c : body_->children) {
        if (!SameName(c->name.c_str(), name)) continue;
        for (const XMLAttrib& a : c->attributes)
            if (SameName(a.name.c_str(), "Num")) return XMLNode(c);
    }
    return {};
}

const char* XMLNode::FindText(const char* name) const {
    if (!body_ || !name) return nullptr;
    std::vector<const XMLNodeBody*> stack{body_};
    while (!stack.empty()) {
        const XMLNodeBody* b = stack.back();
        stack.pop_back();
        if (b->hasName && SameName(b->name.c_str(), name))
            return b->texts.empty() ? "" : b->texts.front().c_str();
        for (auto it = b->children.rbegin(); it != b->children.rend(); ++it)
            stack.push_back(*it);
    }
    return nullptr;
}

int XMLNode::ChildCount() const {
    return body_ ? static_cast<int>(body_->children.size()) : 0;
}
const char* XMLNode::Name() const {
    return body_ ? body_->name.c_str() : "";
}
bool XMLNode::HasName() const {
    return body_ && body_->hasName;
}
bool XMLNode::IsDeclaration() const {
    return body_ && body_->declaration;
}
int XMLNode::TextCount() const {
    return body_ ? static_cast<int>(body_->texts.size()) : 0;
}

const char* XMLNode::Text(int index) const {
    if (!body_ || index < 0 || index >= static_cast<int>(body_->texts.size())) return nullptr;
    return body_->texts[index].c_str();
}

int XMLNode::AttributeCount() const {
    return body_ ? static_cast<int>(body_->attributes.size()) : 0;
}

const XMLAttrib* XMLNode::Attribute(int index) const {
    if (!body_ || index < 0 || index >= static_cast<int>(body_->attributes.size())) return nullptr;
    return &body_->attributes[index];
}

const char* XMLNode::AttributeValue(const char* name) const {
    if (!body_ || !name) return nullptr;
    for (const XMLAttrib& a : body_->attributes)
        if (SameName(a.name.c_str(), name)) return a.Value();
    return nullptr;
}

int XMLNode::SectionCount() const {
    return body_ ? static_cast<int>(body_->sections.size()) : 0;
}

const XMLSection* XMLNode::Section(int index) const {
    if (!body_ || index < 0 || index >= static_cast<int>(body_->sections.size())) return nullptr;
    return &body_->sections[index];
}

int XMLNode::ContentCount() const {
    return body_ ? static_cast<int>(body_->ContentSize()) : 0;
}

bool XMLNode::ContentAt(int position, int* kind, int* index) const {
    if (!body_ || position < 0 || position >= static_cast<int>(body_->ContentSize())) return false;
    const int e = body_->EntryAt(static_cast<std::size_t>(position));
    if (kind) *kind = e & 3;
    if (index) *index = e >> 2;
    return true;
}

XMLNode XMLNode::Parent() const {
    return body_ ? XMLNode(body_->parent) : XMLNode();
}

// ---- parsing ------------------------------------------------------------

class XMLParser {
public:
    explicit XMLParser(const char* text) : p_(text) {}

    XMLNode Run(int* outcomeOut) {
        XMLNode top(NewBody(nullptr, 0, false));
        Element(top.body_);
        XMLNodeBody* t = top.body_;
        if (outcome_ <= XML_NO_ELEMENT && t->children.empty()) outcome_ = XML_NO_ELEMENT;
        if (outcomeOut) *outcomeOut = outcome_;
        if (outcome_ > XML_NO_ELEMENT) return {};
        if (t->children.size() == 1 && t->ContentSize() == 1 && t->attributes.empty())
            return XMLNode(t->children.front()); // the top handle's release detaches it
        return top;
    }

private:
    enum class Tok {
        End,
        Quoted,
        ShortClose,
        Section,
        EndTagStart,
        DeclStart,
        TagStart,
        Equals,
        Close,
        Text
    };
    struct Token {
        Tok type;
        const char* start;
        std::size_t length;
        int section;
    };

    static const char* ScanText(const char* q) {
        for (;;) {
            const auto c = static_cast<unsigned char>(*q);
            if (c >= 0x80) {
                q = Step(q);
                continue;
            }
            if (kStopsText[c] || (c == '/' && q[1] == '>')) return q;
            ++q;
        }
    }

    Token Next() {
        while (IsBlank(*p_))
            ++p_;
        const char* s = p_;
        Token t{Tok::Text, s, 0, -1};
        switch (*s) {
        case '\0':
            t.type = Tok::End;
            return t;
        case '"':
        case '\'': {
            const char* q = s + 1;
            while (*q && *q != *s && *q != '<')
                q = static_cast<unsigned char>(*q) < 0x80 ? q + 1 : Step(q);
            if (*q == *s) {
                t.type = Tok::Quoted;
                p_ = q + 1;
            } else {
                p_ = ScanText(s + 1); // plain text beginning with the quote
            }
            break;
        }
        case '/':
            if (s[1] == '>') {
                t.type = Tok::ShortClose;
                p_ = s + 2;
            } else {
                p_ = ScanText(s + 1);
            }
            break;
        case '<':
            for (int i = (s[1] == '!' || s[1] == 'P') ? 0 : 4; i < 4; ++i) {
                if (std::strncmp(s, kSections[i].open, kSections[i].length) == 0) {
                    t.type = Tok::Section;
                    t.section = i;
                    p_ = s + kSections[i].length;
                    t.length = kSections[i].length;
                    return t;
                }
            }
            if (s[1] == '/') {
                t.type = Tok::EndTagStart;
                p_ = s + 2;
            } else if (s[1] == '?') {
                t.type = Tok::DeclStart;
                p_ = s + 2;
            } else {
                t.type = Tok::TagStart;
                p_ = s + 1;
            }
            break;
        case '=':
            t.type = Tok::Equals;
            p_ = s + 1;
            break;
        case '>':
            t.type = Tok::Close;
            p_ = s + 1;
            break;
        default:
            p_ = ScanText(s);
            break;
        }
        t.length = static_cast<std::size_t>(p_ - s);
        return t;
    }

    bool Fail(int outcome) {
        outcome_ = outcome;
        return false;
    }

    // Decodes entities of [s, e) into out; false (with the outcome set) on a bad one.
    bool Decode(const char* s, const char* e, std::string& out) {
        out.reserve(out.size() + static_cast<std::size_t>(e - s));
        while (s < e) {
            if (*s != '&') {
                // Bytes other than '&' are copied as they are, multi-byte sequences
                // included, so a run up to the next '&' goes in one piece.
                const void* amp = std::memchr(s, '&', static_cast<std::size_t>(e - s));
                const char* n = amp ? static_cast<const char*>(amp) : e;
                out.append(s, n);
                s = n;
                continue;
            }
            if (s + 1 < e && s[1] == '#') {
                const char* q = s + 2;
                int base = 10;
                if (q < e && (*q == 'x' || *q == 'X')) {
                    base = 16;
                    ++q;
                }
                long value = 0;
                int digits = 0;
                for (; q < e && *q != ';'; ++q, ++digits) {
                    int d;
                    if (*q >= '0' && *q <= '9')
                        d = *q - '0';
                    else if (base == 16 && *q >= 'a' && *q <= 'f')
                        d = *q - 'a' + 10;
                    else if (base == 16 && *q >= 'A' && *q <= 'F')
                        d = *q - 'A' + 10;
                    else
                        return Fail(XML_UNDEFINED_ENTITY);
                    if (value < 256) value = value * base + d;
                }
                if (q >= e || digits == 0) return Fail(XML_UNDEFINED_ENTITY);
                if (value >= 256) return Fail(XML_CHAR_ABOVE_255);
                // A zero byte would end the stored text early.
                if (value == 0) return Fail(XML_UNDEFINED_ENTITY);
                out.push_back(static_cast<char>(value));
                s = q + 1;
                continue;
            }
            bool known = false;
            for (const Entity& en : kEntities) {
                if (static_cast<std::size_t>(e - s) >= en.length &&
                    strncasecmp(s, en.text, en.length) == 0) {
                    out.push_back(en.ch);
                    s += en.length;
                    known = true;
                    break;
                }
            }
            if (!known) return Fail(XML_UNDEFINED_ENTITY);
        }
        return true;
    }

    // Adds the text collected in [s, e) to node, trimmed and decoded; a text that
    // follows a text and a comment joins that text and the comment goes.
    bool AddText(XMLNodeBody* node, const char* s, const char* e) {
        while (s < e && IsBlank(*s))
            ++s;
        while (e > s && IsBlank(e[-1]))
            --e;
        if (s == e) return true;
        std::vector<int>& order = node->order;
        const std::size_t n = order.size();
        if (node->mixed && n >= 2 && (order[n - 1] & 3) == kKindSection &&
            (order[n - 2] & 3) == kKindText &&
            node->sections[static_cast<std::size_t>(order[n - 1] >> 2)].openTag ==
                kSections[kComment].open) {
            node->sections.erase(node->sections.begin() + (order[n - 1] >> 2));
            order.pop_back();
            return Decode(s, e, node->texts[static_cast<std::size_t>(order[n - 2] >> 2)]);
        }
        std::string text;
        if (!Decode(s, e, text)) return false;
        node->NoteContent(kKindText);
        node->texts.push_back(std::move(text));
        return true;
    }

    // An end tag name matches an element when it begins with the element's name
    // (ignoring case) and the name ends there or at a slash.
    static bool EndNameMatches(const XMLNodeBody* node, const char* s, std::size_t len) {
        const std::size_t n = node->name.size();
        if (len < n || strncasecmp(node->name.c_str(), s, n) != 0) return false;
        return len == n || s[n] == '/';
    }

    bool StoreAttribute(XMLNodeBody* node, const Token& name, const Token* value) {
        XMLAttrib a;
        a.name.assign(name.start, name.length);
        if (node->declaration && !value && !a.name.empty() && a.name.back() == '?')
            a.name.pop_back();
        if (a.name.empty()) return true; // the "?" before a declaration's ">"
        if (value) {
            const char* s = value->start;
            const char* e = s + value->length;
            if (value->type == Tok::Quoted) {
                ++s;
                --e;
            } else if (node->declaration && e > s && e[-1] == '?') {
                --e; // the "?" of "?>" glued to an unquoted value
            }
            if (!Decode(s, e, a.value)) return false;
            a.hasValue = true;
        }
        node->attributes.push_back(std::move(a));
        return true;
    }

    // Start tag: attributes up to ">" or "/>". Returns false to stop the parse;
    // sets *open when content follows.
    bool StartTag(XMLNodeBody* node, bool* open) {
        enum { kNone, kPending, kValue } state = kNone;
        Token pending{};
        for (;;) {
            const Token t = Next();
            switch (t.type) {
            case Tok::Text:
                if (state == kValue) {
                    if (!StoreAttribute(node, pending, &t)) return false;
                    state = kNone;
                } else {
                    if (state == kPending && !StoreAttribute(node, pending, nullptr)) return false;
                    pending = t;
                    state = kPending;
                }
                break;
            case Tok::Quoted:
                if (state != kValue) return Fail(XML_UNEXPECTED_TOKEN);
                if (!StoreAttribute(node, pending, &t)) return false;
                state = kNone;
                break;
            case Tok::Equals:
                if (state != kPending) return Fail(XML_UNEXPECTED_TOKEN);
                state = kValue;
                break;
            case Tok::Close:
            case Tok::ShortClose:
                if (state != kNone && !StoreAttribute(node, pending, nullptr)) return false;
                if (t.type == Tok::ShortClose) {
                    *open = false;
                } else if (node->declaration) {
                    // A declaration right under the top node stays open: the
                    // document that follows becomes its content.
                    *open = !(node->parent && node->parent->parent);
                } else {
                    *open = true;
                }
                return true;
            default:
                return Fail(XML_UNEXPECTED_TOKEN);
            }
        }
    }

    // Parses the element node from its start tag (the top node from its content)
    // to its end. False stops the whole parse.
    bool Element(XMLNodeBody* node) {
        if (node->hasName) {
            bool open = false;
            if (!StartTag(node, &open)) return false;
            if (!open) return true;
        }
        const char* textStart = p_;
        for (;;) {
            const Token t = Next();
            switch (t.type) {
            case Tok::TagStart:
            case Tok::DeclStart: {
                if (!AddText(node, textStart, t.start)) return false;
                const Token name = Next();
                if (name.type != Tok::Text) return Fail(XML_MISSING_TAG_NAME);
                if (depth_ >= XMLNode::kMaxDepth) return Fail(XML_TOO_DEEP);
                std::size_t len = name.length;
                if (t.type == Tok::DeclStart && len > 1 && name.start[len - 1] == '?') --len;
                XMLNodeBody* child = NewBody(name.start, len, t.type == Tok::DeclStart);
                AppendChild(node, child);
                ++depth_;
                const bool ok = Element(child);
                --depth_;
                if (!ok) return false;
                textStart = p_;
                if (pendingEnd_) {
                    if (!node->hasName) return Fail(XML_UNMATCHED_END_TAG);
                    if (EndNameMatches(node, pendingEnd_, pendingLength_)) pendingEnd_ = nullptr;
                    return true; // matched or not, this element ends here
                }
                break;
            }
            case Tok::EndTagStart: {
                if (!AddText(node, textStart, t.start)) return false;
                const Token name = Next();
                if (name.type != Tok::Text) return Fail(XML_MISSING_END_TAG_NAME);
                if (Next().type != Tok::Close) return Fail(XML_MISSING_END_TAG_NAME);
                if (!node->hasName) return Fail(XML_UNMATCHED_END_TAG);
                if (EndNameMatches(node, name.start, name.length)) return true;
                if (outcome_ == XML_OK) outcome_ = XML_MISSING_END_TAG;
                pendingEnd_ = name.start;
                pendingLength_ = name.length;
                return true;
            }
            case Tok::Section: {
                if (!AddText(node, textStart, t.start)) return false;
                const SectionKind& kind = kSections[t.section];
                const char* close = kind.close;
                const char* content = p_;
                if (t.section == kDoctype) {
                    for (const char* q = content; *q && *q != '>'; ++q) {
                        if (*q == '<') {
                            close = "]>"; // an internal subset
                            break;
                        }
                    }
                }
                const char* end = std::strstr(content, close);
                if (!end) return Fail(XML_SECTION_NOT_CLOSED);
                XMLSection sec;
                sec.hasContent = end > content;
                sec.content.assign(content, end);
                sec.openTag = kind.open;
                sec.closeTag = close;
                node->NoteContent(kKindSection);
                node->sections.push_back(std::move(sec));
                p_ = end + std::strlen(close);
                textStart = p_;
                break;
            }
            case Tok::End:
                if (!AddText(node, textStart, t.start)) return false;
                if (node->hasName && !node->declaration && node->parent && outcome_ == XML_OK)
                    outcome_ = XML_MISSING_END_TAG;
                return true;
            default:
                break; // part of the text
            }
        }
    }

    const char* p_;
    int outcome_ = XML_OK;
    int depth_ = 0;
    const char* pendingEnd_ = nullptr; // an end tag that an ancestor must take
    std::size_t pendingLength_ = 0;
};

XMLNode XMLNode::Parse(const char* text, int* outcome) {
    if (!text) {
        if (outcome) *outcome = XML_NO_ELEMENT;
        return {};
    }
    return XMLParser(text).Run(outcome);
}

// ---- writing ------------------------------------------------------------

namespace {

// First pass: counts bytes.
struct CountSink {
    std::size_t n = 0;
    void Put(char) { ++n; }
    void Put(const char*, std::size_t len) { n += len; }
    void Spaces(int count) { n += static_cast<std::size_t>(count); }
};

// Second pass: fills a buffer sized by the first.
struct FillSink {
    char* p;
    void Put(char c) { *p++ = c; }
    void Put(const char* s, std::size_t len) {
        std::memcpy(p, s, len);
        p += len;
    }
    void Spaces(int count) {
        std::memset(p, ' ', static_cast<std::size_t>(count));
        p += count;
    }
};

template <class Sink> void PutEscaped(Sink& out, const std::string& s) {
    const char* run = s.data();
    const char* end = run + s.size();
    for (const char* q = run; q < end; ++q) {
        const char* entity;
        std::size_t len;
        switch (*q) {
        case '&':
            entity = "&amp;", len = 5;
            break;
        case '<':
            entity = "&lt;", len = 4;
            break;
        case '>':
            entity = "&gt;", len = 4;
            break;
        case '"':
            entity = "&quot;", len = 6;
            break;
        case '\'':
            entity = "&apos;", len = 6;
            break;
        default:
            continue;
        }
        out.Put(run, static_cast<std::size_t>(q - run));
        out.Put(entity, len);
        run = q + 1;
    }
    out.Put(run, static_cast<std::size_t>(end - run));
}

template <class Sink> void Write(Sink& out, const XMLNodeBody* b, int depth);

template <class Sink>
void WriteItems(Sink& out, const XMLNodeBody* b, int depth, bool indentTexts) {
    const std::size_t n = b->ContentSize();
    for (std::size_t pos = 0; pos < n; ++pos) {
        const int e = b->EntryAt(pos);
        const auto index = static_cast<std::size_t>(e >> 2);
        switch (e & 3) {
        case kKindChild:
            Write(out, b->children[index], depth);
            break;
        case kKindText:
            if (indentTexts) out.Spaces(depth);
            PutEscaped(out, b->texts[index]);
            break;
        case kKindSection: {
            const XMLSection& s = b->sections[index];
            out.Spaces(depth);
            out.Put(s.openTag, std::strlen(s.openTag));
            out.Put(s.content.data(), s.content.size());
            out.Put(s.closeTag, std::strlen(s.closeTag));
            out.Put("\r\n", 2);
            break;
        }
        default:
            break;
        }
    }
}

template <class Sink> void Write(Sink& out, const XMLNodeBody* b, int depth) {
    const bool hasChildren = !b->children.empty();
    if (!b->hasName) {
        WriteItems(out, b, depth, hasChildren);
        return;
    }
    out.Spaces(depth);
    out.Put('<');
    if (b->declaration) out.Put('?');
    out.Put(b->name.data(), b->name.size());
    for (const XMLAttrib& a : b->attributes) {
        if (a.name.empty()) continue;
        out.Put(' ');
        out.Put(a.name.data(), a.name.size());
        if (a.hasValue) {
            out.Put("=\"", 2);
            PutEscaped(out, a.value);
            out.Put('"');
        }
    }
    if (b->declaration) {
        out.Put("?>\r\n", 4);
        WriteItems(out, b, depth, hasChildren);
        return;
    }
    if (b->ContentSize() == 0) {
        out.Put("/>\r\n", 4);
        return;
    }
    out.Put('>');
    if (b->ContentSize() == 1 && b->texts.size() == 1) {
        PutEscaped(out, b->texts.front());
    } else {
        if (hasChildren) out.Put("\r\n", 2);
        WriteItems(out, b, depth + 1, hasChildren);
        if (hasChildren && depth > 0) out.Spaces(depth);
    }
    out.Put("</", 2);
    out.Put(b->name.data(), b->name.size());
    out.Put(">\r\n", 3);
}

} // namespace

std::string XMLNode::Serialize() const {
    if (!body_) return {};
    CountSink count;
    Write(count, body_, 0);
    std::string s(count.n, '\0');
    FillSink fill{s.data()};
    Write(fill, body_, 0);
    return s;
}

char* XMLNode::Serialize(int* outLength) const {
    if (outLength) *outLength = 0;
    if (!body_) return nullptr;
    CountSink count;
    Write(count, body_, 0);
    char* buf = static_cast<char*>(std::malloc(count.n + 1));
    if (!buf) return nullptr;
    FillSink fill{buf};
    Write(fill, body_, 0);
    buf[count.n] = '\0';
    if (outLength) *outLength = static_cast<int>(count.n);
    return buf;
}
