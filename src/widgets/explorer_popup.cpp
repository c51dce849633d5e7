#include "widgets/explorer_popup.h"

#include "widgets/theme.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QWindow>

namespace pelu::widgets {

// The borderless stay-on-top window a panel lives in while it is open. Closing
// it, by the panel or by the window manager (Alt+F4, close()), gives the panel
// back to the parent it came from before the window frees itself, so the panel
// and its controls survive; a close from outside closes the panel as an outside
// click does.
class TExplorerPopup::DropDownWindow : public QWidget {
public:
    explicit DropDownWindow(TExplorerPopup* panel)
        : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint), panel_(panel)
    {
        setAttribute(Qt::WA_DeleteOnClose);
        setFont(panel->font());
        setAccessibleName(panel->accessibleName());
    }

protected:
    void closeEvent(QCloseEvent* event) override
    {
        if (panel_) {
            if (panel_->open_)
                panel_->ClosePanel(); // closed from outside (window manager)
            else
                panel_->GiveBack();
        }
        event->accept();
    }

private:
    QPointer<TExplorerPopup> panel_;
};

TExplorerPopup::TExplorerPopup(QWidget* parent) : QFrame(parent)
{
    setFrameShape(QFrame::Panel);
    setFrameShadow(QFrame::Raised);
    setAutoFillBackground(false);
    setMouseTracking(true);
    setAccessibleName(QStringLiteral("Drop-down panel"));
    setVisible(false);
}

TExplorerPopup::~TExplorerPopup()
{
    if (loop_) {
        qApp->removeEventFilter(this);
        loop_->quit();
    }
    if (window_) {
        // The window is our parent while we are open: free it after we are gone.
        window_->setAttribute(Qt::WA_DeleteOnClose, false);
        window_->deleteLater();
    }
}

void TExplorerPopup::SetUndockable(bool value)
{
    if (undockable_ == value)
        return;
    undockable_ = value;
    update();
}

void TExplorerPopup::ShiftChildren(int dy)
{
    for (QObject* object : children())
        if (auto* child = qobject_cast<QWidget*>(object); child && !child->isWindow())
            child->move(child->x(), child->y() + dy);
}

void TExplorerPopup::OpenBelow(QWidget* anchor)
{
    closed_ = false;
    if (open_)
        return; // already open in its drop-down window
    if (OnOpen)
        OnOpen(this);
    if (undockable_) {
        resize(width(), height() + kGripHeight);
        ShiftChildren(kGripHeight);
        grown_ = true;
    }
    original_parent_ = parentWidget();
    original_pos_ = pos();

    auto* window = new DropDownWindow(this);
    window_ = window;
    setParent(window);
    move(0, 0);
    window->resize(size());

    anchor_ = anchor;
    anchor_window_ = anchor ? anchor->window() : nullptr;
    focus_before_ = QApplication::focusWidget();
    Place();
    window->show();
    window->resize(width(), window->height());
    show();
    open_ = true;
    dragging_grip_ = false;
    grip_hot_ = false;
    FocusFirstControl();
    if (QAccessible::isActive()) {
        QAccessibleEvent shown(this, QAccessible::PopupMenuStart);
        QAccessible::updateAccessibility(&shown);
    }

    // The panel's own loop: every other control, timer and posted call keeps
    // running; a left press outside closes the panel (see eventFilter).
    QPointer<TExplorerPopup> self(this);
    QEventLoop loop;
    loop_ = &loop;
    qApp->installEventFilter(this);
    if (!closed_)
        loop.exec();
    if (!self)
        return; // destroyed from inside its own loop
    qApp->removeEventFilter(this);
    loop_ = nullptr;
    if (!closed_ || open_) {
        // The loop ended without a close: the application is quitting.
        closed_ = true;
        ClosePanel();
    }
}

void TExplorerPopup::Place()
{
    if (!window_)
        return;
    // Directly below the anchor; above it when the bottom would leave the screen;
    // moved left when the right edge would. The left is never moved further.
    QWidget* anchor = anchor_;
    QPoint origin = anchor ? anchor->mapToGlobal(QPoint(0, 0)) : QCursor::pos();
    const int anchor_height = anchor ? anchor->height() : 0;
    QScreen* screen = anchor ? anchor->screen() : QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->geometry() : QRect(0, 0, 1 << 20, 1 << 20);
    int left = origin.x();
    int top = origin.y() + anchor_height;
    if (area.y() + area.height() < top + height())
        top = origin.y() - anchor_height - height();
    if (area.x() + area.width() < left + width())
        left = area.x() + area.width() - width();
    window_->move(left, top);
}

void TExplorerPopup::FocusFirstControl()
{
    // The drop-down window takes the keyboard, so a panel opened by a key can be
    // used and closed by keys.
    window_->activateWindow();
    for (QWidget* w = nextInFocusChain(); w && w != this; w = w->nextInFocusChain()) {
        if (!isAncestorOf(w))
            continue;
        if ((w->focusPolicy() & Qt::TabFocus) && w->isEnabled() && w->isVisibleTo(this)) {
            w->setFocus(Qt::TabFocusReason);
            return;
        }
    }
}

void TExplorerPopup::ClosePanel()
{
    if (!open_)
        return;
    open_ = false;
    hide();
    // Back to the parent first: the window frees itself (and every child it still
    // has) once closed, also when this runs inside its own close event.
    GiveBack();
    if (QPointer<QWidget> window = window_) {
        window_ = nullptr;
        window->close();
    }
    // The keyboard goes back to the control that had it, usually the one that
    // opened the panel.
    if (QWidget* before = focus_before_; before && before->isVisible() && !isAncestorOf(before)) {
        before->activateWindow();
        before->setFocus(Qt::PopupFocusReason);
    }
    focus_before_ = nullptr;
    anchor_ = nullptr;
    anchor_window_ = nullptr;
    dragging_grip_ = false;
    closed_ = true;
    if (loop_)
        loop_->quit();
    if (grown_) {
        ShiftChildren(-kGripHeight);
        resize(width(), height() - kGripHeight);
        grown_ = false;
    }
    if (OnClose)
        OnClose(this);
}

void TExplorerPopup::GiveBack()
{
    if (parentWidget() && parentWidget() != original_parent_.data()) {
        setParent(original_parent_);
        move(original_pos_);
        hide();
    }
}

QRect TExplorerPopup::DropDownGeometry() const
{
    return window_ ? window_->geometry() : QRect();
}

// The panel's own popups (the playlist's context menu, a combo box's list) and
// the dialogs opened while it is open (they are modal, or owned by a control in
// it) are part of it: a press there is not a press outside.
bool TExplorerPopup::IsOwnWindow(QObject* watched) const
{
    QWindow* window = qobject_cast<QWindow*>(watched);
    if (auto* widget = qobject_cast<QWidget*>(watched)) {
        QWidget* top = widget->window();
        if (top == window_ || top->windowType() == Qt::Popup || top->windowType() == Qt::ToolTip ||
            top->windowModality() != Qt::NonModal)
            return true;
        for (QWidget* owner = top->parentWidget(); owner; owner = owner->parentWidget())
            if (owner == this || owner == window_)
                return true;
        window = top->windowHandle();
    }
    if (!window)
        return false;
    if (window->type() == Qt::Popup || window->type() == Qt::ToolTip || window->modality() != Qt::NonModal)
        return true;
    const QWindow* mine = window_ ? window_->windowHandle() : nullptr;
    for (const QWindow* w = window; w; w = w->transientParent())
        if (mine && w == mine)
            return true;
    return false;
}

bool TExplorerPopup::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    if (open_ && anchor_window_ && watched == anchor_window_.data()) {
        if (type == QEvent::Move || type == QEvent::Resize) {
            Place(); // the panel stays below its anchor, not over whatever moved there
        } else if (type == QEvent::Hide || (type == QEvent::WindowStateChange && anchor_window_->isMinimized())) {
            closed_ = true;
            ClosePanel();
            return false;
        }
    }
    if (open_ && type == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget && window_ && widget->window() == window_.data()) {
            // A control that uses Esc itself (ending a type-ahead) claims it
            // the way shortcuts are overridden; the next Esc closes the panel.
            QKeyEvent claim(QEvent::ShortcutOverride, Qt::Key_Escape, static_cast<QKeyEvent*>(event)->modifiers());
            claim.ignore();
            QCoreApplication::sendEvent(widget, &claim);
            if (claim.isAccepted())
                return false;
            closed_ = true;
            ClosePanel();
            return true;
        }
    }
    if (open_ && anchor_window_ && type == QEvent::KeyPress) {
        // The panel is a window of its own and has the keyboard, but the shortcuts
        // of the window it belongs to (close the window, quit, ...) still work:
        // the panel closes and the window's action runs.
        auto* key = static_cast<QKeyEvent*>(event);
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget && window_ && widget->window() == window_.data() &&
            (key->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
            const QKeySequence pressed(key->keyCombination());
            for (QAction* action : anchor_window_->findChildren<QAction*>()) {
                if (!action->isEnabled() || !action->shortcuts().contains(pressed))
                    continue;
                closed_ = true;
                ClosePanel();
                QMetaObject::invokeMethod(action, &QAction::trigger, Qt::QueuedConnection);
                return true;
            }
        }
    }
    if (open_ && (type == QEvent::MouseButtonPress || type == QEvent::NonClientAreaMouseButtonPress) &&
        !IsOwnWindow(watched)) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::LeftButton) {
            const QPoint at = mouse->globalPosition().toPoint();
            const QPoint top_left = mapToGlobal(QPoint(0, 0));
            // Both ends count as inside, as the panel's screen rectangle is measured.
            const bool inside = at.x() >= top_left.x() && at.x() <= top_left.x() + width()
                                && at.y() >= top_left.y() && at.y() <= top_left.y() + height();
            if (!inside) {
                closed_ = true;
                ClosePanel();
            }
        }
    }
    return false; // the press is delivered whatever it did to the panel
}

bool TExplorerPopup::GripContains(QPoint point) const
{
    return undockable_ && open_ && QRect(QPoint(4, 2), QPoint(width() - 3, kGripHeight)).contains(point);
}

void TExplorerPopup::enterEvent(QEnterEvent* event)
{
    QFrame::enterEvent(event);
}

void TExplorerPopup::leaveEvent(QEvent* event)
{
    if (grip_hot_) {
        grip_hot_ = false;
        update();
    }
    QFrame::leaveEvent(event);
}

void TExplorerPopup::mouseMoveEvent(QMouseEvent* event)
{
    const bool hot = GripContains(event->position().toPoint());
    if (hot != grip_hot_) {
        grip_hot_ = hot;
        update();
    }
    QFrame::mouseMoveEvent(event);
}

void TExplorerPopup::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const int w = width(), h = height();
    painter.fillRect(rect(), theme::kButtonFace);
    if (open_) {
        painter.setPen(theme::kShadow);
        painter.drawRect(QRect(QPoint(1, 1), QPoint(w - 2, h - 2)));
        painter.setPen(theme::kHighlight);
        painter.drawLine(1, 1, 1, h - 2);
        painter.drawLine(1, 1, w - 2, 1);
        painter.setPen(QColor(0, 0, 0));
        painter.drawLine(w - 1, 0, w - 1, h - 1);
        painter.drawLine(0, h - 1, w - 1, h - 1);
        if (undockable_)
            painter.fillRect(QRect(QPoint(4, 2), QPoint(w - 4, kGripHeight - 1)),
                             grip_hot_ ? theme::kAccent : theme::kAccentDim);
    } else {
        // At rest inside its parent: a raised panel.
        painter.setPen(theme::kHighlight);
        painter.drawLine(0, 0, w - 1, 0);
        painter.drawLine(0, 0, 0, h - 1);
        painter.setPen(theme::kShadow);
        painter.drawLine(w - 1, 0, w - 1, h - 1);
        painter.drawLine(0, h - 1, w - 1, h - 1);
    }
}

} // namespace pelu::widgets
