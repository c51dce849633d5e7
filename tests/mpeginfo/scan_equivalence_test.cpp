// The buffered frame search against a plain byte-by-byte walk of the same
// rules, on files where headers, chains of frames and the search limit fall
// on and around the read window's edges.
#include "hand_frames.h"
#include "mp3_fixtures.h"
#include "mpeginfo/mpeg_audio.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <random>

namespace pelu::test {
namespace {

// The only headers the files hold (their garbage has no 0xFF byte), keyed by
// their first three bytes (the fourth, which overlapping placements may
// change, never makes a header invalid), with their true frame lengths.
const std::map<std::uint32_t, int> kLengths = {
    {frame_header(1, 3, 9, 0) >> 8, 417},
    {frame_header(1, 3, 9, 0, true) >> 8, 418},
    {frame_header(2, 3, 8, 0) >> 8, 208},
    {frame_header(1, 1, 1, 1) >> 8, 32},
};
const std::uint32_t kInvalid = frame_header(1, 3, 15, 0);

std::optional<int> header_at(const Bytes& b, std::int64_t i)
{
    if (i < 0 || i + 4 > static_cast<std::int64_t>(b.size()))
        return std::nullopt;
    const std::uint32_t v = std::uint32_t(b[i]) << 16 | std::uint32_t(b[i + 1]) << 8 | b[i + 2];
    const auto it = kLengths.find(v);
    return it == kLengths.end() ? std::nullopt : std::optional<int>(it->second);
}

// One byte at a time, as the rules read: shift in a byte until a header
// decodes (stopping at the end or past the limit), confirm by the next frame,
// otherwise go on at the byte after the candidate.
std::int64_t byte_by_byte(const Bytes& b, std::int64_t limit)
{
    const auto n = static_cast<std::int64_t>(b.size());
    if (n <= 5)
        return -1;
    std::int64_t start = 0;
    for (;;) {
        if (start + 4 > n)
            return -1;
        std::int64_t i = start;
        std::int64_t position = start + 4;
        while (!header_at(b, i)) {
            if (position >= n || (limit != 0 && position > limit))
                return -1;
            ++i;
            ++position;
        }
        const std::int64_t end = i + *header_at(b, i);
        if (n - end > 0) {
            if (header_at(b, end))
                return i;
        } else if (position >= n || (limit != 0 && position > limit)) {
            return -1;
        }
        start = i + 1;
    }
}

TEST(ScanEquivalence, BufferedSearchFindsWhatAByteWalkFinds)
{
    TempDir dir;
    std::mt19937 random(20240611);
    const std::vector<std::uint32_t> headers = {frame_header(1, 3, 9, 0), frame_header(1, 3, 9, 0, true),
                                                frame_header(2, 3, 8, 0), frame_header(1, 1, 1, 1), kInvalid};
    const std::int64_t edges[] = {8192, 8192 + 65536, 8192 + 2 * 65536};
    int accepted = 0;
    for (int round = 0; round < 160; ++round) {
        const std::size_t size = std::uniform_int_distribution<std::size_t>(6, 160000)(random);
        Bytes file = garbage(size, static_cast<std::uint32_t>(round + 1));
        const int placements = std::uniform_int_distribution<int>(0, 12)(random);
        for (int p = 0; p < placements; ++p) {
            // Near a window edge, near the end, or anywhere.
            std::int64_t at;
            switch (std::uniform_int_distribution<int>(0, 2)(random)) {
            case 0: at = edges[random() % 3] + std::uniform_int_distribution<int>(-500, 8)(random); break;
            case 1: at = static_cast<std::int64_t>(size) - std::uniform_int_distribution<int>(4, 900)(random); break;
            default: at = std::uniform_int_distribution<std::int64_t>(0, static_cast<std::int64_t>(size))(random); break;
            }
            const std::uint32_t h = headers[random() % headers.size()];
            const int chain = std::uniform_int_distribution<int>(1, 3)(random);
            for (int c = 0; c < chain; ++c) {
                const std::int64_t spot = at + c * (kLengths.count(h >> 8) ? kLengths.at(h >> 8) : 417);
                if (spot >= 0 && spot + 4 <= static_cast<std::int64_t>(size))
                    put_be32(file, static_cast<std::size_t>(spot), h);
            }
        }
        std::int64_t limit = 0;
        if (round % 3 == 1)
            limit = std::uniform_int_distribution<std::int64_t>(1, static_cast<std::int64_t>(size))(random);
        if (round % 3 == 2)
            limit = edges[random() % 3] + std::uniform_int_distribution<int>(-4, 4)(random);

        mpeginfo::TMPEGAudio record;
        record.SetAutoLoad(false);
        record.SetOnReadError({});
        record.SetSearchLimit(static_cast<std::int32_t>(limit));
        if (round % 2)
            record.SetProcessMessages([] {}); // slices the scan at every 300 bytes
        record.SetFileName(QString::fromStdString(dir.write("scan.mp3", file).string()));
        const int result = record.Analyse();
        const std::int64_t expected = byte_by_byte(file, limit);
        SCOPED_TRACE("round " + std::to_string(round) + " size " + std::to_string(size) + " limit "
                     + std::to_string(limit));
        ASSERT_EQ(result == 0 ? std::int64_t(record.FirstFramePos()) : -1, expected);
        accepted += result == 0;
    }
    EXPECT_GT(accepted, 40) << "the files exercise the accepting path too";
    EXPECT_LT(accepted, 150) << "and the refusing one";
}

} // namespace
} // namespace pelu::test
