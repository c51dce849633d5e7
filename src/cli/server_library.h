// Registering an in-process server library: load it, call its DllRegisterServer
// or DllUnregisterServer, report the result, unload it. Used by `pelu regsvr`
// and `pelu setup`.
// Thread: main thread only.
#pragma once

#include <QString>

namespace pelu::cli {

// Returns kExitOk and prints "<Function> in <library> succeeded." on stdout, or
// prints the failure ("pelu: ...") on stderr and returns kExitFailure.
int call_server_registration(const QString& library, bool unregister);

} // namespace pelu::cli
