// Fuzzes the M3U/M3U8 and PLS readers: the first byte of each input picks
// the kind of list, the rest is written as a list file in a temporary folder
// that holds a few MP3 files (one named with bytes that are not UTF-8), a
// folder named like one and a text file. Besides the sanitizers, after every
// read: each path found is an absolute, clean, existing, regular ".mp3" file
// without a NUL; found and skipped entries are no more than the list's lines;
// no list is refused (a line too long is skipped alone); and the files found,
// written back with both writers, read back as the same files with nothing
// skipped. The seeds hold NUL bytes (raw and percent-encoded) and a line over
// the line bound among good entries.
#include "fuzz/fuzz_files.h"
#include "platform/fs/file_facts.h"
#include "playlist/playlist_formats.h"
#include "platform/time_text.h"
#include "playlist/playlist_rows.h"

#include <QDir>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace pelu::player;

std::string g_dir;

void check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// Lines as the readers split them (LF, CR or CRLF), and the longest.
void count_lines(const std::uint8_t* data, std::size_t size, std::size_t* lines, std::size_t* longest)
{
    *lines = 0;
    *longest = 0;
    std::size_t i = 0;
    while (i < size) {
        const std::size_t start = i;
        while (i < size && data[i] != '\n' && data[i] != '\r')
            ++i;
        ++*lines;
        if (i - start > *longest)
            *longest = i - start;
        if (i < size && data[i++] == '\r' && i < size && data[i] == '\n')
            ++i;
    }
}

std::vector<PlaylistRow> rows_for(const QStringList& paths)
{
    std::vector<PlaylistRow> rows;
    for (int i = 0; i < paths.size(); ++i) {
        PlaylistRow row;
        row.text = RowText(i + 1, paths[i]);
        row.columns = {pelu::platform::time_text_ms(1000), QStringLiteral("Artist\r\n"), paths[i], QStringLiteral("1000"),
                       QString::number(i), QString()};
        rows.push_back(row);
    }
    return rows;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_dir = pelu::fuzz::make_fuzz_folder("pelu-playlist-fuzz");
    ::mkdir((g_dir + "/sub").c_str(), 0700);
    ::mkdir((g_dir + "/folder.mp3").c_str(), 0700);
    const std::uint8_t one = 1;
    for (const char* name : {"/a.mp3", "/b b.mp3", "/sub/c.mp3", "/\xE9t\xE9.mp3", "/caf\xC3\xA9.mp3", "/#x.mp3",
                             "/notes.txt", "/C.MP3"})
        pelu::fuzz::write_whole_file(g_dir + name, &one, 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    static const char* const kNames[] = {"/list.m3u", "/list.m3u8", "/list.pls"};
    const std::string list = g_dir + kNames[data[0] % 3];
    pelu::fuzz::write_whole_file(list, data + 1, size - 1);
    std::size_t lines = 0, longest = 0;
    count_lines(data + 1, size - 1, &lines, &longest);

    ImportedList got;
    try {
        got = ReadPlaylistEntries(QString::fromStdString(list));
    } catch (const EPlaylistFileError&) {
        check(false, "a list within the size bound is read, its long lines skipped");
    }
    check(std::size_t(got.paths.size()) + std::size_t(got.skipped) <= lines, "no more entries than lines");
    check(got.skipped >= 0, "a count of skipped entries");
    check(longest <= std::size_t(kMaxPlaylistLineBytes) || got.skipped > 0 || data[0] % 3 == 2,
          "an over-long M3U line is counted as skipped");
    for (const QString& path : got.paths) {
        check(path.startsWith(QLatin1Char('/')), "paths are absolute");
        check(QDir::cleanPath(path) == path, "paths are clean");
        check(!path.contains(QChar(0)), "no path holds a NUL");
        check(HasMp3Extension(path), "paths are MP3 files");
        check(pelu::platform::fs::file_kind(path) == pelu::platform::fs::FileKind::Regular, "paths are regular files");
    }

    const std::vector<PlaylistRow> rows = rows_for(got.paths);
    const QString m3u8 = QString::fromStdString(g_dir + "/back.m3u8");
    WriteM3u8(m3u8, rows);
    const ImportedList m3u8_back = ReadM3u(m3u8);
    check(m3u8_back.paths == got.paths && m3u8_back.skipped == 0, "M3U8 written and read back is the same");
    const QString pls = QString::fromStdString(g_dir + "/back.pls");
    WritePls(pls, rows);
    const ImportedList pls_back = ReadPls(pls);
    check(pls_back.paths == got.paths && pls_back.skipped == 0, "PLS written and read back is the same");
    return 0;
}
