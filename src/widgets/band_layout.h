// The band's controls laid out as the player shows them: the 804 x 28 strip with
// its displays, transport buttons, seek slider and menu buttons, the two menus,
// the invisible anchors the panels open below, and the four drop-down panels
// with their contents, every control under its component name and with its
// sizes, colours and skin pictures. The player form wires behaviour to these
// controls; the gallery and the painting benchmark show them without audio.
//
// Thread: main thread only.
#pragma once

#include <QList>
#include <QWidget>

class QLabel;
class QLineEdit;
class QFrame;

namespace pelu::widgets {
class TALScrollingText;
class TDotMatrixText;
class TElTree;
class TExplorerPopup;
class TImage;
class TImageButton;
class TMMBitmapList;
class TMMBitmapSlider;
class TMMSlider;
class TShellList;
class TShellTree;
class TPlacesBar;
class TSkinnedMenu;
class TToolbarButton;
class TLevelMeter;
class TSpectrumView;

struct BandControls {
    QWidget* strip = nullptr; // 804 x 28 (the form itself when the form builds into itself)

    // Displays.
    TSpectrumView* spectrum = nullptr;   // MMSpectrum1
    TImage* analyser_idle = nullptr;     // Image3
    TLevelMeter* level_left = nullptr;   // MMLevel2
    TLevelMeter* level_right = nullptr;  // MMLevel1
    TImage* display_background = nullptr; // Image2
    TALScrollingText* status = nullptr;  // ALScrollingText1
    TDotMatrixText* time = nullptr;      // emberx
    QLabel* bit_rate = nullptr;          // Label1
    TImage* volume_icon = nullptr;       // Image14

    // Transport.
    QList<TImageButton*> buttons;        // ImageButton1..7
    TMMSlider* seek = nullptr;           // MMSliderx1
    TToolbarButton* main_menu_button = nullptr; // ToolbarButton972
    TToolbarButton* playlist_button = nullptr;  // ToolbarButton971
    TSkinnedMenu* main_menu = nullptr;          // PopupMenu20001
    TSkinnedMenu* playlist_menu = nullptr;      // PopupMenu20002
    // "Sound Output" in the main menu: "System default" (SoundOutputDefault)
    // and, filled in by the player, one checkable item per playback device.
    TSkinnedMenu* sound_output_menu = nullptr;  // SoundOutput1

    // Invisible helpers outside the strip's picture.
    QList<QWidget*> anchors;             // Button1..Button5 (index 0 is Button1)
    QLineEdit* edit = nullptr;           // Edit2
    TToolbarButton* locate_button = nullptr; // KamButton2 "Locate"

    TMMBitmapList* bitmaps = nullptr;    // MMBitmapList1

    // Playlist panel.
    TExplorerPopup* playlist_panel = nullptr; // ExplorerPopup1, 406 x 230
    TElTree* playlist = nullptr;              // ElTree1
    TToolbarButton* locate_files_button = nullptr; // ToolbarButton973
    TToolbarButton* load_list_button = nullptr;    // KamButton7 "Load "
    TToolbarButton* save_list_button = nullptr;    // KamButton8
    TToolbarButton* close_playlist_button = nullptr; // KamButton3
    TImage* playlist_close_icon = nullptr;     // Image10
    QLineEdit* search = nullptr;               // the playlist's search field

    // File locator panel.
    TExplorerPopup* locator_panel = nullptr;   // ExplorerPopup2, 444 x 431
    TShellTree* folders = nullptr;             // PTShellTree1
    TShellList* files = nullptr;               // PTShellList1
    TPlacesBar* places = nullptr;              // the places row above them
    QLabel* file_name = nullptr;               // Filenamex
    QLabel* estimated_time = nullptr;          // esttime
    QLabel* layer = nullptr;                   // Label10
    QLabel* file_bit_rate = nullptr;           // Label6
    QLabel* frame_size = nullptr;              // Label18
    TToolbarButton* load_files_button = nullptr;    // KamButton1
    TToolbarButton* close_locator_button = nullptr; // KamButton4
    TImage* locator_close_icon = nullptr;      // Image9

    // Volume panel.
    TExplorerPopup* volume_panel = nullptr;    // ExplorerPopup3, 38 x 131
    TMMBitmapSlider* volume = nullptr;         // MMBitmapSlider1
    TImage* volume_close_icon = nullptr;       // Image11

    // Equalizer panel.
    TExplorerPopup* eq_panel = nullptr;        // ExplorerPopup4, 244 x 96
    QList<TMMBitmapSlider*> bands;             // b1..b16
    TToolbarButton* eq_save_button = nullptr;  // KamButton5
    TToolbarButton* eq_default_button = nullptr; // KamButton6
    TImage* eq_close_icon = nullptr;           // Image17
};

// Builds the controls. With `strip` null a new 804 x 28 child of `host` is the
// strip; otherwise `strip` (the form) is. The panels are hidden children of
// `host`. `music_folder` fills the file locator when given.
BandControls BuildBandControls(QWidget* host, QWidget* strip = nullptr, const QString& music_folder = {});

} // namespace pelu::widgets
