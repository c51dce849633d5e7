// The band across its lifetimes: the playlist (adding, moving, deleting, the
// resume file), the seven stored settings in the registry, the equalizer panel
// and presets, the main menu's commands, and the panels.
#include "band_fixture.h"

#include "audio/frequency_analyser.h"
#include "audio/equalizer.h"
#include "audio/level.h"
#include "platform/com/com.h"
#include "playlist/media_list.h"
#include "settings/storage.h"
#include "widgets/analyser_views.h"
#include "widgets/bitmap_slider.h"
#include "widgets/explorer_popup.h"
#include "widgets/shell_views.h"

#include <QAction>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTimer>

namespace pelu::player::test {
namespace {

using platform::registry::Hive;

class Playlist : public BandFixture {
protected:
    QStringList Keys()
    {
        QStringList keys;
        for (int i = 0; i < Rows(); ++i)
            keys << Column(i, 4);
        return keys;
    }
    QStringList Texts()
    {
        QStringList texts;
        for (int i = 0; i < Rows(); ++i)
            texts << RowText(i);
        return texts;
    }
};

TEST_F(Playlist, FirstStartWithoutResumeFileIsEmpty)
{
    EXPECT_TRUE(Form().Shown());
    EXPECT_EQ(Rows(), 0);
    EXPECT_TRUE(Selected().isEmpty());
    EXPECT_FALSE(QFile::exists(StorageFile("es.xes")));
}

TEST_F(Playlist, LoadFilesTakesTheFileListSelectionWhateverItsLetterCase)
{
    Music("SONG.MP3");
    Music("my.song.mp3");
    Music("notes.txt");
    const QString folder = QString::fromStdString((dir_.path() / "music").string());
    widgets::TShellList* files = C().files;
    files->SetFolder(folder);
    ASSERT_TRUE(wait_until([&] { return files->Paths().size() >= 2; }));
    for (const QString& path : files->Paths())
        files->SelectPath(path);
    Form().KamButton1Click();
    ASSERT_EQ(Rows(), 2);
    QStringList names;
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(RowText(i).startsWith(QString::number(i + 1) + ". "));
        names << RowText(i).mid(QString::number(i + 1).size() + 2);
    }
    names.sort();
    EXPECT_EQ(names, (QStringList{"SONG", "my.song"}));
    EXPECT_EQ(Keys(), (QStringList{"0", "1"}));
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(Column(i, 1), "[notag]");
        EXPECT_EQ(Column(i, 5), "");
        EXPECT_EQ(Icon(i), -1);
        EXPECT_GT(Column(i, 3).toInt(), 900);
        EXPECT_TRUE(Column(i, 2).startsWith(folder));
    }
    EXPECT_TRUE(files->SelectedPaths().isEmpty());

    // A file named ".mp3" (hidden from the list) gets an empty name.
    Form().AddFiles({Music(".mp3")});
    EXPECT_EQ(RowText(2), "3. ");
}

TEST_F(Playlist, KeysAreNeverRenumbered)
{
    Form().AddFiles({Music("a.mp3"), Music("b.mp3"), Music("c.mp3")});
    EXPECT_EQ(Keys(), (QStringList{"0", "1", "2"}));
    SelectOnly(0);
    Form().DeleteSelectedFiles2Click();
    Form().AddFiles({Music("d.mp3")});
    EXPECT_EQ(Texts(), (QStringList{"1. b", "2. c", "3. d"}));
    EXPECT_EQ(Keys(), (QStringList{"1", "2", "2"}));
}

TEST_F(Playlist, MovingARowFindsTheCurrentRowByItsKey)
{
    Form().AddFiles({Music("a.mp3", 3.0), Music("b.mp3"), Music("c.mp3")});
    SelectOnly(0);
    Form().ImageButton1Click();
    ASSERT_EQ(Form().CurrentKey(), "0");
    C().playlist->SetFocusedRow(0);
    Form().ElTree1DragDrop(2);
    EXPECT_EQ(Texts(), (QStringList{"1. b", "2. c", "3. a"}));
    EXPECT_EQ(Form().CurrentIndex(), 2);
    // Dropping on itself, or where there is no row, changes nothing.
    C().playlist->SetFocusedRow(1);
    Form().ElTree1DragDrop(1);
    Form().ElTree1DragDrop(-1);
    EXPECT_EQ(Texts(), (QStringList{"1. b", "2. c", "3. a"}));
    Form().ImageButton4Click();
}

TEST_F(Playlist, DeletingThePlayingRowStopsPlayback)
{
    Form().AddFiles({Music("a.mp3"), Music("b.mp3", 3.0), Music("c.mp3")});
    SelectOnly(1);
    Form().ImageButton1Click();
    ASSERT_TRUE(OutputPlaying());
    Form().DeleteSelectedFiles2Click();
    EXPECT_FALSE(OutputPlaying());
    EXPECT_FALSE(Form().Playing());
    EXPECT_EQ(Texts(), (QStringList{"1. a", "2. c"}));
    EXPECT_EQ(Form().CurrentIndex(), 1); // now the row that took its place
    EXPECT_EQ(Status(), "Corvel-Ready");
}

TEST_F(Playlist, ClearingStopsAndEmptiesTheList)
{
    Form().AddFiles({Music("a.mp3", 3.0), Music("b.mp3")});
    SelectOnly(0);
    Form().ImageButton1Click();
    Form().ClearPlaylist1Click();
    EXPECT_EQ(Rows(), 0);
    EXPECT_FALSE(OutputPlaying());
}

TEST_F(Playlist, TheResumeListComesBackWithTheLastRowSelected)
{
    Form().AddFiles({Music("a.mp3"), Music("b.mp3", 3.0), Music("c.mp3")});
    SelectOnly(1);
    Form().ImageButton1Click();
    CloseForm();
    ASSERT_TRUE(QFile::exists(StorageFile("es.xes")));

    // The next browser run.
    Form();
    EXPECT_EQ(Texts(), (QStringList{"1. a", "2. b", "3. c"}));
    EXPECT_EQ(Selected(), QList<int>{1});
    EXPECT_EQ(Form().CurrentIndex(), 1);
    EXPECT_EQ(Form().LastHighX(), 1);
    // From now on a selection change forgets it.
    SelectOnly(2);
    EXPECT_EQ(Form().LastHighX(), 0);
}

TEST_F(Playlist, AOneSongListAndAnEmptyListAreKeptToo)
{
    Form().AddFiles({Music("a.mp3"), Music("b.mp3")});
    CloseForm();
    Form();
    ASSERT_EQ(Rows(), 2);
    SelectOnly(0);
    Form().DeleteSelectedFiles2Click();
    CloseForm();
    Form();
    EXPECT_EQ(Texts(), QStringList{"1. b"});
    Form().ClearPlaylist1Click();
    CloseForm();
    Form();
    EXPECT_EQ(Rows(), 0);
}

TEST_F(Playlist, AResumeListThatCannotBeReadKeepsItsRowsAndIsNotOverwritten)
{
    // Two good rows followed by a record whose text length is negative.
    std::vector<PlaylistRow> rows;
    for (int i = 0; i < 2; ++i)
        rows.push_back({QStringLiteral("%1. t%1").arg(i + 1), {"0:01.000", "[notag]", "/x/t.mp3", "1000", QString::number(i), ""}, -1, false});
    QByteArray bytes = WriteMediaList(rows);
    // Corrupt the second row's text length (the field after its version).
    const QByteArray second = QByteArrayLiteral("2. t2");
    const qsizetype at = bytes.indexOf(second);
    ASSERT_GT(at, 4);
    bytes[at - 4] = char(0xFF);
    bytes[at - 3] = char(0xFF);
    bytes[at - 2] = char(0xFF);
    bytes[at - 1] = char(0xFF);
    {
        QFile file(StorageFile("es.xes"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    Form().SetLastHighX(0);
    EXPECT_TRUE(Form().Shown()) << "the rest of the showing still runs";
    EXPECT_EQ(Texts(), QStringList{"1. t1"});
    CloseForm();
    QFile file(StorageFile("es.xes"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), bytes) << "a list we could not read is never overwritten";
}

TEST_F(Playlist, TemporariesOfKilledSavesGoAtTheNextStart)
{
    // A save killed in an earlier run left its temporary file; one a minute
    // old or younger may be another band's save in progress.
    const QString old_temporary = StorageFile(".es.xes.k3j9x.tmp"), fresh_temporary = StorageFile(".es.xes.q8.tmp");
    for (const QString& name : {old_temporary, fresh_temporary, StorageFile(".other.k3j9x.tmp")}) {
        QFile file(name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(4096, 'x'));
        file.flush();
        if (name != fresh_temporary) {
            ASSERT_TRUE(file.setFileTime(QDateTime::currentDateTimeUtc().addSecs(-3600), QFileDevice::FileModificationTime));
        }
    }
    Form();
    EXPECT_FALSE(QFile::exists(old_temporary));
    EXPECT_TRUE(QFile::exists(fresh_temporary));
    EXPECT_TRUE(QFile::exists(StorageFile(".other.k3j9x.tmp"))) << "only the resume list's own";
}

// ---------------------------------------------------------------------------

class StoredSettings : public BandFixture {
protected:
    std::optional<TrsValue> Stored(const QString& name)
    {
        auto key = registry_->open_key(Hive::CurrentUser, QStringLiteral("Software\\PELU\\XPD"));
        if (!key)
            return std::nullopt;
        auto value = registry_->query(*key, name);
        if (!value || value->type != platform::registry::ValueType::String)
            return std::nullopt;
        // Stored scrambled: unscrambling with the band's key gives the typed value.
        return TrsUnscrambleValue(TrsValue::String(value->text), -1286473519);
    }
};

TEST_F(StoredSettings, TheSevenValuesAreStoredScrambled)
{
    const QString song = Music("a.mp3");
    Form().AddFiles({Music("x.mp3"), song});
    SelectOnly(1);
    Form().ImageButton1Click();
    Form().emberxMouseDown();
    Form().VStereoLMeter1Click();
    CloseForm();

    auto key = registry_->open_key(Hive::CurrentUser, QStringLiteral("Software\\PELU\\XPD"));
    ASSERT_TRUE(key);
    const auto values = registry_->values(*key);
    QStringList names;
    for (const auto& v : values)
        names << v.name;
    for (const char* name : {"storedlocx", "emberxix", "lasthighx", "audiox.FileName", "ViewPELUSpectrum1.Checked",
                             "VStereoLMeter1.Checked", "VStereoRMeter1.Checked", "DLL Location"})
        EXPECT_TRUE(names.contains(QString::fromLatin1(name))) << name;
    // Plain text nowhere but in "DLL Location".
    for (const auto& v : values) {
        if (v.name != "DLL Location") {
            EXPECT_FALSE(v.text.contains(QStringLiteral("a.mp3"))) << v.name.toStdString();
        }
    }

    EXPECT_EQ(Stored("storedlocx")->AsString(), storage_folder_);
    EXPECT_EQ(Stored("emberxix")->AsInteger(), 1);
    EXPECT_EQ(Stored("lasthighx")->AsInteger(), 1);
    EXPECT_EQ(Stored("audiox.FileName")->AsString(), song);
    EXPECT_EQ(Stored("ViewPELUSpectrum1.Checked")->AsString(), "True");
    EXPECT_EQ(Stored("VStereoLMeter1.Checked")->AsString(), "False");
    EXPECT_EQ(Stored("VStereoRMeter1.Checked")->AsString(), "True");
}

TEST_F(StoredSettings, TheViewItemsSurviveARestartAndLoopTrackDoesNot)
{
    Form().VStereoLMeter1Click();
    EXPECT_FALSE(C().level_left->Level()->Enabled());
    EXPECT_TRUE(C().level_right->Level()->Enabled());
    Form().LoopTrack1Click();
    Form().emberxMouseDown();
    CloseForm();

    Form();
    EXPECT_FALSE(Form().MenuItem("VStereoLMeter1")->isChecked());
    EXPECT_FALSE(C().level_left->Level()->Enabled()) << "the left meter is MMLevel2";
    EXPECT_TRUE(C().level_right->Level()->Enabled());
    EXPECT_TRUE(C().spectrum->Spectrum()->Enabled());
    EXPECT_FALSE(Form().MenuItem("LoopTrack1")->isChecked());
    EXPECT_EQ(Form().LoopMode(), 0);
    EXPECT_EQ(Form().emberxix(), 0) << "the time display always starts in elapsed mode";
}

TEST_F(StoredSettings, TheLastFileIsOpenedAgainWithoutPlaying)
{
    const QString song = Music("a.mp3");
    Form().AddFiles({song});
    SelectOnly(0);
    Form().ImageButton1Click();
    CloseForm();
    Form();
    EXPECT_EQ(Form().audiox()->FileName(), song);
    EXPECT_FALSE(OutputPlaying());
}

TEST_F(StoredSettings, WithoutDllLocationTheDataFolderIsUsed)
{
    auto key = registry_->open_key(Hive::CurrentUser, QStringLiteral("Software\\PELU\\XPD"));
    registry_->delete_value(*key, QStringLiteral("DLL Location"));
    const QString data_home = QString::fromStdString((dir_.path() / "data").string());
    qputenv("XDG_DATA_HOME", data_home.toUtf8());
    EXPECT_EQ(Form().storedlocx(), data_home + "/pelu/");
    Form().AddFiles({Music("a.mp3"), Music("b.mp3")});
    CloseForm();
    EXPECT_TRUE(QFile::exists(data_home + "/pelu/es.xes"));
    qunsetenv("XDG_DATA_HOME");
}

// ---------------------------------------------------------------------------

class EqualizerPanel : public BandFixture {
protected:
    void WritePreset(const QString& file, const QString& first_f1, const QList<QString>& gains)
    {
        QFile out(StorageFile(file));
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        QByteArray text = "[EQ.BrindleX]\r\nFFTLen=1024\r\nSamplerate=44100\r\nWindow=1\r\nBands=16\r\n";
        double f = 25;
        for (int i = 0; i < 16; ++i) {
            const QString f1 = i == 0 ? first_f1 : QString::number(f);
            text += QStringLiteral("Band%1 f1=%2\r\nBand%1 f2=%3\r\nBand%1 Gain=%4\r\nBand%1 Enabled=1\r\n")
                        .arg(i)
                        .arg(f1)
                        .arg(f * 1.5)
                        .arg(gains.value(i, QStringLiteral("0")))
                        .toUtf8();
            f *= 1.5;
        }
        out.write(text);
    }
    int Slider(int n) { return C().bands[n - 1]->Position(); }
};

TEST_F(EqualizerPanel, StartUpSetsTheSlidersTruncatedTowardZero)
{
    WritePreset("eqdata.ini", "31,5", {"0", "0", "0", "2.5", "3.9", "-2.7", "16"});
    Form();
    ASSERT_EQ(Form().eq()->Filters().Count(), 16);
    EXPECT_FLOAT_EQ(Form().eq()->Filters()[0]->F1(), 31.5f) << "a \",\" decimal separator reads the same";
    EXPECT_EQ(Slider(4), 2);
    EXPECT_EQ(Slider(5), 3);
    EXPECT_EQ(Slider(6), -2);
    EXPECT_EQ(Slider(7), 16);
    EXPECT_EQ(Slider(1), 0);
}

TEST_F(EqualizerPanel, ReleasingASliderSetsOnlyItsBand)
{
    WritePreset("eqdata.ini", "25", {"1", "1", "1", "1", "1", "1"});
    Form();
    C().bands[4]->SetPosition(16);
    Form().BandTrackEnd(5);
    EXPECT_FLOAT_EQ(Form().eq()->Filters()[4]->Gain(), 16.0f);
    for (int i : {0, 3, 5})
        EXPECT_FLOAT_EQ(Form().eq()->Filters()[i]->Gain(), 1.0f);
}

TEST_F(EqualizerPanel, SaveAndDefaultKeepTheSettingsForTheNextStart)
{
    WritePreset("eqdata.ini", "25", {});
    Form();
    C().bands[2]->SetPosition(-7);
    Form().BandTrackEnd(3);
    Form().KamButton5Click();
    CloseForm();
    Form();
    EXPECT_EQ(Slider(3), -7);

    // Default without "default.ini": the gains stay, the sliders show them, and
    // the present settings are written.
    QFile::remove(StorageFile("eqdata.ini"));
    Form().KamButton6Click();
    EXPECT_EQ(Slider(3), -7);
    EXPECT_FLOAT_EQ(Form().eq()->Filters()[2]->Gain(), -7.0f);
    EXPECT_TRUE(QFile::exists(StorageFile("eqdata.ini")));

    // Default with a factory file: its gains everywhere.
    WritePreset("default.ini", "25", {"4"});
    Form().KamButton6Click();
    EXPECT_EQ(Slider(1), 4);
    EXPECT_EQ(Slider(3), 0);
    CloseForm();
    Form();
    EXPECT_EQ(Slider(1), 4);
}

TEST_F(EqualizerPanel, ARefusedPresetOrAFailedSaveSaysWhyAndKeepsTheSettings)
{
    WritePreset("eqdata.ini", "25", {"3"});
    Form();
    const QByteArray saved = [&] {
        QFile file(StorageFile("eqdata.ini"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }();
    // Presets the equalizer cannot use: refused whole before anything changes.
    const std::pair<QByteArray, QString> refused[] = {
        {"[EQ.BrindleX]\nFFTLen=1024\nBands=40000\n", "Bands=40000 is outside 0..4096"},
        {"[EQ.BrindleX]\nFFTLen=1024\nBands=2\nBand1 Gain=1e30\n", "Band1 Gain=1e+30 is outside -96..96 dB"},
    };
    for (const auto& [text, why] : refused) {
        QFile out(StorageFile("default.ini"));
        ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(text);
        out.close();
        EXPECT_ANY_THROW(Form().KamButton6Click());
        EXPECT_TRUE(Status().startsWith("Default settings not loaded: ")) << Status().toStdString();
        EXPECT_TRUE(Status().endsWith(why)) << Status().toStdString();
        ASSERT_EQ(Form().eq()->Filters().Count(), 16);
        EXPECT_FLOAT_EQ(Form().eq()->Filters()[0]->Gain(), 3.0f);
        EXPECT_EQ(Slider(1), 3);
        QFile kept(StorageFile("eqdata.ini"));
        ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
        EXPECT_EQ(kept.readAll(), saved) << "nothing is saved after a refusal";
    }

    // Refused at start-up: said the same way.
    CloseForm();
    {
        QFile out(StorageFile("eqdata.ini"));
        ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(refused[0].first);
    }
    Form();
    EXPECT_TRUE(Status().startsWith("Equalizer settings not loaded: ")) << Status().toStdString();
    EXPECT_TRUE(Status().endsWith(refused[0].second)) << Status().toStdString();

    // A Save that fails names the system's error (the file links into a
    // folder that is gone).
    QFile::remove(StorageFile("eqdata.ini"));
    ASSERT_TRUE(QFile::link(StorageFile("gone/eqdata.ini"), StorageFile("eqdata.ini")));
    EXPECT_ANY_THROW(Form().KamButton5Click());
    EXPECT_TRUE(Status().startsWith("Equalizer settings not saved: ")) << Status().toStdString();
    EXPECT_TRUE(Status().endsWith("No such file or directory")) << Status().toStdString();
}

TEST_F(EqualizerPanel, FewerBandsThanSlidersLeaveTheOthersAlone)
{
    Form();
    Form().eq()->Filters().Clear();
    C().bands[10]->SetPosition(5);
    Form().BandTrackEnd(11); // no band 10: nothing happens
    EXPECT_EQ(Form().eq()->Filters().Count(), 0);
}

// ---------------------------------------------------------------------------

// The browser as the band sees it: its two calls recorded.
class RecordingBrowser : public com::IWebBrowser2 {
public:
    QStringList navigated;
    std::vector<std::array<com::VARIANT, 4>> arguments;
    int quits = 0;
    int references = 1;

    com::HRESULT QueryInterface(com::REFIID, void** out) override
    {
        *out = nullptr;
        return com::E_NOINTERFACE;
    }
    com::ULONG AddRef() override { return com::ULONG(++references); }
    com::ULONG Release() override { return com::ULONG(--references); }
    com::HRESULT GetTypeInfoCount(com::UINT* count) override
    {
        *count = 0;
        return com::S_OK;
    }
    com::HRESULT GetTypeInfo(com::UINT, com::LCID, com::ITypeInfo**) override { return com::E_NOTIMPL; }
    com::HRESULT GetIDsOfNames(com::REFIID, char16_t**, com::UINT, com::LCID, com::DISPID*) override
    {
        return com::E_NOTIMPL;
    }
    com::HRESULT Invoke(com::DISPID, com::REFIID, com::LCID, com::WORD, com::DISPPARAMS*, com::VARIANT*,
                        com::EXCEPINFO*, com::UINT*) override
    {
        return com::E_NOTIMPL;
    }
    com::HRESULT GoBack() override { return com::E_NOTIMPL; }
    com::HRESULT GoForward() override { return com::E_NOTIMPL; }
    com::HRESULT GoHome() override { return com::E_NOTIMPL; }
    com::HRESULT Navigate(com::BSTR url, com::VARIANT* flags, com::VARIANT* target, com::VARIANT* post,
                          com::VARIANT* headers) override
    {
        navigated << QString::fromStdU16String(std::u16string(url));
        arguments.push_back({*flags, *target, *post, *headers});
        return com::S_OK;
    }
    com::HRESULT Refresh() override { return com::E_NOTIMPL; }
    com::HRESULT Stop() override { return com::E_NOTIMPL; }
    com::HRESULT get_LocationName(com::BSTR*) override { return com::E_NOTIMPL; }
    com::HRESULT get_LocationURL(com::BSTR*) override { return com::E_NOTIMPL; }
    com::HRESULT get_Busy(com::VARIANT_BOOL*) override { return com::E_NOTIMPL; }
    com::HRESULT Quit() override
    {
        ++quits;
        return com::S_OK;
    }
    com::HRESULT get_HWND(com::SHANDLE_PTR* hwnd) override
    {
        *hwnd = 0;
        return com::S_OK;
    }
    com::HRESULT get_Visible(com::VARIANT_BOOL*) override { return com::E_NOTIMPL; }
    com::HRESULT put_Visible(com::VARIANT_BOOL) override { return com::E_NOTIMPL; }
};

class MainMenu : public BandFixture {};

TEST_F(MainMenu, TheWebCommandsOpenTheLocalPagesInTheBrowser)
{
    RecordingBrowser browser;
    Form().SetIELink(&browser);
    EXPECT_EQ(browser.references, 2);
    Form().BrindleStudiosontheWeb1Click();
    Form().OnlineHelp1Click();
    ASSERT_EQ(browser.navigated.size(), 2);
    EXPECT_EQ(browser.navigated[0], QUrl::fromLocalFile(storage_folder_ + "pages/index.html").toString());
    EXPECT_EQ(browser.navigated[1], QUrl::fromLocalFile(storage_folder_ + "pages/help.html").toString());
    for (const com::VARIANT& argument : browser.arguments[0]) {
        EXPECT_EQ(argument.vt, com::VT_I4);
        EXPECT_EQ(argument.lVal, 0);
    }
    Form().SetIELink(nullptr);
    EXPECT_EQ(browser.references, 1);
}

TEST_F(MainMenu, CloseQuitsTheBrowserATenthOfASecondLater)
{
    RecordingBrowser browser;
    Form().SetIELink(&browser);
    Form().CloseInternetExplorer1Click();
    EXPECT_EQ(browser.quits, 0);
    ASSERT_TRUE(wait_until([&] { return browser.quits == 1; }, 2000));
    EXPECT_FALSE(Form().Timer("Timer5")->isActive());
    Form().SetIELink(nullptr);
}

TEST_F(MainMenu, UninstallAsksFirstAndRemovesOnlyTheHelperKey)
{
    const QString bho = QStringLiteral(
        "Software\\Microsoft\\Windows\\CurrentVersion\\explorer\\Browser Helper Objects\\"
        "{6F1D2A40-58C3-4E97-B2A1-7D9C0E35B6F8}");
    registry_->create_key(Hive::LocalMachine, bho);
    registry_->create_key(Hive::ClassesRoot, QStringLiteral("CLSID\\{6F1D2A40-58C3-4E97-B2A1-7D9C0E35B6F8}"));

    message_answers_ = {MessageAnswer::No};
    Form().UninstallPELU1Click();
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0], "You are about to Uninstall the Brindle Studios PELU MP3 Toolbar!\r\nDo you wish to continue? ");
    EXPECT_TRUE(registry_->open_key(Hive::LocalMachine, bho));

    message_answers_ = {MessageAnswer::Yes, MessageAnswer::Ok};
    Form().UninstallPELU1Click();
    ASSERT_EQ(messages_.size(), 3u);
    EXPECT_EQ(messages_[2], "The PELU MP3 Toolbar for PELU Browser has been removed from PELU Browser!\r\n"
                            "Please close and restart PELU Browser to finish uninstall!");
    EXPECT_FALSE(registry_->open_key(Hive::LocalMachine, bho));
    EXPECT_TRUE(registry_->open_key(Hive::ClassesRoot, QStringLiteral("CLSID\\{6F1D2A40-58C3-4E97-B2A1-7D9C0E35B6F8}")));
}

// ---------------------------------------------------------------------------

class Panels : public BandFixture {};

TEST_F(Panels, PlaylistOpensATenthOfASecondAfterTheClick)
{
    Form();
    EXPECT_EQ(Form().PlaylistPanelState(), 20);
    int state_inside = 0;
    bool opened = false;
    QTimer::singleShot(400, [&] {
        opened = C().playlist_panel->Visible();
        state_inside = Form().PlaylistPanelState();
        Form().KamButton3Click();
    });
    Form().ToolbarButton971Click();
    EXPECT_FALSE(C().playlist_panel->Visible());
    ASSERT_TRUE(wait_until([&] { return opened || !Form().Timer("Timer3")->isActive(); }, 2000));
    ASSERT_TRUE(wait_until([&] { return opened; }, 2000));
    EXPECT_EQ(state_inside, 10);
    EXPECT_EQ(Form().PlaylistPanelState(), 20);
    EXPECT_FALSE(Form().Timer("Timer3")->isActive());
    EXPECT_FALSE(C().playlist_panel->Visible());
}

TEST_F(Panels, SaveAndLoadGoThroughTheirDialogsAndReopenThePanel)
{
    Form().AddFiles({Music("a.mp3", 3.0), Music("b.mp3")});
    SelectOnly(0);
    Form().ImageButton1Click();
    const QString list = QString::fromStdString((dir_.path() / "list.bri").string());
    save_answers_ = {list};
    bool reopened = false;
    QTimer::singleShot(300, [&] {
        reopened = C().playlist_panel->Visible();
        C().playlist_panel->ClosePanel();
    });
    Form().KamButton8Click();
    EXPECT_TRUE(reopened);
    EXPECT_EQ(dialogs_.back(), "Save Playlist as Brindle Studios Media List");
    EXPECT_FALSE(Form().Playing()) << "saving stops playback first";
    ASSERT_TRUE(QFile::exists(list));

    Form().ClearPlaylist1Click();
    open_answers_ = {list};
    QTimer::singleShot(300, [&] { C().playlist_panel->ClosePanel(); });
    Form().KamButton7Click();
    EXPECT_EQ(dialogs_.back(), "Load Brindle Studios Media List");
    ASSERT_EQ(Rows(), 2);
    EXPECT_EQ(Icon(0), 3) << "the row's image comes back as saved";
    EXPECT_EQ(RowText(1), "2. b");

    // An empty playlist saves nothing and the panel stays closed.
    Form().ClearPlaylist1Click();
    const auto dialogs_before = dialogs_.size();
    Form().KamButton8Click();
    EXPECT_EQ(dialogs_.size(), dialogs_before);
    EXPECT_FALSE(C().playlist_panel->Visible());
}

} // namespace
} // namespace pelu::player::test
