#include "playlist/playlist_rows.h"

#include "audio/mpeg.h"
#include "mpeginfo/id3v2_tags.h"
#include "platform/time_text.h"

namespace pelu::player {

namespace {

// The artist column keeps what an ID3v1 field can hold.
constexpr int kMaxArtistChars = 30;

// The ID3v1 tag decides first, as it always did; most files of today carry
// only an ID3v2 tag, whose artist then stands in for "[notag]". A tag without
// an artist is no better than none.
QString RowArtist(const mpeginfo::TMPEGAudio& record)
{
    if (record.TagId() != QLatin1String("TAG")) {
        const mpeginfo::Id3v2Tags tags = mpeginfo::ReadId3v2Tags(record.FileName(), mpeginfo::Id3v2Parts::TextsOnly);
        if (!tags.artist.isEmpty())
            return tags.artist;
    }
    return record.GuessedArtist();
}

} // namespace

std::vector<PlaylistRow> BuildRowsForFiles(const QStringList& paths, int rows_before,
                                           mpeginfo::TMPEGAudioList& scratch, TMMMPEGFile& mpegfile,
                                           const mpeginfo::TReadErrorEvent& on_read_error)
{
    struct HandlerForBatch {
        mpeginfo::TMPEGAudioList& list;
        mpeginfo::TReadErrorEvent saved;
        ~HandlerForBatch() { list.SetOnReadError(std::move(saved)); }
    } restore{scratch, scratch.OnReadError()};
    if (on_read_error)
        scratch.SetOnReadError(on_read_error);

    scratch.Clear();
    for (const QString& path : paths)
        scratch.Add(path); // a file left out was already answered through the handler

    std::vector<PlaylistRow> rows;
    rows.reserve(static_cast<std::size_t>(scratch.Count()));
    for (int k = 0; k < scratch.Count(); ++k) {
        const mpeginfo::TMPEGAudio& record = *scratch.Item(k);
        // A record without a valid header does not touch `mpegfile`, so its
        // row would show the time of the file the decoder component opened
        // before (0 when none), as the band always did. The reader here never
        // lists such a record: files of 5 bytes or less fail like any file
        // without a frame, and dates before 1980 read as 1980-01-01.
        if (record.HeaderValid()) {
            try {
                mpegfile.SetFileName(record.FileName());
            } catch (const EMMMpegError&) {
                // The decoder refused a file whose frames looked sound: the
                // component now holds no file, so the row shows a time of 0
                // and playing it reports the fault, like any unplayable row.
            }
        }
        const int time_ms = mpegfile.Time();
        const int index = rows_before + k;
        PlaylistRow row;
        // The record's name is already absolute. It is not cut to the 255
        // characters the other platform allowed: a cut path names another,
        // missing file, and paths here may be far longer.
        const QString path = record.FileName();
        row.text = RowText(index + 1, path);
        row.columns = QStringList{
            platform::time_text_ms(time_ms),
            RowArtist(record).left(kMaxArtistChars),
            path,
            QString::number(time_ms),
            QString::number(index),
            QString(),
        };
        rows.push_back(std::move(row));
    }
    return rows;
}

} // namespace pelu::player
