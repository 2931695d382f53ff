#pragma once
// The one place that knows which command row gets which body: the hook the
// command builder calls after the envelope. Control bodies, configuration
// bodies and the recording search come together here.

#include "manscdp/control/ControlBodies.h"
#include "manscdp/devcfg/ConfigBodies.h"
#include "manscdp/gb2022/Gb2022Bodies.h"
#include "manscdp/xml/XMLNode.h"

#include <functional>
#include <mutex>
#include <string>

class CDlgSearch;

// Everything a body may read besides the envelope.
struct CommandInputs {
    ControlInputs control;              // speed, preset, drag rectangle, view size
    ConfigInputs config;                // Expiration, HeartBeatInterval, clock
    const CDlgSearch* search = nullptr; // conditions and outcome of the last search dialog
    RowValues rowValues;                // the row's own inputs (dialog or script)
    GbEdition edition = GbEdition::Gb2022;
};

struct BodyOutcome {
    bool appended = false;
    bool clearDrag = false; // a pan-tilt-zoom or preset code was built
    bool refused = false;   // too long for the message buffer: the tree was dropped
    std::string message;    // why, for the operator
};

// Room for the body in the 2048-byte message buffer: the declaration line,
// the tree and the final CR LF must fit in 2047 characters.
constexpr std::size_t kMessageRoom = 2047;

// list 0 signalling, 1 media (set 0 to 3). A body that would not fit is not cut:
// root becomes the empty handle, so the builder shows and sends nothing.
BodyOutcome AppendCommandBody(int list, int set, int row, XMLNode& root, const CommandInputs& in);

// The builder's hook with the operator's inputs kept between builds. The
// window updates the inputs on its thread; the hook may run on any thread.
class CommandBodies {
public:
    explicit CommandBodies(const CDlgSearch* search = nullptr);

    void SetControl(std::uint8_t speed, std::uint8_t presetNumber, const std::string& presetName,
                    int viewWidth, int viewHeight);
    void SetSettings(int expiration, int heartBeatInterval);
    void SetClock(WallClock clock);
    // The rectangle of the last drag over the video view.
    void SetDrag(const DragRect& r);
    // The inputs of the next row built and the edition played.
    void SetRowValues(RowValues values);
    void SetEdition(GbEdition e);
    DragRect Drag() const;
    CommandInputs Inputs() const;

    // Called when a body is refused, outside any lock of this object.
    std::function<void(const std::string& message)> onRefused;

    // The appendBody hook of CommandBuilder.
    void Append(int list, int set, int row, XMLNode& root);

private:
    mutable std::mutex mutex_;
    CommandInputs in_;
};
