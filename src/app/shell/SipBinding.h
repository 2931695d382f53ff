#pragma once
// Where the SIP endpoint plugs into the program. MakeSipEndpoint() gives the
// core the signalling side (SignalCore with CSIP, its device records, message
// log and command builder); BindSip() connects that side's view (log rows,
// device tree snapshots, command lists, message boxes) to the main dialog and
// the dialog's clicks to it.

#include "app/core/ISipEndpoint.h"

#include <filesystem>
#include <memory>

class CTarvexDlg;
class SignalCore;

// workbookDir: where "MsgXml.xls" is written when the endpoint goes away
// (empty: the working directory).
std::unique_ptr<ISipEndpoint> MakeSipEndpoint(const std::filesystem::path& workbookDir = {});
// The signalling core behind an endpoint made by MakeSipEndpoint, else null.
SignalCore* SignalCoreOf(ISipEndpoint& endpoint);
// Binds the dialog to the signalling core of its endpoint (nothing for others).
void BindSip(CTarvexDlg& dlg);
