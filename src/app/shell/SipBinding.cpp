#include "app/shell/SipBinding.h"

#include "app/shell/CTarvexDlg.h"

// No SIP user agent is linked in yet: the window runs without signalling.
std::unique_ptr<ISipEndpoint> MakeSipEndpoint() { return std::make_unique<NoSipEndpoint>(); }

void BindSip(CTarvexDlg&) {}
