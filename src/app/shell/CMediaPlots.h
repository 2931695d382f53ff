#pragma once
// "媒体统计" (control 1216): the last minutes of the stream the video view
// shows as three small Qt Charts plots, frame rate (帧率, fps), bit rate (码率,
// kbit/s) and lost packets (丢包, per second), from MediaHistory. GUI thread only.

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
    enum Plot { kFrameRate, kBitRate, kLoss, kPlots };
    explicit CMediaPlots(QWidget* parent = nullptr);
    // A figure update of the session (the statistics line's numbers).
    void Add(const StreamFigures& f, MediaHistory::Clock::time_point now);
    const MediaHistory& History() const { return history_; }
    // The points of a plot (seconds, value) as drawn.
    QList<QPointF> Points(Plot p) const;
    // The upper end of a plot's value axis.
    double AxisMax(Plot p) const;
    QString Summary() const;

private:
    void Redraw();
    MediaHistory history_;
    QLineSeries* series_[kPlots] = {};
    QValueAxis* x_[kPlots] = {};
    QValueAxis* y_[kPlots] = {};
    QLabel* summary_ = nullptr;
};
