// The scrambling of chosen values: a value's type and data XORed with the
// storage's key word by word and kept as unpadded base64 text.
#include "settings/storage.h"

#include <cstring>

namespace pelu {

namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

QByteArray base64_encode_unpadded(const QByteArray& in)
{
    QByteArray out;
    const auto* p = reinterpret_cast<const std::uint8_t*>(in.constData());
    const qsizetype n = in.size();
    qsizetype i = 0;
    for (; i + 3 <= n; i += 3) {
        const std::uint32_t w = (p[i] << 16) | (p[i + 1] << 8) | p[i + 2];
        out += kBase64[(w >> 18) & 63];
        out += kBase64[(w >> 12) & 63];
        out += kBase64[(w >> 6) & 63];
        out += kBase64[w & 63];
    }
    if (n - i == 1) {
        const std::uint32_t w = p[i] << 16;
        out += kBase64[(w >> 18) & 63];
        out += kBase64[(w >> 12) & 63];
    } else if (n - i == 2) {
        const std::uint32_t w = (p[i] << 16) | (p[i + 1] << 8);
        out += kBase64[(w >> 18) & 63];
        out += kBase64[(w >> 12) & 63];
        out += kBase64[(w >> 6) & 63];
    }
    return out;
}

// Empty on any character outside the alphabet or a last group of one character.
QByteArray base64_decode_unpadded(const QByteArray& in)
{
    QByteArray out;
    std::uint32_t acc = 0;
    int bits = 0;
    for (char c : in) {
        const char* at = std::strchr(kBase64, c);
        if (c == 0 || !at)
            return {};
        acc = (acc << 6) | std::uint32_t(at - kBase64);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += char((acc >> bits) & 0xFF);
        }
    }
    if (in.size() % 4 == 1)
        return {};
    return out;
}

void xor_words(QByteArray& bytes, std::int32_t key)
{
    while (bytes.size() % 4 != 0)
        bytes.append('\0');
    const auto k = std::uint32_t(key);
    for (qsizetype i = 0; i < bytes.size(); i += 4) {
        for (int b = 0; b < 4; ++b)
            bytes[i + b] = char(std::uint8_t(bytes[i + b]) ^ std::uint8_t(k >> (8 * b)));
    }
}

} // namespace

// ---------------------------------------------------------------------------
// Scrambling

TrsValue TrsScrambleValue(const TrsValue& value, std::int32_t encrypt_id)
{
    const std::uint16_t t = value.Type();
    QByteArray b;
    b.append(char(t & 0xFF));
    b.append(char(t >> 8));
    qsizetype length;
    if (t == rvString || t == rvBinary) {
        b.append(value.Bytes());
        length = value.Bytes().size();
    } else {
        b.append(reinterpret_cast<const char*>(value.Data().data()), 8);
        length = 8;
    }
    xor_words(b, encrypt_id);
    const QByteArray text = base64_encode_unpadded(b.left(length + 2));
    return t == rvBinary ? TrsValue::Binary(text) : TrsValue::StringBytes(text);
}

std::optional<TrsValue> TrsUnscrambleValue(const TrsValue& value, std::int32_t encrypt_id)
{
    if (value.Type() != rvString && value.Type() != rvBinary)
        return std::nullopt;
    QByteArray b = base64_decode_unpadded(value.Bytes());
    if (b.isEmpty())
        return std::nullopt;
    const qsizetype length = b.size();
    xor_words(b, encrypt_id);
    if (length < 2)
        return std::nullopt;
    const std::uint16_t t = std::uint16_t(std::uint8_t(b[0]) | (std::uint8_t(b[1]) << 8));
    if (t >= kTrsTypeCount)
        return std::nullopt;
    if (t == rvString)
        return TrsValue::StringBytes(b.mid(2, length - 2));
    if (t == rvBinary)
        return TrsValue::Binary(b.mid(2, length - 2));
    // A fixed-size type needs its 8 data bytes; shorter text is not a scrambled
    // value (reading past it would make a value out of padding).
    if (length < 10)
        return std::nullopt;
    std::array<std::uint8_t, 8> data{};
    std::memcpy(data.data(), b.constData() + 2, 8);
    return TrsValue::FromData(t, data);
}

} // namespace pelu
