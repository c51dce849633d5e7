// The frame search, header decoding, Xing header, ID3v1 tag and the failure
// paths of TMPEGAudio, on real files written to a temporary folder.
#include "hand_frames.h"
#include "mp3_fixtures.h"
#include "mpeginfo/macros.h"
#include "mpeginfo/mpeg_audio.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sys/stat.h>

namespace pelu::test {
namespace {

using mpeginfo::TMPEGAudio;

// MPEG 1 Layer III, 128 kbit/s, 44100 Hz.
const std::uint32_t kMpeg1L3 = frame_header(1, 3, 9, 0);

// Analyses a file without any dialog: the raw result comes back.
int analyse(TMPEGAudio& record, const std::filesystem::path& path)
{
    record.SetAutoLoad(false);
    record.SetOnReadError({});
    record.SetFileName(QString::fromStdString(path.string()));
    return record.Analyse();
}

class ReaderTest : public ::testing::Test {
protected:
    TempDir dir;
    TMPEGAudio record;
};

TEST_F(ReaderTest, FrameLengthsAreTheTrueOnes)
{
    struct Case {
        std::uint32_t header;
        int frame_length;
    };
    const Case cases[] = {
        {frame_header(1, 3, 9, 0), 417},              // MPEG 1 Layer III 128k 44100
        {frame_header(1, 3, 9, 0, true), 418},        // ... with padding
        {frame_header(2, 3, 8, 0), 208},              // MPEG 2 Layer III 64k 22050
        {frame_header(2, 3, 8, 0, true), 209},        // ... with padding
        {frame_header(3, 3, 4, 2), 288},              // MPEG 2.5 Layer III 32k 8000
        {frame_header(1, 1, 12, 0), 416},             // Layer I 384k 44100: 12000*384/44100=104 slots
        {frame_header(1, 1, 12, 0, true), 420},       // ... one padding slot is 4 bytes
        {frame_header(1, 2, 10, 1), 576},             // MPEG 1 Layer II 192k 48000
        {frame_header(2, 2, 8, 0), 417},              // MPEG 2 Layer II keeps 144000
    };
    for (const Case& c : cases) {
        Bytes file = frames(c.header, static_cast<std::size_t>(c.frame_length), 5);
        ASSERT_EQ(analyse(record, dir.write("f.mp3", file)), 0) << std::hex << c.header;
        EXPECT_EQ(record.FrameLength(), c.frame_length) << std::hex << c.header;
        EXPECT_EQ(record.FirstFramePos(), 0);
    }
}

TEST_F(ReaderTest, CbrDurationCountsTheWholeFile)
{
    ASSERT_EQ(analyse(record, dir.write("big.mp3", frames_to_size(kMpeg1L3, 417, 4'000'000))), 0);
    EXPECT_EQ(record.Length(), 4'000'000);
    EXPECT_EQ(record.Duration(), 250);
    EXPECT_EQ(record.BitRate(), 128);
    EXPECT_EQ(record.SampleRate(), 44100);
    EXPECT_EQ(record.Version(), 1);
    EXPECT_EQ(record.Layer(), 3);
    EXPECT_TRUE(record.HeaderValid());
}

TEST_F(ReaderTest, LeadingDataIsSkippedToTheFirstConfirmedFrame)
{
    const Bytes stream = frames(kMpeg1L3, 417, 6);
    ASSERT_EQ(analyse(record, dir.write("v2.mp3", prepend(id3v2_block(3000), stream))), 0);
    EXPECT_EQ(record.FirstFramePos(), 3000);

    ASSERT_EQ(analyse(record, dir.write("junk.mp3", prepend(garbage(777), stream))), 0);
    EXPECT_EQ(record.FirstFramePos(), 777);
}

TEST_F(ReaderTest, StraySyncIsSkipped)
{
    // A header at 10 whose "next frame" lands in garbage, real frames at 1000.
    Bytes file = garbage(1000);
    put_be32(file, 10, kMpeg1L3);
    file = prepend(file, frames(kMpeg1L3, 417, 4));
    ASSERT_EQ(analyse(record, dir.write("stray.mp3", file)), 0);
    EXPECT_EQ(record.FirstFramePos(), 1000);

    // A stray sync whose frame overruns the end, followed by a shorter real pair.
    Bytes tail = garbage(50);
    put_be32(tail, 0, frame_header(1, 3, 14, 0)); // 320k: 1044 bytes, past the end
    tail = prepend(tail, frames(frame_header(2, 3, 1, 0), 26, 3)); // 8k 22050: 26 bytes
    ASSERT_EQ(analyse(record, dir.write("tail.mp3", tail)), 0);
    EXPECT_EQ(record.FirstFramePos(), 50);
    EXPECT_EQ(record.BitRate(), 8);
}

TEST_F(ReaderTest, OneFrameOrNoFrameIsNotAccepted)
{
    const auto one = dir.write("one.mp3", frames(kMpeg1L3, 417, 1));
    EXPECT_EQ(analyse(record, one), -1);
    EXPECT_EQ(record.FirstFramePos(), 418); // Length + 1
    EXPECT_EQ(record.Version(), 0);
    EXPECT_EQ(record.BitRate(), 0);
    EXPECT_EQ(record.Duration(), 0);
    EXPECT_EQ(record.Length(), 417);

    // A frame and two stray bytes: the second header cannot be read whole.
    Bytes two_more = frames(kMpeg1L3, 417, 1);
    two_more.push_back(0xFF);
    two_more.push_back(0xFB);
    EXPECT_EQ(analyse(record, dir.write("short.mp3", two_more)), -1);

    EXPECT_EQ(analyse(record, dir.write("noise.mp3", garbage(20000))), -1);
    EXPECT_EQ(record.FirstFramePos(), 20001);
    EXPECT_EQ(record.TagId(), "BAD");
}

TEST_F(ReaderTest, TinyFilesGiveMinusOneNotSuccess)
{
    for (std::size_t size : {0u, 1u, 4u, 5u}) {
        Bytes file = frames(kMpeg1L3, 417, 1);
        file.resize(size);
        int asked = 0;
        record.SetAutoLoad(false);
        record.SetOnReadError([&](TMPEGAudio&) { ++asked; return mpeginfo::idIgnore; });
        record.SetFileName(QString::fromStdString(dir.write("tiny.mp3", file).string()));
        EXPECT_EQ(record.Analyse(), mpeginfo::idIgnore) << size;
        EXPECT_EQ(asked, 1) << "the handler hears of a tiny file too";
        record.SetOnReadError({});
        EXPECT_EQ(record.Analyse(), -1) << size;
        EXPECT_EQ(record.Length(), static_cast<int>(size));
    }
}

TEST_F(ReaderTest, OnlyRegularFilesAreRead)
{
    const auto fifo = dir.file("pipe.mp3");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(analyse(record, fifo), -1); // would block for a writer if it were opened for reading
    EXPECT_EQ(analyse(record, "/dev/zero"), -1);
    std::filesystem::create_directory(dir.file("folder.mp3"));
    EXPECT_EQ(analyse(record, dir.file("folder.mp3")), -1);
    EXPECT_EQ(record.Title(), "[notag]");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));

    // A symbolic link to a real file is read like the file.
    const auto real = dir.write("real.mp3", frames(kMpeg1L3, 417, 3));
    std::filesystem::create_symlink(real, dir.file("link.mp3"));
    EXPECT_EQ(analyse(record, dir.file("link.mp3")), 0);
}

TEST_F(ReaderTest, MissingFileIsNamedInTheTitle)
{
    EXPECT_EQ(analyse(record, dir.file("gone.mp3")), -1);
    EXPECT_EQ(record.Title(), "[not found: gone.mp3]");
    EXPECT_EQ(analyse(record, dir.file("a rather long file name that is cut.mp3")), -1);
    EXPECT_EQ(record.Title(), "[not found: a rather long file");
    EXPECT_EQ(record.Title().size(), 30);
}

TEST_F(ReaderTest, UnreadableFileGivesTheSystemError)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root reads every file";
    const auto path = dir.write("locked.mp3", frames(kMpeg1L3, 417, 3));
    std::filesystem::permissions(path, std::filesystem::perms::none);
    EXPECT_EQ(analyse(record, path), EACCES);
}

TEST_F(ReaderTest, XingHeaderGivesVbrDuration)
{
    // MPEG 1 stereo: Xing at 36.
    Bytes file = frames(kMpeg1L3, 417, 5);
    put_xing(file, 0, 36, 1000);
    ASSERT_EQ(analyse(record, dir.write("xing.mp3", file)), 0);
    EXPECT_EQ(record.BitRate(), -1);
    EXPECT_EQ(record.Duration(), 26);                 // 1152 * 1000 / 44100 = 26.1
    EXPECT_EQ(record.FrameLength(), 417 * 5 / 1000);  // the file length over the frames
    record.SetMacroTemplate("%BR%|%BR,R,6,0%");
    EXPECT_EQ(record.Analyse(), 0);
    EXPECT_EQ(record.MacroText(), "VBR|000VBR");

    // MPEG 2 mono Layer III: Xing at 13, 576 samples a frame.
    const std::uint32_t mono22 = frame_header(2, 3, 8, 0, false, 3);
    Bytes mono = frames(mono22, 208, 5);
    put_xing(mono, 0, 13, 3828); // 3828 * 576 / 22050 = 99.996
    ASSERT_EQ(analyse(record, dir.write("xing2.mp3", mono)), 0);
    EXPECT_EQ(record.BitRate(), -1);
    EXPECT_EQ(record.Duration(), 100);

    // MPEG 1 mono and MPEG 2 stereo: Xing at 21. Halves round to even.
    Bytes m1 = frames(frame_header(1, 3, 9, 2, false, 3), 576, 4); // 32000 Hz: 576 bytes
    put_xing(m1, 0, 21, 2500);                                      // 2500 * 1152 / 32000 = 90 exactly
    ASSERT_EQ(analyse(record, dir.write("xing3.mp3", m1)), 0);
    EXPECT_EQ(record.Duration(), 90);
    Bytes s2 = frames(frame_header(2, 3, 8, 2), 288, 4);    // MPEG 2 16000 Hz
    put_xing(s2, 0, 21, 2597);                              // 2597 * 576 / 16000 = 93.492
    ASSERT_EQ(analyse(record, dir.write("xing4.mp3", s2)), 0);
    EXPECT_EQ(record.Duration(), 93);
    Bytes half = frames(frame_header(2, 3, 8, 2), 288, 4);
    put_xing(half, 0, 21, 2625); // 2625 * 576 / 16000 = 94.5: to even, 94
    ASSERT_EQ(analyse(record, dir.write("xing5.mp3", half)), 0);
    EXPECT_EQ(record.Duration(), 94);
}

TEST_F(ReaderTest, XingWithoutFrameCountKeepsTheFrameHeader)
{
    Bytes file = frames(kMpeg1L3, 417, 5);
    put_xing(file, 0, 36, 0, /*flags=*/0);
    ASSERT_EQ(analyse(record, dir.write("noframes.mp3", file)), 0);
    EXPECT_EQ(record.BitRate(), 128);
    EXPECT_EQ(record.FrameLength(), 417);
    put_xing(file, 0, 36, 0, /*flags=*/1); // a frame count of zero
    ASSERT_EQ(analyse(record, dir.write("zeroframes.mp3", file)), 0);
    EXPECT_EQ(record.BitRate(), 128);
}

TEST_F(ReaderTest, Id3v1FieldsAreCutAndTrimmed)
{
    const Bytes stream = frames(kMpeg1L3, 417, 4);
    Bytes tag = id3v1_tag(std::string(30, ' '), "  Two Leading", "Album   ", "1999", "A comment", 17);
    tag[126] = 7; // track, after a zero at 125
    ASSERT_EQ(analyse(record, dir.write("tag.mp3", append_id3v1(stream, tag))), 0);
    EXPECT_EQ(record.TagId(), "TAG");
    EXPECT_EQ(record.Title(), "");
    EXPECT_EQ(record.Artist(), "  Two Leading");
    EXPECT_EQ(record.Album(), "Album");
    EXPECT_EQ(record.Year(), "1999");
    EXPECT_EQ(record.Comment(), "A comment");
    EXPECT_EQ(record.Track(), 7);
    EXPECT_EQ(record.GenreNr(), 17);
    EXPECT_EQ(record.GenreName(), "Rock");

    Bytes ab = id3v1_tag("AB", "X", "", "", "", 255);
    ASSERT_EQ(analyse(record, dir.write("ab.mp3", append_id3v1(stream, ab))), 0);
    EXPECT_EQ(record.Title(), "AB");
    EXPECT_EQ(record.GenreName(), "Unknown");
    // ISO-8859-1 text.
    Bytes latin = id3v1_tag("Caf\xE9", "", "", "", "", 0);
    ASSERT_EQ(analyse(record, dir.write("latin.mp3", append_id3v1(stream, latin))), 0);
    EXPECT_EQ(record.Title(), QString::fromUtf8("Café"));
}

TEST_F(ReaderTest, Id3v1TextInUtf8IsReadAsUtf8AndTheRestAsWindows1252)
{
    const Bytes stream = frames(kMpeg1L3, 417, 4);
    // UTF-8 with multi-byte sequences; a full field whose last character its
    // 30 bytes cut short; Windows-1252 with bytes 0x80..0x9F; bytes that only
    // look like UTF-8 in part.
    const std::string cut_short = std::string(27, 'a') + "\xC3\xA9\xC3"; // 30 bytes, the last é cut
    Bytes tag = id3v1_tag("Bj\xC3\xB6rk", "\xE2\x80\x9CSigur R\xC3\xB3s\xE2\x80\x9D", cut_short,
                          "2001", "\x93quoted\x94 \x80 5", 0);
    ASSERT_EQ(analyse(record, dir.write("utf8.mp3", append_id3v1(stream, tag))), 0);
    EXPECT_EQ(record.Title(), QString::fromUtf8("Björk"));
    EXPECT_EQ(record.Artist(), QString::fromUtf8("“Sigur Rós”"));
    EXPECT_EQ(record.Album(), QString::fromStdString(std::string(27, 'a') + "é"));
    EXPECT_EQ(record.Comment(), QString::fromUtf8("“quoted” € 5"));
    Bytes mixed = id3v1_tag("\xC3\xA9t\xE9", "", "", "", "", 0);
    ASSERT_EQ(analyse(record, dir.write("mixed.mp3", append_id3v1(stream, mixed))), 0);
    EXPECT_EQ(record.Title(), QString::fromUtf8("Ã©té"));
}

TEST_F(ReaderTest, GuessedArtistAndTitle)
{
    const Bytes stream = frames(kMpeg1L3, 417, 4);
    ASSERT_EQ(analyse(record, dir.write("Band - Song.mp3", stream)), 0);
    EXPECT_EQ(record.Artist(), "[notag]");
    EXPECT_EQ(record.Title(), "Band - Song.mp3");
    EXPECT_EQ(record.GuessedArtist(), "Unknown Artist");
    EXPECT_EQ(record.GuessedTitle(), "Unknown Title");
    record.SetDefaultArtist("");
    record.SetDefaultTitle("");
    EXPECT_EQ(record.GuessedArtist(), "[notag]");
    EXPECT_EQ(record.GuessedTitle(), "Band - Song.mp3");

    ASSERT_EQ(analyse(record, dir.write("tagged.mp3", append_id3v1(stream, id3v1_tag("T", "Art", "", "", "", 0)))), 0);
    record.SetDefaultArtist("Someone");
    EXPECT_EQ(record.GuessedArtist(), "Art");
    EXPECT_EQ(record.GuessedTitle(), "T");
}

TEST_F(ReaderTest, FileFactsAreKept)
{
    const auto path = dir.write("facts.mp3", frames(kMpeg1L3, 417, 3));
    ASSERT_EQ(analyse(record, path), 0);
    EXPECT_NE(record.FileDate(), 0u);
    EXPECT_TRUE(record.FileDateTime().isValid());
    EXPECT_EQ(record.FileName(), QString::fromStdString(std::filesystem::absolute(path).string()));
    EXPECT_EQ(record.ShortFileName(), record.FileName());
    EXPECT_EQ(record.Length(), 417 * 3);
}

TEST_F(ReaderTest, RelativeNamesBecomeAbsolute)
{
    const auto path = dir.write("rel.mp3", frames(kMpeg1L3, 417, 3));
    const auto old = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    const int result = analyse(record, "rel.mp3");
    std::filesystem::current_path(old);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(record.FileName(), QString::fromStdString(path.string()));
}

TEST_F(ReaderTest, SearchLimitBoundsTheScan)
{
    const auto path = dir.write("late.mp3", prepend(garbage(10000), frames(kMpeg1L3, 417, 4)));
    int hooks = 0;
    record.SetProcessMessages([&] { ++hooks; });
    record.SetSearchLimit(5000);
    EXPECT_EQ(analyse(record, path), -1);
    EXPECT_LE(hooks, 5000 / 300 + 1) << "the scan stopped near the limit";
    EXPECT_EQ(record.FirstFramePos(), record.Length() + 1);

    record.SetSearchLimit(10003); // the header's last byte at the limit is still read
    EXPECT_EQ(analyse(record, path), 0);
    EXPECT_EQ(record.FirstFramePos(), 10000);
    record.SetSearchLimit(10002);
    EXPECT_EQ(analyse(record, path), -1);
    record.SetSearchLimit(0);
    EXPECT_EQ(analyse(record, path), 0);
}

TEST_F(ReaderTest, PendingMessagesAreProcessedAboutEvery300Bytes)
{
    const auto path = dir.write("slow.mp3", prepend(garbage(3000), frames(kMpeg1L3, 417, 4)));
    int hooks = 0;
    record.SetProcessMessages([&] { ++hooks; });
    ASSERT_EQ(analyse(record, path), 0);
    EXPECT_GE(hooks, 9);
    EXPECT_LE(hooks, 11);

    // A long scan through a large non-MPEG lead keeps calling it.
    hooks = 0;
    ASSERT_EQ(analyse(record, dir.write("long.mp3", prepend(garbage(300000), frames(kMpeg1L3, 417, 4)))), 0);
    EXPECT_GE(hooks, 990);
    EXPECT_LE(hooks, 1001);
}

TEST_F(ReaderTest, RetryRepeatsTheAnalysis)
{
    const auto path = dir.file("later.mp3");
    int asked = 0;
    record.SetAutoLoad(false);
    record.SetOnReadError([&](TMPEGAudio& sender) {
        ++asked;
        EXPECT_EQ(sender.FileName(), QString::fromStdString(path.string()));
        if (asked == 2)
            write_file(path, frames(kMpeg1L3, 417, 3)); // the user fixed it, then Retry
        return mpeginfo::idRetry;
    });
    record.SetFileName(QString::fromStdString(path.string()));
    EXPECT_EQ(record.Analyse(), 0);
    EXPECT_EQ(asked, 2);

    record.SetOnReadError([](TMPEGAudio&) { return mpeginfo::idCancel; });
    record.SetFileName(QString::fromStdString(dir.file("never.mp3").string()));
    EXPECT_EQ(record.Analyse(), mpeginfo::idCancel);

    // A handler that removes itself and asks for Retry: the repeat runs without one.
    int calls = 0;
    record.SetOnReadError([&](TMPEGAudio& sender) {
        ++calls;
        sender.SetOnReadError({});
        return mpeginfo::idRetry;
    });
    EXPECT_EQ(record.Analyse(), -1);
    EXPECT_EQ(calls, 1);
}

TEST_F(ReaderTest, AutoLoadAnalysesOnSettingTheName)
{
    const auto path = dir.write("auto.mp3", frames(kMpeg1L3, 417, 3));
    TMPEGAudio autoload;
    autoload.SetOnReadError({});
    autoload.SetFileName(QString::fromStdString(path.string()));
    EXPECT_EQ(autoload.LastResult(), 0);
    EXPECT_EQ(autoload.BitRate(), 128);
}

TEST_F(ReaderTest, DefaultHandlerAsksTheInstalledDialog)
{
    QString shown;
    mpeginfo::set_read_error_dialog([&](const QString& text) {
        shown = text;
        return mpeginfo::idCancel;
    });
    TMPEGAudio fresh;
    fresh.SetAutoLoad(false);
    fresh.SetFileName(QString::fromStdString(dir.file("x.mp3").string()));
    EXPECT_EQ(fresh.Analyse(), mpeginfo::idCancel);
    EXPECT_EQ(shown, "Error openning file: " + QString::fromStdString(dir.file("x.mp3").string()));
    mpeginfo::set_read_error_dialog({});
    EXPECT_EQ(fresh.Analyse(), mpeginfo::idIgnore) << "without a dialog nothing waits for a user";
}

TEST_F(ReaderTest, HeaderDecodingRejectsReservedValues)
{
    TMPEGAudio r;
    EXPECT_FALSE(r.DecodeHeader(0x12345678));
    EXPECT_FALSE(r.DecodeHeader((frame_header(1, 3, 9, 0) & ~(3u << 19)) | (1u << 19))); // version 01
    EXPECT_EQ(r.Version(), 0);
    EXPECT_FALSE(r.DecodeHeader(frame_header(1, 3, 0, 0))); // free format
    EXPECT_FALSE(r.DecodeHeader(frame_header(1, 3, 15, 0)));
    EXPECT_FALSE(r.DecodeHeader(frame_header(1, 3, 9, 3))); // reserved sample rate
    EXPECT_EQ(r.SampleRate(), 0);
    // Valid bits, but no file yet: Length and FileDate fail the test.
    EXPECT_FALSE(r.DecodeHeader(frame_header(1, 3, 9, 0)));
    EXPECT_EQ(r.BitRate(), 128);
    EXPECT_EQ(r.VersionName(), "1.0");
    EXPECT_EQ(r.LayerName(), "III");
    const std::uint32_t flags = frame_header(3, 2, 3, 1, true, 2, true) | 0x0C; // copyright, original
    r.DecodeHeader(flags);
    EXPECT_EQ(r.Version(), 3);
    EXPECT_EQ(r.Layer(), 2);
    EXPECT_EQ(r.SampleRate(), 12000);
    EXPECT_EQ(r.BitRate(), 24);
    EXPECT_EQ(r.Mode(), 2);
    EXPECT_EQ(r.ModeName(), "Dual-Channel");
    EXPECT_TRUE(r.Padding());
    EXPECT_TRUE(r.ErrorProt());
    EXPECT_TRUE(r.Copyright());
    EXPECT_TRUE(r.Original());
}

TEST(NameTables, GenresAndNames)
{
    EXPECT_EQ(mpeginfo::genre_name(0), "Blues");
    EXPECT_EQ(mpeginfo::genre_name(67), "Psychadelic");
    EXPECT_EQ(mpeginfo::genre_name(85), "Bebob");
    EXPECT_EQ(mpeginfo::genre_name(92), "Progessive Rock");
    EXPECT_EQ(mpeginfo::genre_name(125), "Dance Hall");
    EXPECT_EQ(mpeginfo::genre_name(126), "Unknown");
    EXPECT_EQ(mpeginfo::genre_name(255), "Unknown");
    EXPECT_EQ(mpeginfo::version_name(3), "2.5");
    EXPECT_EQ(mpeginfo::mode_name(3), "Single-Channel");
}

} // namespace
} // namespace pelu::test
