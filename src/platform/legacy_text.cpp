#include "platform/legacy_text.h"

#include <array>
#include <cstdint>

namespace pelu::platform {

namespace {

// Windows-1252 bytes 0x80..0x9F; the five bytes the code page leaves undefined
// map to the control characters of the same value, as the platform does.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

bool utf8_scan(const unsigned char* p, qsizetype size, bool* multibyte)
{
    qsizetype i = 0;
    while (i < size) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        int extra = 0;
        std::uint32_t code = 0;
        std::uint32_t smallest = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            code = c & 0x1F;
            smallest = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            code = c & 0x0F;
            smallest = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            code = c & 0x07;
            smallest = 0x10000;
        } else {
            return false;
        }
        if (size - i <= extra)
            return false;
        for (int k = 1; k <= extra; ++k) {
            const unsigned char next = p[i + k];
            if ((next & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3F);
        }
        if (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        *multibyte = true;
        i += extra + 1;
    }
    return true;
}

} // namespace

bool is_valid_utf8(const char* data, qsizetype size)
{
    bool multibyte = false;
    return utf8_scan(reinterpret_cast<const unsigned char*>(data), size, &multibyte);
}

bool is_multibyte_utf8(const char* data, qsizetype size)
{
    bool multibyte = false;
    return utf8_scan(reinterpret_cast<const unsigned char*>(data), size, &multibyte) && multibyte;
}

QString decode_windows_1252(const char* data, qsizetype size)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    QString text(size, Qt::Uninitialized);
    QChar* out = text.data();
    for (qsizetype i = 0; i < size; ++i) {
        const unsigned char c = bytes[i];
        out[i] = (c >= 0x80 && c <= 0x9F) ? QChar(kCp1252High[c - 0x80]) : QChar(c);
    }
    return text;
}

QString decode_utf8_or_windows_1252(const char* data, qsizetype size)
{
    if (is_valid_utf8(data, size))
        return QString::fromUtf8(data, size);
    return decode_windows_1252(data, size);
}

} // namespace pelu::platform
