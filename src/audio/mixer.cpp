#include "audio/mixer.h"

namespace pelu {

namespace pm = platform::mixer;

namespace {

constexpr std::uint32_t kComponentTypes[] = {
    pm::component::kDstDigital,     pm::component::kDstHeadphones, pm::component::kDstLine,
    pm::component::kDstMonitor,     pm::component::kDstSpeakers,   pm::component::kDstTelephone,
    pm::component::kDstUndefined,   pm::component::kDstVoiceIn,    pm::component::kDstWaveIn,
    pm::component::kSrcAnalog,      pm::component::kSrcAuxiliary,  pm::component::kSrcCompactDisc,
    pm::component::kSrcDigital,     pm::component::kSrcLine,       pm::component::kSrcMicrophone,
    pm::component::kSrcPcSpeaker,   pm::component::kSrcSynthesizer, pm::component::kSrcTelephone,
    pm::component::kSrcUndefined,   pm::component::kSrcWaveOut,
};

constexpr std::uint32_t kControlTypes[] = {
    pm::control::kCustom,        pm::control::kBooleanMeter, pm::control::kSignedMeter, pm::control::kPeakMeter,
    pm::control::kUnsignedMeter, pm::control::kBoolean,      pm::control::kOnOff,       pm::control::kMute,
    pm::control::kMono,          pm::control::kLoudness,     pm::control::kStereoEnh,   pm::control::kButton,
    pm::control::kDecibels,      pm::control::kSigned,       pm::control::kUnsigned,    pm::control::kPercent,
    pm::control::kSlider,        pm::control::kPan,          pm::control::kQSoundPan,   pm::control::kFader,
    pm::control::kVolume,        pm::control::kBass,         pm::control::kTreble,      pm::control::kEqualizer,
    pm::control::kSingleSelect,  pm::control::kMux,          pm::control::kMultipleSelect, pm::control::kMixer,
    pm::control::kMicroTime,     pm::control::kMilliTime,
};

TMMDeviceCaps to_caps(const pm::DeviceCaps& c)
{
    TMMDeviceCaps caps;
    caps.ManufacturerId = c.manufacturer_id;
    caps.ProductId = c.product_id;
    caps.VerMajor = c.version_major;
    caps.VerMinor = c.version_minor;
    caps.ProductName = QString::fromStdString(c.product_name);
    return caps;
}

void notify(TMMObservable& observable, TMMMixerChange change)
{
    observable.NotifyObservers(&change);
}

} // namespace

// ---------------------------------------------------------------------------
// TMMCustomAudioDevice

void TMMCustomAudioDevice::SetActive(bool active)
{
    if (loading_) {
        pending_active_ = active;
        return;
    }
    if (active == active_)
        return;
    if (active)
        Open();
    else
        Close();
}

void TMMCustomAudioDevice::Loaded()
{
    if (!loading_)
        return;
    loading_ = false;
    caps_ = Valid() ? ReadCaps() : TMMDeviceCaps{};
    notify(device_observable_, {TMMMixerChange::mcDeviceChange});
    SetActive(pending_active_);
}

void TMMCustomAudioDevice::SetDeviceId(int id)
{
    if (id != -2 && id != -1 && id != 0 && !(id > 0 && id < DeviceCount()))
        throw EMMDeviceError("Device id is out of range");
    ApplyDeviceId(id);
}

void TMMCustomAudioDevice::ApplyDeviceId(int id)
{
    if (id == device_id_)
        return;
    const bool was_active = active_;
    if (active_)
        Close();
    device_id_ = id;
    gone_ = false; // another device is looked at afresh
    caps_ = Valid() ? ReadCaps() : TMMDeviceCaps{};
    Changed();
    if (was_active && !loading_)
        Open();
}

void TMMCustomAudioDevice::Changed()
{
    if (loading_)
        return;
    notify(device_observable_, {TMMMixerChange::mcDeviceChange});
    if (OnChange)
        OnChange(this);
}

// ---------------------------------------------------------------------------
// TMMMixerDevice

TMMMixerDevice::TMMMixerDevice(QObject* parent)
    : TMMCustomAudioDevice(parent), system_(pm::mixer_system())
{
    caps_ = Valid() ? ReadCaps() : TMMDeviceCaps{};
    device_link_.OnChange = [this](TMMObserver*, void* data) {
        auto* change = static_cast<TMMMixerChange*>(data);
        if (change && change->kind == TMMMixerChange::mcDeviceChange)
            FollowDevice();
    };
}

TMMMixerDevice::~TMMMixerDevice()
{
    handle_.reset();
}

void TMMMixerDevice::SetMixerSystem(std::shared_ptr<pm::MixerSystem> system)
{
    const bool was_active = active_;
    if (active_)
        Close();
    system_ = std::move(system);
    gone_ = false;
    if (device_id_ > 0 && device_id_ >= DeviceCount())
        device_id_ = 0;
    caps_ = Valid() ? ReadCaps() : TMMDeviceCaps{};
    Changed();
    if (was_active)
        Open();
}

int TMMMixerDevice::DeviceCount() const
{
    try {
        return int(system_->device_count());
    } catch (const pm::MixerError&) {
        return 0;
    }
}

int TMMMixerDevice::Destinations() const
{
    if (!Valid())
        return 0;
    return int(Call([&] { return system_->caps(PlatformId()).destinations; }));
}

TMMDeviceCaps TMMMixerDevice::ReadCaps()
{
    return to_caps(Call([&] { return system_->caps(PlatformId()); }));
}

void TMMMixerDevice::ThrowMci(const pm::MixerError& error)
{
    const std::string text = error.what();
    throw EMMMCIError(text.empty() ? "MMSystem error: " + std::to_string(error.code()) : text);
}

void TMMMixerDevice::Open()
{
    if (!Valid())
        throw EMMMixerDeviceError("Device not valid");
    handle_ = Call([&] {
        return system_->open(PlatformId(), [this](const pm::Notice& notice) { HandleNotice(notice); });
    });
    active_ = true;
}

void TMMMixerDevice::Close()
{
    handle_.reset();
    active_ = false;
}

void TMMMixerDevice::HandleNotice(const pm::Notice& notice)
{
    if (notice.kind == pm::Notice::DeviceGone) {
        // The card went away: from now on as when there is no mixer, so lines,
        // controls and sliders let go of it (the sliders disable).
        handle_.reset();
        active_ = false;
        gone_ = true;
        caps_ = TMMDeviceCaps{};
        Changed();
        return;
    }
    if (notice.kind == pm::Notice::LineChange) {
        const int line = int(notice.id);
        notify(mixer_observable_, {TMMMixerChange::mcLineChange, line});
        if (OnLineChange)
            OnLineChange(this, line);
        return;
    }
    const auto control = Call([&] { return system_->control_by_id(PlatformId(), notice.id); });
    if (!control)
        return;
    const int line = int(control->line_id), id = int(notice.id);
    notify(mixer_observable_, {TMMMixerChange::mcControlChange, line, id});
    if (OnControlChange)
        OnControlChange(this, line, id);
}

void TMMMixerDevice::SetDevice(TMMCustomAudioDevice* device)
{
    if (device == device_)
        return;
    if (qobject_cast<TMMMixerDevice*>(device))
        throw EMMMixerDeviceError("Mixer can't reference mixer");
    if (device_)
        device_->DeviceObservable().RemoveObserver(&device_link_);
    device_ = device;
    if (device) {
        device->DeviceObservable().AddObserver(&device_link_);
        connect(device, &QObject::destroyed, this, [this] {
            device_ = nullptr;
        });
        FollowDevice();
    }
}

void TMMMixerDevice::FollowDevice()
{
    if (!device_)
        return;
    const int id = system_->mixer_of(device_->Kind(), device_->DeviceId());
    ApplyDeviceId(id < 0 ? -2 : id);
}

// ---------------------------------------------------------------------------
// TMMAudioLine

TMMAudioLine::TMMAudioLine(QObject* parent) : QObject(parent)
{
    device_observer_.OnChange = [this](TMMObserver*, void* data) { MixerNotice(data); };
    mixer_observer_.OnChange = [this](TMMObserver*, void* data) { MixerNotice(data); };
}

TMMAudioLine::~TMMAudioLine() = default;

std::uint32_t TMMAudioLine::PlatformComponentType(TMMComponentType type)
{
    return kComponentTypes[int(type)];
}

TMMAudioLine::TMMComponentType TMMAudioLine::ComponentTypeFromPlatform(std::uint32_t type)
{
    for (int i = 0; i < int(std::size(kComponentTypes)); ++i)
        if (kComponentTypes[i] == type)
            return TMMComponentType(i);
    throw EMMMixerServiceError("Undefined API component type");
}

bool TMMAudioLine::Valid() const
{
    return mixer_ && mixer_->Valid() && line_id_ != -1;
}

void TMMAudioLine::HookMixer()
{
    disconnect(mixer_destroyed_);
    if (!mixer_)
        return;
    mixer_->DeviceObservable().AddObserver(&device_observer_);
    mixer_->MixerObservable().AddObserver(&mixer_observer_);
    mixer_destroyed_ = connect(mixer_, &QObject::destroyed, this, [this] {
        mixer_ = nullptr;
        FindLine();
    });
}

void TMMAudioLine::SetMixer(TMMMixerDevice* mixer)
{
    if (mixer == mixer_)
        return;
    if (mixer_) {
        mixer_->DeviceObservable().RemoveObserver(&device_observer_);
        mixer_->MixerObservable().RemoveObserver(&mixer_observer_);
    }
    mixer_ = mixer;
    HookMixer();
    FindLine();
}

void TMMAudioLine::SetLineId(int id)
{
    specified_by_ = sbLineId;
    line_id_ = id;
    FindLine();
}

void TMMAudioLine::SetComponentType(TMMComponentType type)
{
    specified_by_ = sbComponentType;
    component_type_ = type;
    FindLine();
}

void TMMAudioLine::SetTarget(const pm::LineTarget& target)
{
    specified_by_ = sbTarget;
    target_ = target;
    FindLine();
}

void TMMAudioLine::SetDestLine(TMMAudioLine* line)
{
    if (line == dest_line_)
        return;
    disconnect(dest_destroyed_);
    dest_line_ = line;
    if (line)
        dest_destroyed_ = connect(line, &QObject::destroyed, this, [this] {
            dest_line_ = nullptr;
            FindLine();
        });
    FindLine();
}

void TMMAudioLine::Loaded()
{
    if (!loading_)
        return;
    loading_ = false;
    FindLine();
}

void TMMAudioLine::ClearLine()
{
    line_id_ = -1;
    info_ = TMMLineInfo{};
    dest_index_ = -1;
}

void TMMAudioLine::TakeLine(const pm::LineInfo& line)
{
    const TMMComponentType type = ComponentTypeFromPlatform(line.component_type);
    line_id_ = int(line.line_id);
    component_type_ = type;
    info_.Flags = ((line.flags & pm::kLineFlagActive) ? TMMLineInfo::cfActive : 0) |
                  ((line.flags & pm::kLineFlagDisconnected) ? TMMLineInfo::cfDisconnected : 0) |
                  ((line.flags & pm::kLineFlagSource) ? TMMLineInfo::cfSource : 0);
    info_.Channels = int(line.channels);
    info_.Connections = int(line.connections);
    info_.Controls = int(line.controls);
    info_.ShortName = QString::fromStdString(line.short_name).left(16);
    info_.Name = QString::fromStdString(line.name).left(64);
    dest_index_ = (line.flags & pm::kLineFlagSource) ? -1 : int(line.destination);
}

std::optional<pm::LineInfo> TMMAudioLine::SearchUnderDestination()
{
    auto& system = mixer_->System();
    const std::uint32_t device = mixer_->PlatformId();
    if (specified_by_ == sbLineId) {
        if (line_id_ == -1)
            return std::nullopt;
        return mixer_->Call([&] { return system.line_by_id(device, std::uint32_t(line_id_)); });
    }
    // A source line cannot serve as a destination.
    if (dest_line_->DestinationIndex() < 0)
        return std::nullopt;
    const auto dest = std::uint32_t(dest_line_->DestinationIndex());
    for (int i = 0; i < dest_line_->LineInfo().Connections; ++i) {
        auto line = mixer_->Call([&] { return system.line_by_source(device, dest, std::uint32_t(i)); });
        if (!line)
            continue;
        if (specified_by_ == sbComponentType && line->component_type == PlatformComponentType(component_type_))
            return line;
        if (specified_by_ == sbTarget && line->target.kind == target_.kind &&
            line->target.manufacturer_id == target_.manufacturer_id &&
            line->target.product_id == target_.product_id && line->target.version == target_.version &&
            line->target.product_name == target_.product_name)
            return line;
    }
    return std::nullopt;
}

void TMMAudioLine::FindLine()
{
    if (loading_)
        return;
    dest_index_ = -1;
    std::optional<pm::LineInfo> line;
    if (mixer_ && mixer_->Valid()) {
        auto& system = mixer_->System();
        const std::uint32_t device = mixer_->PlatformId();
        if (dest_line_ && dest_line_->Mixer() == mixer_) {
            line = SearchUnderDestination();
        } else if (specified_by_ == sbComponentType) {
            line = mixer_->Call(
                [&] { return system.line_by_component_type(device, PlatformComponentType(component_type_)); });
        } else if (specified_by_ == sbTarget) {
            line = mixer_->Call([&] { return system.line_by_target(device, target_); });
        } else if (line_id_ != -1) {
            line = mixer_->Call([&] { return system.line_by_id(device, std::uint32_t(line_id_)); });
        }
    }
    if (line)
        TakeLine(*line);
    else
        ClearLine();
    notify(observable_, {TMMMixerChange::mcLineIdChange, line_id_});
}

void TMMAudioLine::MixerNotice(void* data)
{
    auto* change = static_cast<TMMMixerChange*>(data);
    if (!change)
        return;
    switch (change->kind) {
    case TMMMixerChange::mcDeviceChange:
        FindLine();
        break;
    case TMMMixerChange::mcLineChange:
        if (change->line_id == line_id_ && line_id_ != -1) {
            notify(observable_, {TMMMixerChange::mcLineChange, line_id_});
            if (OnChange)
                OnChange(this);
        }
        break;
    case TMMMixerChange::mcControlChange:
        if (change->line_id == line_id_ && line_id_ != -1) {
            notify(observable_, {TMMMixerChange::mcControlChange, change->line_id, change->control_id});
            if (OnControlChange)
                OnControlChange(this, change->line_id, change->control_id);
        }
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------
// TMMMixerControl

TMMMixerControl::TMMMixerControl(QObject* parent) : QObject(parent)
{
    line_observer_.OnChange = [this](TMMObserver*, void* data) { LineNotice(data); };
}

TMMMixerControl::~TMMMixerControl() = default;

std::uint32_t TMMMixerControl::PlatformControlType(TMMControlType type)
{
    return kControlTypes[int(type)];
}

TMMMixerControl::TMMControlType TMMMixerControl::ControlTypeFromPlatform(std::uint32_t type)
{
    for (int i = 0; i < int(std::size(kControlTypes)); ++i)
        if (kControlTypes[i] == type)
            return TMMControlType(i);
    throw EMMMixerServiceError("Undefined API control type");
}

TMMMixerControl::TMMControlClass TMMMixerControl::ClassOf(TMMControlType type)
{
    switch (PlatformControlType(type) & pm::control::kClassMask) {
    case pm::control::kClassCustom: return ccCustom;
    case pm::control::kClassMeter: return ccMeter;
    case pm::control::kClassSwitch: return ccSwitch;
    case pm::control::kClassNumber: return ccNumber;
    case pm::control::kClassSlider: return ccSlider;
    case pm::control::kClassFader: return ccFader;
    case pm::control::kClassTime: return ccTime;
    case pm::control::kClassList: return ccList;
    default: throw EMMMixerServiceError("Undefined API control class");
    }
}

bool TMMMixerControl::Valid() const
{
    return line_ && line_->Valid() && control_id_ != -1;
}

void TMMMixerControl::SetAudioLine(TMMAudioLine* line)
{
    if (line == line_)
        return;
    if (line_)
        line_->Observable().RemoveObserver(&line_observer_);
    disconnect(line_destroyed_);
    line_ = line;
    if (line) {
        line->Observable().AddObserver(&line_observer_);
        line_destroyed_ = connect(line, &QObject::destroyed, this, [this] {
            line_ = nullptr;
            FindControl();
        });
    }
    FindControl();
}

void TMMMixerControl::SetControlId(int id)
{
    by_id_ = true;
    control_id_ = id;
    FindControl();
}

void TMMMixerControl::SetControlType(TMMControlType type)
{
    by_id_ = false;
    control_type_ = type;
    FindControl();
}

void TMMMixerControl::Loaded()
{
    if (!loading_)
        return;
    loading_ = false;
    FindControl();
}

void TMMMixerControl::ClearControl()
{
    control_id_ = -1;
    info_ = TMMControlInfo{};
}

void TMMMixerControl::FindControl()
{
    if (loading_) {
        control_class_ = ClassOf(control_type_);
        return;
    }
    std::optional<pm::ControlInfo> found;
    if (line_ && line_->Valid()) {
        TMMMixerDevice* mixer = line_->Mixer();
        auto& system = mixer->System();
        const std::uint32_t device = mixer->PlatformId();
        if (by_id_) {
            if (control_id_ != -1)
                found = mixer->Call([&] { return system.control_by_id(device, std::uint32_t(control_id_)); });
        } else {
            found = mixer->Call([&] {
                return system.control_by_type(device, std::uint32_t(line_->LineId()),
                                              PlatformControlType(control_type_));
            });
        }
    }
    if (found) {
        control_type_ = ControlTypeFromPlatform(found->control_type);
        control_id_ = int(found->control_id);
        info_.Flags = ((found->flags & pm::control::kFlagDisabled) ? TMMControlInfo::cfDisabled : 0) |
                      ((found->flags & pm::control::kFlagMultiple) ? TMMControlInfo::cfMultiple : 0) |
                      ((found->flags & pm::control::kFlagUniform) ? TMMControlInfo::cfUniform : 0);
        info_.MultipleItems = int(found->multiple_items);
        info_.ShortName = QString::fromStdString(found->short_name).left(16);
        info_.Name = QString::fromStdString(found->name).left(64);
        info_.MinValue = found->minimum;
        info_.MaxValue = found->maximum;
        info_.Steps = found->steps;
    } else {
        ClearControl();
    }
    control_class_ = ClassOf(control_type_);
    notify(observable_, {TMMMixerChange::mcControlIdChange, line_ ? line_->LineId() : -1, control_id_});
}

void TMMMixerControl::LineNotice(void* data)
{
    auto* change = static_cast<TMMMixerChange*>(data);
    if (!change)
        return;
    if (change->kind == TMMMixerChange::mcLineIdChange) {
        FindControl();
    } else if (change->kind == TMMMixerChange::mcControlChange && line_ && change->line_id == line_->LineId() &&
               change->control_id == control_id_ && control_id_ != -1) {
        notify(observable_, {TMMMixerChange::mcControlChange, change->line_id, control_id_});
        if (OnChange)
            OnChange(this);
    }
}

void TMMMixerControl::CheckOperable() const
{
    if (!line_ || !line_->Valid())
        throw EMMMixerControlError("Mixer required for this operation");
    if (control_id_ == -1)
        throw EMMMixerControlError("Control not valid");
}

std::uint32_t TMMMixerControl::TransferChannels(TMMChannel channel) const
{
    if (channel == chBoth || (info_.Flags & TMMControlInfo::cfUniform))
        return 1;
    return std::uint32_t(std::max(1, line_->LineInfo().Channels));
}

std::uint32_t TMMMixerControl::Items() const
{
    return (info_.Flags & TMMControlInfo::cfMultiple) ? std::uint32_t(std::max(1, info_.MultipleItems)) : 1;
}

std::size_t TMMMixerControl::ValueIndex(TMMChannel channel, int item, std::uint32_t channels) const
{
    if (info_.Flags & TMMControlInfo::cfMultiple) {
        if (item < 0 || item >= info_.MultipleItems)
            throw EMMMixerControlError("Item index out of range");
    } else if (item != -1) {
        throw EMMMixerControlError("Item index out of range");
    }
    const std::size_t it = std::size_t(std::max(item, 0));
    if (channel == chBoth || channels == 1)
        return it;
    return channels * it + (channel == chRight ? 1 : 0);
}

std::uint32_t TMMMixerControl::GetValue(TMMChannel channel, int item) const
{
    CheckOperable();
    const std::uint32_t channels = TransferChannels(channel);
    const std::size_t index = ValueIndex(channel, item, channels);
    TMMMixerDevice* mixer = line_->Mixer();
    const auto values = mixer->Call([&] {
        return mixer->System().get_values(mixer->PlatformId(), std::uint32_t(control_id_), channels, Items());
    });
    return index < values.size() ? values[index] : 0;
}

void TMMMixerControl::SetValue(TMMChannel channel, int item, std::uint32_t value)
{
    CheckOperable();
    const std::uint32_t channels = TransferChannels(channel);
    const std::size_t index = ValueIndex(channel, item, channels);
    TMMMixerDevice* mixer = line_->Mixer();
    auto& system = mixer->System();
    const std::uint32_t device = mixer->PlatformId();
    mixer->Call([&] {
        auto values = system.get_values(device, std::uint32_t(control_id_), channels, Items());
        if (index < values.size())
            values[index] = value;
        system.set_values(device, std::uint32_t(control_id_), channels, Items(), values);
    });
}

} // namespace pelu
