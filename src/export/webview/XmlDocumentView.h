// Toolkit-free model of the XML view: which bodies open it, and the document rendered
// as a browser's XML display does (elements with attributes and texts, indented,
// coloured, each element with content collapsible).
#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tarvex::webview {

// True when the body parses to a node with at least one child element: a body that
// begins with an XML declaration followed by an element, or whose document element has
// child elements. Such bodies open the XML view; all others (no element, an element
// holding only text, unparsable text, heads) open the plain text viewer.
bool BodyHasChildElements(std::string_view body);

struct XmlViewAttr {
    std::string name;
    std::optional<std::string> value; // none for an attribute written without "="
};

// One item of the displayed document; all texts are UTF-8.
struct XmlViewNode {
    enum Kind { Element, Declaration, Text, Section, Group };
    Kind kind = Element;
    int id = -1; // pre-order number of a collapsible element, else -1
    std::string name;
    std::vector<XmlViewAttr> attributes;
    std::string text; // Text: the text; Section: open tag, content, close tag
    std::vector<XmlViewNode> children;
};

class XmlDocumentView {
public:
    // Nothing when the body does not parse (or holds no element).
    static std::optional<XmlDocumentView> FromBody(std::string_view body);

    const XmlViewNode& Root() const { return root_; }
    // Number of collapsible elements (ids 0 .. count-1).
    int CollapsibleCount() const { return collapsible_; }

    // Rich text for the view: one paragraph per line, toggles as links "toggle:<id>".
    std::string Html(const std::set<int>& collapsed) const;
    // The same lines as plain text ("- " / "+ " before collapsible elements).
    std::string PlainText(const std::set<int>& collapsed) const;

private:
    XmlViewNode root_;
    int collapsible_ = 0;
};

} // namespace tarvex::webview
