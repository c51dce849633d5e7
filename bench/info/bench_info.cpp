// Files per second analysed by `pelu info` over 1000 MP3 files, beside
// python3-mutagen reading the same files' MPEG information and ID3v1 tag in
// one process. `pelu` is timed as a whole process (start-up included);
// mutagen's loop is timed inside the interpreter (start-up excluded), so the
// ratio leans in mutagen's favour.
//   bench_info [FILES=1000] [ROUNDS=5]
#include "mp3_fixtures.h"

#include <QProcess>
#include <QStringList>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace pelu::test;

namespace {

double run_seconds(const QString& program, const QStringList& args, QByteArray* out)
{
    QProcess process;
    process.setStandardOutputFile(out ? QString() : QProcess::nullDevice());
    const auto start = std::chrono::steady_clock::now();
    process.start(program, args);
    if (!process.waitForFinished(600000) || process.exitStatus() != QProcess::NormalExit) {
        std::fprintf(stderr, "bench_info: %s did not finish\n", program.toLocal8Bit().constData());
        std::exit(1);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (out)
        *out = process.readAllStandardOutput();
    if (process.exitCode() != 0) {
        std::fprintf(stderr, "bench_info: %s failed: %s\n", program.toLocal8Bit().constData(),
                     process.readAllStandardError().constData());
        std::exit(1);
    }
    return seconds;
}

} // namespace

int main(int argc, char** argv)
{
    const int file_count = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;

    // A mix like a music folder: every version, mono and stereo, CBR and VBR,
    // most with an ID3v1 tag, some behind an ID3v2 block.
    std::vector<Bytes> variants;
    const int rates[] = {44100, 48000, 32000, 22050, 24000, 16000, 11025, 12000, 8000};
    for (int rate : rates) {
        for (bool vbr : {false, true}) {
            Mp3Options o;
            o.sample_rate_hz = rate;
            o.channels = rate >= 22050 ? 2 : 1;
            o.vbr = vbr;
            o.bitrate_kbps = rate >= 32000 ? 128 : rate >= 16000 ? 64 : 32;
            o.seconds = 3.0;
            variants.push_back(encode_mp3(o));
        }
    }
    TempDir dir;
    QStringList files;
    for (int i = 0; i < file_count; ++i) {
        Bytes bytes = variants[static_cast<std::size_t>(i) % variants.size()];
        if (i % 5 == 0)
            bytes = prepend(id3v2_block(static_cast<std::size_t>(1024 + i)), bytes);
        if (i % 7 != 0)
            bytes = append_id3v1(bytes, id3v1_tag("Song " + std::to_string(i), "Band " + std::to_string(i % 40),
                                                 "Album", "2001", "", static_cast<std::uint8_t>(i % 126)));
        files << QString::fromStdString(dir.write("Band " + std::to_string(i % 40) + " - Song " + std::to_string(i) + ".mp3", bytes).string());
    }

    double pelu_best = 1e9;
    double mutagen_best = 1e9;
    double mutagen_process_best = 1e9;
    for (int r = 0; r < rounds; ++r) {
        pelu_best = std::min(pelu_best, run_seconds(PELU_CLI_PATH, QStringList{"info"} + files, nullptr));
        QByteArray out;
        mutagen_process_best = std::min(
            mutagen_process_best, run_seconds("/usr/bin/python3", QStringList{PELU_MUTAGEN_BENCH} + files, &out));
        mutagen_best = std::min(mutagen_best, out.trimmed().toDouble());
    }
    const double pelu_fps = file_count / pelu_best;
    const double mutagen_fps = file_count / mutagen_best;
    std::printf("files: %d, best of %d rounds\n", file_count, rounds);
    std::printf("pelu info (whole process):        %10.0f files/s  (%.3f s)\n", pelu_fps, pelu_best);
    std::printf("mutagen (loop inside python):     %10.0f files/s  (%.3f s)\n", mutagen_fps, mutagen_best);
    std::printf("mutagen (whole python process):   %10.0f files/s  (%.3f s)\n", file_count / mutagen_process_best,
                mutagen_process_best);
    std::printf("ratio pelu / mutagen loop: %.1f x\n", pelu_fps / mutagen_fps);
    return 0;
}
