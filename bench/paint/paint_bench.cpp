// Painting cost of the band: the strip with every control, animating as it does
// while a file plays (status line scrolling every 50 ms, meters and spectrum fed
// at the connector's pace from a synthetic 44.1 kHz stereo signal, time display
// every 100 ms, seek slider every 500 ms), for a run of N seconds on the
// current Qt platform (offscreen by default: real raster painting into the
// window's backing store, no compositor). Reports the process's CPU time over
// the run as a percentage of one core, and how often each display painted.
//
//   bench_paint [SECONDS]          default 60
//   bench_paint --idle [SECONDS]   the same band, stopped (status line only)
//   bench_paint --no-paint [SECONDS]  playing, but nothing paints: the cost of
//                                   the analysers' computing and the feed alone
#include "band_demo.h"

#include "widgets/analyser_views.h"
#include "widgets/scrolling_text.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>
#include <cstring>

namespace {

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Counts paint events of one widget.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
    long long count = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            ++count;
        return false;
    }
};

} // namespace

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    bool idle = false, no_paint = false;
    double seconds = 60;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--idle"))
            idle = true;
        else if (!std::strcmp(argv[i], "--no-paint"))
            no_paint = true;
        else
            seconds = std::atof(argv[i]);
    }
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: bench_paint [--idle] [SECONDS]\n");
        return 2;
    }
    QApplication app(argc, argv);
    QWidget host;
    host.resize(804, 28);
    pelu::gallery::Band band = pelu::gallery::BuildBand(&host);
    host.show();
    pelu::gallery::BandAnimator animator(band);
    PaintCounter status(band.status), spectrum(band.spectrum), left(band.level_left), right(band.level_right),
        strip(band.strip);
    if (!idle)
        animator.Start();
    if (no_paint)
        band.strip->setUpdatesEnabled(false);
    // Settle first, so start-up work is not counted.
    QTimer::singleShot(500, &app, [&] {
        status.count = spectrum.count = left.count = right.count = strip.count = 0;
        const double cpu_start = CpuSeconds();
        QElapsedTimer wall;
        wall.start();
        QTimer::singleShot(int(seconds * 1000), &app, [&, cpu_start, wall] {
            const double cpu = CpuSeconds() - cpu_start;
            const double elapsed = wall.elapsed() / 1000.0;
            std::printf("band painting, %s, %.1f s on the '%s' platform\n", idle ? "stopped" : no_paint ? "playing, painting off" : "playing", elapsed,
                        qPrintable(QGuiApplication::platformName()));
            std::printf("  paints/s: status line %.1f, spectrum %.1f, left meter %.1f, right meter %.1f\n",
                        status.count / elapsed, spectrum.count / elapsed, left.count / elapsed, right.count / elapsed);
            std::printf("  cpu: %.3f s = %.2f%% of one core (painting, plus the analysers' computing and the feed)\n",
                        cpu, 100.0 * cpu / elapsed);
            app.quit();
        });
    });
    return app.exec();
}
