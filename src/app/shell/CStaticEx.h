#pragma once
// The video view (control 1007) and the audio level displays (1103, 1106).
//
// The decoder converts each H.264 / H.265 picture straight into one of the
// view's two canvases (BeginCanvas / EndCanvas, on its own decoding thread):
// the back one is written while the GUI thread paints the front one, and
// EndCanvas swaps them under a lock and asks for a repaint, so a picture is
// converted once and never copied. Other pictures come as packed BGR through
// Present(), copied under the lock. Pictures are shown centred on black (the decoder fits them to
// the view with their aspect ratio kept). A picture the decoder cannot show is
// said in the view and on standard error. Mouse drags are recorded in client
// coordinates.

#include "vidana/lib/Vidana.h"

#include <QImage>
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
    bool BeginCanvas(int32_t width, int32_t height, VidanaCanvas& canvas) override;
    void EndCanvas() override;
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
    QImage picture_; // what is shown: a BGR picture, or the front canvas
    QString notice_;
    // The canvases: memory with the decoder's slack, and the image over it.
    struct Canvas {
        std::vector<std::uint8_t> memory;
        QImage image;
    };
    Canvas canvas_[2];
    int back_ = 0;         // decoding thread: the canvas being written
    bool writing_ = false; // decoding thread: between BeginCanvas and EndCanvas
    QPoint press_, current_;
    bool pressed_ = false;
};
