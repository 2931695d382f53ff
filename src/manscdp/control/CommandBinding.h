#pragma once
// Connects the command bodies to the main window: reads the pan-tilt-zoom
// boxes (speed 1065, preset number 1104, name 1105) and the video view 1007
// just before a media-list build, runs the search dialog before "文件检索",
// turns a drag released over the video view into "拖动放大" / "拖动缩小", and
// installs the builder's body hook.

#include "manscdp/control/CommandBodies.h"
#include "manscdp/search/CDlgSearch.h"

#include <QObject>
#include <QPoint>
#include <memory>

class CommandBuilder;
class CTarvexCore;
class QWidget;

class CommandBinding : public QObject {
    Q_OBJECT
public:
    // window: the main dialog (an ICoreView whose controls are named "ctl" + id).
    // The search conditions live in searchIni ("Search.ini" of the working
    // directory). Owned by the window.
    CommandBinding(QWidget& window, CommandBuilder& builder, CTarvexCore& core,
                   const std::string& searchIni = "Search.ini");
    ~CommandBinding() override;

    // Before the window forwards a click on list 1080 or 1081 to the builder.
    void BeforeCommand(int listId, int row);
    // The left button came up over the video view after a press at `press`.
    void OnVideoDrag(QPoint press, QPoint release);

    CDlgSearch& Search() { return *search_; }
    CommandBodies& Bodies() { return *bodies_; }

private:
    // report: show the range message for a bad box (media-list builds).
    void ReadInputs(bool report);
    // A box of 0 to 255: its value, or `last` (with the range message).
    std::uint8_t ReadByteBox(int id, std::uint8_t last, bool report);
    void Show(const std::string& text);

    QWidget& window_;
    CommandBuilder& builder_;
    CTarvexCore& core_;
    std::shared_ptr<CDlgSearch> search_;
    std::shared_ptr<CommandBodies> bodies_;
    std::uint8_t preset_ = 1; // last accepted preset number
};
