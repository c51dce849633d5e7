// The automation object of a browser window: IWebBrowser2 with the event
// connection point (DWebBrowserEvents2) that helper objects advise. Calls act on
// the window while it lives and fail with E_FAIL once it has gone (Detach).
//
// Thread: main thread only.
#pragma once

#include "platform/com/com.h"

#include <QPointer>
#include <QString>

#include <map>
#include <vector>

namespace pelu::host {

class BrowserWindow;

// Text across the automation interfaces.
com::BSTR to_bstr(const QString& text);
QString from_bstr(com::BSTR text);

// The automation object of one window.
class BrowserObject final : public com::IWebBrowser2, public com::IConnectionPointContainer,
                            public com::IConnectionPoint {
public:
    explicit BrowserObject(BrowserWindow* window);

    // The window is going: calls fail from now on, and the sinks are let go.
    void Detach();
    // Calls Invoke on every connected sink; the arguments in reverse order.
    void Fire(com::DISPID id, std::vector<com::VARIANT> arguments_reversed = {});
    std::size_t sink_count() const { return sinks_.size(); }

    // IUnknown
    com::HRESULT QueryInterface(com::REFIID iid, void** out) override;
    com::ULONG AddRef() override;
    com::ULONG Release() override;
    // IDispatch (no late-bound members: the interface's own methods serve)
    com::HRESULT GetTypeInfoCount(com::UINT* count) override;
    com::HRESULT GetTypeInfo(com::UINT index, com::LCID lcid, com::ITypeInfo** info) override;
    com::HRESULT GetIDsOfNames(com::REFIID iid, char16_t** names, com::UINT count, com::LCID lcid,
                               com::DISPID* ids) override;
    com::HRESULT Invoke(com::DISPID member, com::REFIID iid, com::LCID lcid, com::WORD flags,
                        com::DISPPARAMS* params, com::VARIANT* result, com::EXCEPINFO* exception,
                        com::UINT* arg_error) override;
    // IWebBrowser2
    com::HRESULT GoBack() override;
    com::HRESULT GoForward() override;
    com::HRESULT GoHome() override;
    com::HRESULT Navigate(com::BSTR url, com::VARIANT* flags, com::VARIANT* target_frame_name,
                          com::VARIANT* post_data, com::VARIANT* headers) override;
    com::HRESULT Refresh() override;
    com::HRESULT Stop() override;
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

private:
    ~BrowserObject();

    // Acts on the window: E_FAIL once it is gone.
    template <class Act>
    com::HRESULT OnWindow(Act act)
    {
        if (!window_)
            return com::E_FAIL;
        act(*window_);
        return com::S_OK;
    }
    // Reads from the window into *out: E_POINTER without a place for the answer,
    // E_FAIL (and *out cleared) once the window is gone.
    template <class T, class Read>
    com::HRESULT ReadWindow(T* out, Read read)
    {
        if (!out)
            return com::E_POINTER;
        *out = T{};
        if (!window_)
            return com::E_FAIL;
        *out = read(*window_);
        return com::S_OK;
    }

    QPointer<BrowserWindow> window_;
    com::ULONG references_ = 1;
    std::map<com::DWORD, com::ComPtr<com::IDispatch>> sinks_;
    com::DWORD next_cookie_ = 1;
};

} // namespace pelu::host
