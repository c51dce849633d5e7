// ID3v2 tags built byte by byte, in each version's own layout (2.2, 2.3,
// 2.4), so tests control what a reader meets: text encodings, pictures,
// unsynchronisation, compression and sizes that lie.
// Thread: any; every function is self-contained.
#pragma once

#include "mp3_fixtures.h"

#include <cstdint>
#include <string>
#include <vector>

namespace pelu::test {

// The text encoding byte of ID3v2 text and picture frames.
enum class Id3Text : std::uint8_t { Latin1 = 0, Utf16Bom = 1, Utf16Be = 2, Utf8 = 3 };

struct Id3Frame {
    std::string id;            // 3 characters for version 2.2, 4 for 2.3 and 2.4
    Bytes body;                // the frame's content as it is stored (before unsynchronisation)
    std::uint8_t status = 0;   // first flag byte (2.3/2.4)
    std::uint8_t format = 0;   // second flag byte (2.3/2.4): compression, encryption, ...
    long stated_size = -1;     // the size the header states; -1 for the body's real size
};

// A text frame body: the encoding byte and the values (UTF-8 in `values`),
// values separated by a zero character as version 2.4 separates them.
Bytes id3_text_body(Id3Text encoding, const std::vector<std::string>& values);
// An attached picture body. For version 2.2 `mime` is the 3-letter format ("JPG").
Bytes id3_picture_body(int major_version, const std::string& mime, std::uint8_t picture_type,
                       const std::string& description, const Bytes& data);
// Deflate (zlib) of `zero_bytes` zero bytes, for a compressed frame: with the
// 4-byte size that versions 2.3 and 2.4 put before compressed data.
Bytes id3_compressed_zeros(int major_version, std::uint64_t zero_bytes);

// The whole tag: header, frames, `padding_bytes` zero bytes. With
// `unsynchronised`, the header's flag is set and the frames' bytes are
// unsynchronised (the whole tag for 2.3, each frame's content for 2.4).
// `stated_tag_size` >= 0 makes the header state that size instead.
Bytes id3v2_tag(int major_version, const std::vector<Id3Frame>& frames, std::size_t padding_bytes = 0,
                bool unsynchronised = false, long stated_tag_size = -1);

// Inserts 0x00 after every 0xFF that is followed by 0x00 or a byte >= 0xE0,
// and after a final 0xFF.
Bytes id3_unsynchronise(const Bytes& bytes);

// Bytes that begin as a JPEG or PNG file does (enough for a reader that looks
// at the first bytes), then `size_bytes` in all of deterministic filler.
Bytes fake_jpeg(std::size_t size_bytes, std::uint8_t seed = 1);
Bytes fake_png(std::size_t size_bytes, std::uint8_t seed = 1);

} // namespace pelu::test
