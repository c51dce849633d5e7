// bench_decode: what decoding an MP3 costs, ours beside mpg123's, as CPU time in
// interleaved rounds.
//
// 1. Whole process against whole process (each child's CPU from wait4):
//    `pelu decode FILE -o /dev/null`, `mpg123 -q -t FILE` (decode, no output)
//    and `mpg123 -q -w /dev/null FILE` (decode and write a WAV).
// 2. In process (this thread's CPU): the playing chain's file source pulled
//    with the output's 8160-byte buffers, as the wave output's thread pulls it,
//    beside libmpg123 itself reading the same file into the same buffer size.
//
// Each sample decodes the file as often as it takes to spend at least one CPU
// second, and counts ms of CPU per second of audio (the audio's length is the
// decoded bytes, never a clock).
//
//   bench_decode [--rounds R] [FILE.mp3]   (default: a synthesised 60 s 128 kbit/s stereo file)
#include "audio/audio_file.h"
#include "mp3_fixtures.h"

#include "cpu_rounds.h"

#include <QCoreApplication>

#include <mpg123.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using pelu::bench::Contender;

constexpr double kMinSampleCpuSeconds = 1.0;
constexpr int kBufferBytes = 8160;

class Puller : public pelu::TMMCustomSoundComponent {
    Q_OBJECT
    Q_PROPERTY(pelu::TMMDSPComponent* Input READ Input WRITE SetInput)
};

// Decodes the file once through the chain; returns the PCM bytes.
std::int64_t chain_decode(const QString& file)
{
    pelu::TMMAudioFile source;
    Puller out;
    source.SetOutput(&out);
    source.SetFileName(file);
    pelu::WaveBuffer buffer(kBufferBytes);
    std::int64_t bytes = 0;
    out.SetBufferSize(kBufferBytes);
    out.PropagateOpen();
    out.PropagateStart();
    bool more = true;
    while (more) {
        buffer.prepare_for_load();
        more = false;
        out.BufferLoad(buffer.header(), more);
        if (buffer.header()->bytes_recorded == 0)
            break;
        bytes += buffer.header()->bytes_recorded;
    }
    out.PropagateStop();
    out.PropagateClose();
    return bytes;
}

// Decodes the file once with libmpg123 into buffers of the same size.
std::int64_t library_decode(const std::string& file)
{
    int error = 0;
    mpg123_handle* handle = mpg123_new(nullptr, &error);
    if (!handle)
        return -1;
    mpg123_param(handle, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
    std::int64_t bytes = 0;
    if (mpg123_open(handle, file.c_str()) == MPG123_OK) {
        std::vector<unsigned char> buffer(kBufferBytes);
        for (;;) {
            size_t done = 0;
            const int result = mpg123_read(handle, buffer.data(), buffer.size(), &done);
            bytes += std::int64_t(done);
            if (result == MPG123_DONE || (result != MPG123_OK && result != MPG123_NEW_FORMAT))
                break;
        }
        mpg123_close(handle);
    }
    mpg123_delete(handle);
    return bytes;
}

} // namespace

int main(int argc, char** argv)
{
    int rounds = 5;
    std::string file;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else
            file = argv[i];
    }
    QCoreApplication app(argc, argv);
    pelu::test::TempDir dir;
    if (file.empty())
        file = dir.write("bench.mp3", pelu::test::encode_mp3(pelu::test::cbr128_stereo_44k(60.0))).string();
    const std::string pelu_program =
        (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "pelu").string();

    mpg123_init();
    // The audio's length from the decoded bytes (16-bit stereo 44.1 kHz after the chain).
    const std::int64_t chain_bytes = chain_decode(QString::fromStdString(file));
    pelu::TMMAudioFile probe;
    probe.SetFileName(QString::fromStdString(file));
    const pelu::WaveFormat* format = probe.GetPWaveFormat();
    if (chain_bytes <= 0 || !format || format->avg_bytes_per_sec == 0) {
        std::fprintf(stderr, "bench_decode: %s does not decode\n", file.c_str());
        return 1;
    }
    const double audio_seconds = double(chain_bytes) / format->avg_bytes_per_sec;
    const std::int64_t library_bytes = library_decode(file);
    std::printf("bench_decode: %s, %.3f s of audio (%d Hz, %d channels); chain %lld bytes, libmpg123 %lld bytes\n",
                file.c_str(), audio_seconds, int(format->samples_per_sec), int(format->channels),
                static_cast<long long>(chain_bytes), static_cast<long long>(library_bytes));

    auto child_sample = [audio_seconds](std::vector<std::string> command) {
        return [audio_seconds, command] {
            return pelu::bench::ChildMsPerAudioSecond(command, audio_seconds, kMinSampleCpuSeconds);
        };
    };
    auto thread_sample = [audio_seconds](std::function<std::int64_t()> decode) {
        return [audio_seconds, decode] {
            return pelu::bench::ThreadMsPerAudioSecond([&] { return decode() > 0; }, audio_seconds,
                                                       kMinSampleCpuSeconds);
        };
    };

    const std::vector<std::string> pelu_decode = {pelu_program, "decode", file, "-o", "/dev/null"};
    const std::vector<std::string> mpg123_t = {"mpg123", "-q", "-t", file};
    const std::vector<std::string> mpg123_w = {"mpg123", "-q", "-w", "/dev/null", file};
    std::vector<Contender> processes = {
        {"pelu decode", pelu::bench::CommandText(pelu_decode, ""), child_sample(pelu_decode)},
        {"mpg123 -t (decode only)", pelu::bench::CommandText(mpg123_t), child_sample(mpg123_t)},
        {"mpg123 -w (decode, write WAV)", pelu::bench::CommandText(mpg123_w), child_sample(mpg123_w)},
    };
    std::printf("\n1. Whole processes, ms of the child's CPU (wait4) per audio second, samples of at least %.0f s:\n",
                kMinSampleCpuSeconds);
    pelu::bench::RunInterleaved(processes, rounds);
    pelu::bench::PrintContenders(processes, "ms CPU per audio second", rounds);
    pelu::bench::PrintRatio("pelu decode / mpg123 -t, ratio of medians", processes[0].Median(), processes[1].Median());
    pelu::bench::PrintRatio("pelu decode / mpg123 -w, ratio of medians", processes[0].Median(), processes[2].Median());

    const QString qfile = QString::fromStdString(file);
    std::vector<Contender> in_process = {
        {"chain (file source, 8160-byte pulls)", "TMMAudioFile -> BufferLoad loop (in process)",
         thread_sample([qfile] { return chain_decode(qfile); })},
        {"libmpg123 (mpg123_read, 8160 bytes)", "mpg123_open + mpg123_read loop (in process)",
         thread_sample([file] { return library_decode(file); })},
    };
    std::printf("\n2. In process, ms of this thread's CPU per audio second, samples of at least %.0f s:\n",
                kMinSampleCpuSeconds);
    pelu::bench::RunInterleaved(in_process, rounds);
    pelu::bench::PrintContenders(in_process, "ms CPU per audio second", rounds);
    pelu::bench::PrintRatio("chain / libmpg123, ratio of medians", in_process[0].Median(), in_process[1].Median());
    mpg123_exit();
    return 0;
}

#include "decode_bench.moc"
