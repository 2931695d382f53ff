#include "app/shell/CStaticEx.h"

#include <QMetaObject>
#include <QMouseEvent>
#include <QPainter>
#include <QRegion>
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

bool CStaticEx::BeginCanvas(int32_t width, int32_t height, VidanaCanvas& canvas) {
    if (width <= 0 || height <= 0) return false;
    Canvas& c = canvas_[back_];
    if (c.image.width() != width || c.image.height() != height) {
        // The front canvas may be on screen: only the back one is remade, and
        // the lock keeps paintEvent from the old image while it goes.
        std::lock_guard<std::mutex> g(lock_);
        const std::size_t stride = static_cast<std::size_t>(width) * 4;
        if (!c.memory.empty() && picture_.constBits() == c.memory.data())
            picture_ = picture_.copy(); // never shown from freed memory
        c.image = QImage();
        c.memory.assign(stride * static_cast<std::size_t>(height) + kVidanaCanvasSlack, 0);
        c.image = QImage(c.memory.data(), width, height, static_cast<qsizetype>(stride),
                         QImage::Format_RGB32);
    }
    canvas.bits = c.memory.data();
    canvas.stride = width * 4;
    writing_ = true;
    return true;
}

void CStaticEx::EndCanvas() {
    if (!writing_) return;
    writing_ = false;
    {
        std::lock_guard<std::mutex> g(lock_);
        // A shallow copy: the image shares the canvas memory, no pixel moves.
        picture_ = canvas_[back_].image;
        notice_.clear();
    }
    back_ = 1 - back_;
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
    std::lock_guard<std::mutex> g(lock_);
    // The decoder fits the picture to the client size; it is shown centred on
    // black (only the bars are filled), and one of another size (just after a
    // resize) unscaled until the next one arrives.
    if (picture_.isNull()) {
        p.fillRect(rect(), Qt::black);
    } else {
        const QRect at((width() - picture_.width()) / 2, (height() - picture_.height()) / 2,
                       picture_.width(), picture_.height());
        const QRegion bars = QRegion(rect()).subtracted(QRegion(at));
        for (const QRect& r : bars)
            p.fillRect(r, Qt::black);
        p.drawImage(at.topLeft(), picture_);
    }
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
