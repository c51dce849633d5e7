#include "platform/com/com.h"

#include <gtest/gtest.h>

#include <cstring>

namespace pelu::com {
namespace {

TEST(ComGuid, TextRoundTripsInBracedUpperCase)
{
    const GUID clsid{0x6F1D2A40, 0x58C3, 0x4E97, {0xB2, 0xA1, 0x7D, 0x9C, 0x0E, 0x35, 0xB6, 0xF8}};
    EXPECT_EQ(guid_to_string(clsid), "{6F1D2A40-58C3-4E97-B2A1-7D9C0E35B6F8}");
    EXPECT_EQ(guid_to_string(IID_IDispatch), "{00020400-0000-0000-C000-000000000046}");
    EXPECT_EQ(guid_to_string(IID_IWebBrowser2), "{D30C1661-CDAF-11D0-8A3E-00C04FC9E26E}");

    // Lower-case digits are read too; the text written is always upper case.
    auto parsed = guid_from_string("{6f1d2a40-58c3-4e97-b2a1-7d9c0e35b6f8}");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, clsid);
    EXPECT_NE(*parsed, IID_IUnknown);
    EXPECT_EQ(guid_from_string(guid_to_string(DIID_DWebBrowserEvents2)), DIID_DWebBrowserEvents2);
}

TEST(ComGuid, MalformedTextIsRefused)
{
    for (const char* bad : {"", "6F1D2A40-58C3-4E97-B2A1-7D9C0E35B6F8", "{6F1D2A40-58C3-4E97-B2A1-7D9C0E35B6F}",
                            "{6F1D2A40-58C3-4E97-B2A17D9C0E35B6F8-}", "{6F1D2A40 58C3-4E97-B2A1-7D9C0E35B6F8}",
                            "{6G1D2A40-58C3-4E97-B2A1-7D9C0E35B6F8}", "{6F1D2A40-58C3-4E97-B2A1-7D9C0E35B6F8}x",
                            "(6F1D2A40-58C3-4E97-B2A1-7D9C0E35B6F8)", "{6F1D2A40-58C3-4E97-B2A1-7D9C0E35B6 8}"})
        EXPECT_FALSE(guid_from_string(bad)) << bad;
}

TEST(ComResult, ValuesAndSeverity)
{
    EXPECT_TRUE(SUCCEEDED(S_OK));
    EXPECT_TRUE(SUCCEEDED(S_FALSE));
    EXPECT_TRUE(FAILED(E_FAIL));
    EXPECT_TRUE(FAILED(CLASS_E_CLASSNOTAVAILABLE));
    EXPECT_EQ(hresult_text(E_FAIL), "0x80004005");
    EXPECT_EQ(hresult_text(DISP_E_MEMBERNOTFOUND), "0x80020003");
    EXPECT_EQ(hresult_text(E_UNEXPECTED), "0x8000FFFF");
}

TEST(ComBstr, CountedStringsKeepEmbeddedZerosAndConvert)
{
    const char16_t raw[] = {u'a', 0, u'b'};
    BSTR s = SysAllocStringLen(raw, 3);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SysStringLen(s), 3u);
    EXPECT_EQ(s[3], 0); // always terminated
    EXPECT_EQ(bstr_view(s), std::u16string_view(raw, 3));
    SysFreeString(s);

    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(bstr_to_utf8(nullptr), "");
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    SysFreeString(nullptr);

    // Text beyond the basic plane travels as a surrogate pair.
    const std::string text = "file:///home/jürgen/\xF0\x9F\x8E\xB5 mix.html";
    BSTR url = bstr_from_utf8(text);
    EXPECT_EQ(SysStringLen(url), 31u);
    EXPECT_EQ(bstr_to_utf8(url), text);
    BSTR copy = SysAllocString(url);
    EXPECT_EQ(bstr_view(copy), bstr_view(url));
    SysFreeString(copy);
    SysFreeString(url);

    // Broken UTF-8 becomes replacement characters rather than garbage.
    BSTR broken = bstr_from_utf8("a\xC3" "b\xFF");
    EXPECT_EQ(bstr_view(broken), u"a\uFFFDb\uFFFD");
    SysFreeString(broken);
}

// Counts its references; tells when the last one went.
class CountedObject final : public IUnknown {
public:
    explicit CountedObject(bool* destroyed) : destroyed_(destroyed) {}
    HRESULT QueryInterface(REFIID iid, void** out) override
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (iid != IID_IUnknown)
            return E_NOINTERFACE;
        *out = static_cast<IUnknown*>(this);
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++count_; }
    // Out of line: inlined into a test, its conditional delete makes GCC take
    // every later count() for a use after free, though references remain.
    [[gnu::noinline]] ULONG Release() override
    {
        const ULONG left = --count_;
        if (left == 0) {
            *destroyed_ = true;
            delete this;
        }
        return left;
    }
    ULONG count() const { return count_; }

private:
    ~CountedObject() = default;
    ULONG count_ = 1;
    bool* destroyed_;
};

TEST(ComVariant, ClearAndCopyOwnStringsAndReferences)
{
    bool destroyed = false;
    auto* object = new CountedObject(&destroyed);

    VARIANT a;
    EXPECT_EQ(a.vt, VT_EMPTY);
    EXPECT_EQ(a.lVal, 0);
    a.vt = VT_UNKNOWN;
    a.punkVal = object;
    object->AddRef(); // the variant's own reference

    VARIANT b;
    EXPECT_EQ(VariantCopy(&b, &a), S_OK);
    EXPECT_EQ(object->count(), 3u);
    EXPECT_EQ(VariantClear(&a), S_OK);
    EXPECT_EQ(a.vt, VT_EMPTY);
    EXPECT_EQ(object->count(), 2u);

    // Copying over a variant releases what it held before.
    VARIANT text;
    text.vt = VT_BSTR;
    text.bstrVal = bstr_from_utf8("http://example.org/");
    EXPECT_EQ(VariantCopy(&b, &text), S_OK);
    EXPECT_EQ(object->count(), 1u);
    EXPECT_NE(b.bstrVal, text.bstrVal);
    EXPECT_EQ(bstr_to_utf8(b.bstrVal), "http://example.org/");
    VariantClear(&b);
    VariantClear(&text);

    // A by-reference variant owns nothing: clearing leaves the target alone.
    VARIANT target;
    target.vt = VT_I4;
    target.lVal = 7;
    VARIANT ref;
    ref.vt = VT_BYREF | VT_VARIANT;
    ref.pvarVal = &target;
    VariantClear(&ref);
    EXPECT_EQ(target.lVal, 7);

    EXPECT_FALSE(destroyed);
    object->Release();
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

TEST(ComPtrHolder, HoldsExactlyOneReference)
{
    bool destroyed = false;
    auto* object = new CountedObject(&destroyed);
    {
        ComPtr<IUnknown> held(object);
        EXPECT_EQ(object->count(), 2u);
        ComPtr<IUnknown> copy = held;
        EXPECT_EQ(object->count(), 3u);
        ComPtr<IUnknown> moved = std::move(copy);
        EXPECT_FALSE(copy);
        EXPECT_EQ(object->count(), 3u);
        auto same = held.query<IUnknown>(IID_IUnknown);
        EXPECT_EQ(same.get(), object);
        EXPECT_EQ(object->count(), 4u);
        EXPECT_FALSE(held.query<IDispatch>(IID_IDispatch));
        EXPECT_EQ(object->count(), 4u);
        moved = held; // self-family assignment: one reference dropped, one taken
        EXPECT_EQ(object->count(), 4u);
    }
    EXPECT_EQ(object->count(), 1u);
    ComPtr<IUnknown> owner = ComPtr<IUnknown>::adopt(object);
    EXPECT_EQ(object->count(), 1u);
    owner.reset();
    EXPECT_TRUE(destroyed);
}

} // namespace
} // namespace pelu::com
