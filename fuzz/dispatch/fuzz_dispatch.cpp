// Feeds bodies into the core's dispatch as MESSAGEs received from registered
// devices, with the fake endpoint and recording view of the core's tests. The
// input is a run of bodies separated by "\n@@"; the byte after each separator
// picks the sender (kDev, kDev2, or a user nobody knows), a new REGISTER, or
// a tree click. After each body the follow-ups fall due and a copy of the tree
// kept only from the core's deltas must equal the core's own tree, whose
// siblings never share a text. Run it with -close_fd_mask=3: the core prints
// its start and the longer-datagram lines.

#include "app/core/CoreRig.h"
#include "app/core/TreeMirror.h"

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

namespace {

constexpr const char* kDev = "34010000001320000001";
constexpr const char* kDev2 = "34010000001320000002";

void Check(const TreeItem& t) {
    std::set<std::string> texts;
    for (const TreeItem& c : t.children) {
        if (!texts.insert(c.text).second) std::abort();
        Check(c);
    }
}

// Every item, recordings too: a recording's click reads its two time texts.
int NthItem(const TreeItem& t, int& n) {
    if (n-- == 0) return t.item;
    for (const TreeItem& c : t.children)
        if (int i = NthItem(c, n)) return i;
    return 0;
}

void Deliver(CoreRig& rig, const std::string& body, const char* from) {
    LoggedMessage m;
    m.direction = kLogReceived;
    m.peerUser = from;
    m.head = "MESSAGE sip:p SIP/2.0\r\n\r\n\n";
    m.body = body;
    // Now and then the datagram held more than the declared body.
    if (body.size() > 8 && (body[0] & 1)) {
        m.datagramBody = body;
        m.body = body.substr(0, body.size() / 2);
    }
    rig.core->OnMessageLogged(m);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in(reinterpret_cast<const char*>(data), size);
    CoreRig rig;
    rig.core->Initialise();
    rig.core->OnDeviceRegistered({kDev, "127.0.0.1", 5060});
    TreeMirror view;
    std::size_t at = 0;
    char pick = 0;
    while (at <= in.size()) {
        std::size_t next = in.find("\n@@", at);
        if (next == std::string::npos) next = in.size();
        const std::string body = in.substr(at, next - at);
        switch (static_cast<unsigned char>(pick) % 6) {
        case 0: Deliver(rig, body, kDev); break;
        case 1: Deliver(rig, body, kDev2); break;
        case 2: Deliver(rig, body, "3402000000"); break;
        case 3: rig.core->OnDeviceRegistered({pick & 8 ? kDev2 : kDev, "127.0.0.1", 5061}); break;
        case 4: {
            int n = static_cast<unsigned char>(body.empty() ? 0 : body[0]);
            const TreeItem t = rig.core->TreeSnapshot();
            rig.core->TreeClicked(NthItem(t, n));
            break;
        }
        default: Deliver(rig, body, kDev); break;
        }
        rig.Advance(1000);
        const TreeItem tree = rig.core->TreeSnapshot();
        Check(tree);
        if (!view.Apply(rig.core->TakeTreeDelta()) || !SameTree(view.Snapshot(), tree)) std::abort();
        if (next >= in.size()) break;
        pick = next + 3 < in.size() ? in[next + 3] : 0;
        at = next + 4;
    }
    return 0;
}
