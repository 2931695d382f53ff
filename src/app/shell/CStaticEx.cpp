#include "app/shell/CStaticEx.h"

#include <QMetaObject>
#include <QMouseEvent>
#include <QPainter>
#include <cstdio>
#include <cstring>

CStaticEx::CStaticEx(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(64, 32);
    width_ = width();
    height_ = height();
}

void CStaticEx::Present(const std::uint8_t* bgr, int width, int height, int stride) {
    if (!bgr || width <= 0 || height <= 0 || stride < width * 3) return;
    QImage img(width, height, QImage::Format_BGR888);
    if (img.isNull()) return;
    for (int y = 0; y < height; ++y)
        std::memcpy(img.scanLine(y), bgr + static_cast<std::size_t>(y) * stride,
                    static_cast<std::size_t>(width) * 3);
    {
        std::lock_guard<std::mutex> g(lock_);
        picture_ = std::move(img);
        notice_.clear();
    }
    QMetaObject::invokeMethod(this, qOverload<>(&QWidget::update), Qt::QueuedConnection);
}

void CStaticEx::PictureNotShown(const char* why) {
    if (!why) return;
    std::fprintf(stderr, "video view: %s\n", why);
    {
        std::lock_guard<std::mutex> g(lock_);
        notice_ = QString::fromUtf8(why);
        picture_ = QImage(); // no stale picture of what came before
    }
    QMetaObject::invokeMethod(this, qOverload<>(&QWidget::update), Qt::QueuedConnection);
}

QString CStaticEx::Notice() const {
    std::lock_guard<std::mutex> g(lock_);
    return notice_;
}

QImage CStaticEx::Picture() const {
    std::lock_guard<std::mutex> g(lock_);
    return picture_.copy();
}

void CStaticEx::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), Qt::black);
    std::lock_guard<std::mutex> g(lock_);
    // The decoder fits the picture to the client size; it is shown centred,
    // and one of another size (just after a resize) unscaled until the next
    // one arrives.
    if (!picture_.isNull())
        p.drawImage((width() - picture_.width()) / 2, (height() - picture_.height()) / 2,
                    picture_);
    if (!notice_.isEmpty()) {
        p.setPen(Qt::white);
        p.drawText(rect().adjusted(8, 8, -8, -8), Qt::AlignCenter | Qt::TextWordWrap, notice_);
    }
}

void CStaticEx::resizeEvent(QResizeEvent* e) {
    width_ = width();
    height_ = height();
    QWidget::resizeEvent(e);
}

void CStaticEx::mousePressEvent(QMouseEvent* e) {
    if (e->button() == Qt::LeftButton) {
        press_ = current_ = e->position().toPoint();
        pressed_ = true;
        emit dragMoved(press_, current_);
    }
    QWidget::mousePressEvent(e);
}

void CStaticEx::mouseMoveEvent(QMouseEvent* e) {
    if (pressed_) {
        current_ = e->position().toPoint();
        emit dragMoved(press_, current_);
    }
    QWidget::mouseMoveEvent(e);
}

void CStaticEx::mouseReleaseEvent(QMouseEvent* e) {
    if (e->button() == Qt::LeftButton && pressed_) {
        current_ = e->position().toPoint();
        pressed_ = false;
        emit dragEnded(press_, current_);
    }
    QWidget::mouseReleaseEvent(e);
}
