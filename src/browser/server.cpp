#include "browser/server.h"

#include "platform/registry/registry.h"

#include <exception>

namespace pelu::browser {

using namespace pelu::com;

std::string error_box_text(const std::string& message)
{
    // What counts as punctuation at the end of a sentence.
    static constexpr std::string_view kPunctuation = ".!?:;,";
    if (!message.empty() && kPunctuation.find(message.back()) != std::string_view::npos)
        return message;
    return message + ".";
}

// ---- the factory ---------------------------------------------------------------

HRESULT TIEHelperFactory::QueryInterface(REFIID iid, void** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (iid != IID_IUnknown && iid != IID_IClassFactory)
        return E_NOINTERFACE;
    *out = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
}

ULONG TIEHelperFactory::AddRef() { return static_cast<ULONG>(++server_.factory_count); }
ULONG TIEHelperFactory::Release() { return static_cast<ULONG>(--server_.factory_count); }

HRESULT TIEHelperFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    // An outer object may only ask for IUnknown; the object is then made as a
    // plain one (it has nothing to delegate).
    if (outer && iid != IID_IUnknown)
        return CLASS_E_NOAGGREGATION;
    try {
        auto* helper = new TIEHelper(server_);
        // The object starts without references: a failing query leaves none, so
        // the object goes at once.
        helper->AddRef();
        const HRESULT hr = helper->QueryInterface(iid, out);
        helper->Release();
        return hr;
    } catch (const std::exception& e) {
        if (server_.error_box())
            server_.error_box()("DEZ Error", error_box_text(e.what()));
        return E_UNEXPECTED;
    }
}

HRESULT TIEHelperFactory::LockServer(bool lock)
{
    // A lock holds the factory and counts as a live object; an unlock without a
    // lock would drive both counts below zero and is refused.
    if (lock) {
        ++locks_;
        AddRef();
        ++server_.object_count;
        return S_OK;
    }
    int held = locks_.load();
    do {
        if (held <= 0)
            return E_UNEXPECTED;
    } while (!locks_.compare_exchange_weak(held, held - 1));
    Release();
    --server_.object_count;
    return S_OK;
}

// ---- the server ----------------------------------------------------------------

ComServer::ComServer(std::string library_path, BandFormKind form_kind, ErrorBox error_box)
    : library_path_(std::move(library_path)),
      form_kind_(std::move(form_kind)),
      error_box_(std::move(error_box)),
      factory_(*this)
{
    prepare_filter_tables();
    helper_state_.form_kind = &form_kind_;
}

ComServer::~ComServer()
{
    // The filters' code goes with this server: take them out of the windows.
    remove_band_filters(helper_state_);
    helper_state_.browser.reset();
}

HRESULT ComServer::GetClassObject(const CLSID* clsid, const IID* iid, void** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (!clsid || !iid)
        return E_INVALIDARG;
    if (*clsid != CLSID_IEHelper)
        return CLASS_E_CLASSNOTAVAILABLE;
    return factory_.QueryInterface(*iid, out);
}

HRESULT ComServer::CanUnloadNow() const
{
    return object_count.load() != 0 || factory_count.load() != 0 ? S_FALSE : S_OK;
}

namespace {

// Runs a registration step on the default registry store: S_OK, or E_FAIL when
// it failed (the store could not be opened, or a step raised).
HRESULT in_default_store(const std::function<void(platform::registry::Store&)>& step)
{
    try {
        step(*platform::registry::Store::open_default());
        return S_OK;
    } catch (const std::exception&) {
        return E_FAIL;
    }
}

} // namespace

HRESULT ComServer::RegisterServer()
{
    return in_default_store([this](platform::registry::Store& store) { register_server(store, library_path_); });
}

HRESULT ComServer::UnregisterServer()
{
    return in_default_store([this](platform::registry::Store& store) { unregister_server(store, library_path_); });
}

} // namespace pelu::browser
