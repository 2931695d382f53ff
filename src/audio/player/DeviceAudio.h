#pragma once
// The device's sound: the audio that a live view's or playback's program
// stream carries (G.711 A-law or mu-law, AAC in ADTS), and what a device sends
// in a talk call, decoded with FFmpeg and played through an AudioPlayer, with
// the output meter drawn from what goes to the sound card.
//
// Push never waits: the encoded audio goes into a queue of at most
// kQueueLimit pieces (the oldest dropped when it is full) that a thread of
// its own decodes and hands to the player, whose own queue and thread feed
// ALSA. The receive thread, which also carries the video, only copies bytes.
//
//   DeviceAudio a;                       // "default", or another ALSA name
//   a.PushStreamType(0x90, bytes, n);    // on the receive thread
//   a.SetMuted(true);
//   a.SetOutputMeter(&meterWindow);
//   a.Stop();                            // joins; Push starts it again

#include "audio/meter/AudioMeter.h"
#include "audio/meter/AudioToggle.h"
#include "audio/player/AudioPlayer.h"
#include "media/audio/G711Codec.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tvaudio {

enum class DeviceCodec { G711A, G711U, Aac };

// Program stream map types: 0x90 G.711 A-law, 0x91 mu-law, 0x0F AAC (ADTS).
std::optional<DeviceCodec> CodecOfStreamType(uint8_t streamType);

class AacDecode; // FFmpeg's AAC decoder behind its ADTS parser (DeviceAudio.cpp)

class DeviceAudio {
public:
    // About 2 s of a program stream's audio packs (one per 40 ms picture).
    static constexpr std::size_t kQueueLimit = 50;

    explicit DeviceAudio(std::string device = "default");
    ~DeviceAudio();
    DeviceAudio(const DeviceAudio&) = delete;
    DeviceAudio& operator=(const DeviceAudio&) = delete;

    // Any thread; never waits for decoding or the sound card.
    void Push(DeviceCodec codec, const uint8_t* data, std::size_t length);
    // The audio of a program stream by its map's stream type; a type that is
    // not played (0: no map named one yet) is counted in Skipped.
    void PushStreamType(uint8_t streamType, const uint8_t* data, std::size_t length);
    // Ends the thread (what is queued is dropped) and closes the device.
    void Stop();

    void SetMuted(bool muted);
    bool Muted() const { return muted_.load(); }
    // The output meter (null: none); waits for a drawing in progress, so the
    // old window is not touched once this returns.
    void SetOutputMeter(MeterWindow* window);

    // Frames written to the sound card (silence too, when muted).
    uint64_t FramesPlayed() const { return played_.load(); }
    uint64_t Pieces() const { return pieces_.load(); }   // taken by Push
    uint64_t Dropped() const { return dropped_.load(); } // queue full
    uint64_t Skipped() const { return skipped_.load(); } // of a type not played
    // Why the sound card could not be opened (empty when it could).
    std::string Error() const;

private:
    struct Piece {
        DeviceCodec codec;
        std::vector<uint8_t> bytes;
    };
    void Run();
    void Decode(Piece& p);
    void Play(const PcmBlock& b);
    void DrawMeter(const PcmBlock& b);

    std::string device_;
    std::mutex lock_; // queue_, quit_, running_ (a leaf)
    std::condition_variable wake_;
    std::deque<Piece> queue_;
    bool quit_ = false;
    bool running_ = false;
    std::thread thread_;
    std::atomic<bool> muted_{false};
    std::atomic<uint64_t> pieces_{0}, dropped_{0}, skipped_{0};

    // The decoding thread's own.
    std::unique_ptr<G711Decode> alaw_, ulaw_;
    std::unique_ptr<AacDecode> aac_;
    std::unique_ptr<AudioPlayer> player_;
    int playerRate_ = 0, playerChannels_ = 0;
    struct ToPlay final : Sink<PcmBlock> {
        DeviceAudio* self = nullptr;
        void Push(const PcmBlock& b) override { self->Play(b); }
    } toPlay_;
    std::atomic<uint64_t> played_{0};

    mutable std::mutex errorLock_;
    std::string error_;

    std::mutex meterLock_; // the window and the meter; held while drawing (a leaf)
    MeterWindow* meterWindow_ = nullptr;
    AudioMeter meter_;
    std::vector<int16_t> stereo_;
};

} // namespace tvaudio
