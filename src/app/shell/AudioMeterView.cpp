#include "app/shell/AudioMeterView.h"

#include <QAbstractButton>
#include <QMetaObject>
#include <QPainter>
#include <QResizeEvent>
#include <cstring>

AudioMeterView::AudioMeterView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    m_width = width();
    m_height = height();
}

AudioMeterView::~AudioMeterView() {
    // Waits for a drawing in progress; afterwards nothing posts to this widget.
    if (m_toggle) m_toggle->SetInputMeter(nullptr);
}

void AudioMeterView::AttachTo(AudioToggle* toggle) {
    if (m_toggle && m_toggle != toggle) m_toggle->SetInputMeter(nullptr);
    m_toggle = toggle;
    if (m_toggle) m_toggle->SetInputMeter(this);
}

void AudioMeterView::ClientSize(int* width, int* height) const {
    *width = m_width;
    *height = m_height;
}

void AudioMeterView::Present(const MeterPicture& picture) {
    std::lock_guard lock(m_pendingLock);
    m_pending.width = picture.width;
    m_pending.height = picture.height;
    m_pending.pixels = picture.pixels; // keeps its capacity from one picture to the next
    m_hasPending = true;
    if (m_posted) return; // the queued call will take this newer picture
    m_posted = true;
    QMetaObject::invokeMethod(
        this, [this] { ShowPending(); }, Qt::QueuedConnection);
}

void AudioMeterView::ShowPending() {
    {
        std::lock_guard lock(m_pendingLock);
        m_posted = false;
        if (!m_hasPending) return;
        m_hasPending = false;
        if (m_shown.width() != m_pending.width || m_shown.height() != m_pending.height)
            m_shown = QImage(m_pending.width, m_pending.height, QImage::Format_RGB32);
        for (int y = 0; y < m_pending.height; ++y)
            std::memcpy(m_shown.scanLine(y), m_pending.pixels.data() + size_t(y) * m_pending.width,
                        size_t(m_pending.width) * 4);
    }
    update();
}

void AudioMeterView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    if (!m_shown.isNull()) painter.drawImage(0, 0, m_shown);
}

void AudioMeterView::resizeEvent(QResizeEvent* event) {
    m_width = event->size().width();
    m_height = event->size().height();
    QWidget::resizeEvent(event);
}

void ConnectAudioToggle(AudioToggle& toggle, QAbstractButton* button, AudioMeterView* inputMeter) {
    if (inputMeter) inputMeter->AttachTo(&toggle);
    button->setText(QString::fromUtf8(toggle.ButtonText()));
    QObject::connect(button, &QAbstractButton::clicked, button,
                     [&toggle, button] { button->setText(QString::fromUtf8(toggle.Toggle())); });
}
