#pragma once
// What the SIP endpoint calls on its owner, on the SIP event thread (and on
// the operator's thread for requests the operator sends).

#include "sip/endpoint/EXOSIP2INFO.h"

#include <memory>
#include <string>

class ISipOwner {
public:
    virtual ~ISipOwner() = default;
    // One logged message: body (or "No Body!\n") and head. registeringId is
    // the identifier of the device whose REGISTER or 200 is logged, else null.
    virtual void AddLogRow(int direction, const std::string& body, const std::string& head,
                           const char* registeringId) = 0;
    virtual void SetTypeText(const std::string& text) = 0;
    // A REGISTER has been answered; the owner takes the new device node.
    virtual void OnDeviceRegistered(std::unique_ptr<EXOSIP2INFO> node) = 0;
    virtual void ShowMessageBox(const std::string& text) = 0;
    // Sleeps on the SIP thread; false when cut short because the endpoint
    // stops (the automatic chain then ends).
    virtual bool Pause(int ms) = 0;
};
