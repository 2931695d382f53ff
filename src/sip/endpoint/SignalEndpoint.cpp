#include "sip/endpoint/SignalEndpoint.h"

#include "manscdp/cfg/CDlgCfg.h"

#include <cstring>

SignalEndpoint::SignalEndpoint(bool saveOnExit, std::filesystem::path saveDir)
    : saveOnExit_(saveOnExit), saveDir_(std::move(saveDir)) {}

SignalEndpoint::~SignalEndpoint() {
    core_.StopEndpoint();
    if (saveOnExit_) core_.SaveWorkbook(saveDir_);
}

int SignalEndpoint::Start(int transport, const CDlgCfg& settings) {
    SipSettings s;
    s.port = settings.localPort;
    s.address = settings.localAddress;
    s.id = settings.localId;
    s.domain = settings.localDomain;
    // The tree root carries this system's identifier.
    core_.ResetTree(s.id);
    return core_.StartEndpoint(transport, s);
}

void SignalEndpoint::Stop() { core_.StopEndpoint(); }

void SignalEndpoint::SetContentType(const char* contentType) {
    char* dst = core_.Sip().contentType;
    std::memset(dst, 0, sizeof core_.Sip().contentType);
    if (contentType) std::strncpy(dst, contentType, sizeof core_.Sip().contentType - 1);
}

bool SignalEndpoint::IsStarted() const {
    return const_cast<SignalCore&>(core_).Sip().LibraryInitialised();
}

bool SignalEndpoint::IsRegistered() const {
    return const_cast<SignalCore&>(core_).Sip().registered.load() == 1;
}

int SignalEndpoint::SendRequest(const std::string& body) {
    // The shell has looked at "自定义消息" already.
    return core_.Builder().SendEdited(body);
}
