// PlaylistLoader: fills the playlist from a list file (the band's media list,
// M3U/M3U8 or PLS) without holding up the band. A list of a hundred thousand
// entries takes a while (an M3U entry is an MP3 whose header and tags are
// read), so the work is cut up:
//  - the list file is read on a thread of its own (for a file of at most
//    kInlineReadBytes, at once: small lists appear as soon as Load returns);
//  - the rows are built and appended on the main thread in slices of about
//    kSliceMs, the event loop running between slices, so the band keeps
//    painting, playing and taking clicks;
//  - the rows of the list being replaced stay until the new list has been
//    read whole; a list that cannot be read (missing, damaged, refused)
//    replaces nothing. Then they leave the playlist at once but are deleted
//    a slice at a time (a hundred thousand rows take longer to
//    delete than a user should wait);
//  - rows always go to the end of the playlist as it is at that moment, so
//    edits made meanwhile (deleting, dropping) stay consistent.
// Entries that are not files or not MP3s are skipped and counted, and so are
// MP3s that cannot be read (without asking: a long list of broken files must
// not ask once per file). Files and folders dropped on the band take the same
// way, appended instead of replacing: the folders are walked on the reading
// thread, so a drop of a whole disk neither freezes the band nor outlives a
// Cancel by more than the directory being listed.
//
// Thread: main thread, except the list file's read, which runs on the
// loader's reading thread and hands its result back through platform::post.
// Cancel() (and destruction) drops a read in progress; the thread is joined.
#pragma once

#include "playlist/media_list.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
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

// The MP3 files a drop of `paths` means, in the order they are added: files
// as they are, folders walked recursively in natural name order (digits as
// numbers, letter case aside), each folder once however it is linked. Names
// are bytes (platform/fs/file_names.h): one that is not UTF-8 is kept as it
// is. Relative paths are taken from the current folder; the paths returned
// are absolute and clean. Stops early, with what it found, once `stop` is set.
QStringList WalkDroppedFiles(const QStringList& paths, const std::atomic<bool>& stop);

class PlaylistLoader : public QObject {
    Q_OBJECT
public:
    static constexpr int kSliceMs = 40;
    static constexpr qint64 kInlineReadBytes = 256 * 1024;

    struct Outcome {
        int added = 0;      // rows appended
        int skipped = 0;    // entries that are not files, or not MP3s
        int unreadable = 0; // MP3s whose header could not be read
        QString error;      // the list file could not be read; "" otherwise
        bool replaced = false; // the old rows were taken out (false when the list could not be read)
        bool cancelled = false;
    };

    // `scratch` and `mpegfile` are the form's; they are used only between
    // slices' starts and ends, on the main thread.
    PlaylistLoader(widgets::TElTree* tree, mpeginfo::TMPEGAudioList& scratch, TMMMPEGFile& mpegfile,
                   QObject* parent = nullptr);
    ~PlaylistLoader() override;

    // Replaces the playlist's rows with those of `file_name` (its kind by
    // extension; an unknown one is read as a media list) once that file has
    // been read whole; when it cannot be, the rows stay and the outcome
    // carries the reason. A load in progress is cancelled first.
    void Start(const QString& file_name);
    // Appends the MP3 files among `paths` (WalkDroppedFiles) to the playlist
    // as a load appends a list's files. A load in progress is cancelled first.
    void StartAppend(const QStringList& paths);
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
    void Begin(bool replace);
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
    std::shared_ptr<std::atomic<bool>> stop_walk_; // set when the load ends: a folder walk stops
    bool replace_ = true;                        // Start replaces the rows; StartAppend does not
    bool loading_ = false;
    Outcome outcome_;
    qint64 longest_slice_ns_ = 0;
};

} // namespace pelu::player
