// The band's settings (the registry subtree "Software\PELU" with the seven stored
// properties under "XPD", the storage folder), the main menu's commands and the
// sound output they choose.
#include "player/band_form.h"

#include "audio/frequency_analyser.h"
#include "audio/equalizer.h"
#include "audio/level.h"
#include "audio/wave_out.h"
#include "mpeginfo/mpeg_audio.h"
#include "platform/com/com.h"
#include "platform/registry/registry.h"
#include "platform/wave/wave_device.h"
#include "player/quietly.h"
#include "settings/prop_saver.h"
#include "settings/reg_data.h"
#include "settings/storage.h"
#include "widgets/analyser_views.h"
#include "widgets/band_layout.h"
#include "widgets/skinned_menu.h"

#include <QAction>
#include <QActionGroup>
#include <QDir>
#include <QTimer>
#include <QUrl>

namespace pelu::player {

using namespace pelu::widgets;

namespace {

const QStringList kStoredValues = {
    QStringLiteral("\\XPD\\audiox.FileName"),
    QStringLiteral("\\XPD\\lasthighx"),
    QStringLiteral("\\XPD\\emberxix"),
    QStringLiteral("\\XPD\\storedlocx"),
    QStringLiteral("\\XPD\\ViewPELUSpectrum1.Checked"),
    QStringLiteral("\\XPD\\VStereoLMeter1.Checked"),
    QStringLiteral("\\XPD\\VStereoRMeter1.Checked"),
};

const QStringList kSavedProperties = {
    QStringLiteral("storedlocx,\"\",EPDC"),
    QStringLiteral("emberxix,\"\",EPDC"),
    QStringLiteral("lasthighx,\"\",EPDC"),
    QStringLiteral("audiox.FileName,\"\",EPDC"),
    QStringLiteral("ViewPELUSpectrum1.Checked,\"\",EPDC"),
    QStringLiteral("VStereoLMeter1.Checked,\"\",EPDC"),
    QStringLiteral("VStereoRMeter1.Checked,\"\",EPDC"),
};

constexpr std::int32_t kEncryptId = -1286473519;

// The sound output is a value of its own beside "XPD": the scrambled values
// there stay exactly as they were. It holds the device's name, not its number,
// so that a device list in another order still finds the same device.
const QString kSoundOutputValue = QStringLiteral("SoundOutput");
const QString kSoundOutputPath = QStringLiteral("\\SoundOutput");
const QString kRootPath = QStringLiteral("Software\\PELU");

// The playback devices after device 0 (which is the system default), by number.
QStringList WaveDeviceNames()
{
    namespace wave = platform::wave;
    QStringList names;
    wave::WaveSystem& system = wave::wave_system();
    const int count = system.device_count();
    for (int id = 1; id < count; ++id) {
        wave::DeviceCaps caps;
        names << (system.capabilities(id, caps) == wave::kOk ? QString::fromStdString(caps.product_name) : QString());
    }
    return names;
}

const QString kHelperRegistration = QStringLiteral(
    "Software\\Microsoft\\Windows\\CurrentVersion\\explorer\\Browser Helper Objects\\"
    "{6F1D2A40-58C3-4E97-B2A1-7D9C0E35B6F8}");

// The per-user data folder, ending in a separator.
QString DataFolder()
{
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/share");
    return base + QStringLiteral("/pelu/");
}

} // namespace

void TBandForm::CreateSettings()
{
    xreg_ = new TrsRegData(this);
    xreg_->setObjectName(QStringLiteral("Xreg"));
    xreg_->SetRootKey(TrsRegData::rkCurrentUser);
    xreg_->SetRootPath(QStringLiteral("Software\\PELU"));
    if (services_.registry)
        xreg_->SetRegistry(services_.registry);
    xreg_->OnAfterLoad = [this](QObject* sender) {
        try {
            XregAfterLoad(sender);
        } catch (const std::exception&) {
        }
    };

    storage_ = new TrsStorage(this);
    storage_->setObjectName(QStringLiteral("EmberXP"));
    storage_->SetEncryptId(kEncryptId);
    storage_->SetEncryptKeys(kStoredValues);
    storage_->SetStorageData(xreg_);
    storage_->BeginLoading();
    storage_->SetActive(true);

    saver_ = new TrsPropSaver(this);
    saver_->setObjectName(QStringLiteral("XPD"));
    saver_->SetStorage(storage_);
    saver_->SetOptions(TrsPropSaver::poStoreDefValues);
    saver_->SetRootSection(QStringLiteral("XPD"));
    saver_->SetProperties(kSavedProperties);
    saver_->SetWhenLoad(TrsPropSaver::wlOnCreate);
    saver_->SetWhenSave(TrsPropSaver::wsOnDestroy);

    if (services_.read_error_dialog)
        mpeginfo::set_read_error_dialog(
            [form = QPointer<QWidget>(this), dialog = services_.read_error_dialog](const QString& text) {
                return dialog(form, text);
            });
}

void TBandForm::XregAfterLoad(QObject*)
{
    if (storedlocx_.isEmpty()) {
        // Read only: a store busy with another program's long write still
        // answers reads, where creating the key would wait for it.
        QString location;
        try {
            auto store = xreg_->Registry();
            if (const auto key =
                    store->open_key(platform::registry::Hive::CurrentUser, QStringLiteral("Software\\PELU\\XPD")))
                if (const auto value = store->query(*key, QStringLiteral("DLL Location")))
                    location = value->text;
        } catch (const std::exception&) {
        }
        storedlocx_ = location;
        // Without "DLL Location" the files would land wherever the current
        // folder happens to be; the per-user data folder is where setup puts them.
        if (storedlocx_.isEmpty())
            storedlocx_ = DataFolder();
    }
    try {
        eq_->LoadFromIniFile(StorageFile(QStringLiteral("eqdata.ini")), QStringLiteral("BrindleX"));
    } catch (const std::exception& error) {
        // A refused file leaves the equalizer as it was; the user is told why
        // as when they load one themselves, and the sliders show what stays.
        SayEqualizerFailure(QStringLiteral("Equalizer settings not loaded: "), error);
    }
    SetSlidersFromEqualizer();
}

QString TBandForm::StorageFile(const QString& name) const { return storedlocx_ + name; }

// ---------------------------------------------------------------------------
// Main menu

void TBandForm::ToggleView(const QString& item, QObject* display)
{
    QAction* action = MenuItem(item);
    const bool show = !action->isChecked();
    action->setChecked(show);
    display->setProperty("Enabled", show);
    ShowAnalyserFaces();
}

void TBandForm::ViewPELUSpectrum1Click()
{
    ToggleView(QStringLiteral("ViewPELUSpectrum1"), controls_->spectrum->Spectrum());
}

void TBandForm::VStereoLMeter1Click()
{
    ToggleView(QStringLiteral("VStereoLMeter1"), controls_->level_left->Level());
}

void TBandForm::VStereoRMeter1Click()
{
    ToggleView(QStringLiteral("VStereoRMeter1"), controls_->level_right->Level());
}

void TBandForm::LoopTrack1Click()
{
    QAction* action = MenuItem(QStringLiteral("LoopTrack1"));
    if (action->isChecked()) {
        loop_mode_ = 1;
        action->setChecked(false);
    } else {
        loop_mode_ = 2;
        action->setChecked(true);
    }
    NotifyRemote();
}

QString TBandForm::HomePageUrl() const
{
    return QUrl::fromLocalFile(StorageFile(QStringLiteral("pages/index.html"))).toString(QUrl::FullyEncoded);
}

QString TBandForm::HelpPageUrl() const
{
    return QUrl::fromLocalFile(StorageFile(QStringLiteral("pages/help.html"))).toString(QUrl::FullyEncoded);
}

void TBandForm::Navigate(const QString& url)
{
    if (!browser_)
        return;
    const std::u16string text = url.toStdU16String();
    com::BSTR address = com::SysAllocString(text.c_str());
    com::VARIANT zero;
    com::VariantInit(&zero);
    zero.vt = com::VT_I4;
    zero.lVal = 0;
    browser_->Navigate(address, &zero, &zero, &zero, &zero); // a failure is ignored
    com::SysFreeString(address);
}

void TBandForm::BrindleStudiosontheWeb1Click() { Navigate(HomePageUrl()); }

void TBandForm::OnlineHelp1Click() { Navigate(HelpPageUrl()); }

void TBandForm::UninstallPELU1Click()
{
    if (!services_.message_box)
        return;
    const MessageAnswer answer = services_.message_box(
        this, MessageKind::Warning, MessageButtons::YesNo, QStringLiteral("PELU"),
        QStringLiteral("You are about to Uninstall the Brindle Studios PELU MP3 Toolbar!\r\nDo you wish to continue? "));
    if (answer != MessageAnswer::Yes)
        return;
    try {
        auto store = xreg_->Registry();
        if (auto key = store->open_key(platform::registry::Hive::LocalMachine, kHelperRegistration))
            store->delete_key(*key);
    } catch (const std::exception&) {
        // The message follows whether or not the key could be deleted.
    }
    services_.message_box(this, MessageKind::Information, MessageButtons::Ok, QStringLiteral("PELU"),
                          QStringLiteral("The PELU MP3 Toolbar for PELU Browser has been removed from PELU Browser!\r\n"
                                         "Please close and restart PELU Browser to finish uninstall!"));
}

void TBandForm::CloseInternetExplorer1Click() { timer5_->start(); }

// ---------------------------------------------------------------------------
// Sound output

void TBandForm::FillSoundOutputMenu()
{
    TSkinnedMenu* menu = controls_->sound_output_menu;
    QAction* system_default = MenuItem(QStringLiteral("SoundOutputDefault"));
    for (QAction* action : menu->actions())
        if (action != system_default)
            delete action;
    auto* group = menu->findChild<QActionGroup*>(QString(), Qt::FindDirectChildrenOnly);
    if (!group) {
        group = new QActionGroup(menu);
        group->setExclusive(true);
        group->addAction(system_default);
        system_default->setData(QString());
        connect(system_default, &QAction::triggered, this, [this] { Quietly([&] { SoundOutputClick(QString()); }); });
    }
    const QStringList names = WaveDeviceNames();
    for (int i = 0; i < names.size(); ++i) {
        if (names[i].isEmpty())
            continue;
        QString caption = names[i];
        caption.replace(QLatin1Char('&'), QStringLiteral("&&")); // a name, not a shortcut
        QAction* action = menu->AddItem(caption, true, false);
        action->setObjectName(QStringLiteral("SoundOutputDevice%1").arg(i + 1));
        action->setData(names[i]);
        group->addAction(action);
        const QString name = names[i];
        connect(action, &QAction::triggered, this, [this, name] { Quietly([&] { SoundOutputClick(name); }); });
    }
    CheckSoundOutputItem();
}

void TBandForm::CheckSoundOutputItem()
{
    const QList<QAction*> actions = controls_->sound_output_menu->actions();
    // Two devices of one name: the first is the one that plays. A chosen
    // device that is not there now: the default is what plays.
    QAction* chosen = MenuItem(QStringLiteral("SoundOutputDefault"));
    if (!sound_output_.isEmpty())
        for (QAction* action : actions)
            if (action->data().toString() == sound_output_) {
                chosen = action;
                break;
            }
    chosen->setChecked(true);
}

void TBandForm::SoundOutputClick(const QString& device_name)
{
    sound_output_ = device_name;
    if (device_name.isEmpty())
        storage_->DeleteValue(kSoundOutputPath);
    else
        storage_->WriteString(kSoundOutputPath, device_name);
    // Written at once as well: the storage reaches the registry only when the
    // band closes, and a choice should outlive a crashed browser.
    try {
        auto store = xreg_->Registry();
        const auto key = store->create_key(platform::registry::Hive::CurrentUser, kRootPath);
        if (device_name.isEmpty())
            store->delete_value(key, kSoundOutputValue);
        else
            store->set_value(key, platform::registry::Value::string(kSoundOutputValue, device_name));
    } catch (const std::exception&) {
        // The storage still writes it when the band closes.
    }
    CheckSoundOutputItem();
}

int TBandForm::SoundOutputDevice(QString& note) const
{
    note.clear();
    if (sound_output_.isEmpty())
        return 0;
    const int index = int(WaveDeviceNames().indexOf(sound_output_));
    if (index >= 0)
        return index + 1;
    note = QStringLiteral("\"%1\" is gone: playing on System default").arg(sound_output_);
    return 0;
}

void TBandForm::ApplySoundOutput(QString& note)
{
    const int wanted = SoundOutputDevice(note);
    if (wave_out_->DeviceID() == wanted)
        return;
    // The output stays open between titles; another device needs it closed.
    if (wave_out_->IsOpen()) {
        try {
            wave_out_->Close();
        } catch (const std::exception&) {
            // OnError has told the user; the device is closed all the same.
        }
    }
    // A close that has to wait for the old title's stop leaves the device for
    // the next start.
    if (!wave_out_->IsOpen())
        wave_out_->SetDeviceID(wanted);
}

void TBandForm::Timer5Timer()
{
    timer5_->stop();
    if (browser_) {
        browser_->Quit(); // a failure is ignored
        return;
    }
    // Without a browser the band closes itself as the browser's quitting would:
    // BandClosing, then destruction (which stores the settings).
    BandClosing();
    hide();
    deleteLater();
}

void TBandForm::StartOutput(QString& note)
{
    ApplySoundOutput(note);
    try {
        wave_out_->Start();
    } catch (const EMMWaveOutError&) {
        if (wave_out_->DeviceID() == 0 || wave_out_->IsOpen())
            throw;
        // Listed but not opening (unplugged since the list was read, or held
        // by another program): the title plays on the default instead.
        note = QStringLiteral("\"%1\" cannot be opened: playing on System default").arg(sound_output_);
        wave_out_->SetDeviceID(0);
        wave_out_->Start();
    }
}

} // namespace pelu::player
