// Public interface of libvidana.so: the decoder class CVidana and the small
// interfaces it talks to. Nothing else is exported from the library.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#define VIDANA_API __attribute__((visibility("default")))

// A rectangle as the window system spells it: edges, not origin and size.
struct VidanaRect {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
};

struct VidanaSize {
    int32_t width = 0;
    int32_t height = 0;
};

// Picture memory a surface lends the decoder: width x height pixels of 32
// bits, bytes B, G, R, 255 (QImage::Format_RGB32 on a little-endian machine),
// rows stride bytes apart. The decoder may write up to kVidanaCanvasSlack
// bytes past the last pixel (swscale's vector code writes whole blocks).
struct VidanaCanvas {
    uint8_t* bits = nullptr;
    int32_t stride = 0;
};
constexpr int32_t kVidanaCanvasSlack = 1024;

// A decoded H.264 / H.265 picture kept for the surface: fitted to the view, in
// the stream's own planar format, with the drag overlay of its moment. Read
// only; converted by a CVidanaPainter, freed by the library.
struct VidanaPicture;
struct VIDANA_API CVidanaPictureDelete {
    void operator()(const VidanaPicture* picture) const;
};
using VidanaPicturePtr = std::unique_ptr<const VidanaPicture, CVidanaPictureDelete>;

// The view CVidana draws into (what SetHWND takes in place of a window handle).
//
// Every operation is called on the thread that calls DecodeXFrame / DecodeOstra
// (in tarvex the media receive thread), never on the GUI thread. An
// implementation must therefore be thread-safe against its own GUI: ClientSize
// reports the last known client size (e.g. kept in an atomic on resize) and
// Present copies the picture and queues a repaint; none may block on the GUI
// thread, nor call back into CVidana.
//
// H.264 and H.265 pictures are scaled to fit the client area with their aspect
// ratio kept: the picture presented is at most the client size, and as large
// as the aspect ratio allows (one side equals the client's). A surface shows
// it centred; the drag overlay is drawn in client coordinates on that
// assumption.
class IVidanaSurface {
public:
    virtual ~IVidanaSurface() = default;
    // Current client area of the view in pixels (0 x 0 when it has none).
    virtual VidanaSize ClientSize() const = 0;
    // One picture of packed 24-bit BGR, rows of exactly 3 * width bytes, top row
    // first, to be shown 1:1 with its top-left corner at the view's top-left
    // corner (no scaling); what lies outside it stays as it was. The bytes are
    // valid only during the call.
    virtual void Present(const uint8_t* bgr, int32_t width, int32_t height) = 0;
    // A picture the decoder could not show, and why ("picture 9000 x 5000 is
    // larger than 7680 x 4320: not shown"): said once per cause and session.
    // The default writes the text to standard error.
    virtual void PictureNotShown(const char* why) { std::fprintf(stderr, "%s\n", why); }
    // Optional, for H.264 and H.265: the memory of the next picture, which
    // the decoder converts straight into (fast bilinear scaling, no copy);
    // false (the default) and the picture goes through Present. Each true
    // BeginCanvas is followed by one EndCanvas: the picture is complete,
    // show it. width x height is the picture fitted to the view.
    virtual bool BeginCanvas(int32_t width, int32_t height, VidanaCanvas& canvas) {
        (void)width, (void)height, (void)canvas;
        return false;
    }
    virtual void EndCanvas() {}
    // Optional, for H.264 and H.265, asked before BeginCanvas: true and each
    // picture is handed to KeepPicture, to be converted (CVidanaPainter) when,
    // and only if, it is painted, straight into the memory painted; counted as
    // shown when handed over. False (the default): BeginCanvas or Present.
    virtual bool KeepsPictures() const { return false; }
    virtual void KeepPicture(VidanaPicturePtr picture) { (void)picture; }
};

// Converts kept pictures to 32-bit pixels (bytes B, G, R, 255), as the canvas
// path does (fast bilinear to the fitted size, then 1:1). One per thread that
// paints; not thread-safe itself.
class VIDANA_API CVidanaPainter {
public:
    CVidanaPainter();
    ~CVidanaPainter();
    CVidanaPainter(const CVidanaPainter&) = delete;
    CVidanaPainter& operator=(const CVidanaPainter&) = delete;
    // The picture's size (the fitted size).
    static VidanaSize SizeOf(const VidanaPicture& picture);
    // Writes the picture, overlay drawn, with its top-left corner at x, y of
    // 32-bit memory of `bytes` bytes, rows stride bytes apart (at least 128),
    // and no byte outside it. False (nothing written) when it does not fit, or
    // when the converter's overrun past the last row (up to 128 bytes) would
    // pass the end of the memory.
    bool Paint(const VidanaPicture& picture, uint8_t* bits, int64_t stride, int64_t bytes,
               int32_t x, int32_t y);

private:
    struct State;
    std::unique_ptr<State> m_state;
};


// What the video decoder did since the session began (SetHWND).
struct VidanaPictureCounts {
    uint64_t shown = 0;       // pictures presented to the surface
    uint64_t undecodable = 0; // frames the decoder rejected, pictures it marked damaged
    uint64_t refused = 0;     // pictures decoded but not shown (too large, no memory)
    int32_t width = 0, height = 0; // the stream's size of the last picture decoded; 0 before one
};

// The largest H.264 / H.265 picture shown (8K UHD).
constexpr int32_t kVidanaMaxWidth = 7680;
constexpr int32_t kVidanaMaxHeight = 4320;

// Receives the wave-device error texts of the audio paths ("Specified resource
// is already allocated." and so on). Called on the thread of the failing call
// (the decoding thread for playback, the capture thread for capture); must not
// block. Without a notifier the texts go to standard error.
class IVidanaNotifier {
public:
    virtual ~IVidanaNotifier() = default;
    virtual void WaveError(const char* text) = 0;
};

// Audio capture callback: one filled buffer of mu-law samples and its length.
// The result is not used.
using VidanaACallBack = int32_t (*)(uint8_t* data, uint32_t length);

// Frame type codes of CVidana::DecodeXFrame. Any other code below 17 is
// decoded as H.264, as 7 is; 17 and above is G.711 mu-law audio.
enum : int32_t {
    kVidanaFrameMJpeg = 2,
    kVidanaFrameH264 = 7,
    kVidanaFrameH265 = 8,
    kVidanaFrameAudio = 17,
};

// The frame type code for the video stream type of a program stream map
// (ISO/IEC 13818-1: 0x1B H.264, 0x24 H.265). Unknown types read as H.264,
// which is what every stream was before stream types were looked at.
inline int32_t VidanaFrameTypeOf(uint8_t streamType) {
    return streamType == 0x24 ? kVidanaFrameH265 : kVidanaFrameH264;
}

struct VidanaOstraRequest;
struct VidanaOstraState;

class VIDANA_API CVidana {
public:
    CVidana();
    virtual ~CVidana();
    CVidana(const CVidana&) = delete;
    CVidana& operator=(const CVidana&) = delete;

    // Opens the process-wide decoder for a new session drawing into hWnd.
    void SetHWND(IVidanaSurface* hWnd);
    // Stores the overlay rectangle drawn over every H.264 picture.
    void SetRect(VidanaRect rect);
    // Decodes one whole frame: type 2 MJPEG, 8 H.265, any other below 17
    // H.264, 17 and above mu-law audio. The bytes are only read during the
    // call. Always 0. A frame of the other video codec than the last one
    // reopens the process-wide decoder for that codec (the view keeps its
    // converted size).
    int32_t DecodeXFrame(const uint8_t* data, int32_t length, int32_t type);
    // End of input (a file, not a live stream): presents every picture the
    // video decoder still holds for reordering, then leaves it ready for a
    // new stream. Returns how many pictures it presented.
    int32_t FlushDecoder();
    // Closes the process-wide decoder (for every instance).
    void ReleaseDecoder();
    // Pictures shown, undecodable and refused by the video decoder since the
    // last SetHWND; safe from any thread.
    VidanaPictureCounts PictureCounts() const;
    // Starts mu-law capture at 8 kHz; callback gets one buffer of size bytes
    // again and again, on the capture thread. Always 0.
    int32_t SetACallBack(VidanaACallBack callback, uint32_t size);
    // Draws one raw I420 picture of width x height: 0 drawn, -1 not.
    int32_t DecodeOstra(const uint8_t* data, int32_t length, int32_t width, int32_t height);

    // Where the audio paths report wave-device errors (process-wide; null for
    // standard error). The notifier must outlive its use.
    static void SetWaveNotifier(IVidanaNotifier* notifier);

private:
    int32_t DecodeVFrame(const uint8_t* data, int32_t length, bool hevc = false);
    int32_t ReceivePictures(int32_t& presented);
    int32_t DecodeMJpeg(const uint8_t* data, int32_t length);
    int32_t DecodeAFrame(const uint8_t* data, int32_t length);
    // Draws the overlay (in client coordinates: the picture lies at offsetX,
    // offsetY of the view) and presents the picture.
    int32_t DrawImage(uint8_t* data, int32_t width, int32_t height, int32_t offsetX = 0,
                      int32_t offsetY = 0);
    // The overlay alone, on a 32-bit canvas (B, G, R, 255) of stride bytes a row.
    void DrawOverlay32(uint8_t* bits, int32_t stride, int32_t width, int32_t height,
                       int32_t offsetX, int32_t offsetY);
    bool InitDecoder();
    void InitOstraDecoder();
    void ReleaseOstraDecoder();

    // The view, and the clipped MJPEG picture presented to it.
    IVidanaSurface* m_hWnd = nullptr;
    std::vector<uint8_t> m_canvas;
    // Staging memory of the MJPEG path, held only during one DecodeMJpeg call.
    std::vector<uint8_t> m_picture;
    // Ostra decoder: picture buffer, input/output record and state.
    std::vector<uint8_t> m_ostraOut;
    std::unique_ptr<VidanaOstraRequest> m_ostraRequest;
    std::unique_ptr<VidanaOstraState> m_ostraState;
    VidanaACallBack m_pACallBack = nullptr;
    uint32_t m_nABufSize = 0;
    VidanaRect m_rect;
};
