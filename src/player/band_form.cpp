// The band form's creation, first showing, closing, the drop-down panels and the
// cursor handlers.
#include "player/band_form.h"

#include "audio/audio_file.h"
#include "audio/connector.h"
#include "audio/equalizer.h"
#include "audio/mixer.h"
#include "audio/mpeg.h"
#include "audio/wave_out.h"
#include "mpeginfo/mpeg_audio.h"
#include "platform/com/com.h"
#include "platform/mixer/mixer_device.h"
#include "platform/registry/registry.h"
#include "player/playlist_loader.h"
#include "player/quietly.h"
#include "player/resume_writer.h"
#include "settings/prop_saver.h"
#include "settings/reg_data.h"
#include "settings/storage.h"
#include "widgets/analyser_views.h"
#include "widgets/band_layout.h"
#include "widgets/bitmap_slider.h"
#include "widgets/dot_matrix.h"
#include "widgets/explorer_popup.h"
#include "widgets/frame_clock.h"
#include "widgets/image_button.h"
#include "widgets/picture_box.h"
#include "widgets/playlist_tree.h"
#include "widgets/scrolling_text.h"
#include "widgets/seek_slider.h"
#include "widgets/shell_views.h"
#include "widgets/skinned_menu.h"
#include "widgets/toolbar_button.h"

#include <QAction>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QMimeData>
#include <QShortcut>
#include <QShowEvent>
#include <QFileInfo>
#include <QKeyEvent>
#include <QStandardPaths>
#include <QTimer>

namespace pelu::player {

using namespace pelu::widgets;

namespace {

// A display timer (`frame`) ticks in the band's frames, so the displays it
// updates are painted together with the others of that moment.
QTimer* MakeTimer(QObject* owner, const char* name, int interval_ms, bool frame = false)
{
    auto* timer = frame ? new TFrameTimer(owner) : new QTimer(owner);
    timer->setObjectName(QString::fromLatin1(name));
    timer->setInterval(interval_ms);
    return timer; // every timer starts disabled
}

void RestoreDefaultCursor()
{
    while (QApplication::overrideCursor())
        QApplication::restoreOverrideCursor();
}

} // namespace

TBandForm::TBandForm(QWidget* parent) : TBandForm(parent, BandServices::Defaults()) {}

TBandForm::TBandForm(QWidget* parent, BandServices services)
    : QWidget(parent), services_(std::move(services)), controls_(std::make_unique<BandControls>())
{
    setObjectName(QStringLiteral("BandForm"));
    // A borderless child strip; on a high-DPI screen Qt draws it at 2 x with the
    // skin's 2 x pictures.
    setFixedSize(804, 28);
    CreateComponents();
    WireHandlers();
    LoadSettings();
    if (services_.export_mpris)
        mpris_ = std::make_unique<MprisService>(static_cast<MprisBand&>(*this));
}

TBandForm::~TBandForm()
{
    mpris_.reset();
    for (QTimer* timer : findChildren<QTimer*>())
        timer->stop();
    // The output's notices must not reach a form that is going away.
    if (wave_out_) {
        wave_out_->OnStart = nullptr;
        wave_out_->OnStop = nullptr;
        wave_out_->OnError = nullptr;
        Quietly([&] {
            wave_out_->Stop();
            wave_out_->Close();
        });
    }
    // The stored properties go into the storage, then the storage into the registry.
    if (saver_)
        saver_->HandleOwnerEvent(TrsPropSaver::oeDestroy);
    if (storage_)
        Quietly([&] { storage_->SetActive(false); });
    SetIELink(nullptr);
}

void TBandForm::CreateComponents()
{
    *controls_ = BuildBandControls(this, this);
    // Keys seek by steps a listener notices: 5 s, and 30 s a page.
    controls_->seek->SetLineSize(kSeekLineMs);
    controls_->seek->SetPageSize(kSeekPageMs);

    // The audio chain.
    MpegLibrary::SetErrorDialog([this](const QString& text) {
        if (services_.message_box)
            services_.message_box(this, MessageKind::Error, MessageButtons::Ok, QStringLiteral("PELU"), text);
    });
    audiox_ = new TMMAudioFile(this);
    audiox_->setObjectName(QStringLiteral("audiox"));
    eq_ = new TMMEqualizer(this);
    eq_->setObjectName(QStringLiteral("eq"));
    wave_out_ = new TMMWaveOut(this);
    wave_out_->setObjectName(QStringLiteral("MMWaveOut1"));
    connector_ = new TMMConnector(this);
    connector_->setObjectName(QStringLiteral("MMConnector1"));
    audiox_->SetOutput(eq_);
    eq_->SetOutput(wave_out_);
    wave_out_->SetOutput(connector_);
    wave_out_->SetBufferSize(8160);
    wave_out_->SetCallBackMode(TMMWaveOut::cmThread);
    connector_->SetLevel1(controls_->level_right->Level());
    connector_->SetLevel2(controls_->level_left->Level());
    connector_->SetSpectrum1(controls_->spectrum->Spectrum());
    connector_->SetEnterIdle(false);

    mpegfile_ = new TMMMPEGFile(this);
    mpegfile_->setObjectName(QStringLiteral("mpegfile"));
    mpegx_ = new TMMMPEGFile(this);
    mpegx_->setObjectName(QStringLiteral("mpegx"));

    // The master volume behind MMMixerSlider3.
    mixer_device_ = new TMMMixerDevice(this);
    mixer_device_->setObjectName(QStringLiteral("MMMixerDevice1"));
    if (services_.mixer)
        mixer_device_->SetMixerSystem(services_.mixer);
    master_line_ = new TMMAudioLine(this);
    master_line_->setObjectName(QStringLiteral("MasterLine"));
    master_volume_ = new TMMMixerControl(this);
    master_volume_->setObjectName(QStringLiteral("MasterVolCtl"));
    mixer_slider_ = new TMMCustomMixerSlider(this);
    mixer_slider_->setObjectName(QStringLiteral("MMMixerSlider3"));
    Quietly([&] {
        master_line_->SetMixer(mixer_device_);
        master_line_->SetComponentType(TMMAudioLine::ctDstSpeakers);
        master_volume_->SetAudioLine(master_line_);
        master_volume_->SetControlType(TMMMixerControl::ctVolume);
        mixer_slider_->SetControl(master_volume_);
    });

    timer1_ = MakeTimer(this, "Timer1", 100, true);
    timer2_ = MakeTimer(this, "Timer2", 500, true);
    timer3_ = MakeTimer(this, "Timer3", 100);
    timer4_ = MakeTimer(this, "Timer4", 800, true);
    timer5_ = MakeTimer(this, "Timer5", 100);
    timerup_ = MakeTimer(this, "timerup", 50);
    timerup2_ = MakeTimer(this, "timerup2", 50);
    // A crashed browser loses at most the last few seconds of playlist edits.
    autosave_ = MakeTimer(this, "autosave", kAutosaveDelayMs);
    autosave_->setSingleShot(true);

    CreateSettings();
}

void TBandForm::WireHandlers()
{
    BandControls& c = *controls_;
    auto handler = [this](void (TBandForm::*method)()) {
        return [this, method](QObject*) { Quietly([&] { (this->*method)(); }); };
    };
    wave_out_->OnStart = [this](QObject* sender) { Quietly([&] { MMWaveOut1Start(sender); }); };
    wave_out_->OnStop = [this](QObject* sender) { Quietly([&] { MMWaveOut1Stop(sender); }); };
    wave_out_->OnError = [this](QObject*) { Quietly([&] { OutputFailed(); }); };

    // Transport.
    c.buttons[0]->OnClick = handler(&TBandForm::ImageButton1Click);
    c.buttons[1]->OnClick = handler(&TBandForm::ImageButton2Click);
    c.buttons[1]->OnMouseDown = [this](QObject*, Qt::MouseButton, Qt::KeyboardModifiers, QPoint) {
        Quietly([&] { ImageButton2MouseDown(); });
    };
    c.buttons[1]->OnMouseUp = [this](QObject*, Qt::MouseButton, Qt::KeyboardModifiers, QPoint) {
        Quietly([&] { ImageButton2MouseUp(); });
    };
    c.buttons[2]->OnClick = handler(&TBandForm::ImageButton3Click);
    c.buttons[2]->OnMouseDown = [this](QObject*, Qt::MouseButton, Qt::KeyboardModifiers, QPoint) {
        Quietly([&] { ImageButton3MouseDown(); });
    };
    c.buttons[2]->OnMouseUp = [this](QObject*, Qt::MouseButton, Qt::KeyboardModifiers, QPoint) {
        Quietly([&] { ImageButton3MouseUp(); });
    };
    c.buttons[3]->OnClick = handler(&TBandForm::ImageButton4Click);
    c.buttons[5]->OnClick = handler(&TBandForm::ImageButton6Click);
    c.buttons[6]->OnClick = handler(&TBandForm::ImageButton7Click);
    for (int i : {0, 3, 5})
        c.buttons[i]->OnMouseEnter = [](QObject*) { RestoreDefaultCursor(); };
    c.seek->OnTrack = handler(&TBandForm::MMSliderx1Track);
    c.seek->OnTrackEnd = handler(&TBandForm::MMSliderx1TrackEnd);
    c.time->OnMouseDown = [this](QObject*, Qt::MouseButton, QPoint) { Quietly([&] { emberxMouseDown(); }); };
    c.volume->OnTrack = handler(&TBandForm::MMBitmapSlider1Track);
    connect(timer1_, &QTimer::timeout, this, [this] { Quietly([&] { Timer1Timer(); }); });
    connect(timer2_, &QTimer::timeout, this, [this] { Quietly([&] { Timer2Timer(); }); });
    connect(timer3_, &QTimer::timeout, this, [this] { Quietly([&] { Timer3Timer(); }); });
    connect(timer4_, &QTimer::timeout, this, [this] { Quietly([&] { Timer4Timer(); }); });
    connect(timer5_, &QTimer::timeout, this, [this] { Quietly([&] { Timer5Timer(); }); });
    connect(timerup_, &QTimer::timeout, this, [this] { Quietly([&] { timerupTimer(); }); });
    connect(timerup2_, &QTimer::timeout, this, [this] { Quietly([&] { timerup2Timer(); }); });
    // A long list takes a while to write: the autosave writes on a thread.
    connect(autosave_, &QTimer::timeout, this, [this] { Quietly([&] { SaveResumePlaylist(true); }); });

    // Panels.
    c.playlist_button->OnClick = handler(&TBandForm::ToolbarButton971Click);
    c.playlist_button->OnMouseEnter = [](QObject*) { RestoreDefaultCursor(); };
    c.main_menu_button->OnMouseEnter = [](QObject*) { RestoreDefaultCursor(); };
    c.playlist_panel->OnOpen = [this](QObject*) { playlist_panel_state_ = 10; };
    c.playlist_panel->OnClose = [this](QObject*) { playlist_panel_state_ = 20; };
    c.locate_files_button->OnClick = handler(&TBandForm::ToolbarButton973Click);
    c.volume_icon->OnClick = handler(&TBandForm::Image14Click);
    c.close_playlist_button->OnClick = handler(&TBandForm::KamButton3Click);
    c.playlist_close_icon->OnClick = handler(&TBandForm::Image10Click);
    c.close_locator_button->OnClick = handler(&TBandForm::KamButton4Click);
    c.locator_close_icon->OnClick = handler(&TBandForm::KamButton4Click); // Image9Click does the same
    c.volume_close_icon->OnClick = handler(&TBandForm::Image11Click);
    c.eq_close_icon->OnClick = handler(&TBandForm::Image17Click);
    auto repaint_locate = [this](QObject*) { controls_->locate_files_button->update(); };
    c.locator_panel->OnClose = repaint_locate;
    c.volume_panel->OnClose = repaint_locate;
    c.display_background->OnMouseMove = [](QObject*, QPoint) { RestoreDefaultCursor(); };
    c.analyser_idle->OnMouseMove = [](QObject*, QPoint) { RestoreDefaultCursor(); };

    // Playlist and file locator.
    c.load_files_button->OnClick = handler(&TBandForm::KamButton1Click);
    c.files->OnDblClickOpen = [this](QObject*, bool& handled) { Quietly([&] { PTShellList1DblClickOpen(handled); }); };
    c.files->OnSelectItem = [this](QObject*, const QString& path, bool selected) {
        Quietly([&] { PTShellList1SelectItem(path, selected); });
    };
    c.files->OnFillComplete = handler(&TBandForm::PTShellList1FillComplete);
    c.files->OnMouseMove = [](QObject*, QPoint) { RestoreDefaultCursor(); };
    c.folders->OnMouseMove = [](QObject*, QPoint) { RestoreDefaultCursor(); };
    c.playlist->OnDblClick = handler(&TBandForm::ElTree1DblClick);
    c.playlist->OnItemSelectedChange = handler(&TBandForm::ElTree1ItemSelectedChange);
    c.playlist->OnDragOver = [](QObject*, int) { return true; };
    c.playlist->OnDragDrop = [this](QObject*, int row) { Quietly([&] { ElTree1DragDrop(row); }); };
    c.playlist->OnMouseMove = [](QObject*, QPoint) { RestoreDefaultCursor(); };
    c.playlist->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(c.playlist, &QWidget::customContextMenuRequested, this,
            [this](QPoint pos) { controls_->playlist_menu->popup(controls_->playlist->viewport()->mapToGlobal(pos)); });
    connect(MenuItem(QStringLiteral("DeleteSelectedFiles2")), &QAction::triggered, this,
            [this] { Quietly([&] { DeleteSelectedFiles2Click(); }); });
    connect(MenuItem(QStringLiteral("ClearPlaylist1")), &QAction::triggered, this,
            [this] { Quietly([&] { ClearPlaylist1Click(); }); });
    c.playlist->OnDropUrls = [this](QObject*, const QList<QUrl>& urls) { Quietly([&] { AddDroppedUrls(urls); }); };
    connect(c.search, &QLineEdit::textChanged, this,
            [this](const QString& text) { Quietly([&] { PlaylistSearchChanged(text); }); });
    connect(c.search, &QLineEdit::returnPressed, this, [this] { Quietly([&] { PlaylistSearchReturn(); }); });
    // Anywhere in the panel's window, which takes the focus when it opens.
    auto* find = new QShortcut(QKeySequence::Find, c.playlist_panel);
    find->setContext(Qt::WindowShortcut);
    connect(find, &QShortcut::activated, c.search, [search = c.search] {
        search->setFocus(Qt::ShortcutFocusReason);
        search->selectAll();
    });
    c.playlist->installEventFilter(this);
    c.search->installEventFilter(this);
    c.files->OnFolderChange = [this](QObject*, const QString& folder) { Quietly([&] { LocatorFolderChanged(folder); }); };
    setAcceptDrops(true);
    c.load_list_button->OnClick = handler(&TBandForm::KamButton7Click);
    c.save_list_button->OnClick = handler(&TBandForm::KamButton8Click);
    c.locate_button->OnClick = handler(&TBandForm::KamButton2Click);

    // Equalizer panel.
    for (int i = 0; i < c.bands.size(); ++i)
        c.bands[i]->OnTrackEnd = [this, i](QObject*) { Quietly([&] { BandTrackEnd(i + 1); }); };
    c.eq_save_button->OnClick = handler(&TBandForm::KamButton5Click);
    c.eq_default_button->OnClick = handler(&TBandForm::KamButton6Click);

    // Main menu. A checkable action toggles its mark itself before it reports the
    // click; the handlers decide the mark, so the toggle is taken back first.
    auto menu_handler = [this](const char* name, void (TBandForm::*method)()) {
        QAction* action = MenuItem(QString::fromLatin1(name));
        connect(action, &QAction::triggered, this, [this, action, method] {
            if (action->isCheckable())
                action->setChecked(!action->isChecked());
            Quietly([&] { (this->*method)(); });
        });
    };
    menu_handler("ViewPELUSpectrum1", &TBandForm::ViewPELUSpectrum1Click);
    menu_handler("VStereoLMeter1", &TBandForm::VStereoLMeter1Click);
    menu_handler("VStereoRMeter1", &TBandForm::VStereoRMeter1Click);
    menu_handler("LoopTrack1", &TBandForm::LoopTrack1Click);
    menu_handler("BrindleStudiosontheWeb1", &TBandForm::BrindleStudiosontheWeb1Click);
    menu_handler("OnlineHelp1", &TBandForm::OnlineHelp1Click);
    menu_handler("UninstallPELU1", &TBandForm::UninstallPELU1Click);
    menu_handler("CloseInternetExplorer1", &TBandForm::CloseInternetExplorer1Click);
    // Devices come and go: the list is read again whenever the menu opens.
    connect(c.sound_output_menu, &QMenu::aboutToShow, this, [this] { Quietly([&] { FillSoundOutputMenu(); }); });
}

void TBandForm::LoadSettings()
{
    // The storage loads the registry subtree (XregAfterLoad runs from the
    // backend's after-load, before the stored values are unscrambled), then the
    // property saver applies the stored properties and FormCreate runs.
    Quietly([&] { storage_->Loaded(); });
    saver_->HandleOwnerEvent(TrsPropSaver::oeCreate, [this] { Quietly([&] { FormCreate(); }); });
    Quietly([&] { sound_output_ = storage_->ReadString(QStringLiteral("\\SoundOutput")); });
    Quietly([&] { FillSoundOutputMenu(); });
}

void TBandForm::FormCreate()
{
    // The platform's window-class styles have no counterpart here.
    paused_ = false;
    controls_->seek->SetPosition(0);
    controls_->volume->SetMaxValue(mixer_slider_->MaxValue());
    controls_->volume->SetPosition(mixer_slider_->Position());
    // Without a master volume the slider has nothing to move.
    controls_->volume->setEnabled(mixer_slider_->IsEnabled());
    playlist_panel_state_ = 20;
    audio_list_ = std::make_unique<mpeginfo::TMPEGAudioList>();
    emberxix_ = 0;
}

void TBandForm::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // FormShow belongs to the band's first showing; showing it again (a toolbar
    // hidden and shown) must not reload the playlist over the user's edits.
    if (!shown_ && !event->spontaneous())
        Quietly([&] { FormShow(); });
}

void TBandForm::FormShow()
{
    // A resume list that cannot be read keeps the rows read so far and the rest
    // of the showing still runs (selection, shown flag, the analysers' views).
    Quietly([&] { LoadResumePlaylist(); });
    const int rows = RowCount();
    if (rows >= 1 && last_high_x_ > 0 && last_high_x_ < rows) {
        controls_->playlist->SetFocusedRow(last_high_x_);
        controls_->playlist->SetRowSelected(last_high_x_, true);
        current_index_ = last_high_x_;
    }
    shown_ = true;
    controls_->level_right->Level()->SetEnabled(MenuItem(QStringLiteral("VStereoRMeter1"))->isChecked());
    controls_->level_left->Level()->SetEnabled(MenuItem(QStringLiteral("VStereoLMeter1"))->isChecked());
    controls_->spectrum->Spectrum()->SetEnabled(MenuItem(QStringLiteral("ViewPELUSpectrum1"))->isChecked());
    ShowAnalyserFaces();
    NotifyRemote();
}

void TBandForm::BandClosing()
{
    autosave_->stop();
    Quietly([&] { SaveResumePlaylist(); }); // not while a load is half done
    // A load still running ends here; the resume list keeps the list from
    // before the load.
    if (LoadingPlaylist())
        Quietly([&] { loader_->Cancel(); });
    Quietly([&] {
        if (controls_->locator_panel->Visible())
            controls_->locator_panel->ClosePanel();
        if (controls_->playlist_panel->Visible())
            controls_->playlist_panel->ClosePanel();
        // The volume and equalizer panels and the menus live in windows of
        // their own: closed too, so none outlives the form or keeps a loop on it.
        for (widgets::TExplorerPopup* panel : {controls_->volume_panel, controls_->eq_panel})
            if (panel->Visible())
                panel->ClosePanel();
        for (QMenu* menu : {static_cast<QMenu*>(controls_->main_menu), static_cast<QMenu*>(controls_->playlist_menu),
                            static_cast<QMenu*>(controls_->sound_output_menu)})
            if (menu->isVisible())
                menu->close();
    });
    if (RowCount() > 1 && current_index_ > 0)
        last_high_x_ = current_index_;
    if (playing_) {
        playing_ = false;
        Quietly([&] {
            wave_out_->Stop();
            wave_out_->Close();
        });
    }
    NotifyRemote();
}

void TBandForm::SetIELink(com::IWebBrowser2* browser)
{
    if (browser)
        browser->AddRef();
    if (browser_)
        browser_->Release();
    browser_ = browser;
}

QLineEdit* TBandForm::Edit2() const { return controls_->edit; }

QTimer* TBandForm::Timer(const QString& name) const { return findChild<QTimer*>(name, Qt::FindDirectChildrenOnly); }

QAction* TBandForm::MenuItem(const QString& name) const
{
    for (QMenu* menu : {static_cast<QMenu*>(controls_->main_menu), static_cast<QMenu*>(controls_->playlist_menu)})
        if (QAction* action = menu->findChild<QAction*>(name))
            return action;
    return nullptr;
}

void TBandForm::dragEnterEvent(QDragEnterEvent* event)
{
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void TBandForm::dragMoveEvent(QDragMoveEvent* event)
{
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void TBandForm::dropEvent(QDropEvent* event)
{
    if (!event->mimeData()->hasUrls())
        return;
    event->acceptProposedAction();
    Quietly([&] { AddDroppedUrls(event->mimeData()->urls()); });
}

// ---------------------------------------------------------------------------
// Panels

void TBandForm::ConnectorRestart()
{
    connector_->SetEnabled(false);
    connector_->SetEnabled(true);
}

void TBandForm::ToolbarButton971Click()
{
    ConnectorRestart();
    timer3_->start();
}

void TBandForm::Timer3Timer()
{
    if (playlist_panel_state_ == 20 && !controls_->playlist_panel->Visible()) {
        ConnectorRestart();
        if (!controls_->playlist_panel->Visible()) {
            // The panel's loop would only deliver ticks that find it open and
            // disable the timer; disabling it first keeps a tick after the panel
            // closes from opening it again.
            timer3_->stop();
            controls_->playlist_panel->OpenBelow(controls_->anchors[1]);
        }
    }
    timer3_->stop();
}

void TBandForm::ToolbarButton973Click()
{
    ConnectorRestart();
    if (controls_->files->Folder().isEmpty()) {
        const QString folder = LocatorStartFolder();
        controls_->folders->SetPath(folder);
        controls_->files->SetFolder(folder);
    }
    controls_->locator_panel->OpenBelow(controls_->anchors[0]);
}

void TBandForm::Image14Click()
{
    ConnectorRestart();
    controls_->volume_panel->OpenBelow(controls_->anchors[4]);
}

void TBandForm::ImageButton7Click()
{
    ConnectorRestart();
    controls_->eq_panel->OpenBelow(controls_->anchors[2]);
    // The button's released look belongs to the click that opened the panel:
    // once the panel has closed (and the click's release is handled) it rests.
    QTimer::singleShot(0, controls_->buttons[6], [button = controls_->buttons[6]] { button->ShowResting(); });
}

void TBandForm::KamButton3Click() { controls_->playlist_panel->ClosePanel(); }

void TBandForm::Image10Click()
{
    controls_->locator_panel->ClosePanel();
    controls_->playlist_panel->ClosePanel();
}

void TBandForm::KamButton4Click() { controls_->locator_panel->ClosePanel(); }

void TBandForm::Image11Click() { controls_->volume_panel->ClosePanel(); }

void TBandForm::Image17Click() { controls_->eq_panel->ClosePanel(); }

} // namespace pelu::player

namespace pelu::player {

// ---------------------------------------------------------------------------
// Keyboard and visible state

namespace {
const QString kRootKey = QStringLiteral("Software\\PELU");
const QString kLocatorFolderValue = QStringLiteral("LocatorFolder");
const QString kLocatorFolderPath = QStringLiteral("\\LocatorFolder");
} // namespace

bool TBandForm::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::KeyPress)
        return QWidget::eventFilter(watched, event);
    const auto* key = static_cast<QKeyEvent*>(event);
    const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
    if (watched == controls_->playlist && key->modifiers() == Qt::NoModifier) {
        TElTree* tree = controls_->playlist;
        if (enter) {
            // The row with the keyboard focus plays, as a double click on it would.
            const int row = tree->FocusedRow();
            if (row >= 0 && !tree->IsRowHidden(row)) {
                tree->DeselectAll();
                tree->SetRowSelected(row, true);
                Quietly([&] { ElTree1DblClick(); });
            }
            return true;
        }
        if (key->key() == Qt::Key_Delete) {
            if (!tree->SelectedRows().isEmpty())
                Quietly([&] { DeleteSelectedFiles2Click(); });
            return true;
        }
    }
    if (watched == controls_->search && (key->key() == Qt::Key_Down || key->key() == Qt::Key_Up)) {
        Quietly([&] { PlaylistSearchStep(key->key() == Qt::Key_Down ? 1 : -1); });
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

bool TBandForm::event(QEvent* event)
{
    const QEvent::Type type = event->type();
    if ((type == QEvent::ShortcutOverride || type == QEvent::KeyPress) && controls_->playlist_panel->Visible() &&
        static_cast<QKeyEvent*>(event)->matches(QKeySequence::Find)) {
        event->accept();
        if (type == QEvent::KeyPress) {
            QLineEdit* search = controls_->search;
            search->activateWindow();
            search->setFocus(Qt::ShortcutFocusReason);
            search->selectAll();
        }
        return true;
    }
    return QWidget::event(event);
}

void TBandForm::ShowTransportState()
{
    controls_->buttons[0]->SetLatched(playing_ && !paused_);
    controls_->buttons[5]->SetLatched(playing_ && paused_);
}

void TBandForm::ShowAnalyserFaces()
{
    controls_->level_left->setVisible(controls_->level_left->Level()->Enabled());
    controls_->level_right->setVisible(controls_->level_right->Level()->Enabled());
    if (!controls_->spectrum->Spectrum()->Enabled())
        controls_->analyser_idle->setVisible(true);
    else if (playing_)
        controls_->analyser_idle->setVisible(false);
}

QString TBandForm::LocatorStartFolder() const
{
    // The storage holds the band's whole "Software\PELU" subtree and writes it
    // back when the band closes, so the folder lives there as well.
    QString stored;
    Quietly([&] { stored = storage_->ReadString(kLocatorFolderPath); });
    if (!stored.isEmpty() && QFileInfo(stored).isDir())
        return stored;
    const QString music = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
    if (!music.isEmpty() && QFileInfo(music).isDir())
        return music;
    return QDir::homePath();
}

void TBandForm::LocatorFolderChanged(const QString& folder)
{
    if (controls_->folders->Path() != folder)
        controls_->folders->SetPath(folder);
    if (folder.isEmpty())
        return;
    storage_->WriteString(kLocatorFolderPath, folder);
    // Written at once as well: where the user was matters after a crash too.
    if (!services_.registry)
        return;
    const auto key = services_.registry->create_key(platform::registry::Hive::CurrentUser, kRootKey);
    services_.registry->set_value(key, platform::registry::Value::string(kLocatorFolderValue, folder));
}

} // namespace pelu::player
