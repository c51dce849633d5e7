// bench_playlist_formats: what the playlist files and tags cost.
//  - ReadM3u / ReadPls of 100,000 entries (three in four name existing files,
//    one in four a missing one), and WriteM3u8 / WritePls of 100,000 rows;
//  - ReadId3v2Tags of a file with an ID3v2.3 tag (texts and a 100 KB cover),
//    texts only and with the cover;
//  - BuildRowsForFiles for 200 files with only an ID3v2 tag, against the same
//    files without one (the price of the ID3v2 artist per file).
//
//   bench_playlist_formats [google-benchmark flags]
#include "audio/mpeg.h"
#include "id3v2_fixtures.h"
#include "mp3_fixtures.h"
#include "mpeginfo/id3v2_tags.h"
#include "playlist/playlist_formats.h"
#include "playlist/playlist_rows.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>

#include <memory>
#include <string>

namespace {

using namespace pelu;
using namespace pelu::test;

constexpr int kEntries = 100'000;

QString q(const std::filesystem::path& p)
{
    return QString::fromStdString(p.string());
}

// One folder for every benchmark: a few MP3s, the lists, the tagged files.
struct Fixture {
    TempDir dir;
    std::vector<player::PlaylistRow> rows;
    QStringList tagged, untagged;

    Fixture()
    {
        std::filesystem::create_directories(dir.path() / "music" / "sub");
        std::filesystem::create_directories(dir.path() / "tagged");
        std::filesystem::create_directories(dir.path() / "untagged");
        const Bytes song = encode_mp3(cbr128_stereo_44k(1.0));
        for (const char* name : {"music/a.mp3", "music/sub/b.mp3", "music/c.mp3"})
            dir.write(name, song);
        rows.reserve(kEntries);
        for (int i = 0; i < kEntries; ++i) {
            const QString path = i % 4 == 3 ? q(dir.file("music/gone" + std::to_string(i) + ".mp3"))
                                            : q(dir.file(i % 2 ? "music/a.mp3" : "music/sub/b.mp3"));
            rows.push_back(player::PlaylistRow{player::RowText(i + 1, path),
                                               {"0:01.000", "Artist", path, "1000", QString::number(i), ""}});
        }
        player::WriteM3u8(q(dir.file("music/big.m3u8")), rows);
        player::WritePls(q(dir.file("music/big.pls")), rows);

        const Bytes tag = id3v2_tag(3, {Id3Frame{"TPE1", id3_text_body(Id3Text::Utf16Bom, {"Some Artist"})},
                                        Id3Frame{"TIT2", id3_text_body(Id3Text::Utf16Bom, {"Some Title"})},
                                        Id3Frame{"TALB", id3_text_body(Id3Text::Latin1, {"Some Album"})},
                                        Id3Frame{"APIC", id3_picture_body(3, "image/jpeg", 3, "", fake_jpeg(100'000))}},
                                    1024);
        for (int i = 0; i < 200; ++i) {
            tagged << q(dir.write("tagged/" + std::to_string(i) + ".mp3", prepend(tag, song)));
            untagged << q(dir.write("untagged/" + std::to_string(i) + ".mp3", song));
        }
    }
};

Fixture& fixture()
{
    static Fixture f;
    return f;
}

void BM_ReadM3u100k(benchmark::State& state)
{
    const QString list = q(fixture().dir.file("music/big.m3u8"));
    for (auto _ : state)
        benchmark::DoNotOptimize(player::ReadM3u(list));
    state.SetItemsProcessed(state.iterations() * kEntries);
}
BENCHMARK(BM_ReadM3u100k)->Unit(benchmark::kMillisecond);

void BM_ReadPls100k(benchmark::State& state)
{
    const QString list = q(fixture().dir.file("music/big.pls"));
    for (auto _ : state)
        benchmark::DoNotOptimize(player::ReadPls(list));
    state.SetItemsProcessed(state.iterations() * kEntries);
}
BENCHMARK(BM_ReadPls100k)->Unit(benchmark::kMillisecond);

void BM_WriteM3u8100k(benchmark::State& state)
{
    const QString list = q(fixture().dir.file("music/out.m3u8"));
    for (auto _ : state)
        player::WriteM3u8(list, fixture().rows);
    state.SetItemsProcessed(state.iterations() * kEntries);
}
BENCHMARK(BM_WriteM3u8100k)->Unit(benchmark::kMillisecond);

void BM_WritePls100k(benchmark::State& state)
{
    const QString list = q(fixture().dir.file("music/out.pls"));
    for (auto _ : state)
        player::WritePls(list, fixture().rows);
    state.SetItemsProcessed(state.iterations() * kEntries);
}
BENCHMARK(BM_WritePls100k)->Unit(benchmark::kMillisecond);

void BM_ReadId3v2TextsOnly(benchmark::State& state)
{
    const QString file = fixture().tagged.first();
    for (auto _ : state)
        benchmark::DoNotOptimize(mpeginfo::ReadId3v2Tags(file, mpeginfo::Id3v2Parts::TextsOnly));
}
BENCHMARK(BM_ReadId3v2TextsOnly)->Unit(benchmark::kMicrosecond);

void BM_ReadId3v2WithCover(benchmark::State& state)
{
    const QString file = fixture().tagged.first();
    for (auto _ : state)
        benchmark::DoNotOptimize(mpeginfo::ReadId3v2Tags(file, mpeginfo::Id3v2Parts::TextsAndCover));
}
BENCHMARK(BM_ReadId3v2WithCover)->Unit(benchmark::kMicrosecond);

void BuildRows(benchmark::State& state, const QStringList& files)
{
    mpeginfo::TMPEGAudioList scratch;
    TMMMPEGFile mpegfile;
    for (auto _ : state)
        benchmark::DoNotOptimize(player::BuildRowsForFiles(files, 0, scratch, mpegfile));
    state.SetItemsProcessed(state.iterations() * files.size());
}
void BM_RowsForFilesWithId3v2(benchmark::State& state)
{
    BuildRows(state, fixture().tagged);
}
void BM_RowsForFilesWithoutTags(benchmark::State& state)
{
    BuildRows(state, fixture().untagged);
}
BENCHMARK(BM_RowsForFilesWithId3v2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RowsForFilesWithoutTags)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
