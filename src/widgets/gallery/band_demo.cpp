#include "band_demo.h"

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

QLabel* InfoLabel(QWidget* parent, const QString& text, QRect bounds)
{
    auto* label = new QLabel(text, parent);
    label->setGeometry(bounds);
    label->setFont(FontFromHeight(QStringLiteral("Tahoma"), -11));
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, theme::kDimText);
    label->setPalette(palette);
    return label;
}

QString TimeText(qint64 ms)
{
    // The time text with milliseconds, as the time display writes it.
    const qint64 s = ms / 1000, m = s / 60, h = m / 60;
    if (h == 0)
        return QString::asprintf("%lld:%2.2lld.%3.3lld", m, s % 60, ms % 1000);
    return QString::asprintf("%lld:%2.2lld:%2.2lld.%3.3lld", h, m % 60, s % 60, ms % 1000);
}

} // namespace

Band BuildBand(QWidget* host, const QString& music_folder)
{
    Band band;
    host->setPalette(DarkPalette());
    auto* strip = new QWidget(host);
    band.strip = strip;
    strip->setObjectName(QStringLiteral("BandForm"));
    strip->setGeometry(0, 0, 804, 28);
    strip->setAutoFillBackground(true);
    QPalette palette = DarkPalette();
    palette.setColor(QPalette::Window, theme::kWindow);
    strip->setPalette(palette);
    strip->setFont(FontFromHeight(QStringLiteral("MS Sans Serif"), -11));

    // Displays and decorations, in the order they stack.
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
        return view;
    };
    band.level_left = meter(QStringLiteral("MMLevel2"), QRect(103, 13, 88, 4), chLeft);
    band.level_right = meter(QStringLiteral("MMLevel1"), QRect(103, 20, 88, 4), chRight);

    Picture(strip, QStringLiteral("Image2"), QRect(199, -3, 245, 37), QStringLiteral("band_display"));
    band.status = new TALScrollingText(strip);
    band.status->setObjectName(QStringLiteral("ALScrollingText1"));
    band.status->setGeometry(218, 13, 146, 11);
    band.status->SetTextDirection(TALScrollingText::tdRightToLeft);
    band.status->SetSpeed(50);
    band.status->SetEdgeFadeWidth(60);
    band.status->SetBackgroundColor(ColorFromBgr(11184810));
    band.status->setFont(FontFromHeight(QStringLiteral("Tahoma"), -9, false, true));
    band.status->SetFontColor(ColorFromBgr(5592405));
    band.status->SetText(QStringLiteral("Corvel-Ready"));
    band.status->Loaded();

    band.time = new TDotMatrixText(strip);
    band.time->setObjectName(QStringLiteral("emberx"));
    band.time->setGeometry(285, 5, 87, 7);
    band.time->SetText(QStringLiteral("0:00:00"));

    Picture(strip, QStringLiteral("Image15"), QRect(374, 16, 10, 9), QStringLiteral("icon_bitrate"));
    auto* bitrate = new QLabel(QStringLiteral("---"), strip);
    bitrate->setObjectName(QStringLiteral("Label1"));
    bitrate->move(391, 15);
    bitrate->setFont(FontFromHeight(QStringLiteral("Tahoma"), 11));
    QPalette label_palette = bitrate->palette();
    label_palette.setColor(QPalette::WindowText, ColorFromBgr(0x828282));
    bitrate->setPalette(label_palette);
    bitrate->adjustSize();
    bitrate->setAccessibleName(QStringLiteral("Bit rate"));
    auto* volume_icon = Picture(strip, QStringLiteral("Image14"), QRect(422, 12, 14, 12), QStringLiteral("icon_volume"));
    volume_icon->SetClickable(true);
    volume_icon->setAccessibleName(QStringLiteral("Volume"));
    volume_icon->setToolTip(QStringLiteral("Volume"));

    Picture(strip, QStringLiteral("Image1"), QRect(444, -8, 173, 29), QStringLiteral("band_transport"));
    struct ButtonDef {
        const char* skin;
        int left, width;
        const char* name;
    };
    const ButtonDef buttons[] = {{"button_play", 446, 36, "Play"},       {"button_back", 484, 17, "Back"},
                                 {"button_forward", 504, 17, "Forward"}, {"button_stop", 532, 17, "Stop"},
                                 {"button_blank", 552, 16, "Spare"},     {"button_pause", 576, 16, "Pause"},
                                 {"button_eq", 595, 17, "Equalizer"}};
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
        button->setToolTip(QString::fromLatin1(def.name));
        band.buttons << button;
    }

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
    band.seek->SetThumbColor(ColorFromBgr(9803157));
    band.seek->SetGrooveColor(QColor(0, 0, 0));
    band.seek->SetDisabledColor(QColor(0, 0, 0));

    Picture(strip, QStringLiteral("Image4"), QRect(616, 0, 4, 27), QStringLiteral("band_edge"));
    Picture(strip, QStringLiteral("Image5"), QRect(619, -1, 139, 10), QStringLiteral("band_top"));
    auto* panel1 = new QFrame(strip);
    panel1->setObjectName(QStringLiteral("Panel1"));
    panel1->setGeometry(620, 9, 137, 19);
    panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel1->setLineWidth(1);
    band.main_menu_button = TextButton(panel1, QStringLiteral("ToolbarButton972"), QStringLiteral("Main Menu"), QRect(1, 1, 70, 17));
    band.playlist_button = TextButton(panel1, QStringLiteral("ToolbarButton971"), QStringLiteral("Playlist"), QRect(72, 1, 63, 17));
    auto* bevel = new QFrame(strip);
    bevel->setObjectName(QStringLiteral("Bevel1"));
    bevel->setGeometry(758, -1, 3, 50);
    bevel->setFrameStyle(QFrame::VLine | QFrame::Sunken);

    // Menus.
    band.main_menu = new TSkinnedMenu(strip);
    band.main_menu->setObjectName(QStringLiteral("PopupMenu20001"));
    band.main_menu->setTitle(QStringLiteral("Ember Extensions"));
    band.main_menu->SetTitleText(QStringLiteral("Digital Ember Extensions"));
    band.main_menu->AddItem(QStringLiteral("View PELU Spectrum"), true, true);
    band.main_menu->AddItem(QStringLiteral("VStereoL Meter"), true, true);
    band.main_menu->AddItem(QStringLiteral("VStereoR Meter"), true, true);
    band.main_menu->AddItem(QStringLiteral("-"));
    band.main_menu->AddItem(QStringLiteral("Loop Track"), true, false);
    band.main_menu->AddItem(QStringLiteral("-"));
    band.main_menu->AddItem(QStringLiteral("Brindle Studios on the Web"));
    band.main_menu->AddItem(QStringLiteral("Online Help"));
    band.main_menu->AddItem(QStringLiteral("-"));
    band.main_menu->AddItem(QStringLiteral("Uninstall PELU"));
    band.main_menu->AddItem(QStringLiteral("-"));
    band.main_menu->AddItem(QStringLiteral("Close Internet Explorer"));
    band.main_menu_button->SetDropdownMenu(band.main_menu);
    band.playlist_menu = new TSkinnedMenu(strip);
    band.playlist_menu->setObjectName(QStringLiteral("PopupMenu20002"));
    band.playlist_menu->AddItem(QStringLiteral("Delete Selected Files"));
    band.playlist_menu->AddItem(QStringLiteral("Clear Playlist"));

    // The slider pictures: 0 band thumb, 2 band track, 3 volume thumb, 4 volume track.
    band.bitmaps = new TMMBitmapList(host);
    band.bitmaps->setObjectName(QStringLiteral("MMBitmapList1"));
    band.bitmaps->SetBitmaps({SkinPicture(QStringLiteral("slider_band_thumb")), TPicture(),
                              SkinPicture(QStringLiteral("slider_band_track")),
                              SkinPicture(QStringLiteral("slider_volume_thumb")),
                              SkinPicture(QStringLiteral("slider_volume_track"))});

    auto panel = [&](const QString& name, QSize size, const QString& accessible) {
        auto* popup = new TExplorerPopup(host);
        popup->setObjectName(name);
        popup->resize(size);
        popup->SetUndockable(false);
        popup->SetRedockable(false);
        popup->setAccessibleName(accessible);
        popup->setPalette(DarkPalette());
        return popup;
    };

    // Playlist panel.
    band.playlist_panel = panel(QStringLiteral("ExplorerPopup1"), QSize(406, 230), QStringLiteral("Playlist"));
    band.playlist = new TElTree(band.playlist_panel);
    band.playlist->setObjectName(QStringLiteral("ElTree1"));
    band.playlist->setGeometry(4, 4, 398, 198);
    band.playlist->SetImages({SkinPicture(QStringLiteral("icon_playing")), SkinPicture(QStringLiteral("icon_playing_alt"))});
    TextButton(band.playlist_panel, QStringLiteral("ToolbarButton973"), QStringLiteral("Locate Files"), QRect(4, 207, 84, 18));
    TextButton(band.playlist_panel, QStringLiteral("KamButton7"), QStringLiteral("Load "), QRect(212, 207, 54, 18));
    TextButton(band.playlist_panel, QStringLiteral("KamButton8"), QStringLiteral("Save"), QRect(270, 207, 54, 18));
    TextButton(band.playlist_panel, QStringLiteral("KamButton3"), QStringLiteral("Close"), QRect(328, 207, 54, 18));
    CloseIcon(band.playlist_panel, QStringLiteral("Image10"), QPoint(388, 210));

    // File locator panel.
    band.locator_panel = panel(QStringLiteral("ExplorerPopup2"), QSize(444, 431), QStringLiteral("File locator"));
    band.folders = new TShellTree(band.locator_panel);
    band.folders->setObjectName(QStringLiteral("PTShellTree1"));
    band.folders->setGeometry(4, 4, 150, 340);
    band.files = new TShellList(band.locator_panel);
    band.files->setObjectName(QStringLiteral("PTShellList1"));
    band.files->setGeometry(158, 4, 282, 340);
    band.folders->SetShellList(band.files);
    band.files->OnFillComplete = [files = band.files](QObject*) { files->setColumnWidth(0, 300); };
    if (!music_folder.isEmpty()) {
        band.folders->SetPath(music_folder);
        band.files->SetFolder(music_folder);
    }
    InfoLabel(band.locator_panel, QStringLiteral("Layer: MPEG 1 Layer III"), QRect(8, 350, 200, 14));
    InfoLabel(band.locator_panel, QStringLiteral("Bit rate: 128 kbit/s"), QRect(8, 366, 200, 14));
    InfoLabel(band.locator_panel, QStringLiteral("Frame size: 417 bytes"), QRect(8, 382, 200, 14));
    InfoLabel(band.locator_panel, QStringLiteral("EST-3:41.250"), QRect(8, 398, 200, 14));
    TextButton(band.locator_panel, QStringLiteral("KamButton1"), QStringLiteral("Load Files"), QRect(300, 406, 74, 18));
    TextButton(band.locator_panel, QStringLiteral("KamButton4"), QStringLiteral("Close"), QRect(378, 406, 48, 18));
    CloseIcon(band.locator_panel, QStringLiteral("Image9"), QPoint(428, 409));

    // Volume panel.
    band.volume_panel = panel(QStringLiteral("ExplorerPopup3"), QSize(38, 131), QStringLiteral("Volume"));
    band.volume = new TMMBitmapSlider(band.volume_panel);
    band.volume->setObjectName(QStringLiteral("MMBitmapSlider1"));
    band.volume->move(10, 4);
    band.volume->SetOrientation(TMMBitmapSlider::orVertical);
    band.volume->SetMaxValue(63);
    band.volume->SetSensitivity(-10);
    band.volume->SetHandCursor(true);
    band.volume->SetAutoSize(true);
    band.volume->SetBitmapList(band.bitmaps);
    band.volume->SetBitmapIndex(4);
    band.volume->SetBitmapBackIndex(4);
    band.volume->SetBitmapThumbIndex(3);
    band.volume->SetTransparentMode(TMMBitmapSlider::tmFixed);
    band.volume->SetTransparentColor(QColor(0, 0, 0));
    band.volume->SetPosition(44);
    band.volume->setAccessibleName(QStringLiteral("Volume"));
    CloseIcon(band.volume_panel, QStringLiteral("Image11"), QPoint(13, 117));

    // Equalizer panel.
    band.eq_panel = panel(QStringLiteral("ExplorerPopup4"), QSize(244, 96), QStringLiteral("Equalizer"));
    const int gains[16] = {6, 5, 4, 2, 0, -1, -2, -2, -1, 0, 2, 3, 4, 5, 5, 4};
    for (int i = 0; i < 16; ++i) {
        auto* slider = new TMMBitmapSlider(band.eq_panel);
        slider->setObjectName(QStringLiteral("b%1").arg(i + 1));
        slider->move(6 + i * 13, 4);
        slider->SetOrientation(TMMBitmapSlider::orVertical);
        slider->SetMinValue(-16);
        slider->SetMaxValue(16);
        slider->SetAutoSize(true);
        slider->SetBitmapList(band.bitmaps);
        slider->SetBitmapIndex(2);
        slider->SetBitmapBackIndex(2);
        slider->SetBitmapThumbIndex(0);
        slider->SetTransparentMode(TMMBitmapSlider::tmFixed);
        slider->SetTransparentColor(QColor(0, 0, 0));
        slider->SetPosition(gains[i]);
        slider->setAccessibleName(QStringLiteral("Band %1").arg(i + 1));
        band.bands << slider;
    }
    TextButton(band.eq_panel, QStringLiteral("KamButton5"), QStringLiteral("Save"), QRect(6, 75, 48, 17));
    TextButton(band.eq_panel, QStringLiteral("KamButton6"), QStringLiteral("Default"), QRect(58, 75, 56, 17));
    CloseIcon(band.eq_panel, QStringLiteral("Image17"), QPoint(226, 4));
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
        band_.time->SetText(TimeText(elapsed_ms_));
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
