// The media list file ("*.bri", and the resume playlist "es.xes"): the item
// stream of the playlist's tree list, one record for the invisible root row
// followed by one record per playlist row. This unit turns such a file into
// neutral rows and back; the band form converts them to and from its tree.
//
// Layout (little-endian, no file header), per record:
//   int32 version (-10) | string text | 60-byte attribute block | uint8 use
//   background colour (1) | int32 hint marker (-1) | string hint | int32 C |
//   C strings | uint8 styles flag (0) | int32 child count | child records.
// A string is an int32 length followed by that many bytes (UTF-8 here; a
// reader takes bytes that are not UTF-8 as Windows-1252, so lists written on
// the other platform keep readable names). File names are bytes on this
// system: a path whose name is not UTF-8 is written as its own bytes, and an
// absolute path read back with such bytes keeps them (platform/fs/file_names.h). Old records without a version start
// directly with the text length and have no attribute block, no colour byte
// and no styles flag; the hint marker is optional in both.
//
// Thread: any; the functions share no state.
#pragma once

#include "platform/error.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

namespace pelu::player {

PELU_DECLARE_ERROR(EMediaListError, pelu::Error)

// The text of the error raised for a negative string length, or a length or
// count that the rest of the file cannot hold.
inline constexpr const char* kInvalidStringHeader = "Invalid string header read from the stream";

struct PlaylistRow {
    QString text;          // row text, e.g. "3. Intro"
    QStringList columns;   // exactly six column texts (see playlist_rows.h)
    int image_index = -1;  // -1, 0, 1 or 3
    bool selected = false; // state bit 4 when written; never set by reading (bits 2 and 4 cleared)

    bool operator==(const PlaylistRow&) const = default;
};

// The file's bytes for these rows, under a root record with no text.
QByteArray WriteMediaList(const std::vector<PlaylistRow>& rows);

// Replaces `rows` with the rows of `bytes`. On damaged data raises
// EMediaListError and leaves in `rows` every row read before the fault.
// Rows read have at least six columns (missing ones read as empty texts).
void ReadMediaList(const QByteArray& bytes, std::vector<PlaylistRow>& rows);

// Replaces the file atomically: the bytes go to a temporary file in the same
// folder, are flushed to the disk and renamed over `path`, so a crash leaves
// the old list or the new one. On failure the old file stays and
// EMediaListError carries the system's text.
void SaveMediaListFile(const QString& path, const std::vector<PlaylistRow>& rows);

// Writes `bytes` as the file `path` the way every playlist file of the band
// is written: a temporary file in the same folder, flushed to the disk and
// renamed over `path` (over what it links to, when it is a symbolic link), so
// a crash leaves the old file or the new one. EMediaListError on failure.
void ReplaceFileAtomically(const QString& path, const QByteArray& bytes);

// The largest media list read: as large as the M3U reader takes.
inline constexpr qint64 kMaxMediaListBytes = 64 * 1024 * 1024;

// Reads the file into `rows` (see ReadMediaList); EMediaListError when the
// file cannot be read or is damaged (the rows read so far stay in `rows`).
// Only a regular file of at most kMaxMediaListBytes is read: a FIFO, device
// or link to one is refused without waiting on it. A list that promises more
// rows than its size allows (one per 64 bytes on average, beyond the first
// few thousand) is refused too: such rows would cost far more memory than
// their bytes.
void LoadMediaListFile(const QString& path, std::vector<PlaylistRow>& rows);

// Bytes of a media list string as text: UTF-8 when the bytes are valid UTF-8,
// otherwise Windows-1252.
QString DecodeMediaListText(const char* data, qsizetype size);

} // namespace pelu::player
