#include "player/playlist_loader.h"

#include "platform/mainthread.h"
#include "player/playlist_formats.h"
#include "player/playlist_rows.h"
#include "widgets/playlist_tree.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTimer>
#include <QTreeWidgetItem>

#include <algorithm>

namespace pelu::player {

namespace {

// Files per call of the row builder: small enough that a slice ends close to
// its budget, large enough that the builder's own set-up is not the cost.
constexpr qsizetype kFilesPerBatch = 8;
// Rows of a media list per check of the clock (they are built already).
constexpr std::size_t kRowsPerBatch = 256;

} // namespace

struct PlaylistLoader::ReadResult {
    bool media_list = false;
    std::vector<PlaylistRow> rows; // a media list's rows
    ImportedList entries;          // an M3U's or PLS's files
    QString error;

    std::size_t total() const { return media_list ? rows.size() : std::size_t(entries.paths.size()); }
};

PlaylistLoader::PlaylistLoader(widgets::TElTree* tree, mpeginfo::TMPEGAudioList& scratch, TMMMPEGFile& mpegfile,
                               QObject* parent)
    : QObject(parent), tree_(tree), scratch_(scratch), mpegfile_(mpegfile), slice_timer_(new QTimer(this)),
      discard_timer_(new QTimer(this))
{
    slice_timer_->setSingleShot(true);
    slice_timer_->setInterval(0); // the next slice after the events that waited
    connect(slice_timer_, &QTimer::timeout, this, [this] { BuildSlice(); });
    discard_timer_->setSingleShot(true);
    discard_timer_->setInterval(0);
    connect(discard_timer_, &QTimer::timeout, this, [this] { DiscardSlice(); });
}

PlaylistLoader::~PlaylistLoader()
{
    slice_timer_->stop();
    JoinReader();
    platform::cancel_posted(this);
    qDeleteAll(discarded_);
}

void PlaylistLoader::DiscardSlice()
{
    QElapsedTimer clock;
    clock.start();
    // Half a slice: loading slices take turns with these.
    while (!discarded_.isEmpty() && clock.elapsed() < kSliceMs / 2)
        for (int i = 0; i < 128 && !discarded_.isEmpty(); ++i)
            delete discarded_.takeLast();
    if (!discarded_.isEmpty())
        discard_timer_->start();
}

void PlaylistLoader::JoinReader()
{
    if (reader_.joinable())
        reader_.join();
}

std::shared_ptr<PlaylistLoader::ReadResult> PlaylistLoader::ReadList(const QString& file_name)
{
    auto result = std::make_shared<ReadResult>();
    const PlaylistFormat format = PlaylistFormatOf(file_name);
    // A name of no known kind is read as the band's own list, as Load always did.
    result->media_list = format != PlaylistFormat::M3u && format != PlaylistFormat::Pls;
    try {
        if (result->media_list)
            LoadMediaListFile(file_name, result->rows); // the rows before a damaged part stay
        else
            result->entries = ReadPlaylistEntries(file_name);
    } catch (const std::exception& error) {
        result->error = QString::fromUtf8(error.what());
    }
    return result;
}

void PlaylistLoader::Start(const QString& file_name)
{
    Cancel();
    loading_ = true;
    outcome_ = {};
    next_ = 0;
    list_.reset();
    const std::uint64_t generation = ++generation_;
    // Taking the rows out is quick; deleting them is what takes the time.
    discarded_ += tree_->invisibleRootItem()->takeChildren();
    if (!discarded_.isEmpty())
        discard_timer_->start();
    const QFileInfo info(file_name);
    if (!info.isFile() || info.size() <= kInlineReadBytes) {
        TakeReadResult(ReadList(file_name));
        return;
    }
    if (OnProgress)
        OnProgress(0, 0);
    reader_ = std::thread([this, file_name, generation] {
        auto result = ReadList(file_name);
        platform::post(this, [this, result, generation] {
            if (generation == generation_ && loading_)
                TakeReadResult(result);
        });
    });
}

void PlaylistLoader::TakeReadResult(const std::shared_ptr<ReadResult>& result)
{
    JoinReader(); // it has posted its result: it is ending
    list_ = result;
    outcome_.skipped = result->entries.skipped;
    outcome_.error = result->error;
    BuildSlice();
}

void PlaylistLoader::BuildSlice()
{
    if (!loading_ || !list_)
        return;
    QElapsedTimer clock;
    clock.start();
    const int first_row = tree_->RowCount();
    const std::size_t total = list_->total();
    tree_->BeginUpdate();
    if (list_->media_list) {
        while (next_ < total && clock.elapsed() < kSliceMs) {
            const std::size_t end = std::min(total, next_ + kRowsPerBatch);
            for (; next_ < end; ++next_) {
                const PlaylistRow& row = list_->rows[next_];
                tree_->AddRow(row.text, row.columns, row.image_index);
            }
        }
    } else {
        // An unreadable MP3 is counted and left out without asking.
        const mpeginfo::TReadErrorEvent count_unreadable = [this](mpeginfo::TMPEGAudio&) {
            ++outcome_.unreadable;
            return mpeginfo::idIgnore;
        };
        const QStringList& paths = list_->entries.paths;
        while (next_ < total && clock.elapsed() < kSliceMs) {
            const QStringList batch = paths.mid(qsizetype(next_), kFilesPerBatch);
            next_ += std::size_t(batch.size());
            for (const PlaylistRow& row : BuildRowsForFiles(batch, tree_->RowCount(), scratch_, mpegfile_, count_unreadable))
                tree_->AddRow(row.text, row.columns, row.image_index);
        }
    }
    tree_->EndUpdate();
    const int added = tree_->RowCount() - first_row;
    outcome_.added += added;
    if (added > 0 && OnRowsAdded)
        OnRowsAdded(first_row, added);
    longest_slice_ns_ = std::max(longest_slice_ns_, clock.nsecsElapsed());
    if (OnProgress)
        OnProgress(int(next_), int(total));
    if (next_ >= total)
        Finish(false);
    else
        slice_timer_->start();
}

void PlaylistLoader::Cancel()
{
    if (!loading_)
        return;
    Finish(true);
}

void PlaylistLoader::Finish(bool cancelled)
{
    slice_timer_->stop();
    loading_ = false;
    ++generation_; // a read still running delivers to nobody
    JoinReader();
    platform::cancel_posted(this);
    list_.reset();
    outcome_.cancelled = cancelled;
    const Outcome outcome = outcome_;
    if (OnFinished)
        OnFinished(outcome);
}

} // namespace pelu::player
