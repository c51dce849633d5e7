#include "widgets/band_layout.h"

#include "widgets/accessibility.h"
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

#include <QAction>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>

namespace pelu::widgets {

namespace {

TImage* Picture(QWidget* parent, const QString& name, QRect bounds, const QString& skin)
{
    auto* image = new TImage(parent);
    image->setObjectName(name);
    image->setGeometry(bounds);
    image->SetPicture(SkinPicture(skin));
    return image;
}

TImage* CloseIcon(QWidget* parent, const QString& name, QPoint at)
{
    auto* icon = Picture(parent, name, QRect(at, QSize(12, 12)), QStringLiteral("icon_close"));
    icon->SetClickable(true);
    icon->setAccessibleName(QStringLiteral("Close panel"));
    icon->setToolTip(QStringLiteral("Close"));
    return icon;
}

TToolbarButton* TextButton(QWidget* parent, const QString& name, const QString& caption, QRect bounds)
{
    auto* button = new TToolbarButton(caption, parent);
    button->setObjectName(name);
    button->setGeometry(bounds);
    return button;
}

QLabel* InfoLabel(QWidget* parent, const QString& name, const QString& text, QRect bounds)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setGeometry(bounds);
    label->setFont(FontFromHeight(QStringLiteral("Tahoma"), -11));
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, theme::kDimText);
    label->setPalette(palette);
    return label;
}

QAction* MenuItem(TSkinnedMenu* menu, const char* name, const QString& caption, bool checkable = false,
                  bool checked = false)
{
    QAction* action = menu->AddItem(caption, checkable, checked);
    action->setObjectName(QString::fromLatin1(name));
    return action;
}

TMMBitmapSlider* PictureSlider(QWidget* parent, const QString& name, TMMBitmapList* bitmaps, int thumb, int track)
{
    auto* slider = new TMMBitmapSlider(parent);
    slider->setObjectName(name);
    slider->SetOrientation(TMMBitmapSlider::orVertical);
    slider->SetAutoSize(true);
    slider->SetBitmapList(bitmaps);
    slider->SetBitmapIndex(track);
    slider->SetBitmapBackIndex(track);
    slider->SetBitmapThumbIndex(thumb);
    slider->SetTransparentMode(TMMBitmapSlider::tmFixed);
    slider->SetTransparentColor(QColor(0, 0, 0));
    return slider;
}

void BuildDisplays(BandControls& band)
{
    QWidget* strip = band.strip;
    band.spectrum = new TSpectrumView(strip);
    band.spectrum->setObjectName(QStringLiteral("MMSpectrum1"));
    band.spectrum->setGeometry(1, 0, 68, 27);
    TBevelStyle spectrum_bevel;
    spectrum_bevel.outer = bvLowered;
    spectrum_bevel.border = true;
    spectrum_bevel.border_color = theme::kShadow;
    band.spectrum->SetBevel(spectrum_bevel);
    TMMSpectrum* spectrum = band.spectrum->Spectrum();
    spectrum->SetFFTLength(64);
    spectrum->SetWindow(fwRectangular);
    spectrum->SetSampleRate(8000);
    spectrum->SetBitLength(b16Bit);
    spectrum->SetGain(sg3db);
    spectrum->SetVerticalScale(20);
    spectrum->SetFrequencyScale(2);
    spectrum->SetDecayMode(dmStepUp);
    spectrum->SetDecay(7);
    spectrum->SetPeakDelay(7);
    spectrum->SetPeakSpeed(5);
    spectrum->SetPoint2(75);
    spectrum->SetBar1Color(6513458);
    spectrum->SetBar2Color(6513458);
    spectrum->SetBar3Color(BgrFromColor(QColor(0x80, 0x80, 0x80)));
    spectrum->SetGridColor(2697513);
    spectrum->SetDrawInactive(false);
    spectrum->SetInactiveDoted(true);
    spectrum->SetShowInfo(false);
    spectrum->SetColor(16777088);
    spectrum->SetUseBackGroundDIB(true);
    band.spectrum->SetBackGroundDIB(SkinPicture(QStringLiteral("analyser_background")));
    band.spectrum->setAccessibleName(QStringLiteral("Spectrum"));
    band.spectrum->setToolTip(QStringLiteral("Spectrum (Main Menu: View PELU Spectrum)"));

    band.analyser_idle = Picture(strip, QStringLiteral("Image3"), QRect(1, 0, 67, 27), QStringLiteral("band_analyser_idle"));
    Picture(strip, QStringLiteral("Image13"), QRect(69, -2, 131, 44), QStringLiteral("band_decoration"));

    auto meter = [&](const QString& name, QRect bounds, TMMChannel channel) {
        auto* view = new TLevelMeter(strip);
        view->setObjectName(name);
        view->setGeometry(bounds);
        TMMLevel* level = view->Level();
        level->SetBar1Color(BgrFromColor(Qt::white));
        level->SetBar2Color(BgrFromColor(Qt::white));
        level->SetInactive1Color(BgrFromColor(QColor(0x80, 0x80, 0x80)));
        level->SetInactive2Color(BgrFromColor(QColor(0x80, 0x80, 0x80)));
        level->SetInactiveDoted(true);
        level->SetActiveDoted(true);
        level->SetBitLength(b16Bit);
        level->SetChannel(channel);
        level->SetMode(mStereo);
        level->SetSamples(250);
        level->SetPeakSpeed(1);
        level->SetDecayMode(dmStepUp);
        level->SetDecay(7);
        view->setAccessibleName(channel == chLeft ? QStringLiteral("Left level") : QStringLiteral("Right level"));
        view->setToolTip(view->accessibleName());
        return view;
    };
    band.level_left = meter(QStringLiteral("MMLevel2"), QRect(103, 13, 88, 4), chLeft);
    band.level_right = meter(QStringLiteral("MMLevel1"), QRect(103, 20, 88, 4), chRight);

    band.display_background = Picture(strip, QStringLiteral("Image2"), QRect(199, -3, 245, 37), QStringLiteral("band_display"));
    band.status = new TALScrollingText(strip);
    band.status->setObjectName(QStringLiteral("ALScrollingText1"));
    band.status->setGeometry(218, 13, 146, 11);
    band.status->SetTextDirection(TALScrollingText::tdRightToLeft);
    band.status->SetSpeed(50);
    band.status->SetEdgeFadeWidth(60);
    band.status->SetBackgroundColor(ColorFromBgr(0xAAAAAA));
    band.status->setFont(FontFromHeight(QStringLiteral("Tahoma"), -9, false, true));
    band.status->SetFontColor(ColorFromBgr(0x555555));
    // Nothing has played or stopped yet: the band says it is ready.
    band.status->SetText(QStringLiteral("Corvel-Ready"));
    band.status->setAccessibleName(QStringLiteral("Status"));
    band.status->setToolTip(QStringLiteral("Status"));
    band.status->Loaded();

    band.time = new TDotMatrixText(strip);
    band.time->setObjectName(QStringLiteral("emberx"));
    band.time->setGeometry(285, 5, 87, 7);
    band.time->SetText(QStringLiteral("0:00:00"));
    band.time->setAccessibleName(QStringLiteral("Time"));
    band.time->setToolTip(QStringLiteral("Time - click: elapsed/remaining time"));

    Picture(strip, QStringLiteral("Image15"), QRect(374, 16, 10, 9), QStringLiteral("icon_bitrate"));
    band.bit_rate = new QLabel(QStringLiteral("---"), strip);
    band.bit_rate->setObjectName(QStringLiteral("Label1"));
    band.bit_rate->move(391, 15);
    band.bit_rate->setFont(FontFromHeight(QStringLiteral("Tahoma"), 11));
    QPalette label_palette = band.bit_rate->palette();
    label_palette.setColor(QPalette::WindowText, ColorFromBgr(0x828282));
    band.bit_rate->setPalette(label_palette);
    // Wide enough for "320" and "---" without resizing on every change.
    band.bit_rate->resize(28, 11);
    band.bit_rate->setAccessibleName(QStringLiteral("Bit rate"));
    band.bit_rate->setToolTip(QStringLiteral("Bit rate (kbit/s)"));
    band.volume_icon = Picture(strip, QStringLiteral("Image14"), QRect(422, 12, 14, 12), QStringLiteral("icon_volume"));
    band.volume_icon->SetClickable(true);
    band.volume_icon->setAccessibleName(QStringLiteral("Volume"));
    band.volume_icon->setToolTip(QStringLiteral("Volume"));
}

void BuildTransport(BandControls& band)
{
    QWidget* strip = band.strip;
    Picture(strip, QStringLiteral("Image1"), QRect(444, -8, 173, 29), QStringLiteral("band_transport"));
    struct ButtonDef {
        const char* skin;
        int left, width;
        const char* name;
        const char* tip;
    };
    const ButtonDef buttons[] = {
        {"button_play", 446, 36, "Play", "Play"},
        {"button_back", 484, 17, "Back", "Back - hold to rewind"},
        {"button_forward", 504, 17, "Forward", "Forward - hold to fast-forward"},
        {"button_stop", 532, 17, "Stop", "Stop"},
        {"button_blank", 552, 16, "Spare", ""},
        {"button_pause", 576, 16, "Pause", "Pause / resume"},
        {"button_eq", 595, 17, "Equalizer", "Equalizer"}};
    int number = 1;
    for (const ButtonDef& def : buttons) {
        auto* button = new TImageButton(strip);
        button->setObjectName(QStringLiteral("ImageButton%1").arg(number++));
        button->setGeometry(def.left, 4, def.width, 14);
        const QString skin = QString::fromLatin1(def.skin);
        button->SetBitmap(SkinPicture(skin));
        button->SetBitmapDown(SkinPicture(skin + QStringLiteral("_down")));
        button->SetBitmapUp(SkinPicture(skin + QStringLiteral("_up")));
        button->setAccessibleName(QString::fromLatin1(def.name));
        button->setToolTip(QString::fromLatin1(def.tip));
        band.buttons << button;
    }
    // The spare button does nothing: no stop for the keyboard, nothing to read out.
    band.buttons[4]->setFocusPolicy(Qt::NoFocus);
    band.buttons[4]->setToolTip(QString());

    band.seek = new TMMSlider(strip);
    band.seek->setObjectName(QStringLiteral("MMSliderx1"));
    band.seek->setGeometry(444, 21, 174, 7);
    TBevelStyle seek_bevel;
    seek_bevel.inner = bvLowered;
    band.seek->SetBevel(seek_bevel);
    TBevelStyle groove;
    groove.outer = bvLowered;
    groove.border = true;
    band.seek->SetGroove(groove);
    band.seek->SetThumbWidth(9);
    band.seek->SetThumbHeight(4);
    band.seek->SetGrooveSize(0);
    band.seek->SetThumbColor(ColorFromBgr(0x959595));
    band.seek->SetGrooveColor(QColor(0, 0, 0));
    band.seek->SetDisabledColor(QColor(0, 0, 0));
    band.seek->setAccessibleName(QStringLiteral("Position"));
    band.seek->setToolTip(QStringLiteral("Position - drag, or arrows and Page Up/Down to seek"));

    Picture(strip, QStringLiteral("Image4"), QRect(616, 0, 4, 27), QStringLiteral("band_edge"));
    Picture(strip, QStringLiteral("Image5"), QRect(619, -1, 139, 10), QStringLiteral("band_top"));
    auto* panel1 = new QFrame(strip);
    panel1->setObjectName(QStringLiteral("Panel1"));
    panel1->setGeometry(620, 9, 137, 19);
    panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel1->setLineWidth(1);
    band.main_menu_button = TextButton(panel1, QStringLiteral("ToolbarButton972"), QStringLiteral("Main Menu"), QRect(1, 1, 70, 17));
    band.playlist_button = TextButton(panel1, QStringLiteral("ToolbarButton971"), QStringLiteral("Playlist"), QRect(72, 1, 63, 17));
    band.main_menu_button->setToolTip(QStringLiteral("Main Menu"));
    band.playlist_button->setToolTip(QStringLiteral("Playlist"));
    auto* bevel = new QFrame(strip);
    bevel->setObjectName(QStringLiteral("Bevel1"));
    bevel->setGeometry(758, -1, 3, 50);
    bevel->setFrameStyle(QFrame::VLine | QFrame::Sunken);
}

void BuildMenus(BandControls& band)
{
    band.main_menu = new TSkinnedMenu(band.strip);
    band.main_menu->setObjectName(QStringLiteral("PopupMenu20001"));
    band.main_menu->setTitle(QStringLiteral("Ember Extensions"));
    band.main_menu->SetTitleText(QStringLiteral("Digital Ember Extensions"));
    MenuItem(band.main_menu, "ViewPELUSpectrum1", QStringLiteral("View PELU Spectrum"), true, true);
    MenuItem(band.main_menu, "VStereoLMeter1", QStringLiteral("VStereoL Meter"), true, true);
    MenuItem(band.main_menu, "VStereoRMeter1", QStringLiteral("VStereoR Meter"), true, true);
    MenuItem(band.main_menu, "N2", QStringLiteral("-"));
    MenuItem(band.main_menu, "LoopTrack1", QStringLiteral("Loop Track"), true, false);
    band.sound_output_menu = new TSkinnedMenu(band.main_menu);
    band.sound_output_menu->setObjectName(QStringLiteral("SoundOutput1"));
    band.sound_output_menu->setTitle(QStringLiteral("Sound Output"));
    band.sound_output_menu->SetTitleText(QString());
    band.sound_output_menu->menuAction()->setObjectName(QStringLiteral("SoundOutputMenu1"));
    band.main_menu->addMenu(band.sound_output_menu);
    MenuItem(band.sound_output_menu, "SoundOutputDefault", QStringLiteral("System default"), true, true);
    MenuItem(band.main_menu, "N1", QStringLiteral("-"));
    MenuItem(band.main_menu, "BrindleStudiosontheWeb1", QStringLiteral("Brindle Studios on the Web"));
    MenuItem(band.main_menu, "OnlineHelp1", QStringLiteral("Online Help"));
    MenuItem(band.main_menu, "N3", QStringLiteral("-"));
    MenuItem(band.main_menu, "UninstallPELU1", QStringLiteral("Uninstall PELU"));
    MenuItem(band.main_menu, "N4", QStringLiteral("-"));
    // The host browser is PELU Browser; the caption names it.
    MenuItem(band.main_menu, "CloseInternetExplorer1", QStringLiteral("Close PELU Browser"));
    band.main_menu_button->SetDropdownMenu(band.main_menu);

    band.playlist_menu = new TSkinnedMenu(band.strip);
    band.playlist_menu->setObjectName(QStringLiteral("PopupMenu20002"));
    MenuItem(band.playlist_menu, "DeleteSelectedFiles2", QStringLiteral("Delete Selected Files"));
    MenuItem(band.playlist_menu, "ClearPlaylist1", QStringLiteral("Clear Playlist"));
}

void BuildHelpers(BandControls& band)
{
    // The anchors the panels open below: invisible, one pixel high, on the strip's
    // bottom edge where each panel should drop down (Button1 locator, Button2
    // playlist, Button3 equalizer, Button4 unused, Button5 volume).
    const int lefts[5] = {314, 352, 444, 0, 410};
    for (int i = 0; i < 5; ++i) {
        auto* anchor = new QWidget(band.strip);
        anchor->setObjectName(QStringLiteral("Button%1").arg(i + 1));
        anchor->setGeometry(lefts[i], 27, 1, 1);
        anchor->hide();
        band.anchors << anchor;
    }
    band.edit = new QLineEdit(band.strip);
    band.edit->setObjectName(QStringLiteral("Edit2"));
    band.edit->setGeometry(143, 524, 121, 21);
    band.edit->setMaxLength(32767);
    band.locate_button = TextButton(band.strip, QStringLiteral("KamButton2"), QStringLiteral("Locate"), QRect(49, 448, 75, 25));
    // Both lie outside the strip, where nobody sees them: no keyboard stops.
    band.edit->setFocusPolicy(Qt::NoFocus);
    band.locate_button->setFocusPolicy(Qt::NoFocus);
}

const char* const kPanelStyle =
    "QLineEdit { background: #1b1d21; color: #d8dce2; border: 1px solid #101114; padding: 0 2px;"
    " selection-background-color: #1f4e63; selection-color: #ffffff; }"
    "QLineEdit:focus { border: 1px solid #3fc1e8; }"
    "QScrollBar:vertical { background: #1b1d21; width: 12px; margin: 0; border-left: 1px solid #101114; }"
    "QScrollBar:horizontal { background: #1b1d21; height: 12px; margin: 0; border-top: 1px solid #101114; }"
    "QScrollBar::handle { background: #3a3f47; border: 1px solid #101114; border-radius: 2px; }"
    "QScrollBar::handle:hover { background: #4a5059; }"
    "QScrollBar::handle:pressed { background: #2a5d72; }"
    "QScrollBar::handle:vertical { min-height: 20px; }"
    "QScrollBar::handle:horizontal { min-width: 20px; }"
    "QScrollBar::add-line, QScrollBar::sub-line { width: 0; height: 0; border: 0; }"
    "QScrollBar::add-page, QScrollBar::sub-page { background: none; }"
    "QScrollBar::corner { background: #1b1d21; }";

TExplorerPopup* Panel(QWidget* host, const QString& name, QSize size, const QString& accessible)
{
    auto* popup = new TExplorerPopup(host);
    popup->setObjectName(name);
    popup->resize(size);
    popup->SetUndockable(false);
    popup->SetRedockable(false);
    popup->setAccessibleName(accessible);
    popup->setPalette(DarkPalette());
    // Scroll bars and fields inside take the panels' dark colours, not the
    // desktop's light ones.
    popup->setStyleSheet(QString::fromLatin1(kPanelStyle));
    return popup;
}

void BuildPanels(BandControls& band, QWidget* host, const QString& music_folder)
{
    // The slider pictures: 0 band thumb, 2 band track, 3 volume thumb, 4 volume track.
    band.bitmaps = new TMMBitmapList(host);
    band.bitmaps->setObjectName(QStringLiteral("MMBitmapList1"));
    band.bitmaps->SetBitmaps({SkinPicture(QStringLiteral("slider_band_thumb")), TPicture(),
                              SkinPicture(QStringLiteral("slider_band_track")),
                              SkinPicture(QStringLiteral("slider_volume_thumb")),
                              SkinPicture(QStringLiteral("slider_volume_track"))});

    // Playlist panel. "Load " and "Save" are usable: a playlist that can be
    // neither loaded nor saved would leave its two buttons dead.
    band.playlist_panel = Panel(host, QStringLiteral("ExplorerPopup1"), QSize(406, 230), QStringLiteral("Playlist"));
    band.playlist = new TElTree(band.playlist_panel);
    band.playlist->setObjectName(QStringLiteral("ElTree1"));
    band.playlist->setGeometry(4, 4, 398, 198);
    band.playlist->SetImages({SkinPicture(QStringLiteral("icon_playing")), SkinPicture(QStringLiteral("icon_playing_alt"))});
    band.locate_files_button = TextButton(band.playlist_panel, QStringLiteral("ToolbarButton973"), QStringLiteral("Locate Files"), QRect(4, 207, 84, 18));
    band.load_list_button = TextButton(band.playlist_panel, QStringLiteral("KamButton7"), QStringLiteral("Load "), QRect(212, 207, 54, 18));
    band.save_list_button = TextButton(band.playlist_panel, QStringLiteral("KamButton8"), QStringLiteral("Save"), QRect(270, 207, 54, 18));
    band.close_playlist_button = TextButton(band.playlist_panel, QStringLiteral("KamButton3"), QStringLiteral("Close"), QRect(328, 207, 54, 18));
    band.playlist_close_icon = CloseIcon(band.playlist_panel, QStringLiteral("Image10"), QPoint(388, 210));
    band.search = new QLineEdit(band.playlist_panel);
    band.search->setObjectName(QStringLiteral("PlaylistSearch"));
    band.search->setGeometry(92, 207, 116, 18);
    band.search->setPlaceholderText(QStringLiteral("Search (Ctrl+F)"));
    band.search->setClearButtonEnabled(true);
    band.search->setFont(FontFromHeight(QStringLiteral("Tahoma"), -11));
    band.search->setAccessibleName(QStringLiteral("Search the playlist"));
    band.search->setToolTip(QStringLiteral("Search the playlist (Ctrl+F); Enter plays the highlighted match"));
    band.playlist->setToolTip(QStringLiteral("Enter plays, Delete removes, Esc closes"));
    band.locate_files_button->setToolTip(QStringLiteral("Locate Files"));
    band.load_list_button->setToolTip(QStringLiteral("Load a media list"));
    band.save_list_button->setToolTip(QStringLiteral("Save the playlist as a media list"));
    band.close_playlist_button->setToolTip(QStringLiteral("Close"));

    // File locator panel.
    band.locator_panel = Panel(host, QStringLiteral("ExplorerPopup2"), QSize(444, 431), QStringLiteral("File locator"));
    band.folders = new TShellTree(band.locator_panel);
    band.folders->setObjectName(QStringLiteral("PTShellTree1"));
    band.folders->setGeometry(4, 28, 150, 316);
    band.files = new TShellList(band.locator_panel);
    band.files->setObjectName(QStringLiteral("PTShellList1"));
    band.files->setGeometry(158, 28, 282, 316);
    band.folders->SetShellList(band.files);
    // Above the views, after them in the Tab order: the keyboard starts in the tree.
    band.places = new TPlacesBar(band.locator_panel);
    band.places->setObjectName(QStringLiteral("Places"));
    band.places->setGeometry(4, 4, 436, 20);
    band.places->SetShellList(band.files);
    if (!music_folder.isEmpty()) {
        band.folders->SetPath(music_folder);
        band.files->SetFolder(music_folder);
    }
    band.file_name = InfoLabel(band.locator_panel, QStringLiteral("Filenamex"), QStringLiteral("MP3:"), QRect(8, 350, 286, 14));
    band.file_name->setTextFormat(Qt::PlainText);
    InfoLabel(band.locator_panel, QStringLiteral("Label9"), QStringLiteral("Layer:-"), QRect(8, 366, 70, 14));
    band.layer = InfoLabel(band.locator_panel, QStringLiteral("Label10"), QString(), QRect(80, 366, 60, 14));
    InfoLabel(band.locator_panel, QStringLiteral("Label5"), QStringLiteral("File BitRate:-"), QRect(8, 382, 70, 14));
    band.file_bit_rate = InfoLabel(band.locator_panel, QStringLiteral("Label6"), QString(), QRect(80, 382, 60, 14));
    InfoLabel(band.locator_panel, QStringLiteral("Label17"), QStringLiteral("FrameSize:-"), QRect(150, 366, 70, 14));
    band.frame_size = InfoLabel(band.locator_panel, QStringLiteral("Label18"), QString(), QRect(222, 366, 60, 14));
    band.estimated_time = InfoLabel(band.locator_panel, QStringLiteral("esttime"), QStringLiteral("EST- 0:00:00"), QRect(150, 382, 140, 14));
    band.load_files_button = TextButton(band.locator_panel, QStringLiteral("KamButton1"), QStringLiteral("Load Files"), QRect(300, 406, 74, 18));
    band.close_locator_button = TextButton(band.locator_panel, QStringLiteral("KamButton4"), QStringLiteral("Close"), QRect(378, 406, 48, 18));
    band.locator_close_icon = CloseIcon(band.locator_panel, QStringLiteral("Image9"), QPoint(428, 409));
    band.folders->setToolTip(QStringLiteral("Folders"));
    band.files->setToolTip(QStringLiteral("MP3 files - double click adds a file, opens a folder"));
    band.load_files_button->setToolTip(QStringLiteral("Add the selected files to the playlist"));
    band.close_locator_button->setToolTip(QStringLiteral("Close"));

    // Volume panel.
    band.volume_panel = Panel(host, QStringLiteral("ExplorerPopup3"), QSize(38, 131), QStringLiteral("Volume"));
    band.volume = PictureSlider(band.volume_panel, QStringLiteral("MMBitmapSlider1"), band.bitmaps, 3, 4);
    band.volume->move(10, 4);
    band.volume->SetMaxValue(63);
    band.volume->SetSensitivity(-10);
    band.volume->SetHandCursor(true);
    band.volume->setAccessibleName(QStringLiteral("Volume"));
    band.volume->setToolTip(QStringLiteral("Volume - arrows, Page Up/Down or the wheel"));
    band.volume_close_icon = CloseIcon(band.volume_panel, QStringLiteral("Image11"), QPoint(13, 117));

    // Equalizer panel.
    band.eq_panel = Panel(host, QStringLiteral("ExplorerPopup4"), QSize(244, 96), QStringLiteral("Equalizer"));
    for (int i = 0; i < 16; ++i) {
        TMMBitmapSlider* slider = PictureSlider(band.eq_panel, QStringLiteral("b%1").arg(i + 1), band.bitmaps, 0, 2);
        slider->move(6 + i * 13, 4);
        slider->SetMinValue(-16);
        slider->SetMaxValue(16);
        slider->setAccessibleName(QStringLiteral("Band %1").arg(i + 1));
        slider->setToolTip(QStringLiteral("Band %1 - drag, arrows or the wheel").arg(i + 1));
        band.bands << slider;
    }
    band.eq_save_button = TextButton(band.eq_panel, QStringLiteral("KamButton5"), QStringLiteral("Save"), QRect(6, 75, 48, 17));
    band.eq_default_button = TextButton(band.eq_panel, QStringLiteral("KamButton6"), QStringLiteral("Default"), QRect(58, 75, 56, 17));
    band.eq_close_icon = CloseIcon(band.eq_panel, QStringLiteral("Image17"), QPoint(226, 4));
    band.eq_save_button->setToolTip(QStringLiteral("Save the bands"));
    band.eq_default_button->setToolTip(QStringLiteral("Back to the default bands"));
}

// One Tab order along the strip, left to right: the time display, the volume
// icon, the transport buttons, the seek bar under them, then the two menu
// buttons.
void SetStripTabOrder(const BandControls& band)
{
    QList<QWidget*> order{band.time, band.volume_icon};
    // In the panels too the order follows what the eye sees.
    const QList<QWidget*> playlist_row{band.playlist,       band.locate_files_button, band.search,
                                       band.load_list_button, band.save_list_button, band.close_playlist_button,
                                       band.playlist_close_icon};
    for (int i = 1; i < playlist_row.size(); ++i)
        QWidget::setTabOrder(playlist_row[i - 1], playlist_row[i]);
    for (TImageButton* button : band.buttons)
        if (button->focusPolicy() != Qt::NoFocus)
            order << button;
    order << band.seek << band.main_menu_button << band.playlist_button;
    for (int i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
}

} // namespace

BandControls BuildBandControls(QWidget* host, QWidget* strip, const QString& music_folder)
{
    // Before any control exists: an interface asked for earlier (a text change
    // announced while building) would be the generic one, and it is cached.
    InstallAccessibility();
    BandControls band;
    if (!strip) {
        strip = new QWidget(host);
        strip->setObjectName(QStringLiteral("BandForm"));
        strip->setGeometry(0, 0, 804, 28);
    }
    band.strip = strip;
    host->setPalette(DarkPalette());
    strip->setAutoFillBackground(true);
    QPalette palette = DarkPalette();
    palette.setColor(QPalette::Window, theme::kWindow);
    strip->setPalette(palette);
    strip->setFont(FontFromHeight(QStringLiteral("MS Sans Serif"), -11));

    BuildDisplays(band);
    BuildTransport(band);
    BuildMenus(band);
    BuildHelpers(band);
    BuildPanels(band, host, music_folder);
    SetStripTabOrder(band);
    return band;
}

} // namespace pelu::widgets
