#pragma once
// Small in-memory XML tree through which every MANSCDP body passes: received
// bodies are parsed into it, outgoing ones are built in it and written out.
// A forgiving parser and writer over 8-bit text: unclosed elements, unquoted
// attribute values and some mismatched end tags are accepted; comments, CDATA,
// DOCTYPE and <PRE> are kept as opaque sections. The tree owns copies of all text.
//
// XMLNode is a reference-counted handle to a shared node body; the empty handle
// (nothing found, failed parse) is harmless to call. Not thread-safe: a tree is
// used by one thread at a time.

#include <string>

struct XMLAttrib {
    std::string name;
    std::string value;
    bool hasValue = false; // false for an attribute written without "="

    const char* Name() const { return name.c_str(); }
    // nullptr for an attribute without a value.
    const char* Value() const { return hasValue ? value.c_str() : nullptr; }
};

struct XMLSection {
    std::string content;
    bool hasContent = false;
    const char* openTag = "";  // "<![CDATA[", "<!DOCTYPE", "<!--" or "<PRE>"
    const char* closeTag = ""; // "]]>", ">" or "]>", "-->" or "</PRE>"

    // nullptr when the section was empty.
    const char* Content() const { return hasContent ? content.c_str() : nullptr; }
};

// Outcome of XMLNode::Parse. 0, 1 and 2 keep the tree; the others give the empty handle.
enum XMLParseOutcome {
    XML_OK = 0,
    XML_MISSING_END_TAG = 1,
    XML_NO_ELEMENT = 2,
    XML_MISSING_TAG_NAME = 4,
    XML_MISSING_END_TAG_NAME = 5, // or its ">"
    XML_UNMATCHED_END_TAG = 6,
    XML_SECTION_NOT_CLOSED = 7,
    XML_UNEXPECTED_TOKEN = 8, // in a start tag
    XML_UNDEFINED_ENTITY = 12,
    XML_CHAR_ABOVE_255 = 13,
    XML_TOO_DEEP = 14, // more than XMLNode::kMaxDepth nested elements
};

struct XMLNodeBody;

class XMLNode {
public:
    // Deepest element nesting Parse accepts; real bodies stay far below it, and the
    // bound keeps hostile input from exhausting the stack.
    static constexpr int kMaxDepth = 256;

    XMLNode() = default; // the empty handle
    XMLNode(const XMLNode& o);
    XMLNode(XMLNode&& o) noexcept : body_(o.body_) { o.body_ = nullptr; }
    XMLNode& operator=(const XMLNode& o);
    XMLNode& operator=(XMLNode&& o) noexcept;
    ~XMLNode();

    bool IsEmpty() const { return body_ == nullptr; }
    explicit operator bool() const { return body_ != nullptr; }
    // True when both handles share one body.
    bool operator==(const XMLNode& o) const { return body_ == o.body_; }

    // Building; the order of calls is the order of the content.
    static XMLNode CreateTop(const char* name);
    XMLNode AddChild(const char* name);
    void AddText(const char* text); // nullptr adds nothing
    XMLNode AddTextChild(const char* name, const char* text);
    XMLNode AddIntChild(const char* name, int value);
    void AddNumAttribute();                                 // Num="1"
    void AddAttribute(const char* name, const char* value); // value nullptr: no "="

    // Queries. Names compare ignoring ASCII case.
    // First child called name at or after *cursor (0 without one); on success
    // *cursor is set just past it, so repeated calls walk all such children.
    XMLNode ChildByName(const char* name, int* cursor = nullptr) const;
    XMLNode ChildAt(int index) const;
    // First child called name that carries a "Num" attribute (DeviceList, RecordList).
    XMLNode ChildWithNum(const char* name) const;
    // Depth-first from this node itself: the first text of the first element called
    // name, "" when it has no text, nullptr when there is no such element.
    const char* FindText(const char* name) const;

    int ChildCount() const;
    // "" for the unnamed top node of a parse and for the empty handle.
    const char* Name() const;
    bool HasName() const;
    bool IsDeclaration() const;
    int TextCount() const;
    const char* Text(int index) const; // nullptr when out of range
    int AttributeCount() const;
    const XMLAttrib* Attribute(int index) const; // nullptr when out of range
    // Value of the first attribute called name (ignoring case); nullptr if none or no value.
    const char* AttributeValue(const char* name) const;
    int SectionCount() const;
    const XMLSection* Section(int index) const;
    // Content items in document order: kind 0 child, 2 text, 3 section, and the index
    // into the array of that kind. False when out of range.
    int ContentCount() const;
    bool ContentAt(int position, int* kind, int* index) const;
    XMLNode Parent() const;

    // Parses a zero-terminated document. nullptr gives the empty handle. A body that
    // begins with an XML declaration yields the declaration node "xml" whose first
    // child is the document element; without one the document element itself.
    static XMLNode Parse(const char* text, int* outcome = nullptr);
    static XMLNode Parse(const std::string& text, int* outcome = nullptr) {
        return Parse(text.c_str(), outcome);
    }

    // Formatted text (one space per level, CR LF line ends) of this subtree.
    std::string Serialize() const;
    // The same in a buffer from malloc that the caller releases with free();
    // *outLength gets the length without the terminating zero. nullptr and 0 for
    // the empty handle.
    char* Serialize(int* outLength) const;

private:
    explicit XMLNode(XMLNodeBody* b);
    friend class XMLParser;
    XMLNodeBody* body_ = nullptr;
};
