// TImage: a picture on the band (backgrounds, decorations, the clickable icons
// that open the volume panel or close a panel). Draws its picture at the top
// left; without a picture it fills with the band's colour. A left click fires
// OnClick; clickable icons take the keyboard focus (Space or Enter click them).
//
// Thread: main thread only.
#pragma once

#include "widgets/picture.h"

#include <QWidget>

#include <functional>

namespace pelu::widgets {

class TImage : public QWidget {
    Q_OBJECT
public:
    using Notify = std::function<void(QObject* sender)>;
    using MouseNotify = std::function<void(QObject* sender, QPoint pos)>;

    explicit TImage(QWidget* parent = nullptr);

    const TPicture& Picture() const { return picture_; }
    void SetPicture(const TPicture& picture);

    // A clickable icon: focusable, with a hand cursor.
    void SetClickable(bool clickable);

    Notify OnClick;
    MouseNotify OnMouseMove;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    TPicture picture_;
};

} // namespace pelu::widgets
