// TIEHelper: the browser helper object. The browser creates one for each of its
// windows and hands it the browser as its site. The first browser window of the
// process gets the player: on its first completed navigation the helper object
// finds the browser's rebar, creates the band form as a child of it, inserts a
// band that holds the form and installs two window filters, one on the rebar (it
// keeps the band's description in this module's record) and one on the frame
// window (the Backspace command edits the form's one-line edit). When the browser
// quits it takes the band down again.
//
// All state lives in HelperModuleState, one per server (per loaded library, so one
// per process); the objects themselves hold none. The band form itself comes
// through BandFormKind, so the same logic drives the real player form or a
// stand-in widget.
//
// Thread: everything here runs on the browser window's thread (apartment model):
// SetSite, Invoke, the filters and the form. Only the server's counters
// (server.h) are touched from other threads.
#pragma once

#include "platform/com/com.h"
#include "platform/window/window.h"

#include <QPointer>
#include <QWidget>

#include <atomic>
#include <functional>
#include <vector>

class QLineEdit;

namespace pelu::browser {

class ComServer;

namespace win = pelu::platform::window;

// The band's id in the rebar and the frame command that stands for Backspace
// (notification code 1, command 0xA032).
inline constexpr win::UINT kBandId = 673;
inline constexpr win::WPARAM kBackspaceCommand = 0x1A032;
inline constexpr char kFrameClass[] = "IEFrame";
inline constexpr char kRebarClass[] = "ReBarWindow32";
// The id of the notice band that a browser without the band shows instead.
inline constexpr win::UINT kBandElsewhereNoticeId = 674;
inline constexpr char kBandElsewhereText[] =
    "The PELU band is open in another PELU Browser; it shows in one browser at a time.";

// How the helper object makes and drives the band's form.
struct BandFormKind {
    // Creates the form as a child of `parent` (creation loads the settings and
    // runs the form's own creation handlers); may throw.
    std::function<QWidget*(QWidget* parent)> create;
    // Hands the form the browser (the form keeps its own reference).
    std::function<void(QWidget* form, com::IWebBrowser2* browser)> set_ie_link;
    // Saves and stops before the form is destroyed.
    std::function<void(QWidget* form)> band_closing;
    // The form's one-line edit field `Edit2`.
    std::function<QLineEdit*(QWidget* form)> edit2;
    // One band per user session: claimed before the form is made (false: the
    // band lives in another process), let go once the form is destroyed. Null:
    // any number of bands.
    std::function<bool()> claim_session;
    std::function<void()> release_session;
};

// The helper object's module state.
struct HelperModuleState {
    // A visible top-level "IEFrame" window was found by the last enumeration.
    bool frame_seen = false;
    // 2 once a site has been handled.
    int attach_state = 0;
    // 1 events connected, 2 band created (or being created).
    int band_state = 0;
    // 99 once every step of band creation succeeded.
    int band_created_marker = 0;
    // The browser the events come from, and the event connection's cookie.
    com::ComPtr<com::IWebBrowser2> browser;
    com::DWORD cookie = 0;
    win::HWND rebar = nullptr;
    // The frame window whose procedure the frame filter replaced.
    win::HWND frame = nullptr;
    QPointer<QWidget> form;
    bool form_created = false;
    // How the form is made and driven (the server's).
    const BandFormKind* form_kind = nullptr;
    // The band's description, handed to the rebar and kept up to date by it
    // through the rebar filter.
    win::REBARBANDINFO band_info{};
    win::WNDPROC previous_rebar_procedure = nullptr;
    win::WNDPROC previous_frame_procedure = nullptr;
    // Window procedures are called through the wide entry. Set when the module is
    // loaded; this platform has one entry, so the flag is always set.
    bool platform_flag = true;
};

// The dispatch identifiers of the browser's events that Invoke accepts.
bool is_handled_event(com::DISPID id);

// The index map Invoke builds from its arguments: entry i is the position in
// rgvarg of argument i. Positional arguments come in reverse order; a named
// argument sits at the position its dispatch id names (ids outside the argument
// list are passed over).
std::vector<int> dispatch_argument_map(const com::DISPPARAMS* params);

// What the frame's Backspace command does to the edit field: removes the
// selection, or the character before the caret.
void apply_backspace(QLineEdit* edit);

class TIEHelper final : public com::IObjectWithSite, public com::IDispatch {
public:
    explicit TIEHelper(ComServer& server);

    // IUnknown (the identity is the IObjectWithSite side).
    com::HRESULT QueryInterface(com::REFIID iid, void** out) override;
    com::ULONG AddRef() override;
    com::ULONG Release() override;

    // IObjectWithSite
    com::HRESULT SetSite(com::IUnknown* site) override;
    com::HRESULT GetSite(com::REFIID iid, void** out) override;

    // IDispatch: the browser's event sink.
    com::HRESULT GetTypeInfoCount(com::UINT* count) override;
    com::HRESULT GetTypeInfo(com::UINT index, com::LCID lcid, com::ITypeInfo** info) override;
    com::HRESULT GetIDsOfNames(com::REFIID iid, char16_t** names, com::UINT name_count, com::LCID lcid,
                               com::DISPID* ids) override;
    com::HRESULT Invoke(com::DISPID member, com::REFIID iid, com::LCID lcid, com::WORD flags,
                        com::DISPPARAMS* params, com::VARIANT* result, com::EXCEPINFO* exception,
                        com::UINT* arg_error) override;

private:
    ~TIEHelper();
    void CreateBand();
    void TakeBandDown();
    void DisconnectEvents();
    void ShowBandElsewhereNotice(win::HWND rebar, QWidget* rebar_widget);

    ComServer& server_;
    HelperModuleState& state_;
    std::atomic<com::ULONG> references_{0};
};

// Takes both filters out of their windows' chains (where they are still the
// current procedure) and makes them pass every message straight on otherwise.
void remove_band_filters(HelperModuleState& state);
// Makes the filters' tables; the server calls it first thing, so the tables
// outlive it whatever the order of static destruction.
void prepare_filter_tables();

} // namespace pelu::browser
