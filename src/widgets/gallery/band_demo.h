// The band as the gallery and the painting benchmark show it: every control with
// the player's sizes, positions and settings, the skin pictures applied, and the
// four panels' contents. No audio: the demo feeds the displays itself.
//
// Thread: main thread only.
#pragma once

#include <QList>
#include <cstdint>
#include <vector>
#include <QWidget>

#include "widgets/band_layout.h"

namespace pelu::gallery {

using Band = widgets::BandControls;

// Builds the band into `host` (the strip and, as hidden children of `host`, the
// panels) with demo settings for the sliders. `music_folder` fills the file locator.
Band BuildBand(QWidget* host, const QString& music_folder = {});

// Drives the displays as playback would: the meters and the spectrum from a
// synthetic signal at the connector's pace, the time every 100 ms, the seek
// slider every 500 ms (the status line scrolls on its own timer).
class BandAnimator : public QObject {
    Q_OBJECT
public:
    BandAnimator(Band band, QObject* parent = nullptr);
    void Start();
    void Stop();
    // One slice of the synthetic signal, as the connector would hand it over.
    void FeedOnce();

private:
    Band band_;
    class QTimer* display_timer_ = nullptr;
    class QTimer* time_timer_ = nullptr;
    class QTimer* seek_timer_ = nullptr;
    static const std::vector<std::int16_t>& Music();
    qint64 elapsed_ms_ = 0;
    std::size_t position_ = 0;
};

} // namespace pelu::gallery
