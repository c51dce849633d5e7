// The wave output on a real sound server (a private PipeWire, sound_server.h)
// through ALSA's default device, driven the way the band drives it: the file
// source feeds the output in cmThread mode with 8160-byte buffers, and the
// OnStop handler loads the next title and starts it. The sink's monitor is
// recorded and compared with the decoded titles; the silence between titles,
// the lateness of the last OnStop, the pause and stop latencies and the time a
// dying server takes to surface are measured and printed.
#include "audio/audio_file.h"
#include "audio/mpeg.h"
#include "audio/wave_out.h"
#include "logged_output.h"
#include "mp3_fixtures.h"
#include "pcm_test_source.h"
#include "sound_server.h"

#include "platform/wave/wave_device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

namespace pelu {
namespace {

using test::Pcm16;
using test::SoundServer;
using Clock = std::chrono::steady_clock;
constexpr double kFramesPerMs = SoundServer::kRateHz / 1000.0;

double ms_since(Clock::time_point from) { return std::chrono::duration<double, std::milli>(Clock::now() - from).count(); }

Pcm16 decode_title(const QString& path)
{
    const std::vector<char> bytes = test::decode_all(path);
    Pcm16 pcm{SoundServer::kRateHz, SoundServer::kChannels, {}};
    pcm.samples.resize(bytes.size() / 2);
    std::memcpy(pcm.samples.data(), bytes.data(), pcm.samples.size() * 2);
    return pcm;
}

bool same_frame(const Pcm16& a, std::int64_t at_a, const Pcm16& b, std::int64_t at_b)
{
    if (at_a < 0 || at_b < 0 || at_a >= a.frames() || at_b >= b.frames())
        return false;
    return std::equal(a.samples.begin() + at_a * a.channels, a.samples.begin() + (at_a + 1) * a.channels,
                      b.samples.begin() + at_b * b.channels);
}

// How many frames of `title` from `from` are heard from `at` on, bit-exact.
std::int64_t matching_frames(const Pcm16& heard, std::int64_t at, const Pcm16& title, std::int64_t from)
{
    std::int64_t n = 0;
    while (same_frame(heard, at + n, title, from + n))
        ++n;
    return n;
}

// The title's frame heard at `at` in the recording (the one where 200 frames
// match), looked for within a second of `near`; -1 when none matches.
std::int64_t title_frame_heard_at(const Pcm16& heard, std::int64_t at, const Pcm16& title, std::int64_t near)
{
    const auto matches = [&](std::int64_t frame) {
        for (std::int64_t k = 0; k < 200; ++k)
            if (!same_frame(heard, at + k, title, frame + k))
                return false;
        return true;
    };
    for (std::int64_t distance = 0; distance <= SoundServer::kRateHz; ++distance) {
        if (matches(near - distance))
            return near - distance;
        if (matches(near + distance))
            return near + distance;
    }
    return -1;
}

// Which frame of the recording the recorder's file had reached at a moment.
// The file grows a quantum at a time, so one reading can be a quantum behind;
// the upper envelope of many readings (frames + rate x time since) is the
// best estimate. It is still behind the sink by the recorder's own latency,
// so latencies measured against it err on the long side. A recorder that
// falls behind under load drops whole quanta (its file then lacks sound the
// sink played, which no output fault explains); its file then stays behind
// the envelope for good, which LostFrames() tells.
class RecordingClock {
public:
    explicit RecordingClock(const SoundServer& server) : server_(server) {}
    void Sample()
    {
        const auto now = Clock::now();
        // A recorder just started writes its file in bursts for a moment.
        if (now - last_ < std::chrono::milliseconds(1) || now - epoch_ < std::chrono::milliseconds(150))
            return;
        last_ = now;
        const double frames = double(server_.RecordedFrames());
        if (frames <= 0)
            return;
        const double offset = frames - seconds(now) * SoundServer::kRateHz;
        offset_ = std::max(offset_, offset);
        readings_.push_back({now, offset});
    }
    // How far the file stayed behind the envelope over its last 200 ms.
    double LostFrames() const
    {
        double behind = 1e18;
        for (const auto& [at, offset] : readings_)
            if (readings_.back().first - at < std::chrono::milliseconds(200))
                behind = std::min(behind, offset_ - offset);
        return readings_.empty() ? 0 : behind;
    }
    double FrameAt(Clock::time_point t) const { return offset_ + seconds(t) * SoundServer::kRateHz; }

private:
    double seconds(Clock::time_point t) const { return std::chrono::duration<double>(t - epoch_).count(); }
    const SoundServer& server_;
    const Clock::time_point epoch_ = Clock::now();
    Clock::time_point last_{};
    double offset_ = -1e18;
    std::vector<std::pair<Clock::time_point, double>> readings_;
};

// A recording the recorder dropped sound from says nothing about the output:
// such a play is run again, a few times at most.
// Its file trails the envelope by a few hundred frames at most otherwise;
// a false alarm costs one more play, a missed loss a failure.
constexpr double kRecorderLossFrames = 512;
constexpr int kAttempts = 3;

// A 4 s title played to 1 s, paused for half a second, restarted, played to
// 2 s and stopped; where each part lies in the recording.
struct PausedPlay {
    std::int64_t heard_before_pause = 0; // title frames, bit-exact from its start
    std::int64_t pause_frame = 0;        // the title frame that should come next
    std::int64_t resumed_frame = -1;     // the one heard first after the restart
    std::int64_t silence = 0;            // frames of silence during the pause
    std::int64_t heard_after_restart = 0; // title frames, bit-exact from resumed_frame
    std::int64_t title_frames = 0;
    bool sound_after_stop = false;
    double recorder_lost_frames = 0;
    double pause_ms = 0, restart_ms = 0, stop_ms = 0;
};

class WaveOutOnSoundServer : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        server_ = std::make_unique<SoundServer>();
        // Before the ALSA backend first connects: PipeWire's client reads them then.
        if (server_->ok())
            server_->ApplyToThisProcess();
    }
    static void TearDownTestSuite() { server_.reset(); }

    void SetUp() override
    {
        if (!server_->ok())
            GTEST_SKIP() << "no private PipeWire server here: " << server_->problem().toStdString();
        if (!MpegLibrary::Instance().Loaded())
            GTEST_SKIP() << "decoder plug-in not found";
        if (server_down_) {
            ASSERT_TRUE(server_->Restart()) << server_->problem().toStdString();
            server_down_ = false;
        }
        ASSERT_TRUE(platform::wave::select_wave_system("alsa"));
    }
    void TearDown() override { platform::wave::select_wave_system("sim:0"); }

    // A 48 kHz MP3 title of `seconds` at `tone_hz`, and its decoded PCM.
    QString Title(const std::string& name, double seconds, double tone_hz, Pcm16* decoded = nullptr)
    {
        test::Mp3Options options = test::cbr128_stereo_44k(seconds);
        options.sample_rate_hz = SoundServer::kRateHz;
        options.tone_hz = tone_hz;
        const QString path = QString::fromStdString(dir_.write(name, test::encode_mp3(options)).string());
        if (decoded)
            *decoded = decode_title(path);
        return path;
    }

    bool Record()
    {
        recording_ = dir_.file("monitor.wav");
        return server_->StartRecording(recording_);
    }
    // Ends the recording a moment later (nothing still on its way is cut off).
    std::optional<Pcm16> Heard(RecordingClock& clock)
    {
        test::run_until(
            [&] {
                clock.Sample();
                return false;
            },
            300);
        server_->StopRecording();
        return test::read_wav16(recording_);
    }

    // Plays, pauses, restarts and stops a title and finds its parts in the recording.
    void PlayPauseRestartStop(PausedPlay& result);
    void PlayPausedUntilRecorded(PausedPlay& r)
    {
        for (int attempt = 0; attempt < kAttempts; ++attempt) {
            r = PausedPlay{};
            ASSERT_NO_FATAL_FAILURE(PlayPauseRestartStop(r));
            if (r.recorder_lost_frames < kRecorderLossFrames)
                return;
            std::printf("the recorder dropped %.0f frames: played again\n", r.recorder_lost_frames);
        }
    }
    // Plays `paths` in a row, each started from the previous one's OnStop as
    // the band does; what was heard, and when the last OnStop came.
    void PlayInARow(const QStringList& paths, std::optional<Pcm16>& heard, std::optional<RecordingClock>& clock,
                    Clock::time_point& last_stop);

    static inline std::unique_ptr<SoundServer> server_;
    static inline bool server_down_ = false;
    test::TempDir dir_;
    std::filesystem::path recording_;
};

void WaveOutOnSoundServer::PlayInARow(const QStringList& paths, std::optional<Pcm16>& heard,
                                      std::optional<RecordingClock>& clock, Clock::time_point& last_stop)
{
    TMMAudioFile source;
    test::LoggedOutput o(&source);
    int next = 1;
    o.on_stop = [&] {
        if (next < paths.size()) {
            source.SetFileName(paths[next++]);
            o.out.Start();
        } else {
            last_stop = Clock::now();
        }
    };
    ASSERT_TRUE(Record()) << "the monitor could not be recorded";
    clock.emplace(*server_);
    source.SetFileName(paths[0]);
    o.out.Start();
    ASSERT_TRUE(test::run_until(
        [&] {
            clock->Sample();
            return o.count('T') == 3;
        },
        15000))
        << "log " << o.log;
    heard = Heard(*clock);
    o.out.Close();
    // A new title's format closes the device (the next open takes over its
    // stream); no error.
    EXPECT_EQ(o.log, "OSTCOSTCOSTC");
}

// Three titles of one format, each started from the previous one's OnStop as
// the band advances through a playlist: each is heard whole and in order,
// they follow without an audible pause, and the last OnStop comes soon after
// the last sample was heard.
TEST_F(WaveOutOnSoundServer, TitlesStartedFromOnStopFollowBitExactWithoutAGapAndTheLastStopIsPrompt)
{
    std::vector<Pcm16> titles(3);
    const QStringList paths{Title("a.mp3", 1.2, 440.0, &titles[0]), Title("b.mp3", 0.8, 660.0, &titles[1]),
                            Title("c.mp3", 1.0, 550.0, &titles[2])};
    std::optional<Pcm16> heard;
    std::optional<RecordingClock> clock;
    Clock::time_point last_stop{};
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        ASSERT_NO_FATAL_FAILURE(PlayInARow(paths, heard, clock, last_stop));
        if (clock->LostFrames() < kRecorderLossFrames)
            break;
        std::printf("the recorder dropped %.0f frames: played again\n", clock->LostFrames());
    }
    ASSERT_TRUE(heard);
    const auto found = test::find_titles(*heard, titles);
    ASSERT_EQ(found.size(), 3u);
    for (std::size_t i = 0; i < found.size(); ++i) {
        EXPECT_TRUE(found[i].found) << "title " << i << " was not heard";
        EXPECT_TRUE(found[i].exact) << "title " << i << " was not heard bit-exact: its frame "
                                    << matching_frames(*heard, found[i].start, titles[i], 0) << " of "
                                    << titles[i].frames() << " differs";
    }
    ASSERT_TRUE(found[1].found && found[2].found);
    const double gap1_ms = double(found[1].gap_before) / kFramesPerMs;
    const double gap2_ms = double(found[2].gap_before) / kFramesPerMs;
    const double stop_late_ms = (clock->FrameAt(last_stop) - double(found[2].end)) / kFramesPerMs;
    std::printf("gap_ms=%.1f,%.1f last_onstop_after_last_sample_ms=%.1f recorder_behind_frames=%.0f\n", gap1_ms,
                gap2_ms, stop_late_ms, clock->LostFrames());
    RecordProperty("gap_ms", std::to_string(gap1_ms) + "," + std::to_string(gap2_ms));
    RecordProperty("last_onstop_after_last_sample_ms", std::to_string(stop_late_ms));
    EXPECT_LE(gap1_ms, 30.0);
    EXPECT_LE(gap2_ms, 30.0);
    // The recorder's file trails the sink a little, so an OnStop right at
    // the last sample can measure slightly below zero; a cut end is the
    // bit-exact check's to find.
    EXPECT_LE(stop_late_ms, 300.0);
}

void WaveOutOnSoundServer::PlayPauseRestartStop(PausedPlay& r)
{
    Pcm16 title;
    const QString path = Title("song.mp3", 4.0, 440.0, &title);
    TMMAudioFile source;
    test::LoggedOutput o(&source);
    o.out.SetTimeFormat(TMMWaveOut::tfMillisecond);
    ASSERT_TRUE(Record()) << "the monitor could not be recorded";
    RecordingClock clock(*server_);
    const auto play_until = [&](std::int64_t position_ms) {
        return test::run_until([&] {
            clock.Sample();
            return o.out.Position() >= position_ms;
        });
    };
    source.SetFileName(path);
    o.out.Start();
    ASSERT_TRUE(play_until(1000)) << "log " << o.log;
    const auto paused_at = Clock::now();
    o.out.Pause();
    test::run_until(
        [&] {
            clock.Sample();
            return false;
        },
        500);
    const auto restarted_at = Clock::now();
    o.out.Restart();
    ASSERT_TRUE(play_until(2000)) << "log " << o.log;
    const auto stopped_at = Clock::now();
    o.out.Stop();
    ASSERT_TRUE(test::run_until([&] { return o.count('T') == 1; }, 2000));
    const auto heard = Heard(clock);
    o.out.Close();
    EXPECT_EQ(o.log, "OSTC");
    ASSERT_TRUE(heard);

    // Heard up to the pause: the title from its start...
    const std::int64_t start = test::first_sound_frame(*heard) - test::first_sound_frame(title);
    r.heard_before_pause = matching_frames(*heard, start, title, 0);
    // ...then silence, then the title again, found where it is so that a
    // repeat or a skip is measured...
    const std::int64_t silent_from = start + r.heard_before_pause;
    const std::int64_t sound_again = test::first_sound_frame(*heard, silent_from);
    r.silence = sound_again - silent_from;
    r.pause_frame = test::first_sound_frame(title, r.heard_before_pause);
    r.resumed_frame = title_frame_heard_at(*heard, sound_again, title, r.pause_frame);
    r.heard_after_restart = matching_frames(*heard, sound_again, title, r.resumed_frame);
    // ...up to the stop, and nothing after it.
    const std::int64_t stopped = sound_again + r.heard_after_restart;
    r.sound_after_stop = test::end_of_sound(*heard) > stopped;
    r.title_frames = title.frames();
    r.recorder_lost_frames = clock.LostFrames();

    r.pause_ms = (double(silent_from) - clock.FrameAt(paused_at)) / kFramesPerMs;
    r.restart_ms = (double(sound_again) - clock.FrameAt(restarted_at)) / kFramesPerMs;
    r.stop_ms = (double(stopped) - clock.FrameAt(stopped_at)) / kFramesPerMs;
    std::printf("pause_to_silence_ms=%.1f restart_to_sound_ms=%.1f stop_to_silence_ms=%.1f "
                "heard_before_pause_ms=%.1f silence_ms=%.1f heard_after_restart_ms=%.1f "
                "restart_went_on_from_frame=%lld paused_before_frame=%lld recorder_behind_frames=%.0f\n",
                r.pause_ms, r.restart_ms, r.stop_ms, double(r.heard_before_pause) / kFramesPerMs,
                double(r.silence) / kFramesPerMs, double(r.heard_after_restart) / kFramesPerMs,
                static_cast<long long>(r.resumed_frame), static_cast<long long>(r.pause_frame),
                clock.LostFrames());
    RecordProperty("pause_to_silence_ms", std::to_string(r.pause_ms));
    RecordProperty("stop_to_silence_ms", std::to_string(r.stop_ms));
}

// Pause goes silent at once and Stop too; what is heard before the pause and
// after the restart is the title, bit-exact.
TEST_F(WaveOutOnSoundServer, PauseAndStopSilenceAtOnce)
{
    PausedPlay r;
    ASSERT_NO_FATAL_FAILURE(PlayPausedUntilRecorded(r));
    EXPECT_GT(r.heard_before_pause, SoundServer::kRateHz / 2) << "the title's start was not heard bit-exact";
    EXPECT_GT(r.silence, SoundServer::kRateHz / 4) << "the pause was not heard as silence";
    EXPECT_GE(r.resumed_frame, 0) << "what played after the restart is not the title near where it paused";
    EXPECT_GT(r.heard_after_restart, SoundServer::kRateHz / 2) << "the title was not heard bit-exact after the restart";
    EXPECT_LT(r.resumed_frame + r.heard_after_restart, r.title_frames) << "the stop did not end the title";
    EXPECT_FALSE(r.sound_after_stop) << "sound after the stop that is not the title's";
    EXPECT_LE(r.pause_ms, 100.0);
    EXPECT_LE(r.stop_ms, 100.0);
}

// Restart goes on from the very frame where the pause held the title: what
// the sound server had already taken when the pause dropped ALSA's ring is
// heard once, not again after the restart.
TEST_F(WaveOutOnSoundServer, RestartGoesOnFromTheFrameWherePausePaused)
{
    PausedPlay r;
    ASSERT_NO_FATAL_FAILURE(PlayPausedUntilRecorded(r));
    EXPECT_EQ(r.resumed_frame, r.pause_frame)
        << "the restart went on " << r.pause_frame - r.resumed_frame << " frames before where it paused";
}

// The server dies (kill -9) under a play: the output reports it, ends stopped
// and closed, never blocks a caller, and plays again once a server is back.
TEST_F(WaveOutOnSoundServer, AServerThatDiesEndsThePlayWithTheErrorAndAStartAfterItsReturnPlays)
{
    const QString long_title = Title("long.mp3", 20.0, 440.0);
    Pcm16 short_pcm;
    const QString short_title = Title("short.mp3", 1.0, 660.0, &short_pcm);
    TMMAudioFile source;
    test::LoggedOutput o(&source);
    o.out.SetTimeFormat(TMMWaveOut::tfMillisecond);
    const auto took_ms = [](const std::function<void()>& call) {
        const auto begun = Clock::now();
        try {
            call();
        } catch (const EMMWaveOutError&) {
        }
        return ms_since(begun);
    };

    source.SetFileName(long_title);
    o.out.Start();
    ASSERT_TRUE(test::run_until([&] { return o.out.Position() >= 500; })) << "log " << o.log;
    server_->KillServer();
    server_down_ = true;
    const auto killed = Clock::now();
    double error_ms = -1;
    ASSERT_TRUE(test::run_until(
        [&] {
            if (error_ms < 0 && o.count('E') > 0)
                error_ms = ms_since(killed);
            return o.count('C') == 1 && !o.out.IsOpen();
        },
        10000))
        << "log " << o.log;
    const double closed_ms = ms_since(killed);
    test::pump_for(30);
    EXPECT_EQ(o.log, "OSETC") << "error, then stopped and closed";
    ASSERT_EQ(o.reports.size(), 1u);
    // Every call on the output returns at once with the server gone; a pause
    // of a closed output opens it, which fails.
    const double stop_ms = took_ms([&] { o.out.Stop(); });
    const double pause_ms = took_ms([&] { o.out.Pause(); });
    const double close_ms = took_ms([&] { o.out.Close(); });
    std::printf("server_death_to_onerror_ms=%.1f server_death_to_closed_ms=%.1f error=\"%s\" "
                "then stop_ms=%.1f pause_ms=%.1f close_ms=%.1f\n",
                error_ms, closed_ms, o.reports[0].toLocal8Bit().replace("\n\r", " ").constData(), stop_ms,
                pause_ms, close_ms);
    RecordProperty("server_death_to_closed_ms", std::to_string(closed_ms));
    EXPECT_LE(error_ms, 2000.0);
    EXPECT_LE(closed_ms, 2000.0);
    EXPECT_LE(stop_ms, 1000.0);
    EXPECT_LE(pause_ms, 1000.0);
    EXPECT_LE(close_ms, 1000.0);
    EXPECT_FALSE(o.out.IsOpen());

    // The server is back: a start opens a fresh device and the title is heard whole.
    ASSERT_TRUE(server_->Restart()) << server_->problem().toStdString();
    server_down_ = false;
    std::optional<Pcm16> heard;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        ASSERT_TRUE(Record()) << "the monitor could not be recorded";
        RecordingClock clock(*server_);
        o.log.clear();
        source.SetFileName(short_title);
        o.out.Start();
        ASSERT_TRUE(test::run_until([&] {
            clock.Sample();
            return o.count('T') == 1;
        })) << "log " << o.log;
        heard = Heard(clock);
        EXPECT_EQ(o.log, attempt == 0 ? "OST" : "ST");
        if (clock.LostFrames() < kRecorderLossFrames)
            break;
        std::printf("the recorder dropped %.0f frames: played again\n", clock.LostFrames());
    }
    ASSERT_TRUE(heard);
    const auto found = test::find_titles(*heard, {short_pcm});
    ASSERT_EQ(found.size(), 1u);
    EXPECT_TRUE(found[0].found && found[0].exact) << "the title after the server's return was not heard bit-exact";

    // It dies again while a title plays, and the band stops and closes right
    // away, before the output has noticed: neither call waits for the server.
    source.SetFileName(long_title);
    o.out.Start();
    ASSERT_TRUE(test::run_until([&] { return o.out.Position() >= 300; })) << "log " << o.log;
    server_->KillServer();
    server_down_ = true;
    const double stop_at_once_ms = took_ms([&] { o.out.Stop(); });
    const double close_at_once_ms = took_ms([&] { o.out.Close(); });
    std::printf("stop_right_after_death_ms=%.1f close_right_after_death_ms=%.1f\n", stop_at_once_ms,
                close_at_once_ms);
    EXPECT_LE(stop_at_once_ms, 1000.0);
    EXPECT_LE(close_at_once_ms, 1000.0);
    EXPECT_TRUE(test::run_until([&] { return !o.out.IsOpen(); }, 3000));
    test::pump_for(30);
    EXPECT_EQ(o.count('S'), o.count('T')) << "log " << o.log;
}

} // namespace
} // namespace pelu

