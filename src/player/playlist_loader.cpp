#include "player/playlist_loader.h"

#include "platform/fs/file_names.h"
#include "platform/mainthread.h"
#include "playlist/playlist_formats.h"
#include "playlist/playlist_rows.h"
#include "widgets/playlist_tree.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTimer>
#include <QTreeWidgetItem>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <span>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace pelu::player {

namespace {

// Files per call of the row builder: small enough that a slice ends close to
// its budget, large enough that the builder's own set-up is not the cost.
constexpr qsizetype kFilesPerBatch = 8;
// Rows of a media list per check of the clock (they are built already).
constexpr std::size_t kRowsPerBatch = 256;

// Natural name order, as a file manager shows names: runs of digits compare as
// numbers ("2" before "10"), the rest without regard to letter case.
bool NaturalLess(const QString& a, const QString& b)
{
    qsizetype i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            qsizetype i_end = i, j_end = j;
            while (i_end < a.size() && a[i_end].isDigit())
                ++i_end;
            while (j_end < b.size() && b[j_end].isDigit())
                ++j_end;
            // Compare the numbers by their digits without leading zeros.
            QStringView x = QStringView(a).mid(i, i_end - i), y = QStringView(b).mid(j, j_end - j);
            while (x.size() > 1 && x.front() == u'0')
                x = x.mid(1);
            while (y.size() > 1 && y.front() == u'0')
                y = y.mid(1);
            if (x.size() != y.size())
                return x.size() < y.size();
            if (const int order = x.compare(y); order != 0)
                return order < 0;
            i = i_end;
            j = j_end;
            continue;
        }
        const QChar x = a[i].toCaseFolded(), y = b[j].toCaseFolded();
        if (x != y)
            return QString::localeAwareCompare(QString(x), QString(y)) < 0;
        ++i;
        ++j;
    }
    if ((a.size() - i) != (b.size() - j))
        return (a.size() - i) < (b.size() - j);
    return a < b; // names that differ only in letter case: a fixed order
}

class DropWalker {
public:
    explicit DropWalker(const std::atomic<bool>& stop) : stop_(stop) {}

    // `path` is absolute and clean, as text (see platform/fs/file_names.h).
    void Walk(const QString& path)
    {
        if (stop_)
            return;
        struct stat st {};
        if (::stat(platform::fs::encode_file_name(path).constData(), &st) != 0)
            return;
        if (S_ISREG(st.st_mode)) {
            if (HasMp3Extension(path))
                files_ << path;
            return;
        }
        if (!S_ISDIR(st.st_mode) || !walked_.insert({st.st_dev, st.st_ino}).second)
            return; // devices and FIFOs are no music; a folder linked into itself is walked once
        QStringList names;
        if (DIR* folder = ::opendir(platform::fs::encode_file_name(path).constData())) {
            while (const dirent* entry = ::readdir(folder)) {
                if (stop_)
                    break;
                if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                    names << platform::fs::decode_file_name(entry->d_name);
            }
            ::closedir(folder);
        }
        std::sort(names.begin(), names.end(), NaturalLess);
        const QString prefix = path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/');
        for (const QString& name : names)
            Walk(prefix + name);
    }
    QStringList Take() { return std::move(files_); }

private:
    const std::atomic<bool>& stop_;
    std::set<std::pair<dev_t, ino_t>> walked_;
    QStringList files_;
};

} // namespace

QStringList WalkDroppedFiles(const QStringList& paths, const std::atomic<bool>& stop)
{
    DropWalker walker(stop);
    QString folder;
    for (const QString& path : paths) {
        if (path.isEmpty())
            continue;
        if (!path.startsWith(QLatin1Char('/')) && folder.isEmpty()) {
            char* cwd = ::getcwd(nullptr, 0);
            folder = cwd ? platform::fs::decode_file_name(cwd) : QDir::currentPath();
            std::free(cwd);
        }
        walker.Walk(QDir::cleanPath(path.startsWith(QLatin1Char('/')) ? path : folder + QLatin1Char('/') + path));
    }
    return walker.Take();
}

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
            LoadMediaListFile(file_name, result->rows);
        else
            result->entries = ReadPlaylistEntries(file_name);
    } catch (const std::exception& error) {
        result->error = QString::fromUtf8(error.what());
    }
    return result;
}

void PlaylistLoader::Begin(bool replace)
{
    Cancel();
    loading_ = true;
    replace_ = replace;
    outcome_ = {};
    next_ = 0;
    list_.reset();
    stop_walk_ = std::make_shared<std::atomic<bool>>(false);
}

void PlaylistLoader::StartAppend(const QStringList& paths)
{
    Begin(false);
    const std::uint64_t generation = ++generation_;
    if (OnProgress)
        OnProgress(0, 0);
    reader_ = std::thread([this, paths, generation, stop = stop_walk_] {
        auto result = std::make_shared<ReadResult>();
        result->entries.paths = WalkDroppedFiles(paths, *stop);
        platform::post(this, [this, result, generation] {
            if (generation == generation_ && loading_)
                TakeReadResult(result);
        });
    });
}

void PlaylistLoader::Start(const QString& file_name)
{
    Begin(true);
    const std::uint64_t generation = ++generation_;
    // The rows stay until the new list has been read whole (TakeReadResult):
    // a list that cannot be read replaces nothing.
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
    outcome_.skipped = result->entries.skipped;
    outcome_.error = result->error;
    if (!result->error.isEmpty()) {
        // Missing, damaged or refused: the playlist stays as it was.
        outcome_.replaced = false;
        Finish(false);
        return;
    }
    list_ = result;
    if (replace_) {
        outcome_.replaced = true;
        // Taking the rows out is quick; deleting them is what takes the time.
        discarded_ += tree_->invisibleRootItem()->takeChildren();
        if (!discarded_.isEmpty())
            discard_timer_->start();
    }
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
            tree_->AddRows(std::span<const PlaylistRow>(list_->rows).subspan(next_, end - next_));
            next_ = end;
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
            tree_->AddRows(BuildRowsForFiles(batch, tree_->RowCount(), scratch_, mpegfile_, count_unreadable));
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
    if (stop_walk_)
        *stop_walk_ = true; // a folder walk ends at its next directory entry
    JoinReader();
    platform::cancel_posted(this);
    list_.reset();
    outcome_.cancelled = cancelled;
    const Outcome outcome = outcome_;
    if (OnFinished)
        OnFinished(outcome);
}

} // namespace pelu::player
