// Feeds arbitrary bytes to XMLNode::Parse and walks and writes whatever it keeps.

#include "manscdp/xml/XMLNode.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void Walk(const XMLNode& n, int depth) {
    if (depth > XMLNode::kMaxDepth + 2) std::abort(); // deeper than Parse allows
    n.FindText("CmdType");
    n.ChildWithNum("DeviceList");
    int cursor = 0;
    while (!n.ChildByName("Item", &cursor).IsEmpty()) {
    }
    for (int i = 0; i < n.AttributeCount(); ++i)
        if (!n.Attribute(i)->Name()) std::abort();
    for (int i = 0; i < n.TextCount(); ++i)
        if (!n.Text(i)) std::abort();
    for (int i = 0; i < n.ChildCount(); ++i)
        Walk(n.ChildAt(i), depth + 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    int outcome = -1;
    XMLNode n = XMLNode::Parse(text, &outcome);
    if (outcome < 0 || outcome > XML_TOO_DEEP) std::abort();
    if (n.IsEmpty() != (outcome > XML_NO_ELEMENT)) std::abort();
    Walk(n, 0);
    const std::string once = n.Serialize();
    int len = -1;
    char* raw = n.Serialize(&len);
    if (n.IsEmpty() ? raw != nullptr
                    : (!raw || len != static_cast<int>(once.size()) ||
                       std::memcmp(raw, once.data(), once.size()) != 0))
        std::abort();
    std::free(raw);
    int again = -1;
    XMLNode back = XMLNode::Parse(once, &again);
    Walk(back, 0);
    back.Serialize();
    return 0;
}
