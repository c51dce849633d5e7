// Painting cost of the band: the strip with every control (band_demo's band on
// the current Qt platform, offscreen by default: real raster painting into the
// window's backing store, no compositor), in three phases measured in
// interleaved rounds as CPU time of the whole process (getrusage):
//
//   playing            the displays animating as while a file plays: status
//                      line scrolling every 50 ms, meters and spectrum fed every
//                      10 ms by the demo's feed (what the connector would hand
//                      them), time display every 100 ms, seek slider every 500 ms
//   playing, no paint  the same feed and timers with the strip's painting
//                      switched off: the analysers' computing, the feed and the
//                      timers alone
//   stopped            nothing fed; the status line scrolling its text
//
// Painting while playing is the first minus the second (medians). For each
// phase it also prints how often each display painted and how many pixels the
// paints covered per second.
//
//   bench_paint [--rounds R] [SECONDS]   each phase lasts SECONDS per round (default 6), R rounds (default 5)
#include "band_demo.h"

#include "cpu_rounds.h"

#include "widgets/analyser_views.h"
#include "widgets/scrolling_text.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QPaintEvent>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <map>

namespace {

// Counts the paint events of one widget and the pixels they covered.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
    long long count = 0;
    long long pixels = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint) {
            ++count;
            for (const QRect& r : static_cast<QPaintEvent*>(event)->region())
                pixels += qint64(r.width()) * r.height();
        }
        return false;
    }
};

void RunLoop(double seconds)
{
    QEventLoop loop;
    QTimer::singleShot(int(seconds * 1000), Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    double seconds = 6;
    int rounds = 5;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else
            seconds = std::atof(argv[i]);
    }
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: bench_paint [--rounds R] [SECONDS]\n");
        return 2;
    }
    QApplication app(argc, argv);
    QWidget host;
    host.resize(804, 28);
    pelu::gallery::Band band = pelu::gallery::BuildBand(&host);
    host.show();
    pelu::gallery::BandAnimator animator(band);
    struct Counted {
        const char* name;
        PaintCounter counter;
    };
    Counted counted[] = {{"status line", PaintCounter(band.status)},
                         {"spectrum", PaintCounter(band.spectrum)},
                         {"left meter", PaintCounter(band.level_left)},
                         {"right meter", PaintCounter(band.level_right)}};
    RunLoop(0.5); // start-up work is not counted

    enum Phase { kPlaying, kNoPaint, kStopped };
    const char* labels[] = {"playing (feed + analysers + painting)", "playing, painting off (feed + analysers)",
                            "stopped (status line scrolling)"};
    std::map<int, std::vector<std::pair<long long, long long>>> paints; // per phase: per widget count, pixels
    for (int p = 0; p < 3; ++p)
        paints[p].assign(std::size(counted), {0, 0});
    double wall_total[3] = {0, 0, 0};
    std::vector<pelu::bench::Contender> phases;
    for (int p = 0; p < 3; ++p) {
        phases.push_back({labels[p], "bench_paint phase, " + std::to_string(seconds) + " s in this process",
                          [&, p]() -> std::optional<double> {
                              if (p == kStopped) {
                                  animator.Stop();
                                  band.status->SetText(QStringLiteral("Corvel-Ready"));
                              } else {
                                  animator.Start();
                              }
                              band.strip->setUpdatesEnabled(p != kNoPaint);
                              RunLoop(0.3); // the change of phase settles
                              for (Counted& c : counted)
                                  c.counter.count = c.counter.pixels = 0;
                              const double cpu_start = pelu::bench::ProcessCpuSeconds();
                              QElapsedTimer wall;
                              wall.start();
                              RunLoop(seconds);
                              const double cpu = pelu::bench::ProcessCpuSeconds() - cpu_start;
                              const double elapsed = wall.elapsed() / 1000.0;
                              wall_total[p] += elapsed;
                              for (std::size_t i = 0; i < std::size(counted); ++i) {
                                  paints[p][i].first += counted[i].counter.count;
                                  paints[p][i].second += counted[i].counter.pixels;
                              }
                              return 100.0 * cpu / elapsed;
                          }});
    }
    pelu::bench::RunInterleaved(phases, rounds);
    animator.Stop();

    std::printf("band painting on the '%s' platform, %d rounds of %.1f s per phase\n",
                qPrintable(QGuiApplication::platformName()), rounds, seconds);
    pelu::bench::PrintContenders(phases, "% of one core, whole process", rounds);
    std::printf("  painting while playing (playing minus painting off, medians): %.2f%% of one core\n",
                phases[kPlaying].Median() - phases[kNoPaint].Median());
    for (int p = 0; p < 3; ++p) {
        std::printf("  %s, paints/s (pixels/s):", labels[p]);
        for (std::size_t i = 0; i < std::size(counted); ++i)
            std::printf("  %s %.1f (%.0f)", counted[i].name, paints[p][i].first / wall_total[p],
                        paints[p][i].second / wall_total[p]);
        std::printf("\n");
    }
    return 0;
}
