// Files of 2 GiB and more: the record's Length is a 32-bit field and stops at
// 2^31 - 1, but the ID3v1 tag is read from the file's real end. The files are
// sparse, so they take no disk space.
#include "hand_frames.h"
#include "mp3_fixtures.h"
#include "mpeginfo/mpeg_audio.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <limits>
#include <unistd.h>

namespace pelu::test {
namespace {

using mpeginfo::TMPEGAudio;

// Frames at the start, a decoy tag where a 31-bit length would look for one,
// and the real tag in the last 128 bytes of a file of `size_bytes`.
bool write_sparse_mp3(const std::filesystem::path& path, std::int64_t size_bytes)
{
    const Bytes stream = frames(frame_header(1, 3, 9, 0), 417, 8);
    const Bytes decoy = id3v1_tag("Wrong place", "Decoy", "", "", "", 1);
    const Bytes real = id3v1_tag("Real end", "Artist", "", "2024", "", 2);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        return false;
    const std::int64_t clamped_end = std::numeric_limits<std::int32_t>::max();
    const bool ok = ::ftruncate(fd, size_bytes) == 0 &&
                    ::pwrite(fd, stream.data(), stream.size(), 0) == ssize_t(stream.size()) &&
                    ::pwrite(fd, decoy.data(), decoy.size(), clamped_end - 128) == 128 &&
                    ::pwrite(fd, real.data(), real.size(), size_bytes - 128) == 128;
    ::close(fd);
    return ok;
}

TEST(LargeFiles, TheTagComesFromTheRealEndWhateverTheSize)
{
    TempDir dir;
    for (const std::int64_t size : {(std::int64_t(1) << 31) + 4096, (std::int64_t(1) << 32) + 300}) {
        const auto path = dir.file("big.mp3");
        if (!write_sparse_mp3(path, size))
            GTEST_SKIP() << "this file system cannot hold a sparse file of " << size << " bytes";
        TMPEGAudio record;
        record.SetAutoLoad(false);
        record.SetOnReadError({});
        record.SetFileName(QString::fromStdString(path.string()));
        ASSERT_EQ(record.Analyse(), 0) << size;
        EXPECT_EQ(record.TagId(), "TAG") << size;
        EXPECT_EQ(record.Title(), "Real end") << size;
        EXPECT_EQ(record.Artist(), "Artist") << size;
        EXPECT_EQ(record.Length(), std::numeric_limits<std::int32_t>::max()) << "the field keeps its clamp";
        EXPECT_EQ(record.BitRate(), 128);
        std::filesystem::remove(path);
    }
}

} // namespace
} // namespace pelu::test
