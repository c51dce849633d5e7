// M3U, M3U8 and PLS playlists: the readers on lists written by hand (byte
// order marks, line ends, comments, URLs, relative and Windows paths, names
// that are not UTF-8, entries that are no MP3 files), the inputs they refuse,
// the writers' exact output and what reads back from it, and names that are
// not UTF-8 kept through the media list.
#include "playlist/playlist_formats.h"

#include "fifo_watchdog.h"
#include "files.h"
#include "platform/fs/file_names.h"
#include "platform/time_text.h"
#include "playlist/playlist_rows.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>


namespace pelu::player {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::TempDir;

QString q(const fs::path& p)
{
    return platform::fs::decode_file_name(QByteArray::fromStdString(p.string()));
}

Bytes bytes_of(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

// A folder of files that lists point at; the readers only look at names and
// kinds, so the files' content does not matter.
class PlaylistFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(dir.path() / "music" / "sub dir");
        fs::create_directories(dir.path() / "music" / "folder.mp3");
        fs::create_directories(dir.path() / "elsewhere");
        for (const char* name : {"music/a.mp3", "music/sub dir/b b.mp3", "music/C.MP3", "music/notes.txt",
                                 "music/#1 hit.mp3", "music/100%.mp3", "elsewhere/far.mp3", "music/caf\xC3\xA9.mp3",
                                 "music/\xE9t\xE9.mp3"})
            test::write_file(dir.path() / name, Bytes{1, 2, 3});
    }
    QString music(const std::string& name) const { return q(dir.path() / "music" / name); }
    QString list(const std::string& name, const std::string& text) const
    {
        return q(dir.write(name, bytes_of(text)));
    }
    TempDir dir;
};

TEST(PlaylistFormat, ByExtensionInAnyLetterCase)
{
    EXPECT_EQ(PlaylistFormatOf("/x/a.bri"), PlaylistFormat::MediaList);
    EXPECT_EQ(PlaylistFormatOf("/x/es.XES"), PlaylistFormat::MediaList);
    EXPECT_EQ(PlaylistFormatOf("/x/a.m3u"), PlaylistFormat::M3u);
    EXPECT_EQ(PlaylistFormatOf("/x/a.M3U8"), PlaylistFormat::M3u);
    EXPECT_EQ(PlaylistFormatOf("rel.Pls"), PlaylistFormat::Pls);
    EXPECT_EQ(PlaylistFormatOf("/x/a.txt"), PlaylistFormat::Unknown);
    EXPECT_EQ(PlaylistFormatOf("/x.m3u/list"), PlaylistFormat::Unknown);
    EXPECT_EQ(PlaylistFormatOf("/x/m3u"), PlaylistFormat::Unknown);
}

TEST_F(PlaylistFiles, ExtendedM3u8WithEverythingListsHold)
{
    const std::string text = "\xEF\xBB\xBF#EXTM3U\r\n"
                             "#EXTINF:123,Someone - A\r\n"
                             "a.mp3\r\n"
                             "\r\n"
                             "   # an indented comment\r\n"
                             "#EXTINF:-1,Stream\r\n"
                             "http://radio.example/stream.mp3\r\n"
                             "sub dir/b b.mp3  \r\n"
                             "file:///" + (dir.path() / "music" / "sub%20dir").string().substr(1) + "/b%20b.mp3\r\n"
                             "file://localhost" + (dir.path() / "elsewhere" / "far.mp3").string() + "\n"
                             "file://otherhost" + (dir.path() / "elsewhere" / "far.mp3").string() + "\n"
                             "./C.MP3\n"
                             "../elsewhere/far.mp3\n"
                             + (dir.path() / "music" / "a.mp3").string() + "\n"
                             "notes.txt\n"
                             "folder.mp3\n"
                             "gone.mp3\n"
                             "sub dir\n"
                             "#1 hit.mp3\n"
                             "./#1 hit.mp3\n"
                             "100%.mp3\n"
                             "caf\xC3\xA9.mp3"; // no line end at the end
    const ImportedList got = ReadM3u(list("music/list.m3u8", text));
    const QStringList expected = {music("a.mp3"),
                                  music("sub dir/b b.mp3"),
                                  music("sub dir/b b.mp3"),
                                  q(dir.path() / "elsewhere" / "far.mp3"),
                                  music("C.MP3"),
                                  q(dir.path() / "elsewhere" / "far.mp3"),
                                  music("a.mp3"),
                                  music("#1 hit.mp3"),
                                  music("100%.mp3"),
                                  music("caf\xC3\xA9.mp3")};
    EXPECT_EQ(got.paths, expected);
    // http, another host, .txt, a folder named .mp3, a missing file, a folder.
    EXPECT_EQ(got.skipped, 6);
}

TEST_F(PlaylistFiles, LineEndsOfEveryKind)
{
    for (const std::string& end : {std::string("\n"), std::string("\r\n"), std::string("\r")}) {
        const ImportedList got = ReadM3u(list("music/ends.m3u", "a.mp3" + end + end + "C.MP3" + end + "gone.mp3" + end));
        EXPECT_EQ(got.paths, (QStringList{music("a.mp3"), music("C.MP3")})) << int(end.size());
        EXPECT_EQ(got.skipped, 1);
    }
    EXPECT_EQ(ReadM3u(list("music/empty.m3u", "")).paths, QStringList());
    EXPECT_EQ(ReadM3u(list("music/bom.m3u", "\xEF\xBB\xBF")).skipped, 0);
}

TEST_F(PlaylistFiles, NamesThatAreNotUtf8)
{
    // The bytes E9 74 E9 name a file on the disk exactly, in any kind of list.
    const QString latin1_file = music("\xE9t\xE9.mp3");
    ASSERT_TRUE(latin1_file.contains(QChar(0xDCE9))) << "kept as the escaped byte";
    for (const char* name : {"music/raw.m3u8", "music/raw.m3u"})
        EXPECT_EQ(ReadM3u(list(name, "\xE9t\xE9.mp3\n")).paths, QStringList{latin1_file}) << name;
    // A list written on Windows names "café.mp3" in Windows-1252, E9 for é;
    // the file here carries the UTF-8 name. Plain M3U falls back to
    // Windows-1252; M3U8 is UTF-8 by definition and does not.
    EXPECT_EQ(ReadM3u(list("music/win.m3u", "caf\xE9.mp3\r\n")).paths, QStringList{music("caf\xC3\xA9.mp3")});
    const ImportedList strict = ReadM3u(list("music/win.m3u8", "caf\xE9.mp3\r\n"));
    EXPECT_TRUE(strict.paths.isEmpty());
    EXPECT_EQ(strict.skipped, 1);
    // Percent-encoded bytes of a URL, and a Windows list's relative path with
    // backslashes.
    EXPECT_EQ(ReadM3u(list("music/url.m3u8", "file://" + (dir.path() / "music").string() + "/%E9t%E9.mp3\n")).paths,
              QStringList{latin1_file});
    EXPECT_EQ(ReadM3u(list("music/back.m3u", "sub dir\\b b.mp3\r\n")).paths, QStringList{music("sub dir/b b.mp3")});
}

TEST_F(PlaylistFiles, PlsEntriesInTheOrderOfTheirNumbers)
{
    const std::string text = "; written by hand\n"
                             "[playlist]\n"
                             "NumberOfEntries=3\n"
                             "File3=" + (dir.path() / "elsewhere" / "far.mp3").string() + "\n"
                             "Title3=Far\n"
                             "file1 = a.mp3\n"
                             "FILE2=file://" + (dir.path() / "music").string() + "/sub%20dir/b%20b.mp3\n"
                             "File10=caf\xE9.mp3\n"
                             "File2=C.MP3\n"          // a second File2: the first counts
                             "File=notes.txt\n"       // no number: an entry that cannot be placed
                             "File4=\n"               // empty
                             "File5=https://radio.example/x.mp3\n"
                             "Version=2\n"
                             "[other]\n"
                             "File6=a.mp3\n";         // not in the playlist section
    const ImportedList got = ReadPls(list("music/list.pls", text));
    EXPECT_EQ(got.paths, (QStringList{music("a.mp3"), music("sub dir/b b.mp3"), q(dir.path() / "elsewhere" / "far.mp3"),
                                      music("caf\xC3\xA9.mp3")}));
    EXPECT_EQ(got.skipped, 3); // File4, File5 and the unnumbered one

    EXPECT_EQ(ReadPlaylistEntries(list("music/x.PLS", "[Playlist]\r\nFile1=a.mp3\r\n")).paths, QStringList{music("a.mp3")});
    EXPECT_EQ(ReadPlaylistEntries(list("music/x.M3U", "a.mp3\n")).paths, QStringList{music("a.mp3")});
}

TEST_F(PlaylistFiles, RefusedInputsSayWhy)
{
    const auto message = [](const QString& file) -> std::string {
        try {
            (void)ReadPlaylistEntries(file);
        } catch (const EPlaylistFileError& e) {
            return e.what();
        }
        return "accepted";
    };
    EXPECT_NE(message(q(dir.file("missing.m3u"))).find("No such file"), std::string::npos);
    fs::create_directories(dir.path() / "folder.m3u");
    EXPECT_NE(message(q(dir.file("folder.m3u"))).find("is a directory"), std::string::npos);
    EXPECT_NE(message(list("list.bri", "")).find("not an M3U"), std::string::npos);
    EXPECT_NE(message(list("list.txt", "a.mp3\n")).find("not an M3U"), std::string::npos);

    // Over 64 MiB (a sparse file: nothing is read to find that out).
    const fs::path huge = dir.file("huge.m3u");
    test::write_file(huge, bytes_of("a.mp3\n"));
    fs::resize_file(huge, kMaxPlaylistFileBytes + 1);
    EXPECT_NE(message(q(huge)).find("too large"), std::string::npos) << message(q(huge));
    fs::resize_file(huge, kMaxPlaylistFileBytes); // at the limit: read (zeros make one long line, skipped)
    EXPECT_EQ(message(q(huge)), "accepted");

    // An absurd line is skipped alone, in either format.
    const std::string long_line(kMaxPlaylistLineBytes + 1, 'x');
    const ImportedList m3u8 = ReadM3u(list("music/long.m3u8", "#EXTM3U\n" + long_line + "\na.mp3\n"));
    EXPECT_EQ(m3u8.paths, QStringList{music("a.mp3")});
    EXPECT_EQ(m3u8.skipped, 1);
    const ImportedList pls = ReadPls(list("music/long.pls", "[playlist]\nTitle1=" + long_line + "\nFile2=" + long_line +
                                                                "\nFile1=a.mp3\n"));
    EXPECT_EQ(pls.paths, QStringList{music("a.mp3")});
    EXPECT_EQ(pls.skipped, 2) << "both long lines, as either may have been an entry";
    const std::string fits(kMaxPlaylistLineBytes, 'y');
    EXPECT_EQ(ReadM3u(list("fits.m3u", fits + "\n")).skipped, 1);

    // A FIFO is refused at once, never waited on.
    std::string fifo_message;
    const fs::path fifo = dir.file("pipe.m3u");
    EXPECT_TRUE(test::returns_without_a_writer(fifo, [&] { fifo_message = message(q(fifo)); }));
    EXPECT_NE(fifo_message.find("is not a regular file"), std::string::npos) << fifo_message;
}

PlaylistRow row(const QString& path, const QString& artist, const QString& ms)
{
    PlaylistRow r;
    r.text = RowText(1, path);
    r.columns = {pelu::platform::time_text_ms(ms.toLongLong()), artist, path, ms, QStringLiteral("0"), QString()};
    return r;
}

TEST_F(PlaylistFiles, ColonsNulsAndDotStepsInEntries)
{
    test::write_file(dir.path() / "music" / "Live:2003.mp3", Bytes{1});
    test::write_file(dir.path() / "music" / "song.dat", Bytes{1});
    const std::string folder = (dir.path() / "music").string();
    const std::string text = "Live:2003.mp3\n"                              // a name with a colon
                             "file://" + folder + "/song.dat%00.mp3\n"      // a NUL in a URL
                             + std::string("a.mp3\0.mp3\n", 12) +           // and a raw one
                             "ftp://host/x.mp3\n"                           // a URL after all
                             "sub dir/../a.mp3\n"
                             "./sub dir/./../C.MP3\n"
                             + folder + "/sub dir/../sub dir/b b.mp3\n";
    for (const char* name : {"music/colons.m3u", "music/colons.m3u8"}) {
        const ImportedList got = ReadM3u(list(name, text));
        EXPECT_EQ(got.paths, (QStringList{music("Live:2003.mp3"), music("a.mp3"), music("C.MP3"), music("sub dir/b b.mp3")}))
            << name;
        EXPECT_EQ(got.skipped, 3) << name;
        for (const QString& path : got.paths)
            EXPECT_FALSE(path.contains(QChar(0)));
    }
    // Written back, the name with a colon reads as the same file.
    const QString out = music("out.m3u8");
    WriteM3u8(out, {row(music("Live:2003.mp3"), "", "1000")});
    EXPECT_EQ(ReadM3u(out).paths, QStringList{music("Live:2003.mp3")});
}

TEST_F(PlaylistFiles, WritersWriteWhatOtherPlayersRead)
{
    // A file whose name holds a line break can only be written as a URL.
    test::write_file(dir.path() / "music" / "two\nlines.mp3", Bytes{1});
    const std::vector<PlaylistRow> rows = {
        row(music("a.mp3"), "Someone", "123456"),
        row(music("sub dir/b b.mp3"), "[notag]", "999"),
        row(q(dir.path() / "elsewhere" / "far.mp3"), "", "0"),
        row(music("#1 hit.mp3"), "Line\nbreak", "1500"),
        row(music("two\nlines.mp3"), "X", "2000"),
        row(QString(), "Nobody", "1000"), // no path: left out
        row(music("\xE9t\xE9.mp3"), "Latin", "60000"),
    };
    const QString m3u8 = music("out.m3u8");
    WriteM3u8(m3u8, rows);
    const QByteArray far = QFile::encodeName(q(dir.path() / "elsewhere" / "far.mp3"));
    const QByteArray two_lines_url =
        "file://" + QFile::encodeName(q(dir.path() / "music")).replace(" ", "%20") + "/two%0Alines.mp3";
    // Lists are UTF-8 text: a name that is not UTF-8 goes as a URL.
    const QByteArray latin1_url = "file://" + platform::fs::encode_file_name(music("\xE9t\xE9.mp3")).toPercentEncoding("/");
    ASSERT_TRUE(latin1_url.endsWith("/%E9t%E9.mp3"));
    EXPECT_EQ(test::read_bytes(m3u8), "#EXTM3U\n"
                                "#EXTINF:123,Someone - a\n"
                                "a.mp3\n"
                                "#EXTINF:1,b b\n"
                                "sub dir/b b.mp3\n"
                                "#EXTINF:-1,far\n" + far + "\n"
                                "#EXTINF:2,Line break - #1 hit\n"
                                "./#1 hit.mp3\n"
                                "#EXTINF:2,X - two lines\n" + two_lines_url + "\n"
                                "#EXTINF:60,Latin - \xC3\xA9t\xC3\xA9\n" + latin1_url + "\n");
    const QStringList every_path = {music("a.mp3"), music("sub dir/b b.mp3"), q(dir.path() / "elsewhere" / "far.mp3"),
                                    music("#1 hit.mp3"), music("two\nlines.mp3"), music("\xE9t\xE9.mp3")};
    const ImportedList back = ReadM3u(m3u8);
    EXPECT_EQ(back.paths, every_path);
    EXPECT_EQ(back.skipped, 0);

    const QString pls = music("out.pls");
    WritePls(pls, rows);
    EXPECT_EQ(test::read_bytes(pls), "[playlist]\n"
                               "File1=a.mp3\nTitle1=Someone - a\nLength1=123\n"
                               "File2=sub dir/b b.mp3\nTitle2=b b\nLength2=1\n"
                               "File3=" + far + "\nTitle3=far\nLength3=-1\n"
                               "File4=#1 hit.mp3\nTitle4=Line break - #1 hit\nLength4=2\n"
                               "File5=" + two_lines_url + "\nTitle5=X - two lines\nLength5=2\n"
                               "File6=" + latin1_url + "\nTitle6=Latin - \xC3\xA9t\xC3\xA9\nLength6=60\n"
                               "NumberOfEntries=6\nVersion=2\n");
    EXPECT_EQ(ReadPls(pls).paths, every_path);

    // Written where none of the files lies: every path absolute.
    const QString outside = q(dir.path() / "elsewhere" / "out.m3u8");
    WriteM3u8(outside, {row(music("a.mp3"), "", "1000")});
    EXPECT_EQ(test::read_bytes(outside), "#EXTM3U\n#EXTINF:1,a\n" + QFile::encodeName(music("a.mp3")) + "\n");
    // An empty playlist is a valid, empty list.
    WritePls(pls, {});
    EXPECT_EQ(test::read_bytes(pls), "[playlist]\nNumberOfEntries=0\nVersion=2\n");
}

TEST_F(PlaylistFiles, AHundredThousandEntries)
{
    // Entries that cycle over files that exist and files that do not.
    std::string text = "#EXTM3U\n";
    text.reserve(100'000 * 40);
    for (int i = 0; i < 100'000; ++i) {
        text += "#EXTINF:10,Entry " + std::to_string(i) + "\n";
        text += i % 4 == 3 ? "missing " + std::to_string(i) + ".mp3\n" : (i % 2 ? "C.MP3\n" : "sub dir/b b.mp3\n");
    }
    const ImportedList got = ReadM3u(list("music/big.m3u8", text));
    ASSERT_EQ(got.paths.size(), 75'000);
    EXPECT_EQ(got.skipped, 25'000);
    EXPECT_EQ(got.paths[0], music("sub dir/b b.mp3"));
    EXPECT_EQ(got.paths[1], music("C.MP3"));
    EXPECT_EQ(got.paths[74'999], music("sub dir/b b.mp3"));

    std::vector<PlaylistRow> rows;
    rows.reserve(100'000);
    for (int i = 0; i < 100'000; ++i)
        rows.push_back(row(i % 2 ? music("a.mp3") : music("gone " + std::to_string(i) + ".mp3"), "", "1000"));
    WritePls(music("big.pls"), rows);
    const ImportedList pls = ReadPls(music("big.pls"));
    EXPECT_EQ(pls.paths.size(), 50'000);
    EXPECT_EQ(pls.skipped, 50'000);
}

TEST(MediaListNames, APathThatIsNotUtf8KeepsItsBytes)
{
    // Written by the band for a file named with Latin-1 bytes, read back as
    // the same name.
    const QString latin1 = platform::fs::decode_file_name(QByteArray("/music/\xE9t\xE9.mp3"));
    PlaylistRow ours;
    ours.text = RowText(1, latin1);
    ours.columns = {"0:01.000", "A", latin1, "1000", "0", ""};
    const QByteArray bytes = WriteMediaList({ours});
    EXPECT_TRUE(bytes.contains("/music/\xE9t\xE9.mp3")) << "the name's own bytes";
    std::vector<PlaylistRow> back;
    ReadMediaList(bytes, back);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].columns[2], latin1);
    EXPECT_EQ(back[0].text, QString::fromUtf8("1. été")) << "shown as the letters they most likely are";
}

} // namespace
} // namespace pelu::player
