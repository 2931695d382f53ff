#include "export/webview/XmlDocumentView.h"

#include "base/TextCodec.h"
#include "manscdp/xml/XMLNode.h"

#include <cctype>

namespace tarvex::webview {
namespace {

// The body's texts are decoded the way its whole body is: by the declared encoding,
// else UTF-8 when valid, else GB18030.
class Decoder {
public:
    explicit Decoder(std::string_view body) {
        std::string enc = TextCodec::DeclaredEncoding(body);
        for (char& c : enc)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const bool gb = enc == "gb2312" || enc == "gbk" || enc == "gb18030";
        gbk_ = gb || (TextCodec::HasNonAscii(body) && !TextCodec::IsValidUtf8(body));
    }
    std::string operator()(const char* s) const {
        if (!s) return {};
        return gbk_ ? TextCodec::GbkToUtf8(s) : std::string(s);
    }

private:
    bool gbk_ = false;
};

XmlViewNode Build(const XMLNode& n, const Decoder& dec, int& nextId) {
    XmlViewNode v;
    if (!n.HasName()) {
        v.kind = XmlViewNode::Group;
    } else {
        v.kind = n.IsDeclaration() ? XmlViewNode::Declaration : XmlViewNode::Element;
        v.name = dec(n.Name());
    }
    for (int i = 0; i < n.AttributeCount(); ++i) {
        const XMLAttrib* a = n.Attribute(i);
        if (!a || a->name.empty()) continue;
        XmlViewAttr attr{dec(a->Name()), std::nullopt};
        if (a->Value()) attr.value = dec(a->Value());
        v.attributes.push_back(std::move(attr));
    }
    // Collapsible: an element whose content is more than a single text.
    const bool single = n.ContentCount() == 1 && n.TextCount() == 1;
    if (v.kind == XmlViewNode::Element && n.ContentCount() > 0 && !single) v.id = nextId++;
    for (int p = 0; p < n.ContentCount(); ++p) {
        int kind = 0, index = 0;
        if (!n.ContentAt(p, &kind, &index)) continue;
        if (kind == 0) {
            v.children.push_back(Build(n.ChildAt(index), dec, nextId));
        } else if (kind == 2) {
            XmlViewNode t;
            t.kind = XmlViewNode::Text;
            t.text = dec(n.Text(index));
            v.children.push_back(std::move(t));
        } else if (kind == 3) {
            const XMLSection* s = n.Section(index);
            if (!s) continue;
            XmlViewNode t;
            t.kind = XmlViewNode::Section;
            t.text = std::string(s->openTag) + dec(s->Content()) + s->closeTag;
            v.children.push_back(std::move(t));
        }
    }
    return v;
}

std::string Escape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out.push_back(c);
        }
    }
    return out;
}

// Colours of the familiar browser XML display.
constexpr const char* kTag = "#990000";
constexpr const char* kMark = "#0000ff";
constexpr const char* kAttr = "#990000";
constexpr const char* kValue = "#000000";
constexpr const char* kText = "#000000";
constexpr const char* kSection = "#888888";
constexpr const char* kToggle = "#ff0000";

// A line sink: either rich text or plain text. Each piece is (text, colour).
class Lines {
public:
    explicit Lines(bool html) : html_(html) {}

    void Begin(int depth) {
        if (html_) {
            out_ += "<p style=\"margin:0px; margin-left:" + std::to_string(depth * 16) +
                    "px; white-space:pre-wrap;\">";
        } else {
            out_ += std::string(static_cast<std::size_t>(depth) * 2, ' ');
        }
    }
    void Toggle(int id, bool collapsed) {
        const char* sign = collapsed ? "+" : "-";
        if (html_)
            out_ += "<a href=\"toggle:" + std::to_string(id) +
                    "\" style=\"text-decoration:none; color:" + kToggle + ";\"><b>" + sign +
                    "</b></a> ";
        else
            out_ += std::string(sign) + " ";
    }
    void Indent() {
        // Lines without a toggle keep their text under the toggled lines' names.
        out_ += html_ ? "&nbsp;&nbsp;" : "  ";
    }
    void Piece(std::string_view text, const char* colour) {
        if (html_)
            out_ +=
                std::string("<span style=\"color:") + colour + ";\">" + Escape(text) + "</span>";
        else
            out_ += text;
    }
    void End() { out_ += html_ ? "</p>\n" : "\n"; }
    std::string Take() {
        return html_ ? "<html><body style=\"font-family:monospace;\">\n" + out_ + "</body></html>"
                     : out_;
    }

private:
    bool html_;
    std::string out_;
};

void StartTag(Lines& l, const XmlViewNode& n, bool decl, bool empty) {
    l.Piece(decl ? "<?" : "<", kMark);
    l.Piece(n.name, kTag);
    for (const auto& a : n.attributes) {
        l.Piece(" ", kText);
        l.Piece(a.name, kAttr);
        if (a.value) {
            l.Piece("=\"", kMark);
            l.Piece(*a.value, kValue);
            l.Piece("\"", kMark);
        }
    }
    l.Piece(decl ? "?>" : (empty ? "/>" : ">"), kMark);
}

void EndTag(Lines& l, const XmlViewNode& n) {
    l.Piece("</", kMark);
    l.Piece(n.name, kTag);
    l.Piece(">", kMark);
}

void Render(Lines& l, const XmlViewNode& n, int depth, const std::set<int>& collapsed) {
    switch (n.kind) {
    case XmlViewNode::Group:
        for (const auto& c : n.children)
            Render(l, c, depth, collapsed);
        return;
    case XmlViewNode::Declaration:
        l.Begin(depth);
        l.Indent();
        StartTag(l, n, true, false);
        l.End();
        for (const auto& c : n.children)
            Render(l, c, depth, collapsed);
        return;
    case XmlViewNode::Text:
        l.Begin(depth);
        l.Indent();
        l.Piece(n.text, kText);
        l.End();
        return;
    case XmlViewNode::Section:
        l.Begin(depth);
        l.Indent();
        l.Piece(n.text, kSection);
        l.End();
        return;
    case XmlViewNode::Element:
        break;
    }
    if (n.children.empty()) {
        l.Begin(depth);
        l.Indent();
        StartTag(l, n, false, true);
        l.End();
    } else if (n.id < 0) { // exactly one text: one line
        l.Begin(depth);
        l.Indent();
        StartTag(l, n, false, false);
        l.Piece(n.children.front().text, kText);
        EndTag(l, n);
        l.End();
    } else if (collapsed.count(n.id)) {
        l.Begin(depth);
        l.Toggle(n.id, true);
        StartTag(l, n, false, false);
        l.Piece("...", kSection);
        EndTag(l, n);
        l.End();
    } else {
        l.Begin(depth);
        l.Toggle(n.id, false);
        StartTag(l, n, false, false);
        l.End();
        for (const auto& c : n.children)
            Render(l, c, depth + 1, collapsed);
        l.Begin(depth);
        l.Indent();
        EndTag(l, n);
        l.End();
    }
}

} // namespace

bool BodyHasChildElements(std::string_view body) {
    const XMLNode n = XMLNode::Parse(std::string(body));
    return n.ChildCount() > 0;
}

std::optional<XmlDocumentView> XmlDocumentView::FromBody(std::string_view body) {
    const XMLNode n = XMLNode::Parse(std::string(body));
    if (!n) return std::nullopt;
    XmlDocumentView v;
    const Decoder dec(body);
    v.root_ = Build(n, dec, v.collapsible_);
    return v;
}

std::string XmlDocumentView::Html(const std::set<int>& collapsed) const {
    Lines l(true);
    Render(l, root_, 0, collapsed);
    return l.Take();
}

std::string XmlDocumentView::PlainText(const std::set<int>& collapsed) const {
    Lines l(false);
    Render(l, root_, 0, collapsed);
    return l.Take();
}

} // namespace tarvex::webview
