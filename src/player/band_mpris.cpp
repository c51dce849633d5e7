// The band as the MPRIS service sees it: what it reports and how a remote
// command becomes a click on the band. Every command goes through the band's own
// handlers, so there is one state machine whoever presses the button.
#include "player/band_form.h"

#include "audio/mixer.h"
#include "audio/wave_out.h"
#include "mpeginfo/id3v2_tags.h"
#include "mpeginfo/mpeg_audio.h"
#include "platform/fs/file_facts.h"
#include "player/playlist_rows.h"
#include "player/quietly.h"
#include "widgets/band_layout.h"
#include "widgets/bitmap_slider.h"
#include "widgets/playlist_tree.h"
#include "widgets/seek_slider.h"

#include <QApplication>
#include <QUrl>

#include <cmath>

namespace pelu::player {

using namespace pelu::widgets;

void TBandForm::NotifyRemote()
{
    if (mpris_)
        mpris_->StateChanged();
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
    track.key = current_key_;
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

void TBandForm::Play()
{
    if (paused_ && wave_out_->IsPaused()) {
        Quietly([&] { ImageButton6Click(); });
        return;
    }
    TElTree* tree = controls_->playlist;
    if (tree->SelectedRows().isEmpty() && tree->RowCount() > 0)
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

void TBandForm::Next()
{
    if (!CanGoNext())
        return;
    TElTree* tree = controls_->playlist;
    tree->DeselectAll();
    tree->SetRowSelected(current_index_ + 1, true);
    Quietly([&] { ImageButton1Click(); });
}

void TBandForm::Previous()
{
    if (!CanGoPrevious())
        return;
    TElTree* tree = controls_->playlist;
    tree->DeselectAll();
    tree->SetRowSelected(current_index_ - 1, true);
    Quietly([&] { ImageButton1Click(); });
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
