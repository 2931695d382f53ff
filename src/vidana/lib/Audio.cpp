// Audio paths of CVidana: mu-law playback and capture.
#include "vidana/lib/Vidana.h"

#include <atomic>

namespace {
std::atomic<IVidanaNotifier*> g_notifier{nullptr};
}

void CVidana::SetWaveNotifier(IVidanaNotifier* notifier) {
    g_notifier.store(notifier);
}

// Audio frames are dropped until the playback path exists.
int32_t CVidana::DecodeAFrame(const uint8_t*, int32_t) {
    return 0;
}

int32_t CVidana::SetACallBack(VidanaACallBack callback, uint32_t size) {
    m_pACallBack = callback;
    m_nABufSize = size;
    return 0;
}
