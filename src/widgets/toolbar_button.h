// TToolbarButton: the band's flat text buttons ("Main Menu", "Playlist",
// "Locate Files", "Close", "Load ", "Save", "Default"). A button with a
// DropdownMenu drops that menu below itself when clicked. OnClick follows a
// press and release over the button, or Space/Enter with the keyboard focus.
//
// Thread: main thread only.
#pragma once

#include <QAbstractButton>
#include <QPointer>

#include <functional>

#include <QMenu> // QPointer<QMenu> needs the complete type

namespace pelu::widgets {

class TToolbarButton : public QAbstractButton {
    Q_OBJECT
public:
    using Notify = std::function<void(QObject* sender)>;

    explicit TToolbarButton(const QString& caption = {}, QWidget* parent = nullptr);

    QMenu* DropdownMenu() const { return menu_; }
    void SetDropdownMenu(QMenu* menu) { menu_ = menu; }

    Notify OnClick;
    Notify OnMouseEnter;

    QSize sizeHint() const override;

protected:
    // Enter presses the button as Space does.
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    QPointer<QMenu> menu_;
    bool hot_ = false;
};

} // namespace pelu::widgets
