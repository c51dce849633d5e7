// The playlist files other players write, beside the band's own media list:
// M3U (plain or extended with #EXTM3U/#EXTINF, ".m3u" and ".m3u8") and PLS.
// Reading yields the MP3 files a list names, in order, for the band to add as
// "Load Files" adds files; writing turns the band's rows into such a list.
//
// Entries: a path (absolute, or relative to the list's folder; "\" taken as
// "/" when only that names a file, for lists made on Windows) or a file://
// URL (percent-encoded, host empty or "localhost"). Other URLs, missing
// files, folders and files without the ".mp3" extension are skipped and
// counted. File names are bytes: an entry's bytes name the file exactly (see
// platform/fs/file_names.h); ".m3u8" is UTF-8 by definition, while in ".m3u"
// and ".pls" bytes that are not UTF-8 and name no file are read again as
// Windows-1252, as the media list reader reads text. A UTF-8 byte order mark
// is skipped; lines end with LF, CRLF or CR.
//
// A relative name with a colon ("Live:2003.mp3") is a path: only "file:" and
// schemes followed by "//" make an entry a URL. A name that would hold a NUL
// (percent-encoded in a URL, or raw) names no file and is skipped. Paths are
// absolute and clean ("." and ".." steps resolved).
//
// Bounds: a list file over kMaxPlaylistFileBytes is refused whole with
// EPlaylistFileError; so is a path that is not a regular file (a FIFO or
// device is never waited on). A line over kMaxPlaylistLineBytes is skipped
// and counted, and the rest of the list read.
// Writers replace the file atomically (ReplaceFileAtomically).
//
// Thread: any; the functions share no state.
#pragma once

#include "playlist/media_list.h"

#include <QString>
#include <QStringList>

#include <vector>

namespace pelu::player {

// A playlist file that cannot be read or is refused. Derived from the media
// list's error, so whoever handles one of those handles these too.
PELU_DECLARE_ERROR(EPlaylistFileError, EMediaListError)

inline constexpr qint64 kMaxPlaylistFileBytes = 64 * 1024 * 1024;
inline constexpr qsizetype kMaxPlaylistLineBytes = 64 * 1024;

enum class PlaylistFormat { MediaList, M3u, Pls, Unknown };

// By extension, any letter case: .bri/.xes -> MediaList, .m3u/.m3u8 -> M3u,
// .pls -> Pls; anything else Unknown.
PlaylistFormat PlaylistFormatOf(const QString& file_name);

struct ImportedList {
    QStringList paths; // absolute paths of the entries that are existing regular MP3 files, in order
    int skipped = 0;   // entries that are not files (missing, folders, URLs other than file://) or not MP3s
};

// M3U and M3U8, extended or plain: every line that is neither empty nor a
// "#" comment is an entry.
ImportedList ReadM3u(const QString& file_name);
// PLS: the FileN entries of the [playlist] section in the order of N.
ImportedList ReadPls(const QString& file_name);
// By PlaylistFormatOf; EPlaylistFileError for a media list or an unknown kind.
ImportedList ReadPlaylistEntries(const QString& file_name);

// #EXTM3U, then per row "#EXTINF:<seconds>,<artist - name, or name>" and the
// path; UTF-8. Paths inside the list's folder are written relative to it (the
// folder can move with its list), others absolute; a path no line can hold
// (line breaks, blanks at its ends) or whose bytes are not UTF-8 is written
// as a file:// URL, its bytes percent-encoded. Rows without
// a path are left out; a length that is unknown is written as -1.
void WriteM3u8(const QString& file_name, const std::vector<PlaylistRow>& rows);
// [playlist], FileN/TitleN/LengthN per row, NumberOfEntries, Version=2;
// paths as WriteM3u8 writes them.
void WritePls(const QString& file_name, const std::vector<PlaylistRow>& rows);

} // namespace pelu::player
