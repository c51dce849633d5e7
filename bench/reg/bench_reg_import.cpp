// Applying a registry file of N keys (each with two values) to a store on a
// real SQLite file, plainly and with --replace (which first empties every
// topmost key of the file), and exporting the result. Replace should cost
// about what the plain import does at any N: finding the topmost keys is a
// sort, not a comparison of every key with every other.
//   bench_reg_import [--benchmark_filter=...]
#include "platform/registry/reg_file.h"
#include "platform/registry/registry.h"

#include "mp3_fixtures.h"

#include <benchmark/benchmark.h>

namespace {

namespace reg = pelu::platform::registry;

QByteArray reg_text(int keys)
{
    QByteArray text = "Windows Registry Editor Version 5.00\n\n";
    for (int i = 0; i < keys; ++i) {
        // Ten top keys, each with its share of the rest one or two levels down.
        text += "[HKEY_CURRENT_USER\\Bench\\Top" + QByteArray::number(i % 10) + "\\Key" + QByteArray::number(i) +
                (i % 3 == 0 ? "\\Deeper" : "") + "]\n\"name\"=\"value " + QByteArray::number(i) +
                "\"\n\"n\"=dword:0000002a\n\n";
    }
    return text;
}

void Import(benchmark::State& state, bool replace)
{
    const int keys = int(state.range(0));
    const reg::RegFile file = reg::parse_reg_file(reg_text(keys));
    pelu::test::TempDir dir;
    reg::Store store(QString::fromStdString(dir.file("bench.sqlite").string()));
    reg::apply_reg_file(store, file); // the keys exist, so replace has work to do
    for (auto _ : state)
        reg::apply_reg_file(store, file, replace);
    state.SetItemsProcessed(state.iterations() * keys);
}

void BM_Import(benchmark::State& state) { Import(state, false); }
void BM_ImportReplace(benchmark::State& state) { Import(state, true); }

void BM_Export(benchmark::State& state)
{
    const int keys = int(state.range(0));
    pelu::test::TempDir dir;
    reg::Store store(QString::fromStdString(dir.file("bench.sqlite").string()));
    reg::apply_reg_file(store, reg::parse_reg_file(reg_text(keys)));
    for (auto _ : state)
        benchmark::DoNotOptimize(reg::export_reg_file(store));
    state.SetItemsProcessed(state.iterations() * keys);
}

BENCHMARK(BM_Import)->Arg(2000)->Arg(20000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ImportReplace)->Arg(2000)->Arg(20000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Export)->Arg(2000)->Arg(20000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
