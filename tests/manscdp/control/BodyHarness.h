#pragma once
// A command builder with the real body hook and a recording send step, and
// the expected MANSCDP text written out line by line.

#include "manscdp/builder/CommandBuilder.h"
#include "manscdp/control/CommandBodies.h"

#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

inline constexpr const char* kDevice = "34010000001320000001";

struct BodyHarness {
    CommandBuilder builder;
    CommandBodies bodies;
    std::vector<std::pair<int, std::string>> sent; // kind, text

    explicit BodyHarness(const CDlgSearch* search = nullptr) : bodies(search) {}
    // Clicks a row as the core does and returns what went out ("" when nothing did).
    std::string Click(int list, int row) {
        std::optional<int> untick;
        const CommandEntry* e = builder.Select(list, row, untick);
        if (!e) return {};
        builder.BuildEnvelope(*e, kDevice);
        bodies.Append(list, builder.MediaSetNumber(), row, builder.Root());
        const CommandBuilder::Result r = builder.Finish(false);
        if (!r.send) return {};
        sent.emplace_back(r.kind, r.text);
        return r.text;
    }
    std::string Signalling(int row) { return Click(kListSignalling, row); }
    std::string Media(int set, int row) {
        builder.SetMediaSet(set);
        return Click(kListMedia, row);
    }
};

// The full text: declaration, root, the envelope, the given body lines (with
// their own indentation), end tag and the empty last line; CR LF throughout.
inline std::string Expected(const char* root, const char* cmdType, int sn,
                            std::initializer_list<const char*> body, const char* id = kDevice) {
    std::string s = "<?xml version=\"1.0\"?>\r\n<" + std::string(root) + ">\r\n";
    s += " <CmdType>" + std::string(cmdType) + "</CmdType>\r\n";
    s += " <SN>" + std::to_string(sn) + "</SN>\r\n";
    s += " <DeviceID>" + std::string(id) + "</DeviceID>\r\n";
    for (const char* l : body)
        s += std::string(l) + "\r\n";
    s += "</" + std::string(root) + ">\r\n\r\n";
    return s;
}
