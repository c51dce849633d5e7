// bench_playlist_load: the longest time the band's event loop is held while
// the playlist panel's Load fills the playlist from a list of 100,000 entries.
// The real form runs with its playlist panel open (so the rows are laid out
// and painted as a user would see them); a heartbeat timer asks for the event
// loop every millisecond, and every gap between two heartbeats is a time the
// loop was held (a slice of rows, the painting after it, the clearing of the
// old list). Reported: the longest gap, the 99th and 50th percentile of the
// gaps, the number of gaps over 200 ms, the longest slice the loader itself
// measured, and the whole load's time.
//
// Lists: an M3U8 of ENTRIES entries naming FILES distinct 1 s MP3s in turn
// (every entry an MP3 whose header and tags are read), then the same playlist
// saved as the band's media list and loaded over the first (the 100,000 old
// rows are cleared first).
//
// Between the two loads, the autosave that the first load's end starts is
// watched the same way.
//
//   bench_playlist_load [ENTRIES [FILES]]   (default 100000 entries, 1000 files)
//
// With --memory: what a media list's rows cost in memory. Two lists of ROWS
// rows are written and loaded as above, each in a fresh process state of its
// own (the program runs itself once per list): "dense", records of 64 bytes
// with no text and no columns (the most rows the reader takes for a file's
// size), and "band", rows as the band writes them (number and name, time,
// artist, a path in a music folder, milliseconds, key). Reported: the growth
// of the peak resident size (VmHWM) over the load and over the autosave that
// follows it, and the resident size the rows keep afterwards, each per row
// and per byte of the file.
//
//   bench_playlist_load --memory [ROWS]   (default 200000 rows)
#include "bench_band_form.h"
#include "mp3_fixtures.h"

#include "platform/wave/wave_device.h"
#include "player/band_form.h"
#include "playlist/playlist_formats.h"
#include "playlist/media_list.h"
#include "player/playlist_loader.h"
#include "widgets/band_layout.h"
#include "widgets/explorer_popup.h"
#include "widgets/playlist_tree.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <cstdlib>
#include <functional>
#include <vector>

namespace {

struct Run {
    std::vector<double> gaps_ms;
    double total_s = 0;
    double longest_slice_ms = 0;
    int rows = 0;
};

double Percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(p * double(values.size())))];
}

// Runs the event loop with the playlist panel open and a heartbeat asking for
// it every millisecond: `begin` runs first, and the run ends once `done` holds.
Run Heartbeat(pelu::player::TBandForm& form, const std::function<void()>& begin,
              const std::function<bool(qint64 elapsed_ms)>& done)
{
    Run run;
    const auto& controls = form.Controls();
    QElapsedTimer clock, since_beat;
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        run.gaps_ms.push_back(since_beat.nsecsElapsed() / 1e6);
        since_beat.restart();
        if (done(clock.elapsed())) {
            heartbeat.stop();
            controls.playlist_panel->ClosePanel();
        }
    });
    QTimer::singleShot(100, [&] {
        clock.start();
        since_beat.start();
        heartbeat.start(1);
        begin();
    });
    controls.playlist_panel->OpenBelow(controls.anchors[1]);
    run.total_s = clock.nsecsElapsed() / 1e9;
    run.rows = controls.playlist->RowCount();
    return run;
}

// Loads `list` through the form.
Run Load(pelu::player::TBandForm& form, const QString& list)
{
    Run run = Heartbeat(form, [&] { form.LoadPlaylistFile(list); }, [&](qint64) { return !form.LoadingPlaylist(); });
    run.longest_slice_ms = form.Loader()->LongestSliceNs() / 1e6;
    return run;
}

// The event loop over `ms` milliseconds (the autosave that follows a load
// writes the whole list).
Run Watch(pelu::player::TBandForm& form, int ms)
{
    return Heartbeat(form, [] {}, [&](qint64 elapsed_ms) { return elapsed_ms >= ms; });
}

void Print(const char* what, const Run& run)
{
    const double longest = run.gaps_ms.empty() ? 0 : *std::max_element(run.gaps_ms.begin(), run.gaps_ms.end());
    const auto over = std::count_if(run.gaps_ms.begin(), run.gaps_ms.end(), [](double gap) { return gap > 200; });
    std::printf("%s: %d rows in %.2f s\n", what, run.rows, run.total_s);
    std::printf("  event loop held: longest %.1f ms, p99 %.1f ms, median %.2f ms, %zu gaps, %td over 200 ms\n",
                longest, Percentile(run.gaps_ms, 0.99), Percentile(run.gaps_ms, 0.5), run.gaps_ms.size(), over);
    if (run.longest_slice_ms > 0)
        std::printf("  longest slice the loader measured: %.1f ms (budget %d ms per slice)\n", run.longest_slice_ms,
                    pelu::player::PlaylistLoader::kSliceMs);
}

// A field of /proc/self/status in kB ("VmHWM", "VmRSS").
long StatusKb(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(status, line))
        if (line.rfind(prefix, 0) == 0)
            return std::atol(line.c_str() + prefix.size());
    return -1;
}

void PutInt32(QByteArray& out, std::int32_t value)
{
    const auto u = static_cast<std::uint32_t>(value);
    const char bytes[4] = {char(u & 0xFF), char((u >> 8) & 0xFF), char((u >> 16) & 0xFF), char((u >> 24) & 0xFF)};
    out.append(bytes, 4);
}

// `rows` old-form records of 64 bytes: no text, a 44-byte hint, no columns.
QByteArray DenseMediaList(int rows)
{
    QByteArray out;
    out.reserve(12 + qsizetype(rows) * 64);
    PutInt32(out, 0); // root: empty text
    PutInt32(out, 0); // no columns
    PutInt32(out, rows);
    const QByteArray hint(44, 'h');
    for (int i = 0; i < rows; ++i) {
        PutInt32(out, 0);
        PutInt32(out, -1);
        PutInt32(out, std::int32_t(hint.size()));
        out += hint;
        PutInt32(out, 0);
        PutInt32(out, 0);
    }
    return out;
}

QByteArray BandMediaList(int rows)
{
    std::vector<pelu::player::PlaylistRow> list;
    list.reserve(std::size_t(rows));
    for (int i = 0; i < rows; ++i) {
        const QString name = QStringLiteral("Song title %1").arg(i);
        list.push_back({QStringLiteral("%1. ").arg(i + 1) + name,
                        {QStringLiteral("3:25"), QStringLiteral("Artist %1").arg(i % 97),
                         QStringLiteral("/home/user/Music/Artist %1/").arg(i % 97) + name + QStringLiteral(".mp3"),
                         QStringLiteral("205000"), QString::number(i), QString()},
                        -1,
                        false});
    }
    return pelu::player::WriteMediaList(list);
}

// Loads the list `bri` of `rows` rows in this process; prints one line.
// Returns the exit code.
int MeasureMemory(const QString& bri, int rows)
{
    const qint64 file_bytes = QFileInfo(bri).size();
    pelu::bench::BenchBandForm band;
    auto form = band.Make();
    form->show();
    Watch(*form, 200); // the form settled, its first paint done
    const long hwm_before = StatusKb("VmHWM"), rss_before = StatusKb("VmRSS");
    const Run run = Load(*form, bri);
    const long hwm_load = StatusKb("VmHWM");
    Watch(*form, pelu::player::TBandForm::kAutosaveDelayMs + 1500);
    const long hwm_autosave = StatusKb("VmHWM"), rss_after = StatusKb("VmRSS");
    auto per = [&](long kb, double count) { return double(kb) * 1024.0 / count; };
    std::printf("%-9s %7d rows, file %5.1f MB (%5.1f B/row): peak +%4ld MB at load (%5.0f B/row, %4.1f x file), "
                "+%4ld MB with the autosave (%5.0f B/row, %4.1f x file); kept +%4ld MB (%5.0f B/row)\n",
                qPrintable(QFileInfo(bri).completeBaseName()), run.rows, file_bytes / 1e6, double(file_bytes) / rows,
                (hwm_load - hwm_before) / 1024, per(hwm_load - hwm_before, rows),
                per(hwm_load - hwm_before, double(file_bytes)), (hwm_autosave - hwm_before) / 1024,
                per(hwm_autosave - hwm_before, rows), per(hwm_autosave - hwm_before, double(file_bytes)),
                (rss_after - rss_before) / 1024, per(rss_after - rss_before, rows));
    form->BandClosing();
    form.reset();
    return run.rows == rows ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--memory") == 0) {
        const int rows = argc > 2 ? std::atoi(argv[2]) : 200000;
        if (rows <= 0) {
            std::fprintf(stderr, "usage: bench_playlist_load --memory [ROWS]\n");
            return 2;
        }
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        pelu::platform::wave::select_wave_system("sim:0");
        if (argc > 3) { // one list, in this process
            QApplication app(argc, argv);
            return MeasureMemory(QString::fromLocal8Bit(argv[3]), rows);
        }
        std::printf("bench_playlist_load --memory: media lists of %d rows loaded through the form, panel open\n", rows);
        // The lists are written here, so that making them weighs on no load's peak.
        const pelu::test::TempDir dir;
        int failures = 0;
        for (const char* kind : {"dense", "band"}) {
            const QByteArray bytes = std::strcmp(kind, "dense") == 0 ? DenseMediaList(rows) : BandMediaList(rows);
            const QString bri = QString::fromStdString(dir.file(std::string(kind) + ".bri").string());
            QFile out(bri);
            if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size())
                return 1;
            out.close();
            std::fflush(stdout);
            failures += QProcess::execute(QString::fromLocal8Bit(argv[0]),
                                          {QStringLiteral("--memory"), QString::number(rows), bri}) != 0;
        }
        return failures == 0 ? 0 : 1;
    }
    const int entries = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int files = argc > 2 ? std::atoi(argv[2]) : 1000;
    if (entries <= 0 || files <= 0 || files > entries) {
        std::fprintf(stderr, "usage: bench_playlist_load [ENTRIES [FILES]]\n");
        return 2;
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    pelu::platform::wave::select_wave_system("sim:0");
    QApplication app(argc, argv);

    pelu::bench::BenchBandForm band;
    const pelu::test::TempDir& dir = band.dir();
    std::filesystem::create_directories(dir.path() / "music");
    const pelu::test::Bytes song = pelu::test::encode_mp3(pelu::test::cbr128_stereo_44k(1.0));
    QStringList songs;
    for (int i = 0; i < files; ++i)
        songs << QString::fromStdString(dir.write("music/song " + std::to_string(i) + ".mp3", song).string());
    QByteArray text = "#EXTM3U\n";
    for (int i = 0; i < entries; ++i)
        text += "#EXTINF:1,Artist - Title\n" + songs[i % files].toUtf8() + "\n";
    const QString m3u8 = QString::fromStdString(dir.file("music/big.m3u8").string());
    {
        QFile out(m3u8);
        if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size())
            return 1;
    }

    auto form = band.Make();
    form->show();

    std::printf("bench_playlist_load: %d entries over %d distinct 1 s MP3s, %s platform, playlist panel open\n",
                entries, files, qPrintable(QGuiApplication::platformName()));
    const Run from_m3u8 = Load(*form, m3u8);
    Print("M3U8 into an empty playlist", from_m3u8);

    // Saving the rows is what the autosave and the end of a session do.
    const QString bri = QString::fromStdString(dir.file("music/big.bri").string());
    QElapsedTimer save_clock;
    save_clock.start();
    form->SaveMediaList(bri);
    std::printf("saving the %d rows as a media list (what the autosave does): %.1f ms\n",
                form->Controls().playlist->RowCount(), save_clock.nsecsElapsed() / 1e6);
    // The autosave the M3U8's load started: the rows are copied on the main
    // thread and written on the writer's own.
    const Run autosave = Watch(*form, pelu::player::TBandForm::kAutosaveDelayMs + 1500);
    Print("the autosave after that load", autosave);
    const Run from_bri = Load(*form, bri);
    Print("media list loaded over those rows", from_bri);

    form->BandClosing();
    form.reset();
    return from_m3u8.rows == entries && from_bri.rows == entries ? 0 : 1;
}
