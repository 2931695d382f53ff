#include "app/shell/CMediaPlots.h"

#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineSeries>
#include <QValueAxis>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

namespace {
QString U(const char* s) { return QString::fromUtf8(s); }

// A round upper end: 1, 2 or 5 times a power of ten, at least min.
double NiceMax(double v, double min) {
    v = std::max(v * 1.1, min);
    const double p = std::pow(10.0, std::floor(std::log10(v)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * p >= v) return m * p;
    return 10 * p;
}
} // namespace

CMediaPlots::CMediaPlots(QWidget* parent) : QWidget(parent) {
    setObjectName("ctl1216");
    auto* l = new QVBoxLayout(this);
    l->setContentsMargins(2, 2, 2, 2);
    l->setSpacing(2);
    chooser_ = new QComboBox;
    chooser_->setObjectName("mediaCall");
    chooser_->addItem(U("显示中的流"), QVariant());
    connect(chooser_, &QComboBox::currentIndexChanged, this, [this](int) { Redraw(); });
    l->addWidget(chooser_);
    stream_ = new QLabel;
    stream_->setObjectName("ctl1218");
    stream_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    l->addWidget(stream_);
    summary_ = new QLabel(U("没有媒体流"));
    summary_->setObjectName("ctl1217");
    l->addWidget(summary_);
    // Two by two: four plots one above the other would each be too flat to read.
    auto* grid = new QGridLayout;
    grid->setSpacing(2);
    l->addLayout(grid, 1);
    const char* titles[kPlots] = {"帧率 (fps)", "码率 (kbit/s)", "丢包 (包/秒)", "抖动 (ms)"};
    const QColor colours[kPlots] = {QColor(0, 90, 200), QColor(0, 130, 60), QColor(200, 40, 40),
                                    QColor(150, 80, 0)};
    for (int i = 0; i < kPlots; ++i) {
        auto* chart = new QChart;
        chart->setTitle(U(titles[i]));
        chart->legend()->hide();
        chart->setMargins(QMargins(2, 0, 2, 0));
        chart->setBackgroundRoundness(0);
        series_[i] = new QLineSeries;
        series_[i]->setPen(QPen(colours[i], 1.5));
        chart->addSeries(series_[i]);
        x_[i] = new QValueAxis;
        x_[i]->setLabelFormat("%d s");
        x_[i]->setRange(0, 60);
        y_[i] = new QValueAxis;
        y_[i]->setLabelFormat("%d");
        // Three labels fit a small plot's height (more would overlap and be elided).
        y_[i]->setTickCount(3);
        y_[i]->setRange(0, 10);
        chart->addAxis(x_[i], Qt::AlignBottom);
        chart->addAxis(y_[i], Qt::AlignLeft);
        series_[i]->attachAxis(x_[i]);
        series_[i]->attachAxis(y_[i]);
        auto* view = new QChartView(chart);
        view->setObjectName(QStringLiteral("mediaPlot%1").arg(i));
        view->setRenderHint(QPainter::Antialiasing);
        // Small by need: the pane shares the log's height with the list.
        view->setMinimumSize(120, 40);
        grid->addWidget(view, i / 2, i % 2);
    }
}

void CMediaPlots::Add(const StreamFigures& f, MediaHistory::Clock::time_point now) {
    history_.Add(f, now);
    Redraw();
}

void CMediaPlots::UpdateCalls(const std::vector<CallFigures>& open,
                              MediaHistory::Clock::time_point now) {
    calls_.Update(open, now);
    FillChooser();
    Redraw();
}

// One entry per call kept, the chosen one staying chosen while it is kept.
void CMediaPlots::FillChooser() {
    const QVariant chosen = chooser_->currentData();
    QSignalBlocker quiet(chooser_);
    while (chooser_->count() > 1) chooser_->removeItem(1);
    int at = 0;
    for (const MediaCalls::Call& c : calls_.Calls()) {
        QString text = QString::fromStdString(c.label);
        if (c.ended) text += U(" (已结束)");
        else if (c.drawn) text += U(" (显示中)");
        const QVariant key = QVariant(QPoint(c.slot, c.callId));
        chooser_->addItem(text, key);
        if (chosen.isValid() && chosen == key) at = chooser_->count() - 1;
    }
    chooser_->setCurrentIndex(at);
}

const MediaHistory& CMediaPlots::Shown() const {
    const QVariant key = chooser_->currentData();
    if (key.isValid()) {
        const QPoint k = key.toPoint();
        if (const MediaCalls::Call* c = calls_.Find(k.x(), k.y())) return c->history;
    }
    return history_;
}

void CMediaPlots::Redraw() {
    const MediaHistory& shown = Shown();
    const auto& samples = shown.Samples();
    QList<QPointF> pts[kPlots];
    double top[kPlots] = {0, 0, 0, 0};
    for (const auto& s : samples) {
        const double v[kPlots] = {double(s.fps), double(s.kbitPerSecond), double(s.lost),
                                  s.jitterMs};
        for (int i = 0; i < kPlots; ++i) {
            pts[i].append(QPointF(s.seconds, v[i]));
            top[i] = std::max(top[i], v[i]);
        }
    }
    const double from = samples.empty() ? 0 : samples.front().seconds;
    const double to = samples.empty() ? 60 : std::max(from + 60, samples.back().seconds);
    const double mins[kPlots] = {30, 100, 10, 10};
    for (int i = 0; i < kPlots; ++i) {
        series_[i]->replace(pts[i]);
        x_[i]->setRange(std::floor(from), std::ceil(to));
        const double max = NiceMax(top[i], mins[i]);
        y_[i]->setRange(0, max);
        // Whole halves: the end is 1, 2 or 5 times a power of ten, at least 10.
    }
    stream_->setText(StreamText());
    if (samples.empty()) {
        summary_->setText(U("没有媒体流"));
        return;
    }
    const auto& last = samples.back();
    const StreamFigures& f = shown.Latest();
    summary_->setText(U("帧率 %1 fps  码率 %2 kbit/s  丢包共 %3 包  抖动 %4  (最近 %5 秒)")
                          .arg(last.fps)
                          .arg(last.kbitPerSecond)
                          .arg(last.lostTotal)
                          .arg(f.haveJitter ? QString::number(f.jitterMs, 'f', 1) + " ms" : U("—"))
                          .arg(static_cast<int>(last.seconds - samples.front().seconds)));
}

QString CMediaPlots::StreamText() const {
    const MediaHistory& shown = Shown();
    if (shown.Samples().empty()) return {};
    const StreamFigures& f = shown.Latest();
    QStringList parts;
    const std::string codec = CodecName(f.streamType);
    parts << (codec.empty() ? U("编码未知") : QString::fromStdString(codec));
    parts << (f.width > 0 && f.height > 0 ? QStringLiteral("%1x%2").arg(f.width).arg(f.height)
                                          : U("分辨率未知"));
    if (f.haveSsrc)
        parts << QStringLiteral("SSRC 0x%1 (%2)")
                     .arg(QString::number(f.ssrc, 16).toUpper().rightJustified(8, QLatin1Char('0')))
                     .arg(f.ssrc);
    return parts.join(QStringLiteral("  "));
}

QList<QPointF> CMediaPlots::Points(Plot p) const { return series_[p]->points(); }
double CMediaPlots::AxisMax(Plot p) const { return y_[p]->max(); }
QString CMediaPlots::Summary() const { return summary_->text(); }
