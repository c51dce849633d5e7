// Registration and unregistration in a real registry file.
#include "browser/server.h"
#include "platform/registry/registry.h"

#include "files.h"

#include "fake_browser.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>

namespace pelu::browser {
namespace {

using namespace pelu::com;
namespace reg = pelu::platform::registry;
using pelu::test::TempDir;

const QString kClassKey = "CLSID\\{6F1D2A40-58C3-4E97-B2A1-7D9C0E35B6F8}";
const QString kHelperKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\explorer\\Browser Helper Objects\\"
    "{6F1D2A40-58C3-4E97-B2A1-7D9C0E35B6F8}";

// Points the default registry store at a fresh file for one test.
class RegistryFile {
public:
    RegistryFile()
    {
        path_ = QString::fromStdString(dir_.file("registry.sqlite").string());
        setenv("PELU_REGISTRY", path_.toLocal8Bit().constData(), 1);
    }
    ~RegistryFile() { unsetenv("PELU_REGISTRY"); }
    const QString& path() const { return path_; }

private:
    TempDir dir_;
    QString path_;
};

std::optional<QString> default_value(reg::Store& store, reg::Hive hive, const QString& key_path,
                                     const QString& name = QString())
{
    auto key = store.open_key(hive, key_path);
    if (!key)
        return std::nullopt;
    auto value = store.query(*key, name);
    if (!value || value->type != reg::ValueType::String)
        return std::nullopt;
    return value->text;
}

// Every key and value below the roots, as text, to compare whole states.
QStringList dump(reg::Store& store)
{
    QStringList lines;
    std::function<void(reg::KeyId, const QString&)> walk = [&](reg::KeyId key, const QString& path) {
        for (const reg::Value& v : store.values(key))
            lines << path + " [" + v.name + "]=" + v.text;
        for (const QString& sub : store.subkeys(key)) {
            lines << path + "\\" + sub;
            walk(*store.open_key(key, sub), path + "\\" + sub);
        }
    };
    walk(store.hive_key(reg::Hive::ClassesRoot), "HKCR");
    walk(store.hive_key(reg::Hive::LocalMachine), "HKLM");
    return lines;
}

TEST(ServerName, FromTheLibraryFileName)
{
    EXPECT_EQ(server_name("/opt/pelu/lib/libPELU.so"), "PELU");
    EXPECT_EQ(server_name("PELU.so"), "PELU");
    EXPECT_EQ(server_name("/a b/libPELU.so.1.2"), "PELU");
    EXPECT_EQ(server_name("/x/lib.so"), "lib"); // nothing after the prefix: kept
    EXPECT_EQ(server_name("/x/libraryhelper.so"), "raryhelper");
    EXPECT_EQ(prog_id("/usr/lib/pelu/libPELU.so"), "PELU.IEHelper");
}

TEST(Registration, WritesEveryKeyOfTheClass)
{
    RegistryFile file;
    // This platform has no short names: a path with a blank is written as it stands.
    ComServer server("/home/user/My Programs/pelu/libPELU.so", pelu::test::plain_form_kind(), nullptr);
    ASSERT_EQ(server.RegisterServer(), S_OK);

    reg::Store store(file.path());
    using reg::Hive;
    EXPECT_EQ(default_value(store, Hive::ClassesRoot, kClassKey), QString(""));
    EXPECT_EQ(default_value(store, Hive::ClassesRoot, kClassKey + "\\InprocServer32"),
              QString("/home/user/My Programs/pelu/libPELU.so"));
    EXPECT_EQ(default_value(store, Hive::ClassesRoot, kClassKey + "\\InprocServer32", "ThreadingModel"),
              QString("Apartment"));
    EXPECT_EQ(default_value(store, Hive::ClassesRoot, "PELU.IEHelper"), QString(""));
    EXPECT_EQ(default_value(store, Hive::ClassesRoot, "PELU.IEHelper\\Clsid"),
              QString("{6F1D2A40-58C3-4E97-B2A1-7D9C0E35B6F8}"));
    EXPECT_EQ(default_value(store, Hive::ClassesRoot, kClassKey + "\\ProgID"), QString("PELU.IEHelper"));
    // The helper-object entry is a key alone.
    auto helper = store.open_key(Hive::LocalMachine, kHelperKey);
    ASSERT_TRUE(helper);
    EXPECT_TRUE(store.values(*helper).empty());
    EXPECT_TRUE(store.subkeys(*helper).isEmpty());
}

TEST(Registration, TwiceLeavesOneSetAndUnregisteringRemovesIt)
{
    RegistryFile file;
    ComServer server("/usr/lib/pelu/libPELU.so", pelu::test::plain_form_kind(), nullptr);
    reg::Store store(file.path());
    // Unregistering what was never registered succeeds and creates nothing.
    EXPECT_EQ(server.UnregisterServer(), S_OK);
    EXPECT_TRUE(dump(store).isEmpty());

    // Other classes in the same hives stay untouched by both.
    store.set_value(store.create_key(reg::Hive::ClassesRoot, "CLSID\\{00000000-0000-0000-0000-000000000001}"),
                    reg::Value::string("", "other"));
    ASSERT_EQ(server.RegisterServer(), S_OK);
    const QStringList once = dump(store);
    ASSERT_EQ(server.RegisterServer(), S_OK);
    EXPECT_EQ(dump(store), once);
    EXPECT_EQ(once.filter("InprocServer32 [").size(), 2); // default and ThreadingModel

    EXPECT_EQ(server.UnregisterServer(), S_OK);
    const QStringList left = dump(store);
    EXPECT_TRUE(left.filter("6F1D2A40").isEmpty()) << left.join('\n').toStdString();
    EXPECT_TRUE(left.filter("PELU.IEHelper").isEmpty());
    EXPECT_TRUE(left.contains("HKCR\\CLSID\\{00000000-0000-0000-0000-000000000001} []=other"));
    // The hive path above the helper-object entry stays; only the entry goes.
    EXPECT_TRUE(store.open_key(reg::Hive::LocalMachine, kBrowserHelperObjectsKey));
}

TEST(Registration, KeysWithForeignSubkeysStay)
{
    RegistryFile file;
    ComServer server("/usr/lib/pelu/libPELU.so", pelu::test::plain_form_kind(), nullptr);
    reg::Store store(file.path());
    ASSERT_EQ(server.RegisterServer(), S_OK);
    // Something else hung a key below the class key: the class key cannot go.
    store.create_key(reg::Hive::ClassesRoot, kClassKey + "\\Implemented Categories");
    EXPECT_EQ(server.UnregisterServer(), S_OK);
    EXPECT_TRUE(store.open_key(reg::Hive::ClassesRoot, kClassKey));
    EXPECT_FALSE(store.open_key(reg::Hive::ClassesRoot, kClassKey + "\\InprocServer32"));
    EXPECT_FALSE(store.open_key(reg::Hive::ClassesRoot, "PELU.IEHelper"));
    EXPECT_FALSE(store.open_key(reg::Hive::LocalMachine, kHelperKey));
}

TEST(Registration, AFailingStepStopsWithTheRegistryError)
{
    RegistryFile file;
    {
        reg::Store store(file.path()); // creates the tables
    }
    // The database refuses the second step's key.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.path().toUtf8().constData(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TRIGGER deny BEFORE INSERT ON keys WHEN NEW.name = 'InprocServer32' "
                           "BEGIN SELECT RAISE(ABORT, 'denied'); END",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);

    reg::Store store(file.path());
    try {
        register_server(store, "/usr/lib/pelu/libPELU.so");
        FAIL() << "registration went through";
    } catch (const RegistrationError& e) {
        EXPECT_STREQ(e.what(), "Error creating system registry entry");
    }
    // Step 1 is done, nothing after step 2 is.
    EXPECT_TRUE(store.open_key(reg::Hive::ClassesRoot, kClassKey));
    EXPECT_FALSE(store.open_key(reg::Hive::ClassesRoot, "PELU.IEHelper"));
    EXPECT_FALSE(store.open_key(reg::Hive::LocalMachine, kHelperKey));

    ComServer server("/usr/lib/pelu/libPELU.so", pelu::test::plain_form_kind(), nullptr);
    EXPECT_EQ(server.RegisterServer(), E_FAIL);
    // Unregistration has nothing to create, so it still succeeds.
    EXPECT_EQ(server.UnregisterServer(), S_OK);
    EXPECT_FALSE(store.open_key(reg::Hive::ClassesRoot, kClassKey));
}

TEST(Registration, AnUnusableRegistryFileFails)
{
    TempDir dir;
    // A folder where the database file should be.
    const std::string folder = dir.file("registry.sqlite").string();
    std::filesystem::create_directories(folder);
    setenv("PELU_REGISTRY", folder.c_str(), 1);
    ComServer server("/usr/lib/pelu/libPELU.so", pelu::test::plain_form_kind(), nullptr);
    EXPECT_EQ(server.RegisterServer(), E_FAIL);
    EXPECT_EQ(server.UnregisterServer(), E_FAIL);
    unsetenv("PELU_REGISTRY");
}

} // namespace
} // namespace pelu::browser
