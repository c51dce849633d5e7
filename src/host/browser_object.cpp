#include "host/browser_object.h"

#include "host/browser_window.h"
#include "host/page_view.h"

namespace pelu::host {

using namespace pelu::com;

BSTR to_bstr(const QString& text)
{
    return SysAllocStringLen(reinterpret_cast<const char16_t*>(text.utf16()), static_cast<std::uint32_t>(text.size()));
}

QString from_bstr(BSTR text)
{
    const std::u16string_view view = bstr_view(text);
    return QString::fromUtf16(view.data(), static_cast<qsizetype>(view.size()));
}

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
    return OnWindow([](BrowserWindow& w) { w.view()->Back(); });
}

HRESULT BrowserObject::GoForward()
{
    return OnWindow([](BrowserWindow& w) { w.view()->Forward(); });
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
    return OnWindow([](BrowserWindow& w) { w.view()->Reload(); });
}

HRESULT BrowserObject::Stop()
{
    return OnWindow([](BrowserWindow& w) { w.view()->Stop(); });
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
        return w.view()->loading() ? VARIANT_TRUE : VARIANT_FALSE;
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

} // namespace pelu::host
