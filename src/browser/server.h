// The in-process server: one class, TIEHelper, served through one class factory,
// TIEHelperFactory, plus the registration that lists the class as a browser
// helper object. ComServer is the state of one loaded library: the object and
// factory counts, the factory, and the helper object's module state. The
// library's four exports (exports.cpp) call the one ComServer of the library;
// tests make their own.
//
// Registration writes the class keys and the "Browser Helper Objects" entry into
// the per-user registry store (all hives live there).
//
// Thread: the counts are atomic and may change on any thread; everything else
// runs on the browser's thread. Registration may run on any thread.
#pragma once

#include "browser/ie_helper.h"
#include "platform/com/com.h"
#include "platform/error.h"

#include <atomic>
#include <functional>
#include <string>

namespace pelu::platform::registry {
class Store;
}

namespace pelu::browser {

PELU_DECLARE_ERROR(RegistrationError, pelu::Error)

// {6F1D2A40-58C3-4E97-B2A1-7D9C0E35B6F8}
inline constexpr com::CLSID CLSID_IEHelper{0x6F1D2A40, 0x58C3, 0x4E97, {0xB2, 0xA1, 0x7D, 0x9C, 0x0E, 0x35, 0xB6, 0xF8}};
inline constexpr char kClassName[] = "IEHelper";
inline constexpr char kRegistryEntryError[] = "Error creating system registry entry";
inline constexpr char kBrowserHelperObjectsKey[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\explorer\\Browser Helper Objects";

// The form kind a server library serves: defined by the file linked beside the
// exports (the player's form in libPELU.so).
BandFormKind band_form_kind();

// Shows the factory's error box: caption and text.
using ErrorBox = std::function<void(const std::string& caption, const std::string& text)>;

// The server name of a library file: its name without folder and extension, and
// without the "lib" prefix that this platform puts before library names, so that
// /opt/pelu/libPELU.so and PELU.so are both "PELU".
std::string server_name(const std::string& library_path);
// The ProgID: server name, ".", class name.
std::string prog_id(const std::string& library_path);

// Writes the class keys for the library at `library_path` (written as it stands:
// this platform has no short names, so a path with blanks is kept whole).
// Throws RegistrationError(kRegistryEntryError) when a key or value of the first
// three steps cannot be written; a failure to create the helper-object key is not
// reported.
void register_server(platform::registry::Store& store, const std::string& library_path);
// Deletes the keys; missing keys are passed over. Never throws for a key.
void unregister_server(platform::registry::Store& store, const std::string& library_path);

// The text of the factory's error box: the message, with a full stop appended
// unless it already ends in punctuation.
std::string error_box_text(const std::string& message);

class TIEHelperFactory final : public com::IClassFactory {
public:
    explicit TIEHelperFactory(ComServer& server) : server_(server) {}

    com::HRESULT QueryInterface(com::REFIID iid, void** out) override;
    // Change the server's factory count; the factory lives as long as the server.
    com::ULONG AddRef() override;
    com::ULONG Release() override;

    com::HRESULT CreateInstance(com::IUnknown* outer, com::REFIID iid, void** out) override;
    com::HRESULT LockServer(bool lock) override;

private:
    ComServer& server_;
    std::atomic<int> locks_{0};
};

class ComServer {
public:
    // `library_path`: the library's absolute file name (registration writes it).
    ComServer(std::string library_path, BandFormKind form_kind, ErrorBox error_box);
    // Unload: takes the filters out, releases the browser reference.
    ~ComServer();
    ComServer(const ComServer&) = delete;
    ComServer& operator=(const ComServer&) = delete;

    // The exports' behaviour.
    com::HRESULT GetClassObject(const com::CLSID* clsid, const com::IID* iid, void** out);
    com::HRESULT CanUnloadNow() const;
    // Registration in the default registry store; E_FAIL when a step failed.
    com::HRESULT RegisterServer();
    com::HRESULT UnregisterServer();

    const std::string& library_path() const { return library_path_; }
    const BandFormKind& form_kind() const { return form_kind_; }
    const ErrorBox& error_box() const { return error_box_; }
    HelperModuleState& helper_state() { return helper_state_; }

    // Live objects plus outstanding LockServer locks; references to the factory.
    std::atomic<long> object_count{0};
    std::atomic<long> factory_count{0};

private:
    std::string library_path_;
    BandFormKind form_kind_;
    ErrorBox error_box_;
    HelperModuleState helper_state_;
    TIEHelperFactory factory_;
};

} // namespace pelu::browser
