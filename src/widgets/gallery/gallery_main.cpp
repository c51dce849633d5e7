// pelu-gallery: every control of the band with the player's settings.
//
//   pelu-gallery                 shows the band and its panels, animating
//   pelu-gallery --shots DIR     writes NAME@1x.png and NAME@2x.png of each control
//
// The 2x pictures come from a second run of the program at a device pixel
// ratio of 2 (QT_SCALE_FACTOR), the way a high-DPI screen shows the band.
#include "band_demo.h"

#include "widgets/analyser_views.h"
#include "widgets/dot_matrix.h"
#include "widgets/explorer_popup.h"
#include "widgets/image_button.h"
#include "widgets/playlist_tree.h"
#include "widgets/scrolling_text.h"
#include "widgets/seek_slider.h"
#include "widgets/skinned_menu.h"
#include "widgets/theme.h"
#include "widgets/toolbar_button.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPainter>
#include <QProcess>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdio>
#include <cstring>

using namespace pelu::widgets;
using pelu::gallery::Band;

namespace {

void Pump(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

class Shooter {
public:
    Shooter(QString dir, int scale) : dir_(std::move(dir)), suffix_(QStringLiteral("@%1x.png").arg(scale)) {}

    void Save(const QString& name, const QPixmap& pixmap)
    {
        const QString path = dir_ + QLatin1Char('/') + name + suffix_;
        if (!pixmap.save(path)) {
            std::fprintf(stderr, "pelu-gallery: cannot write %s\n", qPrintable(path));
            failed_ = true;
            return;
        }
        ++written_;
    }
    void Save(const QString& name, QWidget* widget) { Save(name, widget->grab()); }

    // Opens a panel through its real drop-down path and photographs it open.
    void SavePanel(const QString& name, TExplorerPopup* panel, QWidget* anchor)
    {
        QTimer::singleShot(150, panel, [this, name, panel] {
            Save(name, panel);
            panel->ClosePanel();
        });
        panel->OpenBelow(anchor);
    }

    // Several widgets side by side on the band's colour, with a margin.
    void SaveRow(const QString& name, const QList<QWidget*>& widgets, int gap = 6)
    {
        int width = gap, height = 0;
        for (QWidget* w : widgets) {
            width += w->width() + gap;
            height = std::max(height, w->height());
        }
        const qreal dpr = widgets.isEmpty() ? 1.0 : widgets.first()->devicePixelRatioF();
        QPixmap row(QSize(width, height + 2 * gap) * dpr);
        row.setDevicePixelRatio(dpr);
        row.fill(theme::kWindow);
        QPainter painter(&row);
        int x = gap;
        for (QWidget* w : widgets) {
            painter.drawPixmap(x, gap, w->grab());
            x += w->width() + gap;
        }
        painter.end();
        Save(name, row);
    }

    int written() const { return written_; }
    bool failed() const { return failed_; }

private:
    QString dir_;
    QString suffix_;
    int written_ = 0;
    bool failed_ = false;
};

void FillPlaylist(TElTree* tree)
{
    const char* titles[] = {"Nightfall over the Harbour.mp3", "Copper Skyline.mp3", "Glass Rivers.mp3",
                            "Slow Engines.mp3",               "Paper Lanterns.mp3", "Northbound.mp3"};
    const char* artists[] = {"The Lamplighters", "Ada Reyes", "Mono Lake", "Field Theory", "Ada Reyes", "Kestrel"};
    const char* times[] = {"3:41.250", "4:02.117", "2:58.940", "5:13.002", "3:20.431", "4:47.880"};
    for (int i = 0; i < 6; ++i)
        tree->AddRow(QStringLiteral("%1. %2").arg(i + 1).arg(QString::fromLatin1(titles[i])),
                     {QString::fromLatin1(times[i]), QString::fromLatin1(artists[i]),
                      QStringLiteral("/music/%1").arg(QString::fromLatin1(titles[i])), QStringLiteral("221250"),
                      QString::number(i), QString()},
                     i == 1 ? 0 : 3);
    tree->SetRowSelected(1, true);
    tree->SetFocusedRow(1);
}

int WriteShots(const QString& dir, int scale)
{
    QDir().mkpath(dir);
    QTemporaryDir music;
    for (const char* name : {"01 Nightfall over the Harbour.mp3", "02 Copper Skyline.mp3", "03 Glass Rivers.mp3",
                             "04 Slow Engines.mp3", "SONG.MP3", "cover.jpg"}) {
        QFile file(music.path() + QLatin1Char('/') + QString::fromLatin1(name));
        file.open(QIODevice::WriteOnly);
    }

    QWidget host;
    host.resize(820, 60);
    Band band = pelu::gallery::BuildBand(&host, music.path());
    FillPlaylist(band.playlist);
    host.move(0, 0);
    host.show();
    Pump(200);
    // The shots show the controls at rest, not the first one holding the focus.
    if (QWidget* focused = QApplication::focusWidget())
        focused->clearFocus();

    Shooter shooter(dir, scale);
    shooter.Save(QStringLiteral("band_idle"), band.strip);

    pelu::gallery::BandAnimator animator(band);
    animator.Start();
    Pump(1500); // let the status line scroll and the meters settle into motion
    shooter.Save(QStringLiteral("band"), band.strip);
    animator.Stop();

    shooter.Save(QStringLiteral("status_line"), band.status);
    shooter.Save(QStringLiteral("time_display"), band.time);
    shooter.Save(QStringLiteral("seek_slider"), band.seek);
    shooter.Save(QStringLiteral("spectrum"), band.spectrum);
    shooter.SaveRow(QStringLiteral("level_meters"), {band.level_left, band.level_right});

    // The transport buttons in their three pictures.
    QList<QWidget*> normal, down, up;
    QList<TImageButton*> copies;
    for (TImageButton* b : band.buttons) {
        for (int state = 0; state < 3; ++state) {
            auto* copy = new TImageButton(&host);
            copy->SetBitmap(state == 0 ? b->Bitmap() : state == 1 ? b->BitmapDown() : b->BitmapUp());
            copy->hide();
            (state == 0 ? normal : state == 1 ? down : up) << copy;
        }
    }
    shooter.SaveRow(QStringLiteral("buttons_normal"), normal, 4);
    shooter.SaveRow(QStringLiteral("buttons_pressed"), down, 4);
    shooter.SaveRow(QStringLiteral("buttons_released"), up, 4);
    shooter.SaveRow(QStringLiteral("menu_buttons"), {band.main_menu_button, band.playlist_button});

    shooter.SavePanel(QStringLiteral("panel_playlist"), band.playlist_panel, band.playlist_button);
    shooter.SavePanel(QStringLiteral("panel_locator"), band.locator_panel, band.playlist_button);
    shooter.SavePanel(QStringLiteral("panel_volume"), band.volume_panel, band.strip);
    shooter.SavePanel(QStringLiteral("panel_equalizer"), band.eq_panel, band.buttons.last());

    for (TSkinnedMenu* menu : {band.main_menu, band.playlist_menu}) {
        menu->popup(QPoint(620, 30));
        Pump(150);
        shooter.Save(menu == band.main_menu ? QStringLiteral("menu_main") : QStringLiteral("menu_playlist"), menu);
        menu->hide();
    }
    std::printf("%d pictures written to %s\n", shooter.written(), qPrintable(dir));
    return shooter.failed() ? 1 : 0;
}

} // namespace

int main(int argc, char** argv)
{
    QString shots;
    int scale = 0;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--shots") && i + 1 < argc)
            shots = QString::fromLocal8Bit(argv[++i]);
        else if (!std::strcmp(argv[i], "--scale") && i + 1 < argc)
            scale = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "usage: pelu-gallery [--shots DIR]\n");
            return 2;
        }
    }
    if (!shots.isEmpty()) {
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        if (scale == 0)
            scale = 1;
        qputenv("QT_SCALE_FACTOR", QByteArray::number(scale));
    }
    QApplication app(argc, argv);
    if (!shots.isEmpty()) {
        int result = WriteShots(shots, scale);
        if (result == 0 && scale == 1) {
            // The 2x pictures: the same program at twice the device pixel ratio.
            result = QProcess::execute(QCoreApplication::applicationFilePath(),
                                       {QStringLiteral("--shots"), shots, QStringLiteral("--scale"), QStringLiteral("2")});
        }
        return result;
    }

    QWidget window;
    window.setWindowTitle(QStringLiteral("PELU gallery"));
    window.resize(820, 520);
    Band band = pelu::gallery::BuildBand(&window, QDir::homePath());
    FillPlaylist(band.playlist);
    // The panels shown in place, below the band.
    band.playlist_panel->move(4, 40);
    band.eq_panel->move(420, 40);
    band.volume_panel->move(420, 150);
    for (TExplorerPopup* p : {band.playlist_panel, band.eq_panel, band.volume_panel})
        p->show();
    pelu::gallery::BandAnimator animator(band);
    animator.Start();
    window.show();
    return app.exec();
}
