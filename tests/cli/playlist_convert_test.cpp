// pelu playlist import and export: M3U8 and PLS lists round trip through the
// band's media list with relative paths, #EXTINF lines, a name that is not
// UTF-8, files with only an ID3v2 tag, entries that are no MP3 files, a list
// that moves with its folder, and a list of 100,000 entries; bad usage and
// bad input fail without writing anything.
#include "id3v2_fixtures.h"
#include "mp3_fixtures.h"
#include "pelu_run.h"
#include "platform/fs/file_names.h"
#include "playlist/media_list.h"
#include "playlist/playlist_rows.h"

#include <gtest/gtest.h>

#include <QFile>

#include <filesystem>

namespace pelu::test {
namespace {

namespace fs = std::filesystem;
using player::PlaylistRow;

// A path as the band keeps it: bytes that are not UTF-8 stay bytes.
QString q(const fs::path& p)
{
    return platform::fs::decode_file_name(QByteArray::fromStdString(p.string()));
}

std::vector<PlaylistRow> rows_of(const fs::path& bri)
{
    std::vector<PlaylistRow> rows;
    player::LoadMediaListFile(QString::fromStdString(bri.string()), rows);
    return rows;
}

class PlaylistConvert : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(dir_.path() / "music" / "sub");
        fs::create_directories(dir_.path() / "elsewhere");
        const Bytes one = encode_mp3(cbr128_stereo_44k(1.0));
        const Bytes two = encode_mp3(cbr128_stereo_44k(2.0));
        dir_.write("music/a.mp3", append_id3v1(one, id3v1_tag("A", "V1 Band", "", "", "", 0)));
        dir_.write("music/b.mp3",
                   prepend(id3v2_tag(4, {Id3Frame{"TPE1", id3_text_body(Id3Text::Utf8, {"Ниагара"})}}), two));
        dir_.write("music/sub/c.mp3", one);
        dir_.write("music/\xE9t\xE9.mp3", one); // Latin-1 bytes, not UTF-8
        dir_.write("elsewhere/far.mp3", one);
        dir_.write("music/noise.mp3", garbage(5000)); // named like an MP3, holds none
    }

    fs::path music(const std::string& name) const { return dir_.path() / "music" / name; }

    TempDir dir_;
};

TEST_F(PlaylistConvert, M3u8AndPlsRoundTripThroughTheMediaList)
{
    const std::string list = "#EXTM3U\n"
                             "#EXTINF:1,V1 Band - a\n"
                             "a.mp3\n"
                             "#EXTINF:2,\xD0\x9D\xD0\xB8\xD0\xB0\xD0\xB3\xD0\xB0\xD1\x80\xD0\xB0 - b\n"
                             "b.mp3\n"
                             "sub/c.mp3\n"
                             "\xE9t\xE9.mp3\n"
                             "../elsewhere/far.mp3\n"
                             "missing.mp3\n"
                             "noise.mp3\n"
                             "sub\n";
    dir_.write("music/in.m3u8", Bytes(list.begin(), list.end()));
    const CommandRun import = pelu({"playlist", "import", "music/in.m3u8", "out.bri"}, dir_.path());
    EXPECT_EQ(import.exit_code, 0) << import.err.toStdString();
    EXPECT_EQ(import.err, "pelu: 3 entries skipped\n"); // missing, noise (no MPEG audio) and a folder

    const std::vector<PlaylistRow> rows = rows_of(dir_.file("out.bri"));
    ASSERT_EQ(rows.size(), 5u);
    QStringList texts, artists, paths, keys;
    for (const PlaylistRow& row : rows) {
        texts << row.text;
        artists << row.columns[player::kColumnArtist];
        paths << row.columns[player::kColumnPath];
        keys << row.columns[player::kColumnKey];
    }
    EXPECT_EQ(texts, (QStringList{"1. a", "2. b", "3. c", QString::fromUtf8("4. été"), "5. far"}));
    EXPECT_EQ(artists, (QStringList{"V1 Band", QString::fromUtf8("Ниагара"), "[notag]", "[notag]", "[notag]"}));
    EXPECT_EQ(paths, (QStringList{q(music("a.mp3")), q(music("b.mp3")), q(music("sub/c.mp3")),
                                  q(music("\xE9t\xE9.mp3")), q(dir_.path() / "elsewhere" / "far.mp3")}));
    EXPECT_EQ(keys, (QStringList{"0", "1", "2", "3", "4"}));
    EXPECT_NEAR(rows[1].columns[player::kColumnDurationMs].toInt(), 2000, 60);

    // Exported beside the music: relative paths; a name that is not UTF-8 as
    // a URL with its bytes percent-encoded, as an M3U8 is UTF-8 text.
    const CommandRun m3u = pelu({"playlist", "export", "out.bri", "music/back.m3u8"}, dir_.path());
    EXPECT_EQ(m3u.exit_code, 0) << m3u.err.toStdString();
    EXPECT_TRUE(m3u.err.isEmpty());
    const QByteArray far = QFile::encodeName(q(dir_.path() / "elsewhere" / "far.mp3"));
    EXPECT_EQ(read_bytes(qpath(music("back.m3u8"))), "#EXTM3U\n"
                                              "#EXTINF:1,V1 Band - a\na.mp3\n"
                                              "#EXTINF:2,\xD0\x9D\xD0\xB8\xD0\xB0\xD0\xB3\xD0\xB0\xD1\x80\xD0\xB0 - b\nb.mp3\n"
                                              "#EXTINF:1,c\nsub/c.mp3\n"
                                              "#EXTINF:1,\xC3\xA9t\xC3\xA9\nfile://" +
                                                  QByteArray::fromStdString(music("\xE9t\xE9.mp3").string()).toPercentEncoding("/") + "\n"
                                              "#EXTINF:1,far\n" + far + "\n");
    const CommandRun pls = pelu({"playlist", "export", "out.bri", "music/back.pls"}, dir_.path());
    EXPECT_EQ(pls.exit_code, 0) << pls.err.toStdString();
    EXPECT_TRUE(read_bytes(qpath(music("back.pls"))).startsWith("[playlist]\nFile1=a.mp3\nTitle1=V1 Band - a\nLength1=1\n"));
    EXPECT_TRUE(read_bytes(qpath(music("back.pls"))).endsWith("NumberOfEntries=5\nVersion=2\n"));

    // Imported again: the very rows, whichever format carried them.
    for (const char* back : {"music/back.m3u8", "music/back.pls"}) {
        const CommandRun again = pelu({"playlist", "import", back, "again.bri"}, dir_.path());
        EXPECT_EQ(again.exit_code, 0) << back;
        EXPECT_TRUE(again.err.isEmpty()) << back << ": " << again.err.toStdString();
        EXPECT_EQ(rows_of(dir_.file("again.bri")), rows) << back;
    }
}

TEST_F(PlaylistConvert, AListMovesWithItsFolder)
{
    std::vector<PlaylistRow> rows;
    rows.push_back(PlaylistRow{"1. a", {"0:01.000", "V1 Band", q(music("a.mp3")), "1000", "0", ""}});
    rows.push_back(PlaylistRow{"2. c", {"0:01.000", "[notag]", q(music("sub/c.mp3")), "1000", "1", ""}});
    player::SaveMediaListFile(q(dir_.file("list.bri")), rows);
    ASSERT_EQ(pelu({"playlist", "export", "list.bri", "music/list.m3u8"}, dir_.path()).exit_code, 0);
    fs::rename(dir_.path() / "music", dir_.path() / "moved");
    const CommandRun import = pelu({"playlist", "import", "moved/list.m3u8", "moved.bri"}, dir_.path());
    EXPECT_EQ(import.exit_code, 0) << import.err.toStdString();
    const std::vector<PlaylistRow> moved = rows_of(dir_.file("moved.bri"));
    ASSERT_EQ(moved.size(), 2u);
    EXPECT_EQ(moved[0].columns[player::kColumnPath], q(dir_.path() / "moved" / "a.mp3"));
    EXPECT_EQ(moved[1].columns[player::kColumnPath], q(dir_.path() / "moved" / "sub" / "c.mp3"));
}

TEST_F(PlaylistConvert, AHundredThousandEntries)
{
    // Rows as the band saves them; one in a hundred names a file that is
    // still there (each of those is read as "Load Files" reads it).
    std::vector<PlaylistRow> rows;
    rows.reserve(100'000);
    const QString c = q(music("sub/c.mp3"));
    for (int i = 0; i < 100'000; ++i) {
        const QString path = i % 100 == 99 ? c : q(music("gone" + std::to_string(i) + ".mp3"));
        rows.push_back(PlaylistRow{player::RowText(i + 1, path), {"0:01.000", "[notag]", path, "1000",
                                                                 QString::number(i), ""}});
    }
    player::SaveMediaListFile(q(dir_.file("big.bri")), rows);
    const CommandRun exported = pelu({"playlist", "export", "big.bri", "music/big.m3u8"}, dir_.path());
    ASSERT_EQ(exported.exit_code, 0) << exported.err.toStdString();
    const CommandRun imported = pelu({"playlist", "import", "music/big.m3u8", "big2.bri"}, dir_.path());
    EXPECT_EQ(imported.exit_code, 0);
    EXPECT_EQ(imported.err, "pelu: 99000 entries skipped\n");
    const std::vector<PlaylistRow> back = rows_of(dir_.file("big2.bri"));
    ASSERT_EQ(back.size(), 1'000u);
    EXPECT_EQ(back.back().text, "1000. c");
    EXPECT_EQ(back.back().columns[player::kColumnKey], "999");
    EXPECT_EQ(back.back().columns[player::kColumnPath], c);
}

TEST_F(PlaylistConvert, BadUsageAndBadInputWriteNothing)
{
    dir_.write("in.m3u", Bytes{'a', '\n'});
    const auto usage = [&](const QStringList& args) {
        const CommandRun run = pelu(args, dir_.path());
        EXPECT_EQ(run.exit_code, 2) << args.join(' ').toStdString() << ": " << run.err.toStdString();
        EXPECT_TRUE(run.err.contains("usage:"));
    };
    usage({"playlist", "import", "in.m3u"});
    usage({"playlist", "import", "in.txt", "out.bri"});
    usage({"playlist", "import", "in.m3u", "out.m3u8"}); // would write a media list into an M3U8 name
    usage({"playlist", "export", "in.bri", "out.txt"});
    usage({"playlist", "export", "in.bri", "out.bri"});

    const CommandRun missing = pelu({"playlist", "import", "nothere.pls", "out.bri"}, dir_.path());
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_EQ(missing.err, "pelu: nothere.pls: No such file or directory\n");

    // A damaged media list is not exported in part.
    dir_.write("damaged.bri", Bytes{0xF6, 0xFF, 0xFF, 0xFF, 0x10, 0x00});
    const CommandRun damaged = pelu({"playlist", "export", "damaged.bri", "out.m3u8"}, dir_.path());
    EXPECT_EQ(damaged.exit_code, 1);
    EXPECT_TRUE(damaged.err.startsWith("pelu: ")) << damaged.err.toStdString();
    EXPECT_FALSE(fs::exists(dir_.file("out.m3u8")));
    EXPECT_FALSE(fs::exists(dir_.file("out.bri")));
}

} // namespace
} // namespace pelu::test
