#include "host/helper_objects.h"

#include "platform/registry/registry.h"

#include <dlfcn.h>

namespace pelu::host {

using namespace pelu::com;
namespace reg = pelu::platform::registry;

HelperObjects::HelperObjects(Report report) : report_(std::move(report)) {}

HelperObjects::~HelperObjects() { ReleaseFactories(); }

void HelperObjects::Load(reg::Store& store)
{
    QStringList listed;
    try {
        if (auto key = store.open_key(reg::Hive::LocalMachine, QString::fromLatin1(kHelperObjectsKey)))
            listed = store.subkeys(*key);
    } catch (const std::exception& e) {
        report_(std::string("cannot read the helper objects from the registry: ") + e.what());
        return;
    }
    for (const QString& clsid_text : listed)
        LoadOne(store, clsid_text);
}

void HelperObjects::LoadOne(reg::Store& store, const QString& clsid_text)
{
    const std::string name = clsid_text.toStdString();
    const auto clsid = guid_from_string(name);
    if (!clsid) {
        report_("helper object " + name + ": not a class identifier");
        return;
    }
    std::string library;
    try {
        auto key = store.open_key(reg::Hive::ClassesRoot, "CLSID\\" + clsid_text + "\\InprocServer32");
        auto value = key ? store.query(*key, QString()) : std::nullopt;
        if (value && (value->type == reg::ValueType::String || value->type == reg::ValueType::ExpandString))
            library = value->text.toStdString();
    } catch (const std::exception& e) {
        report_("helper object " + name + ": " + e.what());
        return;
    }
    if (library.empty()) {
        report_("helper object " + name + ": the class is not registered (no InprocServer32 library)");
        return;
    }
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* error = dlerror();
        report_("helper object " + name + ": cannot load " + library + ": " + (error ? error : "unknown error"));
        return;
    }
    auto get_class_object = reinterpret_cast<DllGetClassObjectFunction>(dlsym(handle, "DllGetClassObject"));
    if (!get_class_object) {
        report_("helper object " + name + ": " + library + " exports no DllGetClassObject");
        return; // the library stays loaded: its initialisation may have left state behind
    }
    HelperClass helper;
    helper.clsid = *clsid;
    helper.library = library;
    helper.handle = handle;
    const HRESULT hr = get_class_object(&helper.clsid, &IID_IClassFactory, helper.factory.put_void());
    if (FAILED(hr) || !helper.factory) {
        report_("helper object " + name + ": " + library + " has no class factory for it (" + hresult_text(hr) + ")");
        return;
    }
    classes_.push_back(std::move(helper));
}

std::vector<ComPtr<IObjectWithSite>> HelperObjects::CreateObjects()
{
    std::vector<ComPtr<IObjectWithSite>> objects;
    for (HelperClass& helper : classes_) {
        if (!helper.factory)
            continue;
        ComPtr<IObjectWithSite> object;
        const HRESULT hr = helper.factory->CreateInstance(nullptr, IID_IObjectWithSite, object.put_void());
        if (FAILED(hr) || !object) {
            if (!helper.creation_failure_reported) {
                helper.creation_failure_reported = true;
                report_("helper object " + guid_to_string(helper.clsid) + ": cannot create an object (" +
                        hresult_text(hr) + ")");
            }
            continue;
        }
        objects.push_back(std::move(object));
    }
    return objects;
}

void HelperObjects::ReleaseFactories()
{
    for (HelperClass& helper : classes_)
        helper.factory.reset();
}

} // namespace pelu::host
