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

namespace pelu::widgets {
class TALScrollingText;
class TDotMatrixText;
class TElTree;
class TExplorerPopup;
class TImageButton;
class TMMBitmapList;
class TMMBitmapSlider;
class TMMSlider;
class TShellList;
class TShellTree;
class TSkinnedMenu;
class TToolbarButton;
class TLevelMeter;
class TSpectrumView;
} // namespace pelu::widgets

namespace pelu::gallery {

struct Band {
    QWidget* strip = nullptr; // 804 x 28
    widgets::TALScrollingText* status = nullptr;
    widgets::TDotMatrixText* time = nullptr;
    widgets::TMMSlider* seek = nullptr;
    QList<widgets::TImageButton*> buttons; // ImageButton1..7
    widgets::TToolbarButton* main_menu_button = nullptr;
    widgets::TToolbarButton* playlist_button = nullptr;
    widgets::TSkinnedMenu* main_menu = nullptr;
    widgets::TSkinnedMenu* playlist_menu = nullptr;
    widgets::TLevelMeter* level_left = nullptr;  // MMLevel2
    widgets::TLevelMeter* level_right = nullptr; // MMLevel1
    widgets::TSpectrumView* spectrum = nullptr;
    QWidget* analyser_idle = nullptr;

    widgets::TMMBitmapList* bitmaps = nullptr;
    widgets::TExplorerPopup* playlist_panel = nullptr; // 406 x 230
    widgets::TExplorerPopup* locator_panel = nullptr;  // 444 x 431
    widgets::TExplorerPopup* volume_panel = nullptr;   // 38 x 131
    widgets::TExplorerPopup* eq_panel = nullptr;       // 244 x 96
    widgets::TElTree* playlist = nullptr;
    widgets::TShellTree* folders = nullptr;
    widgets::TShellList* files = nullptr;
    widgets::TMMBitmapSlider* volume = nullptr;
    QList<widgets::TMMBitmapSlider*> bands; // b1..b16
};

// Builds the band into `host` (the strip and, as hidden children of `host`, the
// panels). `music_folder` fills the file locator.
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
