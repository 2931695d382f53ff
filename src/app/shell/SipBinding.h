#pragma once
// Where the SIP endpoint plugs into the program: MakeSipEndpoint() gives the
// core its endpoint, BindSip() connects the endpoint's view (log rows, device
// tree, command lists, message boxes) to the main dialog.

#include "app/core/ISipEndpoint.h"

#include <memory>

class CTarvexDlg;

std::unique_ptr<ISipEndpoint> MakeSipEndpoint();
void BindSip(CTarvexDlg& dlg);
