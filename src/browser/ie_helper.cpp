#include "browser/ie_helper.h"

#include "browser/server.h"

#include <QLabel>
#include <QLineEdit>
#include <QThread>

#include <cstring>
#include <map>

namespace pelu::browser {

using namespace pelu::com;
using win::HWND;
using win::LPARAM;
using win::LRESULT;
using win::UINT;
using win::WPARAM;

namespace {

bool has_class(HWND window, const char* class_name)
{
    char buffer[255];
    const int length = win::GetClassNameA(window, buffer, sizeof buffer);
    return length > 0 && std::strcmp(buffer, class_name) == 0;
}

// Enumeration callback: sets the frame-seen flag for a visible "IEFrame".
bool note_visible_frame(HWND window, LPARAM data)
{
    auto* state = reinterpret_cast<HelperModuleState*>(data);
    if (win::IsWindowVisible(window) && has_class(window, kFrameClass))
        state->frame_seen = true;
    return true; // runs to the end
}

bool find_rebar(HWND window, LPARAM data)
{
    if (!has_class(window, kRebarClass))
        return true;
    *reinterpret_cast<HWND*>(data) = window;
    return false;
}

// A failing browser call ends the operation in progress.
class BrowserCallFailed : public std::exception {};

void check(HRESULT hr)
{
    if (FAILED(hr))
        throw BrowserCallFailed();
}

HWND browser_frame(IWebBrowser2* browser)
{
    SHANDLE_PTR handle = 0;
    check(browser->get_HWND(&handle));
    return win::IntegerToHandle(handle);
}

// The filters are plain window procedures; each installed filter finds its
// state through the window it was installed on. A filter whose band is gone
// stays in the chain (someone may have chained after it) and only passes on.
struct FilterLink {
    win::WNDPROC previous = nullptr;
    HelperModuleState* state = nullptr; // null once the band is gone
    bool wide = true;
};

// The server, a static object of the library, takes the filters out when it is
// destroyed: it makes these tables in its constructor (prepare_filter_tables),
// so they are destroyed after it.
std::map<HWND, FilterLink>& rebar_links()
{
    static std::map<HWND, FilterLink> links;
    return links;
}

std::map<HWND, FilterLink>& frame_links()
{
    static std::map<HWND, FilterLink> links;
    return links;
}

LRESULT call_previous(const FilterLink& link, HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    return link.wide ? win::CallWindowProcW(link.previous, window, message, wparam, lparam)
                     : win::CallWindowProcA(link.previous, window, message, wparam, lparam);
}

// Whoever sets or reads the band's information sets or reads this module's
// record instead.
LRESULT rebar_filter(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    auto it = rebar_links().find(window);
    if (it == rebar_links().end())
        return win::DefWindowProc(window, message, wparam, lparam);
    const FilterLink link = it->second;
    if (link.state && (message == win::RB_SETBANDINFOA || message == win::RB_SETBANDINFOW ||
                       message == win::RB_GETBANDINFOW || message == win::RB_GETBANDINFOA)) {
        const LRESULT index = call_previous(link, window, win::RB_IDTOINDEX, kBandId, 0);
        if (static_cast<LRESULT>(wparam) == index)
            lparam = reinterpret_cast<LPARAM>(&link.state->band_info);
    }
    return call_previous(link, window, message, wparam, lparam);
}

LRESULT frame_filter(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    auto it = frame_links().find(window);
    if (it == frame_links().end())
        return win::DefWindowProc(window, message, wparam, lparam);
    const FilterLink link = it->second;
    if (link.state && message == win::WM_COMMAND && wparam == kBackspaceCommand && link.state->form &&
        link.state->form_kind && link.state->form_kind->edit2) {
        if (QLineEdit* edit = link.state->form_kind->edit2(link.state->form))
            apply_backspace(edit);
    }
    return call_previous(link, window, message, wparam, lparam);
}

void install_filter(std::map<HWND, FilterLink>& links, HWND window, win::WNDPROC filter, HelperModuleState& state,
                    win::WNDPROC& previous)
{
    previous = win::SetWindowProc(window, filter);
    links[window] = FilterLink{previous, &state, state.platform_flag};
}

void remove_filter(std::map<HWND, FilterLink>& links, HWND window, win::WNDPROC filter, HelperModuleState& state)
{
    auto it = links.find(window);
    if (it == links.end() || it->second.state != &state)
        return;
    if (!win::IsWindow(window)) {
        links.erase(it);
        return;
    }
    if (win::GetWindowProc(window) == filter) {
        win::SetWindowProc(window, it->second.previous);
        links.erase(it);
    } else {
        it->second.state = nullptr; // chained over: stay, passing everything on
    }
}

} // namespace

bool is_handled_event(DISPID id)
{
    switch (id) {
    case 102: case 104: case 105: case 106: case 108: case 110: case 112: case 113:
        return true;
    default:
        return (id >= 250 && id <= 260) || (id >= 262 && id <= 270);
    }
}

std::vector<int> dispatch_argument_map(const DISPPARAMS* params)
{
    if (!params || params->cArgs == 0)
        return {};
    const auto count = static_cast<int>(params->cArgs);
    const int named = std::min(static_cast<int>(params->cNamedArgs), count);
    std::vector<int> map(static_cast<std::size_t>(count), -1);
    for (int k = 0; k < named && params->rgdispidNamedArgs; ++k) {
        const DISPID position = params->rgdispidNamedArgs[k];
        if (position >= 0 && position < count)
            map[static_cast<std::size_t>(position)] = k;
    }
    for (int i = 0; i < count - named; ++i)
        map[static_cast<std::size_t>(i)] = count - 1 - i;
    return map;
}

void apply_backspace(QLineEdit* edit)
{
    const QString text = edit->text();
    if (edit->hasSelectedText()) {
        const int start = edit->selectionStart();
        const int length = edit->selectionLength();
        edit->setText(text.left(start) + text.mid(start + length));
        edit->setCursorPosition(start);
        return;
    }
    const int caret = edit->cursorPosition();
    if (caret <= 0)
        return; // nothing before the caret: nothing to take
    // A character outside the basic plane is two code units; take both.
    int cut = 1;
    if (caret >= 2 && text.at(caret - 1).isLowSurrogate() && text.at(caret - 2).isHighSurrogate())
        cut = 2;
    edit->setText(text.left(caret - cut) + text.mid(caret));
    edit->setCursorPosition(caret - cut);
}

void prepare_filter_tables()
{
    rebar_links();
    frame_links();
}

void remove_band_filters(HelperModuleState& state)
{
    if (state.rebar)
        remove_filter(rebar_links(), state.rebar, &rebar_filter, state);
    if (state.frame)
        remove_filter(frame_links(), state.frame, &frame_filter, state);
}

// ---- the object ----------------------------------------------------------------

TIEHelper::TIEHelper(ComServer& server) : server_(server), state_(server.helper_state())
{
    ++server_.object_count;
}

TIEHelper::~TIEHelper() { --server_.object_count; }

HRESULT TIEHelper::QueryInterface(REFIID iid, void** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_IObjectWithSite)
        *out = static_cast<IObjectWithSite*>(this);
    else if (iid == IID_IDispatch)
        *out = static_cast<IDispatch*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

ULONG TIEHelper::AddRef() { return ++references_; }

ULONG TIEHelper::Release()
{
    const ULONG left = --references_;
    if (left == 0)
        delete this;
    return left;
}

HRESULT TIEHelper::SetSite(IUnknown* site)
{
    // 1, 2: a browser window whose site arrives while another browser frame is
    // visible gets no player.
    win::EnumWindows(&note_visible_frame, reinterpret_cast<LPARAM>(&state_));
    if (state_.frame_seen)
        return S_OK;
    // 3: only one site is ever handled.
    if (state_.attach_state == 2)
        return E_FAIL;
    // 4, 5: a frame that became visible meanwhile wins; this thread's loop ends.
    state_.frame_seen = false;
    win::EnumWindows(&note_visible_frame, reinterpret_cast<LPARAM>(&state_));
    if (state_.frame_seen) {
        win::PostQuitMessage(0);
        DisconnectEvents();
        return S_OK;
    }
    // 6
    if (!site) {
        state_.attach_state = 2;
        return S_OK;
    }
    // 7: a site without the browser's interface cannot be attached to; the
    // module state stays as it was. The reference is kept only once attached, so
    // a host that is not a browser frame leaves nothing behind.
    ComPtr<IWebBrowser2> browser;
    if (FAILED(site->QueryInterface(IID_IWebBrowser2, browser.put_void())) || !browser)
        return E_FAIL;
    SHANDLE_PTR frame = 0;
    if (FAILED(browser->get_HWND(&frame)))
        return E_FAIL;
    if (!has_class(win::IntegerToHandle(frame), kFrameClass))
        return S_OK; // not a browser frame: a browser window later can still attach
    // 8: subscribe to the browser's events.
    auto container = browser.query<IConnectionPointContainer>(IID_IConnectionPointContainer);
    if (!container)
        return E_FAIL;
    ComPtr<IConnectionPoint> point;
    if (FAILED(container->FindConnectionPoint(DIID_DWebBrowserEvents2, point.put())) || !point)
        return E_FAIL;
    DWORD cookie = 0;
    if (FAILED(point->Advise(static_cast<IDispatch*>(this), &cookie)))
        return E_FAIL;
    state_.browser = browser;
    state_.cookie = cookie;
    state_.band_state = 1;
    state_.attach_state = 2;
    return S_OK;
}

HRESULT TIEHelper::GetSite(REFIID, void** out)
{
    if (out)
        *out = nullptr;
    return S_OK;
}

HRESULT TIEHelper::GetTypeInfoCount(UINT* count)
{
    if (!count)
        return E_POINTER;
    *count = 0;
    return S_OK;
}

HRESULT TIEHelper::GetTypeInfo(UINT, LCID, ITypeInfo** info)
{
    if (info)
        *info = nullptr;
    return E_NOTIMPL;
}

HRESULT TIEHelper::GetIDsOfNames(REFIID, char16_t**, UINT, LCID, DISPID*) { return E_NOTIMPL; }

HRESULT TIEHelper::Invoke(DISPID member, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*)
{
    // Built as the event protocol asks, though no handler reads an argument.
    const std::vector<int> argument_map = dispatch_argument_map(params);
    (void)argument_map;
    if (!is_handled_event(member))
        return DISP_E_MEMBERNOTFOUND;
    // The browser may go away in a handler (the form can quit it): stay alive.
    ComPtr<IDispatch> keep_alive(static_cast<IDispatch*>(this));
    if (member == DISPID_NAVIGATECOMPLETE2)
        CreateBand();
    else if (member == DISPID_ONQUIT)
        TakeBandDown();
    return S_OK;
}

void TIEHelper::CreateBand()
{
    // Only an attached helper object has a browser to put the band into.
    if (!state_.browser)
        return;
    // 1: at most one attempt per process, even when this one fails.
    if (state_.band_state == 2)
        return;
    state_.band_state = 2;
    try {
        // 2: the rebar is the first "ReBarWindow32" below the frame. Without one
        // there is nowhere to put the form: no band, the marker stays unset.
        HWND rebar = nullptr;
        win::EnumChildWindows(browser_frame(state_.browser.get()), &find_rebar, reinterpret_cast<LPARAM>(&rebar));
        QWidget* rebar_widget = win::WidgetFromWindow(rebar);
        if (!rebar_widget)
            return;
        state_.rebar = rebar;
        const BandFormKind& kind = server_.form_kind();
        if (kind.claim_session && !kind.claim_session()) {
            ShowBandElsewhereNotice(rebar, rebar_widget);
            return;
        }
        // 3
        QWidget* form = kind.create(rebar_widget);
        state_.form = form;
        state_.form_created = true;
        form->show();
        kind.set_ie_link(form, state_.browser.get());
        // 4: the form's window is known to the rebar under its class's name.
        QByteArray class_name = form->metaObject()->className();
        class_name = class_name.mid(class_name.lastIndexOf(':') + 1);
        win::REBARBANDINFO& info = state_.band_info;
        info = win::REBARBANDINFO{};
        info.cbSize = sizeof(win::REBARBANDINFO);
        info.fMask = win::RBBIM_STYLE | win::RBBIM_CHILD | win::RBBIM_CHILDSIZE | win::RBBIM_SIZE | win::RBBIM_ID;
        info.fStyle = win::RBBS_BREAK | win::RBBS_CHILDEDGE | win::RBBS_FIXEDBMP | win::RBBS_GRIPPERALWAYS;
        info.hwndChild = win::RegisterWindow(form, class_name.constData());
        info.cxMinChild = static_cast<UINT>(form->width());
        info.cyMinChild = static_cast<UINT>(form->height());
        info.cx = 100;
        info.wID = kBandId;
        info.cyMaxChild = static_cast<UINT>(form->height());
        info.cyIntegral = 1;
        // 5: append the band.
        if (win::SendMessageA(rebar, win::RB_INSERTBANDA, static_cast<WPARAM>(-1),
                              reinterpret_cast<LPARAM>(&info)) == 0)
            return;
        // 6, 7: the two filters.
        install_filter(rebar_links(), rebar, &rebar_filter, state_, state_.previous_rebar_procedure);
        const HWND frame = browser_frame(state_.browser.get());
        install_filter(frame_links(), frame, &frame_filter, state_, state_.previous_frame_procedure);
        state_.frame = frame;
        // 8
        state_.band_created_marker = 99;
    } catch (...) {
        // A failure ends band creation silently; it is not retried.
    }
}

void TIEHelper::TakeBandDown()
{
    // 1
    if (!state_.form_created || !state_.form)
        return;
    QWidget* form = state_.form;
    bool destroy = false;
    try {
        // 2
        server_.form_kind().band_closing(form);
        destroy = state_.band_created_marker == 99;
    } catch (...) {
        destroy = true; // 4: a failing step still closes and destroys the form
    }
    if (!destroy)
        return; // band creation failed part-way: the form is left as it is
    // 3: the filters leave the windows before the form they refer to goes.
    remove_band_filters(state_);
    // The session's band is free again once the form has stored its settings.
    if (const auto& release = server_.form_kind().release_session)
        QObject::connect(form, &QObject::destroyed, [release] { release(); });
    form->hide();
    form->close();
    // Destruction stores the settings. Inside a nested loop (a dialog or panel
    // of the browser's that is still on the stack) the form may still be in
    // use below it: it goes once control is back in the loop that was running
    // here.
    if (QThread::currentThread()->loopLevel() > 1)
        form->deleteLater();
    else
        delete form;
    DisconnectEvents();
}

void TIEHelper::ShowBandElsewhereNotice(HWND rebar, QWidget* rebar_widget)
{
    // Said once, in this window's toolbar area, where the band would have been.
    auto* notice = new QLabel(QString::fromLatin1(kBandElsewhereText), rebar_widget);
    notice->setObjectName(QStringLiteral("BandElsewhereNotice"));
    notice->setContentsMargins(6, 2, 6, 2);
    win::REBARBANDINFO info{};
    info.cbSize = sizeof(win::REBARBANDINFO);
    info.fMask = win::RBBIM_STYLE | win::RBBIM_CHILD | win::RBBIM_CHILDSIZE | win::RBBIM_ID;
    info.fStyle = win::RBBS_BREAK | win::RBBS_CHILDEDGE | win::RBBS_NOGRIPPER;
    info.hwndChild = win::RegisterWindow(notice, "Static");
    info.cxMinChild = static_cast<UINT>(notice->sizeHint().width());
    info.cyMinChild = static_cast<UINT>(notice->sizeHint().height());
    info.wID = kBandElsewhereNoticeId;
    if (win::SendMessageA(rebar, win::RB_INSERTBANDA, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&info)) == 0)
        delete notice;
}

void TIEHelper::DisconnectEvents()
{
    if (!state_.browser || state_.cookie == 0)
        return;
    const DWORD cookie = std::exchange(state_.cookie, 0);
    if (auto container = state_.browser.query<IConnectionPointContainer>(IID_IConnectionPointContainer)) {
        ComPtr<IConnectionPoint> point;
        if (SUCCEEDED(container->FindConnectionPoint(DIID_DWebBrowserEvents2, point.put())) && point)
            point->Unadvise(cookie);
    }
}

} // namespace pelu::browser
