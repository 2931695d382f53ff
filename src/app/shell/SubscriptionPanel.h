#pragma once
// The window of subscriptions, alarms and positions (menu 订阅 → 订阅与报警):
// subscribe and unsubscribe the selected channel or device for Catalog,
// Alarm or MobilePosition (and PTZPosition when the target's device speaks
// 2022) with its Expires and conditions, each
// subscription's state, the alarm list with 报警复位 of the chosen alarm,
// and the positions of a channel drawn over time (PositionPlot). It polls
// the core's EventsVersion every kPollMs on the GUI thread and copies the
// core's bounded lists only when they changed, so that a storm of
// notifications costs the window one redraw per poll at most.

#include "app/core/CTarvexCore.h"

#include <QDialog>
#include <QWidget>
#include <cstdint>
#include <vector>

class QComboBox;
class QLabel;
class QPushButton;
class QSpinBox;
class QTableWidget;
class QTimer;

// A channel's positions in order, longitude to the right and latitude up,
// scaled to fit; the last one marked. Plain painting, no map.
class PositionPlot : public QWidget {
public:
    explicit PositionPlot(QWidget* parent = nullptr);
    void SetTrack(std::vector<tvsub::PositionRecord> track);
    const std::vector<tvsub::PositionRecord>& Track() const { return track_; }
    QSize sizeHint() const override { return {320, 240}; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    std::vector<tvsub::PositionRecord> track_;
};

class SubscriptionPanel : public QDialog {
public:
    static constexpr int kPollMs = 250;
    SubscriptionPanel(CTarvexCore& core, QWidget* parent = nullptr);
    // Takes what changed in the core now (the timer calls it).
    void Poll();

private:
    tvsub::Package ChosenPackage() const;
    CTarvexCore::SubscribeInputs Inputs() const;
    void Subscribe();
    void Unsubscribe();
    void Acknowledge();
    void OfferPtz(bool offer);
    void FillSubscriptions();
    void FillAlarms();
    void FillPositions();

    CTarvexCore& core_;
    std::uint64_t version_ = ~std::uint64_t{0};
    QLabel* target_;
    QComboBox* package_;
    QSpinBox* expires_;
    QSpinBox* interval_;
    QSpinBox* startPriority_;
    QSpinBox* endPriority_;
    QSpinBox* method_;
    QPushButton* subscribe_;
    QPushButton* unsubscribe_;
    QTableWidget* subs_;
    QTableWidget* alarms_;
    QPushButton* acknowledge_;
    QComboBox* channel_;
    QLabel* position_;
    QLabel* ptz_;
    PositionPlot* plot_;
    QTimer* timer_;
    std::vector<std::uint64_t> alarmSerials_; // of the alarm list's rows
};

// The menu entry that opens the panel (one per window), for CTarvexDlg.
class QMenuBar;
void AddSubscriptionMenu(QMenuBar* bar, CTarvexCore& core, QWidget* window);
