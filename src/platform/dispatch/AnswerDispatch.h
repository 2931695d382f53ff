#pragma once
// A received MANSCDP body applied to the registered device that sent it: the
// Catalog answer replaces its channels (collected over several messages), a
// Catalog notification merges into them, RecordInfo adds recordings, and the
// answers the query chain waits for move it on. Nothing is applied to anybody
// but the sender; a catalog naming another device changes nothing.

#include "platform/devices/DeviceRegistry.h"
#include "platform/dispatch/QueryChain.h"

#include <string>

struct DispatchOutcome {
    bool applied = false;     // the body was one the platform acts on
    bool refused = false;     // a catalog that is not the sender's
    bool treeChanged = false; // the view redraws the tree
};

// element is the body's document element (the declaration's first child).
DispatchOutcome ApplyManscdp(DeviceRegistry& registry, QueryChain& chain, DeviceRecord& sender,
                             XMLNode element, QueryChain::TimePoint now);
