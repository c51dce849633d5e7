// pelu play end to end: on the simulated device, ALSA's null device and with no
// device at all; titles in a row; Ctrl-C.
#include "mp3_fixtures.h"
#include "pelu_run.h"

#include <gtest/gtest.h>

#include <QProcess>

#include <csignal>
#include <filesystem>
#include <utility>

namespace pelu::test {
namespace {

// `pelu play ARGS...`, with `wave_device` as PELU_WAVE_DEVICE when given.
CommandRun play(const QStringList& args, const QString& wave_device = QString())
{
    return pelu(QStringList{QStringLiteral("play")} + args, {},
                wave_device.isEmpty() ? QStringList{} : QStringList{"PELU_WAVE_DEVICE=" + wave_device});
}


TEST(PeluPlay, SimulatedDevicePlaysTitlesInARowToTheirEnd)
{
    TempDir dir;
    const auto first = dir.write("first.mp3", encode_mp3(cbr128_stereo_44k(60.0)));
    const auto second = dir.write("second.mp3", encode_mp3(mpeg2_mono_22k(3.0)));
    const CommandRun r = play({"--device", "sim:20", qpath(first), qpath(second)});
    EXPECT_EQ(r.exit_code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains(QStringLiteral("Playing first.mp3 (1:00.")));
    EXPECT_TRUE(r.out.contains(QStringLiteral("Playing second.mp3")));
    EXPECT_LT(r.out.indexOf(QStringLiteral("first.mp3")), r.out.indexOf(QStringLiteral("second.mp3")));
}

TEST(PeluPlay, AlsaNullDevicePlaysToTheEnd)
{
    TempDir dir;
    const auto mp3 = dir.write("null.mp3", encode_mp3(vbr_xing_stereo_44k(5.0)));
    const CommandRun r = play({"--device", "alsa:null", qpath(mp3)});
    EXPECT_EQ(r.exit_code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains(QStringLiteral("Playing null.mp3")));
}

TEST(PeluPlay, BadTitlesAreReportedAndTheOthersStillPlay)
{
    TempDir dir;
    const auto good = dir.write("good.mp3", encode_mp3(cbr128_stereo_44k(1.0)));
    const auto junk = dir.write("junk.mp3", garbage(20000));
    const CommandRun r = play({"--device", "null", qpath(dir.file("missing.mp3")), qpath(junk), qpath(good)});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(r.err.contains(QStringLiteral("missing.mp3: no such file")));
    EXPECT_TRUE(r.err.contains(QStringLiteral("junk.mp3: ")));
    EXPECT_TRUE(r.out.contains(QStringLiteral("Playing good.mp3")));
    EXPECT_EQ(play({"--device", "bogus", qpath(good)}).exit_code, 2);
    EXPECT_EQ(play({}).exit_code, 2);
}

TEST(PeluPlay, NoDeviceAtAll)
{
    TempDir dir;
    const auto mp3 = dir.write("a.mp3", encode_mp3(cbr128_stereo_44k(1.0)));
    const CommandRun r = play({qpath(mp3)}, QStringLiteral("alsa"));
    if (r.exit_code == 0)
        GTEST_SKIP() << "this machine has a sound device";
    EXPECT_EQ(r.exit_code, 1);
    // Without a card ALSA lists no device; where a sound server's plugin is
    // configured (pipewire-alsa) but no server runs, its default device is
    // listed and refuses to open, and the error names it.
    const QString err = r.err.trimmed();
    EXPECT_TRUE(err == QStringLiteral("pelu: No wave audio playing device found") ||
                (err.startsWith(QStringLiteral("pelu: device 0: ")) && !err.contains(QLatin1Char('\n'))))
        << err.toStdString();
}

// Ctrl-C (SIGINT) and SIGTERM end a play at once with the shell's codes; the
// loop is woken for them even while nothing else happens (a device that plays
// slowly).
TEST(PeluPlay, InterruptAndTerminateStopCleanly)
{
    TempDir dir;
    const auto mp3 = dir.write("long.mp3", encode_mp3(cbr128_stereo_44k(30.0)));
    for (const auto& [signal_number, exit_code] : {std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}}) {
        QProcess process;
        process.start(built_program("pelu"), {"play", "--device", "sim:1", qpath(mp3)});
        ASSERT_TRUE(process.waitForStarted());
        ASSERT_TRUE(wait_until_playing(process));
        ::kill(static_cast<pid_t>(process.processId()), signal_number);
        ASSERT_TRUE(process.waitForFinished(5000)) << "signal " << signal_number;
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process.exitCode(), exit_code);
        EXPECT_TRUE(process.readAllStandardError().isEmpty());
    }
}

} // namespace
} // namespace pelu::test
