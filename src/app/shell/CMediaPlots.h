#pragma once
// "媒体统计" (control 1216): the last minutes of the stream the video view
// shows as four small Qt Charts plots, frame rate (帧率, fps), bit rate (码率,
// kbit/s), lost packets (丢包, per second) and jitter (抖动, ms), from
// MediaHistory, under a line naming the stream (codec, picture size, SSRC).
// GUI thread only.

#include "app/core/MediaHistory.h"

#include <QWidget>

class QChart;
class QChartView;
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
    // The points of a plot (seconds, value) as drawn.
    QList<QPointF> Points(Plot p) const;
    // The upper end of a plot's value axis.
    double AxisMax(Plot p) const;
    QString Summary() const;
    // "H.264  1920x1080  SSRC 0x0BEBC201 (200000001)", what is known of it.
    QString StreamText() const;

private:
    void Redraw();
    MediaHistory history_;
    QLineSeries* series_[kPlots] = {};
    QValueAxis* x_[kPlots] = {};
    QValueAxis* y_[kPlots] = {};
    QLabel* summary_ = nullptr;
    QLabel* stream_ = nullptr;
};
