#include "platform/com/com.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace pelu::com {

std::string hresult_text(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(static_cast<std::uint32_t>(hr)));
    return text;
}

// ---- GUID text ---------------------------------------------------------------

std::string guid_to_string(const GUID& guid)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                  guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

namespace {

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Reads `digits` hex digits at `pos`; false when any is not a hex digit.
bool read_hex(std::string_view text, std::size_t pos, int digits, std::uint32_t& value)
{
    value = 0;
    for (int i = 0; i < digits; ++i) {
        const int d = hex_digit(text[pos + static_cast<std::size_t>(i)]);
        if (d < 0)
            return false;
        value = value << 4 | static_cast<std::uint32_t>(d);
    }
    return true;
}

} // namespace

std::optional<GUID> guid_from_string(std::string_view text)
{
    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}: 38 characters.
    if (text.size() != 38 || text.front() != '{' || text.back() != '}' || text[9] != '-' || text[14] != '-' ||
        text[19] != '-' || text[24] != '-')
        return std::nullopt;
    GUID guid;
    std::uint32_t v = 0;
    if (!read_hex(text, 1, 8, v))
        return std::nullopt;
    guid.Data1 = v;
    if (!read_hex(text, 10, 4, v))
        return std::nullopt;
    guid.Data2 = static_cast<std::uint16_t>(v);
    if (!read_hex(text, 15, 4, v))
        return std::nullopt;
    guid.Data3 = static_cast<std::uint16_t>(v);
    static constexpr std::size_t byte_pos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!read_hex(text, byte_pos[i], 2, v))
            return std::nullopt;
        guid.Data4[i] = static_cast<std::uint8_t>(v);
    }
    return guid;
}

// ---- BSTR --------------------------------------------------------------------

// Layout: a 32-bit count of bytes, then the characters, then a zero character.
BSTR SysAllocStringLen(const char16_t* text, std::uint32_t length)
{
    if (length > (std::numeric_limits<std::uint32_t>::max() - 8) / sizeof(char16_t))
        return nullptr;
    const std::size_t bytes = sizeof(std::uint32_t) + (std::size_t(length) + 1) * sizeof(char16_t);
    auto* block = static_cast<unsigned char*>(std::malloc(bytes));
    if (!block)
        return nullptr;
    const std::uint32_t byte_count = length * static_cast<std::uint32_t>(sizeof(char16_t));
    std::memcpy(block, &byte_count, sizeof byte_count);
    auto* chars = reinterpret_cast<char16_t*>(block + sizeof(std::uint32_t));
    if (text)
        std::memcpy(chars, text, length * sizeof(char16_t));
    else
        std::memset(chars, 0, length * sizeof(char16_t));
    chars[length] = 0;
    return chars;
}

BSTR SysAllocString(const char16_t* text)
{
    if (!text)
        return nullptr;
    std::uint32_t length = 0;
    while (text[length])
        ++length;
    return SysAllocStringLen(text, length);
}

void SysFreeString(BSTR text)
{
    if (text)
        std::free(reinterpret_cast<unsigned char*>(text) - sizeof(std::uint32_t));
}

std::uint32_t SysStringLen(BSTR text)
{
    if (!text)
        return 0;
    std::uint32_t byte_count = 0;
    std::memcpy(&byte_count, reinterpret_cast<unsigned char*>(text) - sizeof(std::uint32_t), sizeof byte_count);
    return byte_count / static_cast<std::uint32_t>(sizeof(char16_t));
}

std::u16string_view bstr_view(BSTR text)
{
    return text ? std::u16string_view(text, SysStringLen(text)) : std::u16string_view();
}

BSTR bstr_from_utf8(std::string_view text)
{
    std::u16string wide;
    wide.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::uint32_t code = 0xFFFD;
        int extra = 0;
        if (c < 0x80) {
            code = c;
        } else if ((c & 0xE0) == 0xC0) {
            code = c & 0x1F;
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            code = c & 0x0F;
            extra = 2;
        } else if ((c & 0xF8) == 0xF0) {
            code = c & 0x07;
            extra = 3;
        } else {
            ++i;
            wide.push_back(u'\uFFFD');
            continue;
        }
        ++i;
        bool ok = true;
        for (int k = 0; k < extra; ++k, ++i) {
            if (i >= text.size() || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            code = code << 6 | (static_cast<unsigned char>(text[i]) & 0x3F);
        }
        if (!ok || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            code = 0xFFFD;
        if (code >= 0x10000) {
            code -= 0x10000;
            wide.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            wide.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            wide.push_back(static_cast<char16_t>(code));
        }
    }
    return SysAllocStringLen(wide.data(), static_cast<std::uint32_t>(wide.size()));
}

std::string bstr_to_utf8(BSTR text)
{
    const std::u16string_view wide = bstr_view(text);
    std::string out;
    out.reserve(wide.size());
    for (std::size_t i = 0; i < wide.size(); ++i) {
        std::uint32_t code = wide[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
            ++i;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD; // a lone surrogate
        }
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | code >> 6));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | code >> 12));
            out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | code >> 18));
            out.push_back(static_cast<char>(0x80 | (code >> 12 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return out;
}

// ---- VARIANT -----------------------------------------------------------------

void VariantInit(VARIANT* variant)
{
    if (!variant)
        return;
    variant->vt = VT_EMPTY;
    variant->wReserved1 = variant->wReserved2 = variant->wReserved3 = 0;
    variant->llVal = 0;
}

HRESULT VariantClear(VARIANT* variant)
{
    if (!variant)
        return E_INVALIDARG;
    switch (variant->vt) {
    case VT_BSTR:
        SysFreeString(variant->bstrVal);
        break;
    case VT_DISPATCH:
        if (variant->pdispVal)
            variant->pdispVal->Release();
        break;
    case VT_UNKNOWN:
        if (variant->punkVal)
            variant->punkVal->Release();
        break;
    default:
        break; // plain values and VT_BYREF own nothing
    }
    VariantInit(variant);
    return S_OK;
}

HRESULT VariantCopy(VARIANT* target, const VARIANT* source)
{
    if (!target || !source)
        return E_INVALIDARG;
    if (target == source)
        return S_OK;
    VariantClear(target);
    *target = *source;
    switch (source->vt) {
    case VT_BSTR:
        if (source->bstrVal) {
            target->bstrVal = SysAllocStringLen(source->bstrVal, SysStringLen(source->bstrVal));
            if (!target->bstrVal) {
                VariantInit(target);
                return E_OUTOFMEMORY;
            }
        }
        break;
    case VT_DISPATCH:
        if (source->pdispVal)
            source->pdispVal->AddRef();
        break;
    case VT_UNKNOWN:
        if (source->punkVal)
            source->punkVal->AddRef();
        break;
    default:
        break;
    }
    return S_OK;
}

} // namespace pelu::com
