// The band's CPU cost as a user leaves it in the browser: the real player form
// (chain, connector, both level meters and the spectrum computing and painting,
// the time display, seek slider, status line and icon blink) playing a 60 s
// 128 kbit/s stereo MP3 at real time on the simulated device, with the panels
// closed; then the same form stopped for as long. CPU time of the whole
// process (getrusage) over each phase, as a percentage of one core, and the
// frames of the band's window per second: each frame is one paint and flush
// of the window, which in the browser costs a composition of the window.
//
//   bench_band [SECONDS]    each phase lasts SECONDS (default 30, at most 55)
//
// The form runs against a temporary registry file and storage folder, so the
// user's own settings are never touched; the Qt platform is offscreen unless
// QT_QPA_PLATFORM says otherwise.
#include "bench_band_form.h"
#include "frame_log.h"
#include "mp3_fixtures.h"

#include "platform/wave/wave_device.h"
#include "player/band_form.h"
#include "audio/wave_out.h"
#include "widgets/band_layout.h"
#include "widgets/playlist_tree.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>

namespace {

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

pelu::test::FrameLog* g_frames = nullptr;
// A frame sooner than this after the one before beats a 60 Hz screen.
constexpr std::int64_t kRefreshUs = 16667 - 1000;

struct Phase {
    double cpu_s = 0;
    double wall_s = 0;
    qint64 frames = 0;
    qint64 paints = 0;
    qint64 close_frames = 0; // less than a 60 Hz refresh (less 1 ms) after the one before
    double percent() const { return wall_s > 0 ? 100.0 * cpu_s / wall_s : 0; }
    double per_second(qint64 n) const { return wall_s > 0 ? n / wall_s : 0; }
};

// Runs the event loop for `seconds` and measures the process's CPU over it.
Phase Measure(double seconds)
{
    QElapsedTimer wall;
    const double cpu_start = CpuSeconds();
    const qint64 frames = g_frames->Frames(), paints = g_frames->paints;
    const qint64 close = g_frames->CloserThan(kRefreshUs);
    wall.start();
    QEventLoop loop;
    QTimer::singleShot(int(seconds * 1000), Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
    return Phase{CpuSeconds() - cpu_start, wall.elapsed() / 1000.0, g_frames->Frames() - frames,
                 g_frames->paints - paints, g_frames->CloserThan(kRefreshUs) - close};
}

void Settle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

int main(int argc, char** argv)
{
    double seconds = argc > 1 ? std::atof(argv[1]) : 30;
    if (seconds <= 0 || seconds > 55) {
        std::fprintf(stderr, "usage: bench_band [SECONDS]   (1..55, default 30)\n");
        return 2;
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    pelu::platform::wave::select_wave_system("sim:1");
    QApplication app(argc, argv);

    pelu::bench::BenchBandForm band;
    const QString song = QString::fromStdString(
        band.dir().write("song.mp3", pelu::test::encode_mp3(pelu::test::cbr128_stereo_44k(60.0))).string());
    auto form = band.Make();
    form->show();
    pelu::test::FrameLog frame_log(form->window());
    g_frames = &frame_log;
    form->AddFiles({song});
    Settle(500);

    form->Controls().playlist->SetRowSelected(0, true);
    form->ImageButton1Click();
    if (!form->MMWaveOut1()->IsPlaying()) {
        std::fprintf(stderr, "bench_band: the form did not start playing\n");
        return 1;
    }
    Settle(1000); // the first buffers and the displays' first pictures
    const Phase playing = Measure(seconds);
    form->ImageButton4Click();
    Settle(1000);
    const Phase stopped = Measure(seconds);

    std::printf("the band in its form (%s platform, sim:1 device, 60 s 128 kbit/s stereo MP3, panels closed)\n",
                qPrintable(QGuiApplication::platformName()));
    std::printf("  playing, both meters and the spectrum shown: %.3f s CPU in %.1f s = %.2f%% of one core\n",
                playing.cpu_s, playing.wall_s, playing.percent());
    std::printf("  stopped:                                     %.3f s CPU in %.1f s = %.2f%% of one core\n",
                stopped.cpu_s, stopped.wall_s, stopped.percent());
    std::printf("  frames of the band's window: playing %.1f/s (%.1f widget paints/s), stopped %.1f/s (%.1f/s)\n",
                playing.per_second(playing.frames), playing.per_second(playing.paints),
                stopped.per_second(stopped.frames), stopped.per_second(stopped.paints));
    std::printf("  frames sooner than a 60 Hz refresh after the one before: playing %lld, stopped %lld\n",
                static_cast<long long>(playing.close_frames), static_cast<long long>(stopped.close_frames));
    form.reset();
    return 0;
}
