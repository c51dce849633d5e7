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
#include <QScopeGuard>
#include <QTimer>

#include <algorithm>
#include <utility>

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

// Whether an error of the output is the device's (every device text carries a
// "WaveOut...:" label) rather than the title's: "WaveOutStart:" is a source that
// gave no data, and an unlabelled text (a buffer that could not be filled) is
// the file's too.
bool IsDeviceError(const QString& text)
{
    return text.startsWith(QLatin1String("WaveOut")) && !text.startsWith(QLatin1String("WaveOutStart:"));
}

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

bool TBandForm::StartRow(int row, bool keep_paused)
{
    const QString path = RowPath(row);
    QString sound_note;
    qint64 start_ms = 0;
    device_error_.clear();
    try {
        StartCurrentFile(path);
        ShowPlayingText(path);
        controls_->seek->SetMaxValue(SliderValue(audiox_->Duration()));
        if (stop_deferred_) {
            // The old play's OnStop has not come yet: when it comes it is stale.
            stop_deferred_ = false;
            ++stale_stops_;
        }
        start_ms = audiox_->Position();
        paused_ = false;
        if (keep_paused) {
            // A paused output queues the title's buffers and holds them.
            ApplySoundOutput(sound_note);
            wave_out_->Pause();
        }
        StartOutput(sound_note);
        if (keep_paused && !wave_out_->IsPaused())
            wave_out_->Pause(); // the device was opened afresh on the way
        else if (!keep_paused && wave_out_->IsPaused())
            wave_out_->Restart(); // paused while nothing played: a start plays
        paused_ = keep_paused;
    } catch (const std::exception& error) {
        const QString text = QString::fromLocal8Bit(error.what());
        if (IsDeviceError(text)) {
            // The file is not at fault: it is not named as one that cannot play.
            device_error_ = text;
            ShowDeviceError(text);
        } else {
            device_error_.clear(); // whatever the output said on the way
            ShowCannotPlay(path);
        }
        return false;
    }
    Quietly([&] { ReadTitleTags(path); });
    if (!sound_note.isEmpty())
        controls_->status->SetText(controls_->status->Text() + QStringLiteral("  -  ") + sound_note);
    controls_->status->setVisible(true);
    playing_ = true;
    current_key_ = RowKey(row);
    SetRowImage(row, kIconPlaying);
    MarkJump(start_ms, 0);
    NotifyRemote();
    return true;
}

void TBandForm::ShowDeviceError(const QString& text)
{
    // The label's line break does not belong on a one-line display.
    QString line = text;
    line.replace(QLatin1String("\n\r"), QLatin1String(" "));
    controls_->status->SetText(line.simplified());
    controls_->status->setVisible(true);
}

void TBandForm::OutputFailed()
{
    // Failures of a play in progress only: an operation that fails at once
    // raises to its caller, which handles it there.
    if (!wave_out_->IsPlaying())
        return;
    const QString text = wave_out_->LastThreadError();
    if (IsDeviceError(text))
        device_error_ = text;
}

void TBandForm::StopOutput()
{
    wave_out_->Stop();
    // When the output's thread was inside a buffer handler, the stop completes
    // later and so does its OnStop, which a new start then makes stale: the
    // stopped row loses its playing icon now, while it is still the current one.
    if (wave_out_->IsPlaying() || wave_out_->IsPaused()) {
        stop_deferred_ = true;
        SetRowImage(current_index_, kIconNone);
    }
}

// ---------------------------------------------------------------------------
// Buttons

void TBandForm::ImageButton1Click()
{
    HoldRemote();
    const auto announce = qScopeGuard([this] { ReleaseRemote(); });
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
    HoldRemote();
    const auto announce = qScopeGuard([this] { ReleaseRemote(); });
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
    HoldRemote();
    const auto announce = qScopeGuard([this] { ReleaseRemote(); });
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
    const qint64 target_ms =
        std::clamp<qint64>(audiox_->Position() + delta_ms, 0, std::max<qint64>(0, audiox_->Duration()));
    audiox_->SetPosition(target_ms);
    MarkJump(target_ms, OutputMs());
    NotifyRemote();
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
    const qint64 target_ms =
        std::clamp<qint64>(controls_->seek->Position(), 0, std::max<qint64>(0, audiox_->Duration()));
    audiox_->SetPosition(target_ms);
    seeking_ = false;
    MarkJump(target_ms, OutputMs());
    NotifyRemote();
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

// What the output has played since its start, by its own clock.
qint64 TBandForm::OutputMs() const
{
    const WaveFormat* format = wave_out_->GetPWaveFormat();
    if (!format || format->avg_bytes_per_sec == 0 || format->samples_per_sec == 0)
        return 0;
    std::int64_t units = 0;
    try {
        units = wave_out_->Position();
    } catch (const std::exception&) {
        return jump_output_ms_;
    }
    switch (wave_out_->TimeFormat()) {
    case TMMWaveOut::tfMillisecond:
        return units;
    case TMMWaveOut::tfByte:
        return units * 1000 / format->avg_bytes_per_sec;
    case TMMWaveOut::tfSample:
        break;
    }
    return units * 1000 / format->samples_per_sec;
}

void TBandForm::MarkJump(qint64 position_ms, qint64 output_ms)
{
    jump_position_ms_ = position_ms;
    jump_output_ms_ = output_ms;
    jump_pending_ = true;
}

// The heard position: the decoder reads the output's queue (about half a
// second) ahead of what is heard, so while a title plays the position is the
// last jump's target moved on by what the output has played since.
qint64 TBandForm::PositionMs() const
{
    if (!playing_ || !wave_out_->IsPlaying())
        return audiox_->Position();
    const qint64 heard_ms = jump_position_ms_ + std::max<qint64>(0, OutputMs() - jump_output_ms_);
    return std::clamp<qint64>(heard_ms, 0, std::max<qint64>(0, audiox_->Duration()));
}

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
    HoldRemote();
    const auto announce = qScopeGuard([this] { ReleaseRemote(); });
    stop_deferred_ = false;
    controls_->bit_rate->setText(QStringLiteral("---"));
    const int rows = RowCount();
    const QString device_error = std::exchange(device_error_, QString());
    if (!playing_) {
        // Stopped by a command.
        SetRowImage(current_index_, kIconNone);
        EndedDisplays(true);
        NotifyRemote();
        return;
    }
    if (!device_error.isEmpty()) {
        // The device failed under the title: the title is not at fault and
        // neither are the next ones. The band stops where it is and says why.
        playing_ = false;
        paused_ = false;
        SetRowImage(current_index_, kIconNone);
        EndedDisplays(true);
        ShowDeviceError(device_error);
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
            // The source stands at the end it just reached: from the start again.
            audiox_->SetPosition(0);
            const qint64 start_ms = audiox_->Position();
            QString sound_note;
            StartOutput(sound_note);
            if (wave_out_->IsPaused())
                wave_out_->Restart();
            if (!sound_note.isEmpty())
                controls_->status->SetText(controls_->status->Text() + QStringLiteral("  -  ") + sound_note);
            playing_ = true;
            MarkJump(start_ms, 0); // the same track from its start: a jump
            NotifyRemote();
            return;
        } catch (const std::exception& error) {
            const QString text = QString::fromLocal8Bit(error.what());
            SetRowImage(current_index_, kIconNone);
            EndedDisplays(false);
            if (IsDeviceError(text)) {
                playing_ = false;
                ShowDeviceError(text);
            } else {
                ShowCannotPlay(path);
            }
            NotifyRemote();
            return;
        }
    }

    // Advance to the next row that can be started; rows that cannot are passed
    // over once each, so a run of bad files ends instead of looping. A device
    // that cannot start ends the advance on the row it was asked to play.
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
        if (!device_error_.isEmpty()) {
            const QString text = std::exchange(device_error_, QString());
            playing_ = false;
            EndedDisplays(true);
            ShowDeviceError(text);
            NotifyRemote();
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
