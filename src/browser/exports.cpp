// The library's four exports and its one server, created when the library is
// loaded and finished when it is unloaded. The form kind comes from the file
// linked beside this one: the player's form in libPELU.so.
#include "browser/server.h"

#include <QApplication>
#include <QFileInfo>
#include <QMessageBox>

#include <cstdio>
#include <dlfcn.h>

#define PELU_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using namespace pelu::com;

std::string this_library_path()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&this_library_path), &info) && info.dli_fname)
        return QFileInfo(QString::fromLocal8Bit(info.dli_fname)).absoluteFilePath().toStdString();
    return {};
}

void show_error_box(const std::string& caption, const std::string& text)
{
    if (qobject_cast<QApplication*>(QCoreApplication::instance()))
        QMessageBox::critical(nullptr, QString::fromStdString(caption), QString::fromStdString(text));
    else
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
}

pelu::browser::ComServer g_server(this_library_path(), pelu::browser::band_form_kind(), &show_error_box);

} // namespace

PELU_EXPORT HRESULT DllGetClassObject(const CLSID* clsid, const IID* iid, void** out)
{
    return g_server.GetClassObject(clsid, iid, out);
}

PELU_EXPORT HRESULT DllCanUnloadNow() { return g_server.CanUnloadNow(); }

PELU_EXPORT HRESULT DllRegisterServer() { return g_server.RegisterServer(); }

PELU_EXPORT HRESULT DllUnregisterServer() { return g_server.UnregisterServer(); }
