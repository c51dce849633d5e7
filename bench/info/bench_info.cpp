// bench_info: what `pelu info` costs per file, as CPU time of whole processes
// (wait4) in interleaved rounds, beside python3-mutagen reading the same
// files' MPEG information and ID3v1 tag.
//
// The files are like a tagged music folder: every MPEG version, mono and
// stereo, CBR and VBR, each with an ID3v2.3 tag of real frames (title,
// artist, album, track, year, a comment; every tenth one a 20 KB cover) and
// an ID3v1 tag at the end.
//
// Each program runs once over all the files (named P times, so that the
// files' cost stands well above the start-up's spread) and once over one
// file; the difference is the cost of the other files, start-up excluded:
//   files per CPU second = (N*P - 1) / (CPU(N files, P passes) - CPU(1 file)), medians.
//
//   bench_info [--files N] [--passes P] [--rounds R] [--pelu PATH]
//       default 1000 files, 10 passes, 5 rounds, the pelu built beside this
//       program; --pelu measures another build (an older one, to compare)
#include "cpu_rounds.h"
#include "id3v2_fixtures.h"
#include "mp3_fixtures.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace pelu::test;
using pelu::bench::Contender;

namespace {

Bytes tagged_file(const Bytes& audio, int i)
{
    const std::string title = "Song " + std::to_string(i);
    const std::string artist = "Band " + std::to_string(i % 40);
    std::vector<Id3Frame> frames = {
        {"TIT2", id3_text_body(Id3Text::Utf8, {title})},
        {"TPE1", id3_text_body(Id3Text::Latin1, {artist})},
        {"TALB", id3_text_body(Id3Text::Utf16Bom, {"Album " + std::to_string(i % 12)})},
        {"TRCK", id3_text_body(Id3Text::Latin1, {std::to_string(i % 20 + 1)})},
        {"TYER", id3_text_body(Id3Text::Latin1, {"2001"})},
        {"COMM", Bytes{0, 'e', 'n', 'g', 0, 'r', 'i', 'p', 'p', 'e', 'd'}},
    };
    if (i % 10 == 0)
        frames.push_back({"APIC", id3_picture_body(3, "image/jpeg", 3, "", fake_jpeg(20000, std::uint8_t(i)))});
    Bytes file = prepend(id3v2_tag(3, frames, 512), audio);
    return append_id3v1(file, id3v1_tag(title, artist, "Album", "2001", "ripped", static_cast<std::uint8_t>(i % 126)));
}

} // namespace

int main(int argc, char** argv)
{
    int file_count = 1000;
    int rounds = 5;
    int passes = 10;
    std::string pelu = PELU_CLI_PATH;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--files"))
            file_count = std::max(2, std::atoi(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--passes"))
            passes = std::max(1, std::atoi(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--rounds"))
            rounds = std::max(1, std::atoi(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--pelu"))
            pelu = argv[i + 1];
    }

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
    std::vector<std::string> files;
    for (int i = 0; i < file_count; ++i)
        files.push_back(dir.write("Band " + std::to_string(i % 40) + " - Song " + std::to_string(i) + ".mp3",
                                  tagged_file(variants[static_cast<std::size_t>(i) % variants.size()], i))
                            .string());

    std::vector<std::string> pelu_all = {pelu, "info"};
    for (int p = 0; p < passes; ++p)
        pelu_all.insert(pelu_all.end(), files.begin(), files.end());
    const std::vector<std::string> pelu_one = {pelu, "info", files[1]};
    // python3-mutagen belongs to the system's interpreter: another python3
    // earlier on the PATH (a virtual environment, a newer build) may lack it.
    std::string python;
    for (const char* candidate : {"python3", "/usr/bin/python3"}) {
        if (pelu::bench::RunChild(
                {candidate, "-c", "import importlib.util, sys; sys.exit(importlib.util.find_spec('mutagen') is None)"})) {
            python = candidate;
            break;
        }
    }
    const bool have_mutagen = !python.empty();
    std::vector<std::string> mutagen_all = {python, PELU_MUTAGEN_BENCH};
    for (int p = 0; p < passes; ++p)
        mutagen_all.insert(mutagen_all.end(), files.begin(), files.end());
    const std::vector<std::string> mutagen_one = {python, PELU_MUTAGEN_BENCH, files[1]};

    auto cpu_of = [](const std::vector<std::string>& command) {
        return [command]() -> std::optional<double> {
            const auto usage = pelu::bench::RunChild(command);
            if (!usage)
                return std::nullopt;
            return 1000.0 * usage->cpu_s();
        };
    };
    const std::string n = std::to_string(file_count);
    const std::string times = passes > 1 ? ", each named " + std::to_string(passes) + " times" : "";
    const std::string shown_all =
        pelu + " info " + dir.path().string() + "/*.mp3 >/dev/null   (" + n + " files" + times + ")";
    std::vector<Contender> contenders = {
        {"pelu info, " + n + " files", shown_all, cpu_of(pelu_all)},
        {"pelu info, 1 file (start-up)", pelu::bench::CommandText(pelu_one), cpu_of(pelu_one)},
    };
    if (have_mutagen) {
        contenders.push_back({"mutagen, " + n + " files",
                              python + " " + PELU_MUTAGEN_BENCH + " " + dir.path().string() +
                                  "/*.mp3 >/dev/null   (" + n + " files" + times + ")",
                              cpu_of(mutagen_all)});
        contenders.push_back({"mutagen, 1 file (start-up)", pelu::bench::CommandText(mutagen_one), cpu_of(mutagen_one)});
    }
    std::printf("bench_info: %d tagged MP3 files (ID3v2.3 frames + ID3v1), %d passes, %d rounds\n", file_count,
                passes, rounds);
    pelu::bench::RunInterleaved(contenders, rounds);
    pelu::bench::PrintContenders(contenders, "ms of CPU of each child from wait4", rounds);
    auto per_file = [&](const Contender& all, const Contender& one) {
        const double ms = (all.Median() - one.Median()) / (double(file_count) * passes - 1);
        return ms > 0 ? ms : 0;
    };
    const double pelu_ms = per_file(contenders[0], contenders[1]);
    std::printf("  pelu info: %.1f us of CPU per file beyond a start-up of %.1f ms = %.0f files per CPU second\n",
                1000.0 * pelu_ms, contenders[1].Median(), pelu_ms > 0 ? 1000.0 / pelu_ms : 0);
    if (have_mutagen) {
        const double mutagen_ms = per_file(contenders[2], contenders[3]);
        std::printf("  mutagen:   %.1f us of CPU per file beyond a start-up of %.1f ms = %.0f files per CPU second\n",
                    1000.0 * mutagen_ms, contenders[3].Median(), mutagen_ms > 0 ? 1000.0 / mutagen_ms : 0);
        pelu::bench::PrintRatio("per-file CPU, mutagen / pelu info", mutagen_ms, pelu_ms);
    } else {
        std::printf("  (python3-mutagen is not installed: no comparison)\n");
    }
    return 0;
}
