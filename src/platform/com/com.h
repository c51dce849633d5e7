// The component-object layer: the small part of the platform's object model that
// an in-process server and the browser that loads it speak to each other.
//
// - GUID with its braced upper-case text ("{6F1D2A40-58C3-4E97-B2A1-7D9C0E35B6F8}")
//   both ways, and the standard interface identifiers;
// - HRESULT and the result values the server and the browser use;
// - BSTR (a counted char16_t string owned by SysAllocString/SysFreeString), VARIANT
//   and DISPPARAMS, the subset that events and Navigate need;
// - the interfaces as abstract classes with their methods in the usual order:
//   IUnknown, IClassFactory, IObjectWithSite, IDispatch, IConnectionPointContainer,
//   IConnectionPoint, IWebBrowser2 (the members a helper object uses).
//
// Objects are reference-counted through AddRef/Release and delete themselves when
// the count drops to zero; an interface pointer is never deleted directly (the
// destructors are protected). ComPtr<T> holds one reference.
//
// Thread: the types carry no state of their own. Objects follow the apartment
// model: each is called on the thread that created it. SysAllocString and
// SysFreeString may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace pelu::com {

// ---- results ---------------------------------------------------------------

using HRESULT = std::int32_t;

constexpr HRESULT make_hresult(std::uint32_t bits) { return static_cast<HRESULT>(bits); }

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = make_hresult(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = make_hresult(0x80004002u);
inline constexpr HRESULT E_POINTER = make_hresult(0x80004003u);
inline constexpr HRESULT E_FAIL = make_hresult(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = make_hresult(0x8000FFFFu);
inline constexpr HRESULT E_OUTOFMEMORY = make_hresult(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = make_hresult(0x80070057u);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = make_hresult(0x80040110u);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = make_hresult(0x80040111u);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = make_hresult(0x80020003u);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = make_hresult(0x80020006u);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = make_hresult(0x8002000Eu);
inline constexpr HRESULT CONNECT_E_NOCONNECTION = make_hresult(0x80040200u);
inline constexpr HRESULT CONNECT_E_CANNOTCONNECT = make_hresult(0x80040202u);

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

// "0x80004005" style text for messages.
std::string hresult_text(HRESULT hr);

// ---- identifiers -----------------------------------------------------------

struct GUID {
    std::uint32_t Data1 = 0;
    std::uint16_t Data2 = 0;
    std::uint16_t Data3 = 0;
    std::uint8_t Data4[8] = {};

    friend bool operator==(const GUID&, const GUID&) = default;
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const GUID&;
using REFCLSID = const GUID&;

// The braced upper-case form, e.g. "{00020400-0000-0000-C000-000000000046}".
std::string guid_to_string(const GUID& guid);
// Reads the braced form (hex digits in either case); nullopt for anything else,
// including missing braces or blanks.
std::optional<GUID> guid_from_string(std::string_view text);

inline constexpr GUID GUID_NULL{};
inline constexpr GUID IID_NULL{};
inline constexpr GUID IID_IUnknown{0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr GUID IID_IClassFactory{0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr GUID IID_IDispatch{0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr GUID IID_IObjectWithSite{0xFC4801A3, 0x2BA9, 0x11CF, {0xA2, 0x29, 0x00, 0xAA, 0x00, 0x3D, 0x73, 0x52}};
inline constexpr GUID IID_IConnectionPointContainer{0xB196B284, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
inline constexpr GUID IID_IConnectionPoint{0xB196B286, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
inline constexpr GUID IID_IWebBrowser2{0xD30C1661, 0xCDAF, 0x11D0, {0x8A, 0x3E, 0x00, 0xC0, 0x4F, 0xC9, 0xE2, 0x6E}};
// The browser's event interface (a dispatch interface: events arrive through Invoke).
inline constexpr GUID DIID_DWebBrowserEvents2{0x34A715A0, 0x6587, 0x11D0, {0x92, 0x4A, 0x00, 0x20, 0xAF, 0xC7, 0xAC, 0x4D}};

// ---- strings and variants --------------------------------------------------

// A counted string of UTF-16 code units, terminated by a zero that is not counted.
// The count lives just before the first character, so a BSTR is passed around as
// a plain char16_t pointer. A null BSTR is the empty string.
using BSTR = char16_t*;

BSTR SysAllocString(const char16_t* text);
BSTR SysAllocStringLen(const char16_t* text, std::uint32_t length);
void SysFreeString(BSTR text);
std::uint32_t SysStringLen(BSTR text);

// Conversions for callers that hold UTF-8 or UTF-16 text.
BSTR bstr_from_utf8(std::string_view text);
std::u16string_view bstr_view(BSTR text);
std::string bstr_to_utf8(BSTR text);

using VARTYPE = std::uint16_t;
using VARIANT_BOOL = std::int16_t;
inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

enum : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_UI4 = 19,
    VT_INT = 22,
    VT_BYREF = 0x4000,
};

class IUnknown;
class IDispatch;

struct VARIANT {
    VARTYPE vt = VT_EMPTY;
    std::uint16_t wReserved1 = 0;
    std::uint16_t wReserved2 = 0;
    std::uint16_t wReserved3 = 0;
    union {
        std::int32_t lVal;
        std::int16_t iVal;
        std::uint32_t ulVal;
        VARIANT_BOOL boolVal;
        HRESULT scode;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        VARIANT* pvarVal;   // VT_BYREF | VT_VARIANT
        std::int32_t* plVal;
        BSTR* pbstrVal;
        std::int64_t llVal = 0; // makes the whole union zero at construction
    };
};

void VariantInit(VARIANT* variant);
// Frees what the variant owns (a BSTR, a reference to an object) and makes it
// VT_EMPTY; a VT_BYREF variant owns nothing.
HRESULT VariantClear(VARIANT* variant);
// Clears `target`, then copies `source` into it, with its own copy of a BSTR
// and its own reference to an object.
HRESULT VariantCopy(VARIANT* target, const VARIANT* source);

using DISPID = std::int32_t;
using LCID = std::uint32_t;
using UINT = std::uint32_t;
using ULONG = std::uint32_t;
using DWORD = std::uint32_t;
using WORD = std::uint16_t;

inline constexpr DISPID DISPID_UNKNOWN = -1;
inline constexpr DISPID DISPID_PROPERTYPUT = -3;

enum : WORD {
    DISPATCH_METHOD = 1,
    DISPATCH_PROPERTYGET = 2,
    DISPATCH_PROPERTYPUT = 4,
};

// Arguments of an Invoke call: rgvarg holds them in reverse order (the last
// argument first); the first cNamedArgs of them are named by rgdispidNamedArgs.
struct DISPPARAMS {
    VARIANT* rgvarg = nullptr;
    DISPID* rgdispidNamedArgs = nullptr;
    UINT cArgs = 0;
    UINT cNamedArgs = 0;
};

struct EXCEPINFO {
    WORD wCode = 0;
    WORD wReserved = 0;
    BSTR bstrSource = nullptr;
    BSTR bstrDescription = nullptr;
    BSTR bstrHelpFile = nullptr;
    DWORD dwHelpContext = 0;
    void* pvReserved = nullptr;
    void* pfnDeferredFillIn = nullptr;
    HRESULT scode = 0;
};

// The browser's event identifiers (DWebBrowserEvents2) that this code names.
enum : DISPID {
    DISPID_STATUSTEXTCHANGE = 102,
    DISPID_TITLECHANGE = 113,
    DISPID_BEFORENAVIGATE2 = 250,
    DISPID_NAVIGATECOMPLETE2 = 252,
    DISPID_ONQUIT = 253,
    DISPID_DOCUMENTCOMPLETE = 259,
};

// ---- interfaces ------------------------------------------------------------

// A window handle as an integer, the way automation interfaces pass one.
using SHANDLE_PTR = std::intptr_t;

class ITypeInfo;            // never provided: GetTypeInfo answers E_NOTIMPL
class IEnumConnectionPoints; // never provided: enumeration answers E_NOTIMPL
class IEnumConnections;

class IUnknown {
public:
    virtual HRESULT QueryInterface(REFIID iid, void** out) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};

class IClassFactory : public IUnknown {
public:
    virtual HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** out) = 0;
    virtual HRESULT LockServer(bool lock) = 0;

protected:
    ~IClassFactory() = default;
};

class IObjectWithSite : public IUnknown {
public:
    virtual HRESULT SetSite(IUnknown* site) = 0;
    virtual HRESULT GetSite(REFIID iid, void** out) = 0;

protected:
    ~IObjectWithSite() = default;
};

class IDispatch : public IUnknown {
public:
    virtual HRESULT GetTypeInfoCount(UINT* count) = 0;
    virtual HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) = 0;
    virtual HRESULT GetIDsOfNames(REFIID iid, char16_t** names, UINT name_count, LCID lcid, DISPID* ids) = 0;
    virtual HRESULT Invoke(DISPID member, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                           VARIANT* result, EXCEPINFO* exception, UINT* arg_error) = 0;

protected:
    ~IDispatch() = default;
};

class IConnectionPoint;

class IConnectionPointContainer : public IUnknown {
public:
    virtual HRESULT EnumConnectionPoints(IEnumConnectionPoints** out) = 0;
    virtual HRESULT FindConnectionPoint(REFIID iid, IConnectionPoint** out) = 0;

protected:
    ~IConnectionPointContainer() = default;
};

class IConnectionPoint : public IUnknown {
public:
    virtual HRESULT GetConnectionInterface(IID* iid) = 0;
    virtual HRESULT GetConnectionPointContainer(IConnectionPointContainer** out) = 0;
    // Keeps a reference to `sink` and hands out a non-zero cookie for Unadvise.
    virtual HRESULT Advise(IUnknown* sink, DWORD* cookie) = 0;
    // CONNECT_E_NOCONNECTION for a cookie that names no connection.
    virtual HRESULT Unadvise(DWORD cookie) = 0;
    virtual HRESULT EnumConnections(IEnumConnections** out) = 0;

protected:
    ~IConnectionPoint() = default;
};

// The browser's automation interface: the members a helper object and its band
// use, in the order of the full interface (the navigation members, then the
// application's, then the window's).
class IWebBrowser2 : public IDispatch {
public:
    virtual HRESULT GoBack() = 0;
    virtual HRESULT GoForward() = 0;
    virtual HRESULT GoHome() = 0;
    // flags, target_frame_name, post_data and headers may each be null or VT_EMPTY.
    virtual HRESULT Navigate(BSTR url, VARIANT* flags, VARIANT* target_frame_name, VARIANT* post_data,
                             VARIANT* headers) = 0;
    virtual HRESULT Refresh() = 0;
    virtual HRESULT Stop() = 0;
    virtual HRESULT get_LocationName(BSTR* name) = 0;
    virtual HRESULT get_LocationURL(BSTR* url) = 0;
    virtual HRESULT get_Busy(VARIANT_BOOL* busy) = 0;
    virtual HRESULT Quit() = 0;
    // The frame window of the browser.
    virtual HRESULT get_HWND(SHANDLE_PTR* hwnd) = 0;
    virtual HRESULT get_Visible(VARIANT_BOOL* visible) = 0;
    virtual HRESULT put_Visible(VARIANT_BOOL visible) = 0;

protected:
    ~IWebBrowser2() = default;
};

// ---- holding references ----------------------------------------------------

// One counted reference to an interface; releases it when it goes.
template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    // Takes a new reference (AddRef) to `p`.
    explicit ComPtr(T* p) : p_(p) { if (p_) p_->AddRef(); }
    ComPtr(const ComPtr& other) : ComPtr(other.p_) {}
    ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ~ComPtr() { reset(); }
    ComPtr& operator=(ComPtr other) noexcept { std::swap(p_, other.p_); return *this; }

    // Adopts a reference the caller already owns (no AddRef).
    static ComPtr adopt(T* p) { ComPtr c; c.p_ = p; return c; }

    void reset() { if (T* p = std::exchange(p_, nullptr)) p->Release(); }
    // Gives up the reference without releasing it.
    T* detach() { return std::exchange(p_, nullptr); }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // For out parameters: releases what is held and hands out the slot.
    T** put() { reset(); return &p_; }
    void** put_void() { reset(); return reinterpret_cast<void**>(&p_); }

    // QueryInterface for another interface; empty when the object lacks it.
    template <class U>
    ComPtr<U> query(REFIID iid) const
    {
        ComPtr<U> result;
        if (p_ && FAILED(p_->QueryInterface(iid, result.put_void())))
            result.reset();
        return result;
    }

private:
    T* p_ = nullptr;
};

} // namespace pelu::com
