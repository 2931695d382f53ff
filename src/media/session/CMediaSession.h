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
#include "media/session/StreamSaver.h"
#include "media/session/StreamStatistics.h"
#include "vidana/lib/Vidana.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
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
    // An offer's identifier (0 for other rows): once the INVITE is sent, hand
    // it with the INVITE's call id to OfferSent.
    std::uint64_t offer = 0;
};

// What an answer did, for the owner's log.
struct AnswerOutcome {
    MediaStream stream = MediaStream::None; // the offer it answered (None: not one of ours)
    bool receivable = false;                // a video line with a connection
    bool started = false;                   // a receiver was started by it
    bool starting = false; // its receiver's set-up was handed to m_hStart (startWorker)
    bool ended = false; // it answered an offer the operator had ended already: BYE sent
    bool held = false;  // it came before its INVITE's OfferSent: filed then
};

struct ReceiverInfo {
    bool exists = false;
    int transport = -1;
    int port = 0;
    bool ready = false;       // the transport came up (see CRTPSession::TransportReady)
    std::size_t accepted = 0; // connections accepted while listening
    // TCP connections back after a drop (CRTPSession::Reconnections).
    std::size_t reconnections = 0;
    // The RTP SSRC the receiver follows, once a packet came.
    std::optional<std::uint32_t> ssrc;
    // RTP sequence of the followed source since the receiver started
    // (CRTPSession::RtpCounts): packets received, gaps in their numbering and
    // the packets those gaps skipped.
    std::uint64_t packets = 0;
    std::uint64_t sequenceGaps = 0;
    std::uint64_t skippedPackets = 0;
    // TCP framing the followed source came in: 0 none seen (UDP, no packet
    // yet), 1 RFC 4571, 2 RTSP interleaved ('$', channel, length).
    int tcpFraming = 0;
    // Whether Tarvex's receiver kept up (CRTPSession::ReceiveQueueFigures):
    // UDP datagrams the kernel dropped for it; TCP receive-queue samples,
    // the bytes they found waiting in all and the largest. Totals.
    std::uint64_t kernelDrops = 0;
    std::uint64_t queueSamples = 0, queuedBytes = 0, largestQueued = 0;
    // How long the frames so far waited for the receive thread after their
    // last packet was read (CRTPSession::FrameClock::waitUs), microseconds.
    std::uint64_t frameWaitUs = 0;
    // Frames with video received so far, and the RTP timestamp and arrival
    // of the first and the last one (none before the first): the device's clock.
    std::uint64_t videoFrames = 0;
    std::optional<std::uint32_t> firstFrameTimestamp, lastFrameTimestamp;
    std::chrono::steady_clock::time_point firstFrameAt{}, lastFrameAt{};
    // Key pictures so far and the program stream around them
    // (CRTPSession::KeyPictureCounts): without a pack header, a system header,
    // a program stream map before their video; under a map whose video stream
    // type is not the pictures' own; the last such types seen (0 none).
    std::uint64_t keyPictures = 0, keysWithoutPack = 0, keysWithoutSystemHeader = 0,
                  keysWithoutMap = 0, keysTypeMismatch = 0;
    int mapStreamType = 0, pictureStreamType = 0;
    // The key pictures' RTP timestamps: the last one's, and the intervals
    // between consecutive ones (90 kHz ticks): how many, shortest, longest.
    std::optional<std::uint32_t> lastKeyTimestamp;
    std::uint64_t keyIntervals = 0;
    std::uint32_t shortestKeyTicks = 0, longestKeyTicks = 0;
    // What the receiver takes, as the answer named it: the payload type,
    // 0 PS / 1 H.264 / 2 H.265 elementary RTP, and the y= SSRC it prefers.
    int payloadType = 96;
    int format = 0;
    std::optional<std::uint32_t> expectedSsrc;
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
        // A stream whose first RTP packet has not come this long after the
        // answer is said to the view (and on standard error).
        std::chrono::milliseconds noStreamAfter{5000};
    };

    // Streams open at once, each with its own receiver: live view, playback,
    // download and one INVITE typed by hand. The n-th of them (in the order
    // they are free) takes the receiver port + 4 n.
    static constexpr int kStreamSlots = 4;
    static constexpr int kPortStep = 4;
    // Offers kept waiting for their answers.
    static constexpr std::size_t kMaxOffers = 64;

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
    // The INVITE of offer (MediaCommand::offer) went out with this call id
    // (0 or less: it could not be sent, and no answer will come). Returns the
    // answers held until now that were filed (their call ids and outcomes).
    std::vector<std::pair<int, AnswerOutcome>> OfferSent(std::uint64_t offer, int callId);
    // The answered call of the open playback or download, where playback
    // control goes (both 0 when there is none).
    struct Dialog {
        int cid = 0, did = 0;
    };
    Dialog ControlDialog() const;

    // The device answered an INVITE: its SDP text and identifiers. The answer
    // is filed under the offer whose INVITE had call id cid; current is used
    // when it belongs to no offer of this session (an INVITE typed by hand).
    AnswerOutcome OnCallAnswered(int cid, int did, const std::string& sdp,
                                 const MediaInputs& current);
    // The device ended a call (BYE), or refused an offer's INVITE (a 3xx to
    // 6xx final answer): the stream it belonged to. A video
    // stream ends in the window: its receiver stops, the progress is closed
    // and, when nothing else is drawn, the picture is cleared; the owner shows
    // set 0.
    MediaStream OnCallClosed(int cid);
    // A MediaStatus notification of a device or channel. 121 (the recording
    // was sent whole) completes the progress of the playback or download of
    // that channel (any, when none matches the identifier) and ends its call
    // with BYE. Returns the set the media list shows (0), or -1 when nothing
    // ended.
    int OnMediaStatus(const std::string& deviceOrChannelId, int notifyType);

    // Tree selection. Each returns the media set the list must show, or -1
    // when the list stays as it is.
    int SelectChannel() const;
    // Ends an open live view (as its cancel row).
    int SelectDevice();
    // Ends an open live view, then takes the record's times for the progress.
    int SelectRecording(const std::string& startText, const std::string& endText);

    // The drag rectangle of the video view, drawn over every picture.
    void SetDragRect(const VidanaRect& rect);

    // Exit: ends every call known open, stops the receivers and releases the
    // decoder. No frame handler call and no view update follows its return.
    void Stop();

    // 录像: while a live view is open, its pictures are written from now on;
    // the second toggle (or the view's end) remuxes them into
    // <channel>-<start>-<end>.mp4 in the working folder (wall-clock times), said
    // as a download's file is; with savePs (保存PS流, read at the first toggle)
    // the program stream as it came goes beside it as <channel>-<start>-<end>.ps.
    // Returns whether a recording runs.
    bool ToggleLiveRecording(bool savePs = false);
    bool LiveRecording() const;

    bool LiveOpen() const;
    bool PlaybackOpen() const;
    bool DownloadOpen() const;
    bool DisplayOn() const;
    // The receiver of the stream drawn in the view (or of the given stream).
    ReceiverInfo Receiver() const;
    ReceiverInfo Receiver(MediaStream s) const;
    // The stream drawn in the view (None when none is).
    MediaStream Drawn() const;
    StreamFigures Figures() const;
    // The figures of every stream with a receiver (any thread; polled by the
    // window's media pane), in slot order.
    std::vector<CallFigures> OpenCalls() const;
    std::int32_t RecordingDurationSeconds() const { return duration_.load(); }

    // The device's audio: the audio carried in the program stream of the drawn
    // stream (live view or playback), as the receiver cut it out of each
    // frame, with the stream type its map named (0 unknown). Called on the
    // receive thread; must return at once (queue, never wait). Set before the
    // first stream starts.
    using AudioTap = std::function<void(std::uint8_t streamType, const std::uint8_t* data,
                                        std::size_t length)>;
    void SetAudioTap(AudioTap tap) { audioTap_ = std::move(tap); }

    // The receiver's frame callback (RTPFrameCallback) of the drawn stream;
    // user is the session.
    static void FrameHandler(void* user, unsigned char* frame, std::int32_t length);

private:
    struct CallIds {
        int cid = 0;
        int did = 0;
    };
    // How a receiver is set up: UDP on the receiver port, listening on it, or
    // connecting to the device's address and port.
    struct ReceiverPlan {
        int transport = 0; // the setting's index (what Receiver() reports)
        TcpRole role = TcpRole::None;
        std::string peer;  // the device's address
        int connectPort = 0;
        std::optional<std::uint32_t> ssrc; // the answer's y=
        int payloadType = 96;              // the answer's first video format
        int format = 0; // what it carries: 0 PS, 1 H.264, 2 H.265 (CRTPSession::Format)
    };
    // One stream and its receiver.
    struct StreamSlot;
    struct FrameTarget {
        CMediaSession* session = nullptr;
        int slot = 0;
    };
    struct StreamSlot {
        bool open = false;
        std::optional<CallIds> call;
        MediaInputs inputs; // with the port of this stream
        std::unique_ptr<CRTPSession> receiver;
        int receiverTransport = -1;
        bool starting = false;
        int stopping = 0;
        std::uint64_t epoch = 0; // advanced by every stop; a start begun before it is dropped
        StreamCounters counters;
        // a=filesize of the answer (bytes; 0 none): a download's progress by
        // the bytes received instead of the stream's time.
        std::atomic<std::int64_t> fileSize{0};
        std::chrono::steady_clock::time_point startedAt{};
        std::atomic<std::int64_t> lastElapsed{0};
        std::atomic<CRTPSession*> active{nullptr};
        std::atomic<bool> receiving{false}; // frames are taken
        // Receive thread only (and the stopping thread once it has joined it).
        std::optional<std::chrono::steady_clock::time_point> lastPublish;
        std::chrono::steady_clock::time_point lastNow{}; // the time of the last figures
        bool pending = false;
        std::unique_ptr<StreamSaver> saver; // a download's file, or a live view's 录像
        std::int64_t savedFrom = 0;         // the 录像's start, seconds since 1970
        // 保存PS流: the download's or the 录像's program stream as received
        // (written by the receive thread under the frame gate; a download's is
        // closed once the receiver has been joined, a 录像's under the gate).
        std::FILE* rawPs = nullptr;
        std::string rawPsPath;
        std::uint64_t rawPsBytes = 0;
    };
    // An offer sent or about to be: its call id once OfferSent gave it.
    struct Offer {
        std::uint64_t id = 0;
        MediaStream stream = MediaStream::None;
        bool sent = false;
        int cid = 0;
        bool abandoned = false; // its stream was ended before the answer came
    };
    struct HeldAnswer {
        int cid = 0, did = 0;
        std::string sdp;
        MediaInputs current;
    };
    struct LooseCall {
        CallIds ids;
        MediaStream stream;
    };
    struct StartJob {
        int slot;
        MediaInputs in;
        ReceiverPlan plan;
        std::uint64_t epoch;
    };
    // The first packet must come by `due`, or the view is told.
    struct Watch {
        std::chrono::steady_clock::time_point due;
        int slot;
        std::uint64_t epoch;
        std::string what; // the transport and port, for the message
        std::optional<std::uint32_t> ssrc;
    };

    static void SlotFrameHandler(void* user, unsigned char* frame, std::int32_t length);
    static void SlotRawHandler(void* user, const std::uint8_t* data, std::size_t length);
    static void SlotAudioHandler(void* user, std::uint8_t streamType, const std::uint8_t* data,
                                 std::size_t length);
    // Closes the slot's .ps file once its receiver is gone (renamed to
    // finalPath when one is given) and says where it went.
    void FinishRawPs(int slot, const std::string& finalPath = {});
    struct RawPsFile {
        std::FILE* file = nullptr;
        std::string path;
        std::uint64_t bytes = 0;
    };
    // The slot's .ps file taken out of it (under mutex_, and the frame gate
    // while its receiver runs), then closed and said.
    static RawPsFile TakeRawPs(StreamSlot& st);
    void CloseRawPs(RawPsFile f, const std::string& finalPath);
    void OnFrame(int slot, const std::uint8_t* frame, std::int32_t length);
    // The receiver's idle callback (RTPIdleCallback): no packet for a while.
    static void SlotIdleHandler(void* user);
    static void SlotTransportHandler(void* user, const std::string& text);
    void OnIdle(int slot);
    // The decoder's (for the drawn stream) and the receiver's totals into the
    // slot's counters.
    void NoteTotals(int slot, CRTPSession* r, bool drawn);
    // Hands the drawn stream's figures to the view, at most once per view
    // interval.
    void Publish(int slot, std::chrono::steady_clock::time_point now, bool drawn);
    // Creates, sets up and binds the slot's receiver unless it has one or a
    // stop came after epoch; true when it did.
    bool StartMedia(int slot, const MediaInputs& in, const ReceiverPlan& plan,
                    std::uint64_t epoch);
    AnswerOutcome FileAnswer(int cid, int did, const std::string& sdp, const MediaInputs& current,
                             std::optional<Offer> offer);
    // A receiver whose ports could not be opened: a line on standard output
    // and a message to the view.
    void ReportSetupFailure(const std::string& why);
    // A line on standard error and a message to the view.
    void Say(const std::string& line);
    void StartLoop();
    // m_hWatch: the streams that must show their first packet.
    void WatchLoop();
    void Arm(int slot, const ReceiverPlan& plan, int port, std::uint64_t epoch);
    // A black picture over the whole view: nothing of an earlier stream stays.
    void ClearPicture(IVidanaSurface* surface);
    void StopReceiver(int slot);
    // Finishes a saver taken from its slot and says where it went.
    void FinishSaver(std::unique_ptr<StreamSaver> saver, bool hevc, const std::string& finalPath);
    void ClearIfNothingDrawn();
    void EndStream(MediaStream s);
    MediaCommand Open(const MediaRow& r, const MediaInputs& in);
    // The slot that should be drawn: the latest started stream that is not a
    // download, else the download. Under mutex_.
    int ChooseDrawnLocked() const;
    // Binds the decoder to the drawn slot (a change rebinds it afresh).
    // Under mutex_, with the frame gate held by the caller when a stream runs.
    void Redraw();
    std::chrono::steady_clock::time_point Now() const;
    std::int64_t ElapsedAt(const StreamSlot& s, std::chrono::steady_clock::time_point t) const;
    MediaViewUpdate Compose(int slot, std::int64_t elapsed) const;
    void FlushView(int slot);
    static int SlotOf(MediaStream s) {
        return s == MediaStream::None ? 3 : static_cast<int>(s);
    }
    StreamSlot& Slot(MediaStream s) { return slots_[SlotOf(s)]; }
    const StreamSlot& Slot(MediaStream s) const { return slots_[SlotOf(s)]; }
    ReceiverInfo InfoLocked(int slot) const;

    CVidana& decoder_;
    IVidanaSurface* surface_;
    IMediaSignal& signal_;
    IMediaView* view_;
    Options options_;
    AudioTap audioTap_; // set before any receiver, then only read

    mutable std::mutex mutex_; // everything below up to the receive-thread state
    std::condition_variable startDone_;
    StreamSlot slots_[kStreamSlots]; // Live, Playback, Download, typed by hand
    FrameTarget targets_[kStreamSlots];
    std::vector<Offer> offers_;
    std::vector<HeldAnswer> held_;
    std::vector<LooseCall> looseCalls_;
    std::uint64_t stamp_ = 0;
    std::uint64_t startOrder_[kStreamSlots] = {};
    int drawn_ = -1;        // the slot the decoder draws
    bool decoderBound_ = false;
    std::condition_variable jobReady_;
    std::vector<StartJob> jobs_; // for m_hStart
    bool quit_ = false;
    std::thread m_hStart;
    std::condition_variable watchWake_;
    std::vector<Watch> watches_;
    std::thread m_hWatch;

    std::mutex rectMutex_;
    VidanaRect rect_;
    // Held by a receive thread for each frame it hands on: a stop waits on
    // it for a frame in hand. Taken with no other lock held.
    std::mutex frameMutex_;

    // Read by the receive threads.
    std::atomic<int> drawnSlot_{-1};
    std::atomic<std::int32_t> duration_{0};
    std::int64_t recordStart_ = 0, recordEnd_ = 0; // the recording clicked
};
