// The wave output behind the real file source: MP3 fixtures decoded by the
// decoder plug-in, played on the simulated device.
#include "audio/audio_file.h"
#include "audio/connector.h"
#include "audio/wave_out.h"
#include "mp3_fixtures.h"
#include "pcm_test_source.h"

#include "platform/wave/wave_device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace pelu {
namespace {

using platform::wave::SimRecorder;


class WaveOutMp3Test : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::wave::select_wave_system("sim:0");
        SimRecorder::clear();
        SimRecorder::set_enabled(true);
    }
    void TearDown() override
    {
        SimRecorder::set_enabled(false);
        SimRecorder::clear();
    }
    test::TempDir dir;
};

TEST_F(WaveOutMp3Test, TitlePlaysBitExactAndASeekWhilePausedContinuesThere)
{
    if (!MpegLibrary::Instance().Loaded())
        GTEST_SKIP() << "decoder plug-in not found";
    const QString path = QString::fromStdString(
        dir.write("song.mp3", test::encode_mp3(test::cbr128_stereo_44k(3.0))).string());
    const std::vector<char> reference = test::decode_all(path);
    ASSERT_GT(reference.size(), 44100u * 4 * 2);

    TMMAudioFile source;
    TMMWaveOut out;
    TMMConnector connector;
    out.SetCallBackMode(TMMWaveOut::cmThread);
    out.SetBufferSize(8160);
    source.SetOutput(&out);
    out.SetOutput(&connector);
    source.SetFileName(path);
    int stops = 0;
    out.OnStop = [&](QObject*) { ++stops; };
    out.Start();
    ASSERT_TRUE(test::run_until([&] { return stops > 0; }));
    EXPECT_EQ(stops, 1);
    const std::vector<char> played = SimRecorder::played_bytes();
    ASSERT_EQ(played, reference);

    // Again, seeking to 2 s while paused: the queued buffers play, then the
    // source continues from there.
    SimRecorder::clear();
    source.SetPosition(0);
    out.Pause(); // paused first: Start queues ten buffers and nothing plays yet
    out.Start();
    source.SetPosition(2000);
    out.Restart();
    ASSERT_TRUE(test::run_until([&] { return stops > 1; }));
    EXPECT_EQ(stops, 2);
    const std::vector<char> seeked = SimRecorder::played_bytes();
    // Ten queued buffers (81600 bytes) and the last second (176400 bytes), give
    // or take the frame the seek lands in.
    EXPECT_GT(seeked.size(), 81600u + 176400u - 4608u);
    EXPECT_LT(seeked.size(), 81600u + 176400u + 2 * 4608u + 8160u);
    // It ends with the end of the title.
    ASSERT_GE(seeked.size(), 8160u);
    EXPECT_TRUE(std::equal(reference.end() - 8160, reference.end(), seeked.end() - 8160));
}

TEST_F(WaveOutMp3Test, LoopingPlaysTheTitleAgainAndSaysSo)
{
    if (!MpegLibrary::Instance().Loaded())
        GTEST_SKIP() << "decoder plug-in not found";
    const QString path = QString::fromStdString(
        dir.write("loop.mp3", test::encode_mp3(test::cbr128_stereo_44k(1.0))).string());
    const std::vector<char> once = test::decode_all(path);
    TMMAudioFile source;
    TMMWaveOut out;
    out.SetCallBackMode(TMMWaveOut::cmThread);
    out.SetBufferSize(8160);
    out.SetLooping(true);
    out.SetLoopCount(2);
    source.SetOutput(&out);
    source.SetFileName(path);
    int stops = 0, errors = 0;
    std::atomic<int> loops{0};
    out.OnStop = [&](QObject*) { ++stops; };
    out.OnError = [&](QObject*) { ++errors; };
    out.OnLooping = [&](QObject*) { ++loops; };
    out.Start();
    ASSERT_TRUE(test::run_until([&] { return stops > 0; }));
    EXPECT_EQ(errors, 0);
    EXPECT_EQ(loops, 2);
    const std::vector<char> played = SimRecorder::played_bytes();
    // The title three times over: once, then two loops.
    EXPECT_GE(played.size(), 3 * once.size() - 3 * 8160);
    EXPECT_LE(played.size(), 3 * once.size() + 8160);
}

TEST_F(WaveOutMp3Test, NewTitlesWhilePlayingStartEveryTimeAndRaceWithNoLoad)
{
    // The band's Play on another row: the file name changes while the output's
    // thread may be loading from the old reader, then Start. Run under the
    // thread sanitizer, this also proves the reader is torn down under the file
    // source's lock.
    if (!MpegLibrary::Instance().Loaded())
        GTEST_SKIP() << "decoder plug-in not found";
    SimRecorder::set_enabled(false);
    const QString stereo = QString::fromStdString(
        dir.write("a.mp3", test::encode_mp3(test::cbr128_stereo_44k(2.0))).string());
    const QString mono = QString::fromStdString(
        dir.write("b.mp3", test::encode_mp3(test::mpeg2_mono_22k(2.0))).string());
    TMMAudioFile source;
    TMMWaveOut out;
    out.SetCallBackMode(TMMWaveOut::cmThread);
    out.SetBufferSize(8160);
    source.SetOutput(&out);
    int starts = 0, stops = 0, errors = 0;
    out.OnStart = [&](QObject*) { ++starts; };
    out.OnStop = [&](QObject*) { ++stops; };
    out.OnError = [&](QObject*) { ++errors; };
    const int kTitles = 40;
    for (int i = 0; i < kTitles; ++i) {
        source.SetFileName(i % 2 ? mono : stereo);
        out.Start();
        EXPECT_EQ(starts, i + 1) << "title " << i << " did not start";
        test::pump_for(i % 4);
    }
    ASSERT_TRUE(test::run_until([&] { return stops == starts; }));
    test::pump_for(30);
    EXPECT_EQ(starts, kTitles);
    EXPECT_EQ(stops, kTitles);
    EXPECT_EQ(errors, 0);
}

} // namespace
} // namespace pelu

