// TExplorerPopup: the drop-down panel behind the band's playlist, file locator,
// volume and equalizer. A raised panel holding child controls; opened below an
// anchor it moves into a borderless stay-on-top window of its own and runs a
// nested event loop until it is closed by a command, by a left press outside it
// (that press still reaches whatever was clicked) or by a close of its window
// from outside (the window manager). Presses in the panel's own popups and in
// dialogs opened while it is open are not outside.
// For the keyboard an open panel takes the focus (its first control in Tab
// order), Esc closes it (unless the control with the focus claims Esc through
// a ShortcutOverride) and the focus goes back where it was. The drop-down
// window follows the anchor's window when that moves or resizes, and the panel
// closes when that window is minimised or hidden.
//
// Thread: main thread only. OpenBelow() does not return while the panel is
// open; timers, posted calls and every other control keep running from its loop
// and may close the panel themselves.
#pragma once

#include <QFrame>
#include <QPointer>

#include <functional>

class QEventLoop;

namespace pelu::widgets {

class TExplorerPopup : public QFrame {
    Q_OBJECT
    Q_PROPERTY(bool Undockable READ Undockable WRITE SetUndockable)
    Q_PROPERTY(bool Redockable READ Redockable WRITE SetRedockable)
    Q_PROPERTY(int UndockThreshold READ UndockThreshold WRITE SetUndockThreshold)
    Q_PROPERTY(bool HideInactive READ HideInactive WRITE SetHideInactive)
public:
    using Notify = std::function<void(QObject* sender)>;
    static constexpr int kGripHeight = 10;

    // The panel starts hidden, as every panel is once its form has loaded.
    explicit TExplorerPopup(QWidget* parent = nullptr);
    ~TExplorerPopup() override;

    bool Undockable() const { return undockable_; }
    void SetUndockable(bool value);
    bool Redockable() const { return redockable_; }
    void SetRedockable(bool value) { redockable_ = value; }
    int UndockThreshold() const { return undock_threshold_; }
    void SetUndockThreshold(int value) { undock_threshold_ = value; }
    bool HideInactive() const { return hide_inactive_; }
    void SetHideInactive(bool value) { hide_inactive_ = value; }

    Notify OnOpen;  // the panel is about to open
    Notify OnClose; // the panel has closed
    Notify OnUndock; // kept for the form's wiring; tearing off is not built

    // Opens the panel below `anchor` and returns when it has closed again.
    // Opening an open panel does nothing.
    void OpenBelow(QWidget* anchor);
    // Closes the panel if it is open; fires OnClose.
    void ClosePanel();
    // True exactly while the panel is open.
    bool Visible() const { return open_; }

    // The screen rectangle of the drop-down window (for tests and the form).
    QRect DropDownGeometry() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    class DropDownWindow;
    void ShiftChildren(int dy);
    void GiveBack();
    bool GripContains(QPoint point) const;
    bool IsOwnWindow(QObject* watched) const;
    void Place();
    void FocusFirstControl();

    bool undockable_ = true;
    bool redockable_ = true;
    int undock_threshold_ = 10;
    bool hide_inactive_ = true;

    bool open_ = false;
    bool closed_ = true;
    bool dragging_grip_ = false;
    bool grip_hot_ = false;
    bool grown_ = false;
    QPointer<QWidget> original_parent_;
    QPoint original_pos_;
    QPointer<QWidget> window_;
    QPointer<QWidget> anchor_;
    QPointer<QWidget> anchor_window_;
    QPointer<QWidget> focus_before_;
    QEventLoop* loop_ = nullptr;
};

} // namespace pelu::widgets
