// TBandForm: the player. An 804 x 28 strip that carries the transport, the time
// and status displays, the analysers and two menu buttons; the playlist, the file
// locator, the volume and the equalizer live in four drop-down panels below it.
// The form owns every audio component and wires them into one chain:
//
//   audiox (file source) -> eq (equalizer) -> MMWaveOut1 (wave output) -> MMConnector1
//
// and the connector feeds the two level meters and the spectrum. Creating the form
// loads the settings (registry subtree, XregAfterLoad, the stored properties) and
// runs FormCreate; its first showing runs FormShow (resume playlist);
// BandClosing saves the resume playlist and stops; destruction writes the stored
// properties back.
//
// The handlers are split by subject over several files: band_form.cpp (creation,
// showing, closing, panels), transport.cpp (play, stop, pause, stepping, seeking,
// the displays), playlist_panel.cpp (rows, the file locator, media lists),
// eq_panel.cpp (the equalizer sliders and presets), settings_menu.cpp (the
// settings components, the main menu and the sound output), band_mpris.cpp (the
// remote control). Long list files load through a PlaylistLoader, and the
// autosave writes through a ResumeWriter, so neither holds up the band.
//
// Thread: main thread only. The wave output's OnStart and OnStop arrive on the
// main thread; every handler catches its own failures and returns quietly.
#pragma once

#include "player/band_services.h"
#include "playlist/media_list.h"
#include "player/mpris.h"

#include <QPointer>
#include <QUrl>
#include <QWidget>

#include <exception>
#include <functional>
#include <memory>
#include <vector>

class QAction;
class QLineEdit;
class QTimer;

namespace pelu {
class TMMAudioFile;
class TMMAudioLine;
class TMMConnector;
class TMMCustomMixerSlider;
class TMMEqualizer;
class TMMMixerControl;
class TMMMixerDevice;
class TMMMPEGFile;
class TMMWaveOut;
class TrsPropSaver;
class TrsRegData;
class TrsStorage;
namespace com {
class IWebBrowser2;
}
namespace mpeginfo {
class TMPEGAudio;
class TMPEGAudioList;
}
namespace widgets {
struct BandControls;
}
} // namespace pelu

namespace pelu::player {

class PlaylistLoader;
class ResumeWriter;

class TBandForm : public QWidget, private MprisBand {
    Q_OBJECT
    Q_PROPERTY(QString storedlocx READ storedlocx WRITE SetStoredlocx)
    Q_PROPERTY(int emberxix READ emberxix WRITE SetEmberxix)
    Q_PROPERTY(int LastHighX READ LastHighX WRITE SetLastHighX)

public:
    // The production form: the platform's own collaborators.
    explicit TBandForm(QWidget* parent = nullptr);
    TBandForm(QWidget* parent, BandServices services);
    ~TBandForm() override;

    // Stored properties.
    QString storedlocx() const { return storedlocx_; }
    void SetStoredlocx(const QString& folder) { storedlocx_ = folder; }
    int emberxix() const { return emberxix_; }
    void SetEmberxix(int mode) { emberxix_ = mode; }
    int LastHighX() const { return last_high_x_; }
    void SetLastHighX(int row) { last_high_x_ = row; }

    // The browser link: kept with a reference of its own.
    void SetIELink(com::IWebBrowser2* browser);
    com::IWebBrowser2* IELink() const { return browser_; }
    // Called by the helper object when the browser quits, before it destroys the form.
    void BandClosing();

    // The one-line edit the browser's frame filter edits.
    QLineEdit* Edit2() const;

    // The controls and components, for the helper object, tests and benchmarks.
    const widgets::BandControls& Controls() const { return *controls_; }
    TMMAudioFile* audiox() const { return audiox_; }
    TMMEqualizer* eq() const { return eq_; }
    TMMWaveOut* MMWaveOut1() const { return wave_out_; }
    TMMConnector* MMConnector1() const { return connector_; }
    TMMCustomMixerSlider* MMMixerSlider3() const { return mixer_slider_; }
    TrsStorage* EmberXP() const { return storage_; }
    QTimer* Timer(const QString& name) const;
    MprisService* Mpris() const { return mpris_.get(); }

    // The player state (what the handlers act on).
    bool Playing() const { return playing_; }
    bool Paused() const { return paused_; }
    bool Seeking() const { return seeking_; }
    int CurrentIndex() const { return current_index_; }
    QString CurrentKey() const { return current_key_; }
    int LoopMode() const { return loop_mode_; }
    int PlaylistPanelState() const { return playlist_panel_state_; }
    bool Shown() const { return shown_; }

    // Handlers (public so the helper object, MPRIS and tests reach exactly what a
    // click reaches).
    void FormCreate(); // the form is built: components, chain, settings
    void FormShow(); // first showing: the resume playlist is read
    void XregAfterLoad(QObject* sender); // the settings store has loaded its values

    // Transport.
    void ImageButton1Click(); // Play
    void ElTree1DblClick(); // playlist row double-clicked: plays it
    void ImageButton4Click(); // Stop
    void ImageButton6Click(); // Pause
    void ImageButton2Click(); // step back
    void ImageButton2MouseDown(); // step-back button pressed: starts repeating
    void ImageButton2MouseUp(); // step-back button released: stops repeating
    void timerupTimer(); // step-back repeat timer
    void ImageButton3Click(); // step forward
    void ImageButton3MouseDown(); // step-forward button pressed: starts repeating
    void ImageButton3MouseUp(); // step-forward button released: stops repeating
    void timerup2Timer(); // step-forward repeat timer
    void MMSliderx1Track(); // seek bar being dragged
    void MMSliderx1TrackEnd(); // seek bar released: seeks there
    void Timer1Timer(); // time display timer
    void Timer2Timer(); // seek bar position timer
    void Timer4Timer(); // playing row's blinking icon timer
    void emberxMouseDown(); // time display clicked: elapsed/remaining
    void MMBitmapSlider1Track(); // volume slider moved
    void MMWaveOut1Start(QObject* sender); // the output started playing
    void MMWaveOut1Stop(QObject* sender); // the output stopped

    // Panels.
    void ToolbarButton971Click(); // Playlist button
    void Timer3Timer(); // playlist panel opening timer
    void ToolbarButton973Click(); // file locator button
    void Image14Click(); // Volume button
    void ImageButton7Click(); // Equalizer button
    void KamButton3Click(); // playlist panel's Close
    void Image10Click(); // locator's close: both panels
    void KamButton4Click(); // file locator panel's Close
    void Image11Click(); // volume panel's close
    void Image17Click(); // equalizer panel's close

    // Playlist and file locator.
    void KamButton1Click(); // Load Files
    void PTShellList1DblClickOpen(bool& handled); // locator file double-clicked: adds it
    void PTShellList1SelectItem(const QString& path, bool selected); // locator file selected: shows its facts
    void PTShellList1FillComplete(); // locator file list filled
    void ElTree1DragDrop(int row_under_point); // playlist row dragged to another place
    void DeleteSelectedFiles2Click(); // playlist menu: Delete selected files
    void ClearPlaylist1Click(); // playlist menu: Clear playlist
    void ElTree1ItemSelectedChange(); // playlist selection changed
    void KamButton7Click(); // Load media list
    void KamButton8Click(); // Save media list
    void KamButton2Click(); // Locate
    // Adds files at the end of the playlist exactly as "Load Files" adds the
    // file list's selection; returns how many rows were added.
    // A file that cannot be read goes to `on_read_error` when given, else to
    // the read-error dialog.
    int AddFiles(const QStringList& paths, const std::function<int(mpeginfo::TMPEGAudio&)>& on_read_error = {});
    // Files and folders dropped from a file manager: the MP3s among them, folders
    // walked recursively in natural name order, appended by the playlist loader
    // (off the band's thread, with progress on the status line; files that
    // cannot be read are counted there).
    void AddDroppedUrls(const QList<QUrl>& urls);
    // The MP3 files a drop of these paths means, in the order they are added.
    static QStringList DroppedMp3Files(const QStringList& paths);
    // Replaces the playlist with a media list file / writes the playlist to one.
    void LoadMediaList(const QString& file_name);
    void SaveMediaList(const QString& file_name);
    // The panel's Load after its dialog: replaces the playlist with the list
    // file's rows (media list, M3U/M3U8 or PLS by extension), built a slice at
    // a time with progress on the status line; what was skipped is counted there.
    void LoadPlaylistFile(const QString& file_name);
    // The panel's Save after its dialog: M3U8 or PLS by the name's extension,
    // the band's media list otherwise. False when nothing was written.
    bool SavePlaylistFile(const QString& file_name);
    bool LoadingPlaylist() const;
    PlaylistLoader* Loader();

    // Playlist search: shows only the rows whose name or artist contains the
    // text (letter case and accents ignored); Up and Down move the highlight over
    // the rows shown, Enter plays the highlighted one (the first shown when none
    // is).
    void PlaylistSearchChanged(const QString& text);
    void PlaylistSearchReturn();
    void PlaylistSearchStep(int direction);

    // The file locator opens where the user last was: the folder is stored as
    // "LocatorFolder" under "Software\PELU" (beside "XPD", whose scrambled
    // values stay as they were); the first time it is the music folder, else home.
    QString LocatorStartFolder() const;
    void LocatorFolderChanged(const QString& folder);

    // The Play and Pause buttons rest pressed while playing or paused.
    void ShowTransportState();
    // An analyser switched off shows a calm face, not its dead grid: the level
    // meters give way to the decoration behind them, the spectrum to the idle
    // picture.
    void ShowAnalyserFaces();
    // How long after a change of the playlist the resume file is written.
    static constexpr int kAutosaveDelayMs = 3000;
    // What one arrow key and one page key move the seek bar by.
    static constexpr int kSeekLineMs = 5000;
    static constexpr int kSeekPageMs = 30000;

    // Equalizer panel.
    void BandTrackEnd(int band_number); // b1TrackEnd .. b16TrackEnd
    void KamButton5Click();              // Save
    void KamButton6Click();              // Default
    void SetSlidersFromEqualizer();

    // Main menu.
    void ViewPELUSpectrum1Click(); // menu: show/hide the spectrum
    void VStereoLMeter1Click(); // menu: show/hide the left level meter
    void VStereoRMeter1Click(); // menu: show/hide the right level meter
    void LoopTrack1Click(); // menu: loop the track
    void BrindleStudiosontheWeb1Click(); // menu: home page
    void OnlineHelp1Click(); // menu: help page
    void UninstallPELU1Click(); // menu: uninstall the band
    void CloseInternetExplorer1Click(); // menu: close the browser
    void Timer5Timer(); // browser closing timer

    QAction* MenuItem(const QString& name) const;

    // Sound output: the playback device a title plays on, chosen by name in the
    // main menu's "Sound Output" submenu and stored as "SoundOutput" under
    // "Software\PELU" (absent: the system default). It applies from the next
    // start of a title.
    QString SoundOutput() const { return sound_output_; }
    void SoundOutputClick(const QString& device_name); // "" chooses "System default"
    // Lists the devices the wave layer sees now, the chosen one checked.
    void FillSoundOutputMenu();

    // The local pages the web commands open.
    QString HomePageUrl() const;
    QString HelpPageUrl() const;

protected:
    void showEvent(QShowEvent* event) override;
    // The playlist's keys (Enter plays, Delete removes) and the search field's.
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Ctrl+F on the strip while the playlist panel is open goes to its search
    // field (the browser's find in page has it otherwise).
    bool event(QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    // Creation.
    void CreateComponents();
    void CreateChain();
    void CreateSettings();
    void WireHandlers();
    void LoadSettings();

    // Transport helpers.
    // Starts row `row`; with `keep_paused` the title is loaded and left paused
    // (a remote Next while paused). False when it did not start: a file that
    // cannot be played says so, a failing device leaves its text in device_error_.
    bool StartRow(int row, bool keep_paused = false);
    // The output's OnError: a device that failed while playing ends the play
    // where it is (the OnStop that follows does not advance).
    void OutputFailed();
    void ShowDeviceError(const QString& text);
    // Makes `row` the current title without starting it (the band idle).
    void MakeCurrentStopped(int row);
    // The remote's Next and Previous: the row becomes the current title in the
    // state the band is in (playing, paused or stopped).
    void ChangeTrack(int row);
    // The play position jumped to `position_ms` (seek, start, loop); the heard
    // position counts on from there with the output's own clock.
    void MarkJump(qint64 position_ms, qint64 output_ms);
    qint64 OutputMs() const;
    bool StartCurrentFile(const QString& path);
    void StopOutput();
    void ShowPlayingText(const QString& path);
    void ShowCannotPlay(const QString& path);
    void EndedDisplays(bool disable_blink);
    void StepBy(qint64 delta_ms);
    qint64 PositionMs() const override;
    void ConnectorRestart();

    // Playlist helpers.
    int RowCount() const;
    QString RowPath(int row) const;
    QString RowKey(int row) const;
    void SetRowImage(int row, int image_index);
    void FindCurrentByKey();
    void Renumber();
    QString ResumeFileName() const;
    // In the background (the autosave) or at once, after any background write.
    bool SaveResumePlaylist(bool in_background = false);
    void LoadResumePlaylist();
    void PlaylistChanged();
    void FilterRows(int first_row, int end_row, const QString& text);
    std::vector<PlaylistRow> CurrentRows() const;
    void PlaylistLoadFinished(bool cancelled, int added, int skipped, int unreadable, const QString& error);

    // Sound output (settings_menu.cpp): the device number a title starting now
    // plays on; a chosen device that is gone gives 0 (the system default) and
    // `note` says so for the status line.
    int SoundOutputDevice(QString& note) const;
    void ApplySoundOutput(QString& note);
    // Starts the output on the chosen device, else on the default (with `note`).
    void StartOutput(QString& note);
    void CheckSoundOutputItem();

    // Storage folder files.
    QString StorageFile(const QString& name) const;
    // The status line after an equalizer file could not be read or written.
    void SayEqualizerFailure(const QString& what, const std::exception& error);

    // Menu helpers.
    void ToggleView(const QString& item, QObject* display);
    void Navigate(const QString& url);

    // MPRIS (band_mpris.cpp).
    Status PlaybackStatus() const override;
    bool LoopTrack() const override;
    Track CurrentTrack() const override;
    double Volume() const override;
    bool CanGoNext() const override;
    bool CanGoPrevious() const override;
    bool CanPlay() const override;
    bool CanPause() const override;
    bool CanSeek() const override;
    void Play() override;
    void Pause() override;
    void PlayPause() override;
    void Stop() override;
    void Next() override;
    void Previous() override;
    void SeekToMs(qint64 position_ms) override;
    bool OpenFile(const QString& path, QString& reason) override;
    bool InModalLoop() const override;
    void SetLoopTrack(bool on) override;
    void SetVolume(double volume) override;
    void Quit() override;
    void NotifyRemote();
    // Between HoldRemote and the matching ReleaseRemote the remote hears
    // nothing; the release announces the final state once (a track change is
    // one PropertiesChanged, not a stop, a trackless start and a play).
    void HoldRemote() { ++remote_hold_; }
    void ReleaseRemote();
    // The row's id for the remote: given at its first use, never given again.
    quint64 RowTrackId(int row) const;
    // The playing title's tags for the remote control, read once per start.
    void ReadTitleTags(const QString& path);

    BandServices services_;
    std::unique_ptr<widgets::BandControls> controls_;

    // Components.
    TMMAudioFile* audiox_ = nullptr;
    TMMEqualizer* eq_ = nullptr;
    TMMWaveOut* wave_out_ = nullptr;
    TMMConnector* connector_ = nullptr;
    TMMMPEGFile* mpegfile_ = nullptr;
    TMMMPEGFile* mpegx_ = nullptr;
    TMMMixerDevice* mixer_device_ = nullptr;
    TMMAudioLine* master_line_ = nullptr;
    TMMMixerControl* master_volume_ = nullptr;
    TMMCustomMixerSlider* mixer_slider_ = nullptr;
    TrsRegData* xreg_ = nullptr;
    TrsStorage* storage_ = nullptr;
    TrsPropSaver* saver_ = nullptr;
    std::unique_ptr<mpeginfo::TMPEGAudioList> audio_list_;
    QTimer* timer1_ = nullptr;
    QTimer* timer2_ = nullptr;
    QTimer* timer3_ = nullptr;
    QTimer* timer4_ = nullptr;
    QTimer* timer5_ = nullptr;
    QTimer* timerup_ = nullptr;
    QTimer* timerup2_ = nullptr;
    QTimer* autosave_ = nullptr;
    std::unique_ptr<MprisService> mpris_;

    // Stored properties.
    QString storedlocx_;
    int emberxix_ = 0;
    int last_high_x_ = 0;

    // Player state.
    com::IWebBrowser2* browser_ = nullptr;
    bool playing_ = false;
    bool paused_ = false;
    bool seeking_ = false;
    int current_index_ = 0;
    QString current_key_;
    int loop_mode_ = 0;
    int playlist_panel_state_ = 20;
    bool shown_ = false;
    bool closing_done_ = false;

    // A Stop whose OnStop comes later (the output's thread was inside a buffer
    // handler): the next OnStop belongs to that old play, not to one started since.
    int stale_stops_ = 0;
    bool stop_deferred_ = false;
    // The output's text when the device failed during the current play.
    QString device_error_;
    // The remote control: held announcements, a jump to announce, the base of
    // the heard position, the next row id.
    int remote_hold_ = 0;
    bool remote_dirty_ = false;
    bool jump_pending_ = false;
    qint64 jump_position_ms_ = 0;
    qint64 jump_output_ms_ = 0;
    mutable quint64 next_track_id_ = 0;
    // The resume playlist could not be read at start and nothing changed since:
    // never overwrite a list we could not read.
    bool resume_unreadable_ = false;
    bool playlist_changed_ = false;
    QString sound_output_; // the chosen device's name; "" = system default
    PlaylistLoader* loader_ = nullptr; // made at the first Load
    std::unique_ptr<ResumeWriter> resume_writer_; // made at the first save
    // What the remote control says about the title that started last, beyond
    // its row: the ID3v2 album and cover and, for a file without ID3v1, the
    // ID3v2 artist and title.
    struct TitleTags {
        QString path;
        QString title, artist, album;
        QString art_url; // file:// URL of the cover in the cover cache
    } title_tags_;
    QString status_before_load_;       // put back when a load has nothing to report
};

} // namespace pelu::player
