#include "platform/registry/reg_file.h"
#include "platform/registry/registry.h"

#include "files.h"
#include "expect_raises.h"

#include <gtest/gtest.h>

#include <thread>

namespace pelu::platform::registry {
namespace {

using pelu::test::TempDir;

QString db_path(const TempDir& dir)
{
    return QString::fromStdString(dir.file("registry.sqlite").string());
}

TEST(Registry, KeysAndTypedValuesPersistAcrossOpens)
{
    TempDir dir;
    {
        Store store(db_path(dir));
        const KeyId key = store.create_key(Hive::CurrentUser, "Software\\PELU\\XPD");
        store.set_value(key, Value::string("DLL Location", "/opt/pelu/"));
        store.set_value(key, Value::string("path", "$HOME/x", true));
        store.set_value(key, Value::number("n", 0xFFFFFFFFu));
        store.set_value(key, Value::binary("b", QByteArray("\x00\x01\xff", 3)));
    }
    Store store(db_path(dir));
    // Names compare without regard to case; "/" separates like "\".
    auto key = store.open_key(Hive::CurrentUser, "software/pelu/xpd");
    ASSERT_TRUE(key);
    EXPECT_FALSE(store.open_key(Hive::LocalMachine, "Software\\PELU"));
    auto v = store.query(*key, "dll location");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->name, "DLL Location"); // the first spelling is kept
    EXPECT_EQ(v->text, "/opt/pelu/");
    EXPECT_EQ(store.query(*key, "path")->type, ValueType::ExpandString);
    EXPECT_EQ(store.query(*key, "N")->dword, 0xFFFFFFFFu);
    EXPECT_EQ(store.query(*key, "b")->bytes, QByteArray("\x00\x01\xff", 3));
    EXPECT_EQ(store.values(*key).size(), 4u);
    EXPECT_EQ(store.subkeys(*store.open_key(Hive::CurrentUser, "Software")), QStringList{"PELU"});
}

TEST(Registry, DeletingAKeyTakesItsSubtreeAndInvalidatesIt)
{
    TempDir dir;
    Store store(db_path(dir));
    const KeyId a = store.create_key(Hive::CurrentUser, "A");
    const KeyId ab = store.create_key(a, "B\\C");
    store.set_value(ab, Value::number("v", 1));
    EXPECT_TRUE(store.delete_value(ab, "V"));
    EXPECT_FALSE(store.delete_value(ab, "v"));
    store.set_value(ab, Value::number("v", 1));
    EXPECT_TRUE(store.delete_key(a));
    EXPECT_FALSE(store.open_key(Hive::CurrentUser, "A\\B\\C"));
    EXPECT_THROW(store.set_value(ab, Value::number("v", 2)), RegistryError);
    EXPECT_THROW(store.delete_key(store.hive_key(Hive::CurrentUser)), RegistryError);
}

TEST(Registry, AFailingTransactionChangesNothing)
{
    TempDir dir;
    Store store(db_path(dir));
    const KeyId key = store.create_key(Hive::CurrentUser, "K");
    store.set_value(key, Value::string("keep", "old"));
    EXPECT_THROW(store.transaction([&] {
        store.clear_key(key);
        store.set_value(key, Value::string("new", "x"));
        throw RegistryError("stop");
    }),
                 RegistryError);
    ASSERT_EQ(store.values(key).size(), 1u);
    EXPECT_EQ(store.values(key)[0].text, "old");
}

// Two connections (as two processes would have) writing whole subtrees at once:
// both succeed, and every subtree is whole.
TEST(Registry, TwoWritersBothSucceed)
{
    TempDir dir;
    { Store init(db_path(dir)); }
    auto writer = [&](const QString& name, int* failures) {
        Store store(db_path(dir));
        for (int round = 0; round < 40; ++round) {
            try {
                store.transaction([&] {
                    const KeyId key = store.create_key(Hive::CurrentUser, "Software\\" + name);
                    store.clear_key(key);
                    for (int i = 0; i < 20; ++i)
                        store.set_value(key, Value::number(QString("v%1").arg(i), std::uint32_t(round)));
                });
            } catch (const RegistryError&) {
                ++*failures;
            }
        }
    };
    int failures_a = 0, failures_b = 0;
    std::thread a(writer, "A", &failures_a);
    std::thread b(writer, "B", &failures_b);
    a.join();
    b.join();
    EXPECT_EQ(failures_a, 0);
    EXPECT_EQ(failures_b, 0);
    Store store(db_path(dir));
    for (const char* name : {"Software\\A", "Software\\B"}) {
        auto values = store.values(*store.open_key(Hive::CurrentUser, name));
        ASSERT_EQ(values.size(), 20u);
        for (const Value& v : values)
            EXPECT_EQ(v.dword, 39u);
    }
}

TEST(RegFile, ExportImportsBackIdentically)
{
    TempDir dir;
    Store store(db_path(dir));
    const KeyId pelu = store.create_key(Hive::CurrentUser, "Software\\PELU");
    store.set_value(pelu, Value::string("", "default"));
    store.set_value(pelu, Value::string("quote\"and\\slash", "C:\\dir\\ \"q\""));
    store.set_value(pelu, Value::string("lines", "one\ntwo\r\n"));
    store.set_value(pelu, Value::string("exp", "%HOME%/ü", true));
    store.set_value(pelu, Value::binary("long", QByteArray(100, '\x5a')));
    store.set_value(pelu, Value::binary("empty", QByteArray()));
    const KeyId xpd = store.create_key(pelu, "XPD");
    store.set_value(xpd, Value::number("n", 0xDEADBEEF));
    store.create_key(pelu, "Empty\\Deeper");

    const QByteArray text = export_reg_file(store, std::make_pair(Hive::CurrentUser, QString("Software\\PELU")));
    EXPECT_TRUE(text.startsWith("Windows Registry Editor Version 5.00\n"));
    EXPECT_TRUE(text.contains("\"n\"=dword:deadbeef"));

    store.delete_key(pelu);
    apply_reg_file(store, parse_reg_file(text));
    EXPECT_EQ(export_reg_file(store, std::make_pair(Hive::CurrentUser, QString("Software\\PELU"))), text);
    auto again = store.open_key(Hive::CurrentUser, "Software\\PELU");
    ASSERT_TRUE(again);
    EXPECT_EQ(store.query(*again, "lines")->text, "one\ntwo\r\n");
    EXPECT_EQ(store.query(*again, "exp")->type, ValueType::ExpandString);
    EXPECT_TRUE(store.open_key(Hive::CurrentUser, "Software\\PELU\\Empty\\Deeper"));
}

TEST(RegFile, ReadsRegedit4AndDeletions)
{
    TempDir dir;
    Store store(db_path(dir));
    store.set_value(store.create_key(Hive::LocalMachine, "Gone\\Sub"), Value::number("x", 1));
    const QByteArray text = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Keep]\r\n\"s\"=\"v\"\r\n"
                            "\"e\"=hex(2):41,42,00\r\n\"d\"=dword:0000002a\r\n\"h\"=hex:01,\\\r\n  02\r\n"
                            "\"gone\"=-\r\n[-HKEY_LOCAL_MACHINE\\Gone]\r\n";
    apply_reg_file(store, parse_reg_file(text));
    auto keep = store.open_key(Hive::LocalMachine, "Keep");
    ASSERT_TRUE(keep);
    EXPECT_EQ(store.query(*keep, "e")->text, "AB");
    EXPECT_EQ(store.query(*keep, "d")->dword, 42u);
    EXPECT_EQ(store.query(*keep, "h")->bytes, QByteArray("\x01\x02", 2));
    EXPECT_FALSE(store.open_key(Hive::LocalMachine, "Gone"));
}

TEST(RegFile, GarbageNamesTheLineAndChangesNothing)
{
    TempDir dir;
    Store store(db_path(dir));
    const KeyId key = store.create_key(Hive::CurrentUser, "Software\\PELU");
    store.set_value(key, Value::string("a", "old"));
    const QByteArray before = export_reg_file(store);

    const std::pair<const char*, const char*> cases[] = {
        {"Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\PELU]\n\"a\"=\"new\"\n"
         "\"b\"=dword:xyz\n",
         "line 5"},
        {"Windows Registry Editor Version 5.00\n[HKEY_NOWHERE\\X]\n", "line 2"},
        {"Windows Registry Editor Version 5.00\n\"a\"=\"x\"\n", "line 2"},
        {"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\X]\n\"a\"=hex:1g\n", "line 3"},
        {"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\X]\n\"a=\"x\"\n", "line 3"},
        {"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\X]\n\"a\"=hex(7):00,00\n", "line 3"},
        {"not a registry file\n", "line 1"},
    };
    for (const auto& [text, where] : cases) {
        EXPECT_RAISES(apply_reg_file(store, parse_reg_file(text)), RegFileError, where);
    }
    EXPECT_EQ(export_reg_file(store), before);
}

TEST(RegFile, ReplaceMakesTheSubtreeEqualTheFile)
{
    TempDir dir;
    Store store(db_path(dir));
    const KeyId key = store.create_key(Hive::CurrentUser, "Software\\PELU");
    store.set_value(key, Value::string("a", "1"));
    const QByteArray backup = export_reg_file(store, std::make_pair(Hive::CurrentUser, QString("Software\\PELU")));
    store.set_value(key, Value::string("later", "2"));
    store.create_key(key, "NewKey");
    apply_reg_file(store, parse_reg_file(backup), /*replace=*/true);
    EXPECT_EQ(export_reg_file(store, std::make_pair(Hive::CurrentUser, QString("Software\\PELU"))), backup);
}

} // namespace
} // namespace pelu::platform::registry
