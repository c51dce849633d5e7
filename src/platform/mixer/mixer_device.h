// The mixer: devices, their destination and source lines with component types,
// the lines' controls with types, ranges and step counts, per-channel values,
// and notices when a line or a control changes.
//
// Backends, chosen by PELU_MIXER (default alsa):
//   alsa  ALSA's simple mixer, one device per sound card; the speakers
//         destination is the card's master playback volume (with its switch as
//         the mute control), other playback elements are its source lines;
//   sim   a mixer held in memory, for tests and headless use; its layout can be
//         replaced and "another program" can change it (sim_external_set).
//
// Thread: queries and writes may be called from any thread (each backend locks
// its own state). Notices of an open handle are always delivered on the main
// thread (platform::post); none arrives after the handle has been destroyed.
// The ALSA backend waits for a card's events on a thread of its own
// (event_poller.h), which stops, saying DeviceGone, when the card goes away.
#pragma once

#include "platform/error.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pelu::platform::mixer {

// The platform's numbers: line component types, control types, flags.
namespace component {
constexpr std::uint32_t kDstFirst = 0x0000;
constexpr std::uint32_t kDstUndefined = 0, kDstDigital = 1, kDstLine = 2, kDstMonitor = 3, kDstSpeakers = 4,
                        kDstHeadphones = 5, kDstTelephone = 6, kDstWaveIn = 7, kDstVoiceIn = 8;
constexpr std::uint32_t kSrcFirst = 0x1000;
constexpr std::uint32_t kSrcUndefined = kSrcFirst + 0, kSrcDigital = kSrcFirst + 1, kSrcLine = kSrcFirst + 2,
                        kSrcMicrophone = kSrcFirst + 3, kSrcSynthesizer = kSrcFirst + 4,
                        kSrcCompactDisc = kSrcFirst + 5, kSrcTelephone = kSrcFirst + 6,
                        kSrcPcSpeaker = kSrcFirst + 7, kSrcWaveOut = kSrcFirst + 8, kSrcAuxiliary = kSrcFirst + 9,
                        kSrcAnalog = kSrcFirst + 10;
} // namespace component

namespace control {
constexpr std::uint32_t kClassMask = 0xF0000000u;
constexpr std::uint32_t kClassCustom = 0x00000000u, kClassMeter = 0x10000000u, kClassSwitch = 0x20000000u,
                        kClassNumber = 0x30000000u, kClassSlider = 0x40000000u, kClassFader = 0x50000000u,
                        kClassTime = 0x60000000u, kClassList = 0x70000000u;
constexpr std::uint32_t kUnitsBoolean = 0x00010000u, kUnitsSigned = 0x00020000u, kUnitsUnsigned = 0x00030000u,
                        kUnitsDecibels = 0x00040000u, kUnitsPercent = 0x00050000u;
constexpr std::uint32_t kCustom = kClassCustom;
constexpr std::uint32_t kBooleanMeter = kClassMeter | kUnitsBoolean;
constexpr std::uint32_t kSignedMeter = kClassMeter | kUnitsSigned;
constexpr std::uint32_t kPeakMeter = kSignedMeter + 1;
constexpr std::uint32_t kUnsignedMeter = kClassMeter | kUnitsUnsigned;
constexpr std::uint32_t kBoolean = kClassSwitch | kUnitsBoolean;
constexpr std::uint32_t kOnOff = kBoolean + 1, kMute = kBoolean + 2, kMono = kBoolean + 3, kLoudness = kBoolean + 4,
                        kStereoEnh = kBoolean + 5;
constexpr std::uint32_t kButton = kClassSwitch | 0x01000000u | kUnitsBoolean;
constexpr std::uint32_t kDecibels = kClassNumber | kUnitsDecibels, kSigned = kClassNumber | kUnitsSigned,
                        kUnsigned = kClassNumber | kUnitsUnsigned, kPercent = kClassNumber | kUnitsPercent;
constexpr std::uint32_t kSlider = kClassSlider | kUnitsSigned, kPan = kSlider + 1, kQSoundPan = kSlider + 2;
constexpr std::uint32_t kFader = kClassFader | kUnitsUnsigned, kVolume = kFader + 1, kBass = kFader + 2,
                        kTreble = kFader + 3, kEqualizer = kFader + 4;
constexpr std::uint32_t kSingleSelect = kClassList | kUnitsBoolean, kMux = kSingleSelect + 1;
constexpr std::uint32_t kMultipleSelect = kClassList | 0x01000000u | kUnitsBoolean, kMixer = kMultipleSelect + 1;
constexpr std::uint32_t kMicroTime = kClassTime | kUnitsUnsigned, kMilliTime = kClassTime | 0x01000000u | kUnitsUnsigned;

constexpr std::uint32_t kFlagUniform = 0x1, kFlagMultiple = 0x2, kFlagDisabled = 0x80000000u;
} // namespace control

constexpr std::uint32_t kLineFlagActive = 0x1, kLineFlagDisconnected = 0x8000, kLineFlagSource = 0x80000000u;

// Device kinds a line's target (or a mixer's other device) may name.
enum class DeviceKind : std::uint32_t { Undefined = 0, WaveOut = 1, WaveIn = 2, MidiOut = 3, MidiIn = 4, Aux = 5 };

// A mixer result other than success: the platform's error number and text.
class MixerError : public pelu::Error {
public:
    MixerError(int code, const std::string& text) : pelu::Error(text), code_(code) {}
    int code() const { return code_; }

private:
    int code_;
};

struct DeviceCaps {
    std::uint16_t manufacturer_id = 0;
    std::uint16_t product_id = 0;
    std::uint8_t version_major = 0;
    std::uint8_t version_minor = 0;
    std::string product_name;
    std::uint32_t destinations = 0;
};

struct LineTarget {
    DeviceKind kind = DeviceKind::Undefined;
    std::uint32_t device_id = 0xFFFFFFFFu;
    std::uint16_t manufacturer_id = 0;
    std::uint16_t product_id = 0;
    std::uint32_t version = 0;
    std::string product_name;
};

struct LineInfo {
    std::uint32_t destination = 0; // the destination this line belongs to
    std::uint32_t source = 0;      // index among the destination's connections (sources)
    std::uint32_t line_id = 0;
    std::uint32_t flags = 0;
    std::uint32_t component_type = 0;
    std::uint32_t channels = 0;
    std::uint32_t connections = 0;
    std::uint32_t controls = 0;
    std::string short_name;
    std::string name;
    LineTarget target;
};

struct ControlInfo {
    std::uint32_t control_id = 0;
    std::uint32_t line_id = 0;
    std::uint32_t control_type = 0;
    std::uint32_t flags = 0;
    std::uint32_t multiple_items = 0;
    std::string short_name;
    std::string name;
    std::uint32_t minimum = 0;
    std::uint32_t maximum = 0;
    std::uint32_t steps = 0;
};

struct Notice {
    // DeviceGone: the device went away (its card was unplugged); nothing more
    // comes through this handle, and queries on the device fail.
    enum Kind { LineChange, ControlChange, DeviceGone } kind = ControlChange;
    std::uint32_t id = 0; // line id or control id
};

// An open mixer: notices flow while it lives.
class MixerHandle {
public:
    virtual ~MixerHandle() = default;
};

class MixerSystem {
public:
    virtual ~MixerSystem() = default;

    virtual std::uint32_t device_count() = 0;
    // Throws MixerError for an id at or above device_count().
    virtual DeviceCaps caps(std::uint32_t device) = 0;

    // Line queries; nullopt when no such line exists.
    virtual std::optional<LineInfo> line_by_destination(std::uint32_t device, std::uint32_t destination) = 0;
    virtual std::optional<LineInfo> line_by_source(std::uint32_t device, std::uint32_t destination,
                                                   std::uint32_t source) = 0;
    virtual std::optional<LineInfo> line_by_id(std::uint32_t device, std::uint32_t line_id) = 0;
    virtual std::optional<LineInfo> line_by_component_type(std::uint32_t device, std::uint32_t type) = 0;
    virtual std::optional<LineInfo> line_by_target(std::uint32_t device, const LineTarget& target) = 0;

    // Control queries; nullopt when no such control exists.
    virtual std::optional<ControlInfo> control_by_type(std::uint32_t device, std::uint32_t line_id,
                                                       std::uint32_t type) = 0;
    virtual std::optional<ControlInfo> control_by_id(std::uint32_t device, std::uint32_t control_id) = 0;

    // Values, `channels` per item, `items` items (at least 1): channels * items
    // numbers, item-major. A transfer of 1 channel is uniform: it reads one value
    // for the control and writes that value to all its channels.
    virtual std::vector<std::uint32_t> get_values(std::uint32_t device, std::uint32_t control_id,
                                                  std::uint32_t channels, std::uint32_t items) = 0;
    virtual void set_values(std::uint32_t device, std::uint32_t control_id, std::uint32_t channels,
                            std::uint32_t items, const std::vector<std::uint32_t>& values) = 0;

    // Opens the device for notices; `on_notice` runs on the main thread.
    virtual std::unique_ptr<MixerHandle> open(std::uint32_t device, std::function<void(const Notice&)> on_notice) = 0;

    // The mixer that belongs to another audio device; -1 when it has none.
    virtual int mixer_of(DeviceKind kind, int device_id) = 0;
};

// The process's mixer system as PELU_MIXER chooses it (created on first use).
std::shared_ptr<MixerSystem> mixer_system();
std::shared_ptr<MixerSystem> make_alsa_mixer();
std::shared_ptr<MixerSystem> make_sim_mixer();

// --- The simulated mixer ---------------------------------------------------

struct SimControl {
    ControlInfo info;                  // control_id and line_id are filled in
    std::vector<std::uint32_t> values; // channels * items (at least one item)
};
struct SimLine {
    LineInfo info; // line_id, destination, source, connections, controls filled in
    std::vector<SimControl> controls;
};
struct SimDestination {
    SimLine line;
    std::vector<SimLine> sources;
};
struct SimDevice {
    DeviceCaps caps; // destinations filled in
    std::vector<SimDestination> destinations;
};

// The default layout: one device "PELU Simulated Mixer" with a two-channel
// speakers destination (volume 0..65535 in 65535 steps, not uniform, and mute)
// and a wave-out source line with its own volume.
std::vector<SimDevice> sim_default_layout();
// Replaces the simulated layout (every sim system in the process shares it).
// Line ids are destination index + 0x10000 * (source + 1); control ids count up.
void sim_set_layout(std::vector<SimDevice> devices);
// A change made by another program: sets every channel of the control, then
// notifies the open handles of that device from a thread of its own.
void sim_external_set(std::uint32_t device, std::uint32_t control_id, const std::vector<std::uint32_t>& values);
// How many writes went through set_values since the layout was set.
std::uint64_t sim_write_count();
// The device's card goes away: it leaves the layout (the devices after it move
// down one) and its open handles get DeviceGone, from a thread of its own.
void sim_unplug(std::uint32_t device);

} // namespace pelu::platform::mixer
