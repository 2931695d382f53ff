#include "app/core/CTarvexCore.h"

#include <cstdio>

namespace {
constexpr const char* kContentType = "application/MANSCDP+xml\r\n";
constexpr int kRestartPauseMs = 1000;
} // namespace

CTarvexCore::CTarvexCore(std::unique_ptr<CDlgCfg> settings, std::unique_ptr<ISipEndpoint> sip,
                         AdapterLister lister)
    : settings_(std::move(settings)), sip_(std::move(sip)), lister_(std::move(lister)) {
    if (!lister_) lister_ = ListLocalAdapters;
}

CTarvexCore::~CTarvexCore() {
    *alive_ = false;
    if (sip_) sip_->Stop();
}

void CTarvexCore::Initialise() {
    // Speed slider: the speed byte starts at the settings' pan-tilt-zoom speed.
    speedByte_ = settings_->ptzSpeed;
    if (view_) view_->ShowSpeed(speedByte_);
    if (view_) view_->ResetDeviceTree(settings_->localId);
    sip_->ResetTree(settings_->localId);
    sip_->SetContentType(kContentType);
    StartEndpoint();
}

void CTarvexCore::ListAddresses() {
    std::vector<LocalAdapter> adapters;
    if (!lister_(adapters)) {
        if (view_) view_->ShowMessage("Call to GetAdaptersInfo failed.\n");
        return;
    }
    if (view_) view_->ShowLocalAddresses(AddressTreeItems(adapters));
}

void CTarvexCore::StartEndpoint() {
    lastStart_ = sip_->Start(settings_->localTransport, *settings_);
    std::printf("SIP endpoint start transport %d port %d: %d\n", settings_->localTransport,
                settings_->localPort, lastStart_);
    std::fflush(stdout);
}

void CTarvexCore::SpeedFromSlider(int pos) {
    speedByte_ = static_cast<std::uint8_t>(pos);
    settings_->ptzSpeed = speedByte_;
    if (view_) view_->ShowSpeed(speedByte_);
}

void CTarvexCore::SpeedFromEdit(int value) {
    speedByte_ = static_cast<std::uint8_t>(value);
    settings_->ptzSpeed = speedByte_;
    if (view_) view_->ShowSpeed(speedByte_);
}

bool CTarvexCore::SetPtzAddress(int value) {
    if (value < 0 || value > 254) return false;
    ptzAddress_ = static_cast<std::uint8_t>(value);
    return true;
}

void CTarvexCore::AddressChecked(const std::string& address) { settings_->localAddress = address; }

void CTarvexCore::SettingsAccepted() {
    if (!settings_->RestartNeeded() || exited_) return;
    if (view_) view_->ResetDeviceTree(settings_->localId);
    sip_->ResetTree(settings_->localId);
    sip_->Stop();
    if (restartPending_) return; // the pending start picks up the newest settings
    restartPending_ = true;
    auto start = [this, alive = alive_] {
        if (!*alive) return;
        restartPending_ = false;
        if (!exited_) StartEndpoint();
    };
    if (view_)
        view_->RunLater(kRestartPauseMs, start);
    else
        start();
}

int CTarvexCore::SendCustom(bool customChecked, const std::string& text) {
    if (!customChecked) return 1;
    return sip_->SendRequest(text);
}

void CTarvexCore::Exit() {
    // Steps 1 to 3: the endpoint ends its thread, shuts the library down and
    // marks itself inactive.
    sip_->Stop();
    // Step 4: the device records.
    if (releaseDevices_) releaseDevices_();
    // Step 5, stopping a media session, belongs to the media layer, which is
    // not part of this program yet.
    exited_ = true;
    settings_->Store();
}
