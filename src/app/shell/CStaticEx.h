#pragma once
// The video view (control 1007) and the audio level displays (1103, 1106).
//
// The decoder keeps each H.264 / H.265 picture for the view, scaled to the
// view's size (KeepPicture, on its decoding thread); the paint converts the
// newest one 1:1 straight into the window's backing store, so a picture is
// converted only if painted and never copied (a paint the backing store does
// not take directly, such as grab(), converts into a scratch image). Other
// pictures come as packed BGR through Present(), copied under the lock. Pictures are shown centred on black (the decoder fits them to
// the view with their aspect ratio kept). A picture the decoder cannot show is
// said in the view and on standard error. Mouse drags are recorded in client
// coordinates.

#include "vidana/lib/Vidana.h"

#include <QImage>
#include <QPainter>
#include <QPoint>
#include <QString>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

class CStaticEx : public QWidget, public IVidanaSurface {
    Q_OBJECT
public:
    explicit CStaticEx(QWidget* parent = nullptr);

    // Any thread. Copies width x height BGR pixels (stride bytes a row); the
    // picture is shown 1:1 at the top-left corner.
    void Present(const std::uint8_t* bgr, int width, int height, int stride);
    // IVidanaSurface, called on the decoding thread.
    VidanaSize ClientSize() const override { return {width_.load(), height_.load()}; }
    void Present(const uint8_t* bgr, int32_t width, int32_t height) override {
        Present(bgr, width, height, width * 3);
    }
    void PictureNotShown(const char* why) override;
    bool KeepsPictures() const override { return true; }
    void KeepPicture(VidanaPicturePtr picture) override;
    // The last picture presented (a copy), for tests and screenshots.
    QImage Picture() const;
    // What the decoder last said of a picture it could not show (empty once a
    // picture is shown again).
    QString Notice() const;

    // Drag state: where the left button went down, where it is or went up.
    QPoint PressPoint() const { return press_; }
    QPoint CurrentPoint() const { return current_; }
    bool Pressed() const { return pressed_; }

signals:
    // The left button went down or the mouse moved while it is held (GUI
    // thread), in client coordinates: the drag rectangle so far.
    void dragMoved(QPoint press, QPoint current);
    // A left-button drag ended (GUI thread), in client coordinates.
    void dragEnded(QPoint press, QPoint release);

public:

protected:
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;

private:
    std::atomic<int> width_{0}, height_{0};
    mutable std::mutex lock_;
    // Converts the kept picture straight into the painter's backing store;
    // false when that is not one it can write (under lock_).
    bool PaintDirect(QPainter& p, const QRect& at);
    // The kept picture converted into scratch_ (under lock_).
    const QImage& Scratch() const;

    QImage picture_; // what is shown: a BGR picture, unless a kept one is
    VidanaPicturePtr kept_;
    QString notice_;
    mutable CVidanaPainter painter_; // GUI thread (and Picture()), under lock_
    mutable std::vector<std::uint8_t> scratchMemory_;
    mutable QImage scratch_;
    QPoint press_, current_;
    bool pressed_ = false;
};
