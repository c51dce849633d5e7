#include "platform/fs/file_names.h"

#include <cstdint>

namespace pelu::platform::fs {

namespace {

constexpr char16_t kEscapeBase = 0xDC00; // + the byte (0x80..0xFF): U+DC80..U+DCFF

// The length of the valid UTF-8 sequence at p (shortest form, no surrogates,
// at most U+10FFFF) and its code point; 0 when the byte there starts none.
int utf8_sequence(const unsigned char* p, qsizetype left, char32_t* code_point)
{
    const unsigned char b0 = p[0];
    int length;
    char32_t cp;
    char32_t minimum;
    if (b0 < 0x80) {
        *code_point = b0;
        return 1;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2, cp = b0 & 0x1F, minimum = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3, cp = b0 & 0x0F, minimum = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4, cp = b0 & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (left < length)
        return 0;
    for (int i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    *code_point = cp;
    return length;
}

} // namespace

QString decode_file_name(const QByteArray& bytes)
{
    QString out;
    out.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    const qsizetype size = bytes.size();
    for (qsizetype i = 0; i < size;) {
        char32_t cp = 0;
        const int length = utf8_sequence(p + i, size - i, &cp);
        if (length == 0) {
            out.append(QChar(char16_t(kEscapeBase + p[i])));
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            out.append(QChar(char16_t(0xD800 + ((cp - 0x10000) >> 10))));
            out.append(QChar(char16_t(0xDC00 + ((cp - 0x10000) & 0x3FF))));
        } else {
            out.append(QChar(char16_t(cp)));
        }
        i += length;
    }
    return out;
}

QString decode_file_name(const char* bytes)
{
    return decode_file_name(QByteArray(bytes ? bytes : ""));
}

QByteArray encode_file_name(const QString& name)
{
    QByteArray out;
    out.reserve(name.size());
    const qsizetype size = name.size();
    auto put = [&out](char32_t cp) {
        if (cp < 0x80) {
            out.append(char(cp));
        } else if (cp < 0x800) {
            out.append(char(0xC0 | (cp >> 6)));
            out.append(char(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.append(char(0xE0 | (cp >> 12)));
            out.append(char(0x80 | ((cp >> 6) & 0x3F)));
            out.append(char(0x80 | (cp & 0x3F)));
        } else {
            out.append(char(0xF0 | (cp >> 18)));
            out.append(char(0x80 | ((cp >> 12) & 0x3F)));
            out.append(char(0x80 | ((cp >> 6) & 0x3F)));
            out.append(char(0x80 | (cp & 0x3F)));
        }
    };
    for (qsizetype i = 0; i < size; ++i) {
        const char16_t u = name[i].unicode();
        if (u >= kEscapeBase + 0x80 && u <= kEscapeBase + 0xFF) {
            out.append(char(u - kEscapeBase));
        } else if (u >= 0xD800 && u <= 0xDBFF && i + 1 < size && name[i + 1].unicode() >= 0xDC00 &&
                   name[i + 1].unicode() <= 0xDFFF) {
            put(0x10000 + ((char32_t(u) - 0xD800) << 10) + (name[i + 1].unicode() - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            put(0xFFFD); // a lone surrogate that stands for no byte
        } else {
            put(u);
        }
    }
    return out;
}

QStringList decode_arguments(int argc, const char* const* argv)
{
    QStringList out;
    for (int i = 0; i < argc; ++i)
        out << decode_file_name(argv[i]);
    return out;
}

} // namespace pelu::platform::fs
