// The main menu's "Sound Output" submenu on the simulated wave system with
// several devices: what it lists, when a choice takes effect, where it is
// stored, and what happens when the chosen device goes away.
#include "band_fixture.h"

#include "widgets/skinned_menu.h"

#include <QAction>

namespace pelu::player::test {
namespace {

using platform::registry::Hive;
using platform::wave::SimDevices;

class SoundOutput : public BandFixture {
protected:
    SoundOutput() : BandFixture("sim:20") {}

    void SetUp() override
    {
        BandFixture::SetUp();
        SimDevices::set_extra_devices({"Desk Speakers", "USB Headset"});
    }
    void TearDown() override
    {
        BandFixture::TearDown();
        SimDevices::clear();
    }

    // The submenu as the user sees it when it opens: captions, and the checked one.
    QStringList Items()
    {
        emit C().sound_output_menu->aboutToShow();
        QStringList captions;
        for (QAction* action : C().sound_output_menu->actions())
            captions << action->text();
        return captions;
    }
    QString Checked()
    {
        emit C().sound_output_menu->aboutToShow();
        QString checked;
        for (QAction* action : C().sound_output_menu->actions())
            if (action->isChecked()) {
                EXPECT_TRUE(checked.isEmpty()) << "one item checked";
                checked = action->text();
            }
        return checked;
    }
    void Choose(const QString& caption)
    {
        emit C().sound_output_menu->aboutToShow();
        for (QAction* action : C().sound_output_menu->actions())
            if (action->text() == caption) {
                action->trigger();
                return;
            }
        ADD_FAILURE() << "no item " << caption.toStdString();
    }
    void PlayRow(int row)
    {
        SelectOnly(row);
        Form().ImageButton1Click();
        ASSERT_TRUE(OutputPlaying());
    }
    void Stop()
    {
        Form().ImageButton4Click();
        ASSERT_TRUE(WaitForStop());
    }
    std::optional<QString> StoredValue(const QString& key_path, const QString& name)
    {
        auto key = registry_->open_key(Hive::CurrentUser, key_path);
        if (!key)
            return std::nullopt;
        auto value = registry_->query(*key, name);
        if (!value)
            return std::nullopt;
        return value->text;
    }
    QStringList XpdNames()
    {
        QStringList names;
        if (auto key = registry_->open_key(Hive::CurrentUser, QStringLiteral("Software\\PELU\\XPD")))
            for (const auto& value : registry_->values(*key))
                names << value.name;
        names.sort();
        return names;
    }
};

TEST_F(SoundOutput, ListsSystemDefaultFirstThenEveryDeviceAndAppliesAChoiceFromTheNextTitle)
{
    EXPECT_EQ(Items(), QStringList({"System default", "Desk Speakers", "USB Headset"}));
    EXPECT_EQ(Checked(), "System default");
    Form().AddFiles({Music("one.mp3", 3.0), Music("two.mp3", 3.0)});

    PlayRow(0);
    EXPECT_EQ(Out().DeviceID(), 0);
    Choose("USB Headset");
    EXPECT_EQ(Checked(), "USB Headset");
    EXPECT_EQ(Form().SoundOutput(), "USB Headset");
    // The title already playing stays where it is.
    EXPECT_TRUE(OutputPlaying());
    EXPECT_EQ(Out().DeviceID(), 0);

    PlayRow(1);
    EXPECT_EQ(Out().DeviceID(), 2);
    EXPECT_EQ(Out().ProductName(), "USB Headset");
    EXPECT_EQ(Status(), "Playing -two.mp3");

    Choose("System default");
    PlayRow(0);
    EXPECT_EQ(Out().DeviceID(), 0);
    EXPECT_FALSE(StoredValue("Software\\PELU", "SoundOutput")) << "the default is the value's absence";
}

TEST_F(SoundOutput, StoredByNameBesideTheSevenValuesAndFoundAgainInAReorderedList)
{
    // A session without a choice stores what the band always stored.
    Form();
    CloseForm();
    const QStringList names_before = XpdNames();
    EXPECT_FALSE(StoredValue("Software\\PELU", "SoundOutput"));

    Choose("USB Headset");
    // Written at once, not only when the band closes.
    EXPECT_EQ(StoredValue("Software\\PELU", "SoundOutput"), QString("USB Headset"));
    CloseForm();
    EXPECT_EQ(StoredValue("Software\\PELU", "SoundOutput"), QString("USB Headset"));
    EXPECT_EQ(XpdNames(), names_before) << "nothing new under XPD";
    EXPECT_FALSE(StoredValue("Software\\PELU\\XPD", "SoundOutput"));

    SimDevices::set_extra_devices({"USB Headset", "Desk Speakers"});
    EXPECT_EQ(Checked(), "USB Headset");
    Form().AddFiles({Music("one.mp3", 2.0)});
    PlayRow(0);
    EXPECT_EQ(Out().DeviceID(), 1);
    EXPECT_EQ(Out().ProductName(), "USB Headset");
}

TEST_F(SoundOutput, AVanishedDeviceFallsBackToTheDefaultWithANoteAndReturnsWhenItDoes)
{
    Form().AddFiles({Music("one.mp3", 3.0)});
    Choose("Desk Speakers");
    PlayRow(0);
    EXPECT_EQ(Out().DeviceID(), 1);
    Stop();

    SimDevices::set_extra_devices({"USB Headset"});
    EXPECT_EQ(Items(), QStringList({"System default", "USB Headset"}));
    EXPECT_EQ(Checked(), "System default");
    PlayRow(0);
    EXPECT_EQ(Out().DeviceID(), 0);
    EXPECT_EQ(Status(), "Playing -one.mp3  -  \"Desk Speakers\" is gone: playing on System default");
    // The choice is kept for when the device comes back.
    EXPECT_EQ(StoredValue("Software\\PELU", "SoundOutput"), QString("Desk Speakers"));
    Stop();

    SimDevices::set_extra_devices({"USB Headset", "Desk Speakers"});
    EXPECT_EQ(Checked(), "Desk Speakers");
    PlayRow(0);
    EXPECT_EQ(Out().DeviceID(), 2);
    EXPECT_EQ(Status(), "Playing -one.mp3");
}

TEST_F(SoundOutput, AStoredDeviceMissingAtStartPlaysOnTheDefault)
{
    Choose("USB Headset");
    CloseForm();
    SimDevices::clear();
    EXPECT_EQ(Items(), QStringList({"System default"}));
    Form().AddFiles({Music("one.mp3", 2.0)});
    PlayRow(0);
    EXPECT_EQ(Out().DeviceID(), 0);
    EXPECT_TRUE(Status().contains("\"USB Headset\" is gone")) << Status().toStdString();
}

TEST_F(SoundOutput, AListedDeviceThatDoesNotOpenGivesWayToTheDefault)
{
    Form().AddFiles({Music("one.mp3", 3.0)});
    Choose("USB Headset");
    platform::wave::SimFaults::fail_next_opens(1, platform::wave::kErrAllocated);
    PlayRow(0);
    platform::wave::SimFaults::clear();
    EXPECT_EQ(Out().DeviceID(), 0);
    EXPECT_EQ(Status(), "Playing -one.mp3  -  \"USB Headset\" cannot be opened: playing on System default");
    EXPECT_EQ(Form().SoundOutput(), "USB Headset") << "tried again at the next title";
    Stop();
    PlayRow(0);
    EXPECT_EQ(Out().DeviceID(), 2);
}

} // namespace
} // namespace pelu::player::test
