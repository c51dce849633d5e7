// `pelu regsvr [-u] LIBRARY`: registers (or with -u unregisters) an in-process
// server library by calling its own DllRegisterServer (DllUnregisterServer).
#include "cli/command.h"
#include "cli/server_library.h"
#include "platform/com/com.h"

#include <QFileInfo>

#include <cstdio>
#include <dlfcn.h>

namespace pelu::cli {

int call_server_registration(const QString& library, bool unregister)
{
    const QFileInfo file(library);
    if (!file.exists())
        return fail(QStringLiteral("%1: no such file").arg(library));
    // The library registers the path it was loaded from: make that absolute.
    const QString path = file.absoluteFilePath();
    void* handle = dlopen(path.toLocal8Bit().constData(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* error = dlerror();
        return fail(QStringLiteral("cannot load %1: %2").arg(path, QString::fromLocal8Bit(error ? error : "")));
    }
    const char* function_name = unregister ? "DllUnregisterServer" : "DllRegisterServer";
    auto function = reinterpret_cast<com::DllRegisterServerFunction>(dlsym(handle, function_name));
    if (!function) {
        dlclose(handle);
        return fail(QStringLiteral("%1 is not a server library: it exports no %2").arg(path, function_name));
    }
    const com::HRESULT hr = function();
    auto can_unload = reinterpret_cast<com::DllCanUnloadNowFunction>(dlsym(handle, "DllCanUnloadNow"));
    if (!can_unload || can_unload() == com::S_OK)
        dlclose(handle);
    if (com::FAILED(hr)) {
        return fail(QStringLiteral("%1 in %2 failed (%3)")
                        .arg(function_name, path, QString::fromStdString(com::hresult_text(hr))));
    }
    std::printf("%s in %s succeeded.\n", function_name, path.toLocal8Bit().constData());
    return kExitOk;
}

namespace {

const std::string kUsage = "regsvr [-u] LIBRARY";

int run_regsvr(const QStringList& args)
{
    bool unregister = false;
    QString library;
    for (const QString& arg : args) {
        if (arg == "-u" || arg == "/u")
            unregister = true;
        else if (arg.startsWith('-'))
            return usage_error(QStringLiteral("unknown option %1").arg(arg), kUsage);
        else if (library.isEmpty())
            library = arg;
        else
            return usage_error(QStringLiteral("one library at a time"), kUsage);
    }
    if (library.isEmpty())
        return usage_error(QStringLiteral("which library?"), kUsage);
    return call_server_registration(library, unregister);
}

} // namespace

PELU_COMMAND("regsvr", kUsage, run_regsvr);

} // namespace pelu::cli
