#pragma once
// The ladder of one call (CallLadder.h) drawn as a SIP flow view: Tarvex's and
// the far end's lifelines, one arrow a message with its label, time of day and
// offset since the call's first message. A click on an arrow names its log row.

#include "app/core/CallLadder.h"

#include <QWidget>

class CLadderView : public QWidget {
    Q_OBJECT
public:
    static constexpr int kTop = 44;   // below the lifelines' names
    static constexpr int kStep = 34;  // height of one arrow's band

    explicit CLadderView(QWidget* parent = nullptr);
    void SetLadder(CallLadder ladder);
    const CallLadder& Ladder() const { return ladder_; }
    // The band of step i in widget coordinates; the step under a point, -1 for none.
    QRect StepRect(int i) const;
    int StepAt(QPoint p) const;
    QSize sizeHint() const override;

signals:
    void stepClicked(int logRow);

protected:
    void paintEvent(QPaintEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;

private:
    int LeftX() const;
    int RightX() const;
    CallLadder ladder_;
};
