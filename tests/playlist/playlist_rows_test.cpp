// Playlist rows: row and time texts, the files "Load Files" takes, and the
// rows it builds for real synthesised MP3s, including unreadable files and
// each answer of the read-error dialog.
#include "playlist/playlist_rows.h"
#include "platform/fs/file_names.h"

#include "audio/mpeg.h"
#include "mp3_fixtures.h"
#include "platform/time_text.h"

#include <gtest/gtest.h>

#include <QDir>

namespace pelu::player {
namespace {

namespace fs = std::filesystem;
using mpeginfo::TMPEGAudio;
using mpeginfo::TMPEGAudioList;

using test::qpath;

// The duration column and the time display share one time text.
TEST(PlaylistTimeText, ThreeFormatsByMagnitude)
{
    EXPECT_EQ(platform::time_text_ms(0), QStringLiteral("0:00.000"));
    EXPECT_EQ(platform::time_text_ms(187250), QStringLiteral("3:07.250"));
    EXPECT_EQ(platform::time_text_ms(179990), QStringLiteral("2:59.990"));
    EXPECT_EQ(platform::time_text_ms(3599999), QStringLiteral("59:59.999"));
    EXPECT_EQ(platform::time_text_ms(3600000), QStringLiteral("1:00:00.000"));
    EXPECT_EQ(platform::time_text_ms(3723004), QStringLiteral("1:02:03.004"));
    EXPECT_EQ(platform::time_text_ms(86399999), QStringLiteral("23:59:59.999"));
    EXPECT_EQ(platform::time_text_ms(86400000), QStringLiteral("1:00:00:00.000"));
    EXPECT_EQ(platform::time_text_ms(90061001), QStringLiteral("1:01:01:01.001"));
    // Widened to 64 bits: beyond what 32 bits of milliseconds hold.
    EXPECT_EQ(platform::time_text_ms(std::int64_t(30) * 86400000 + 5), QStringLiteral("30:00:00:00.005"));
    EXPECT_EQ(platform::time_text_ms(-250), QStringLiteral("0:00.000"));
}

TEST(PlaylistRowText, NameWithoutFolderAndLastExtension)
{
    EXPECT_EQ(RowText(3, QStringLiteral("/music/Intro.mp3")), QStringLiteral("3. Intro"));
    EXPECT_EQ(RowName(QStringLiteral("/music/my.song.mp3")), QStringLiteral("my.song"));
    EXPECT_EQ(RowText(1, QStringLiteral("/music/.mp3")), QStringLiteral("1. "));
    EXPECT_EQ(RowName(QStringLiteral("/music.d/README")), QStringLiteral("README"));
    EXPECT_EQ(RowName(QStringLiteral("plain")), QStringLiteral("plain"));
    EXPECT_EQ(RowText(12, QStringLiteral("/a/SONG.MP3")), QStringLiteral("12. SONG"));
}

TEST(PlaylistFileChoice, Mp3ExtensionInAnyLetterCase)
{
    for (const char* yes : {"/m/a.mp3", "/m/SONG.MP3", "/m/x.Mp3", "/m/.mp3", "rel/my.song.mP3"})
        EXPECT_TRUE(HasMp3Extension(QString::fromUtf8(yes))) << yes;
    for (const char* no : {"/m/a.mp3.txt", "/m/mp3", "/m/a.mp4", "/m.mp3/file", "/m/a.mp"})
        EXPECT_FALSE(HasMp3Extension(QString::fromUtf8(no))) << no;
    EXPECT_EQ(Mp3FilesOf({QStringLiteral("/m/SONG.MP3"), QStringLiteral("/m/b.wav"), QStringLiteral("/m/a.mp3")}),
              (QStringList{QStringLiteral("/m/SONG.MP3"), QStringLiteral("/m/a.mp3")}));
}

// The band's scratch list and decoder component, and a folder of fixtures.
class RowBuilder : public ::testing::Test {
protected:
    void SetUp() override
    {
        const test::Bytes two_seconds = test::encode_mp3(test::cbr128_stereo_44k(2.0));
        const test::Bytes one_second = test::encode_mp3(test::mpeg2_mono_22k(1.0));
        plain_ = dir_.write("Plain.mp3", two_seconds);
        tagged_ = dir_.write("my.song.MP3", test::append_id3v1(one_second,
                                                                test::id3v1_tag("Title", "The Artist  ", "Album",
                                                                                "2001", "", 17)));
        garbage_ = dir_.write("garbage.mp3", test::garbage(4000));
    }

    static int ms_of(const PlaylistRow& row) { return row.columns.value(kColumnDurationMs).toInt(); }

    test::TempDir dir_;
    fs::path plain_, tagged_, garbage_;
    TMPEGAudioList scratch_;
    TMMMPEGFile mpegfile_;
};

TEST_F(RowBuilder, RowsCarryTextsArtistTimesAndKeys)
{
    const auto rows = BuildRowsForFiles({qpath(plain_), qpath(tagged_)}, 4, scratch_, mpegfile_);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].text, QStringLiteral("5. Plain"));
    EXPECT_EQ(rows[1].text, QStringLiteral("6. my.song"));
    for (const PlaylistRow& row : rows) {
        EXPECT_EQ(row.columns.size(), kPlaylistColumnCount);
        EXPECT_EQ(row.image_index, -1);
        EXPECT_FALSE(row.selected);
        EXPECT_EQ(row.columns[kColumnDuration], platform::time_text_ms(ms_of(row)));
        EXPECT_EQ(row.columns[kColumnDeleteMark], QString());
    }
    EXPECT_EQ(rows[0].columns[kColumnArtist], QStringLiteral("[notag]"));
    EXPECT_EQ(rows[1].columns[kColumnArtist], QStringLiteral("The Artist")); // trailing blanks trimmed
    EXPECT_EQ(rows[0].columns[kColumnPath], qpath(plain_));
    EXPECT_EQ(rows[0].columns[kColumnKey], QStringLiteral("4"));
    EXPECT_EQ(rows[1].columns[kColumnKey], QStringLiteral("5"));
    // Each row has its own file's length (the decoder's count, within a frame or two).
    EXPECT_NEAR(ms_of(rows[0]), 2000, 60);
    EXPECT_NEAR(ms_of(rows[1]), 1000, 110);
    // The decoder component is left holding the last file, as the band's is.
    EXPECT_EQ(mpegfile_.FileName(), qpath(tagged_));
}

TEST_F(RowBuilder, RelativePathsBecomeAbsolute)
{
    const QString before = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(qpath(dir_.path())));
    const auto rows = BuildRowsForFiles({QStringLiteral("Plain.mp3")}, 0, scratch_, mpegfile_);
    QDir::setCurrent(before);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].columns[kColumnPath], qpath(plain_));
    EXPECT_EQ(rows[0].text, QStringLiteral("1. Plain"));
}

TEST_F(RowBuilder, RelativeNamesKeepTheirBytesAndLoseTheirDotSteps)
{
    // A Latin-1 name (bytes E9 74 E9) given relative to the current folder,
    // as `pelu playlist make` and Load Files give names, and ".." steps.
    fs::create_directory(dir_.path() / "sub");
    const fs::path latin1 = dir_.write("\xE9t\xE9.mp3", test::encode_mp3(test::cbr128_stereo_44k(1.0)));
    const QString before = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(qpath(dir_.path() / "sub")));
    const auto rows = BuildRowsForFiles({platform::fs::decode_file_name(QByteArray("../\xE9t\xE9.mp3")),
                                         QStringLiteral("../sub/../Plain.mp3"), qpath(dir_.path() / "sub/../Plain.mp3")},
                                        0, scratch_, mpegfile_);
    QDir::setCurrent(before);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(platform::fs::encode_file_name(rows[0].columns[kColumnPath]), QByteArray::fromStdString(latin1.string()));
    EXPECT_NEAR(ms_of(rows[0]), 1000, 60);
    EXPECT_EQ(rows[1].columns[kColumnPath], qpath(plain_));
    EXPECT_EQ(rows[2].columns[kColumnPath], qpath(plain_));
}

TEST_F(RowBuilder, UnreadableFilesAskAndIgnoreOrCancelLeavesThemOut)
{
    for (int answer : {mpeginfo::idIgnore, mpeginfo::idCancel}) {
        QStringList asked;
        const auto rows = BuildRowsForFiles(
            {qpath(plain_), qpath(garbage_), qpath(dir_.file("missing.mp3")), qpath(tagged_)}, 0, scratch_,
            mpegfile_, [&](TMPEGAudio& record) {
                asked << record.FileName();
                return answer;
            });
        EXPECT_EQ(asked, (QStringList{qpath(garbage_), qpath(dir_.file("missing.mp3"))})) << answer;
        ASSERT_EQ(rows.size(), 2u);
        EXPECT_EQ(rows[1].text, QStringLiteral("2. my.song"));
        EXPECT_EQ(rows[1].columns[kColumnKey], QStringLiteral("1")); // keys follow the rows added
    }
}

TEST_F(RowBuilder, RetryReadsTheFileAgain)
{
    const fs::path later = dir_.file("later.mp3");
    int calls = 0;
    const auto rows = BuildRowsForFiles({qpath(later)}, 0, scratch_, mpegfile_, [&](TMPEGAudio&) {
        ++calls;
        // The user copies the file in and presses Retry.
        test::write_file(later, test::encode_mp3(test::cbr128_stereo_44k(1.0)));
        return mpeginfo::idRetry;
    });
    EXPECT_EQ(calls, 1);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].text, QStringLiteral("1. later"));
    EXPECT_NEAR(ms_of(rows[0]), 1000, 60);
}

TEST_F(RowBuilder, TheBatchHandlerIsPutBackAndTheScratchListHoldsTheBatch)
{
    int own_calls = 0;
    scratch_.SetOnReadError([&](TMPEGAudio&) {
        ++own_calls;
        return mpeginfo::idIgnore;
    });
    BuildRowsForFiles({qpath(garbage_)}, 0, scratch_, mpegfile_, [](TMPEGAudio&) { return mpeginfo::idIgnore; });
    EXPECT_EQ(own_calls, 0);
    // Without a batch handler the list's own handler answers.
    const auto rows = BuildRowsForFiles({qpath(garbage_), qpath(plain_)}, 0, scratch_, mpegfile_);
    EXPECT_EQ(own_calls, 1);
    EXPECT_EQ(rows.size(), 1u);
    // The scratch list is emptied at the start of every batch.
    EXPECT_EQ(scratch_.Count(), 1);
}

TEST_F(RowBuilder, EmptyBatchGivesNoRows)
{
    EXPECT_TRUE(BuildRowsForFiles({}, 7, scratch_, mpegfile_).empty());
    EXPECT_EQ(scratch_.Count(), 0);
}

} // namespace
} // namespace pelu::player
