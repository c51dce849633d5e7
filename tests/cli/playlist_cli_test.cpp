// pelu playlist make then show: the list made from real MP3s lists the same
// rows in the table and in JSON, unreadable files are reported and left out,
// and a damaged list shows the rows before the fault and fails.
#include "mp3_fixtures.h"
#include "pelu_run.h"
#include "playlist/media_list.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <filesystem>

namespace pelu::test {
namespace {

namespace fs = std::filesystem;


class PlaylistCommand : public ::testing::Test {
protected:
    void SetUp() override
    {
        const Bytes song = encode_mp3(cbr128_stereo_44k(1.0));
        dir_.write("a.mp3", song);
        // ID3v1 text is Latin-1.
        dir_.write("SONG.MP3", append_id3v1(song, id3v1_tag("T", "\xDCmlaut Band", "", "", "", 0)));
        dir_.write("my.song.mp3", song);
        dir_.write(".mp3", song);
        dir_.write("noise.mp3", garbage(3000));
        dir_.write("notes.txt", song);
    }
    TempDir dir_;
};

TEST_F(PlaylistCommand, MakeThenShowListsTheSameRows)
{
    const CommandRun make = pelu({"playlist", "make", "list.bri", "a.mp3", "SONG.MP3", "my.song.mp3", ".mp3", "noise.mp3",
                           "gone.mp3", "notes.txt"},
                          dir_.path());
    EXPECT_EQ(make.exit_code, 1) << make.err.toStdString(); // some files were left out
    EXPECT_TRUE(make.err.contains(QStringLiteral("pelu: ") + qpath(dir_.file("noise.mp3")) + QStringLiteral(": ")))
        << make.err.toStdString();
    EXPECT_TRUE(make.err.contains(qpath(dir_.file("gone.mp3")) + QStringLiteral(": No such file or directory")));
    EXPECT_TRUE(make.err.contains(QStringLiteral("pelu: notes.txt: not an .mp3 file")));

    // The file holds what the band's own reader sees.
    std::vector<player::PlaylistRow> rows;
    player::LoadMediaListFile(qpath(dir_.file("list.bri")), rows);
    ASSERT_EQ(rows.size(), 4u);
    const QStringList texts = {"1. a", "2. SONG", "3. my.song", "4. "};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(rows[std::size_t(i)].text, texts[i]);
        EXPECT_EQ(rows[std::size_t(i)].columns.value(4), QString::number(i));
    }
    EXPECT_EQ(rows[1].columns.value(1), QStringLiteral("Ümlaut Band"));
    EXPECT_EQ(rows[2].columns.value(2), qpath(dir_.file("my.song.mp3")));

    const CommandRun show = pelu({"playlist", "show", qpath(dir_.file("list.bri"))});
    EXPECT_EQ(show.exit_code, 0) << show.err.toStdString();
    const QStringList lines = show.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 5) << show.out.toStdString();
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("Row")));
    for (int i = 0; i < 4; ++i) {
        const auto& row = rows[std::size_t(i)];
        const QString& line = lines[i + 1];
        for (const QString& part : {row.columns[0], row.columns[1], row.columns[2], row.columns[3]})
            EXPECT_TRUE(line.contains(part)) << line.toStdString() << " lacks " << part.toStdString();
        EXPECT_TRUE(line.endsWith(row.columns[2]));
        EXPECT_TRUE(line.contains(QStringLiteral("  -1  ")));
    }

    const CommandRun json = pelu({"playlist", "show", "--json", qpath(dir_.file("list.bri"))});
    EXPECT_EQ(json.exit_code, 0);
    const QJsonArray array = QJsonDocument::fromJson(json.out.toUtf8()).array();
    ASSERT_EQ(array.size(), 4);
    for (int i = 0; i < 4; ++i) {
        const QJsonObject object = array[i].toObject();
        const auto& row = rows[std::size_t(i)];
        EXPECT_EQ(object.value("text").toString(), row.text);
        EXPECT_EQ(object.value("image_index").toInt(), -1);
        QStringList columns;
        for (const auto& value : object.value("columns").toArray())
            columns << value.toString();
        EXPECT_EQ(columns, row.columns);
    }
}

TEST_F(PlaylistCommand, ShowOfADamagedListPrintsTheRowsBeforeTheFaultAndFails)
{
    std::vector<player::PlaylistRow> rows(3);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        rows[i].text = QStringLiteral("%1. row").arg(i + 1);
        rows[i].columns = {"0:01.000", "A", "/p/" + QString::number(i), "1000", QString::number(i), ""};
        rows[i].image_index = i == 1 ? 0 : 3;
    }
    QByteArray bytes = player::WriteMediaList(rows);
    bytes.chop(20);
    write_file(dir_.file("cut.bri"), Bytes(bytes.begin(), bytes.end()));
    const CommandRun show = pelu({"playlist", "show", "--json", qpath(dir_.file("cut.bri"))});
    EXPECT_EQ(show.exit_code, 1);
    EXPECT_EQ(show.err, QStringLiteral("pelu: ") + qpath(dir_.file("cut.bri")) + QStringLiteral(": Stream read error\n"));
    const QJsonArray array = QJsonDocument::fromJson(show.out.toUtf8()).array();
    ASSERT_EQ(array.size(), 2);
    EXPECT_EQ(array[1].toObject().value("image_index").toInt(), 0);

    const CommandRun usage = pelu({"playlist", "show"});
    EXPECT_EQ(usage.exit_code, 2);
    const CommandRun unknown = pelu({"playlist", "sort", "x"});
    EXPECT_EQ(unknown.exit_code, 2);
}

} // namespace
} // namespace pelu::test
