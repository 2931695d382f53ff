#include "platform/dispatch/AnswerDispatch.h"

#include <cstring>

DispatchOutcome ApplyManscdp(DeviceRegistry& registry, QueryChain& chain, DeviceRecord& sender,
                             XMLNode element, QueryChain::TimePoint now) {
    DispatchOutcome out;
    const char* cmdText = element.FindText("CmdType");
    if (!cmdText) return out;
    const std::string cmd = cmdText;
    const char* rootName = element.Name();
    const bool notify = rootName && std::strcmp(rootName, "Notify") == 0;
    if (cmd == "DeviceInfo") {
        out.applied = true;
        chain.InfoAnswered(sender, now);
    } else if (cmd == "Catalog") {
        out.applied = true;
        // The catalog's own DeviceID (not an item's) says whose it is.
        XMLNode own = element.ChildByName("DeviceID");
        const char* id = own.IsEmpty() ? nullptr : own.Text(0);
        if (id && !DeviceRegistry::Owns(sender, id)) {
            out.refused = true;
            return out;
        }
        if (notify) {
            // A subscription's events change the channels they name.
            out.treeChanged = registry.MergeCatalog(sender, element) > 0;
            return out;
        }
        const int r = registry.ApplyCatalog(sender, element);
        if (r < 0) return out;
        out.treeChanged = true;
        if (r == 1) chain.CatalogComplete(sender, now);
    } else if (cmd == "RecordInfo") {
        out.applied = true;
        registry.ApplyRecords(sender, element);
        out.treeChanged = true;
    }
    return out;
}
