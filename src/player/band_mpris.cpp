// The band as the MPRIS service sees it: what it reports and how a remote
// command becomes a click on the band. Every command goes through the band's own
// handlers, so there is one state machine whoever presses the button.
#include "player/band_form.h"

#include "audio/mixer.h"
#include "audio/wave_out.h"
#include "mpeginfo/id3v2_tags.h"
#include "mpeginfo/mpeg_audio.h"
#include "platform/fs/file_facts.h"
#include "playlist/playlist_rows.h"
#include "player/quietly.h"
#include "widgets/band_layout.h"
#include "widgets/bitmap_slider.h"
#include "widgets/playlist_tree.h"
#include "widgets/seek_slider.h"

#include <QScopeGuard>
#include <QTreeWidgetItem>
#include <QApplication>
#include <QUrl>

#include <cmath>

namespace pelu::player {

using namespace pelu::widgets;

namespace {

// Where a row keeps the id the remote knows it by (the column texts and the
// image index use the roles before it).
constexpr int kTrackIdRole = Qt::UserRole + 16;
constexpr int kIconNone = 3;

} // namespace

void TBandForm::NotifyRemote()
{
    ShowTransportState(); // every change of the play state passes here
    if (remote_hold_ > 0) {
        remote_dirty_ = true;
        return;
    }
    remote_dirty_ = false;
    if (!mpris_) {
        jump_pending_ = false;
        return;
    }
    mpris_->StateChanged();
    // After the new state, so the position is taken as the new track's.
    if (std::exchange(jump_pending_, false))
        mpris_->Seeked(jump_position_ms_);
}

void TBandForm::ReleaseRemote()
{
    if (--remote_hold_ == 0 && (remote_dirty_ || jump_pending_))
        NotifyRemote();
}

quint64 TBandForm::RowTrackId(int row) const
{
    QTreeWidgetItem* item = controls_->playlist->topLevelItem(row);
    if (!item)
        return 0;
    const QVariant id = item->data(0, kTrackIdRole);
    if (id.isValid())
        return id.toULongLong();
    const quint64 fresh = next_track_id_++;
    item->setData(0, kTrackIdRole, fresh);
    return fresh;
}

MprisBand::Status TBandForm::PlaybackStatus() const
{
    // The ended state (playing flag still set, output stopped) reads as stopped.
    if (!playing_ || !wave_out_->IsPlaying())
        return Status::Stopped;
    return wave_out_->IsPaused() ? Status::Paused : Status::Playing;
}

bool TBandForm::LoopTrack() const { return loop_mode_ == 2; }

MprisBand::Track TBandForm::CurrentTrack() const
{
    Track track;
    const int row = current_index_;
    if (current_key_.isEmpty() || row < 0 || row >= RowCount() || RowKey(row) != current_key_)
        return track;
    const TElTree* tree = controls_->playlist;
    track.valid = true;
    track.id = QString::number(RowTrackId(row));
    track.path = RowPath(row);
    track.title = RowName(track.path);
    const QString artist = tree->ColumnText(row, 1);
    track.artist = artist == QStringLiteral("[notag]") ? QString() : artist;
    track.length_ms = tree->ColumnText(row, 3).toLongLong();
    if (title_tags_.path == track.path) {
        if (!title_tags_.title.isEmpty())
            track.title = title_tags_.title;
        if (!title_tags_.artist.isEmpty())
            track.artist = title_tags_.artist; // the whole text, where the column keeps 30 characters
        track.album = title_tags_.album;
        track.art_url = title_tags_.art_url;
    }
    return track;
}

namespace {

// Whether the file ends in an ID3v1 tag: its last 128 bytes begin with "TAG".
bool HasId3v1Tag(const QString& path)
{
    platform::fs::ReadOnlyFile file;
    platform::fs::FileFacts facts;
    if (file.open(path) != 0 || !file.facts(&facts) || facts.size_bytes < 128)
        return false;
    char marker[3] = {};
    return file.read_at(facts.size_bytes - 128, marker, 3) == 3 && marker[0] == 'T' && marker[1] == 'A' &&
           marker[2] == 'G';
}

} // namespace

void TBandForm::ReadTitleTags(const QString& path)
{
    title_tags_ = TitleTags{path, {}, {}, {}, {}};
    const mpeginfo::Id3v2Tags tags = mpeginfo::ReadId3v2Tags(path, mpeginfo::Id3v2Parts::TextsAndCover);
    if (!tags.present)
        return;
    // The ID3v1 tag names artist and title first, as the artist column does.
    if (!HasId3v1Tag(path)) {
        title_tags_.title = tags.title;
        title_tags_.artist = tags.artist;
    }
    title_tags_.album = tags.album;
    const QString cover = mpeginfo::CachedCoverFile(tags);
    if (!cover.isEmpty())
        title_tags_.art_url = QUrl::fromLocalFile(cover).toString(QUrl::FullyEncoded);
}

double TBandForm::Volume() const
{
    const int low = mixer_slider_->MinValue(), high = mixer_slider_->MaxValue();
    if (high <= low)
        return 0.0;
    return double(mixer_slider_->Position() - low) / double(high - low);
}

bool TBandForm::CanGoNext() const { return current_index_ + 1 < RowCount(); }

bool TBandForm::CanGoPrevious() const { return current_index_ > 0 && current_index_ <= RowCount(); }

bool TBandForm::CanPlay() const { return RowCount() > 0; }

bool TBandForm::CanPause() const { return playing_ && wave_out_->IsPlaying(); }

bool TBandForm::CanSeek() const { return playing_ && wave_out_->IsPlaying(); }

namespace {

void SelectOnly(TElTree* tree, int row)
{
    tree->DeselectAll();
    tree->SetRowSelected(row, true);
}

} // namespace

void TBandForm::Play()
{
    if (playing_ && wave_out_->IsPlaying()) {
        // Already playing: nothing to do; paused: go on.
        if (paused_ && wave_out_->IsPaused())
            Quietly([&] { ImageButton6Click(); });
        return;
    }
    // The Play button plays exactly one selected row: the remote plays the
    // first of several, or the first row when none is selected.
    TElTree* tree = controls_->playlist;
    const QList<int> selected = tree->SelectedRows();
    if (selected.size() > 1)
        SelectOnly(tree, selected.first());
    else if (selected.isEmpty() && tree->RowCount() > 0)
        tree->SetRowSelected(0, true);
    Quietly([&] { ImageButton1Click(); });
}

void TBandForm::Pause()
{
    if (!paused_ && CanPause())
        Quietly([&] { ImageButton6Click(); });
}

void TBandForm::PlayPause()
{
    if (CanPause())
        Quietly([&] { ImageButton6Click(); });
    else
        Play();
}

void TBandForm::Stop() { Quietly([&] { ImageButton4Click(); }); }

void TBandForm::MakeCurrentStopped(int row)
{
    if (playing_) {
        // The ended state: the output is stopped already.
        playing_ = false;
        StopOutput();
    }
    SetRowImage(current_index_, kIconNone);
    current_index_ = row;
    current_key_ = RowKey(row);
    EndedDisplays(true);
}

// Next and Previous change the track and keep the state: playing plays the
// new track, paused holds it paused, stopped only makes it the current one.
void TBandForm::ChangeTrack(int row)
{
    const Status status = PlaybackStatus();
    SelectOnly(controls_->playlist, row);
    HoldRemote();
    const auto announce = qScopeGuard([this] { ReleaseRemote(); });
    Quietly([&] {
        if (status == Status::Playing) {
            ImageButton1Click();
        } else if (status == Status::Paused) {
            playing_ = false;
            StopOutput();
            current_index_ = row;
            StartRow(row, true);
        } else {
            MakeCurrentStopped(row);
        }
    });
    NotifyRemote();
}

void TBandForm::Next()
{
    if (CanGoNext())
        ChangeTrack(current_index_ + 1);
}

void TBandForm::Previous()
{
    if (CanGoPrevious())
        ChangeTrack(current_index_ - 1);
}

void TBandForm::SeekToMs(qint64 position_ms)
{
    controls_->seek->SetPosition(int(std::clamp<qint64>(position_ms, 0, controls_->seek->MaxValue())));
    Quietly([&] { MMSliderx1TrackEnd(); });
}

bool TBandForm::OpenFile(const QString& path, QString& reason)
{
    // A remote call shows no dialog: a file that cannot be read is refused
    // with the reason instead of the read-error dialog.
    int added = 0;
    reason.clear();
    Quietly([&] {
        added = AddFiles({path}, [&reason](mpeginfo::TMPEGAudio& record) {
            reason = QStringLiteral("Not an MPEG audio file: %1").arg(record.FileName());
            return mpeginfo::idIgnore;
        });
    });
    if (added == 0)
        return false;
    TElTree* tree = controls_->playlist;
    tree->DeselectAll();
    tree->SetRowSelected(tree->RowCount() - 1, true);
    Quietly([&] { ImageButton1Click(); });
    return playing_ && current_index_ == tree->RowCount() - 1;
}

void TBandForm::SetLoopTrack(bool on)
{
    if (on != (loop_mode_ == 2))
        Quietly([&] { LoopTrack1Click(); });
}

void TBandForm::SetVolume(double volume)
{
    TMMBitmapSlider* slider = controls_->volume;
    const int low = slider->MinValue(), high = slider->MaxValue();
    slider->SetPosition(low + int(std::lround(std::clamp(volume, 0.0, 1.0) * (high - low))));
    Quietly([&] { MMBitmapSlider1Track(); });
}

bool TBandForm::InModalLoop() const { return QApplication::activeModalWidget() != nullptr; }

void TBandForm::Quit() { Quietly([&] { CloseInternetExplorer1Click(); }); }

} // namespace pelu::player
