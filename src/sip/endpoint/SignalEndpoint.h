#pragma once
// The signalling core as the application core's SIP endpoint: start and stop
// with the settings, the content type, and the operator's custom send.

#include "app/core/ISipEndpoint.h"
#include "sip/endpoint/SignalCore.h"

#include <filesystem>

class SignalEndpoint final : public ISipEndpoint {
public:
    // saveDir: where "MsgXml.xls" goes at destruction; empty for the working
    // directory. saveOnExit false keeps tests from writing it.
    explicit SignalEndpoint(bool saveOnExit = true, std::filesystem::path saveDir = {});
    // Stops the endpoint, then writes the log workbook.
    ~SignalEndpoint() override;

    int Start(int transport, const CDlgCfg& settings) override;
    void Stop() override;
    void SetContentType(const char* contentType) override;
    bool IsStarted() const override;
    bool IsRegistered() const override;
    // The edited text goes out with the kind of the last built entry.
    int SendRequest(const std::string& body) override;

    SignalCore& Core() { return core_; }

private:
    bool saveOnExit_;
    std::filesystem::path saveDir_;
    SignalCore core_;
};
