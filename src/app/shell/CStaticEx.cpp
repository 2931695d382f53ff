#include "app/shell/CStaticEx.h"

#include <QMetaObject>
#include <QPaintEngine>
#include <QMouseEvent>
#include <QPainter>
#include <QRegion>
#include <algorithm>
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
        kept_.reset();
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
        kept_.reset();
    }
    QMetaObject::invokeMethod(this, qOverload<>(&QWidget::update), Qt::QueuedConnection);
}

void CStaticEx::KeepPicture(VidanaPicturePtr picture) {
    if (!picture) return;
    {
        std::lock_guard<std::mutex> g(lock_);
        kept_ = std::move(picture); // an older one not yet painted is never converted
        picture_ = QImage();
        notice_.clear();
    }
    QMetaObject::invokeMethod(this, qOverload<>(&QWidget::update), Qt::QueuedConnection);
}

const QImage& CStaticEx::Scratch() const {
    const VidanaSize s = CVidanaPainter::SizeOf(*kept_);
    // Rows of at least the painter's 128 bytes, and its slack after the last.
    const int stride = std::max(s.width * 4, 128);
    const std::size_t bytes = static_cast<std::size_t>(stride) * s.height + kVidanaCanvasSlack;
    if (scratch_.width() != s.width || scratch_.height() != s.height) {
        scratch_ = QImage();
        scratchMemory_.assign(bytes, 0);
        scratch_ = QImage(scratchMemory_.data(), s.width, s.height, stride, QImage::Format_RGB32);
    }
    if (!painter_.Paint(*kept_, scratchMemory_.data(), stride,
                        static_cast<std::int64_t>(scratchMemory_.size()), 0, 0))
        scratch_.fill(Qt::black);
    return scratch_;
}

bool CStaticEx::PaintDirect(QPainter& p, const QRect& at) {
    // Raster painting into a 32-bit image without scaling (Qt's backing store
    // on X11 and offscreen), the whole picture inside what is being painted.
    QPaintEngine* engine = p.paintEngine();
    auto* device = engine ? dynamic_cast<QImage*>(engine->paintDevice()) : nullptr;
    if (!device || p.deviceTransform().type() > QTransform::TxTranslate) return false;
    const QImage::Format f = device->format();
    if (f != QImage::Format_RGB32 && f != QImage::Format_ARGB32 &&
        f != QImage::Format_ARGB32_Premultiplied)
        return false;
    const QRect onDevice = p.deviceTransform().mapRect(at);
    if (!QRect(QPoint(0, 0), device->size()).contains(onDevice)) return false;
    const QRegion clip = engine->systemClip();
    if (!clip.isEmpty() && !QRegion(onDevice).subtracted(clip).isEmpty()) return false;
    return painter_.Paint(*kept_, device->bits(), device->bytesPerLine(), device->sizeInBytes(),
                          onDevice.x(), onDevice.y());
}

QString CStaticEx::Notice() const {
    std::lock_guard<std::mutex> g(lock_);
    return notice_;
}

QImage CStaticEx::Picture() const {
    std::lock_guard<std::mutex> g(lock_);
    if (kept_) return Scratch().copy();
    return picture_.copy();
}

void CStaticEx::paintEvent(QPaintEvent*) {
    QPainter p(this);
    std::lock_guard<std::mutex> g(lock_);
    // The decoder fits the picture to the client size; it is shown centred on
    // black (only the bars are filled), and one of another size (just after a
    // resize) unscaled until the next one arrives.
    const VidanaSize kept = kept_ ? CVidanaPainter::SizeOf(*kept_) : VidanaSize{};
    const QSize size = kept_ ? QSize(kept.width, kept.height) : picture_.size();
    if (!kept_ && picture_.isNull()) {
        p.fillRect(rect(), Qt::black);
    } else {
        const QRect at((width() - size.width()) / 2, (height() - size.height()) / 2,
                       size.width(), size.height());
        const QRegion bars = QRegion(rect()).subtracted(QRegion(at));
        for (const QRect& r : bars)
            p.fillRect(r, Qt::black);
        if (!kept_)
            p.drawImage(at.topLeft(), picture_);
        else if (!PaintDirect(p, at))
            p.drawImage(at.topLeft(), Scratch());
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
