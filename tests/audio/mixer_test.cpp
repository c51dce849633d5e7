#include "audio/mixer.h"
#include "platform/mainthread.h"
#include "expect_raises.h"

#include <gtest/gtest.h>

namespace pelu {
namespace {

namespace pm = platform::mixer;

// The player's four mixer components on the simulated mixer.
struct MasterVolume {
    explicit MasterVolume(std::shared_ptr<pm::MixerSystem> system = pm::make_sim_mixer())
    {
        device.SetMixerSystem(std::move(system));
        line.SetMixer(&device);
        line.SetComponentType(TMMAudioLine::ctDstSpeakers);
        control.SetAudioLine(&line);
        control.SetControlType(TMMMixerControl::ctVolume);
        slider.SetControl(&control);
    }
    std::uint32_t Channel(int index) const
    {
        return device.System().get_values(0, std::uint32_t(control.ControlId()), 2, 1)[std::size_t(index)];
    }
    TMMMixerDevice device;
    TMMAudioLine line;
    TMMMixerControl control;
    TMMCustomMixerSlider slider;
};

pm::SimDevice one_speakers_device(std::uint32_t maximum, std::uint32_t steps, std::uint32_t flags = 0)
{
    pm::SimDevice d = pm::sim_default_layout()[0];
    auto& volume = d.destinations[0].line.controls[0];
    volume.info.maximum = maximum;
    volume.info.steps = steps;
    volume.info.flags = flags;
    volume.values.assign(volume.values.size(), 0);
    return d;
}

class Mixer : public ::testing::Test {
protected:
    void SetUp() override { pm::sim_set_layout(pm::sim_default_layout()); }
    void TearDown() override
    {
        platform::process_pending_events();
        pm::sim_set_layout(pm::sim_default_layout());
    }
};

TEST_F(Mixer, FullRangeControlMapsOnePositionPerStep)
{
    MasterVolume m;
    m.device.SetActive(true);
    EXPECT_TRUE(m.device.Active());
    EXPECT_EQ(m.device.Destinations(), 1);
    EXPECT_NE(m.line.LineId(), -1);
    EXPECT_EQ(m.line.LineInfo().Channels, 2);
    EXPECT_EQ(m.control.ControlClass(), TMMMixerControl::ccFader);
    ASSERT_TRUE(m.slider.IsEnabled());
    EXPECT_EQ(m.slider.MinValue(), 0);
    EXPECT_EQ(m.slider.MaxValue(), 65535);
    EXPECT_EQ(m.slider.Position(), 32768); // the simulated mixer's starting volume

    const auto writes = pm::sim_write_count();
    m.slider.SetPosition(12345);
    EXPECT_EQ(m.Channel(0), 12345u);
    EXPECT_EQ(m.Channel(1), 12345u);
    EXPECT_EQ(pm::sim_write_count(), writes + 1);
    m.slider.SetPosition(70000); // clamped to the range
    EXPECT_EQ(m.slider.Position(), 65535);
    EXPECT_EQ(m.Channel(0), 65535u);
}

TEST_F(Mixer, ZeroStepsGiveThirtyTwoPositionsAndCoarseRangesRound)
{
    pm::sim_set_layout({one_speakers_device(65535, 0)});
    MasterVolume m;
    EXPECT_EQ(m.slider.MaxValue(), 32);
    m.slider.SetPosition(16);
    EXPECT_EQ(m.Channel(0), 32768u); // round(16 * 65535 / 32)

    pm::sim_set_layout({one_speakers_device(87, 87)}); // an ALSA-like range
    MasterVolume alsa_like;
    EXPECT_EQ(alsa_like.slider.MaxValue(), 87);
    alsa_like.slider.SetPosition(50);
    EXPECT_EQ(alsa_like.Channel(1), 50u);
}

TEST_F(Mixer, AnOutsideChangeMovesTheSliderWithoutAWriteBack)
{
    MasterVolume m;
    m.device.SetActive(true);
    int changes = 0, line_notices = 0;
    m.slider.OnChange = [&](QObject*) { ++changes; };
    m.device.OnControlChange = [&](QObject*, int line, int control) {
        EXPECT_EQ(line, m.line.LineId());
        EXPECT_EQ(control, m.control.ControlId());
        ++line_notices;
    };
    bool repainted = false;
    QObject::connect(&m.slider, &TMMCustomMixerSlider::changed, [&] { repainted = true; });
    const auto writes = pm::sim_write_count();

    pm::sim_external_set(0, std::uint32_t(m.control.ControlId()), {1000});
    platform::process_pending_events();

    EXPECT_EQ(m.slider.Position(), 1000);
    EXPECT_TRUE(repainted);
    EXPECT_EQ(line_notices, 1);
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(pm::sim_write_count(), writes);

    // Our own write comes back as a notice too; it must not write again.
    m.slider.SetPosition(2000);
    platform::process_pending_events();
    EXPECT_EQ(pm::sim_write_count(), writes + 1);
    EXPECT_EQ(m.slider.Position(), 2000);

    // Closed: no notices any more.
    m.device.SetActive(false);
    pm::sim_external_set(0, std::uint32_t(m.control.ControlId()), {3000});
    platform::process_pending_events();
    EXPECT_EQ(m.slider.Position(), 2000);
}

TEST_F(Mixer, DeviceIdOutOfRange)
{
    MasterVolume m;
    EXPECT_RAISES(m.device.SetDeviceId(1), EMMDeviceError, "Device id is out of range");
    EXPECT_EQ(m.device.DeviceId(), 0);
    // -2 (no device) is accepted and leaves everything invalid.
    m.device.SetDeviceId(-2);
    EXPECT_EQ(m.line.LineId(), -1);
    EXPECT_EQ(m.control.ControlId(), -1);
    EXPECT_FALSE(m.slider.IsEnabled());
    m.device.SetDeviceId(-1); // the mapper: the first mixer
    EXPECT_TRUE(m.slider.IsEnabled());
}

TEST_F(Mixer, BothChannelsVersusTheRightChannel)
{
    MasterVolume m;
    m.slider.SetPosition(100);
    ASSERT_EQ(m.Channel(0), 100u);
    ASSERT_EQ(m.Channel(1), 100u);

    m.slider.SetChannel(TMMMixerControl::chRight);
    m.slider.SetPosition(500);
    EXPECT_EQ(m.Channel(0), 100u);
    EXPECT_EQ(m.Channel(1), 500u);

    m.slider.SetChannel(TMMMixerControl::chLeft);
    EXPECT_EQ(m.slider.Position(), 100); // re-read for the new channel
    EXPECT_EQ(m.control.GetValue(TMMMixerControl::chRight, -1), 500u);
}

TEST_F(Mixer, WithoutAnyMixerTheSliderIsDisabled)
{
    for (auto system : {pm::make_sim_mixer(), pm::make_alsa_mixer()}) {
        pm::sim_set_layout({});
        if (system->device_count() != 0)
            continue; // a machine with a sound card: the no-mixer case is the sim's
        MasterVolume m(system);
        EXPECT_RAISES(m.device.SetActive(true), EMMMixerDeviceError, "Device not valid");
        EXPECT_FALSE(m.device.Active());
        EXPECT_EQ(m.device.Destinations(), 0);
        EXPECT_EQ(m.line.LineId(), -1);
        EXPECT_EQ(m.control.ControlId(), -1);
        EXPECT_FALSE(m.slider.IsEnabled());
        EXPECT_EQ(m.slider.MinValue(), 0);
        EXPECT_EQ(m.slider.MaxValue(), 2);
        EXPECT_EQ(m.slider.Position(), 1);
        m.slider.SetPosition(2); // moves, but writes nothing anywhere
        EXPECT_EQ(m.slider.Position(), 2);
        EXPECT_THROW(m.control.GetValue(TMMMixerControl::chBoth, -1), EMMMixerControlError);
    }
}

TEST_F(Mixer, AMixerWithoutVolumeOrWithADisabledOneGivesADisabledSlider)
{
    pm::SimDevice no_volume = pm::sim_default_layout()[0];
    no_volume.destinations[0].line.controls.erase(no_volume.destinations[0].line.controls.begin());
    pm::sim_set_layout({no_volume});
    {
        MasterVolume m;
        EXPECT_NE(m.line.LineId(), -1);
        EXPECT_EQ(m.control.ControlId(), -1);
        EXPECT_FALSE(m.slider.IsEnabled());
        EXPECT_RAISES(m.control.GetValue(TMMMixerControl::chBoth, -1), EMMMixerControlError, "Control not valid");
    }
    pm::sim_set_layout({one_speakers_device(65535, 65535, pm::control::kFlagDisabled)});
    MasterVolume disabled;
    EXPECT_FALSE(disabled.slider.IsEnabled());
    EXPECT_EQ(disabled.slider.MaxValue(), 2);
}

TEST_F(Mixer, ItemsClassesAndRemovedComponents)
{
    MasterVolume m;
    EXPECT_THROW(m.control.GetValue(TMMMixerControl::chBoth, 0), EMMMixerControlError); // not multiple
    m.slider.SetItem(0);
    EXPECT_FALSE(m.slider.IsEnabled());
    m.slider.SetItem(-1);
    EXPECT_TRUE(m.slider.IsEnabled());

    TMMMixerControl mute;
    mute.SetAudioLine(&m.line);
    mute.SetControlType(TMMMixerControl::ctMute);
    EXPECT_EQ(mute.ControlClass(), TMMMixerControl::ccSwitch);
    TMMCustomMixerSlider other;
    EXPECT_RAISES(other.SetControl(&mute), EMMMixerControlsError, "Invalid control class");
    EXPECT_RAISES([&] { TMMMixerDevice nested; nested.SetDevice(&m.device); }(), EMMMixerDeviceError, "Mixer can't reference mixer");

    // A source found under its destination by component type.
    TMMAudioLine wave;
    wave.SetMixer(&m.device);
    wave.SetDestLine(&m.line);
    wave.SetComponentType(TMMAudioLine::ctSrcWaveOut);
    EXPECT_NE(wave.LineId(), -1);
    EXPECT_TRUE(wave.LineInfo().Flags & TMMLineInfo::cfSource);
    EXPECT_EQ(wave.DestinationIndex(), -1);

    // Taking the line away clears the control and disables the slider.
    auto* line = new TMMAudioLine;
    line->SetMixer(&m.device);
    line->SetComponentType(TMMAudioLine::ctDstSpeakers);
    m.control.SetAudioLine(line);
    EXPECT_TRUE(m.slider.IsEnabled());
    delete line;
    EXPECT_EQ(m.control.AudioLine(), nullptr);
    EXPECT_EQ(m.control.ControlId(), -1);
    EXPECT_FALSE(m.slider.IsEnabled());
}

TEST_F(Mixer, WhileLoadingNothingResolvesUntilLoaded)
{
    TMMMixerDevice device;
    device.SetMixerSystem(pm::make_sim_mixer());
    TMMAudioLine line;
    TMMMixerControl control;
    device.BeginLoading();
    line.BeginLoading();
    control.BeginLoading();
    device.SetActive(true);
    line.SetMixer(&device);
    line.SetComponentType(TMMAudioLine::ctDstSpeakers);
    control.SetAudioLine(&line);
    control.SetControlType(TMMMixerControl::ctMute);
    EXPECT_FALSE(device.Active());
    EXPECT_EQ(line.LineId(), -1);
    EXPECT_EQ(control.ControlClass(), TMMMixerControl::ccSwitch); // set even while loading
    device.Loaded();
    line.Loaded();
    control.Loaded();
    EXPECT_TRUE(device.Active());
    EXPECT_NE(line.LineId(), -1);
    EXPECT_NE(control.ControlId(), -1);
}

// A wave device whose mixer the mixer device follows.
class WaveDevice : public TMMCustomAudioDevice {
public:
    using TMMCustomAudioDevice::TMMCustomAudioDevice;
    pm::DeviceKind Kind() const override { return pm::DeviceKind::WaveOut; }
    int DeviceCount() const override { return 3; }

protected:
    void Open() override { active_ = true; }
    void Close() override { active_ = false; }
    TMMDeviceCaps ReadCaps() override { return {}; }
};

TEST_F(Mixer, AMixerFollowsTheDeviceItBelongsTo)
{
    pm::sim_set_layout({pm::sim_default_layout()[0], pm::sim_default_layout()[0]});
    MasterVolume m;
    WaveDevice wave;
    wave.SetDeviceId(1);
    m.device.SetDevice(&wave);
    EXPECT_EQ(m.device.DeviceId(), 1);
    EXPECT_TRUE(m.slider.IsEnabled());
    wave.SetDeviceId(2); // a wave device without a mixer
    EXPECT_EQ(m.device.DeviceId(), -2);
    EXPECT_FALSE(m.slider.IsEnabled());
    wave.SetDeviceId(0);
    EXPECT_EQ(m.device.DeviceId(), 0);
    EXPECT_TRUE(m.slider.IsEnabled());
}

TEST_F(Mixer, AnUnpluggedCardDisablesTheSliderAsWhenThereIsNoMixer)
{
    MasterVolume m;
    m.device.SetActive(true);
    ASSERT_TRUE(m.slider.IsEnabled());
    int device_changes = 0;
    m.device.OnChange = [&](QObject*) { ++device_changes; };
    pm::sim_unplug(0);
    platform::process_pending_events();
    EXPECT_TRUE(m.device.Gone());
    EXPECT_FALSE(m.device.Active());
    EXPECT_EQ(device_changes, 1);
    EXPECT_EQ(m.line.LineId(), -1);
    EXPECT_EQ(m.control.ControlId(), -1);
    EXPECT_FALSE(m.slider.IsEnabled());
    EXPECT_EQ(m.slider.MaxValue(), 2);
    const auto writes = pm::sim_write_count();
    m.slider.SetPosition(2); // moves, writes nothing
    EXPECT_EQ(pm::sim_write_count(), writes);
    // Another card chosen later is looked at afresh.
    pm::sim_set_layout(pm::sim_default_layout());
    m.device.SetMixerSystem(pm::make_sim_mixer());
    EXPECT_FALSE(m.device.Gone());
    EXPECT_TRUE(m.slider.IsEnabled());
}

TEST_F(Mixer, MultipleItemControlsIndexByChannelAndItem)
{
    pm::SimDevice d = pm::sim_default_layout()[0];
    pm::SimControl eq;
    eq.info.control_type = pm::control::kEqualizer;
    eq.info.flags = pm::control::kFlagMultiple;
    eq.info.multiple_items = 3;
    eq.info.maximum = 100;
    eq.info.steps = 100;
    d.destinations[0].line.controls.push_back(eq);
    pm::sim_set_layout({d});
    MasterVolume m;
    TMMMixerControl bands;
    bands.SetAudioLine(&m.line);
    bands.SetControlType(TMMMixerControl::ctEqualizer);
    ASSERT_NE(bands.ControlId(), -1);
    EXPECT_EQ(bands.ControlInfo().MultipleItems, 3);

    bands.SetValue(TMMMixerControl::chRight, 2, 77);
    bands.SetValue(TMMMixerControl::chLeft, 1, 11);
    const auto all = m.device.System().get_values(0, std::uint32_t(bands.ControlId()), 2, 3);
    EXPECT_EQ(all, (std::vector<std::uint32_t>{0, 0, 11, 0, 0, 77}));
    EXPECT_THROW(bands.GetValue(TMMMixerControl::chLeft, 3), EMMMixerControlError);
    EXPECT_THROW(bands.GetValue(TMMMixerControl::chLeft, -1), EMMMixerControlError);

    TMMCustomMixerSlider slider;
    slider.SetControl(&bands); // an equalizer is a fader
    EXPECT_FALSE(slider.IsEnabled()); // item -1 is not acceptable here
    slider.SetChannel(TMMMixerControl::chRight);
    slider.SetItem(2);
    EXPECT_TRUE(slider.IsEnabled());
    EXPECT_EQ(slider.MaxValue(), 100);
    EXPECT_EQ(slider.Position(), 77);
}

} // namespace
} // namespace pelu
