// PlaylistLoader: fills the playlist from a list file (the band's media list,
// M3U/M3U8 or PLS) without holding up the band. A list of a hundred thousand
// entries takes a while (an M3U entry is an MP3 whose header and tags are
// read), so the work is cut up:
//  - the list file is read on a thread of its own (for a file of at most
//    kInlineReadBytes, at once: small lists appear as soon as Load returns);
//  - the rows are built and appended on the main thread in slices of about
//    kSliceMs, the event loop running between slices, so the band keeps
//    painting, playing and taking clicks;
//  - the rows of the list being replaced leave the playlist at once but are
//    deleted a slice at a time too (a hundred thousand rows take longer to
//    delete than a user should wait);
//  - rows always go to the end of the playlist as it is at that moment, so
//    edits made meanwhile (deleting, dropping) stay consistent.
// Entries that are not files or not MP3s are skipped and counted, and so are
// MP3s that cannot be read (without asking: a long list of broken files must
// not ask once per file).
//
// Thread: main thread, except the list file's read, which runs on the
// loader's reading thread and hands its result back through platform::post.
// Cancel() (and destruction) drops a read in progress; the thread is joined.
#pragma once

#include "player/media_list.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <thread>
#include <vector>

class QTimer;
class QTreeWidgetItem;

namespace pelu {
class TMMMPEGFile;
namespace mpeginfo {
class TMPEGAudioList;
}
namespace widgets {
class TElTree;
}
} // namespace pelu

namespace pelu::player {

class PlaylistLoader : public QObject {
    Q_OBJECT
public:
    static constexpr int kSliceMs = 40;
    static constexpr qint64 kInlineReadBytes = 256 * 1024;

    struct Outcome {
        int added = 0;      // rows appended
        int skipped = 0;    // entries that are not files, or not MP3s
        int unreadable = 0; // MP3s whose header could not be read
        QString error;      // the list file could not be read (whole or in part); "" otherwise
        bool cancelled = false;
    };

    // `scratch` and `mpegfile` are the form's; they are used only between
    // slices' starts and ends, on the main thread.
    PlaylistLoader(widgets::TElTree* tree, mpeginfo::TMPEGAudioList& scratch, TMMMPEGFile& mpegfile,
                   QObject* parent = nullptr);
    ~PlaylistLoader() override;

    // Replaces the playlist's rows with those of `file_name` (its kind by
    // extension; an unknown one is read as a media list). A load in progress
    // is cancelled first.
    void Start(const QString& file_name);
    // Stops a load in progress; the rows appended so far stay. OnFinished
    // runs with `cancelled` set.
    void Cancel();
    bool Loading() const { return loading_; }

    // Rows [first_row, first_row + count) were appended (after each slice).
    std::function<void(int first_row, int count)> OnRowsAdded;
    // Entries handled so far and in all, after each slice (the total is 0
    // while the list file is being read).
    std::function<void(int done, int total)> OnProgress;
    std::function<void(const Outcome& outcome)> OnFinished;

    // The longest a slice held the main thread so far, for measurements.
    qint64 LongestSliceNs() const { return longest_slice_ns_; }

private:
    struct ReadResult;
    static std::shared_ptr<ReadResult> ReadList(const QString& file_name);
    void TakeReadResult(const std::shared_ptr<ReadResult>& result);
    void BuildSlice();
    void Finish(bool cancelled);
    void JoinReader();
    void DiscardSlice();

    widgets::TElTree* tree_;
    mpeginfo::TMPEGAudioList& scratch_;
    TMMMPEGFile& mpegfile_;
    QTimer* slice_timer_;
    QTimer* discard_timer_;
    QList<QTreeWidgetItem*> discarded_; // rows taken out of the tree, still to delete
    std::thread reader_;
    std::shared_ptr<ReadResult> list_;
    std::size_t next_ = 0;
    std::uint64_t generation_ = 0; // one per Start: a late read result of an older load is dropped
    bool loading_ = false;
    Outcome outcome_;
    qint64 longest_slice_ns_ = 0;
};

} // namespace pelu::player
