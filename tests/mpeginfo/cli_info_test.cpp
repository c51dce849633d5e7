// `pelu info` as a script sees it: field order, blocks, booleans, the
// template line, exit codes.
#include "hand_frames.h"
#include "mp3_fixtures.h"
#include "run_program.h"

#include <gtest/gtest.h>

namespace pelu::test {
namespace {

ProgramRun pelu(const QStringList& args)
{
    const ProgramRun run = run_program(PELU_CLI_PATH, args, {.timeout_ms = 60000});
    EXPECT_TRUE(run.finished);
    return run;
}

TEST(PeluInfo, PrintsEveryFieldInOrderThenTheResult)
{
    TempDir dir;
    Bytes good = append_id3v1(frames(frame_header(1, 3, 9, 0, false, 1), 417, 4),
                              id3v1_tag("Line\nbreak", "Art", "", "1999", "", 8));
    const QString a = QString::fromStdString(dir.write("Band - Song.mp3", good).string());
    const QString b = QString::fromStdString(dir.file("missing.mp3").string());

    const ProgramRun run = pelu({"info", "--template", "%GA,T%|%BR%%NL%", a, b});
    EXPECT_EQ(run.exit_code, 1) << "one file failed";
    const QStringList blocks = run.out.split("\n\n");
    ASSERT_EQ(blocks.size(), 2) << run.out.toStdString();
    QStringList names;
    for (const QString& line : blocks[0].split('\n'))
        names << line.section('=', 0, 0);
    EXPECT_EQ(names.join(','),
              "TagId,Title,Artist,Album,Year,Comment,GenreNr,Track,Duration,Length,Version,Layer,SampleRate,"
              "BitRate,Mode,Copyright,Original,ErrorProt,Padding,FrameLength,FileName,FileDate,FileAttr,"
              "VolumeLabel,FirstFramePos,Result,MacroText");
    EXPECT_TRUE(blocks[0].contains("\nTitle=Line\\x0Abreak\n")) << "control characters stay on the line";
    EXPECT_TRUE(blocks[0].contains("\nMode=1\n"));
    EXPECT_TRUE(blocks[0].contains("\nPadding=0\nFrameLength=417\n"));
    EXPECT_TRUE(blocks[0].contains("\nResult=0\nMacroText=Art|128\\x0D\\x0A"));
    EXPECT_TRUE(blocks[1].contains("Title=[not found: missing.mp3]\n"));
    EXPECT_TRUE(blocks[1].contains("\nResult=-1\n"));
    // No dialogs: one line on stderr for the file that failed, none for the other.
    EXPECT_EQ(run.err, "pelu: " + b + ": no such file\n");

    const ProgramRun ok = pelu({"info", a});
    EXPECT_EQ(ok.exit_code, 0);
    EXPECT_FALSE(ok.out.contains("MacroText="));
    EXPECT_TRUE(ok.out.endsWith("Result=0\n"));
}

TEST(PeluInfo, BadUsage)
{
    EXPECT_EQ(pelu({"info"}).exit_code, 2);
    EXPECT_EQ(pelu({"info", "--bogus", "x.mp3"}).exit_code, 2);
    const ProgramRun run = pelu({"info", "--template"});
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_TRUE(run.err.startsWith("pelu: ")) << run.err.toStdString();
}

} // namespace
} // namespace pelu::test
