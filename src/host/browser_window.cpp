#include "host/browser_window.h"

#include "host/app_icon.h"
#include "host/page_view.h"
#include "host/rebar.h"
#include "platform/registry/registry.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QBoxLayout>
#include <QCloseEvent>
#include <QDialog>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QStatusBar>
#include <QStyle>
#include <QTextEdit>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QWebEngineDownloadRequest>
#include <QWebEnginePage>

#include <array>

namespace pelu::host {

using namespace pelu::com;

namespace {

// Asks the page whether the focused element takes typed text. Frames count as
// editable: what has the focus inside them cannot always be seen from here.
constexpr char kFocusIsEditableScript[] = R"JS(
(function () {
  var e = document.activeElement;
  while (e && e.shadowRoot && e.shadowRoot.activeElement) e = e.shadowRoot.activeElement;
  if (!e) return false;
  if (e.isContentEditable) return true;
  var tag = (e.tagName || '').toLowerCase();
  if (tag === 'textarea' || tag === 'select' || tag === 'iframe' || tag === 'frame') return true;
  if (tag === 'input') {
    var type = (e.type || 'text').toLowerCase();
    var plain = ['button', 'checkbox', 'radio', 'submit', 'reset', 'image', 'file', 'color', 'range', 'hidden'];
    return plain.indexOf(type) < 0 && !e.readOnly;
  }
  return false;
})()
)JS";

bool is_editable_widget(const QWidget* widget)
{
    if (auto* line = qobject_cast<const QLineEdit*>(widget))
        return !line->isReadOnly();
    if (auto* text = qobject_cast<const QTextEdit*>(widget))
        return !text->isReadOnly();
    if (auto* plain = qobject_cast<const QPlainTextEdit*>(widget))
        return !plain->isReadOnly();
    if (auto* combo = qobject_cast<const QComboBox*>(widget))
        return combo->isEditable();
    return qobject_cast<const QAbstractSpinBox*>(widget) != nullptr;
}

// Zoom levels in percent, as browsers step through them.
constexpr std::array<int, 17> kZoomPercent{25, 33, 50, 67, 75, 80, 90, 100, 110, 125, 150, 175, 200, 250, 300, 400, 500};
constexpr int kZoomHundred = 7;

// The size a new window asks for; smaller screens get less.
constexpr QSize kDefaultWindowSize(1100, 720);

} // namespace

// ---- the window ----------------------------------------------------------------

BrowserWindow::BrowserWindow(BrowserSession& session) : session_(session)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowIcon(app_icon());
    number_ = session_.NextNumber();
    session_.windows_[number_] = this;
    resize(kDefaultWindowSize);
    UpdateTitle(QString());

    auto* central = new QWidget(this);
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    rebar_ = new Rebar(central);
    column->addWidget(rebar_);
    page_area_ = new QStackedWidget(central);
    // The page in a window of its own (see page_view.h): the band's repaints
    // never make the page be composed again.
    view_ = new PageView(session_.pages(), page_area_);
    // New windows that a page opens become browser windows.
    view_->open_window_for_page = [this]() -> QObject* {
        BrowserWindow* window = session_.OpenWindow(QUrl(), BrowserSession::OpenedBy::Page);
        return window ? window->view()->item() : nullptr;
    };
    page_area_->addWidget(view_->widget());
    // A page whose process died: what happened, and a way back.
    crash_panel_ = new QWidget(page_area_);
    crash_panel_->setObjectName(QStringLiteral("pageCrashed"));
    auto* crash_column = new QVBoxLayout(crash_panel_);
    crash_column->addStretch(1);
    crash_text_ = new QLabel(crash_panel_);
    crash_text_->setWordWrap(true);
    crash_text_->setAlignment(Qt::AlignCenter);
    crash_column->addWidget(crash_text_);
    auto* crash_reload = new QPushButton(tr("Reload"), crash_panel_);
    crash_reload->setObjectName(QStringLiteral("crashReload"));
    connect(crash_reload, &QPushButton::clicked, this, [this] {
        page_area_->setCurrentWidget(view_->widget());
        view_->Reload();
    });
    crash_column->addWidget(crash_reload, 0, Qt::AlignHCenter);
    crash_column->addStretch(2);
    page_area_->addWidget(crash_panel_);
    column->addWidget(page_area_, 1);
    BuildFindBar();
    column->addWidget(find_bar_);
    setCentralWidget(central);
    handle_ = win::RegisterWindow(this, kFrameClass, &BrowserWindow::Procedure);

    // The status bar: download news, the hovered link over it, the progress.
    status_ = new QLabel(this);
    status_->setObjectName(QStringLiteral("status"));
    status_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    statusBar()->addWidget(status_, 1);
    progress_ = new QProgressBar(this);
    progress_->setObjectName(QStringLiteral("loading"));
    progress_->setRange(0, 100);
    progress_->setMaximumWidth(160);
    progress_->setMaximumHeight(status_->sizeHint().height());
    progress_->hide();
    statusBar()->addPermanentWidget(progress_);

    rebar_->on_band_inserted = [this](int index) { emit BandInserted(index, rebar_->band_id(index)); };
    BuildToolbar();

    connect(view_, &PageView::UrlChanged, this, [this](const QUrl& url) {
        // What the user is typing stays; otherwise the address is the page's.
        if (!address_->isModified())
            address_->setText(url.toDisplayString());
    });
    connect(view_, &PageView::TitleChanged, this, &BrowserWindow::UpdateTitle);
    connect(view_, &PageView::LoadStarted, this, [this] {
        page_area_->setCurrentWidget(view_->widget());
        ShowLoading(true);
    });
    connect(view_, &PageView::LoadProgress, progress_, &QProgressBar::setValue);
    connect(view_, &PageView::LoadFinished, this, [this](bool) {
        ShowLoading(false);
        const QUrl url = view_->url();
        emit LoadFinished(url);
        FireNavigationEvents(url);
    });
    connect(view_, &PageView::NavigationChanged, this, [this] {
        back_->setEnabled(view_->can_go_back());
        forward_->setEnabled(view_->can_go_forward());
        stop_->setEnabled(view_->loading());
    });
    connect(view_, &PageView::LinkHovered, this, [this](const QString& url) {
        if (url.isEmpty())
            statusBar()->clearMessage();
        else
            statusBar()->showMessage(url);
    });
    connect(view_, &PageView::RenderProcessTerminated, this, [this](int status, int exit_code) {
        if (status != QWebEnginePage::NormalTerminationStatus)
            ShowCrash(status, exit_code);
    });
    // Chromium asks only for windows that a page's script opened.
    connect(view_, &PageView::WindowCloseRequested, this, &QWidget::close, Qt::QueuedConnection);
    qApp->installEventFilter(this);

    // The helper objects get the browser as their site before the window shows.
    browser_ = new BrowserObject(this);
    for (ComPtr<IObjectWithSite>& helper : session_.helpers().CreateObjects()) {
        if (SUCCEEDED(helper->SetSite(static_cast<IWebBrowser2*>(browser_))))
            helpers_.push_back(std::move(helper));
    }
}

BrowserWindow::~BrowserWindow()
{
    qApp->removeEventFilter(this);
    Quit(); // destroyed without being closed: the application is ending
    browser_->Detach();
    browser_->Release();
    session_.windows_.erase(number_);
    emit session_.WindowClosed(number_);
}

void BrowserWindow::BuildToolbar()
{
    QAction* back = back_ = new QAction(style()->standardIcon(QStyle::SP_ArrowBack), tr("Back"), this);
    back->setShortcuts({QKeySequence(Qt::ALT | Qt::Key_Left), QKeySequence(Qt::Key_Back)});
    connect(back, &QAction::triggered, view_, &PageView::Back);
    QAction* forward = forward_ = new QAction(style()->standardIcon(QStyle::SP_ArrowForward), tr("Forward"), this);
    forward->setShortcuts({QKeySequence(Qt::ALT | Qt::Key_Right), QKeySequence(Qt::Key_Forward)});
    connect(forward, &QAction::triggered, view_, &PageView::Forward);
    QAction* reload = reload_ = new QAction(style()->standardIcon(QStyle::SP_BrowserReload), tr("Reload"), this);
    reload->setShortcuts({QKeySequence(Qt::Key_F5), QKeySequence(Qt::CTRL | Qt::Key_R)});
    connect(reload, &QAction::triggered, view_, &PageView::Reload);
    // Esc stops only while a page loads (Stop is disabled otherwise), so the
    // page and the band get the key the rest of the time.
    QAction* stop = stop_ = new QAction(style()->standardIcon(QStyle::SP_BrowserStop), tr("Stop"), this);
    stop->setShortcut(QKeySequence(Qt::Key_Escape));
    connect(stop, &QAction::triggered, view_, &PageView::Stop);
    back->setEnabled(false);
    forward->setEnabled(false);
    stop->setEnabled(false);

    navigation_bar_ = new QWidget(rebar_);
    navigation_bar_->setObjectName(QStringLiteral("navigation"));
    auto* row = new QHBoxLayout(navigation_bar_);
    row->setContentsMargins(2, 2, 2, 2);
    row->setSpacing(2);
    auto add_button = [&](QAction* action) {
        auto* button = new QToolButton(navigation_bar_);
        button->setDefaultAction(action);
        button->setAutoRaise(true);
        row->addWidget(button);
        return button;
    };
    add_button(back);
    add_button(forward);
    // One place for Reload and Stop: the button shows Stop while a page loads.
    stop_reload_ = add_button(reload);
    stop_reload_->setObjectName(QStringLiteral("stopReload"));
    auto* home = new QAction(style()->standardIcon(QStyle::SP_DirHomeIcon), tr("Home"), this);
    home->setShortcut(QKeySequence(Qt::ALT | Qt::Key_Home));
    connect(home, &QAction::triggered, this, &BrowserWindow::GoHome);
    add_button(home);
    address_ = new QLineEdit(navigation_bar_);
    address_->setObjectName(QStringLiteral("address"));
    address_->setClearButtonEnabled(true);
    connect(address_, &QLineEdit::returnPressed, this, [this] {
        const QUrl url = QUrl::fromUserInput(address_->text().trimmed());
        if (!url.isValid())
            return;
        // From here on the address bar shows where the page really went.
        address_->setModified(false);
        view_->Focus();
        Navigate(url);
    });
    row->addWidget(address_, 1);

    QMenu* file = menuBar()->addMenu(tr("&File"));
    QAction* new_window = file->addAction(tr("&New Window"), this, [this] { session_.OpenWindow(); });
    new_window->setShortcut(QKeySequence::New);
    QAction* location = file->addAction(tr("Open &Location"), this, [this] {
        address_->setFocus();
        address_->selectAll();
    });
    location->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    file->addSeparator();
    QAction* close_window = file->addAction(tr("&Close Window"), this, &QWidget::close);
    close_window->setShortcut(QKeySequence::Close);
    // Queued: the windows close from the main loop, as a click on their close
    // buttons would, each through its own orderly quit.
    QAction* quit = file->addAction(tr("&Quit"), this, [this] {
        QMetaObject::invokeMethod(&session_, &BrowserSession::CloseAll, Qt::QueuedConnection);
    });
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));

    QMenu* view = menuBar()->addMenu(tr("&View"));
    view->addAction(stop);
    view->addAction(reload);
    view->addSeparator();
    QAction* find = view->addAction(tr("&Find in Page..."), this, [this] {
        find_bar_->show();
        find_field_->setFocus(Qt::ShortcutFocusReason);
        find_field_->selectAll();
    });
    find->setShortcut(QKeySequence::Find);
    view->addSeparator();
    QAction* zoom_in = view->addAction(tr("Zoom &In"), this, [this] { ZoomBy(1); });
    zoom_in->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_Plus), QKeySequence(Qt::CTRL | Qt::Key_Equal)});
    QAction* zoom_out = view->addAction(tr("Zoom &Out"), this, [this] { ZoomBy(-1); });
    zoom_out->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Minus));
    QAction* zoom_reset = view->addAction(tr("&Actual Size"), this, [this] { ZoomBy(0); });
    zoom_reset->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_0));

    QMenu* go = menuBar()->addMenu(tr("&Go"));
    go->addAction(back);
    go->addAction(forward);
    go->addAction(home);

    // The navigation bar is the rebar's first band, added the way any band is.
    win::REBARBANDINFO info{};
    info.cbSize = sizeof info;
    info.fMask = win::RBBIM_STYLE | win::RBBIM_CHILD | win::RBBIM_CHILDSIZE | win::RBBIM_ID;
    info.fStyle = win::RBBS_NOGRIPPER | win::RBBS_CHILDEDGE;
    info.hwndChild = win::RegisterWindow(navigation_bar_, "ToolbarWindow32");
    info.cxMinChild = 200;
    info.cyMinChild = static_cast<win::UINT>(navigation_bar_->sizeHint().height());
    info.wID = kNavigationBandId;
    win::SendMessageW(rebar_->handle(), win::RB_INSERTBANDW, static_cast<win::WPARAM>(-1),
                      reinterpret_cast<win::LPARAM>(&info));
}

void BrowserWindow::BuildFindBar()
{
    find_bar_ = new QWidget(centralWidget() ? centralWidget() : this);
    find_bar_->setObjectName(QStringLiteral("findBar"));
    auto* row = new QHBoxLayout(find_bar_);
    row->setContentsMargins(4, 2, 4, 2);
    row->addWidget(new QLabel(tr("Find:"), find_bar_));
    find_field_ = new QLineEdit(find_bar_);
    find_field_->setObjectName(QStringLiteral("findText"));
    find_field_->setMaximumWidth(260);
    row->addWidget(find_field_, 1);
    auto* previous = new QToolButton(find_bar_);
    previous->setArrowType(Qt::UpArrow);
    previous->setToolTip(tr("Previous match (Shift+Enter)"));
    row->addWidget(previous);
    auto* next = new QToolButton(find_bar_);
    next->setArrowType(Qt::DownArrow);
    next->setToolTip(tr("Next match (Enter)"));
    row->addWidget(next);
    find_result_ = new QLabel(find_bar_);
    find_result_->setObjectName(QStringLiteral("findResult"));
    row->addWidget(find_result_);
    row->addStretch(1);
    auto* close = new QToolButton(find_bar_);
    close->setText(QStringLiteral("\u00d7"));
    close->setToolTip(tr("Close the find bar (Esc)"));
    close->setAutoRaise(true);
    row->addWidget(close);
    connect(find_field_, &QLineEdit::textChanged, this, [this] { Find(false); });
    connect(find_field_, &QLineEdit::returnPressed, this, [this] {
        Find(QApplication::keyboardModifiers() & Qt::ShiftModifier);
    });
    connect(previous, &QToolButton::clicked, this, [this] { Find(true); });
    connect(next, &QToolButton::clicked, this, [this] { Find(false); });
    connect(close, &QToolButton::clicked, this, &BrowserWindow::CloseFindBar);
    connect(view_, &PageView::FindFinished, find_result_, [this](int matches, int active_match) {
        find_result_->setText(matches == 0 ? tr("Not found") : tr("%1 of %2").arg(active_match).arg(matches));
    });
    find_field_->installEventFilter(this);
    find_bar_->hide();
}

void BrowserWindow::CloseFindBar()
{
    find_bar_->hide();
    view_->FindText(QString(), false); // the marks go
    view_->Focus();
}

void BrowserWindow::Find(bool backward)
{
    const QString text = find_field_->text();
    if (text.isEmpty()) {
        view_->FindText(QString(), false);
        find_result_->clear();
        return;
    }
    view_->FindText(text, backward);
}

void BrowserWindow::ZoomBy(int steps)
{
    const int last = static_cast<int>(kZoomPercent.size()) - 1;
    zoom_step_ = steps == 0 ? 0 : std::clamp(zoom_step_ + steps, -kZoomHundred, last - kZoomHundred);
    const int percent = kZoomPercent[static_cast<std::size_t>(kZoomHundred + zoom_step_)];
    view_->SetZoomFactor(percent / 100.0);
    statusBar()->showMessage(tr("Zoom %1 %").arg(percent), 2000);
}

void BrowserWindow::ShowLoading(bool loading)
{
    // One action at a time: a tool button with several would show a menu arrow.
    QAction* shown = loading ? stop_ : reload_;
    for (QAction* action : stop_reload_->actions())
        if (action != shown)
            stop_reload_->removeAction(action);
    stop_reload_->setDefaultAction(shown);
    progress_->setVisible(loading);
    if (!loading)
        progress_->setValue(0);
}

void BrowserWindow::ShowCrash(int status, int exit_code)
{
    const QString what = status == QWebEnginePage::KilledTerminationStatus
                             ? tr("was ended from outside")
                             : tr("crashed (exit code %1)").arg(exit_code);
    crash_text_->setText(tr("The page %1 cannot be shown: the process that draws it %2.\n"
                            "Reload to try again.")
                             .arg(view_->url().toDisplayString(), what));
    page_area_->setCurrentWidget(crash_panel_);
    ShowLoading(false);
    emit PageCrashed(status, exit_code);
}

void BrowserWindow::ShowStatus(const QString& text) { status_->setText(text); }

QString BrowserWindow::status_text() const
{
    const QString passing = statusBar()->currentMessage();
    return passing.isEmpty() ? status_->text() : passing;
}

QString BrowserWindow::address_text() const { return address_->text(); }

QImage BrowserWindow::Grab()
{
    QImage picture = grab().toImage();
    const QImage page = view_->Grab();
    if (!page.isNull() && view_->widget()->isVisible()) {
        QPainter painter(&picture);
        const QPoint at = view_->widget()->mapTo(this, QPoint(0, 0));
        painter.drawImage(QRect(at, view_->widget()->size()), page);
    }
    return picture;
}

void BrowserWindow::FitIntoScreen()
{
    const QScreen* place = screen();
    if (!place)
        return;
    const QRect available = place->availableGeometry();
    // A twentieth of the area is left for the window manager's frame.
    const QSize room(available.width() - available.width() / 20, available.height() - available.height() / 20);
    const QSize size = (isVisible() ? this->size() : kDefaultWindowSize).boundedTo(room).expandedTo(minimumSize());
    resize(size);
    QRect frame(pos(), size);
    if (!available.contains(frame)) {
        frame.moveCenter(available.center());
        move(frame.topLeft());
    }
}

void BrowserWindow::Navigate(const QUrl& url) { view_->Load(url); }

void BrowserWindow::GoHome()
{
    const QUrl& home = session_.home_page();
    if (!home.isEmpty()) {
        view_->Load(home);
        return;
    }
    // Without the local home page, say what is missing instead of an empty page.
    const QString html = QStringLiteral(
                             "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>%1</title></head>"
                             "<body style=\"font-family:sans-serif;margin:3em\"><h1>%1</h1><p>%2</p></body></html>")
                             .arg(QString::fromLatin1(kBrowserName), session_.home_problem().toHtmlEscaped());
    view_->LoadHtml(html, QUrl(QStringLiteral("about:blank")));
}

void BrowserWindow::SendBackspaceCommand()
{
    win::SendMessageW(handle_, win::WM_COMMAND, win::MAKEWPARAM(kCommandBack, 1), 0);
}

win::LRESULT BrowserWindow::Procedure(win::HWND window, win::UINT message, win::WPARAM wparam, win::LPARAM lparam)
{
    auto* browser = qobject_cast<BrowserWindow*>(win::WidgetFromWindow(window));
    if (browser && message == win::WM_COMMAND && win::LOWORD(wparam) == kCommandBack) {
        browser->view_->Back();
        return 0;
    }
    return win::DefWindowProc(window, message, wparam, lparam);
}

void BrowserWindow::FireNavigationEvents(const QUrl& url)
{
    // NavigateComplete2(pDisp, URL) and DocumentComplete(pDisp, URL): the
    // address travels by reference, the arguments in reverse order.
    VARIANT address;
    address.vt = VT_BSTR;
    address.bstrVal = to_bstr(url.toString());
    VARIANT address_ref;
    address_ref.vt = VT_BYREF | VT_VARIANT;
    address_ref.pvarVal = &address;
    VARIANT dispatch;
    dispatch.vt = VT_DISPATCH;
    dispatch.pdispVal = static_cast<IWebBrowser2*>(browser_);
    QPointer<BrowserWindow> alive(this);
    browser_->Fire(DISPID_NAVIGATECOMPLETE2, {address_ref, dispatch});
    if (alive)
        browser_->Fire(DISPID_DOCUMENTCOMPLETE, {address_ref, dispatch});
    VariantClear(&address);
    if (alive)
        emit NavigationCompleted(url);
}

void BrowserWindow::UpdateTitle(const QString& title)
{
    const QString name = QString::fromLatin1(kBrowserName);
    setWindowTitle(title.isEmpty() ? name : title + QStringLiteral(" - ") + name);
    if (browser_ && !title.isEmpty()) {
        VARIANT text;
        text.vt = VT_BSTR;
        text.bstrVal = to_bstr(title);
        browser_->Fire(DISPID_TITLECHANGE, {text});
        VariantClear(&text);
    }
}

void BrowserWindow::Quit()
{
    if (quit_fired_)
        return;
    quit_fired_ = true;
    browser_->Fire(DISPID_ONQUIT);
    for (auto& helper : helpers_)
        helper->SetSite(nullptr);
    helpers_.clear();
}

namespace {

// A nested event loop is running below the main one: a drop-down panel, a menu,
// a message box, a file dialog or a page's own dialog.
bool nested_loop_running() { return QThread::currentThread()->loopLevel() > 1; }

// Asks every window that may run such a loop to end it: dialogs are rejected,
// menus and panels closed. Browser windows stay.
void end_nested_loops()
{
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (!top->isVisible() || qobject_cast<BrowserWindow*>(top))
            continue;
        if (auto* dialog = qobject_cast<QDialog*>(top))
            dialog->reject();
        else
            top->close();
    }
}

} // namespace

void BrowserWindow::closeEvent(QCloseEvent* event)
{
    // The take-down destroys the band and this window, which a nested loop
    // further down the stack may still be using: first let every such loop
    // end and return, then close again from the main loop.
    if (nested_loop_running()) {
        event->ignore();
        end_nested_loops();
        if (!close_retry_pending_) {
            close_retry_pending_ = true;
            QTimer::singleShot(kCloseRetryMs, this, [this] {
                close_retry_pending_ = false;
                close();
            });
        }
        return;
    }
    Quit();
    event->accept();
}

bool BrowserWindow::eventFilter(QObject* watched, QEvent* event)
{
    // Esc in the find field closes the find bar, even while a page loads.
    if (watched == find_field_ && (event->type() == QEvent::ShortcutOverride || event->type() == QEvent::KeyPress) &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        event->accept();
        if (event->type() == QEvent::KeyPress)
            CloseFindBar();
        return true;
    }
    if (event->type() != QEvent::KeyPress)
        return false;
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() != Qt::Key_Backspace || key->modifiers() != Qt::NoModifier)
        return false;
    // The first delivery only (to the focus widget, or the window without one),
    // not the parents an ignored key travels on to. Only the pointer of
    // `watched` is compared: the page engine's own objects pass through here
    // too, and they carry no type information to call them by.
    QWidget* focus = QApplication::focusWidget();
    QWidget* target = focus ? focus : this;
    if (watched != target || target->window() != this)
        return false;
    OnBackspace(target);
    return false;
}

void BrowserWindow::OnBackspace(QWidget* focus)
{
    if (is_editable_widget(focus))
        return;
    if (focus == view_->widget()) {
        // The page decides: ask whether its focused element takes text.
        QPointer<BrowserWindow> self(this);
        view_->RunJavaScript(QString::fromLatin1(kFocusIsEditableScript), [self](const QVariant& editable) {
            if (self && !editable.toBool())
                self->SendBackspaceCommand();
        });
        return;
    }
    SendBackspaceCommand();
}

// ---- the session ---------------------------------------------------------------

BrowserSession::BrowserSession(HelperObjects& helpers, QUrl home_page, QString home_problem)
    : helpers_(helpers), home_page_(std::move(home_page)), home_problem_(std::move(home_problem))
{
    pages_ = new PageEngine(this);
    connect(pages_, &PageEngine::DownloadRequested, this, &BrowserSession::StartDownload);
}

BrowserSession::~BrowserSession()
{
    // The pages go before their profile.
    for (BrowserWindow* window : windows())
        delete window;
}

void BrowserSession::CloseAll()
{
    const std::vector<BrowserWindow*> open = windows();
    if (open.empty())
        QCoreApplication::quit();
    for (BrowserWindow* window : open)
        window->close();
}

BrowserWindow* BrowserSession::WindowOf(const QObject* view_item) const
{
    for (BrowserWindow* window : windows())
        if (window->view()->item() == view_item)
            return window;
    return nullptr;
}

void BrowserSession::StartDownload(QWebEngineDownloadRequest* download, QObject* view_item)
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    if (folder.isEmpty())
        folder = QDir::homePath();
    QDir().mkpath(folder);
    const QString name = free_file_name(folder, download->downloadFileName(), downloading_);
    const QString path = QDir(folder).filePath(name);
    download->setDownloadDirectory(folder);
    download->setDownloadFileName(name);
    downloading_ << path;
    QPointer<BrowserWindow> window(WindowOf(view_item));
    auto say = [window](const QString& text) {
        if (window)
            window->ShowStatus(text);
    };
    connect(download, &QWebEngineDownloadRequest::receivedBytesChanged, this, [download, name, say] {
        const qint64 total = download->totalBytes();
        const qint64 received = download->receivedBytes();
        say(total > 0 ? tr("Downloading %1: %2 % of %3 kB").arg(name).arg(received * 100 / total).arg((total + 1023) / 1024)
                      : tr("Downloading %1: %2 kB").arg(name).arg((received + 1023) / 1024));
    });
    connect(download, &QWebEngineDownloadRequest::isFinishedChanged, this, [this, download, name, path, folder, say,
                                                                             window] {
        downloading_.removeAll(path);
        const bool completed = download->state() == QWebEngineDownloadRequest::DownloadCompleted;
        const QString problem = completed ? QString() : download->interruptReasonString();
        say(completed ? tr("Downloaded %1 to %2").arg(name, folder)
                      : tr("The download of %1 failed: %2").arg(name, problem.isEmpty() ? tr("cancelled") : problem));
        emit DownloadFinished(window ? window->number() : 0, path, completed, problem);
    });
    say(tr("Downloading %1 to %2").arg(name, folder));
    download->accept();
}

BrowserWindow* BrowserSession::OpenWindow(const QUrl& url, OpenedBy opener)
{
    auto* window = new BrowserWindow(*this);
    window->FitIntoScreen();
    window->show();
    emit WindowOpened(window);
    // A page's new window gets its content from the page. Any other first page,
    // about:blank included, is loaded, so its completion is the window's first
    // navigation.
    if (opener == OpenedBy::Page)
        return window;
    if (url.isEmpty())
        window->GoHome();
    else
        window->Navigate(url);
    return window;
}

BrowserWindow* BrowserSession::window(int number) const
{
    auto it = windows_.find(number);
    return it == windows_.end() ? nullptr : it->second.data();
}

std::vector<BrowserWindow*> BrowserSession::windows() const
{
    std::vector<BrowserWindow*> open;
    for (const auto& [number, window] : windows_) {
        if (window)
            open.push_back(window);
    }
    return open;
}

QString free_file_name(const QString& folder, const QString& name, const QStringList& taken)
{
    // Never a path: a server's suggestion must not leave the folder.
    QString wanted = QFileInfo(name).fileName();
    if (wanted.isEmpty() || wanted == QLatin1String(".") || wanted == QLatin1String(".."))
        wanted = QStringLiteral("download");
    const QDir dir(folder);
    auto free = [&](const QString& candidate) {
        const QString path = dir.filePath(candidate);
        return !QFileInfo::exists(path) && !taken.contains(path);
    };
    if (free(wanted))
        return wanted;
    // "name (1).ext", and "music (1).tar.gz" for an archive.
    qsizetype dot = wanted.lastIndexOf(QLatin1Char('.'));
    if (dot > 0 && wanted.left(dot).endsWith(QLatin1String(".tar"), Qt::CaseInsensitive))
        dot -= 4;
    const QString base = dot > 0 ? wanted.left(dot) : wanted;
    const QString extension = dot > 0 ? wanted.mid(dot) : QString();
    for (int n = 1;; ++n) {
        const QString candidate = QStringLiteral("%1 (%2)%3").arg(base).arg(n).arg(extension);
        if (free(candidate))
            return candidate;
    }
}

QUrl find_home_page(QString& problem)
{
    QString folder;
    try {
        auto store = platform::registry::Store::open_default();
        if (auto key = store->open_key(platform::registry::Hive::CurrentUser, QStringLiteral("Software\\PELU\\XPD")))
            if (auto value = store->query(*key, QStringLiteral("DLL Location")))
                folder = value->text;
    } catch (const std::exception& e) {
        problem = QStringLiteral("The registry cannot be read (%1), so the home page is unknown.")
                      .arg(QString::fromLocal8Bit(e.what()));
        return {};
    }
    if (folder.isEmpty()) {
        problem = QStringLiteral("PELU is not set up for this user yet: run \"pelu setup\", then open the "
                                 "browser again.");
        return {};
    }
    const QString page = folder + QStringLiteral("pages/index.html");
    if (!QFileInfo::exists(page)) {
        problem = QStringLiteral("The home page %1 is missing: run \"pelu setup\" to put it there.").arg(page);
        return {};
    }
    return QUrl::fromLocalFile(page);
}

} // namespace pelu::host
