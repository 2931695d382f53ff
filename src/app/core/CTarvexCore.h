#pragma once
// The state and logic of the main dialog, free of any toolkit: settings, the
// SIP endpoint, the local address list, start-up, settings restart and exit.
// CTarvexDlg is a view over it (ICoreView) and forwards the operator's actions.

#include "app/core/ICoreView.h"
#include "app/core/ISipEndpoint.h"
#include "app/core/LocalAddresses.h"
#include "audio/meter/AudioToggle.h"
#include "manscdp/cfg/CDlgCfg.h"
#include "vidana/lib/Vidana.h"

#include <cstdint>
#include <functional>
#include <memory>

class CTarvexCore {
public:
    using AdapterLister = std::function<bool(std::vector<LocalAdapter>&)>;

    // settings are loaded already (CDlgCfg loads at construction). The endpoint
    // is the SIP user agent; lister defaults to getifaddrs.
    CTarvexCore(std::unique_ptr<CDlgCfg> settings, std::unique_ptr<ISipEndpoint> sip,
                AdapterLister lister = {});
    // Stops the endpoint if it is still running (the close-box path).
    ~CTarvexCore();
    CTarvexCore(const CTarvexCore&) = delete;
    CTarvexCore& operator=(const CTarvexCore&) = delete;

    void SetView(ICoreView* view) { view_ = view; }

    // Window initialisation, steps 4 to 7: speed, device tree root, content
    // type, endpoint start.
    void Initialise();
    // Step 11: the local address tree, or the failure message and the root alone.
    void ListAddresses();

    // Slider 1056 released at pos, or edit 1065 changed to value: the speed byte
    // and the settings' pan-tilt-zoom speed follow.
    void SpeedFromSlider(int pos);
    void SpeedFromEdit(int value);
    // Edit 1058: the pan-tilt-zoom address byte (accepted range 0 to 254).
    bool SetPtzAddress(int value);

    // An address of tree 1094 became checked: it is this system's address from
    // the next endpoint start on.
    void AddressChecked(const std::string& address);

    // The settings dialog ended with OK (it has stored the settings). With a new
    // local port or identifier: new tree root, stop the endpoint, and start it
    // again 1000 ms later through the view's timer.
    void SettingsAccepted();
    bool RestartPending() const { return restartPending_; }

    // Button 1093 "发送": with check box 1092 on, text goes out as the body of a
    // request of the selected kind. The endpoint's result, or 1 when unchecked.
    int SendCustom(bool customChecked, const std::string& text);

    // Who releases the device records at exit (the signalling layer owns them).
    void SetDeviceRecordsRelease(std::function<void()> fn) { releaseDevices_ = std::move(fn); }

    // Exit button, steps 1 to 6; the view then closes the dialog with OK.
    void Exit();

    // The decoder of the media session; made first, destroyed last.
    CVidana& Decoder() { return decoder_; }
    // Audio capture with the input meter (button 1102); stops with the core.
    AudioToggle& Audio() { return audio_; }
    CDlgCfg& Settings() { return *settings_; }
    ISipEndpoint& Sip() { return *sip_; }
    int SpeedByte() const { return speedByte_; }
    int PtzAddress() const { return ptzAddress_; }
    // Result of the last endpoint start (0 or -1).
    int LastStartResult() const { return lastStart_; }
    bool Exited() const { return exited_; }

private:
    void StartEndpoint();

    // Constructed in this order and destroyed in the reverse: the endpoint
    // stops first, then audio capture, and the decoder goes last.
    CVidana decoder_;
    AudioToggle audio_;
    std::unique_ptr<CDlgCfg> settings_;
    std::unique_ptr<ISipEndpoint> sip_;
    AdapterLister lister_;
    std::function<void()> releaseDevices_;
    ICoreView* view_ = nullptr;
    std::uint8_t speedByte_ = 0;
    std::uint8_t ptzAddress_ = 0;
    int lastStart_ = -1;
    bool restartPending_ = false;
    bool exited_ = false;
    // Cancels a pending restart when the core is torn down first.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
