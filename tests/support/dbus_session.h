// A private session bus (a real dbus-daemon of the test's own) and a client
// connection to it that calls and reads as any desktop client would.
#pragma once

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QElapsedTimer>

#include "child_process.h"
#include "wait_until.h"

#include <gtest/gtest.h>

#include <functional>

namespace pelu::test {

class PrivateBus {
public:
    PrivateBus() : PrivateBus(ChildProcess::Options{}) {}
    // `options`: for instance a process group that a watchdog ends with the test.
    explicit PrivateBus(const ChildProcess::Options& options)
    {
        if (daemon_.Start(QStringLiteral("dbus-daemon"),
                          {QStringLiteral("--session"), QStringLiteral("--print-address"), QStringLiteral("--nofork")},
                          options))
            address_ = daemon_.ReadLine(10000);
    }
    ~PrivateBus() { daemon_.Stop(); }
    const QString& address() const { return address_; }

private:
    ChildProcess daemon_;
    QString address_;
};

inline QVariantMap AsMap(const QVariant& value)
{
    if (value.canConvert<QDBusArgument>())
        return qdbus_cast<QVariantMap>(value.value<QDBusArgument>());
    return value.toMap();
}

// One client connection talking to one service's object.
class BusClient {
public:
    static constexpr const char* kProperties = "org.freedesktop.DBus.Properties";

    BusClient(const QString& address, const QString& connection_name, QString service, QString path)
        : name_(connection_name), connection_(QDBusConnection::connectToBus(address, connection_name)),
          service_(std::move(service)), path_(std::move(path))
    {
    }
    ~BusClient() { QDBusConnection::disconnectFromBus(name_); }

    QDBusConnection& connection() { return connection_; }
    void SetService(const QString& service) { service_ = service; }

    QDBusMessage Call(const QString& interface, const QString& method, const QVariantList& args = {})
    {
        QDBusMessage message = QDBusMessage::createMethodCall(service_, path_, interface, method);
        message.setArguments(args);
        QDBusPendingCall pending = connection_.asyncCall(message, 5000);
        EXPECT_TRUE(wait_until([&] { return pending.isFinished(); })) << method.toStdString();
        return pending.reply();
    }
    QVariant Get(const QString& interface, const QString& name)
    {
        const QDBusMessage reply = Call(kProperties, QStringLiteral("Get"), {interface, name});
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage)
            << name.toStdString() << ": " << reply.errorMessage().toStdString();
        if (reply.arguments().isEmpty())
            return {};
        return reply.arguments().at(0).value<QDBusVariant>().variant();
    }
    QDBusMessage Set(const QString& interface, const QString& name, const QVariant& value)
    {
        return Call(kProperties, QStringLiteral("Set"), {interface, name, QVariant::fromValue(QDBusVariant(value))});
    }
    // Connects a receiver's slot to a signal and makes sure the bus has the
    // match rule before the caller goes on.
    bool Listen(QObject* receiver, const char* slot, const QString& interface, const QString& name,
                const QString& probe_interface)
    {
        if (!connection_.connect(service_, path_, interface, name, receiver, slot))
            return false;
        Call(kProperties, QStringLiteral("GetAll"), {probe_interface});
        return true;
    }

private:
    QString name_;
    QDBusConnection connection_;
    QString service_;
    QString path_;
};

} // namespace pelu::test
