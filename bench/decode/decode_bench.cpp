// Decode throughput of the playing chain: the file source pulled with the
// output's buffer size, as the wave output's thread pulls it.
//   PELU_BENCH_MP3=FILE bench_decode   (default: a 60 s synthesised CBR file)
#include "audio/audio_file.h"
#include "mp3_fixtures.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>

#include <cstdlib>

namespace {

class Puller : public pelu::TMMCustomSoundComponent {
    Q_OBJECT
    Q_PROPERTY(pelu::TMMDSPComponent* Input READ Input WRITE SetInput)
};

QString bench_file()
{
    static QString path;
    if (path.isEmpty()) {
        if (const char* given = std::getenv("PELU_BENCH_MP3")) {
            path = QString::fromLocal8Bit(given);
        } else {
            static pelu::test::TempDir dir;
            path = QString::fromStdString(
                dir.write("bench.mp3", pelu::test::encode_mp3(pelu::test::cbr128_stereo_44k(60.0))).string());
        }
    }
    return path;
}

void BM_ChainDecode(benchmark::State& state)
{
    pelu::TMMAudioFile source;
    Puller out;
    source.SetOutput(&out);
    source.SetFileName(bench_file());
    const pelu::WaveFormat format = *out.GetPWaveFormat();
    pelu::WaveBuffer buffer(8160);
    std::int64_t bytes = 0;
    for (auto _ : state) {
        source.SetPosition(0);
        out.SetBufferSize(8160);
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
    }
    const double audio_seconds = static_cast<double>(bytes) / format.avg_bytes_per_sec;
    state.counters["x_real_time"] = benchmark::Counter(audio_seconds, benchmark::Counter::kIsRate);
    state.counters["audio_seconds"] = benchmark::Counter(audio_seconds, benchmark::Counter::kAvgIterations);
    state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_ChainDecode)->Unit(benchmark::kMillisecond)->MinTime(3.0);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

#include "decode_bench.moc"
