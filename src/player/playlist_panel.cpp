// The playlist and the file locator: adding files, the information preview,
// moving, deleting and clearing rows, media list files and the resume playlist.
#include "player/band_form.h"

#include "audio/audio_file.h"
#include "audio/mpeg.h"
#include "audio/wave_out.h"
#include "mpeginfo/mpeg_audio.h"
#include "platform/time_text.h"
#include "playlist/media_list.h"
#include "player/playlist_edits.h"
#include "platform/fs/file_names.h"
#include "playlist/playlist_formats.h"
#include "player/playlist_loader.h"
#include "player/quietly.h"
#include "player/resume_writer.h"
#include "playlist/playlist_rows.h"
#include "widgets/band_layout.h"
#include "widgets/explorer_popup.h"
#include "widgets/playlist_tree.h"
#include "widgets/scrolling_text.h"
#include "widgets/shell_views.h"

#include <QApplication>
#include <QSet>
#include <QUrl>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <functional>

namespace pelu::player {

using namespace pelu::widgets;

namespace {

constexpr int kIconNone = 3;
constexpr int kKeyColumn = 4;

const QString kMediaListFilter = QStringLiteral("Brindle Studios Media List|*.bri");
// Load takes every kind of list it reads; Save writes the kind whose filter
// the dialog shows (the dialog gives the name that filter's extension).
const QString kLoadListFilter = QStringLiteral("All playlists|*.bri;*.m3u;*.m3u8;*.pls|") + kMediaListFilter +
                                QStringLiteral("|M3U playlist|*.m3u;*.m3u8|PLS playlist|*.pls");
const QString kSaveListFilter =
    kMediaListFilter + QStringLiteral("|M3U8 playlist|*.m3u8|PLS playlist|*.pls");

class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
};

} // namespace

int TBandForm::RowCount() const { return controls_->playlist->RowCount(); }

QString TBandForm::RowPath(int row) const { return controls_->playlist->ColumnText(row, 2); }

QString TBandForm::RowKey(int row) const { return controls_->playlist->ColumnText(row, kKeyColumn); }

void TBandForm::SetRowImage(int row, int image_index)
{
    if (row >= 0 && row < RowCount())
        controls_->playlist->SetImageIndex(row, image_index);
}

void TBandForm::FindCurrentByKey()
{
    current_index_ = LastRowWithKey(*controls_->playlist, current_key_, current_index_); // the last match wins
}

void TBandForm::Renumber() { RenumberRows(*controls_->playlist, 0, RowCount()); }

void TBandForm::PlaylistChanged()
{
    playlist_changed_ = true;
    autosave_->start();
    if (!controls_->search->text().isEmpty())
        PlaylistSearchChanged(controls_->search->text()); // new rows obey the search too
    NotifyRemote();
}

// ---------------------------------------------------------------------------
// Adding

int TBandForm::AddFiles(const QStringList& paths, const std::function<int(mpeginfo::TMPEGAudio&)>& on_read_error)
{
    TElTree* tree = controls_->playlist;
    const std::vector<PlaylistRow> rows =
        BuildRowsForFiles(paths, tree->RowCount(), *audio_list_, *mpegfile_, on_read_error);
    tree->AddRows(rows);
    if (!rows.empty())
        PlaylistChanged();
    return int(rows.size());
}

void TBandForm::KamButton1Click()
{
    TShellList* files = controls_->files;
    const QStringList selected = files->SelectedPaths();
    if (selected.isEmpty())
        return;
    WaitCursor wait;
    QStringList paths;
    for (const QString& path : selected)
        if (HasMp3Extension(path))
            paths << path;
    files->Refresh();
    controls_->playlist->BeginUpdate();
    struct EndUpdate {
        TElTree* tree;
        ~EndUpdate() { tree->EndUpdate(); }
    } end_update{controls_->playlist};
    AddFiles(paths);
    files->ClearSelection();
    controls_->locator_panel->ClosePanel();
}

void TBandForm::PTShellList1DblClickOpen(bool& handled)
{
    handled = true;
    KamButton1Click();
    controls_->locator_panel->ClosePanel();
}

void TBandForm::PTShellList1SelectItem(const QString& path, bool selected)
{
    if (!selected || !HasMp3Extension(path))
        return;
    mpegx_->SetFileName(path);
    controls_->file_name->setText(QStringLiteral("MP3:") + QFileInfo(path).fileName());
    controls_->estimated_time->setText(QStringLiteral("EST-") + platform::time_text_ms(mpegx_->Time()));
    controls_->layer->setText(QString::number(mpegx_->Layer()));
    controls_->file_bit_rate->setText(QString::number(mpegx_->BitRate()));
    controls_->frame_size->setText(QString::number(mpegx_->Info().info.frame_size_bytes));
}

void TBandForm::PTShellList1FillComplete() { controls_->files->setColumnWidth(0, 300); }

QStringList TBandForm::DroppedMp3Files(const QStringList& paths)
{
    const std::atomic<bool> never{false};
    return WalkDroppedFiles(paths, never);
}

void TBandForm::AddDroppedUrls(const QList<QUrl>& urls)
{
    QStringList paths;
    for (const QUrl& url : urls) {
        // The path's own bytes: a name that is not UTF-8 arrives percent-encoded
        // and must not become U+FFFD on the way (see platform/fs/file_names.h).
        if (url.isLocalFile())
            paths << platform::fs::decode_file_name(QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()));
    }
    if (paths.isEmpty())
        return;
    if (LoadingPlaylist())
        loader_->Cancel();
    status_before_load_ = controls_->status->Text();
    // Walked on the loader's thread and added a slice at a time; files that
    // cannot be read are counted on the status line, never asked about one by
    // one. Clear Playlist, a Load or another drop cancels it.
    Loader()->StartAppend(paths);
}

// ---------------------------------------------------------------------------
// Searching

namespace {

// Letter case and accents do not count: "Été" is found by "ete".
QString Folded(const QString& text)
{
    const QString decomposed = text.normalized(QString::NormalizationForm_KD);
    QString folded;
    folded.reserve(decomposed.size());
    for (QChar c : decomposed)
        if (c.category() != QChar::Mark_NonSpacing)
            folded += c;
    return folded.toCaseFolded();
}

} // namespace

void TBandForm::PlaylistSearchChanged(const QString& text) { FilterRows(0, RowCount(), text); }

void TBandForm::FilterRows(int first_row, int end_row, const QString& text)
{
    TElTree* tree = controls_->playlist;
    const QString wanted = Folded(text.trimmed());
    for (int i = first_row; i < end_row && i < tree->RowCount(); ++i) {
        const bool shown = wanted.isEmpty() || Folded(RowName(RowPath(i))).contains(wanted) ||
                           Folded(tree->ColumnText(i, 1)).contains(wanted);
        tree->SetRowHidden(i, !shown);
        // A row out of sight is not a row the transport should act on.
        if (!shown && tree->IsRowSelected(i))
            tree->SetRowSelected(i, false);
    }
}

void TBandForm::PlaylistSearchReturn()
{
    // The highlighted match (the focused row, when shown and selected), else the
    // first row shown.
    TElTree* tree = controls_->playlist;
    int row = tree->FocusedRow();
    if (row < 0 || tree->IsRowHidden(row) || !tree->IsRowSelected(row)) {
        row = -1;
        for (int i = 0; i < tree->RowCount() && row < 0; ++i)
            if (!tree->IsRowHidden(i))
                row = i;
    }
    if (row < 0)
        return;
    tree->DeselectAll();
    tree->SetRowSelected(row, true);
    tree->SetFocusedRow(row);
    ImageButton1Click();
}

void TBandForm::PlaylistSearchStep(int direction)
{
    TElTree* tree = controls_->playlist;
    const int count = tree->RowCount();
    const int focused = tree->FocusedRow();
    const bool on_match = focused >= 0 && !tree->IsRowHidden(focused) && tree->IsRowSelected(focused);
    int row = on_match ? focused + direction : (direction > 0 ? 0 : count - 1);
    while (row >= 0 && row < count && tree->IsRowHidden(row))
        row += direction;
    if (row < 0 || row >= count)
        return; // already on the first or last match
    tree->DeselectAll();
    tree->SetRowSelected(row, true);
    tree->SetFocusedRow(row);
    tree->scrollToItem(tree->topLevelItem(row));
}

// ---------------------------------------------------------------------------
// Moving, deleting, clearing

void TBandForm::ElTree1DragDrop(int row_under_point)
{
    TElTree* tree = controls_->playlist;
    const int focused = tree->FocusedRow();
    if (row_under_point < 0 || focused < 0 || row_under_point == focused)
        return;
    tree->MoveRow(focused, row_under_point);
    FindCurrentByKey();
    // Only the rows between the two places changed their numbers.
    RenumberRows(*tree, std::min(focused, row_under_point), std::max(focused, row_under_point) + 1);
    PlaylistChanged();
}

void TBandForm::DeleteSelectedFiles2Click()
{
    TElTree* tree = controls_->playlist;
    if (playing_) {
        playing_ = false;
        StopOutput();
        SetRowImage(current_index_, kIconNone);
    }
    const int first_removed = DeleteSelectedRows(*tree);
    FindCurrentByKey();
    if (first_removed >= 0)
        RenumberRows(*tree, first_removed, tree->RowCount());
    PlaylistChanged();
}

void TBandForm::ClearPlaylist1Click()
{
    if (LoadingPlaylist())
        loader_->Cancel(); // the rows it would still add belong to the list being cleared
    if (RowCount() == 0)
        return;
    if (playing_) {
        playing_ = false;
        StopOutput();
    }
    controls_->playlist->Clear();
    PlaylistChanged();
}

void TBandForm::ElTree1ItemSelectedChange()
{
    if (shown_)
        last_high_x_ = 0;
}

// ---------------------------------------------------------------------------
// Media lists

void TBandForm::LoadMediaList(const QString& file_name)
{
    std::vector<PlaylistRow> rows;
    TElTree* tree = controls_->playlist;
    tree->Clear();
    // The rows read before a damaged part stay, as far as the file could be read.
    auto append = [&] {
        tree->BeginUpdate();
        tree->AddRows(rows);
        tree->EndUpdate();
    };
    try {
        LoadMediaListFile(file_name, rows);
    } catch (...) {
        append();
        throw;
    }
    append();
}

std::vector<PlaylistRow> TBandForm::CurrentRows() const
{
    const TElTree* tree = controls_->playlist;
    std::vector<PlaylistRow> rows;
    rows.reserve(tree->RowCount());
    for (int i = 0; i < tree->RowCount(); ++i)
        rows.push_back(PlaylistRow{tree->RowText(i), tree->ColumnTexts(i), tree->ImageIndex(i), tree->IsRowSelected(i)});
    return rows;
}

void TBandForm::SaveMediaList(const QString& file_name)
{
    const std::vector<PlaylistRow> rows = CurrentRows();
    QDir().mkpath(QFileInfo(file_name).absolutePath());
    SaveMediaListFile(file_name, rows);
}

PlaylistLoader* TBandForm::Loader()
{
    if (!loader_) {
        loader_ = new PlaylistLoader(controls_->playlist, *audio_list_, *mpegfile_, this);
        loader_->setObjectName(QStringLiteral("PlaylistLoader"));
        loader_->OnRowsAdded = [this](int first_row, int count) {
            if (!controls_->search->text().isEmpty())
                FilterRows(first_row, first_row + count, controls_->search->text()); // new rows obey the search too
        };
        loader_->OnProgress = [this](int done, int total) {
            controls_->status->SetText(total > 0 ? QStringLiteral("Loading playlist... %1 of %2").arg(done).arg(total)
                                                 : QStringLiteral("Loading playlist..."));
            controls_->status->setVisible(true);
        };
        loader_->OnFinished = [this](const PlaylistLoader::Outcome& outcome) {
            Quietly([&] {
                PlaylistLoadFinished(outcome.cancelled, outcome.added, outcome.skipped, outcome.unreadable,
                                     outcome.error);
            });
        };
    }
    return loader_;
}

bool TBandForm::LoadingPlaylist() const { return loader_ && loader_->Loading(); }

void TBandForm::LoadPlaylistFile(const QString& file_name)
{
    if (LoadingPlaylist())
        loader_->Cancel();
    // Edits still waiting for the autosave are written now: a load that never
    // ends (the browser closes meanwhile) leaves the resume list as it was
    // before the load, never a part of the new list.
    if (autosave_->isActive()) {
        autosave_->stop();
        SaveResumePlaylist(true);
    }
    status_before_load_ = controls_->status->Text();
    // The loader replaces the rows (and deletes the old ones a slice at a time).
    // A list that loads in its first slice shows its progress only until the
    // end of this call, so never on the screen.
    Loader()->Start(file_name);
}

void TBandForm::PlaylistLoadFinished(bool cancelled, int added, int skipped, int unreadable, const QString& error)
{
    if (cancelled) {
        // Clear, another Load or closing the band cancelled it: whoever did says
        // what comes next; the progress text goes.
        if (controls_->status->Text().startsWith(QStringLiteral("Loading playlist")))
            controls_->status->SetText(status_before_load_);
        return;
    }
    if (!error.isEmpty()) {
        // The list could not be read: nothing was replaced, so neither the
        // playlist nor the resume list changes.
        controls_->status->SetText(QStringLiteral("Playlist not loaded: ") + error);
        controls_->status->setVisible(true);
        return;
    }
    QStringList notes;
    if (skipped > 0)
        notes << QStringLiteral("%1 entries skipped (not files or not MP3s)").arg(skipped);
    if (unreadable > 0)
        notes << QStringLiteral("%1 files could not be read").arg(unreadable);
    if (notes.isEmpty()) {
        controls_->status->SetText(status_before_load_);
    } else {
        controls_->status->SetText(QStringLiteral("Playlist: %1 added, ").arg(added) + notes.join(QStringLiteral(", ")));
        controls_->status->setVisible(true);
    }
    PlaylistChanged();
}

bool TBandForm::SavePlaylistFile(const QString& file_name)
{
    // Half a list saved would look like the whole one.
    if (LoadingPlaylist()) {
        controls_->status->SetText(QStringLiteral("The playlist is still loading: not saved"));
        controls_->status->setVisible(true);
        return false;
    }
    switch (PlaylistFormatOf(file_name)) {
    case PlaylistFormat::M3u:
        WriteM3u8(file_name, CurrentRows());
        return true;
    case PlaylistFormat::Pls:
        WritePls(file_name, CurrentRows());
        return true;
    default:
        SaveMediaList(file_name);
        return true;
    }
}

void TBandForm::KamButton7Click()
{
    controls_->playlist_panel->ClosePanel();
    const QString file_name =
        services_.open_file_dialog
            ? services_.open_file_dialog(this, {QStringLiteral("Load Brindle Studios Media List"), kLoadListFilter,
                                                QStringLiteral("bri"), QString()})
            : QString();
    if (!file_name.isEmpty()) {
        if (playing_) {
            playing_ = false;
            StopOutput();
        }
        // A list that cannot be read leaves the rows as they are and says why;
        // the panel still comes back.
        LoadPlaylistFile(file_name);
    } else {
        ConnectorRestart();
    }
    controls_->playlist_panel->OpenBelow(controls_->anchors[1]);
}

void TBandForm::KamButton8Click()
{
    controls_->playlist_panel->ClosePanel();
    if (RowCount() == 0)
        return;
    const QString file_name =
        services_.save_file_dialog
            ? services_.save_file_dialog(this, {QStringLiteral("Save Playlist as Brindle Studios Media List"),
                                                kSaveListFilter, QStringLiteral("bri"), QString()})
            : QString();
    if (!file_name.isEmpty()) {
        if (playing_) {
            playing_ = false;
            StopOutput();
        }
        try {
            SavePlaylistFile(file_name);
        } catch (const std::exception& error) {
            // The old file stays whole; the user learns why the new one is not
            // there. The panel still comes back.
            controls_->status->SetText(QStringLiteral("Playlist not saved: ") + QString::fromUtf8(error.what()));
            controls_->status->setVisible(true);
        }
    } else {
        ConnectorRestart();
    }
    controls_->playlist_panel->OpenBelow(controls_->anchors[1]);
}

void TBandForm::KamButton2Click()
{
    if (!services_.open_file_dialog)
        return;
    const QString file_name =
        services_.open_file_dialog(this, {QStringLiteral("Open"), QStringLiteral("MP3 Files|*.mp3"), QString(), QString()});
    if (!file_name.isEmpty())
        audiox_->SetFileName(file_name);
}

// ---------------------------------------------------------------------------
// The resume playlist

QString TBandForm::ResumeFileName() const { return StorageFile(QStringLiteral("es.xes")); }

namespace {

// A save that was killed (the browser or the machine went down while the
// resume list was written) leaves its temporary file beside the list, often
// megabytes. Those of earlier runs go at the next start; a temporary younger
// than a minute may belong to a band of another browser still writing it.
void RemoveLeftoverTemporaries(const QString& list_file)
{
    const QFileInfo list(list_file);
    QDir folder = list.absoluteDir();
    const QStringList pattern{QLatin1Char('.') + list.fileName() + QStringLiteral(".*.tmp")};
    const QDateTime old_enough = QDateTime::currentDateTimeUtc().addSecs(-60);
    for (const QFileInfo& temporary : folder.entryInfoList(pattern, QDir::Files | QDir::Hidden | QDir::System))
        if (!temporary.isSymLink() && temporary.lastModified().toUTC() < old_enough)
            QFile::remove(temporary.absoluteFilePath());
}

} // namespace

void TBandForm::LoadResumePlaylist()
{
    const QString file_name = ResumeFileName();
    RemoveLeftoverTemporaries(file_name);
    if (!QFileInfo(file_name).isFile())
        return;
    try {
        LoadMediaList(file_name);
    } catch (...) {
        resume_unreadable_ = true;
        throw;
    }
}

bool TBandForm::SaveResumePlaylist(bool in_background)
{
    // The list is kept whatever its length (one song, or none after the user
    // cleared it), except that a list we could not read at start is never
    // overwritten unless the user changed the playlist since.
    if (resume_unreadable_ && !playlist_changed_)
        return false;
    // A list still loading is half a list; the end of the load saves it.
    if (LoadingPlaylist())
        return false;
    if (!resume_writer_)
        resume_writer_ = std::make_unique<ResumeWriter>();
    if (in_background) {
        resume_writer_->Write(ResumeFileName(), CurrentRows());
        return true;
    }
    resume_writer_->Wait(); // an older list must not land after this one
    SaveMediaList(ResumeFileName());
    return true;
}

} // namespace pelu::player
