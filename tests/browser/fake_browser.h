// A browser for the helper object's tests: a frame window with the host's own
// rebar, the automation interface and the event connection point, honouring the
// contracts the real browser (pelu-browser) honours. A procedure over the rebar
// records the band messages before the rebar answers them; the frame procedure
// records the commands it gets.
#pragma once

#include "browser/ie_helper.h"
#include "host/rebar.h"
#include "platform/com/com.h"
#include "platform/window/window.h"

#include <QLineEdit>
#include <QWidget>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace pelu::test {

namespace win = pelu::platform::window;

// A form kind for tests that never make a band: a plain widget, calls ignored.
inline browser::BandFormKind plain_form_kind()
{
    browser::BandFormKind kind;
    kind.create = [](QWidget* parent) { return new QWidget(parent); };
    kind.set_ie_link = [](QWidget*, com::IWebBrowser2*) {};
    kind.band_closing = [](QWidget*) {};
    kind.edit2 = [](QWidget*) -> QLineEdit* { return nullptr; };
    return kind;
}

class FakeBrowser final : public com::IWebBrowser2, public com::IConnectionPointContainer, public com::IConnectionPoint {
public:
    // `frame_class` is the frame window's class; `with_rebar` gives it a rebar.
    explicit FakeBrowser(const char* frame_class = "IEFrame", bool with_rebar = true);
    ~FakeBrowser();

    QWidget* frame() const { return frame_.get(); }
    QWidget* rebar() const { return rebar_; }
    int band_count() const { return rebar_ ? rebar_->band_count() : 0; }
    // The band's record as inserted, then as set.
    win::REBARBANDINFO band_info(int index) const { return rebar_->band_info(index); }
    win::HWND frame_handle() const { return frame_handle_; }
    win::HWND rebar_handle() const { return rebar_handle_; }

    // Calls every connected sink's Invoke the way the browser fires its events.
    com::HRESULT fire(com::DISPID id);
    std::size_t sink_count() const { return sinks_.size(); }
    // Lets go of every connected sink, as a browser does when it goes away.
    void drop_sinks()
    {
        auto sinks = std::move(sinks_);
        sinks_.clear();
        for (auto& [cookie, sink] : sinks)
            sink->Release();
    }
    com::ULONG references() const { return references_; }

    // Knobs for failing calls.
    bool fail_get_hwnd = false;
    bool refuse_insert = false;
    // What the browser was asked to do.
    int quit_calls = 0;
    std::vector<std::string> navigations;
    // WM_COMMAND wParams that reached the frame's own procedure.
    std::vector<win::WPARAM> frame_commands;
    // Band messages that reached the rebar's own procedure: (message, wParam, lParam).
    struct Message {
        win::UINT message;
        win::WPARAM wparam;
        win::LPARAM lparam;
    };
    std::vector<Message> rebar_messages;

    // IUnknown
    com::HRESULT QueryInterface(com::REFIID iid, void** out) override;
    com::ULONG AddRef() override { return ++references_; }
    com::ULONG Release() override { return --references_; } // the test owns the object

    // IDispatch
    com::HRESULT GetTypeInfoCount(com::UINT* count) override;
    com::HRESULT GetTypeInfo(com::UINT, com::LCID, com::ITypeInfo**) override { return com::E_NOTIMPL; }
    com::HRESULT GetIDsOfNames(com::REFIID, char16_t**, com::UINT, com::LCID, com::DISPID*) override
    {
        return com::E_NOTIMPL;
    }
    com::HRESULT Invoke(com::DISPID, com::REFIID, com::LCID, com::WORD, com::DISPPARAMS*, com::VARIANT*,
                        com::EXCEPINFO*, com::UINT*) override
    {
        return com::DISP_E_MEMBERNOTFOUND;
    }

    // IWebBrowser2
    com::HRESULT GoBack() override { return com::S_OK; }
    com::HRESULT GoForward() override { return com::S_OK; }
    com::HRESULT GoHome() override { return com::S_OK; }
    com::HRESULT Navigate(com::BSTR url, com::VARIANT*, com::VARIANT*, com::VARIANT*, com::VARIANT*) override;
    com::HRESULT Refresh() override { return com::S_OK; }
    com::HRESULT Stop() override { return com::S_OK; }
    com::HRESULT get_LocationName(com::BSTR* name) override;
    com::HRESULT get_LocationURL(com::BSTR* url) override;
    com::HRESULT get_Busy(com::VARIANT_BOOL* busy) override;
    com::HRESULT Quit() override;
    com::HRESULT get_HWND(com::SHANDLE_PTR* hwnd) override;
    com::HRESULT get_Visible(com::VARIANT_BOOL* visible) override;
    com::HRESULT put_Visible(com::VARIANT_BOOL visible) override;

    // IConnectionPointContainer
    com::HRESULT EnumConnectionPoints(com::IEnumConnectionPoints** out) override;
    com::HRESULT FindConnectionPoint(com::REFIID iid, com::IConnectionPoint** out) override;

    // IConnectionPoint
    com::HRESULT GetConnectionInterface(com::IID* iid) override;
    com::HRESULT GetConnectionPointContainer(com::IConnectionPointContainer** out) override;
    com::HRESULT Advise(com::IUnknown* sink, com::DWORD* cookie) override;
    com::HRESULT Unadvise(com::DWORD cookie) override;
    com::HRESULT EnumConnections(com::IEnumConnections** out) override;

    // The procedure over the rebar's own, and the frame's own procedure.
    static win::LRESULT RebarProcedure(win::HWND window, win::UINT message, win::WPARAM wparam, win::LPARAM lparam);
    static win::LRESULT FrameProcedure(win::HWND window, win::UINT message, win::WPARAM wparam, win::LPARAM lparam);

private:
    std::unique_ptr<QWidget> frame_;
    host::Rebar* rebar_ = nullptr;
    win::HWND frame_handle_ = nullptr;
    win::HWND rebar_handle_ = nullptr;
    com::ULONG references_ = 1;
    std::map<com::DWORD, com::IDispatch*> sinks_;
    com::DWORD next_cookie_ = 1;
};

// ---- definitions (header-only: the suite compiles its *_test.cpp files alone) ----

namespace fake_detail {
inline std::map<win::HWND, FakeBrowser*>& by_window()
{
    static std::map<win::HWND, FakeBrowser*> map;
    return map;
}
} // namespace fake_detail

inline FakeBrowser::FakeBrowser(const char* frame_class, bool with_rebar) : frame_(std::make_unique<QWidget>())
{
    frame_->resize(1000, 600);
    frame_handle_ = win::RegisterWindow(frame_.get(), frame_class, &FrameProcedure);
    fake_detail::by_window()[frame_handle_] = this;
    // A plain child between frame and rebar: the rebar is a descendant, not a child.
    auto* container = new QWidget(frame_.get());
    win::RegisterWindow(container, "WorkerW");
    if (with_rebar) {
        rebar_ = new host::Rebar(container);
        rebar_handle_ = rebar_->handle();
        win::SetWindowProc(rebar_handle_, &RebarProcedure);
        fake_detail::by_window()[rebar_handle_] = this;
        // A second rebar later in the tree is never the one chosen.
        win::RegisterWindow(new QWidget(frame_.get()), "ReBarWindow32");
    }
}

inline FakeBrowser::~FakeBrowser()
{
    fake_detail::by_window().erase(frame_handle_);
    fake_detail::by_window().erase(rebar_handle_);
    drop_sinks();
}

inline com::HRESULT FakeBrowser::fire(com::DISPID id)
{
    // NavigateComplete2(pDisp, URL): the arguments in reverse order.
    com::VARIANT url;
    url.vt = com::VT_BSTR;
    url.bstrVal = com::bstr_from_utf8("file:///index.html");
    com::VARIANT url_ref;
    url_ref.vt = com::VT_BYREF | com::VT_VARIANT;
    url_ref.pvarVal = &url;
    com::VARIANT args[2];
    args[0] = url_ref;
    args[1].vt = com::VT_DISPATCH;
    args[1].pdispVal = static_cast<com::IDispatch*>(this);
    com::DISPPARAMS params;
    params.rgvarg = args;
    params.cArgs = id == com::DISPID_NAVIGATECOMPLETE2 ? 2 : 0;
    com::HRESULT last = com::S_OK;
    // A copy: a sink may disconnect while it handles the event.
    const auto sinks = sinks_;
    for (const auto& [cookie, sink] : sinks) {
        if (sinks_.count(cookie))
            last = sink->Invoke(id, com::IID_NULL, 0, com::DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
    }
    com::VariantClear(&url);
    return last;
}

inline com::HRESULT FakeBrowser::QueryInterface(com::REFIID iid, void** out)
{
    if (!out)
        return com::E_POINTER;
    *out = nullptr;
    if (iid == com::IID_IUnknown || iid == com::IID_IDispatch || iid == com::IID_IWebBrowser2)
        *out = static_cast<com::IWebBrowser2*>(this);
    else if (iid == com::IID_IConnectionPointContainer)
        *out = static_cast<com::IConnectionPointContainer*>(this);
    else if (iid == com::IID_IConnectionPoint)
        *out = static_cast<com::IConnectionPoint*>(this);
    else
        return com::E_NOINTERFACE;
    AddRef();
    return com::S_OK;
}

inline com::HRESULT FakeBrowser::GetTypeInfoCount(com::UINT* count)
{
    *count = 0;
    return com::S_OK;
}

inline com::HRESULT FakeBrowser::Navigate(com::BSTR url, com::VARIANT*, com::VARIANT*, com::VARIANT*, com::VARIANT*)
{
    navigations.push_back(com::bstr_to_utf8(url));
    return com::S_OK;
}

inline com::HRESULT FakeBrowser::get_LocationName(com::BSTR* name)
{
    *name = com::bstr_from_utf8("Home");
    return com::S_OK;
}

inline com::HRESULT FakeBrowser::get_LocationURL(com::BSTR* url)
{
    *url = com::bstr_from_utf8("file:///index.html");
    return com::S_OK;
}

inline com::HRESULT FakeBrowser::get_Busy(com::VARIANT_BOOL* busy)
{
    *busy = com::VARIANT_FALSE;
    return com::S_OK;
}

inline com::HRESULT FakeBrowser::Quit()
{
    ++quit_calls;
    return com::S_OK;
}

inline com::HRESULT FakeBrowser::get_HWND(com::SHANDLE_PTR* hwnd)
{
    if (!hwnd)
        return com::E_POINTER;
    if (fail_get_hwnd)
        return com::E_FAIL;
    *hwnd = win::HandleToInteger(frame_handle_);
    return com::S_OK;
}

inline com::HRESULT FakeBrowser::get_Visible(com::VARIANT_BOOL* visible)
{
    *visible = frame_->isVisible() ? com::VARIANT_TRUE : com::VARIANT_FALSE;
    return com::S_OK;
}

inline com::HRESULT FakeBrowser::put_Visible(com::VARIANT_BOOL visible)
{
    frame_->setVisible(visible != com::VARIANT_FALSE);
    return com::S_OK;
}

inline com::HRESULT FakeBrowser::EnumConnectionPoints(com::IEnumConnectionPoints** out)
{
    if (out)
        *out = nullptr;
    return com::E_NOTIMPL;
}

inline com::HRESULT FakeBrowser::FindConnectionPoint(com::REFIID iid, com::IConnectionPoint** out)
{
    if (!out)
        return com::E_POINTER;
    *out = nullptr;
    if (iid != com::DIID_DWebBrowserEvents2)
        return com::CONNECT_E_NOCONNECTION;
    *out = this;
    AddRef();
    return com::S_OK;
}

inline com::HRESULT FakeBrowser::GetConnectionInterface(com::IID* iid)
{
    *iid = com::DIID_DWebBrowserEvents2;
    return com::S_OK;
}

inline com::HRESULT FakeBrowser::GetConnectionPointContainer(com::IConnectionPointContainer** out)
{
    *out = this;
    AddRef();
    return com::S_OK;
}

inline com::HRESULT FakeBrowser::Advise(com::IUnknown* sink, com::DWORD* cookie)
{
    if (!sink || !cookie)
        return com::E_POINTER;
    com::IDispatch* dispatch = nullptr;
    if (com::FAILED(sink->QueryInterface(com::IID_IDispatch, reinterpret_cast<void**>(&dispatch))))
        return com::CONNECT_E_CANNOTCONNECT;
    *cookie = next_cookie_++;
    sinks_[*cookie] = dispatch;
    return com::S_OK;
}

inline com::HRESULT FakeBrowser::Unadvise(com::DWORD cookie)
{
    auto it = sinks_.find(cookie);
    if (it == sinks_.end())
        return com::CONNECT_E_NOCONNECTION;
    com::IDispatch* sink = it->second;
    sinks_.erase(it);
    sink->Release();
    return com::S_OK;
}

inline com::HRESULT FakeBrowser::EnumConnections(com::IEnumConnections** out)
{
    if (out)
        *out = nullptr;
    return com::E_NOTIMPL;
}

inline win::LRESULT FakeBrowser::RebarProcedure(win::HWND window, win::UINT message, win::WPARAM wparam,
                                                win::LPARAM lparam)
{
    auto it = fake_detail::by_window().find(window);
    if (it != fake_detail::by_window().end()) {
        FakeBrowser& browser = *it->second;
        if (message != win::RB_IDTOINDEX)
            browser.rebar_messages.push_back({message, wparam, lparam});
        if (browser.refuse_insert && (message == win::RB_INSERTBANDA || message == win::RB_INSERTBANDW))
            return 0;
    }
    return win::CallWindowProcW(&host::Rebar::Procedure, window, message, wparam, lparam);
}

inline win::LRESULT FakeBrowser::FrameProcedure(win::HWND window, win::UINT message, win::WPARAM wparam,
                                                win::LPARAM lparam)
{
    auto it = fake_detail::by_window().find(window);
    if (it != fake_detail::by_window().end() && message == win::WM_COMMAND)
        it->second->frame_commands.push_back(wparam);
    return 0;
}

} // namespace pelu::test
