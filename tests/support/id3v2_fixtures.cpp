#include "id3v2_fixtures.h"

#include <zlib.h>

#include <algorithm>
#include <stdexcept>

namespace pelu::test {

namespace {

void put_be(Bytes& out, std::uint64_t value, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void put_syncsafe(Bytes& out, std::uint64_t value)
{
    for (int i = 3; i >= 0; --i)
        out.push_back(static_cast<std::uint8_t>((value >> (7 * i)) & 0x7F));
}

// UTF-8 to UTF-16 code units (the fixtures' texts are well formed).
std::u16string utf16_of(const std::string& utf8)
{
    std::u16string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        char32_t cp;
        int extra;
        if (c < 0x80) {
            cp = c, extra = 0;
        } else if (c < 0xE0) {
            cp = c & 0x1F, extra = 1;
        } else if (c < 0xF0) {
            cp = c & 0x0F, extra = 2;
        } else {
            cp = c & 0x07, extra = 3;
        }
        for (int k = 1; k <= extra; ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        i += 1 + extra;
        if (cp >= 0x10000) {
            out.push_back(char16_t(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(char16_t(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out.push_back(char16_t(cp));
        }
    }
    return out;
}

void put_text(Bytes& out, Id3Text encoding, const std::string& utf8)
{
    switch (encoding) {
    case Id3Text::Latin1:
        for (char16_t u : utf16_of(utf8))
            out.push_back(static_cast<std::uint8_t>(u <= 0xFF ? u : '?'));
        break;
    case Id3Text::Utf16Bom:
        out.push_back(0xFF); // little-endian byte order mark
        out.push_back(0xFE);
        for (char16_t u : utf16_of(utf8)) {
            out.push_back(static_cast<std::uint8_t>(u & 0xFF));
            out.push_back(static_cast<std::uint8_t>(u >> 8));
        }
        break;
    case Id3Text::Utf16Be:
        for (char16_t u : utf16_of(utf8)) {
            out.push_back(static_cast<std::uint8_t>(u >> 8));
            out.push_back(static_cast<std::uint8_t>(u & 0xFF));
        }
        break;
    case Id3Text::Utf8:
        out.insert(out.end(), utf8.begin(), utf8.end());
        break;
    }
}

void put_terminator(Bytes& out, Id3Text encoding)
{
    out.push_back(0);
    if (encoding == Id3Text::Utf16Bom || encoding == Id3Text::Utf16Be)
        out.push_back(0);
}

} // namespace

Bytes id3_text_body(Id3Text encoding, const std::vector<std::string>& values)
{
    Bytes out{static_cast<std::uint8_t>(encoding)};
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0)
            put_terminator(out, encoding);
        put_text(out, encoding, values[i]);
    }
    return out;
}

Bytes id3_picture_body(int major_version, const std::string& mime, std::uint8_t picture_type,
                       const std::string& description, const Bytes& data)
{
    Bytes out{0}; // Latin-1 description
    out.insert(out.end(), mime.begin(), mime.end());
    if (major_version > 2)
        out.push_back(0);
    out.push_back(picture_type);
    out.insert(out.end(), description.begin(), description.end());
    out.push_back(0);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

Bytes id3_compressed_zeros(int major_version, std::uint64_t zero_bytes)
{
    Bytes out;
    if (major_version == 3)
        put_be(out, zero_bytes, 4);
    else
        put_syncsafe(out, zero_bytes); // the data length indicator
    z_stream stream{};
    if (deflateInit(&stream, Z_BEST_COMPRESSION) != Z_OK)
        throw std::runtime_error("deflateInit failed");
    const Bytes zeros(1 << 20, 0);
    Bytes chunk(1 << 16);
    std::uint64_t left = zero_bytes;
    int flush = Z_NO_FLUSH;
    do {
        const std::uint64_t take = std::min<std::uint64_t>(left, zeros.size());
        left -= take;
        flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
        stream.next_in = const_cast<Bytef*>(zeros.data());
        stream.avail_in = static_cast<uInt>(take);
        do {
            stream.next_out = chunk.data();
            stream.avail_out = static_cast<uInt>(chunk.size());
            deflate(&stream, flush);
            out.insert(out.end(), chunk.begin(), chunk.end() - stream.avail_out);
        } while (stream.avail_out == 0);
    } while (flush != Z_FINISH);
    deflateEnd(&stream);
    return out;
}

Bytes id3_unsynchronise(const Bytes& bytes)
{
    Bytes out;
    out.reserve(bytes.size() + bytes.size() / 16);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        out.push_back(bytes[i]);
        if (bytes[i] == 0xFF && (i + 1 == bytes.size() || bytes[i + 1] == 0x00 || bytes[i + 1] >= 0xE0))
            out.push_back(0x00);
    }
    return out;
}

Bytes id3v2_tag(int major_version, const std::vector<Id3Frame>& frames, std::size_t padding_bytes,
                bool unsynchronised, long stated_tag_size)
{
    if (major_version < 2 || major_version > 4)
        throw std::invalid_argument("ID3v2 versions are 2.2, 2.3 and 2.4");
    Bytes body;
    for (const Id3Frame& frame : frames) {
        const Bytes content = unsynchronised && major_version == 4 ? id3_unsynchronise(frame.body) : frame.body;
        const std::uint64_t size = frame.stated_size >= 0 ? std::uint64_t(frame.stated_size) : content.size();
        body.insert(body.end(), frame.id.begin(), frame.id.end());
        if (major_version == 2) {
            put_be(body, size, 3);
        } else {
            if (major_version == 3)
                put_be(body, size, 4);
            else
                put_syncsafe(body, size);
            body.push_back(frame.status);
            body.push_back(frame.format);
        }
        body.insert(body.end(), content.begin(), content.end());
    }
    if (unsynchronised && major_version < 4)
        body = id3_unsynchronise(body);
    body.insert(body.end(), padding_bytes, 0);

    Bytes tag{'I', 'D', '3', static_cast<std::uint8_t>(major_version), 0,
              static_cast<std::uint8_t>(unsynchronised ? 0x80 : 0)};
    put_syncsafe(tag, stated_tag_size >= 0 ? std::uint64_t(stated_tag_size) : body.size());
    tag.insert(tag.end(), body.begin(), body.end());
    return tag;
}

namespace {
Bytes with_filler(Bytes head, std::size_t size_bytes, std::uint8_t seed)
{
    std::uint32_t state = 0x9E3779B9u * (seed + 1u);
    while (head.size() < size_bytes) {
        state = state * 1664525u + 1013904223u;
        head.push_back(static_cast<std::uint8_t>(state >> 24));
    }
    head.resize(size_bytes);
    return head;
}
} // namespace

Bytes fake_jpeg(std::size_t size_bytes, std::uint8_t seed)
{
    return with_filler({0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00}, size_bytes, seed);
}

Bytes fake_png(std::size_t size_bytes, std::uint8_t seed)
{
    return with_filler({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 'I', 'H', 'D', 'R'},
                       size_bytes, seed);
}

} // namespace pelu::test
