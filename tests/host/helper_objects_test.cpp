// Loading the helper objects listed in the registry: a real server library (the
// tests' stand-in band) and entries that cannot be served.
#include "host/helper_objects.h"
#include "platform/registry/registry.h"

#include "files.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <dlfcn.h>

namespace pelu::host {
namespace {

using namespace pelu::com;
namespace reg = pelu::platform::registry;

std::string build_file(const char* name)
{
    return (QCoreApplication::applicationDirPath() + '/' + name).toStdString();
}

TEST(HelperObjects, LoadsTheRegisteredClassesAndReportsEachBadEntryOnce)
{
    pelu::test::TempDir dir;
    const std::string registry = dir.file("registry.sqlite").string();
    setenv("PELU_REGISTRY", registry.c_str(), 1);

    // The library registers itself, as `pelu regsvr` has it do.
    const std::string library = build_file("libpelu_test_helper.so");
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    auto register_server = reinterpret_cast<DllRegisterServerFunction>(dlsym(handle, "DllRegisterServer"));
    ASSERT_NE(register_server, nullptr);
    ASSERT_EQ(register_server(), S_OK);

    reg::Store store(QString::fromStdString(registry));
    const QString listed = QString::fromLatin1(kHelperObjectsKey) + '\\';
    // Not a class identifier; a class nobody registered; a library that is not
    // there; a library that is no server.
    store.create_key(reg::Hive::LocalMachine, listed + "not-a-class");
    store.create_key(reg::Hive::LocalMachine, listed + "{11111111-1111-1111-1111-111111111111}");
    store.create_key(reg::Hive::LocalMachine, listed + "{22222222-2222-2222-2222-222222222222}");
    store.set_value(store.create_key(reg::Hive::ClassesRoot,
                                     "CLSID\\{22222222-2222-2222-2222-222222222222}\\InprocServer32"),
                    reg::Value::string("", "/nonexistent/libnothing.so"));
    store.create_key(reg::Hive::LocalMachine, listed + "{33333333-3333-3333-3333-333333333333}");
    store.set_value(store.create_key(reg::Hive::ClassesRoot,
                                     "CLSID\\{33333333-3333-3333-3333-333333333333}\\InprocServer32"),
                    reg::Value::string("", QString::fromStdString(build_file("libmmmpeg32.so"))));

    std::vector<std::string> reports;
    {
        HelperObjects helpers([&](const std::string& message) { reports.push_back(message); });
        helpers.Load(store);
        EXPECT_EQ(helpers.loaded_count(), 1u);
        ASSERT_EQ(reports.size(), 4u);
        auto reported = [&](const std::string& text) {
            return std::count_if(reports.begin(), reports.end(),
                                 [&](const std::string& r) { return r.find(text) != std::string::npos; });
        };
        EXPECT_EQ(reported("{11111111-1111-1111-1111-111111111111}: the class is not registered"), 1);
        EXPECT_EQ(reported("cannot load /nonexistent/libnothing.so"), 1);
        EXPECT_EQ(reported("libmmmpeg32.so exports no DllGetClassObject"), 1);
        EXPECT_EQ(reported("not-a-class: not a class identifier"), 1);

        // One object per window, each a fresh one.
        auto first = helpers.CreateObjects();
        auto second = helpers.CreateObjects();
        ASSERT_EQ(first.size(), 1u);
        ASSERT_EQ(second.size(), 1u);
        EXPECT_NE(first[0].get(), second[0].get());
        EXPECT_EQ(reports.size(), 4u);

        auto can_unload = reinterpret_cast<DllCanUnloadNowFunction>(dlsym(handle, "DllCanUnloadNow"));
        EXPECT_EQ(can_unload(), S_FALSE); // objects and the factory are out
        first.clear();
        second.clear();
        helpers.ReleaseFactories();
        EXPECT_EQ(can_unload(), S_OK);
    }
    unsetenv("PELU_REGISTRY");
}

TEST(HelperObjects, AnEmptyRegistryLoadsNothing)
{
    pelu::test::TempDir dir;
    reg::Store store(QString::fromStdString(dir.file("registry.sqlite").string()));
    std::vector<std::string> reports;
    HelperObjects helpers([&](const std::string& message) { reports.push_back(message); });
    helpers.Load(store);
    EXPECT_EQ(helpers.loaded_count(), 0u);
    EXPECT_TRUE(helpers.CreateObjects().empty());
    EXPECT_TRUE(reports.empty());
}

} // namespace
} // namespace pelu::host
