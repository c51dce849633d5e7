// What the playlist offers beside its own commands: files and folders dropped
// from a file manager, searching, and the resume file written shortly after
// every change.
#include "band_fixture.h"

#include "playlist/media_list.h"
#include "widgets/explorer_popup.h"

#include <QDropEvent>
#include <QFile>
#include <QLineEdit>
#include <QMimeData>

namespace pelu::player::test {
namespace {

class PlaylistExtras : public BandFixture {
protected:
    QStringList Names()
    {
        QStringList names;
        for (int i = 0; i < Rows(); ++i)
            names << RowText(i);
        return names;
    }
    QList<int> ShownRows()
    {
        QList<int> rows;
        for (int i = 0; i < Rows(); ++i)
            if (!C().playlist->IsRowHidden(i))
                rows << i;
        return rows;
    }
    // Drags `urls` over `target` and drops them, as a file manager does.
    void Drop(QWidget* target, const QList<QUrl>& urls)
    {
        auto* data = new QMimeData;
        data->setUrls(urls);
        const QPointF at(10, 10);
        QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(target, &enter);
        QDragMoveEvent move(at.toPoint(), Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(target, &move);
        ASSERT_TRUE(move.isAccepted()) << "the target refuses the drag";
        QDropEvent drop(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(target, &drop);
        EXPECT_TRUE(drop.isAccepted());
        delete data;
    }
    std::filesystem::path Folder(const std::string& relative)
    {
        const auto path = dir_.path() / "drop" / relative;
        std::filesystem::create_directories(path);
        return path;
    }
    QString Mp3In(const std::filesystem::path& folder, const std::string& name)
    {
        const auto path = folder / name;
        pelu::test::write_file(path, pelu::test::encode_mp3(pelu::test::cbr128_stereo_44k(0.5)));
        return QString::fromStdString(path.string());
    }
};

TEST_F(PlaylistExtras, FilesDroppedOnThePlaylistAreAddedAtTheEnd)
{
    Form().AddFiles({Music("first.mp3")});
    const auto folder = Folder("loose");
    const QString a = Mp3In(folder, "a.mp3"), b = Mp3In(folder, "B.MP3");
    pelu::test::write_file(folder / "cover.jpg", pelu::test::garbage(100));
    Drop(C().playlist->viewport(), {QUrl::fromLocalFile(a), QUrl::fromLocalFile(QString::fromStdString((folder / "cover.jpg").string())),
                                    QUrl::fromLocalFile(b), QUrl(QStringLiteral("https://example.org/x.mp3"))});
    ASSERT_TRUE(wait_until([&] { return !Form().LoadingPlaylist(); })) << "added off the band's thread";
    EXPECT_EQ(Names(), (QStringList{"1. first", "2. a", "3. B"}));
    EXPECT_EQ(Column(2, 4), "2") << "keyed as Load Files keys them";
    EXPECT_EQ(Column(1, 2), a);
}

TEST_F(PlaylistExtras, AFolderDroppedOnTheBandIsWalkedInNaturalOrder)
{
    const auto root = Folder("album");
    Mp3In(root, "10 Ten.mp3");
    Mp3In(root, "2 Two.mp3");
    Mp3In(Folder("album/Disc 1"), "1 One.mp3");
    Mp3In(Folder("album/disc 10"), "x.mp3");
    Mp3In(Folder("album/Disc 2"), "y.mp3");
    pelu::test::write_file(root / "notes.txt", pelu::test::garbage(10));
    std::filesystem::create_directory_symlink(root, root / "loop"); // walked once only
    Drop(&Form(), {QUrl::fromLocalFile(QString::fromStdString(root.string()))});
    ASSERT_TRUE(wait_until([&] { return !Form().LoadingPlaylist(); }));
    // Files and folders together by name: "2 Two", "10 Ten", "Disc 1", "Disc 2", "disc 10".
    EXPECT_EQ(Names(), (QStringList{"1. 2 Two", "2. 10 Ten", "3. 1 One", "4. y", "5. x"}));
}

TEST_F(PlaylistExtras, DraggingARowStillMovesIt)
{
    Form().AddFiles({Music("a.mp3"), Music("b.mp3")});
    C().playlist->SetFocusedRow(0);
    Form().ElTree1DragDrop(1);
    EXPECT_EQ(Names(), (QStringList{"1. b", "2. a"}));
}

TEST_F(PlaylistExtras, SearchNarrowsTheRowsWithoutChangingTheList)
{
    Form().AddFiles({Music("Été indien.mp3"), Music("Summer.mp3"), Music("Winter ETE.mp3"), Music("Autumn.mp3")});
    Form().SaveMediaList(StorageFile("before.bri"));
    C().search->setText(QStringLiteral("ete"));
    EXPECT_EQ(ShownRows(), (QList<int>{0, 2}));
    C().search->setText(QStringLiteral("  SUM "));
    EXPECT_EQ(ShownRows(), QList<int>{1});

    // Enter plays the first row shown.
    QTest::keyClick(C().search, Qt::Key_Return);
    EXPECT_TRUE(Form().Playing());
    EXPECT_EQ(Form().CurrentIndex(), 1);
    EXPECT_EQ(Status(), "Playing -Summer.mp3");
    Form().ImageButton4Click();

    C().search->clear();
    EXPECT_EQ(ShownRows(), (QList<int>{0, 1, 2, 3}));
    Form().SaveMediaList(StorageFile("after.bri"));
    std::vector<PlaylistRow> before, after;
    LoadMediaListFile(StorageFile("before.bri"), before);
    LoadMediaListFile(StorageFile("after.bri"), after);
    ASSERT_EQ(before.size(), after.size());
    for (std::size_t i = 0; i < before.size(); ++i) {
        EXPECT_EQ(before[i].text, after[i].text);
        EXPECT_EQ(before[i].columns, after[i].columns);
    }
}

TEST_F(PlaylistExtras, SearchHidesSelectedRowsFromThePlayButton)
{
    Form().AddFiles({Music("alpha.mp3"), Music("beta.mp3")});
    SelectOnly(0);
    C().search->setText(QStringLiteral("beta"));
    EXPECT_TRUE(Selected().isEmpty());
    Form().ImageButton1Click();
    EXPECT_FALSE(Form().Playing());
}

TEST_F(PlaylistExtras, CtrlFInThePanelGoesToTheSearchField)
{
    Form();
    bool focused = false;
    QTimer::singleShot(300, [&] {
        QTest::keyClick(C().playlist, Qt::Key_F, Qt::ControlModifier);
        QCoreApplication::processEvents();
        focused = C().search->hasFocus() || QApplication::focusWidget() == C().search;
        C().playlist_panel->ClosePanel();
    });
    C().playlist_panel->OpenBelow(C().anchors[1]);
    EXPECT_TRUE(focused);
}

TEST_F(PlaylistExtras, TheResumeFileFollowsEditsWithoutClosing)
{
    Form().AddFiles({Music("a.mp3"), Music("b.mp3")});
    EXPECT_FALSE(QFile::exists(StorageFile("es.xes")));
    ASSERT_TRUE(wait_until([&] { return QFile::exists(StorageFile("es.xes")); }, TBandForm::kAutosaveDelayMs + 2000));
    std::vector<PlaylistRow> rows;
    LoadMediaListFile(StorageFile("es.xes"), rows);
    EXPECT_EQ(rows.size(), 2u);

    SelectOnly(0);
    Form().DeleteSelectedFiles2Click();
    ASSERT_TRUE(wait_until(
        [&] {
            std::vector<PlaylistRow> now;
            LoadMediaListFile(StorageFile("es.xes"), now);
            return now.size() == 1;
        },
        TBandForm::kAutosaveDelayMs + 2000));
}

} // namespace
} // namespace pelu::player::test
