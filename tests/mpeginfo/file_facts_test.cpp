// The file-facts layer: packed DOS date/time, attribute bits, the regular-file
// check and the non-blocking open.
#include "files.h"
#include "platform/fs/file_facts.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <utime.h>

namespace pelu::test {
namespace {

namespace fs = pelu::platform::fs;


std::time_t local_time(int year, int month, int day, int hour, int minute, int second)
{
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

TEST(FileFacts, DosDateTimePacking)
{
    // 2003-07-15 13:45:36: date (23 << 9 | 7 << 5 | 15), time (13 << 11 | 45 << 5 | 18).
    const std::uint32_t packed = fs::dos_date_time(local_time(2003, 7, 15, 13, 45, 36));
    EXPECT_EQ(packed >> 16, (23u << 9) | (7u << 5) | 15u);
    EXPECT_EQ(packed & 0xFFFF, (13u << 11) | (45u << 5) | 18u);
    EXPECT_EQ(fs::from_dos_date_time(packed), QDateTime(QDate(2003, 7, 15), QTime(13, 45, 36)));
    // Odd seconds round down to the two-second step.
    EXPECT_EQ(fs::dos_date_time(local_time(2003, 7, 15, 13, 45, 37)), packed);
    // Before 1980 and after 2107: the ends of the range, never 0.
    EXPECT_EQ(fs::from_dos_date_time(fs::dos_date_time(local_time(1970, 1, 2, 0, 0, 0))),
              QDateTime(QDate(1980, 1, 1), QTime(0, 0)));
    EXPECT_EQ(fs::from_dos_date_time(fs::dos_date_time(local_time(2200, 1, 1, 0, 0, 0))),
              QDateTime(QDate(2107, 12, 31), QTime(23, 59, 58)));
    EXPECT_FALSE(fs::from_dos_date_time(0).isValid());
    EXPECT_FALSE(fs::from_dos_date_time(0x00010000).isValid()) << "month 0";
}

TEST(FileFacts, FromTheFile)
{
    TempDir dir;
    const auto path = dir.write("song.mp3", Bytes(1234, 1));
    const std::time_t when = local_time(2010, 3, 4, 5, 6, 8);
    struct utimbuf times = {when, when};
    ASSERT_EQ(::utime(path.c_str(), &times), 0);
    fs::FileFacts facts;
    ASSERT_TRUE(fs::file_facts(qpath(path), &facts));
    EXPECT_EQ(facts.size_bytes, 1234);
    EXPECT_EQ(facts.dos_date_time, fs::dos_date_time(when));
    EXPECT_EQ(facts.attributes & fs::kAttrArchive, fs::kAttrArchive);
    EXPECT_EQ(facts.attributes & (fs::kAttrHidden | fs::kAttrDirectory), 0u);

    const auto hidden = dir.write(".hidden.mp3", Bytes(10, 1));
    ASSERT_TRUE(fs::file_facts(qpath(hidden), &facts));
    EXPECT_EQ(facts.attributes & fs::kAttrHidden, fs::kAttrHidden);

    ASSERT_TRUE(fs::file_facts(qpath(dir.path()), &facts));
    EXPECT_EQ(facts.attributes & fs::kAttrDirectory, fs::kAttrDirectory);
    EXPECT_FALSE(fs::file_facts(qpath(dir.file("none")), &facts));

    // The same file system gives the same label, whatever it is here.
    fs::FileFacts other;
    ASSERT_TRUE(fs::file_facts(qpath(dir.write("other.mp3", Bytes(3, 1))), &other));
    EXPECT_EQ(other.volume_label, facts.volume_label);
    EXPECT_EQ(fs::short_path(qpath(path)), qpath(path));
}

TEST(FileFacts, ReadOnlyAttributeFollowsWritePermission)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root may write any file";
    TempDir dir;
    const auto path = dir.write("ro.mp3", Bytes(10, 1));
    std::filesystem::permissions(path, std::filesystem::perms::owner_read);
    fs::FileFacts facts;
    ASSERT_TRUE(fs::file_facts(qpath(path), &facts));
    EXPECT_EQ(facts.attributes & fs::kAttrReadOnly, fs::kAttrReadOnly);
}

TEST(FileFacts, KindsAndOpening)
{
    TempDir dir;
    const auto file = dir.write("f.mp3", Bytes(100, 7));
    const auto fifo = dir.file("fifo.mp3");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(fs::file_kind(qpath(file)), fs::FileKind::Regular);
    EXPECT_EQ(fs::file_kind(qpath(fifo)), fs::FileKind::Other);
    EXPECT_EQ(fs::file_kind("/dev/null"), fs::FileKind::Other);
    EXPECT_EQ(fs::file_kind(qpath(dir.path())), fs::FileKind::Other);
    EXPECT_EQ(fs::file_kind(qpath(dir.file("none"))), fs::FileKind::Missing);

    fs::ReadOnlyFile reader;
    EXPECT_EQ(reader.open(qpath(fifo)), -1) << "refused without waiting for a writer";
    EXPECT_FALSE(reader.is_open());
    EXPECT_EQ(reader.open(qpath(dir.file("none"))), ENOENT);
    ASSERT_EQ(reader.open(qpath(file)), 0);
    std::uint8_t buffer[64];
    EXPECT_EQ(reader.read_at(90, buffer, 64), 10);
    EXPECT_EQ(buffer[9], 7);
    EXPECT_EQ(reader.read_at(100, buffer, 4), 0);
    EXPECT_EQ(reader.read_at(-1, buffer, 4), -1);
}

} // namespace
} // namespace pelu::test
