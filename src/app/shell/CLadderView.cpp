#include "app/shell/CLadderView.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

namespace {
constexpr int kTimeWidth = 150; // time of day and offset, left of Tarvex's lifeline
QString U(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<int>(s.size())); }
} // namespace

CLadderView::CLadderView(QWidget* parent) : QWidget(parent) {
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, Qt::white);
    setPalette(p);
    setMinimumWidth(420);
}

void CLadderView::SetLadder(CallLadder ladder) {
    ladder_ = std::move(ladder);
    setMinimumHeight(sizeHint().height());
    updateGeometry();
    update();
}

QSize CLadderView::sizeHint() const {
    return {560, kTop + static_cast<int>(ladder_.steps.size()) * kStep + 24};
}

int CLadderView::LeftX() const { return kTimeWidth + 40; }
int CLadderView::RightX() const { return std::max(LeftX() + 200, width() - 150); }

QRect CLadderView::StepRect(int i) const { return {0, kTop + i * kStep, width(), kStep}; }

int CLadderView::StepAt(QPoint p) const {
    if (p.y() < kTop) return -1;
    const int i = (p.y() - kTop) / kStep;
    return i < static_cast<int>(ladder_.steps.size()) ? i : -1;
}

void CLadderView::mousePressEvent(QMouseEvent* e) {
    const int i = StepAt(e->position().toPoint());
    if (i >= 0) emit stepClicked(static_cast<int>(ladder_.steps[static_cast<std::size_t>(i)].logRow));
    QWidget::mousePressEvent(e);
}

void CLadderView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const int lx = LeftX(), rx = RightX();
    if (ladder_.callId.empty()) {
        p.setPen(Qt::darkGray);
        p.drawText(rect().adjusted(8, 8, -8, -8), Qt::AlignLeft | Qt::AlignTop,
                   QString::fromUtf8("所选消息没有 Call-ID"));
        return;
    }
    // Names of the two ends and the call.
    QFont bold = font();
    bold.setBold(true);
    p.setFont(bold);
    p.setPen(Qt::black);
    p.drawText(QRect(lx - 80, 4, 160, 18), Qt::AlignCenter, QStringLiteral("Tarvex"));
    p.drawText(QRect(rx - 148, 4, 296, 18), Qt::AlignCenter, U(ladder_.farEnd));
    p.setFont(font());
    p.setPen(Qt::darkGray);
    p.drawText(QRect(4, 22, width() - 8, 16), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Call-ID: ") + U(ladder_.callId) +
                   (ladder_.truncated ? QString::fromUtf8("  (只画前 %1 条)").arg(ladder_.steps.size()) : QString()));
    const int bottom = kTop + static_cast<int>(ladder_.steps.size()) * kStep;
    p.setPen(QPen(QColor(120, 120, 120), 1, Qt::DashLine));
    p.drawLine(lx, kTop - 4, lx, bottom + 8);
    p.drawLine(rx, kTop - 4, rx, bottom + 8);
    for (std::size_t i = 0; i < ladder_.steps.size(); ++i) {
        const LadderStep& s = ladder_.steps[i];
        const QRect band = StepRect(static_cast<int>(i));
        if (static_cast<int>(i) == ladder_.selected) p.fillRect(band, QColor(0, 153, 153, 60));
        const int y = band.top() + band.height() * 2 / 3;
        p.setPen(Qt::black);
        p.drawText(QRect(4, band.top(), kTimeWidth, band.height() / 2 + 4), Qt::AlignLeft | Qt::AlignVCenter,
                   U(s.time));
        p.setPen(Qt::darkGray);
        p.drawText(QRect(4, band.top() + band.height() / 2, kTimeWidth, band.height() / 2),
                   Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("+%1.%2 s")
                                                         .arg(s.offsetMs / 1000)
                                                         .arg(s.offsetMs % 1000, 3, 10, QLatin1Char('0')));
        const bool sent = s.direction != 2;
        const QColor colour = sent ? QColor(0, 90, 200) : QColor(0, 130, 60);
        const int from = sent ? lx : rx, to = sent ? rx : lx;
        p.setPen(QPen(colour, 1.5));
        p.drawLine(from, y, to, y);
        const int d = sent ? -8 : 8;
        QPainterPath head;
        head.moveTo(to, y);
        head.lineTo(to + d, y - 4);
        head.lineTo(to + d, y + 4);
        head.closeSubpath();
        p.fillPath(head, colour);
        p.setPen(colour.darker(130));
        p.drawText(QRect(lx + 6, band.top(), rx - lx - 12, y - band.top() - 1), Qt::AlignCenter | Qt::AlignBottom,
                   U(s.label) + (s.cseq.empty() ? QString() : QStringLiteral("  (") + U(s.cseq) + ')'));
    }
}
