// Everything about a playlist row that is not a widget: its text, which files
// "Load Files" takes, and the rows it appends for a batch of files. The
// duration column uses the time text the band's time display shows
// (platform/time_text.h).
//
// Column texts of a row, in order: 0 duration for display, 1 artist, 2 full
// path, 3 duration in milliseconds, 4 entry key (the index the row had when
// it was added; never renumbered), 5 deletion mark (empty; "delete" only
// while the selected rows are being deleted).
//
// Thread: main thread (the builder reads files through the MPEG reader and
// the decoder component, which belong to it); the text functions are pure.
#pragma once

#include "mpeginfo/mpeg_audio.h"
#include "playlist/media_list.h"

#include <QString>
#include <QStringList>

#include <vector>

namespace pelu {
class TMMMPEGFile;
}

namespace pelu::player {

// Column indexes of a row's texts.
enum PlaylistColumn : int {
    kColumnDuration = 0,
    kColumnArtist = 1,
    kColumnPath = 2,
    kColumnDurationMs = 3,
    kColumnKey = 4,
    kColumnDeleteMark = 5,
    kPlaylistColumnCount = 6,
};
inline constexpr const char* kDeleteMark = "delete";

// The file name without its folder and without its last extension
// ("my.song.mp3" -> "my.song", ".mp3" -> "", "README" -> "README").
QString RowName(const QString& path);
// "<number>. <name>", e.g. RowText(3, "/music/Intro.mp3") == "3. Intro".
QString RowText(int number, const QString& path);

// Whether "Load Files" takes the file: its extension is ".mp3" in any letter
// case, as the file list's "*.mp3" filter shows it.
bool HasMp3Extension(const QString& path);
// The paths of `selected` that HasMp3Extension takes, in their order.
QStringList Mp3FilesOf(const QStringList& selected);

// The rows "Load Files" appends for `paths` (already filtered) to a playlist
// of `rows_before` rows, in order:
//  - `scratch` is emptied and every path added to it; a file that cannot be
//    read asks the list's read-error handler (Cancel and Ignore leave it out,
//    Retry reads it again) and the rest of the batch goes on;
//  - for each record read, `mpegfile` opens the file when its header is valid
//    and gives the total time in milliseconds;
//  - the artist is the record's guessed artist (the ID3v1 tag's), except
//    that a file without an ID3v1 tag takes the artist of its ID3v2 tag when
//    that has one;
//  - row k of the batch is numbered rows_before + k + 1 and keyed
//    rows_before + k.
// `on_read_error`, when given, is the read-error handler for this batch
// (the scratch list's own handler is put back afterwards).
std::vector<PlaylistRow> BuildRowsForFiles(const QStringList& paths, int rows_before,
                                           mpeginfo::TMPEGAudioList& scratch, TMMMPEGFile& mpegfile,
                                           const mpeginfo::TReadErrorEvent& on_read_error = {});

} // namespace pelu::player
