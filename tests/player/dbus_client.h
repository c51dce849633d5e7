// The client side of the band's bus tests: the shared private bus and client,
// and a log of the signals a test listens to.
#pragma once

#include "dbus_session.h"

#include <QObject>

namespace pelu::player::test {

using pelu::test::AsMap;
using pelu::test::BusClient;
using pelu::test::PrivateBus;
using pelu::test::wait_until;

// Records the signals it is connected to.
class SignalLog : public QObject {
    Q_OBJECT
public:
    QList<QDBusMessage> messages;
public Q_SLOTS:
    void Record(const QDBusMessage& message) { messages << message; }
};

// Listens to a signal of the client's service into `log`.
inline bool Listen(BusClient& client, SignalLog& log, const QString& interface, const QString& name,
                   const QString& probe_interface)
{
    return client.Listen(&log, SLOT(Record(QDBusMessage)), interface, name, probe_interface);
}

} // namespace pelu::player::test
