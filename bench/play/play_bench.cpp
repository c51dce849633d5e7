// bench_play: what playing costs, as CPU time of whole `pelu play` processes
// (wait4) in interleaved rounds beside decoding the same audio.
//
//   pelu play --device sim:1 FILE   playing at real time on the simulated device:
//                                   decoding, the chain, the wave output's thread
//                                   and the connector's pump feeding pelu play's
//                                   two level meters. % of one core = CPU seconds
//                                   per audio second.
//   pelu decode FILE -o /dev/null   decoding the same audio as fast as it goes:
//                                   the floor for playing it.
//   pelu play --device null FILE    the unpaced null device: nothing waits for a
//                                   clock, so this is a throughput (audio seconds
//                                   per CPU second), not a playing cost.
//
// The audio's length comes from the file (the bytes it decodes to), never from
// a clock.
//
//   bench_play [--rounds R] [--seconds S]   a synthesised S s (default 20) 128 kbit/s stereo MP3
//   bench_play [--rounds R] FILE.mp3        another file
//   PELU_BENCH_DEVICE=sim:20 bench_play     another device for the playing runs
//   bench/play/with_sound_server.sh env PELU_BENCH_DEVICE=alsa bench_play FILE48K.mp3
//                                           through a private PipeWire's null sink
//   bench_play --write FILE SECONDS [RATE]  only writes a fixture MP3 of that length
//                                           (44100 Hz, or RATE: 48000 plays on a 48 kHz
//                                           sound server without resampling)
#include "mp3_fixtures.h"

#include "cpu_rounds.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

using pelu::bench::Contender;

// The audio seconds in a 16-bit PCM RIFF WAVE file that pelu decode wrote.
double wav_seconds(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    char header[44] = {};
    if (!f.read(header, 44) || std::memcmp(header, "RIFF", 4) != 0)
        return 0;
    std::uint32_t avg_bytes_per_sec = 0, data_bytes = 0;
    std::memcpy(&avg_bytes_per_sec, header + 28, 4);
    std::memcpy(&data_bytes, header + 40, 4);
    return avg_bytes_per_sec ? double(data_bytes) / avg_bytes_per_sec : 0;
}

} // namespace

int main(int argc, char** argv)
{
    using namespace pelu::test;
    if ((argc == 4 || argc == 5) && std::string(argv[1]) == "--write") {
        Mp3Options options = cbr128_stereo_44k(std::atof(argv[3]));
        if (argc == 5)
            options.sample_rate_hz = std::atoi(argv[4]);
        write_file(argv[2], encode_mp3(options));
        return 0;
    }
    int rounds = 5;
    double synth_seconds = 20;
    std::string file;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc)
            synth_seconds = std::max(1.0, std::atof(argv[++i]));
        else
            file = argv[i];
    }
    const std::string pelu =
        (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "pelu").string();
    TempDir dir;
    if (file.empty())
        file = dir.write("bench.mp3", encode_mp3(cbr128_stereo_44k(synth_seconds))).string();
    const std::string wav = (dir.path() / "length.wav").string();
    if (!pelu::bench::RunChild({pelu, "decode", file, "-o", wav})) {
        std::fprintf(stderr, "bench_play: %s does not decode\n", file.c_str());
        return 1;
    }
    const double audio_seconds = wav_seconds(wav);
    if (audio_seconds <= 0) {
        std::fprintf(stderr, "bench_play: %s holds no audio\n", file.c_str());
        return 1;
    }
    const char* device = std::getenv("PELU_BENCH_DEVICE") ? std::getenv("PELU_BENCH_DEVICE") : "sim:1";

    double user_total = 0, system_total = 0;
    int play_runs = 0;
    const std::vector<std::string> play = {pelu, "play", "--device", device, file};
    const std::vector<std::string> decode = {pelu, "decode", file, "-o", "/dev/null"};
    const std::vector<std::string> null_play = {pelu, "play", "--device", "null", file};
    std::vector<Contender> contenders = {
        {std::string("playing, ") + device + " (% of one core)", pelu::bench::CommandText(play),
         [&]() -> std::optional<double> {
             const auto usage = pelu::bench::RunChild(play);
             if (!usage)
                 return std::nullopt;
             user_total += usage->user_s;
             system_total += usage->system_s;
             ++play_runs;
             return 100.0 * usage->cpu_s() / audio_seconds;
         }},
        {"decoding the same audio (% of one core)", pelu::bench::CommandText(decode, ""),
         [&]() -> std::optional<double> {
             const auto usage = pelu::bench::RunChild(decode);
             if (!usage)
                 return std::nullopt;
             return 100.0 * usage->cpu_s() / audio_seconds;
         }},
        {"null device, unpaced (x real time per CPU second)", pelu::bench::CommandText(null_play),
         [&]() -> std::optional<double> {
             const auto usage = pelu::bench::RunChild(null_play);
             if (!usage || usage->cpu_s() <= 0)
                 return std::nullopt;
             return audio_seconds / usage->cpu_s();
         }},
    };
    std::printf("bench_play: %s, %.3f s of audio (from the decoded bytes), %d rounds\n", file.c_str(), audio_seconds,
                rounds);
    pelu::bench::RunInterleaved(contenders, rounds);
    pelu::bench::PrintContenders(contenders, "CPU of each child from wait4", rounds);
    if (play_runs > 0)
        std::printf("  playing: user %.1f%%, system %.1f%% of its CPU\n",
                    100.0 * user_total / (user_total + system_total), 100.0 * system_total / (user_total + system_total));
    pelu::bench::PrintRatio("playing / decoding, ratio of medians", contenders[0].Median(), contenders[1].Median());
    std::printf("  (the null device's figure is decode-and-chain throughput, not a playing cost)\n");
    return 0;
}
