// The registry backend's root path: separators at its ends are dropped, and a
// path with nothing left never reaches the hive root, whose other programs'
// settings a save would otherwise wipe.
#include "platform/registry/registry.h"
#include "settings/reg_data.h"
#include "settings/storage.h"

#include "files.h"

#include <gtest/gtest.h>

namespace pelu {
namespace {

namespace reg = platform::registry;
using pelu::test::TempDir;

TEST(TrsRegDataRootPath, SeparatorsAtEitherEndAreRemoved)
{
    TrsRegData data;
    data.SetRootPath("\\Software\\PELU\\");
    EXPECT_EQ(data.RootPath(), "Software\\PELU");
    data.SetRootPath("//Software/PELU//\\");
    EXPECT_EQ(data.RootPath(), "Software/PELU");
    data.SetRootPath("\\");
    EXPECT_EQ(data.RootPath(), "");
    data.SetRootPath(" Software ");
    EXPECT_EQ(data.RootPath(), " Software ") << "only separators go";
}

TEST(TrsRegDataRootPath, ARootPathOfSeparatorsAloneNeitherLoadsNorSaves)
{
    TempDir dir;
    auto store = std::make_shared<reg::Store>(QString::fromStdString(dir.file("r.sqlite").string()));
    const reg::KeyId other = store->create_key(reg::Hive::CurrentUser, "Software\\OtherProgram");
    store->set_value(other, reg::Value::string("keep", "me"));
    store->set_value(store->hive_key(reg::Hive::CurrentUser), reg::Value::number("hive value", 1));

    for (const char* root : {"\\", "/", "\\/\\", ""}) {
        TrsRegData data;
        data.SetRootKey(TrsRegData::rkCurrentUser);
        data.SetRootPath(root);
        data.SetRegistry(store);
        TrsStorage storage;
        storage.SetStorageData(&data);
        storage.Load();
        EXPECT_FALSE(storage.SectionExists("\\Software")) << "the hive was loaded for \"" << root << "\"";
        storage.WriteInteger("\\XPD\\v", 7);
        storage.Save();
        storage.SetStorageData(nullptr);
    }
    auto key = store->open_key(reg::Hive::CurrentUser, "Software\\OtherProgram");
    ASSERT_TRUE(key) << "another program's settings were wiped";
    EXPECT_EQ(store->query(*key, "keep")->text, "me");
    EXPECT_TRUE(store->query(store->hive_key(reg::Hive::CurrentUser), "hive value"));
    EXPECT_FALSE(store->open_key(reg::Hive::CurrentUser, "XPD"));

    // With its separators gone, "\Software\PELU\" saves where "Software\PELU" does.
    TrsRegData data;
    data.SetRootKey(TrsRegData::rkCurrentUser);
    data.SetRootPath("\\Software\\PELU\\");
    data.SetRegistry(store);
    TrsStorage storage;
    storage.SetStorageData(&data);
    storage.WriteInteger("\\XPD\\v", 7);
    storage.Save();
    storage.SetStorageData(nullptr);
    auto saved = store->open_key(reg::Hive::CurrentUser, "Software\\PELU\\XPD");
    ASSERT_TRUE(saved);
    EXPECT_EQ(store->query(*saved, "v")->dword, 7u);
    EXPECT_TRUE(store->open_key(reg::Hive::CurrentUser, "Software\\OtherProgram"));
}

} // namespace
} // namespace pelu
