// The device check's voice broadcast: the window's 音频广播 row toward the
// device's audio output channel (the device itself when it lists none), the
// device's INVITE for the audio answered by the core, a second of a 1 kHz
// tone fed as the microphone (no sound card needed; a WAV source the operator
// chose is sent instead), then the calls ended with their BYEs as 停止音频
// ends them. Runs after the streams, inside the keepalive observation.
#include "app/core/CTarvexCore.h"
#include "check/driver/CheckDriver.h"

#include <cmath>
#include <cstdio>
#include <vector>

namespace tarvex::check {
namespace {

using namespace std::chrono_literals;

constexpr int kRowBroadcast = 1; // set 0 "音频广播"
// How long the device has to INVITE after answering the notification.
constexpr auto kInviteWait = 3s;
constexpr int kToneBlocks = 50; // 20 ms each
constexpr int kRate = 8000;

// A channel whose identifier's type (digits 11 to 13) is 137, an audio output.
int AudioOutput(const TreeItem& t) {
    if (t.kind == kNodeChannel && t.text.size() >= 20 && t.text.compare(10, 3, "137") == 0) return t.item;
    for (const TreeItem& c : t.children)
        if (int i = AudioOutput(c)) return i;
    return 0;
}

int FirstOfKind(const TreeItem& t, int kind) {
    if (t.kind == kind) return t.item;
    for (const TreeItem& c : t.children)
        if (int i = FirstOfKind(c, kind)) return i;
    return 0;
}

} // namespace

bool CheckDriver::BroadcastSettled(std::size_t from) {
    ReadLog();
    const ObservedMessage* sent = nullptr;
    for (std::size_t i = from; i < messages_.size() && !sent; ++i)
        if (messages_[i].Sent() && messages_[i].manscdp.Is("Notify", "Broadcast")) sent = &messages_[i];
    if (!sent) return false;
    if (const ObservedMessage* a = FinalAnswer(*sent); a && a->sip.status >= 300) return true;
    for (std::size_t i = from; i < messages_.size(); ++i) {
        const ObservedMessage& m = messages_[i];
        if (!m.Received()) continue;
        if (m.manscdp.Is("Response", "Broadcast") &&
            ChildText(m.manscdp.root, "Result").find("ERROR") != std::string::npos)
            return true;
        if (m.IsRequest("INVITE"))
            if (const ObservedMessage* a = FinalAnswer(m); a && a->sip.status != 200) return true;
    }
    return core_.Voice().Sending();
}

void CheckDriver::Broadcast(Observation& obs) {
    if (Cancelled()) return;
    SubStep("voice broadcast");
    const TreeItem tree = core_.TreeSnapshot();
    // A channel first, so that the channel's rows are the media set shown (a
    // device keeps the set there was).
    const int channel = FirstOfKind(tree, kNodeChannel);
    if (channel) core_.TreeClicked(channel);
    int target = AudioOutput(tree);
    if (!target) target = FirstOfKind(tree, kNodeDevice);
    if (!target) return;
    core_.TreeClicked(target);
    if (core_.MediaSetNumber() != 0) return;
    ReadLog();
    const std::size_t from = messages_.size();
    core_.ClickCommand(kListMedia, kRowBroadcast, OperatorInputs{});
    WaitFor([&] { return BroadcastSettled(from); }, kInviteWait);
    if (core_.Voice().Sending()) {
        std::vector<std::int16_t> block(kRate / 50);
        for (int b = 0; b < kToneBlocks && !Cancelled(); ++b) {
            for (std::size_t i = 0; i < block.size(); ++i) {
                const double t = static_cast<double>(b * block.size() + i) / kRate;
                block[i] = static_cast<std::int16_t>(8000 * std::sin(2 * M_PI * 1000 * t));
            }
            core_.Voice().FeedMicrophone(block.data(), block.size(), kRate, 1);
            Pause(20ms);
        }
    }
    if (core_.Voice().Active()) obs.broadcastPackets = core_.Voice().PacketsSent();
    // 停止音频: every voice call ends with its BYE.
    bool ended = false;
    for (int cid : core_.Voice().EndAll()) {
        core_.Sip().EndCall(cid, 0);
        std::printf("call %d ended (voice), BYE sent\n", cid);
        ended = true;
    }
    std::fflush(stdout);
    if (ended)
        WaitFor(
            [&] {
                ReadLog();
                const ObservedMessage* bye = FindSentRequest(from, "BYE");
                return bye && FinalAnswer(*bye);
            },
            options_.answerWait);
}

} // namespace tarvex::check
