// TImageButton: the transport's picture button. Shows one of its pictures by the
// mouse (normal, pressed, released, hover, disabled), sizes itself to the picture
// it shows and reports presses, releases and clicks. A press and release over
// the button fires OnMouseDown, OnClick, OnMouseUp in that order; a release
// away from it fires OnMouseUp only. Space or Enter with the keyboard focus
// fires OnClick alone. A latched button (Play while playing, Pause while
// paused) rests on its pressed picture, so the state shows with the pointer away.
//
// Thread: main thread only.
#pragma once

#include "widgets/picture.h"

#include <QWidget>

#include <functional>

namespace pelu::widgets {

class TImageButton : public QWidget {
    Q_OBJECT
public:
    using Notify = std::function<void(QObject* sender)>;
    using MouseNotify =
        std::function<void(QObject* sender, Qt::MouseButton button, Qt::KeyboardModifiers shift, QPoint pos)>;

    explicit TImageButton(QWidget* parent = nullptr);

    const TPicture& Bitmap() const { return bitmap_; }
    void SetBitmap(const TPicture& picture);
    const TPicture& BitmapDown() const { return bitmap_down_; }
    void SetBitmapDown(const TPicture& picture);
    const TPicture& BitmapUp() const { return bitmap_up_; }
    void SetBitmapUp(const TPicture& picture);
    const TPicture& BitmapOver() const { return bitmap_over_; }
    void SetBitmapOver(const TPicture& picture);
    const TPicture& BitmapDisabled() const { return bitmap_disabled_; }
    void SetBitmapDisabled(const TPicture& picture);

    // The picture the next painting shows (unset until the first painting).
    const TPicture& Current() const { return current_; }

    // Latched, the button rests on BitmapDown instead of Bitmap.
    bool Latched() const { return latched_; }
    void SetLatched(bool latched);
    // Back to the resting picture (a released look that outlived its reason,
    // such as a panel the button opened and that has closed).
    void ShowResting();

    Notify OnClick;
    MouseNotify OnMouseDown;
    MouseNotify OnMouseUp;
    Notify OnMouseEnter;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void Show(const TPicture& picture);
    const TPicture& Resting() const;

    TPicture bitmap_, bitmap_down_, bitmap_up_, bitmap_over_, bitmap_disabled_;
    TPicture current_;
    bool current_taken_ = false;
    bool pressed_ = false;
    bool latched_ = false;
};

} // namespace pelu::widgets
