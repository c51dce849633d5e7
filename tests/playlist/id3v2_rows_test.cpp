// The artist column for files of today: a file with only an ID3v2 tag shows
// that tag's artist; the ID3v1 tag still decides first where there is one,
// even with an empty artist; a file with neither, or with an ID3v2 tag that
// names no artist, keeps "[notag]". Real MP3s, the band's scratch list and
// decoder component.
#include "playlist/playlist_rows.h"

#include "audio/mpeg.h"
#include "id3v2_fixtures.h"
#include "mp3_fixtures.h"

#include <gtest/gtest.h>

namespace pelu::player {
namespace {

using namespace pelu::test;


Bytes with_v2(int version, Id3Text encoding, const std::string& artist, const Bytes& song)
{
    return prepend(id3v2_tag(version, {Id3Frame{version == 2 ? "TP1" : "TPE1", id3_text_body(encoding, {artist})},
                                       Id3Frame{version == 2 ? "TT2" : "TIT2", id3_text_body(encoding, {"A title"})}},
                             256),
                   song);
}

TEST(Id3v2Rows, TheArtistOfFilesWithoutAnId3v1Tag)
{
    TempDir dir;
    const Bytes song = encode_mp3(cbr128_stereo_44k(1.0));
    const Bytes v1 = id3v1_tag("T", "V1 Artist", "", "", "", 0);
    const Bytes v1_no_artist = id3v1_tag("T", "", "", "", "", 0);
    const Id3Frame title_only{"TIT2", id3_text_body(Id3Text::Utf8, {"Only a title"})};
    const QStringList files = {
        qpath(dir.write("v23 utf16.mp3", with_v2(3, Id3Text::Utf16Bom, "Sigur Rós", song))),
        qpath(dir.write("v24 utf8.mp3", with_v2(4, Id3Text::Utf8, "Мумий Тролль", song))),
        qpath(dir.write("v22.mp3", with_v2(2, Id3Text::Latin1, "Björk", song))),
        qpath(dir.write("both.mp3", append_id3v1(with_v2(3, Id3Text::Latin1, "V2 Artist", song), v1))),
        qpath(dir.write("v1 empty.mp3", append_id3v1(with_v2(4, Id3Text::Utf8, "V2 Artist", song), v1_no_artist))),
        qpath(dir.write("neither.mp3", song)),
        qpath(dir.write("no artist.mp3", prepend(id3v2_tag(3, {title_only}), song))),
        qpath(dir.write("long.mp3", with_v2(4, Id3Text::Utf8, "An artist name far longer than thirty characters", song))),
    };
    mpeginfo::TMPEGAudioList scratch;
    TMMMPEGFile mpegfile;
    const std::vector<PlaylistRow> rows = BuildRowsForFiles(files, 0, scratch, mpegfile);
    ASSERT_EQ(rows.size(), std::size_t(files.size()));
    QStringList artists;
    for (const PlaylistRow& row : rows)
        artists << row.columns[kColumnArtist];
    EXPECT_EQ(artists, (QStringList{QString::fromUtf8("Sigur Rós"), QString::fromUtf8("Мумий Тролль"),
                                    QString::fromUtf8("Björk"), "V1 Artist", "", "[notag]", "[notag]",
                                    "An artist name far longer than"}));
    // The tag in front changes nothing else: name from the file, its time.
    EXPECT_EQ(rows[0].text, "1. v23 utf16");
    EXPECT_NEAR(rows[0].columns[kColumnDurationMs].toInt(), 1000, 60);
}

} // namespace
} // namespace pelu::player
