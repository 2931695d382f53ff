#pragma once
// A one-line picture of a tree (names, attributes, texts, sections in content
// order) for comparing two trees.

#include "manscdp/xml/XMLNode.h"

#include <string>

inline std::string Dump(const XMLNode& n) {
    if (n.IsEmpty()) return "<empty>";
    std::string s = n.IsDeclaration() ? "?" : "";
    s += n.HasName() ? n.Name() : "#top";
    for (int i = 0; i < n.AttributeCount(); ++i) {
        const XMLAttrib* a = n.Attribute(i);
        s += " @" + a->name;
        if (a->Value()) s += "='" + a->value + "'";
    }
    s += "{";
    for (int i = 0; i < n.ContentCount(); ++i) {
        int kind = -1, index = -1;
        n.ContentAt(i, &kind, &index);
        if (kind == 0) s += Dump(n.ChildAt(index));
        if (kind == 2) s += "\"" + std::string(n.Text(index)) + "\"";
        if (kind == 3) {
            const XMLSection* sec = n.Section(index);
            s += std::string("[") + sec->openTag + (sec->Content() ? sec->Content() : "") +
                 sec->closeTag + "]";
        }
        s += ";";
    }
    return s + "}";
}
