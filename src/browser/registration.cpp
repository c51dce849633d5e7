#include "browser/server.h"

#include "platform/registry/registry.h"

#include <QFileInfo>

namespace pelu::browser {

namespace reg = pelu::platform::registry;

std::string server_name(const std::string& library_path)
{
    // The name up to its first dot: "libPELU.so.1" and "PELU.so" alike.
    QString name = QFileInfo(QString::fromStdString(library_path)).fileName();
    name = name.left(name.indexOf('.'));
    if (name.startsWith(QLatin1String("lib")) && name.size() > 3)
        name = name.mid(3);
    return name.toStdString();
}

std::string prog_id(const std::string& library_path) { return server_name(library_path) + "." + kClassName; }

namespace {

// One step: create the key and write its default or named value, as one change.
void write_entry(reg::Store& store, reg::Hive hive, const QString& key_path,
                 const std::vector<reg::Value>& values)
{
    try {
        store.transaction([&] {
            const reg::KeyId key = store.create_key(hive, key_path);
            for (const reg::Value& value : values)
                store.set_value(key, value);
        });
    } catch (const std::exception&) {
        throw RegistrationError(kRegistryEntryError);
    }
}

QString class_key(const std::string& clsid) { return QStringLiteral("CLSID\\") + QString::fromStdString(clsid); }

QString helper_object_key(const std::string& clsid)
{
    return QString::fromLatin1(kBrowserHelperObjectsKey) + '\\' + QString::fromStdString(clsid);
}

} // namespace

void register_server(reg::Store& store, const std::string& library_path)
{
    const std::string clsid = com::guid_to_string(CLSID_IEHelper);
    const QString prog = QString::fromStdString(prog_id(library_path));
    const QString path = QString::fromStdString(library_path);
    // 1: the class, with its (empty) description.
    write_entry(store, reg::Hive::ClassesRoot, class_key(clsid), {reg::Value::string(QString(), QString())});
    // 2: where the server lives and how it is called.
    write_entry(store, reg::Hive::ClassesRoot, class_key(clsid) + "\\InprocServer32",
                {reg::Value::string(QString(), path), reg::Value::string("ThreadingModel", "Apartment")});
    // 3: the ProgID both ways.
    write_entry(store, reg::Hive::ClassesRoot, prog, {reg::Value::string(QString(), QString())});
    write_entry(store, reg::Hive::ClassesRoot, prog + "\\Clsid",
                {reg::Value::string(QString(), QString::fromStdString(clsid))});
    write_entry(store, reg::Hive::ClassesRoot, class_key(clsid) + "\\ProgID", {reg::Value::string(QString(), prog)});
    // 4: the entry that makes the browser load the class; a failure is not reported.
    try {
        store.create_key(reg::Hive::LocalMachine, helper_object_key(clsid));
    } catch (const std::exception&) {
    }
}

void unregister_server(reg::Store& store, const std::string& library_path)
{
    const std::string clsid = com::guid_to_string(CLSID_IEHelper);
    const QString prog = QString::fromStdString(prog_id(library_path));
    const std::pair<reg::Hive, QString> keys[] = {
        {reg::Hive::ClassesRoot, class_key(clsid) + "\\ProgID"},
        {reg::Hive::ClassesRoot, prog + "\\Clsid"},
        {reg::Hive::ClassesRoot, prog},
        {reg::Hive::ClassesRoot, class_key(clsid) + "\\InprocServer32"},
        {reg::Hive::ClassesRoot, class_key(clsid)},
        {reg::Hive::LocalMachine, helper_object_key(clsid)},
    };
    for (const auto& [hive, path] : keys) {
        try {
            // A key that still has subkeys cannot be deleted, as on the platform
            // whose registry this is: what others put below it stays.
            if (auto key = store.open_key(hive, path); key && store.subkeys(*key).isEmpty())
                store.delete_key(*key);
        } catch (const std::exception&) {
            // missing or undeletable keys are passed over
        }
    }
}

} // namespace pelu::browser
