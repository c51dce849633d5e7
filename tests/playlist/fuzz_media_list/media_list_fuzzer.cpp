// Fuzzes the media list reader, from bytes and from a file. Besides the
// sanitizers, after every read: the rows never outnumber what the file's size
// allows; every row has six column texts at least; the same bytes read from a
// file give the same rows and the same verdict; and a list read whole, written
// back and read again, gives the same rows.
#include "fuzz/fuzz_files.h"
#include "playlist/media_list.h"

#include <QString>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using namespace pelu::player;

std::string g_file;

void check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_file = pelu::fuzz::make_fuzz_folder("pelu-media-list-fuzz") + "/list.bri";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    std::vector<PlaylistRow> rows;
    bool whole = true;
    try {
        ReadMediaList(bytes, rows);
    } catch (const EMediaListError&) {
        whole = false;
    }
    check(rows.size() <= std::max<std::size_t>(4096, size / 64), "no more rows than the size allows");
    for (const PlaylistRow& row : rows)
        check(row.columns.size() >= 6, "six column texts");

    pelu::fuzz::write_whole_file(g_file, data, size);
    std::vector<PlaylistRow> from_file;
    bool file_whole = true;
    try {
        LoadMediaListFile(QString::fromStdString(g_file), from_file);
    } catch (const EMediaListError&) {
        file_whole = false;
    }
    check(file_whole == whole && from_file == rows, "a file reads as its bytes");

    if (whole) {
        std::vector<PlaylistRow> again;
        ReadMediaList(WriteMediaList(rows), again);
        check(again == rows, "written back, the rows read the same");
    }
    return 0;
}
