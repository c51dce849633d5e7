// The server's exports and its class factory.
#include "browser/server.h"

#include "fake_browser.h"

#include <gtest/gtest.h>

namespace pelu::browser {
namespace {

using namespace pelu::com;

struct ServerTest : ::testing::Test {
    ComServer server{"/opt/pelu/libPELU.so", pelu::test::plain_form_kind(), nullptr};
};

TEST_F(ServerTest, ClassObjectOnlyForTheOneClass)
{
    void* out = reinterpret_cast<void*>(0x1);
    const CLSID other = IID_IDispatch;
    EXPECT_EQ(server.GetClassObject(&other, &IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(server.GetClassObject(&CLSID_IEHelper, &IID_IClassFactory, nullptr), E_POINTER);
    // The factory has no dispatch side.
    out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(server.GetClassObject(&CLSID_IEHelper, &IID_IDispatch, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(server.factory_count, 0);

    ASSERT_EQ(server.GetClassObject(&CLSID_IEHelper, &IID_IClassFactory, &out), S_OK);
    auto factory = ComPtr<IClassFactory>::adopt(static_cast<IClassFactory*>(out));
    EXPECT_EQ(server.factory_count, 1);
    EXPECT_EQ(server.CanUnloadNow(), S_FALSE); // a factory reference is out
    factory.reset();
    EXPECT_EQ(server.factory_count, 0);
    EXPECT_EQ(server.CanUnloadNow(), S_OK);
}

TEST_F(ServerTest, CreateInstanceResults)
{
    void* out = nullptr;
    ASSERT_EQ(server.GetClassObject(&CLSID_IEHelper, &IID_IClassFactory, &out), S_OK);
    auto factory = ComPtr<IClassFactory>::adopt(static_cast<IClassFactory*>(out));

    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IObjectWithSite, nullptr), E_POINTER);

    // Aggregation: only a request for IUnknown is served.
    out = reinterpret_cast<void*>(0x1);
    auto* outer = static_cast<IUnknown*>(factory.get());
    EXPECT_EQ(factory->CreateInstance(outer, IID_IDispatch, &out), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(server.object_count, 0);
    ASSERT_EQ(factory->CreateInstance(outer, IID_IUnknown, &out), S_OK);
    EXPECT_EQ(server.object_count, 1);
    static_cast<IUnknown*>(out)->Release();
    EXPECT_EQ(server.object_count, 0);

    // An interface the object lacks: the new object goes at once.
    out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(server.object_count, 0);

    // Both interfaces of a helper object, one identity.
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IObjectWithSite, &out), S_OK);
    auto site_side = ComPtr<IObjectWithSite>::adopt(static_cast<IObjectWithSite*>(out));
    auto dispatch = site_side.query<IDispatch>(IID_IDispatch);
    ASSERT_TRUE(dispatch);
    auto unknown_a = site_side.query<IUnknown>(IID_IUnknown);
    auto unknown_b = dispatch.query<IUnknown>(IID_IUnknown);
    EXPECT_EQ(unknown_a.get(), unknown_b.get());
    EXPECT_FALSE(site_side.query<IWebBrowser2>(IID_IWebBrowser2));

    // The server stays loaded while the object lives, whoever holds it.
    factory.reset();
    EXPECT_EQ(server.object_count, 1);
    EXPECT_EQ(server.CanUnloadNow(), S_FALSE);
    site_side.reset();
    dispatch.reset();
    unknown_a.reset();
    EXPECT_EQ(server.CanUnloadNow(), S_FALSE);
    unknown_b.reset();
    EXPECT_EQ(server.object_count, 0);
    EXPECT_EQ(server.CanUnloadNow(), S_OK);
}

TEST_F(ServerTest, LockServerHoldsTheServer)
{
    void* out = nullptr;
    ASSERT_EQ(server.GetClassObject(&CLSID_IEHelper, &IID_IClassFactory, &out), S_OK);
    auto* factory = static_cast<IClassFactory*>(out);
    EXPECT_EQ(factory->LockServer(true), S_OK);
    EXPECT_EQ(factory->LockServer(true), S_OK);
    factory->Release();
    EXPECT_EQ(server.object_count, 2);
    EXPECT_EQ(server.CanUnloadNow(), S_FALSE);
    EXPECT_EQ(factory->LockServer(false), S_OK);
    EXPECT_EQ(factory->LockServer(false), S_OK);
    EXPECT_EQ(server.CanUnloadNow(), S_OK);
    // An unlock without a lock changes nothing.
    EXPECT_EQ(factory->LockServer(false), E_UNEXPECTED);
    EXPECT_EQ(server.object_count, 0);
    EXPECT_EQ(server.factory_count, 0);
}

TEST_F(ServerTest, TypeInformationIsNotOffered)
{
    void* out = nullptr;
    void* factory_out = nullptr;
    ASSERT_EQ(server.GetClassObject(&CLSID_IEHelper, &IID_IClassFactory, &factory_out), S_OK);
    auto factory = ComPtr<IClassFactory>::adopt(static_cast<IClassFactory*>(factory_out));
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, &out), S_OK);
    auto dispatch = ComPtr<IDispatch>::adopt(static_cast<IDispatch*>(out));
    UINT count = 7;
    EXPECT_EQ(dispatch->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 0u);
    ITypeInfo* info = reinterpret_cast<ITypeInfo*>(0x1);
    EXPECT_EQ(dispatch->GetTypeInfo(0, 0, &info), E_NOTIMPL);
    EXPECT_EQ(info, nullptr);
    DISPID id = 0;
    EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, nullptr, 0, 0, &id), E_NOTIMPL);

    auto site_side = dispatch.query<IObjectWithSite>(IID_IObjectWithSite);
    out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(site_side->GetSite(IID_IUnknown, &out), S_OK);
    EXPECT_EQ(out, nullptr);
}

TEST(ServerErrorBox, FullStopOnlyWhereThePunctuationIsMissing)
{
    EXPECT_EQ(error_box_text("Out of memory"), "Out of memory.");
    EXPECT_EQ(error_box_text("Out of memory."), "Out of memory.");
    EXPECT_EQ(error_box_text("Really?"), "Really?");
    EXPECT_EQ(error_box_text("Stop!"), "Stop!");
    EXPECT_EQ(error_box_text(""), ".");
}

} // namespace
} // namespace pelu::browser
