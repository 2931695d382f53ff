#pragma once
// The media session: the offers of the media rows, the device's answer, the
// one receiver (CRTPSession) joined to the decoder (CVidana), playback control
// texts and the stream's figures. Free of any toolkit and of the application
// core; its owner reads the settings, sends what it is handed and shows what
// it is told.
//
// Usage (the owner):
//   CMediaSession media(decoder, &videoView, signal, &mediaView);
//   MediaCommand c = media.BuildMediaCommand(set, row, inputs);   // a media row clicked
//   if (c.handled) { refill the media list with c.showSet (>= 0); show c.refusal;
//                    if (c.send) send c.text as c.kind (5 INVITE, 6 INFO in c.did)
//                    with c.contentType; }
//   media.SetSurface(&videoView);                                // the view, once it exists
//   media.OnCallAnswered(cid, did, remoteSdpText, inputs);       // on the SIP thread
//   media.OnCallClosed(cid);                                     // the device's BYE
//   int set = media.SelectRecording(startText, endText);         // tree clicks
//   media.SetDragRect(rect);                                     // while dragging
//   media.Stop();                                                // exit
//
// Threads: BuildMediaCommand, the Select calls, SetDragRect and Stop run on
// the operator's thread; OnCallAnswered and OnCallClosed on the SIP event
// thread; the frame handler on the receiver's thread m_hRecv, where it decodes
// and hands figures to IMediaView at most once per view interval. With
// Options::startWorker the receivers that answers start are set up on the
// session's own thread m_hStart (connecting to the device takes up to 3 s), so
// OnCallAnswered returns at once. No call waits for the SIP thread
// (IMediaSignal only queues) and the receive thread waits for nobody. Ending a
// stream joins the receiver's threads (one frame's decode at most) on the
// calling thread.

#include "media/session/MediaSeams.h"
#include "media/session/MediaTexts.h"
#include "media/session/StreamStatistics.h"
#include "vidana/lib/Vidana.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class CRTPSession;

// What the owner does after a media row was clicked.
struct MediaCommand {
    bool handled = false; // a row of kind 5 or 6 of the media sets: this session's
    bool send = false;    // send text as kind; false: nothing goes on the wire
    int kind = 0;         // 5 INVITE, 6 INFO
    std::string text;     // the SDP offer or the MANSRTSP text, at most kMediaTextRoom bytes
    const char* contentType = nullptr; // kSdpContentType or kMansrtspContentType
    int showSet = -1;                  // refill the media list with this set; -1 leaves it
    int cid = 0, did = 0; // INFO: the call of the open playback or download (0: none answered)
    std::string refusal;  // set when an offer did not fit the message buffer: show it
};

// What an answer did, for the owner's log.
struct AnswerOutcome {
    MediaStream stream = MediaStream::None; // the offer it answered (None: not one of ours)
    bool receivable = false;                // a video line with a connection
    bool started = false;                   // a receiver was started by it
    bool starting = false; // its receiver's set-up was handed to m_hStart (startWorker)
    bool ended = false; // it answered an offer the operator had ended already: BYE sent
};

struct ReceiverInfo {
    bool exists = false;
    int transport = -1;
    int port = 0;
    bool ready = false;       // the transport came up (see CRTPSession::TransportReady)
    std::size_t accepted = 0; // connections accepted while listening
    // The RTP SSRC the receiver follows, once a packet came.
    std::optional<std::uint32_t> ssrc;
    // RTP sequence of the followed source since the receiver started
    // (CRTPSession::RtpCounts): packets received, gaps in their numbering and
    // the packets those gaps skipped.
    std::uint64_t packets = 0;
    std::uint64_t sequenceGaps = 0;
    std::uint64_t skippedPackets = 0;
};

class CMediaSession {
public:
    struct Options {
        MediaClock clock; // empty: steady_clock
        // Shortest time between two view updates from the receive thread.
        std::chrono::milliseconds viewInterval{250};
        // Local IPv4 address (host order) the UDP receiver binds; 0 any.
        std::uint32_t localIp = 0;
        // Set up the receivers that answers start on the thread m_hStart
        // instead of the thread that calls OnCallAnswered.
        bool startWorker = false;
    };

    // decoder and surface are the owner's (the decoder is bound to surface with
    // SetHWND when a receiver starts); signal ends calls; view may be null.
    // All must outlive the session.
    CMediaSession(CVidana& decoder, IVidanaSurface* surface, IMediaSignal& signal, IMediaView* view,
                  Options options);
    CMediaSession(CVidana& decoder, IVidanaSurface* surface, IMediaSignal& signal, IMediaView* view)
        : CMediaSession(decoder, surface, signal, view, Options{}) {}
    // Stop(), then waits for a receiver start still running on another thread
    // (m_hStart's included: at most one set-up).
    ~CMediaSession();
    CMediaSession(const CMediaSession&) = delete;
    CMediaSession& operator=(const CMediaSession&) = delete;

    // The view the decoder draws into from the next receiver start on.
    void SetSurface(IVidanaSurface* surface);

    // A click on row of media set (0 to 3). Rows of other kinds are not handled.
    MediaCommand BuildMediaCommand(int set, int row, const MediaInputs& in);
    // The answered call of the open playback or download, where playback
    // control goes (both 0 when there is none).
    struct Dialog {
        int cid = 0, did = 0;
    };
    Dialog ControlDialog() const;

    // The device answered an INVITE: its SDP text and identifiers. current is
    // used when the answer belongs to no offer of this session.
    AnswerOutcome OnCallAnswered(int cid, int did, const std::string& sdp,
                                 const MediaInputs& current);
    // The device ended a call (BYE): the stream it belonged to. The receiver
    // keeps running until the operator ends the stream.
    MediaStream OnCallClosed(int cid);

    // Tree selection. Each returns the media set the list must show, or -1
    // when the list stays as it is.
    int SelectChannel() const;
    // Ends an open live view (as its cancel row).
    int SelectDevice();
    // Ends an open live view, then takes the record's times for the progress.
    int SelectRecording(const std::string& startText, const std::string& endText);

    // The drag rectangle of the video view, drawn over every picture.
    void SetDragRect(const VidanaRect& rect);

    // Exit: ends every call known open, stops the receiver and releases the
    // decoder. No frame handler call and no view update follows its return.
    void Stop();

    bool LiveOpen() const;
    bool PlaybackOpen() const;
    bool DownloadOpen() const;
    bool DisplayOn() const { return displayOn_.load(); }
    ReceiverInfo Receiver() const;
    StreamFigures Figures() const;
    std::int32_t RecordingDurationSeconds() const { return duration_.load(); }

    // The receiver's frame callback (RTPFrameCallback); user is the session.
    static void FrameHandler(void* user, unsigned char* frame, std::int32_t length);

private:
    struct CallIds {
        int cid = 0;
        int did = 0;
    };
    struct StreamSlot {
        bool open = false;
        std::optional<CallIds> call;
        std::uint64_t offerStamp = 0; // set while the offer waits for its answer
        bool abandoned = false;       // ended by the operator before the answer came
        MediaInputs inputs;
    };
    struct LooseCall {
        CallIds ids;
        MediaStream stream;
    };

    struct StartJob {
        MediaInputs in;
        std::uint64_t epoch;
    };

    void OnFrame(const std::uint8_t* frame, std::int32_t length);
    // The receiver's idle callback (RTPIdleCallback): no packet for a while.
    static void IdleHandler(void* user);
    void OnIdle();
    // The decoder's and the receiver's totals into the counters.
    void NoteTotals(CRTPSession* r);
    // Hands the figures to the view, at most once per view interval.
    void Publish(std::chrono::steady_clock::time_point now);
    // Creates, sets up and binds the receiver unless one exists or a stop came
    // after epoch; true when it did.
    bool StartMedia(const MediaInputs& in, std::uint64_t epoch);
    // A receiver whose ports could not be opened: a line on standard output
    // and a message to the view.
    void ReportSetupFailure(const std::string& why);
    void StartLoop();
    void StopReceiver();
    void EndStream(MediaStream s);
    MediaCommand Open(const MediaRow& r, const MediaInputs& in);
    std::chrono::steady_clock::time_point Now() const;
    std::int64_t ElapsedAt(std::chrono::steady_clock::time_point t) const;
    MediaViewUpdate Compose(std::int64_t elapsed) const;
    void FlushView();
    StreamSlot& Slot(MediaStream s) { return slots_[static_cast<int>(s)]; }
    const StreamSlot& Slot(MediaStream s) const { return slots_[static_cast<int>(s)]; }

    CVidana& decoder_;
    IVidanaSurface* surface_;
    IMediaSignal& signal_;
    IMediaView* view_;
    Options options_;

    mutable std::mutex mutex_; // everything below up to the receive-thread state
    std::condition_variable startDone_;
    StreamSlot slots_[3]; // Live, Playback, Download
    std::vector<std::uint64_t> voiceAwaiting_;
    std::vector<LooseCall> looseCalls_;
    std::uint64_t stamp_ = 0;
    std::unique_ptr<CRTPSession> receiver_;
    bool starting_ = false;
    int stopping_ = 0;
    std::uint64_t epoch_ = 0; // advanced by every stop; a start begun before it is dropped
    bool decoderBound_ = false;
    std::condition_variable jobReady_;
    std::vector<StartJob> jobs_; // for m_hStart
    bool quit_ = false;
    std::thread m_hStart;

    std::mutex rectMutex_;
    VidanaRect rect_;
    // Held by the receive thread for each frame it hands on: a stop waits on
    // it for a frame in hand. Taken with no other lock held.
    std::mutex frameMutex_;

    // Read by the receive thread.
    std::atomic<bool> displayOn_{false};
    std::atomic<CRTPSession*> activeReceiver_{nullptr};
    std::atomic<bool> downloadOpen_{false};
    std::atomic<int> downloadSpeed_{0};
    std::atomic<std::int32_t> duration_{0};
    StreamCounters counters_;
    std::chrono::steady_clock::time_point startedAt_{};
    std::atomic<std::int64_t> lastElapsed_{0};

    // Receive thread only (and the stopping thread once it has joined it).
    std::optional<std::chrono::steady_clock::time_point> lastPublish_;
    std::chrono::steady_clock::time_point lastNow_{}; // the time of the last figures
    bool pending_ = false;
};
