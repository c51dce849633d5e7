// The band as a person uses it without a mouse, and what the band shows of its
// state: the Tab order along the strip and its focus marks, the keys of each
// control and panel, the latched transport buttons, tooltips and what
// assistive technology sees.
#include "band_fixture.h"

#include "audio/equalizer.h"
#include "audio/mixer.h"
#include "widgets/analyser_views.h"
#include "widgets/bitmap_slider.h"
#include "widgets/explorer_popup.h"
#include "widgets/image_button.h"
#include "widgets/picture_box.h"
#include "widgets/shell_views.h"
#include "widgets/skinned_menu.h"
#include "widgets/toolbar_button.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QAccessibleValueInterface>
#include <QApplication>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QScrollBar>
#include <QTimer>
#include <QWheelEvent>

namespace pelu::player::test {
namespace {

using widgets::TImageButton;

class BandKeyboard : public BandFixture {
protected:
    void SetUp() override
    {
        BandFixture::SetUp();
        Form().activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&Form()));
    }
    static QString Focused() { return QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString(); }
    // Window activation, and so the focus that comes with it, arrives a moment later.
    static bool FocusReaches(const QString& name)
    {
        return QTest::qWaitFor([&] { return Focused() == name; }, 3000);
    }
    static void Key(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QWidget* target = QApplication::focusWidget();
        ASSERT_NE(target, nullptr);
        QTest::keyClick(target, Qt::Key(key), modifiers);
        QCoreApplication::processEvents();
    }
    // Runs `inside` once `panel` is open (opening runs the panel's own loop; a
    // panel may also open later from a timer), then closes it.
    void WhileOpen(widgets::TExplorerPopup* panel, const std::function<void()>& open,
                   const std::function<void()>& inside)
    {
        bool ran = false;
        QTimer poll;
        poll.setInterval(20);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (ran || !panel->Visible())
                return;
            ran = true;
            poll.stop();
            inside();
            panel->ClosePanel();
        });
        poll.start();
        open();
        EXPECT_TRUE(wait_until([&] { return ran; }, 5000)) << "the panel did not open";
    }
    // A list's scroll bars and header, a field's clear button.
    static bool PartOfAnotherControl(QWidget* w, QWidget* root)
    {
        for (QWidget* up = w->parentWidget(); up && up != root; up = up->parentWidget())
            if (up->inherits("QAbstractScrollArea") || up->inherits("QLineEdit"))
                return true;
        return false;
    }
    static bool ShowsDown(TImageButton* button) { return button->Current() == button->BitmapDown(); }
};

TEST_F(BandKeyboard, TabFollowsTheStripLeftToRightWithAVisibleMarkAndNoHiddenStops)
{
    const QStringList expected{"emberx",       "Image14",      "ImageButton1", "ImageButton2",
                               "ImageButton3", "ImageButton4", "ImageButton6", "ImageButton7",
                               "MMSliderx1",   "ToolbarButton972", "ToolbarButton971"};
    C().time->setFocus(Qt::TabFocusReason);
    QStringList visited{Focused()};
    for (int i = 0; i < expected.size(); ++i) {
        QWidget* stop = QApplication::focusWidget();
        // The focus mark: the control looks different with the focus than without.
        const QImage with_focus = stop->grab().toImage();
        Key(Qt::Key_Tab);
        EXPECT_NE(with_focus, stop->grab().toImage()) << stop->objectName().toStdString() << " shows no focus mark";
        EXPECT_TRUE(QApplication::focusWidget()->isVisible());
        visited << Focused();
    }
    EXPECT_EQ(visited.mid(0, expected.size()), expected);
    EXPECT_EQ(visited.last(), "emberx"); // round again, past no invisible stop
    Key(Qt::Key_Backtab);
    EXPECT_EQ(Focused(), "ToolbarButton971");

    // Enter on Main Menu drops the menu down.
    Key(Qt::Key_Backtab);
    QWidget* shown = nullptr;
    QTimer::singleShot(100, [&] {
        shown = QApplication::activePopupWidget();
        if (shown)
            shown->close();
    });
    Key(Qt::Key_Return);
    EXPECT_EQ(shown, static_cast<QWidget*>(C().main_menu));
}

TEST_F(BandKeyboard, SpaceAndEnterPressTheTransportAndPlayAndPauseStayDown)
{
    Form().AddFiles({Music("one.mp3", 30.0)});
    SelectOnly(0);
    TImageButton* play = C().buttons[0];
    TImageButton* pause = C().buttons[5];
    EXPECT_FALSE(ShowsDown(play));

    play->setFocus(Qt::TabFocusReason);
    Key(Qt::Key_Space);
    EXPECT_TRUE(Form().Playing());
    QTest::qWait(200); // the key's short pressed look is over
    EXPECT_TRUE(ShowsDown(play)) << "playing looks like stopped";
    EXPECT_FALSE(ShowsDown(pause));

    pause->setFocus(Qt::TabFocusReason);
    Key(Qt::Key_Return);
    QTest::qWait(200);
    EXPECT_TRUE(ShowsDown(pause)) << "paused looks like playing";
    EXPECT_FALSE(ShowsDown(play));

    // The pointer passing over a latched button leaves it latched.
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(pause, &leave);
    EXPECT_TRUE(ShowsDown(pause));

    C().buttons[3]->setFocus(Qt::TabFocusReason);
    Key(Qt::Key_Enter);
    EXPECT_FALSE(Form().Playing());
    QTest::qWait(200);
    EXPECT_FALSE(ShowsDown(play));
    EXPECT_FALSE(ShowsDown(pause));
}

TEST_F(BandKeyboard, SeekBarStepsFiveSecondsAndThirtyAPage)
{
    Form().audiox()->SetFileName(Wave("long.wav", 120));
    C().seek->SetMaxValue(120000);
    C().seek->SetPosition(10000);
    C().seek->setFocus(Qt::TabFocusReason);
    Key(Qt::Key_Right);
    EXPECT_EQ(Form().audiox()->Position(), 15000);
    Key(Qt::Key_PageUp);
    EXPECT_EQ(Form().audiox()->Position(), 45000);
    Key(Qt::Key_PageDown);
    Key(Qt::Key_Left);
    EXPECT_EQ(Form().audiox()->Position(), 10000);
}

TEST_F(BandKeyboard, VolumeAndEqualizerSlidersTakeKeysAndTheWheel)
{
    widgets::TMMBitmapSlider* volume = C().volume;
    ASSERT_TRUE(volume->isEnabled());
    auto wheel = [](QWidget* target, int notches) {
        QWheelEvent event(QPointF(2, 2), target->mapToGlobal(QPointF(2, 2)), QPoint(), QPoint(0, 120 * notches),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(target, &event);
    };
    // The volume panel opens from its icon by key and takes the focus.
    C().volume_icon->setFocus(Qt::TabFocusReason);
    WhileOpen(C().volume_panel, [&] { Key(Qt::Key_Space); }, [&] {
        ASSERT_TRUE(FocusReaches("MMBitmapSlider1"));
        volume->SetPosition(30);
        Form().MMBitmapSlider1Track();
        Key(Qt::Key_Up);
        EXPECT_EQ(volume->Position(), 31);
        EXPECT_EQ(Form().MMMixerSlider3()->Position(), 31);
        Key(Qt::Key_PageDown);
        EXPECT_EQ(Form().MMMixerSlider3()->Position(), 26);
        wheel(volume, 2);
        EXPECT_EQ(Form().MMMixerSlider3()->Position(), 28);
        Key(Qt::Key_Escape);
        EXPECT_FALSE(C().volume_panel->Visible());
    });
    EXPECT_TRUE(FocusReaches("Image14")) << "the focus goes back to what opened the panel";

    // An equalizer band reacts when the key or the wheel lets go.
    ASSERT_TRUE(QFile::copy(PELU_SOURCE_DIR "/data/default.ini", StorageFile("default.ini")));
    Form().KamButton6Click(); // the factory bands
    ASSERT_EQ(Form().eq()->Filters().Count(), 16);
    widgets::TMMBitmapSlider* band = C().bands[3];
    band->SetPosition(0);
    band->setFocus(Qt::TabFocusReason);
    Key(Qt::Key_Up);
    EXPECT_EQ(Form().eq()->Filters()[3]->Gain(), 1.0f);
    wheel(band, -3);
    EXPECT_EQ(band->Position(), -2);
    EXPECT_EQ(Form().eq()->Filters()[3]->Gain(), -2.0f);
}

TEST_F(BandKeyboard, PlaylistPanelKeys)
{
    Form().AddFiles({Music("alpha.mp3", 30.0), Music("beta.mp3", 30.0), Music("gamma.mp3", 30.0)});
    C().playlist_button->setFocus(Qt::TabFocusReason);
    WhileOpen(
        C().playlist_panel, [&] { Key(Qt::Key_Return); }, // "Playlist" opens its panel a moment later
        [&] {
            EXPECT_TRUE(FocusReaches("ElTree1")) << "the panel takes the keyboard when it opens";
            const QImage with_focus = C().playlist->grab().toImage();
            C().search->setFocus(Qt::TabFocusReason);
            EXPECT_NE(with_focus, C().playlist->grab().toImage()) << "the list shows no focus mark";
            C().playlist->setFocus(Qt::TabFocusReason);
            // Enter plays the row with the focus.
            C().playlist->SetFocusedRow(1);
            Key(Qt::Key_Return);
            EXPECT_TRUE(Form().Playing());
            EXPECT_EQ(Form().CurrentIndex(), 1);
            // Delete removes the selection.
            SelectOnly(0);
            C().playlist->SetFocusedRow(0);
            Key(Qt::Key_Delete);
            EXPECT_EQ(Rows(), 2);
            EXPECT_EQ(RowText(0), "1. beta");
            // Ctrl+F goes to the search field; Down moves over the matches, Enter
            // plays the highlighted one.
            Key(Qt::Key_F, Qt::ControlModifier);
            EXPECT_EQ(QApplication::focusWidget(), C().search);
            QTest::keyClicks(C().search, "a");
            Key(Qt::Key_Down);
            Key(Qt::Key_Down);
            EXPECT_EQ(Selected(), QList<int>{1});
            Key(Qt::Key_Return);
            EXPECT_TRUE(Form().Playing());
            EXPECT_EQ(Form().CurrentIndex(), 1);
            EXPECT_EQ(Status(), "Playing -gamma.mp3");
            // Tab goes along the panel's bottom row as it is seen.
            C().playlist->setFocus(Qt::TabFocusReason);
            QStringList row;
            for (int i = 0; i < 7; ++i) {
                Key(Qt::Key_Tab);
                row << Focused();
            }
            EXPECT_EQ(row, (QStringList{"ToolbarButton973", "PlaylistSearch", "KamButton7", "KamButton8", "KamButton3",
                                        "Image10", "ElTree1"}));
            // Ctrl+F reaches the search field from the strip too while the panel is open.
            C().buttons[0]->setFocus(Qt::TabFocusReason);
            Key(Qt::Key_F, Qt::ControlModifier);
            EXPECT_TRUE(QTest::qWaitFor([&] { return QApplication::focusWidget() == C().search; }, 2000));
            // Esc closes the panel from the search field too.
            C().search->setFocus(Qt::TabFocusReason);
            Key(Qt::Key_Escape);
            EXPECT_FALSE(C().playlist_panel->Visible());
        });
    EXPECT_TRUE(FocusReaches("ToolbarButton971"));
}

TEST_F(BandKeyboard, TheEqualizerButtonStopsLookingLitWhenItsPanelCloses)
{
    TImageButton* eq = C().buttons[6];
    QTimer::singleShot(50, [&] { C().eq_panel->ClosePanel(); });
    QTest::mouseClick(eq, Qt::LeftButton, {}, QPoint(4, 4));
    QCoreApplication::processEvents();
    EXPECT_EQ(eq->Current(), eq->Bitmap());
}

TEST_F(BandKeyboard, EveryControlHasATooltipAndSaysWhatItIs)
{
    // Every control a person can reach, on the strip and in the four panels.
    QList<QWidget*> roots{C().strip, C().playlist_panel, C().locator_panel, C().volume_panel, C().eq_panel};
    int controls = 0;
    for (QWidget* root : roots)
        for (QWidget* w : root->findChildren<QWidget*>()) {
            if (w->focusPolicy() == Qt::NoFocus || !w->isVisibleTo(root) || PartOfAnotherControl(w, root))
                continue;
            ++controls;
            EXPECT_FALSE(w->toolTip().isEmpty()) << w->objectName().toStdString() << " has no tooltip";
        }
    EXPECT_GE(controls, 40);
    for (QWidget* w : QList<QWidget*>{C().time, C().status, C().seek})
        EXPECT_FALSE(w->toolTip().isEmpty());
}

TEST_F(BandKeyboard, AssistiveTechnologySeesButtonsSlidersAndLabels)
{
    Form().AddFiles({Music("one.mp3", 30.0)});
    SelectOnly(0);

    QAccessibleInterface* play = QAccessible::queryAccessibleInterface(C().buttons[0]);
    ASSERT_NE(play, nullptr);
    EXPECT_EQ(play->role(), QAccessible::Button);
    EXPECT_EQ(play->text(QAccessible::Name), "Play");
    ASSERT_NE(play->actionInterface(), nullptr);
    EXPECT_TRUE(play->actionInterface()->actionNames().contains(QAccessibleActionInterface::pressAction()));
    play->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_TRUE(Form().Playing());

    QAccessibleInterface* seek = QAccessible::queryAccessibleInterface(C().seek);
    EXPECT_EQ(seek->role(), QAccessible::Slider);
    ASSERT_NE(seek->valueInterface(), nullptr);
    EXPECT_EQ(seek->valueInterface()->minimumValue().toInt(), 0);
    EXPECT_NEAR(seek->valueInterface()->maximumValue().toInt(), 30000, 100);

    QAccessibleInterface* volume = QAccessible::queryAccessibleInterface(C().volume);
    EXPECT_EQ(volume->role(), QAccessible::Slider);
    EXPECT_EQ(volume->valueInterface()->maximumValue().toInt(), C().volume->MaxValue());
    volume->valueInterface()->setCurrentValue(20);
    EXPECT_EQ(Form().MMMixerSlider3()->Position(), 20) << "a value set from outside moves the volume";
    EXPECT_EQ(volume->valueInterface()->currentValue().toInt(), 20);
    QAccessibleInterface* band = QAccessible::queryAccessibleInterface(C().bands[0]);
    EXPECT_EQ(band->role(), QAccessible::Slider);
    EXPECT_EQ(band->valueInterface()->minimumValue().toInt(), -16);

    QAccessibleInterface* time = QAccessible::queryAccessibleInterface(C().time);
    EXPECT_EQ(time->role(), QAccessible::StaticText);
    Form().Timer1Timer();
    EXPECT_EQ(time->text(QAccessible::Name), TimeText());
    QAccessibleInterface* status = QAccessible::queryAccessibleInterface(C().status);
    EXPECT_EQ(status->role(), QAccessible::StaticText);
    EXPECT_EQ(status->text(QAccessible::Name), Status());
    EXPECT_TRUE(Status().startsWith("Playing"));

    QAccessibleInterface* icon = QAccessible::queryAccessibleInterface(C().volume_icon);
    EXPECT_EQ(icon->role(), QAccessible::Button);
}

TEST_F(BandKeyboard, PanelsFollowTheirWindowAndCloseWhenItIsMinimised)
{
    widgets::TExplorerPopup* panel = C().volume_panel;
    WhileOpen(panel, [&] { Form().Image14Click(); }, [&] {
        const QRect before = panel->DropDownGeometry();
        Form().move(Form().pos() + QPoint(40, 25));
        QCoreApplication::processEvents();
        EXPECT_EQ(panel->DropDownGeometry().topLeft(), before.topLeft() + QPoint(40, 25));
        Form().showMinimized();
        QCoreApplication::processEvents();
        EXPECT_FALSE(panel->Visible());
    });
    EXPECT_FALSE(panel->Visible());
}

TEST_F(BandKeyboard, PanelScrollBarsAreDark)
{
    QStringList many;
    const QString one = Music("one.mp3");
    for (int i = 0; i < 30; ++i)
        many << one;
    Form().AddFiles(many);
    WhileOpen(C().playlist_panel, [&] { Form().Timer3Timer(); }, [&] {
        QScrollBar* bar = C().playlist->verticalScrollBar();
        ASSERT_TRUE(bar->isVisible());
        const QImage image = bar->grab().toImage();
        qint64 lightness = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                lightness += QColor(image.pixel(x, y)).lightness();
        EXPECT_LT(lightness / (image.width() * image.height()), 90) << "a light scroll bar on a dark panel";
    });
}

TEST_F(BandKeyboard, AnalysersSwitchedOffLeaveACalmFace)
{
    Form().AddFiles({Music("one.mp3", 30.0)});
    SelectOnly(0);
    Form().ImageButton1Click();
    ASSERT_TRUE(Form().Playing());
    EXPECT_FALSE(C().analyser_idle->isVisible());
    Form().ViewPELUSpectrum1Click();
    Form().VStereoLMeter1Click();
    Form().VStereoRMeter1Click();
    // No dead grid: the idle picture covers the spectrum, the meters give way to
    // the decoration behind them.
    EXPECT_TRUE(C().analyser_idle->isVisible());
    EXPECT_FALSE(C().level_left->isVisible());
    EXPECT_FALSE(C().level_right->isVisible());
    Form().ViewPELUSpectrum1Click();
    Form().VStereoLMeter1Click();
    EXPECT_FALSE(C().analyser_idle->isVisible());
    EXPECT_TRUE(C().level_left->isVisible());
    EXPECT_FALSE(C().level_right->isVisible());
}

// Pictures of the band for a person to review, at 1x and 2x, in
// build/test-output/.
TEST_F(BandKeyboard, WritesScreenshotsForReview)
{
    const QString folder = QCoreApplication::applicationDirPath() + "/../test-output";
    ASSERT_TRUE(QDir().mkpath(folder));
    auto save = [&](QWidget* widget, const QString& name) {
        for (int scale : {1, 2}) {
            QImage image(widget->size() * scale, QImage::Format_ARGB32_Premultiplied);
            image.setDevicePixelRatio(scale);
            image.fill(Qt::black);
            widget->render(&image);
            const QString file = QStringLiteral("%1/%2@%3x.png").arg(folder, name).arg(scale);
            EXPECT_TRUE(image.save(file)) << file.toStdString();
        }
    };
    ASSERT_TRUE(QFile::copy(PELU_SOURCE_DIR "/data/default.ini", StorageFile("default.ini")));
    Form().KamButton6Click();
    Form().AddFiles({Music("Été indien.mp3", 60.0), Music("Песня.mp3", 60.0), Music("夜明け.mp3", 60.0)});
    SelectOnly(1);
    Form().ImageButton1Click();
    QTest::qWait(300); // the analysers and the time have something to show
    Form().Timer1Timer();
    C().buttons[6]->setFocus(Qt::TabFocusReason);
    save(&Form(), "band-playing");
    WhileOpen(C().playlist_panel, [&] { Form().Timer3Timer(); }, [&] { save(C().playlist_panel, "panel-playlist"); });
    WhileOpen(C().locator_panel, [&] { Form().ToolbarButton973Click(); }, [&] {
        wait_until([&] { return !C().files->Paths().isEmpty(); }, 2000);
        save(C().locator_panel, "panel-locator");
    });
    WhileOpen(C().volume_panel, [&] { Form().Image14Click(); }, [&] { save(C().volume_panel, "panel-volume"); });
    WhileOpen(C().eq_panel, [&] { Form().ImageButton7Click(); }, [&] { save(C().eq_panel, "panel-equalizer"); });
    EXPECT_EQ(QDir(folder).entryList({"band-*.png", "panel-*.png"}).size(), 10);
}

class FileLocatorFolder : public BandKeyboard {
protected:
    void SetUp() override
    {
        // The music folder as the desktop names it.
        music_ = QString::fromStdString((dir_.path() / "music").string());
        std::filesystem::create_directories(dir_.path() / "xdg");
        const std::string dirs = "XDG_MUSIC_DIR=\"" + music_.toStdString() + "\"\n";
        dir_.write("xdg/user-dirs.dirs", pelu::test::Bytes(dirs.begin(), dirs.end()));
        old_config_ = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((dir_.path() / "xdg").string()));
        BandKeyboard::SetUp();
    }
    void TearDown() override
    {
        BandKeyboard::TearDown();
        if (old_config_.isNull())
            qunsetenv("XDG_CONFIG_HOME");
        else
            qputenv("XDG_CONFIG_HOME", old_config_);
    }
    QString music_;
    QByteArray old_config_;
};

TEST_F(FileLocatorFolder, OpensAtTheMusicFolderThenWhereTheUserWas)
{
    std::filesystem::create_directories(dir_.path() / "music" / "Álbum");
    const QString album = music_ + "/Álbum";
    WhileOpen(C().locator_panel, [&] { Form().ToolbarButton973Click(); }, [&] {
        EXPECT_EQ(QDir(C().files->Folder()), QDir(music_));
        // A double click on a folder in the file list opens it; the panels stay.
        auto* model = static_cast<QFileSystemModel*>(C().files->model());
        ASSERT_TRUE(wait_until([&] { return model->index(album).isValid() && !C().files->visualRect(model->index(album)).isEmpty(); }));
        const QRect cell = C().files->visualRect(model->index(album));
        EXPECT_GE(cell.height(), 20) << "rows sized for a pointer";
        QTest::mouseDClick(C().files->viewport(), Qt::LeftButton, {}, cell.center());
        EXPECT_TRUE(C().locator_panel->Visible());
        EXPECT_EQ(QDir(C().files->Folder()), QDir(album));
        EXPECT_EQ(QDir(C().folders->Path()), QDir(album)) << "the tree follows the list";
    });
    CloseForm();
    Form();
    WhileOpen(C().locator_panel, [&] { Form().ToolbarButton973Click(); },
              [&] { EXPECT_EQ(QDir(C().files->Folder()).absolutePath(), QDir(album).absolutePath()); });
    // Kept beside the scrambled settings, not among them.
    const auto key = registry_->open_key(platform::registry::Hive::CurrentUser, QStringLiteral("Software\\PELU"));
    ASSERT_TRUE(key);
    const auto value = registry_->query(*key, QStringLiteral("LocatorFolder"));
    ASSERT_TRUE(value);
    EXPECT_EQ(QDir(value->text).absolutePath(), QDir(album).absolutePath());
}

TEST_F(FileLocatorFolder, PlacesOpenWithOneClickAndEscEndsATypeAheadBeforeThePanel)
{
    std::filesystem::create_directories(dir_.path() / "music" / "Zeta");
    WhileOpen(C().locator_panel, [&] { Form().ToolbarButton973Click(); }, [&] {
        const QList<widgets::LocatorPlace> places = C().places->Places();
        ASSERT_GE(places.size(), 2);
        EXPECT_EQ(places[0].name, "Home");
        EXPECT_EQ(places[1], (widgets::LocatorPlace{"Music", music_}));
        QTest::mouseClick(C().places->Button(0), Qt::LeftButton);
        EXPECT_EQ(QDir(C().files->Folder()), QDir::home());
        EXPECT_EQ(QDir(C().folders->Path()), QDir::home()) << "the tree follows";
        EXPECT_GE(C().folders->visualRect(C().folders->currentIndex()).height(), 20) << "tree rows sized for a pointer";
        QTest::mouseClick(C().places->Button(1), Qt::LeftButton);
        EXPECT_EQ(QDir(C().files->Folder()), QDir(music_));

        auto* model = static_cast<QFileSystemModel*>(C().files->model());
        ASSERT_TRUE(wait_until([&] { return model->index(music_ + "/Zeta").isValid() && model->rowCount(C().files->rootIndex()) > 0; }));
        C().files->setFocus();
        QTest::keyClicks(C().files, "ze");
        EXPECT_EQ(C().files->currentIndex(), model->index(music_ + "/Zeta"));
        EXPECT_EQ(C().files->TypedPrefix(), "ze");
        QTest::keyClick(C().files, Qt::Key_Escape);
        EXPECT_TRUE(C().files->TypedPrefix().isEmpty());
        EXPECT_TRUE(C().locator_panel->Visible()) << "the first Esc ends the type-ahead";
        QTest::keyClick(C().files, Qt::Key_Escape);
        EXPECT_FALSE(C().locator_panel->Visible());
    });
}

} // namespace
} // namespace pelu::player::test
