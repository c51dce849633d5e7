// The real band in the real browser, with a private session bus: the per-user
// setup as `pelu setup` does it, the browser's environment on that bus, and
// the band's MPRIS name once it answers.
#pragma once

#include "browser_run.h"
#include "dbus_session.h"

#include <QDBusConnectionInterface>

namespace pelu::test {

inline constexpr const char* kMprisPath = "/org/mpris/MediaPlayer2";
inline constexpr const char* kMprisRoot = "org.mpris.MediaPlayer2";
inline constexpr const char* kMprisPlayer = "org.mpris.MediaPlayer2.Player";

// Registers the band library and fills the storage folder; false (with the
// output in *output) when `pelu setup` fails.
inline bool SetUpBand(const BrowserHome& home, QString* output)
{
    const QString data = home.root() + "/shipped";
    QDir().mkpath(data + "/pages");
    QFile::copy(QString::fromLatin1(PELU_TEST_SOURCE_DATA_DIR "/default.ini"), data + "/default.ini");
    return home.pelu({"setup", "--data", data}, output) == 0;
}

inline QProcessEnvironment WithBus(const BrowserHome& home, const PrivateBus& bus)
{
    QProcessEnvironment env = home.environment();
    env.insert("DBUS_SESSION_BUS_ADDRESS", bus.address());
    return env;
}

// Waits until some player answers on the bus; its name.
inline QString WaitForPlayer(BusClient& client, int timeout_ms = 60000)
{
    QString name;
    wait_until(
        [&] {
            const QStringList names = client.connection().interface()->registeredServiceNames().value();
            for (const QString& candidate : names)
                if (candidate.startsWith("org.mpris.MediaPlayer2.pelu"))
                    name = candidate;
            return !name.isEmpty();
        },
        timeout_ms);
    return name;
}

} // namespace pelu::test
