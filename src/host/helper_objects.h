// The browser's helper objects: the classes listed under "Browser Helper Objects"
// in the registry store, each served by the library its InprocServer32 key names.
// At start the browser loads every such library with dlopen and takes its class
// factory through DllGetClassObject; each new browser window then gets one object
// of each class through CreateInstance. A class whose library cannot be loaded,
// or whose objects cannot be made, is reported once and left out.
//
// The libraries stay loaded until the process ends: the objects they made may
// have left windows and widgets behind that only go with the browser.
//
// Thread: main thread only.
#pragma once

#include "platform/com/com.h"

#include <QString>

#include <functional>
#include <string>
#include <vector>

namespace pelu::platform::registry {
class Store;
}

namespace pelu::host {

inline constexpr char kHelperObjectsKey[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\explorer\\Browser Helper Objects";

class HelperObjects {
public:
    using Report = std::function<void(const std::string& message)>;

    explicit HelperObjects(Report report);
    ~HelperObjects();
    HelperObjects(const HelperObjects&) = delete;
    HelperObjects& operator=(const HelperObjects&) = delete;

    // Loads every listed class's library and takes its factory.
    void Load(platform::registry::Store& store);
    // One new object of each loaded class, for a new browser window.
    std::vector<com::ComPtr<com::IObjectWithSite>> CreateObjects();
    // Lets go of the factories (before the application object goes).
    void ReleaseFactories();

    std::size_t loaded_count() const { return classes_.size(); }

private:
    struct HelperClass {
        com::CLSID clsid;
        std::string library;
        void* handle = nullptr;
        com::ComPtr<com::IClassFactory> factory;
        bool creation_failure_reported = false;
    };
    void LoadOne(platform::registry::Store& store, const QString& clsid_text);

    Report report_;
    std::vector<HelperClass> classes_;
};

} // namespace pelu::host
