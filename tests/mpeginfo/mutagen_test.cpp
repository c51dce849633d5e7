// `pelu info --json` against python3-mutagen on lame-encoded files at every
// MPEG 1, 2 and 2.5 sample rate, mono and stereo, CBR and VBR.
#include "mp3_fixtures.h"
#include "run_program.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

namespace pelu::test {
namespace {

struct Fixture {
    std::filesystem::path path;
    Mp3Options options;
};

QJsonArray run_json(const QString& program, const QStringList& args)
{
    const ProgramRun run = run_program(program, args);
    EXPECT_TRUE(run.finished) << program.toStdString();
    const QByteArray out = run.out.toUtf8();
    EXPECT_EQ(run.exit_code, 0) << program.toStdString() << ": " << run.err.toStdString();
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(out, &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString() << "\n" << out.toStdString();
    return doc.array();
}

TEST(Mutagen, AgreesOnLameFilesAtEveryRate)
{
    if (!std::filesystem::exists("/usr/bin/python3"))
        GTEST_SKIP() << "python3 is missing";
    TempDir dir;
    std::vector<Fixture> fixtures;
    const int rates[] = {32000, 44100, 48000, 16000, 22050, 24000, 8000, 11025, 12000};
    int n = 0;
    for (int rate : rates) {
        for (int channels : {1, 2}) {
            for (bool vbr : {false, true}) {
                Mp3Options o;
                o.sample_rate_hz = rate;
                o.channels = channels;
                o.vbr = vbr;
                o.bitrate_kbps = rate >= 32000 ? 128 : rate >= 16000 ? 64 : 32;
                o.seconds = 1.5;
                o.write_info_tag = vbr || n % 3 != 0; // some CBR files with no Info frame at all
                Bytes bytes = encode_mp3(o);
                if (n % 2 == 1)
                    bytes = prepend(id3v2_block(static_cast<std::size_t>(500 + 37 * n)), bytes);
                if (n % 4 != 3) {
                    Bytes tag = id3v1_tag("Title " + std::to_string(n), "Artist " + std::to_string(rate),
                                          "Album", "19" + std::to_string(70 + n), "note", static_cast<std::uint8_t>(n));
                    tag[126] = static_cast<std::uint8_t>(n % 5); // track (0 = none)
                    bytes = append_id3v1(bytes, tag);
                }
                const std::string name = "f" + std::to_string(n) + ".mp3";
                fixtures.push_back({dir.write(name, bytes), o});
                ++n;
            }
        }
    }
    QStringList files;
    for (const Fixture& f : fixtures)
        files << QString::fromStdString(f.path.string());

    const QJsonArray ours = run_json(PELU_CLI_PATH, QStringList{"info", "--json"} + files);
    const QJsonArray theirs = run_json("/usr/bin/python3", QStringList{PELU_MUTAGEN_SCRIPT} + files);
    ASSERT_EQ(ours.size(), static_cast<qsizetype>(fixtures.size()));
    ASSERT_EQ(theirs.size(), static_cast<qsizetype>(fixtures.size()));

    for (std::size_t i = 0; i < fixtures.size(); ++i) {
        const QJsonObject a = ours[static_cast<qsizetype>(i)].toObject();
        const QJsonObject m = theirs[static_cast<qsizetype>(i)].toObject();
        const Mp3Options& o = fixtures[i].options;
        SCOPED_TRACE(fixtures[i].path.filename().string() + " rate " + std::to_string(o.sample_rate_hz) + " ch "
                     + std::to_string(o.channels) + (o.vbr ? " VBR" : " CBR"));
        EXPECT_EQ(a["Result"].toInt(), 0);
        EXPECT_EQ(a["Version"].toInt(), m["version"].toInt());
        EXPECT_EQ(a["Layer"].toInt(), m["layer"].toInt());
        EXPECT_EQ(a["SampleRate"].toInt(), m["sample_rate"].toInt());
        EXPECT_EQ(a["SampleRate"].toInt(), o.sample_rate_hz);
        if (m["vbr"].toBool())
            EXPECT_EQ(a["BitRate"].toInt(), -1);
        else
            EXPECT_EQ(a["BitRate"].toInt(), m["bitrate_kbps"].toInt());
        EXPECT_EQ(a["Mode"].toInt(), m["mode"].toInt());
        EXPECT_EQ(a["FirstFramePos"].toInt(), m["frame_offset"].toInt());
        EXPECT_EQ(a["TagId"].toString() == "TAG", m["has_tag"].toBool());
        if (m["has_tag"].toBool()) {
            EXPECT_EQ(a["Title"].toString(), m["title"].toString());
            EXPECT_EQ(a["Artist"].toString(), m["artist"].toString());
            EXPECT_EQ(a["Album"].toString(), m["album"].toString());
            EXPECT_EQ(a["Year"].toString(), m["year"].toString());
            EXPECT_EQ(a["Comment"].toString(), m["comment"].toString());
            const int track = a["Track"].toInt();
            EXPECT_EQ(track == 0 ? QString() : QString::number(track), m["track"].toString());
        }
    }
}

} // namespace
} // namespace pelu::test
