// The playlist panel's Load and Save with the lists other players write:
// M3U8 and PLS through the panel's dialogs, what is skipped and said on the
// status line, long lists loaded a slice at a time with the event loop running
// between slices, and a load that is cancelled by Clear, by another Load or by
// the band closing, which never leaves half a list in the resume file.
#include "band_fixture.h"

#include "platform/fs/file_names.h"
#include "playlist/playlist_formats.h"
#include "player/playlist_loader.h"
#include "player/resume_writer.h"
#include "widgets/explorer_popup.h"

#include <QFile>
#include <QLineEdit>
#include <QTimer>

namespace pelu::player::test {
namespace {

class PlaylistLoad : public BandFixture {
protected:
    void SetUp() override
    {
        BandFixture::SetUp();
        std::filesystem::create_directories(dir_.path() / "lists");
        std::filesystem::create_directories(dir_.path() / "music" / kLongFolder);
    }
    QString Path(const std::string& relative) { return QString::fromStdString((dir_.path() / relative).string()); }
    QString WriteText(const std::string& relative, const QByteArray& text)
    {
        return QString::fromStdString(dir_.write(relative, pelu::test::Bytes(text.begin(), text.end())).string());
    }
    // The panel's Load: the dialog answers `file_name`, the panel comes back
    // and is closed again.
    void LoadThroughPanel(const QString& file_name)
    {
        open_answers_ = {file_name};
        CloseThePanelOnceItIsBack();
        Form().KamButton7Click();
    }
    void SaveThroughPanel(const QString& file_name)
    {
        save_answers_ = {file_name};
        CloseThePanelOnceItIsBack();
        Form().KamButton8Click();
    }
    // A load may run the event loop before the panel comes back: close it only
    // once it is shown again, however long that takes on a loaded machine.
    void CloseThePanelOnceItIsBack()
    {
        auto* closer = new QTimer(&Form());
        closer->setInterval(50);
        QObject::connect(closer, &QTimer::timeout, closer, [this, closer] {
            if (!C().playlist_panel->isVisible())
                return;
            closer->deleteLater();
            C().playlist_panel->ClosePanel();
        });
        closer->start();
    }
    bool WaitLoaded() { return wait_until([&] { return !Form().LoadingPlaylist(); }, 60000); }
    QStringList Paths()
    {
        QStringList paths;
        for (int i = 0; i < Rows(); ++i)
            paths << Column(i, 2);
        return paths;
    }
    // A list of `entries` entries over three songs, with paths long enough that
    // the list is read on the loader's own thread.
    QString BigList(int entries)
    {
        const QStringList songs = {Music(kLongFolder + "/one.mp3", 0.2), Music(kLongFolder + "/two.mp3", 0.2),
                                   Music(kLongFolder + "/three.mp3", 0.2)};
        QByteArray text = "#EXTM3U\n";
        for (int i = 0; i < entries; ++i)
            text += "#EXTINF:1,Artist - Title " + QByteArray::number(i) + "\n" + songs[i % 3].toUtf8() + "\n";
        return WriteText("lists/big.m3u8", text);
    }
    QString Song(const char* name) { return Path("music/" + kLongFolder + "/" + name); }

    const std::string kLongFolder = std::string(120, 'f');
};

TEST_F(PlaylistLoad, M3u8AndPlsLoadThroughThePanelAndSaySkippedEntries)
{
    const QString a = Music("a.mp3"), b = Music("b.mp3");
    Music("notes.txt");
    const QString m3u8 = WriteText("music/list.m3u8", "#EXTM3U\n"
                                                      "#EXTINF:1,Someone - A\n"
                                                      "a.mp3\n"
                                                      "missing.mp3\n"
                                                      "notes.txt\n"
                                                      "http://example.org/stream.mp3\n"
                                                      "#EXTINF:1,B\n" +
                                                          QUrl::fromLocalFile(b).toEncoded() + "\n");
    LoadThroughPanel(m3u8);
    ASSERT_TRUE(WaitLoaded());
    EXPECT_EQ(dialogs_.back(), "Load Brindle Studios Media List");
    EXPECT_EQ(dialog_filters_.back(), "All playlists|*.bri;*.m3u;*.m3u8;*.pls|Brindle Studios Media List|*.bri|"
                                      "M3U playlist|*.m3u;*.m3u8|PLS playlist|*.pls");
    EXPECT_EQ(Paths(), QStringList({a, b}));
    EXPECT_EQ(RowText(1), "2. b");
    EXPECT_EQ(Status(), "Playlist: 2 added, 3 entries skipped (not files or not MP3s)");

    const QString pls = WriteText("music/list.pls", "[playlist]\nFile2=a.mp3\nFile1=" + b.toUtf8() +
                                                        "\nFile3=gone.mp3\nNumberOfEntries=3\nVersion=2\n");
    LoadThroughPanel(pls);
    ASSERT_TRUE(WaitLoaded());
    EXPECT_EQ(Paths(), QStringList({b, a})) << "a Load replaces the playlist";
    EXPECT_EQ(Column(1, 4), "1") << "keys follow the new list";
    EXPECT_EQ(Status(), "Playlist: 2 added, 1 entries skipped (not files or not MP3s)");

    // A line too long for a list is skipped alone.
    LoadThroughPanel(WriteText("music/huge-line.m3u", QByteArray(kMaxPlaylistLineBytes + 10, 'x') + "\nb.mp3\n"));
    ASSERT_TRUE(WaitLoaded());
    EXPECT_EQ(Paths(), QStringList({b}));
    EXPECT_EQ(Status(), "Playlist: 1 added, 1 entries skipped (not files or not MP3s)");
}

TEST_F(PlaylistLoad, AListThatCannotBeReadReplacesNothingAndSaysWhy)
{
    const QString a = Music("a.mp3"), b = Music("b.mp3");
    Form().AddFiles({a, b, a});
    CloseForm(); // the resume list now holds the three rows
    Form();
    const QStringList before = Paths();
    ASSERT_EQ(before.size(), 3);

    QByteArray cut = WriteMediaList(std::vector<PlaylistRow>(40, PlaylistRow{"1. x", {"", "", a, "", "0", ""}}));
    cut.chop(100);
    const QString damaged = WriteText("lists/damaged.bri", cut);
    const std::pair<QString, QString> failures[] = {
        {Path("lists/missing.m3u"), "missing.m3u: no such file"},
        {Path("lists/missing.bri"), "missing.bri: no such file"},
        {damaged, "damaged.bri: "},
    };
    for (const auto& [list, why] : failures) {
        LoadThroughPanel(list);
        ASSERT_TRUE(WaitLoaded());
        EXPECT_EQ(Paths(), before) << list.toStdString();
        EXPECT_TRUE(Status().startsWith("Playlist not loaded: ")) << Status().toStdString();
        EXPECT_TRUE(Status().contains(why, Qt::CaseInsensitive)) << Status().toStdString();
    }
    // Nothing changed, so the resume list is what it was.
    CloseForm();
    std::vector<PlaylistRow> resumed;
    LoadMediaListFile(StorageFile("es.xes"), resumed);
    ASSERT_EQ(resumed.size(), 3u);
    EXPECT_EQ(resumed[1].columns[2], b);
}

TEST_F(PlaylistLoad, DropsKeepNamesThatAreNotUtf8AndCountBrokenFilesWithoutAsking)
{
    Form().AddFiles({Music("first.mp3")});
    std::filesystem::create_directories(dir_.path() / "music" / "drop" / "inner");
    const pelu::test::Bytes song = pelu::test::encode_mp3(pelu::test::cbr128_stereo_44k(0.3));
    const std::filesystem::path latin1 = dir_.write("music/drop/\xE9t\xE9.mp3", song);
    dir_.write("music/drop/inner/10 ten.mp3", song);
    dir_.write("music/drop/inner/9 nine.mp3", song);
    for (const char* broken : {"music/drop/broken 1.mp3", "music/drop/inner/broken 2.mp3", "music/drop/inner/broken 3.mp3"})
        dir_.write(broken, pelu::test::garbage(3000));
    const QByteArray latin1_bytes = QByteArray::fromStdString(latin1.string());
    // A folder, and the Latin-1 file itself as a file manager sends it (percent-encoded bytes).
    Form().AddDroppedUrls({QUrl::fromLocalFile(Path("music/drop")),
                           QUrl::fromEncoded("file://" + latin1_bytes.toPercentEncoding("/"))});
    EXPECT_TRUE(Status().startsWith("Loading playlist")) << "the walk runs off the band's thread";
    ASSERT_TRUE(WaitLoaded());
    ASSERT_EQ(Rows(), 1 + 3 + 1);
    QStringList names;
    int latin1_rows = 0;
    for (int i = 1; i < Rows(); ++i) {
        names << RowText(i).section(' ', 1);
        latin1_rows += platform::fs::encode_file_name(Column(i, 2)) == latin1_bytes;
    }
    EXPECT_EQ(latin1_rows, 2) << "the name's own bytes, from the folder and from the file's URL";
    EXPECT_EQ(names.indexOf("9 nine") + 1, names.indexOf("10 ten")) << "natural order";
    EXPECT_TRUE(messages_.empty());
    EXPECT_EQ(Status(), "Playlist: 4 added, 3 files could not be read");

    // Clear cancels a drop still being walked or added.
    Form().AddDroppedUrls({QUrl::fromLocalFile(Path("music"))});
    Form().ClearPlaylist1Click();
    EXPECT_FALSE(Form().LoadingPlaylist());
    QTest::qWait(200);
    EXPECT_EQ(Rows(), 0);
}

TEST_F(PlaylistLoad, AFailedSaveNamesTheSystemError)
{
    Form().AddFiles({Music("a.mp3")});
    for (const char* name : {"lists/taken.bri", "lists/taken.m3u8", "lists/taken.pls"}) {
        std::filesystem::create_directories(dir_.path() / name);
        SaveThroughPanel(Path(name));
        EXPECT_TRUE(Status().startsWith("Playlist not saved: ")) << Status().toStdString();
        EXPECT_TRUE(Status().endsWith("Is a directory")) << Status().toStdString();
    }
}

TEST_F(PlaylistLoad, SaveWritesTheKindItsNameSaysAndLoadsBackTheSameRows)
{
    const QString a = Music("a.mp3"), b = Music("b b.mp3");
    Form().AddFiles({a, b, a});
    const QStringList before = Paths();

    SaveThroughPanel(Path("lists/out.m3u8"));
    EXPECT_EQ(dialogs_.back(), "Save Playlist as Brindle Studios Media List");
    EXPECT_EQ(dialog_filters_.back(), "Brindle Studios Media List|*.bri|M3U8 playlist|*.m3u8|PLS playlist|*.pls");
    QFile m3u8(Path("lists/out.m3u8"));
    ASSERT_TRUE(m3u8.open(QIODevice::ReadOnly));
    EXPECT_TRUE(m3u8.readAll().startsWith("#EXTM3U\n"));
    SaveThroughPanel(Path("lists/out.pls"));
    QFile pls(Path("lists/out.pls"));
    ASSERT_TRUE(pls.open(QIODevice::ReadOnly));
    EXPECT_TRUE(pls.readAll().startsWith("[playlist]"));
    SaveThroughPanel(Path("lists/out.bri"));
    std::vector<PlaylistRow> rows;
    LoadMediaListFile(Path("lists/out.bri"), rows);
    EXPECT_EQ(rows.size(), 3u);

    for (const char* name : {"lists/out.m3u8", "lists/out.pls", "lists/out.bri"}) {
        Form().ClearPlaylist1Click();
        LoadThroughPanel(Path(name));
        ASSERT_TRUE(WaitLoaded());
        EXPECT_EQ(Paths(), before) << name;
        EXPECT_EQ(RowText(2), "3. a") << name;
    }
}

TEST_F(PlaylistLoad, ALongListLoadsInSlicesWithTheEventLoopRunningBetween)
{
    constexpr int kEntries = 3000;
    const QString list = BigList(kEntries);
    ASSERT_GT(QFileInfo(list).size(), PlaylistLoader::kInlineReadBytes);
    C().search->setText("two"); // rows that arrive obey the search too
    int ticks_while_loading = 0;
    QStringList progress_seen;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (Form().LoadingPlaylist()) {
            ++ticks_while_loading;
            progress_seen << Status();
        }
    });
    ticker.start(1);
    Form().LoadPlaylistFile(list);
    EXPECT_TRUE(Form().LoadingPlaylist()) << "the list file is read on a thread of its own";
    ASSERT_TRUE(WaitLoaded());
    ticker.stop();
    EXPECT_GT(ticks_while_loading, 2) << "the event loop ran while the list loaded";
    EXPECT_TRUE(progress_seen.contains(QStringLiteral("Loading playlist...")));
    EXPECT_TRUE(std::any_of(progress_seen.begin(), progress_seen.end(), [](const QString& text) {
        return text.startsWith("Loading playlist... ") && text.endsWith(" of 3000");
    }));
    ASSERT_EQ(Rows(), kEntries);
    int shown = 0;
    for (int i = 0; i < kEntries; ++i) {
        ASSERT_EQ(Column(i, 4), QString::number(i));
        ASSERT_EQ(RowText(i).section(QLatin1Char(' '), 0, 0), QString::number(i + 1) + ".");
        shown += C().playlist->IsRowHidden(i) ? 0 : 1;
    }
    EXPECT_EQ(shown, kEntries / 3);
    EXPECT_EQ(Status(), "Corvel-Ready") << "nothing skipped: the status line is as it was";
    // The end of the load is a change of the playlist: the resume file follows.
    ASSERT_TRUE(wait_until([&] {
        std::vector<PlaylistRow> rows;
        try {
            LoadMediaListFile(StorageFile("es.xes"), rows);
        } catch (...) {
        }
        return rows.size() == std::size_t(kEntries);
    }, 10000));
}

TEST_F(PlaylistLoad, ClearAnotherLoadOrClosingCancelsALoadCleanly)
{
    const QString big = BigList(3000);
    const QString small_list = WriteText("music/" + kLongFolder + "/small.m3u8", "one.mp3\ntwo.mp3\n");

    // Clear: nothing more arrives.
    Form().LoadPlaylistFile(big);
    ASSERT_TRUE(wait_until([&] { return Rows() > 0; }));
    Form().ClearPlaylist1Click();
    EXPECT_FALSE(Form().LoadingPlaylist());
    QTest::qWait(100);
    EXPECT_EQ(Rows(), 0);

    // Another Load: its rows alone.
    Form().LoadPlaylistFile(big);
    ASSERT_TRUE(wait_until([&] { return Rows() > 0; }));
    Form().LoadPlaylistFile(small_list);
    ASSERT_TRUE(WaitLoaded());
    QTest::qWait(100);
    EXPECT_EQ(Paths(), QStringList({Song("one.mp3"), Song("two.mp3")}));

    // An edit waiting for the autosave, then a load the band's closing cuts
    // short: the resume file has the edited list, never a part of the new one.
    Form().AddFiles({Song("three.mp3")});
    Form().LoadPlaylistFile(big);
    ASSERT_TRUE(wait_until([&] { return Rows() > 0; }));
    ASSERT_TRUE(Form().LoadingPlaylist());
    CloseForm();
    std::vector<PlaylistRow> rows;
    LoadMediaListFile(StorageFile("es.xes"), rows);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[2].columns[2], Song("three.mp3"));
    EXPECT_EQ(Rows(), 3) << "the next start shows the list from before the load";
}

// The autosave's writer: snapshots given faster than they are written end
// with the newest on disk, and a synchronous save after Wait() is the last word.
TEST(ResumeWriterTest, TheNewestSnapshotWinsAndWaitMeansWritten)
{
    pelu::test::TempDir dir;
    const QString file = QString::fromStdString(dir.file("es.xes").string());
    auto rows_of = [](int count) {
        std::vector<PlaylistRow> rows;
        for (int i = 0; i < count; ++i)
            rows.push_back(PlaylistRow{QString::number(i + 1) + ". x", {"0:01", "[notag]", "/x.mp3", "1000", QString::number(i), ""}});
        return rows;
    };
    {
        ResumeWriter writer;
        for (int count : {20000, 3, 20000, 7})
            writer.Write(file, rows_of(count));
        writer.Wait();
        std::vector<PlaylistRow> read;
        LoadMediaListFile(file, read);
        EXPECT_EQ(read.size(), 7u);

        writer.Write(file, rows_of(20000));
        writer.Wait();
        SaveMediaListFile(file, rows_of(2));
    }
    std::vector<PlaylistRow> read;
    LoadMediaListFile(file, read);
    EXPECT_EQ(read.size(), 2u) << "nothing written after the writer was waited for";
}

} // namespace
} // namespace pelu::player::test
