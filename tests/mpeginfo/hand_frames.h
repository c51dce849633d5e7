// Hand-built MPEG streams for the reader's edge cases: exact frame headers,
// sizes and Xing headers that an encoder would not produce on demand.
#pragma once

#include "mp3_fixtures.h"

#include <cstdint>
#include <string>

namespace pelu::test {

// A frame header: version 1, 2 or 3 (2.5); layer 1..3; indexes as in the stream.
inline std::uint32_t frame_header(int version, int layer, int bit_rate_index, int sample_rate_index,
                                  bool padding = false, int mode = 0, bool crc = false)
{
    const std::uint32_t version_bits = version == 1 ? 3 : version == 2 ? 2 : 0;
    std::uint32_t v = 0xFFE00000u | version_bits << 19 | std::uint32_t(4 - layer) << 17 | (crc ? 0u : 1u) << 16;
    v |= std::uint32_t(bit_rate_index) << 12 | std::uint32_t(sample_rate_index) << 10;
    v |= (padding ? 1u : 0u) << 9 | std::uint32_t(mode) << 6;
    return v;
}

inline void put_be32(Bytes& out, std::size_t at, std::uint32_t v)
{
    if (out.size() < at + 4)
        out.resize(at + 4);
    out[at] = std::uint8_t(v >> 24);
    out[at + 1] = std::uint8_t(v >> 16);
    out[at + 2] = std::uint8_t(v >> 8);
    out[at + 3] = std::uint8_t(v);
}

// `count` frames of `frame_bytes` each (zero payload), each starting with `header`.
inline Bytes frames(std::uint32_t header, std::size_t frame_bytes, std::size_t count)
{
    Bytes out(frame_bytes * count, 0);
    for (std::size_t i = 0; i < count; ++i)
        put_be32(out, i * frame_bytes, header);
    return out;
}

// Pads or cuts to exactly `size_bytes`, continuing the frame pattern so every
// frame start inside stays a header.
inline Bytes frames_to_size(std::uint32_t header, std::size_t frame_bytes, std::size_t size_bytes)
{
    Bytes out = frames(header, frame_bytes, size_bytes / frame_bytes + 1);
    out.resize(size_bytes);
    return out;
}

// Writes a Xing header with a frame count into the first frame of `stream`.
inline void put_xing(Bytes& stream, std::size_t frame_start, std::size_t offset, std::uint32_t frame_count,
                     std::uint32_t flags = 1)
{
    const char* id = "Xing";
    for (int i = 0; i < 4; ++i)
        stream[frame_start + offset + i] = std::uint8_t(id[i]);
    put_be32(stream, frame_start + offset + 4, flags);
    if (flags & 1)
        put_be32(stream, frame_start + offset + 8, frame_count);
}

} // namespace pelu::test
