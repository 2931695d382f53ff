#pragma once
// "媒体统计" (control 1216): the last minutes of the stream the video view
// shows as four small Qt Charts plots, frame rate (帧率, fps), bit rate (码率,
// kbit/s), lost packets (丢包, per second) and jitter (抖动, ms), from
// MediaHistory, under a line naming the stream (codec, picture size, SSRC).
// A chooser above them (mediaCall) picks what they show: the stream drawn
// in the video view (the first entry, by default) or one open call of
// MediaCalls by kind and channel, "实时 34020000001310000001" (an ended one
// marked 已结束 until it is dropped). GUI thread only.

#include "app/core/MediaHistory.h"

#include <QWidget>

class QChart;
class QChartView;
class QComboBox;
class QLabel;
class QLineSeries;
class QValueAxis;

class CMediaPlots : public QWidget {
    Q_OBJECT
public:
    enum Plot { kFrameRate, kBitRate, kLoss, kJitter, kPlots };
    explicit CMediaPlots(QWidget* parent = nullptr);
    // A figure update of the session (the statistics line's numbers).
    void Add(const StreamFigures& f, MediaHistory::Clock::time_point now);
    const MediaHistory& History() const { return history_; }
    // The open calls' figures (CMediaSession::OpenCalls, polled by the window).
    void UpdateCalls(const std::vector<CallFigures>& open, MediaHistory::Clock::time_point now);
    const MediaCalls& Calls() const { return calls_; }
    QComboBox* Chooser() const { return chooser_; }
    // The points of a plot (seconds, value) as drawn.
    QList<QPointF> Points(Plot p) const;
    // The upper end of a plot's value axis.
    double AxisMax(Plot p) const;
    QString Summary() const;
    // "H.264  1920x1080  SSRC 0x0BEBC201 (200000001)", what is known of it.
    QString StreamText() const;

private:
    void Redraw();
    void FillChooser();
    // What the plots show: the drawn stream's, or the chosen call's.
    const MediaHistory& Shown() const;
    MediaHistory history_;
    MediaCalls calls_;
    QComboBox* chooser_ = nullptr;
    QLineSeries* series_[kPlots] = {};
    QValueAxis* x_[kPlots] = {};
    QValueAxis* y_[kPlots] = {};
    QLabel* summary_ = nullptr;
    QLabel* stream_ = nullptr;
};
