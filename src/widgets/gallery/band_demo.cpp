#include "band_demo.h"

#include "platform/time_text.h"

#include "widgets/analyser_views.h"
#include "widgets/bitmap_slider.h"
#include "widgets/dot_matrix.h"
#include "widgets/explorer_popup.h"
#include "widgets/image_button.h"
#include "widgets/picture_box.h"
#include "widgets/playlist_tree.h"
#include "widgets/scrolling_text.h"
#include "widgets/seek_slider.h"
#include "widgets/shell_views.h"
#include "widgets/skinned_menu.h"
#include "widgets/theme.h"
#include "widgets/toolbar_button.h"

#include <QDir>
#include <QFrame>
#include <QLabel>
#include <QTimer>

#include <cmath>

namespace pelu::gallery {

using namespace pelu::widgets;

Band BuildBand(QWidget* host, const QString& music_folder)
{
    Band band = BuildBandControls(host, nullptr, music_folder);
    // A shaped equalizer and a volume in the upper half, as a user might leave them.
    const int gains[16] = {6, 5, 4, 2, 0, -1, -2, -2, -1, 0, 2, 3, 4, 5, 5, 4};
    for (int i = 0; i < band.bands.size(); ++i)
        band.bands[i]->SetPosition(gains[i]);
    band.volume->SetPosition(44);
    band.files->OnFillComplete = [files = band.files](QObject*) { files->setColumnWidth(0, 300); };
    return band;
}

// ---------------------------------------------------------------------------

BandAnimator::BandAnimator(Band band, QObject* parent) : QObject(parent), band_(band)
{
    display_timer_ = new QTimer(this);
    display_timer_->setInterval(10);
    connect(display_timer_, &QTimer::timeout, this, [this] {
        // Feed what 10 ms of 44.1 kHz stereo sound gives each display.
        FeedOnce();
    });
    time_timer_ = new QTimer(this);
    time_timer_->setInterval(100);
    connect(time_timer_, &QTimer::timeout, this, [this] {
        elapsed_ms_ += 100;
        band_.time->SetText(platform::time_text_ms(elapsed_ms_));
    });
    seek_timer_ = new QTimer(this);
    seek_timer_->setInterval(500);
    connect(seek_timer_, &QTimer::timeout, this, [this] { band_.seek->SetPosition(int(elapsed_ms_)); });
}

void BandAnimator::Start()
{
    const WaveFormat format = make_pcm_format(44100, 16, 2);
    band_.level_left->Level()->SetPWaveFormat(&format);
    band_.level_right->Level()->SetPWaveFormat(&format);
    band_.spectrum->Spectrum()->SetPWaveFormat(&format);
    band_.analyser_idle->hide();
    band_.seek->SetMaxValue(221250);
    band_.status->SetText(QStringLiteral("Playing -Nightfall over the Harbour.mp3"));
    display_timer_->start();
    time_timer_->start();
    seek_timer_->start();
}

void BandAnimator::Stop()
{
    display_timer_->stop();
    time_timer_->stop();
    seek_timer_->stop();
}

void BandAnimator::FeedOnce()
{
    // 10 ms at 44.1 kHz: 441 frames; the meters take 250 frames a refresh, the
    // spectrum 64. The music is made once (see Music()) and played in a loop, so
    // the feed costs only the copy the connector would make.
    constexpr int kFrames = 441;
    const std::vector<std::int16_t>& music = Music();
    const std::size_t loop_frames = music.size() / 2;
    static std::int16_t pcm[kFrames * 2];
    for (int i = 0; i < kFrames; ++i) {
        const std::size_t frame = (position_ + i) % loop_frames;
        pcm[2 * i] = music[2 * frame];
        pcm[2 * i + 1] = music[2 * frame + 1];
    }
    position_ = (position_ + kFrames) % loop_frames;
    const char* bytes = reinterpret_cast<const char*>(pcm);
    for (TLevelMeter* meter : {band_.level_left, band_.level_right}) {
        const int size = meter->Level()->DataSize();
        for (int offset = 0; offset + size <= kFrames * 4; offset += size)
            meter->Level()->ProcessData(bytes + offset);
    }
    const int size = band_.spectrum->Spectrum()->DataSize();
    for (int offset = 0; offset + size <= kFrames * 4; offset += size)
        band_.spectrum->Spectrum()->ProcessData(bytes + offset);
}

const std::vector<std::int16_t>& BandAnimator::Music()
{
    // Eight seconds of a little music: a bass line on the beat, a wandering
    // melody, a high shimmer between beats and some noise, with a slow swell so
    // the meters and their peaks move.
    static const std::vector<std::int16_t> music = [] {
        constexpr double rate = 44100.0;
        const int frames = int(rate * 8);
        std::vector<std::int16_t> pcm(std::size_t(frames) * 2);
        std::uint32_t noise_state = 12345;
        for (int i = 0; i < frames; ++i) {
            const double t = i / rate;
            const double swell = 0.55 + 0.45 * std::sin(t * 2.1) * std::sin(t * 0.37 + 1.0);
            const double beat = std::exp(-std::fmod(t, 0.5) * 9.0);
            noise_state = noise_state * 1664525u + 1013904223u;
            const double noise = (double(noise_state >> 16) / 32768.0 - 1.0) * 0.08;
            const double bass = std::sin(2 * M_PI * 55.0 * t) * 0.45 * beat;
            const double melody = std::sin(2 * M_PI * (440.0 + 220.0 * std::sin(t * 0.8)) * t) * 0.25;
            const double high = std::sin(2 * M_PI * 2900.0 * t) * 0.12 * (1.0 - beat);
            const double left = (bass + melody + noise + high) * swell;
            const double right = (bass + 0.7 * melody + noise + 1.3 * high) * swell;
            pcm[2 * std::size_t(i)] = std::int16_t(std::clamp(left, -1.0, 1.0) * 30000);
            pcm[2 * std::size_t(i) + 1] = std::int16_t(std::clamp(right, -1.0, 1.0) * 30000);
        }
        return pcm;
    }();
    return music;
}

} // namespace pelu::gallery
