// The controls the form needs beyond the specified ones: the time indicator,
// the playlist tree, the file list, the menus and the toolbar buttons.
#include "widgets/dot_matrix.h"
#include "widgets/playlist_tree.h"
#include "widgets/shell_views.h"
#include "widgets/skinned_menu.h"
#include "widgets/toolbar_button.h"

#include "child_process.h"
#include "wait_until.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMimeData>
#include <QTemporaryDir>
#include <QTest>

#include <filesystem>

using namespace pelu::widgets;

namespace {

TEST(DotMatrix, RightAlignsTheTextInTwelveCells)
{
    TDotMatrixText display;
    EXPECT_EQ(display.size(), QSize(87, 7));
    display.SetText(QStringLiteral("1:23"));
    // "1" sits in cell 8: its stem is the middle column, lit on every row but the last.
    for (int row = 0; row < 6; ++row)
        EXPECT_TRUE(display.DotLit(8, 2, row)) << row;
    EXPECT_FALSE(display.DotLit(7, 2, 3)); // blank cell
    EXPECT_TRUE(display.DotLit(9, 2, 1));  // the colon
    // Unknown characters are blanks; lower case shows as upper case.
    const unsigned char* unknown = TDotMatrixText::Glyph(QChar(0x263A));
    for (int row = 0; row < 7; ++row)
        EXPECT_EQ(unknown[row], 0);
    EXPECT_EQ(std::memcmp(TDotMatrixText::Glyph(QLatin1Char('a')), TDotMatrixText::Glyph(QLatin1Char('A')), 7), 0);
    // Too long: the end is kept (the milliseconds of a long time).
    display.SetText(QStringLiteral("-10:00:00:00.000"));
    EXPECT_TRUE(display.DotLit(11, 1, 0)); // the last '0'
}

TEST(DotMatrix, PressAndSpaceReportThePress)
{
    TDotMatrixText display;
    int presses = 0;
    display.OnMouseDown = [&](QObject*, Qt::MouseButton, QPoint) { ++presses; };
    QTest::mouseClick(&display, Qt::LeftButton, {}, QPoint(40, 3));
    display.setFocus();
    QTest::keyClick(&display, Qt::Key_Space);
    EXPECT_EQ(presses, 2);
    EXPECT_EQ(display.accessibleName(), QStringLiteral("Time"));
}

// The screen's scale is fixed when the application starts: the test runs
// itself again at scale 2 and checks there.
TEST(DotMatrix, AtTwiceTheScaleShowsTheSamePictureTwiceAsLarge)
{
    if (!qEnvironmentVariableIsSet("PELU_DOT_MATRIX_AT_SCALE_2")) {
        pelu::test::ChildProcess child;
        pelu::test::ChildProcess::Options options;
        options.environment = {"QT_SCALE_FACTOR=2", "PELU_DOT_MATRIX_AT_SCALE_2=1", "QT_QPA_PLATFORM=offscreen"};
        const QString self = QString::fromStdString(std::filesystem::read_symlink("/proc/self/exe").string());
        ASSERT_TRUE(child.Start(self, {"--gtest_filter=DotMatrix.AtTwiceTheScaleShowsTheSamePictureTwiceAsLarge"}, options));
        const QByteArray out = child.ReadAll(60000);
        EXPECT_EQ(child.Wait(10000), 0) << out.toStdString();
        return;
    }
    TDotMatrixText display;
    display.resize(87, 7); // as on the band
    display.SetText(QStringLiteral("12:34:56.7-"));
    display.show();
    QCoreApplication::processEvents();
    ASSERT_EQ(display.devicePixelRatioF(), 2.0);
    QImage twice = display.grab().toImage().convertToFormat(QImage::Format_RGB32);
    twice.setDevicePixelRatio(1);
    QImage once(display.size(), QImage::Format_RGB32);
    display.render(&once);
    ASSERT_EQ(twice.size(), display.size() * 2);
    EXPECT_EQ(twice, once.scaled(twice.size(), Qt::IgnoreAspectRatio, Qt::FastTransformation));
    // Lit dots are there to compare: the middle row of the last cell's "-".
    EXPECT_EQ(QColor(once.pixel(8 + 11 * 6 + 2, 3)), display.LitColor());
}

// What a drag does over the list: enter, move, drop.
void DropOn(TElTree& tree, QPoint target, QMimeData& data)
{
    QDragEnterEvent enter(target, Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(tree.viewport(), &enter);
    QDragMoveEvent move(target, Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(tree.viewport(), &move);
    QDropEvent drop(target, Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(tree.viewport(), &drop);
}

struct PlaylistRowLike {
    QString text;
    QStringList columns;
    int image_index;
};

struct TreeFixture : ::testing::Test {
    TElTree tree;
    void SetUp() override
    {
        tree.resize(406, 200);
        QImage icon(16, 16, QImage::Format_RGB32);
        icon.fill(Qt::cyan);
        tree.SetImages({TPicture(icon), TPicture(icon)});
        for (int i = 0; i < 4; ++i)
            tree.AddRow(QStringLiteral("%1. song%1.mp3").arg(i + 1),
                        {QStringLiteral("0:0%1.000").arg(i), QStringLiteral("Artist %1").arg(i),
                         QStringLiteral("/m/song%1.mp3").arg(i + 1), QStringLiteral("%1000").arg(i), QString::number(i),
                         QString()},
                        3);
        tree.show();
        QCoreApplication::processEvents();
    }
};

TEST_F(TreeFixture, ShowsThreeColumnsFromTheRowsTexts)
{
    EXPECT_EQ(tree.headerItem()->text(0), QStringLiteral("Artist"));
    EXPECT_EQ(tree.headerItem()->text(1), QStringLiteral("MP3 Song Title:"));
    EXPECT_EQ(tree.headerItem()->text(2), QStringLiteral("Track Time"));
    EXPECT_EQ(tree.columnWidth(0), 60);
    EXPECT_EQ(tree.columnWidth(1), 233);
    QTreeWidgetItem* row = tree.topLevelItem(2);
    EXPECT_EQ(row->text(0), QStringLiteral("Artist 2"));
    EXPECT_EQ(row->text(1), QStringLiteral("3. song3.mp3"));
    EXPECT_EQ(row->text(2), QStringLiteral("0:02.000"));
    EXPECT_EQ(tree.ColumnText(2, 2), QStringLiteral("/m/song3.mp3"));
    EXPECT_EQ(tree.ColumnTexts(2).size(), 6);
    // Column texts 2..5 are kept but never shown.
    tree.SetColumnText(2, 5, QStringLiteral("delete"));
    EXPECT_EQ(tree.ColumnText(2, 5), QStringLiteral("delete"));
    EXPECT_EQ(row->text(2), QStringLiteral("0:02.000"));
    EXPECT_EQ(tree.visualItemRect(row).height(), TElTree::kRowHeight);
}

TEST_F(TreeFixture, ImageIndexThreeShowsNoIcon)
{
    EXPECT_TRUE(tree.topLevelItem(1)->icon(1).isNull());
    tree.SetImageIndex(1, 0);
    EXPECT_EQ(tree.ImageIndex(1), 0);
    EXPECT_FALSE(tree.topLevelItem(1)->icon(1).isNull());
    tree.SetImageIndex(1, 3);
    EXPECT_TRUE(tree.topLevelItem(1)->icon(1).isNull());
    // Pictures given after the rows show on them; a picture not set shows none.
    tree.SetImageIndex(1, 1);
    tree.SetImages({TPicture(), TPicture()});
    EXPECT_TRUE(tree.topLevelItem(1)->icon(1).isNull());
    QImage icon(16, 16, QImage::Format_RGB32);
    icon.fill(Qt::red);
    tree.SetImages({TPicture(), TPicture(icon)});
    EXPECT_FALSE(tree.topLevelItem(1)->icon(1).isNull());
}

TEST_F(TreeFixture, RowsWithFewOrNoColumnTextsReadSixAndEditLikeAnyOther)
{
    tree.AddRows(std::vector<PlaylistRowLike>{{QStringLiteral("5. bare"), {}, -1},
                                              {QStringLiteral("6. short"), {QStringLiteral("0:01.000")}, 0}});
    ASSERT_EQ(tree.RowCount(), 6);
    EXPECT_EQ(tree.ColumnTexts(4), QStringList(6));
    EXPECT_EQ(tree.ColumnTexts(5), (QStringList{QStringLiteral("0:01.000"), {}, {}, {}, {}, {}}));
    EXPECT_EQ(tree.topLevelItem(5)->text(2), QStringLiteral("0:01.000"));
    tree.SetColumnText(4, 1, QStringLiteral("Someone"));
    tree.topLevelItem(4)->setText(1, QStringLiteral("5. renamed")); // the view's own way in
    EXPECT_EQ(tree.RowText(4), QStringLiteral("5. renamed"));
    EXPECT_EQ(tree.topLevelItem(4)->text(0), QStringLiteral("Someone"));
    EXPECT_EQ(tree.ColumnTexts(4), (QStringList{{}, QStringLiteral("Someone"), {}, {}, {}, {}}));
    EXPECT_EQ(tree.ImageIndex(5), 0);
}

TEST_F(TreeFixture, SelectsSeveralRowsAndReportsChanges)
{
    int changes = 0;
    tree.OnItemSelectedChange = [&](QObject*) { ++changes; };
    tree.SetRowSelected(0, true);
    tree.SetRowSelected(2, true);
    EXPECT_EQ(tree.SelectedRows(), (QList<int>{0, 2}));
    EXPECT_GE(changes, 2);
    tree.DeselectAll();
    EXPECT_TRUE(tree.SelectedRows().isEmpty());
    tree.SetFocusedRow(3);
    EXPECT_EQ(tree.FocusedRow(), 3);
    EXPECT_TRUE(tree.SelectedRows().isEmpty()); // focusing does not select
}

TEST_F(TreeFixture, ADropReportsTheRowUnderThePointAndMovesNothingItself)
{
    int dropped_on = -2;
    tree.OnDragDrop = [&](QObject*, int row) { dropped_on = row; };
    const QPoint target = tree.visualItemRect(tree.topLevelItem(3)).center();
    QMimeData data;
    data.setData(QString::fromLatin1(TElTree::kRowMimeType), "0");
    DropOn(tree, target, data);
    EXPECT_EQ(dropped_on, 3);
    EXPECT_EQ(tree.RowText(0), QStringLiteral("1. song1.mp3"));
    // Without a handler the focused row moves to the row under the point.
    tree.OnDragDrop = nullptr;
    tree.SetFocusedRow(0);
    DropOn(tree, target, data);
    EXPECT_EQ(tree.RowText(3), QStringLiteral("1. song1.mp3"));
    EXPECT_EQ(tree.FocusedRow(), 3);
}

TEST(ShellList, ListsMp3FilesInAnyCaseAndReportsSelectionsInOrder)
{
    QTemporaryDir dir;
    for (const char* name : {"b.mp3", "SONG.MP3", "a.mp3", "cover.jpg", "notes.txt"}) {
        QFile file(dir.path() + QLatin1Char('/') + QString::fromLatin1(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    TShellList list;
    int fills = 0;
    list.OnFillComplete = [&](QObject*) { ++fills; };
    QStringList selected_events;
    list.OnSelectItem = [&](QObject*, const QString& path, bool selected) {
        if (selected)
            selected_events << QFileInfo(path).fileName();
    };
    list.SetFolder(dir.path());
    list.show();
    ASSERT_TRUE(pelu::test::wait_until([&] { return list.Paths().size() == 3; })) << list.Paths().join(',').toStdString();
    QStringList names;
    for (const QString& path : list.Paths())
        names << QFileInfo(path).fileName();
    names.sort(Qt::CaseInsensitive);
    EXPECT_EQ(names, (QStringList{"a.mp3", "b.mp3", "SONG.MP3"}));
    EXPECT_TRUE(pelu::test::wait_until([&] { return fills > 0; }));
    ASSERT_TRUE(list.SelectPath(dir.path() + QStringLiteral("/b.mp3")));
    ASSERT_TRUE(list.SelectPath(dir.path() + QStringLiteral("/a.mp3")));
    const QStringList selected = list.SelectedPaths();
    ASSERT_EQ(selected.size(), 2);
    EXPECT_TRUE(selected.first().endsWith(QStringLiteral("/a.mp3"))); // list order, not selection order
    EXPECT_EQ(selected_events, (QStringList{"b.mp3", "a.mp3"}));
    list.ClearSelection();
    EXPECT_TRUE(list.SelectedPaths().isEmpty());
}

TEST(ShellList, TypeAheadSelectsTheMatchShowsTheLettersAndEndsOnEscOrAPause)
{
    QTemporaryDir dir;
    for (const char* name : {"alpha.mp3", "beta.mp3", "Bravo.mp3", "brown.mp3"}) {
        QFile file(dir.path() + QLatin1Char('/') + QString::fromLatin1(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    TShellList list;
    list.resize(300, 200);
    list.SetFolder(dir.path());
    list.show();
    ASSERT_TRUE(pelu::test::wait_until([&] { return list.Paths().size() == 4; }));
    // Rows a pointer can hit.
    EXPECT_GE(list.visualRect(list.model()->index(0, 0, list.rootIndex())).height(), 20);
    auto* typed = list.findChild<QLabel*>(QStringLiteral("TypedPrefix"));
    ASSERT_NE(typed, nullptr);
    QTest::keyClicks(&list, QStringLiteral("bro"));
    EXPECT_EQ(list.SelectedPaths(), QStringList{dir.path() + QStringLiteral("/brown.mp3")});
    EXPECT_TRUE(typed->isVisible());
    EXPECT_EQ(typed->text(), QStringLiteral("bro"));
    QTest::keyClick(&list, Qt::Key_Escape);
    EXPECT_FALSE(typed->isVisible());
    EXPECT_TRUE(list.TypedPrefix().isEmpty());
    // A new search starts after the present row (wrapping round to beta); the
    // same letter again steps on to the next row with it.
    QTest::keyClicks(&list, QStringLiteral("bb"));
    EXPECT_EQ(list.SelectedPaths(), QStringList{dir.path() + QStringLiteral("/Bravo.mp3")});
    EXPECT_TRUE(pelu::test::wait_until([&] { return !typed->isVisible(); }, TShellList::kTypeAheadPauseMs * 3));
    EXPECT_TRUE(list.TypedPrefix().isEmpty());
}

TEST(PlacesBar, OffersHomeMusicAndMountedVolumesAndOpensOneInTheList)
{
    QTemporaryDir xdg;
    ASSERT_TRUE(QDir().mkpath(xdg.path() + QStringLiteral("/Music")));
    {
        QFile dirs(xdg.path() + QStringLiteral("/user-dirs.dirs"));
        ASSERT_TRUE(dirs.open(QIODevice::WriteOnly));
        dirs.write("XDG_MUSIC_DIR=\"" + xdg.path().toUtf8() + "/Music\"\nXDG_DESKTOP_DIR=\"" + xdg.path().toUtf8() +
                   "/missing\"\n");
    }
    const QByteArray old_config = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", xdg.path().toUtf8());
    const QList<LocatorPlace> places = LocatorPlaces({{QStringLiteral("/media/me/USB STICK"), {}, true},
                                                      {QStringLiteral("/run/media/me/disc"), QStringLiteral("Live"), true},
                                                      {QStringLiteral("/mnt/share"), {}, false},
                                                      {QStringLiteral("/"), {}, true},
                                                      {QStringLiteral("/proc"), {}, true}});
    if (old_config.isNull())
        qunsetenv("XDG_CONFIG_HOME");
    else
        qputenv("XDG_CONFIG_HOME", old_config);
    EXPECT_EQ(places, (QList<LocatorPlace>{{QStringLiteral("Home"), QDir::homePath()},
                                           {QStringLiteral("Music"), xdg.path() + QStringLiteral("/Music")},
                                           {QStringLiteral("USB STICK"), QStringLiteral("/media/me/USB STICK")},
                                           {QStringLiteral("Live"), QStringLiteral("/run/media/me/disc")}}));

    TShellList list;
    TPlacesBar bar;
    bar.SetShellList(&list);
    QString opened;
    bar.OnPlace = [&](QObject*, const QString& path) { opened = path; };
    bar.SetPlaces({{QStringLiteral("Here"), xdg.path()}, {QStringLiteral("Music"), xdg.path() + QStringLiteral("/Music")}});
    bar.resize(300, 20);
    QTest::mouseClick(bar.Button(1), Qt::LeftButton);
    EXPECT_EQ(list.Folder(), xdg.path() + QStringLiteral("/Music"));
    EXPECT_EQ(opened, list.Folder());
}

TEST(SkinnedMenu, SeparatorsChecksAndTheTitleBand)
{
    TSkinnedMenu menu;
    menu.SetTitleText(QStringLiteral("Digital Ember Extensions"));
    QAction* view = menu.AddItem(QStringLiteral("View PELU Spectrum"), true, true);
    QAction* dash = menu.AddItem(QStringLiteral("-"));
    QAction* loop = menu.AddItem(QStringLiteral("Loop Track"), true, false);
    EXPECT_TRUE(view->isChecked());
    EXPECT_TRUE(dash->isSeparator());
    EXPECT_FALSE(loop->isChecked());
    menu.popup(QPoint(10, 10));
    QCoreApplication::processEvents();
    // The items begin right of the title band.
    EXPECT_GE(menu.actionGeometry(view).left(), TSkinnedMenu::kTitleBandWidth);
    const QImage shot = menu.grab().toImage();
    // Near the bottom of the band the shading is dark; the top starts light.
    const QColor top(shot.pixel(8, 3)), bottom(shot.pixel(3, shot.height() - 4));
    EXPECT_GT(top.lightness(), bottom.lightness());
    menu.hide();
}

TEST(ToolbarButton, ClickDropsItsMenuAndReportsEnter)
{
    TToolbarButton button(QStringLiteral("Playlist"));
    button.resize(63, 17);
    int clicks = 0;
    button.OnClick = [&](QObject*) { ++clicks; };
    QTest::mouseClick(&button, Qt::LeftButton);
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(button.accessibleName(), QStringLiteral("Playlist"));
    button.setFocus();
    QTest::keyClick(&button, Qt::Key_Space);
    EXPECT_EQ(clicks, 2);
}

} // namespace
