// The band's transport: starting a row, Play, Stop, Pause, stepping and holding
// both ways, seeking, the automatic advance, looping one track, and the displays
// that follow playback (time, seek slider, status line, bit rate, the blinking
// icon of the playing row).
#include "player/band_form.h"

#include "audio/audio_file.h"
#include "audio/mixer.h"
#include "audio/wave_out.h"
#include "platform/time_text.h"
#include "player/quietly.h"
#include "widgets/analyser_views.h"
#include "widgets/band_layout.h"
#include "widgets/bitmap_slider.h"
#include "widgets/dot_matrix.h"
#include "widgets/picture_box.h"
#include "widgets/playlist_tree.h"
#include "widgets/scrolling_text.h"
#include "widgets/seek_slider.h"

#include <QAction>
#include <QFileInfo>
#include <QLabel>
#include <QTimer>

#include <algorithm>

namespace pelu::player {

using namespace pelu::widgets;

namespace {

constexpr int kIconPlaying = 0;
constexpr int kIconPlayingAlt = 1;
constexpr int kIconNone = 3;

// The file name part of a path: without its folder, extension kept.
QString NamePart(const QString& path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? path : path.mid(slash + 1);
}

int SliderValue(qint64 ms) { return int(std::clamp<qint64>(ms, 0, INT32_MAX)); }

} // namespace

// ---------------------------------------------------------------------------
// Starting

bool TBandForm::StartCurrentFile(const QString& path)
{
    // A file that does not exist loads nothing and says nothing; the band then
    // has no title to start and says so rather than starting silence.
    audiox_->SetFileName(path);
    if (audiox_->FileName() != path || !audiox_->GetPWaveFormat())
        throw EMMAudioError("This is not a valid Audiofile");
    return true;
}

void TBandForm::ShowPlayingText(const QString& path)
{
    controls_->status->SetText(QStringLiteral("Playing -") + NamePart(path));
}

void TBandForm::ShowCannotPlay(const QString& path)
{
    controls_->status->SetText(QStringLiteral("Cannot play -") + NamePart(path));
    controls_->status->setVisible(true);
}

bool TBandForm::StartRow(int row)
{
    const QString path = RowPath(row);
    QString sound_note;
    try {
        StartCurrentFile(path);
        ShowPlayingText(path);
        controls_->seek->SetMaxValue(SliderValue(audiox_->Duration()));
        if (stop_deferred_) {
            // The old play's OnStop has not come yet: when it comes it is stale.
            stop_deferred_ = false;
            ++stale_stops_;
        }
        paused_ = false;
        StartOutput(sound_note);
    } catch (const std::exception&) {
        ShowCannotPlay(path);
        return false;
    }
    Quietly([&] { ReadTitleTags(path); });
    if (!sound_note.isEmpty())
        controls_->status->SetText(controls_->status->Text() + QStringLiteral("  -  ") + sound_note);
    controls_->status->setVisible(true);
    playing_ = true;
    current_key_ = RowKey(row);
    SetRowImage(row, kIconPlaying);
    NotifyRemote();
    return true;
}

void TBandForm::StopOutput()
{
    wave_out_->Stop();
    // When the output's thread was inside a buffer handler, the stop completes
    // later and so does its OnStop.
    if (wave_out_->IsPlaying() || wave_out_->IsPaused())
        stop_deferred_ = true;
}

// ---------------------------------------------------------------------------
// Buttons

void TBandForm::ImageButton1Click()
{
    if (playing_) {
        playing_ = false;
        StopOutput();
    }
    const QList<int> selected = controls_->playlist->SelectedRows();
    if (selected.size() != 1)
        return;
    current_index_ = selected.last();
    StartRow(current_index_);
}

void TBandForm::ElTree1DblClick()
{
    const QList<int> selected = controls_->playlist->SelectedRows();
    if (selected.size() > 1)
        return;
    if (playing_) {
        playing_ = false;
        StopOutput();
        loop_mode_ = 1;
        MenuItem(QStringLiteral("LoopTrack1"))->setChecked(false);
    }
    if (selected.isEmpty())
        return;
    current_index_ = selected.first();
    StartRow(current_index_);
}

void TBandForm::ImageButton4Click()
{
    controls_->analyser_idle->setVisible(true);
    playing_ = false;
    paused_ = false;
    StopOutput();
    controls_->seek->SetPosition(0);
    NotifyRemote();
}

void TBandForm::ImageButton6Click()
{
    if (!paused_) {
        wave_out_->Pause();
        paused_ = true;
    } else {
        wave_out_->Restart();
        paused_ = false;
    }
    NotifyRemote();
}

// ---------------------------------------------------------------------------
// Stepping and holding

void TBandForm::StepBy(qint64 delta_ms)
{
    audiox_->SetPosition(std::max<qint64>(0, audiox_->Position() + delta_ms));
    if (mpris_)
        mpris_->Seeked(audiox_->Position());
}

void TBandForm::ImageButton2Click()
{
    if (audiox_->Position() <= 10)
        return;
    // Each step reads the position afresh after the previous seek.
    const struct {
        qint64 above_ms, back_ms;
    } steps[] = {{2010, 2000}, {1000, 950}, {500, 450}, {100, 95}, {30, 10}};
    for (const auto& step : steps)
        if (audiox_->Position() > step.above_ms)
            StepBy(-step.back_ms);
}

void TBandForm::ImageButton2MouseDown()
{
    if (audiox_->Position() > 300)
        timerup_->start();
}

void TBandForm::ImageButton2MouseUp() { timerup_->stop(); }

void TBandForm::timerupTimer()
{
    if (audiox_->Position() > 300)
        StepBy(-200);
}

void TBandForm::ImageButton3Click() { StepBy(2000); }

void TBandForm::ImageButton3MouseDown() { timerup2_->start(); }

void TBandForm::ImageButton3MouseUp() { timerup2_->stop(); }

void TBandForm::timerup2Timer() { StepBy(200); }

// ---------------------------------------------------------------------------
// Seeking, displays, volume

void TBandForm::MMSliderx1Track() { seeking_ = true; }

void TBandForm::MMSliderx1TrackEnd()
{
    audiox_->SetPosition(controls_->seek->Position());
    seeking_ = false;
    if (mpris_)
        mpris_->Seeked(audiox_->Position());
}

void TBandForm::Timer2Timer()
{
    if (!seeking_)
        controls_->seek->SetPosition(SliderValue(audiox_->Position()));
}

void TBandForm::Timer1Timer()
{
    const qint64 position_ms = audiox_->Position();
    if (emberxix_ == 0)
        controls_->time->SetText(platform::time_text_ms(position_ms));
    else
        controls_->time->SetText(QStringLiteral("-") + platform::time_text_ms(audiox_->Duration() - position_ms));
}

void TBandForm::Timer4Timer()
{
    if (current_index_ < 0 || current_index_ >= RowCount())
        return;
    const int icon = controls_->playlist->ImageIndex(current_index_);
    if (icon == kIconPlaying)
        SetRowImage(current_index_, kIconPlayingAlt);
    else if (icon == kIconPlayingAlt)
        SetRowImage(current_index_, kIconPlaying);
}

void TBandForm::emberxMouseDown() { emberxix_ = emberxix_ == 0 ? 1 : 0; }

void TBandForm::MMBitmapSlider1Track()
{
    mixer_slider_->SetPosition(controls_->volume->Position());
    NotifyRemote();
}

qint64 TBandForm::PositionMs() const { return audiox_->Position(); }

// ---------------------------------------------------------------------------
// The output's notices

void TBandForm::MMWaveOut1Start(QObject*)
{
    timer1_->start();
    timer2_->start();
    timer4_->start();
    last_high_x_ = 0;
    controls_->bit_rate->setText(QString::number(audiox_->BitRate()));
    // The idle picture covers the analyser until something plays.
    if (controls_->spectrum->Spectrum()->Enabled())
        controls_->analyser_idle->setVisible(false);
    NotifyRemote();
}

void TBandForm::EndedDisplays(bool disable_blink)
{
    timer1_->stop();
    timer2_->stop();
    if (disable_blink)
        timer4_->stop();
    controls_->seek->SetPosition(0);
    controls_->time->SetText(QStringLiteral("0:00:00"));
    controls_->status->SetText(QStringLiteral("Corvel-Ready"));
}

void TBandForm::MMWaveOut1Stop(QObject*)
{
    // An OnStop that belongs to a play stopped before the current one started
    // must not end or advance the current one.
    if (stale_stops_ > 0) {
        --stale_stops_;
        return;
    }
    stop_deferred_ = false;
    controls_->bit_rate->setText(QStringLiteral("---"));
    const int rows = RowCount();
    if (!playing_) {
        // Stopped by a command.
        SetRowImage(current_index_, kIconNone);
        EndedDisplays(true);
        NotifyRemote();
        return;
    }

    // The file ended by itself. Loop Track plays the same file again whatever its
    // row (the last row included, or a one-song playlist would never loop).
    if (loop_mode_ == 2) {
        const QString path = audiox_->FileName();
        try {
            controls_->seek->SetMaxValue(SliderValue(audiox_->Duration()));
            ShowPlayingText(path);
            paused_ = false;
            QString sound_note;
            StartOutput(sound_note);
            if (!sound_note.isEmpty())
                controls_->status->SetText(controls_->status->Text() + QStringLiteral("  -  ") + sound_note);
            playing_ = true;
            NotifyRemote();
            return;
        } catch (const std::exception&) {
            SetRowImage(current_index_, kIconNone);
            EndedDisplays(false);
            ShowCannotPlay(path);
            NotifyRemote();
            return;
        }
    }

    // Advance to the next row that can be started; rows that cannot are passed
    // over once each, so a run of bad files ends instead of looping.
    QString failed_path;
    while (current_index_ < rows - 1) {
        const int next = current_index_ + 1;
        controls_->playlist->SetRowSelected(current_index_, false);
        SetRowImage(current_index_, kIconNone);
        current_index_ = next;
        controls_->playlist->SetRowSelected(next, true);
        if (StartRow(next)) {
            controls_->playlist->DeselectAll();
            controls_->playlist->SetRowSelected(next, true);
            return;
        }
        failed_path = RowPath(next);
    }

    // The last row has finished: the ended state. The playing flag stays set and
    // its blink timer runs on; a title that could not be started stays named.
    SetRowImage(current_index_, kIconNone);
    EndedDisplays(false);
    if (!failed_path.isEmpty())
        ShowCannotPlay(failed_path);
    NotifyRemote();
}

} // namespace pelu::player
