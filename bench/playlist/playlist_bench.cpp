// How long the playlist's file work takes at sizes users reach:
//  - a media list of ROWS rows (10,000 by default): writing it to bytes,
//    saving it (temporary file, flush to disk, rename), loading it back, and
//    loading it into a shown playlist tree as the band does (rows added, the
//    view laid out and painted);
//  - the rows "Load Files" builds for FILES synthesised MP3 files (1,000 by
//    default): every file read for its header and tag and opened by the
//    decoder for its length, as the band does.
//  - editing a shown playlist as Delete Selected Files and a drop do: 10,000
//    scattered rows deleted of 100,000 (every tenth), and one row moved from
//    the top to the bottom of 20,000, each with the current row found again by
//    its key and the rows renumbered.
// Each figure is the best and the median of ROUNDS rounds (5 by default), with
// the files in the page cache, as they are right after a folder was browsed.
//   bench_playlist [ROWS=10000] [FILES=1000] [ROUNDS=5]
#include "audio/mpeg.h"
#include "mp3_fixtures.h"
#include "playlist/media_list.h"
#include "player/playlist_edits.h"
#include "playlist/playlist_rows.h"
#include "platform/time_text.h"
#include "widgets/playlist_tree.h"

#include <QApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

using namespace pelu;
using namespace pelu::player;

namespace {

struct Timing {
    double best_ms;
    double median_ms;
};

Timing time_rounds(int rounds, const std::function<void()>& work)
{
    std::vector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    return {ms.front(), ms[ms.size() / 2]};
}

// CPU time of this thread: what the work costs when other programs share the machine.
double thread_cpu_ms()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

void report(const char* what, const Timing& t, const char* aim = nullptr)
{
    std::printf("  %-44s best %8.1f ms   median %8.1f ms%s%s\n", what, t.best_ms, t.median_ms, aim ? "   " : "",
                aim ? aim : "");
}

// A playlist like a large music collection: folders by artist and album.
std::vector<PlaylistRow> large_playlist(int count)
{
    std::vector<PlaylistRow> rows;
    rows.reserve(std::size_t(count));
    for (int i = 0; i < count; ++i) {
        const QString artist = QStringLiteral("Artist Number %1").arg(i / 120);
        const QString path = QStringLiteral("/home/user/Music/%1/Album %2/%3 - Track title number %4.mp3")
                                 .arg(artist)
                                 .arg(i / 12)
                                 .arg(i % 12 + 1, 2, 10, QLatin1Char('0'))
                                 .arg(i);
        const int ms = 120000 + (i * 7919) % 300000;
        PlaylistRow row;
        row.text = RowText(i + 1, path);
        row.columns = {platform::time_text_ms(ms), artist, path, QString::number(ms), QString::number(i), QString()};
        row.image_index = i == 42 ? 0 : (i % 3 == 0 ? 3 : -1);
        rows.push_back(std::move(row));
    }
    return rows;
}

} // namespace

int main(int argc, char** argv)
{
    // Offscreen unless the caller chose a platform: the tree is shown and painted.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int row_count = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int file_count = argc > 2 ? std::atoi(argv[2]) : 1000;
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
    test::TempDir dir;

    // --- media list ---------------------------------------------------------
    const std::vector<PlaylistRow> rows = large_playlist(row_count);
    const QString list_path = QString::fromStdString(dir.file("es.xes").string());
    QByteArray bytes;
    std::vector<PlaylistRow> loaded;
    std::printf("media list of %d rows\n", row_count);
    report("write to bytes", time_rounds(rounds, [&] { bytes = WriteMediaList(rows); }));
    report("save (temporary file, fsync, rename)", time_rounds(rounds, [&] { SaveMediaListFile(list_path, rows); }));
    report("read from bytes", time_rounds(rounds, [&] { ReadMediaList(bytes, loaded); }));
    report("load from the file", time_rounds(rounds, [&] { LoadMediaListFile(list_path, loaded); }));
    if (loaded != rows) {
        // No row is selected, so every row must come back exactly as saved.
        std::fprintf(stderr, "bench_playlist: the loaded list differs from the saved one\n");
        return 1;
    }
    std::printf("  file size %lld bytes\n", static_cast<long long>(bytes.size()));
    // As the band loads a list: the shown tree emptied, the rows read and
    // added in one update, then laid out and painted.
    widgets::TElTree tree;
    tree.resize(560, 400);
    tree.show();
    QApplication::processEvents();
    report("load and show in the playlist", time_rounds(rounds, [&] {
               tree.Clear();
               std::vector<PlaylistRow> shown;
               LoadMediaListFile(list_path, shown);
               tree.BeginUpdate();
               for (const PlaylistRow& row : shown)
                   tree.AddRow(row.text, row.columns, row.image_index);
               tree.EndUpdate();
               tree.repaint();
               QApplication::processEvents();
           }),
           "(aim: < 200 ms)");
    if (tree.RowCount() != row_count) {
        std::fprintf(stderr, "bench_playlist: the tree shows %d rows of %d\n", tree.RowCount(), row_count);
        return 1;
    }

    // --- editing -------------------------------------------------------------------
    {
        const std::vector<PlaylistRow> hundred_thousand = large_playlist(100000);
        widgets::TElTree edited;
        edited.resize(560, 400);
        edited.show();
        auto fill = [&](int count) {
            edited.Clear();
            edited.BeginUpdate();
            for (int i = 0; i < count; ++i) {
                const PlaylistRow& row = hundred_thousand[std::size_t(i)];
                edited.AddRow(row.text, row.columns, row.image_index);
            }
            edited.EndUpdate();
            QApplication::processEvents();
        };
        std::printf("editing a shown playlist\n");
        std::vector<double> ms, cpu_ms;
        for (int round = 0; round < rounds; ++round) {
            fill(100000);
            for (int i = 5; i < 100000; i += 10)
                edited.SetRowSelected(i, true);
            const double cpu_start = thread_cpu_ms();
            const auto start = std::chrono::steady_clock::now();
            // As the band deletes: mark and remove, find the current row, renumber.
            const int first = DeleteSelectedRows(edited);
            LastRowWithKey(edited, QStringLiteral("99999"), 0);
            RenumberRows(edited, first, edited.RowCount());
            edited.repaint();
            QApplication::processEvents();
            ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
            cpu_ms.push_back(thread_cpu_ms() - cpu_start);
            if (edited.RowCount() != 90000) {
                std::fprintf(stderr, "bench_playlist: %d rows left of 90000\n", edited.RowCount());
                return 1;
            }
        }
        std::sort(ms.begin(), ms.end());
        report("delete 10,000 scattered rows of 100,000", {ms.front(), ms[ms.size() / 2]}, "(aim: < 200 ms)");
        std::sort(cpu_ms.begin(), cpu_ms.end());
        report("  the same, CPU time of the band's thread", {cpu_ms.front(), cpu_ms[cpu_ms.size() / 2]});
        ms.clear();
        fill(20000);
        for (int round = 0; round < rounds; ++round) {
            const auto start = std::chrono::steady_clock::now();
            // As a drop moves: the row, the current row found again, the rows between renumbered.
            edited.SetFocusedRow(0);
            edited.MoveRow(0, 19999);
            LastRowWithKey(edited, QStringLiteral("19999"), 0);
            RenumberRows(edited, 0, 20000);
            edited.repaint();
            QApplication::processEvents();
            ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        }
        std::sort(ms.begin(), ms.end());
        report("move the first row of 20,000 to the end", {ms.front(), ms[ms.size() / 2]});
    }

    // --- Load Files ------------------------------------------------------------
    // A few encodings, each file with its own ID3v1 tag, as in a real folder.
    std::vector<test::Bytes> variants;
    for (const test::Mp3Options& o : {test::cbr128_stereo_44k(3.0), test::vbr_xing_stereo_44k(3.0),
                                      test::mpeg2_mono_22k(3.0)})
        variants.push_back(test::encode_mp3(o));
    QStringList paths;
    for (int i = 0; i < file_count; ++i) {
        test::Bytes file = variants[std::size_t(i) % variants.size()];
        if (i % 4 != 3) {
            file = test::append_id3v1(file, test::id3v1_tag("Title " + std::to_string(i),
                                                             "Artist " + std::to_string(i / 10), "Album", "2001",
                                                             "", std::uint8_t(i % 126)));
        }
        paths << QString::fromStdString(dir.write("song " + std::to_string(i) + ".mp3", file).string());
    }
    mpeginfo::TMPEGAudioList scratch;
    TMMMPEGFile mpegfile;
    std::vector<PlaylistRow> built;
    std::printf("Load Files over %d MP3 files of 3 s (CBR, VBR, MPEG-2 mono; 3 in 4 tagged)\n", file_count);
    report("filter, read and build the rows",
           time_rounds(std::min(rounds, 3), [&] { built = BuildRowsForFiles(Mp3FilesOf(paths), 0, scratch, mpegfile); }),
           "(aim: < 1 s)");
    if (built.size() != std::size_t(file_count)) {
        std::fprintf(stderr, "bench_playlist: %zu rows built for %d files\n", built.size(), file_count);
        return 1;
    }
    return 0;
}
