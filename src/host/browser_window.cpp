#include "host/browser_window.h"

#include "host/rebar.h"
#include "platform/registry/registry.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QBoxLayout>
#include <QCloseEvent>
#include <QDialog>
#include <QComboBox>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QStyle>
#include <QTextEdit>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QWebEnginePage>
#include <QWebEngineView>

namespace pelu::host {

using namespace pelu::com;

namespace {

BSTR to_bstr(const QString& text)
{
    return SysAllocStringLen(reinterpret_cast<const char16_t*>(text.utf16()), static_cast<std::uint32_t>(text.size()));
}

QString from_bstr(BSTR text)
{
    const std::u16string_view view = bstr_view(text);
    return QString::fromUtf16(view.data(), static_cast<qsizetype>(view.size()));
}

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

// The page of a window: new windows that a page opens become browser windows.
class Page : public QWebEnginePage {
public:
    Page(BrowserSession& session, QObject* parent) : QWebEnginePage(parent), session_(session) {}

protected:
    QWebEnginePage* createWindow(WebWindowType) override
    {
        BrowserWindow* window = session_.OpenWindow(QUrl(), BrowserSession::OpenedBy::Page);
        return window ? window->page() : nullptr;
    }

private:
    BrowserSession& session_;
};

} // namespace

// ---- the automation object -----------------------------------------------------

BrowserObject::BrowserObject(BrowserWindow* window) : window_(window) {}

BrowserObject::~BrowserObject() = default;

void BrowserObject::Detach()
{
    window_.clear();
    // Sinks still connected are let go with the window.
    auto sinks = std::move(sinks_);
    sinks_.clear();
}

void BrowserObject::Fire(DISPID id, std::vector<VARIANT> arguments_reversed)
{
    DISPPARAMS params;
    params.rgvarg = arguments_reversed.empty() ? nullptr : arguments_reversed.data();
    params.cArgs = static_cast<UINT>(arguments_reversed.size());
    // A sink may disconnect itself, or others, while it handles the event.
    const auto sinks = sinks_;
    for (const auto& [cookie, sink] : sinks) {
        if (sinks_.count(cookie))
            sink->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
    }
}

HRESULT BrowserObject::QueryInterface(REFIID iid, void** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IWebBrowser2)
        *out = static_cast<IWebBrowser2*>(this);
    else if (iid == IID_IConnectionPointContainer)
        *out = static_cast<IConnectionPointContainer*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

ULONG BrowserObject::AddRef() { return ++references_; }

ULONG BrowserObject::Release()
{
    const ULONG left = --references_;
    if (left == 0)
        delete this;
    return left;
}

HRESULT BrowserObject::GetTypeInfoCount(UINT* count)
{
    if (!count)
        return E_POINTER;
    *count = 0;
    return S_OK;
}

HRESULT BrowserObject::GetTypeInfo(UINT, LCID, ITypeInfo** info)
{
    if (info)
        *info = nullptr;
    return E_NOTIMPL;
}

HRESULT BrowserObject::GetIDsOfNames(REFIID, char16_t**, UINT, LCID, DISPID*) { return DISP_E_UNKNOWNNAME; }

HRESULT BrowserObject::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*)
{
    return DISP_E_MEMBERNOTFOUND;
}

HRESULT BrowserObject::GoBack()
{
    return OnWindow([](BrowserWindow& w) { w.view()->back(); });
}

HRESULT BrowserObject::GoForward()
{
    return OnWindow([](BrowserWindow& w) { w.view()->forward(); });
}

HRESULT BrowserObject::GoHome()
{
    return OnWindow([](BrowserWindow& w) { w.GoHome(); });
}

HRESULT BrowserObject::Navigate(BSTR url, VARIANT*, VARIANT*, VARIANT*, VARIANT*)
{
    // Flags, target frame, post data and headers are not used: every address
    // opens in this window with a plain request.
    if (!window_)
        return E_FAIL;
    const QString text = from_bstr(url).trimmed();
    if (text.isEmpty())
        return E_INVALIDARG;
    const QUrl target = QUrl::fromUserInput(text);
    if (!target.isValid())
        return E_INVALIDARG;
    window_->Navigate(target);
    return S_OK;
}

HRESULT BrowserObject::Refresh()
{
    return OnWindow([](BrowserWindow& w) { w.view()->reload(); });
}

HRESULT BrowserObject::Stop()
{
    return OnWindow([](BrowserWindow& w) { w.view()->stop(); });
}

HRESULT BrowserObject::get_LocationName(BSTR* name)
{
    return ReadWindow(name, [](BrowserWindow& w) { return to_bstr(w.view()->title()); });
}

HRESULT BrowserObject::get_LocationURL(BSTR* url)
{
    return ReadWindow(url, [](BrowserWindow& w) { return to_bstr(w.view()->url().toString()); });
}

HRESULT BrowserObject::get_Busy(VARIANT_BOOL* busy)
{
    return ReadWindow(busy, [](BrowserWindow& w) {
        return w.view()->page()->isLoading() ? VARIANT_TRUE : VARIANT_FALSE;
    });
}

HRESULT BrowserObject::Quit()
{
    // Queued: the caller (a band's own timer) must return before the window and
    // everything in it goes.
    return OnWindow([](BrowserWindow& w) { QMetaObject::invokeMethod(&w, &QWidget::close, Qt::QueuedConnection); });
}

HRESULT BrowserObject::get_HWND(SHANDLE_PTR* hwnd)
{
    return ReadWindow(hwnd, [](BrowserWindow& w) { return win::HandleToInteger(w.handle()); });
}

HRESULT BrowserObject::get_Visible(VARIANT_BOOL* visible)
{
    return ReadWindow(visible, [](BrowserWindow& w) { return w.isVisible() ? VARIANT_TRUE : VARIANT_FALSE; });
}

HRESULT BrowserObject::put_Visible(VARIANT_BOOL visible)
{
    return OnWindow([visible](BrowserWindow& w) { w.setVisible(visible != VARIANT_FALSE); });
}

HRESULT BrowserObject::EnumConnectionPoints(IEnumConnectionPoints** out)
{
    if (out)
        *out = nullptr;
    return E_NOTIMPL;
}

HRESULT BrowserObject::FindConnectionPoint(REFIID iid, IConnectionPoint** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (iid != DIID_DWebBrowserEvents2)
        return CONNECT_E_NOCONNECTION;
    *out = this;
    AddRef();
    return S_OK;
}

HRESULT BrowserObject::GetConnectionInterface(IID* iid)
{
    if (!iid)
        return E_POINTER;
    *iid = DIID_DWebBrowserEvents2;
    return S_OK;
}

HRESULT BrowserObject::GetConnectionPointContainer(IConnectionPointContainer** out)
{
    if (!out)
        return E_POINTER;
    *out = this;
    AddRef();
    return S_OK;
}

HRESULT BrowserObject::Advise(IUnknown* sink, DWORD* cookie)
{
    if (!sink || !cookie)
        return E_POINTER;
    *cookie = 0;
    if (!window_)
        return CONNECT_E_CANNOTCONNECT;
    // Events arrive through IDispatch::Invoke: a sink must have it.
    ComPtr<IDispatch> dispatch;
    if (FAILED(sink->QueryInterface(IID_IDispatch, dispatch.put_void())) || !dispatch)
        return CONNECT_E_CANNOTCONNECT;
    *cookie = next_cookie_++;
    sinks_.emplace(*cookie, std::move(dispatch));
    return S_OK;
}

HRESULT BrowserObject::Unadvise(DWORD cookie)
{
    auto it = sinks_.find(cookie);
    if (it == sinks_.end())
        return CONNECT_E_NOCONNECTION;
    ComPtr<IDispatch> sink = std::move(it->second); // released after the map is tidy
    sinks_.erase(it);
    return S_OK;
}

HRESULT BrowserObject::EnumConnections(IEnumConnections** out)
{
    if (out)
        *out = nullptr;
    return E_NOTIMPL;
}

// ---- the window ----------------------------------------------------------------

BrowserWindow::BrowserWindow(BrowserSession& session) : session_(session)
{
    setAttribute(Qt::WA_DeleteOnClose);
    number_ = session_.NextNumber();
    session_.windows_[number_] = this;
    resize(1100, 720);
    UpdateTitle(QString());

    auto* central = new QWidget(this);
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    rebar_ = new Rebar(central);
    // A window that holds the page is composed through OpenGL, all of it, at
    // every repaint of any of its widgets; on a machine without a GPU driver
    // that is a software rasteriser redrawing the whole window for each step of
    // the band's status line or analysers. As a native window of its own, the
    // toolbar's repaints are composed and flushed for its own area only.
    rebar_->setAttribute(Qt::WA_NativeWindow);
    column->addWidget(rebar_);
    view_ = new QWebEngineView(central);
    view_->setPage(new Page(session_, view_));
    column->addWidget(view_, 1);
    setCentralWidget(central);
    handle_ = win::RegisterWindow(this, kFrameClass, &BrowserWindow::Procedure);

    rebar_->on_band_inserted = [this](int index) { emit BandInserted(index, rebar_->band_id(index)); };
    BuildToolbar();

    connect(view_, &QWebEngineView::urlChanged, this, [this](const QUrl& url) {
        if (!address_->hasFocus())
            address_->setText(url.toDisplayString());
    });
    connect(view_, &QWebEngineView::titleChanged, this, &BrowserWindow::UpdateTitle);
    connect(view_, &QWebEngineView::loadFinished, this, [this](bool) {
        const QUrl url = view_->url();
        emit LoadFinished(url);
        FireNavigationEvents(url);
    });
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

QWebEnginePage* BrowserWindow::page() const { return view_->page(); }

void BrowserWindow::BuildToolbar()
{
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
    };
    add_button(view_->pageAction(QWebEnginePage::Back));
    add_button(view_->pageAction(QWebEnginePage::Forward));
    add_button(view_->pageAction(QWebEnginePage::Reload));
    auto* home = new QAction(style()->standardIcon(QStyle::SP_DirHomeIcon), tr("Home"), this);
    home->setShortcut(QKeySequence(Qt::ALT | Qt::Key_Home));
    connect(home, &QAction::triggered, this, &BrowserWindow::GoHome);
    add_button(home);
    address_ = new QLineEdit(navigation_bar_);
    address_->setObjectName(QStringLiteral("address"));
    address_->setClearButtonEnabled(true);
    connect(address_, &QLineEdit::returnPressed, this, [this] {
        const QUrl url = QUrl::fromUserInput(address_->text().trimmed());
        if (url.isValid())
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
    QMenu* go = menuBar()->addMenu(tr("&Go"));
    go->addAction(view_->pageAction(QWebEnginePage::Back));
    go->addAction(view_->pageAction(QWebEnginePage::Forward));
    go->addAction(home);
    go->addAction(view_->pageAction(QWebEnginePage::Reload));

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

void BrowserWindow::Navigate(const QUrl& url) { view_->load(url); }

void BrowserWindow::GoHome()
{
    const QUrl& home = session_.home_page();
    if (!home.isEmpty()) {
        view_->load(home);
        return;
    }
    // Without the local home page, say what is missing instead of an empty page.
    const QString html = QStringLiteral(
                             "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>%1</title></head>"
                             "<body style=\"font-family:sans-serif;margin:3em\"><h1>%1</h1><p>%2</p></body></html>")
                             .arg(QString::fromLatin1(kBrowserName), session_.home_problem().toHtmlEscaped());
    view_->setHtml(html, QUrl(QStringLiteral("about:blank")));
}

void BrowserWindow::SendBackspaceCommand()
{
    win::SendMessageW(handle_, win::WM_COMMAND, win::MAKEWPARAM(kCommandBack, 1), 0);
}

win::LRESULT BrowserWindow::Procedure(win::HWND window, win::UINT message, win::WPARAM wparam, win::LPARAM lparam)
{
    auto* browser = qobject_cast<BrowserWindow*>(win::WidgetFromWindow(window));
    if (browser && message == win::WM_COMMAND && win::LOWORD(wparam) == kCommandBack) {
        browser->view_->back();
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
    if (event->type() != QEvent::KeyPress || !watched->isWidgetType())
        return false;
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() != Qt::Key_Backspace || key->modifiers() != Qt::NoModifier)
        return false;
    auto* widget = static_cast<QWidget*>(watched);
    // The first delivery only (to the focus widget, or the window without one),
    // not the parents an ignored key travels on to.
    QWidget* focus = QApplication::focusWidget();
    if (widget->window() != this || widget != (focus ? focus : this))
        return false;
    OnBackspace(widget);
    return false;
}

void BrowserWindow::OnBackspace(QWidget* focus)
{
    if (is_editable_widget(focus))
        return;
    if (view_->isAncestorOf(focus) || focus == view_) {
        // The page decides: ask whether its focused element takes text.
        QPointer<BrowserWindow> self(this);
        page()->runJavaScript(QString::fromLatin1(kFocusIsEditableScript), [self](const QVariant& editable) {
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
}

BrowserWindow* BrowserSession::OpenWindow(const QUrl& url, OpenedBy opener)
{
    auto* window = new BrowserWindow(*this);
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
