// Fuzzes the ID3v2 reader. The first byte picks how the rest becomes a file:
//   0: the bytes as they are (leading junk, broken headers, any tag at all);
//   1: a tag header (version and flags from the next two bytes, the size
//      right) in front of the bytes;
//   2, 3: a tag of well-formed frames built from the bytes: each frame takes
//      a frame name from a list of the ones TagLib parses, flags and a size,
//      then its content, so mutations reach the frame parsers behind a header
//      that holds.
// Besides the sanitizers, after every read: the texts and the cover stay
// within their limits, a cover comes with its type, a file without a tag
// gives nothing, reading texts only gives the same texts, and a cover goes
// into the cache as exactly its bytes.
#include "fuzz/fuzz_files.h"
#include "mpeginfo/id3v2_tags.h"

#include <QFile>
#include <QString>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <iterator>
#include <unistd.h>
#include <vector>

namespace {

using pelu::mpeginfo::Id3v2Parts;
using pelu::mpeginfo::Id3v2Tags;

std::string g_path;
using Bytes = std::vector<std::uint8_t>;

void check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

void put_size(Bytes& out, std::uint32_t value, int version)
{
    if (version == 2) {
        out.push_back(std::uint8_t(value >> 16));
        out.push_back(std::uint8_t(value >> 8));
        out.push_back(std::uint8_t(value));
    } else if (version == 3) {
        for (int i = 3; i >= 0; --i)
            out.push_back(std::uint8_t(value >> (8 * i)));
    } else {
        for (int i = 3; i >= 0; --i)
            out.push_back(std::uint8_t((value >> (7 * i)) & 0x7F));
    }
}

Bytes tag_header(int version, std::uint8_t flags, std::uint32_t size)
{
    Bytes out{'I', 'D', '3', std::uint8_t(version), 0, flags};
    for (int i = 3; i >= 0; --i)
        out.push_back(std::uint8_t((size >> (7 * i)) & 0x7F));
    return out;
}

// Frames TagLib gives classes of their own, and a few it keeps raw.
const char* const kFrames4[] = {"TPE1", "TIT2", "TALB", "APIC", "TXXX", "COMM", "CHAP", "CTOC", "PRIV", "GEOB",
                                "UFID", "USLT", "SYLT", "POPM", "RVA2", "WXXX", "WOAR", "TCON", "OWNE", "ETCO",
                                "PCNT", "EQU2", "TDRC", "TIPL", "MVNM", "GRP1", "TPE2", "XJNK"};
const char* const kFrames2[] = {"TP1", "TT2", "TAL", "PIC", "TXX", "COM", "ULT", "SLT", "POP", "WXX",
                                "TCO", "UFI", "CNT", "ETC", "TP2", "XJN"};

// A tag of frames built from `data`: per frame one byte for the name, two
// flag bytes (2.3/2.4), two size bytes, then that much content.
Bytes framed_tag(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return {};
    const int version = 2 + data[0] % 3;
    const std::uint8_t tag_flags = data[1] & 0xC0; // unsynchronisation, extended header
    Bytes frames;
    std::size_t i = 2;
    while (i + 5 <= size) {
        const std::uint8_t pick = data[i];
        const std::string id = version == 2 ? kFrames2[pick % std::size(kFrames2)] : kFrames4[pick % std::size(kFrames4)];
        const std::uint8_t status = data[i + 1], format = data[i + 2];
        const std::size_t length = std::min<std::size_t>((std::size_t(data[i + 3]) << 8) | data[i + 4], size - i - 5);
        i += 5;
        frames.insert(frames.end(), id.begin(), id.end());
        put_size(frames, std::uint32_t(length), version);
        if (version > 2) {
            frames.push_back(status);
            frames.push_back(format);
        }
        frames.insert(frames.end(), data + i, data + i + length);
        i += length;
    }
    Bytes out = tag_header(version, tag_flags, std::uint32_t(frames.size()));
    out.insert(out.end(), frames.begin(), frames.end());
    return out;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const std::string dir = pelu::fuzz::make_fuzz_folder("pelu-id3v2-fuzz");
    g_path = dir + "/tagged.mp3";
    qputenv("XDG_CACHE_HOME", QByteArray::fromStdString(dir + "/cache"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    Bytes file;
    switch (data[0] % 4) {
    case 0:
        file.assign(data + 1, data + size);
        break;
    case 1:
        if (size >= 3) {
            file = tag_header(2 + data[1] % 3, data[2], std::uint32_t(size - 3));
            file.insert(file.end(), data + 3, data + size);
        }
        break;
    default:
        file = framed_tag(data + 1, size - 1);
        break;
    }
    // A few bytes of an MPEG frame header after the tag, as in a real file.
    const Bytes frame{0xFF, 0xFB, 0x90, 0x64, 0x00, 0x00, 0x00, 0x00};
    file.insert(file.end(), frame.begin(), frame.end());
    pelu::fuzz::write_whole_file(g_path, file.data(), file.size());

    const QString path = QString::fromStdString(g_path);
    const Id3v2Tags tags = pelu::mpeginfo::ReadId3v2Tags(path);
    check(tags.artist.size() <= pelu::mpeginfo::kMaxId3v2TextChars && tags.title.size() <= pelu::mpeginfo::kMaxId3v2TextChars &&
              tags.album.size() <= pelu::mpeginfo::kMaxId3v2TextChars,
          "texts within their limit");
    check(tags.cover.size() <= pelu::mpeginfo::kMaxCoverBytes, "cover within its limit");
    check(tags.cover.isEmpty() == tags.cover_mime.isEmpty(), "a cover comes with its type");
    check(tags.cover_mime.isEmpty() || tags.cover_mime.startsWith(QLatin1String("image/")), "the type is an image's");
    if (!tags.present)
        check(tags.artist.isEmpty() && tags.title.isEmpty() && tags.album.isEmpty() && tags.cover.isEmpty(),
              "no tag, nothing read");

    const Id3v2Tags texts = pelu::mpeginfo::ReadId3v2Tags(path, Id3v2Parts::TextsOnly);
    check(texts.present == tags.present && texts.artist == tags.artist && texts.title == tags.title &&
              texts.album == tags.album && texts.cover.isEmpty(),
          "texts only: the same texts and no picture");

    if (!tags.cover.isEmpty()) {
        const QString cached = pelu::mpeginfo::CachedCoverFile(tags);
        check(!cached.isEmpty(), "a cover is cached");
        QFile file_in_cache(cached);
        check(file_in_cache.open(QIODevice::ReadOnly) && file_in_cache.readAll() == tags.cover,
              "the cached file is the cover");
        file_in_cache.remove(); // keep the cache folder small
    }
    return 0;
}
