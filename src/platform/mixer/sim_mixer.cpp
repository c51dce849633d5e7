// The simulated mixer: a layout held in memory, shared by the process.
#include "platform/mainthread.h"
#include "platform/mixer/mixer_device.h"

#include <atomic>
#include <map>
#include <mutex>
#include <thread>

namespace pelu::platform::mixer {

namespace {

constexpr int kErrBadDeviceId = 2;   // the platform's "bad device id"
constexpr int kErrInvalidParam = 11; // "invalid parameter"
constexpr int kErrInvalidControl = 1025;

// A live subscription; `alive` is cleared (under the state lock) when its handle
// goes, so notices already posted do nothing afterwards.
struct Subscription {
    std::uint32_t device;
    std::function<void(const Notice&)> on_notice;
    std::atomic<bool> alive{true};
};

struct SimState {
    std::mutex mutex;
    std::vector<SimDevice> devices;
    std::vector<std::shared_ptr<Subscription>> subscriptions;
    std::uint64_t writes = 0;

    static SimState& instance()
    {
        static SimState state;
        return state;
    }

    SimState() { set(sim_default_layout()); }

    void set(std::vector<SimDevice> layout)
    {
        std::uint32_t next_control = 1;
        for (SimDevice& d : layout) {
            d.caps.destinations = std::uint32_t(d.destinations.size());
            for (std::uint32_t di = 0; di < d.destinations.size(); ++di) {
                SimDestination& dest = d.destinations[di];
                auto fill = [&](SimLine& line, std::uint32_t line_id, std::uint32_t source) {
                    line.info.line_id = line_id;
                    line.info.destination = di;
                    line.info.source = source;
                    line.info.controls = std::uint32_t(line.controls.size());
                    for (SimControl& c : line.controls) {
                        c.info.control_id = next_control++;
                        c.info.line_id = line_id;
                        const std::uint32_t items = (c.info.flags & control::kFlagMultiple) ? c.info.multiple_items : 1;
                        const std::uint32_t channels = (c.info.flags & control::kFlagUniform) ? 1 : line.info.channels;
                        c.values.resize(std::max<std::uint32_t>(1, items) * std::max<std::uint32_t>(1, channels));
                    }
                };
                fill(dest.line, di, 0);
                dest.line.info.connections = std::uint32_t(dest.sources.size());
                dest.line.info.flags &= ~kLineFlagSource;
                for (std::uint32_t si = 0; si < dest.sources.size(); ++si) {
                    fill(dest.sources[si], di + 0x10000u * (si + 1), si);
                    dest.sources[si].info.flags |= kLineFlagSource;
                }
            }
        }
        std::lock_guard lock(mutex);
        devices = std::move(layout);
        writes = 0;
    }

    // Callers hold the lock.
    SimDevice& device(std::uint32_t id)
    {
        if (id >= devices.size())
            throw MixerError(kErrBadDeviceId, "The specified device identifier is out of range.");
        return devices[id];
    }

    template <typename Fn>
    std::optional<LineInfo> find_line(std::uint32_t device_id, Fn match)
    {
        std::lock_guard lock(mutex);
        SimDevice& d = device(device_id);
        for (SimDestination& dest : d.destinations) {
            if (match(dest.line.info))
                return dest.line.info;
            for (SimLine& s : dest.sources)
                if (match(s.info))
                    return s.info;
        }
        return std::nullopt;
    }

    SimControl* find_control(SimDevice& d, std::uint32_t control_id, SimLine** owner = nullptr)
    {
        for (SimDestination& dest : d.destinations) {
            for (SimControl& c : dest.line.controls)
                if (c.info.control_id == control_id) {
                    if (owner)
                        *owner = &dest.line;
                    return &c;
                }
            for (SimLine& s : dest.sources)
                for (SimControl& c : s.controls)
                    if (c.info.control_id == control_id) {
                        if (owner)
                            *owner = &s;
                        return &c;
                    }
        }
        return nullptr;
    }

    void notify(std::uint32_t device_id, const Notice& notice)
    {
        std::vector<std::shared_ptr<Subscription>> targets;
        {
            std::lock_guard lock(mutex);
            for (auto& s : subscriptions)
                if (s->device == device_id)
                    targets.push_back(s);
        }
        for (auto& s : targets)
            platform::post([s, notice] {
                if (s->alive.load())
                    s->on_notice(notice);
            });
    }
};

class SimHandle : public MixerHandle {
public:
    explicit SimHandle(std::shared_ptr<Subscription> s) : subscription_(std::move(s)) {}
    ~SimHandle() override
    {
        SimState& state = SimState::instance();
        std::lock_guard lock(state.mutex);
        subscription_->alive = false;
        std::erase(state.subscriptions, subscription_);
    }

private:
    std::shared_ptr<Subscription> subscription_;
};

class SimMixer : public MixerSystem {
public:
    std::uint32_t device_count() override
    {
        SimState& s = SimState::instance();
        std::lock_guard lock(s.mutex);
        return std::uint32_t(s.devices.size());
    }

    DeviceCaps caps(std::uint32_t device) override
    {
        SimState& s = SimState::instance();
        std::lock_guard lock(s.mutex);
        return s.device(device).caps;
    }

    std::optional<LineInfo> line_by_destination(std::uint32_t device, std::uint32_t destination) override
    {
        return SimState::instance().find_line(device, [&](const LineInfo& l) {
            return !(l.flags & kLineFlagSource) && l.destination == destination;
        });
    }

    std::optional<LineInfo> line_by_source(std::uint32_t device, std::uint32_t destination,
                                           std::uint32_t source) override
    {
        return SimState::instance().find_line(device, [&](const LineInfo& l) {
            return (l.flags & kLineFlagSource) && l.destination == destination && l.source == source;
        });
    }

    std::optional<LineInfo> line_by_id(std::uint32_t device, std::uint32_t line_id) override
    {
        return SimState::instance().find_line(device, [&](const LineInfo& l) { return l.line_id == line_id; });
    }

    std::optional<LineInfo> line_by_component_type(std::uint32_t device, std::uint32_t type) override
    {
        return SimState::instance().find_line(device,
                                              [&](const LineInfo& l) { return l.component_type == type; });
    }

    std::optional<LineInfo> line_by_target(std::uint32_t device, const LineTarget& t) override
    {
        return SimState::instance().find_line(device, [&](const LineInfo& l) {
            return t.kind != DeviceKind::Undefined && l.target.kind == t.kind &&
                   l.target.manufacturer_id == t.manufacturer_id && l.target.product_id == t.product_id &&
                   l.target.version == t.version && l.target.product_name == t.product_name;
        });
    }

    std::optional<ControlInfo> control_by_type(std::uint32_t device, std::uint32_t line_id,
                                               std::uint32_t type) override
    {
        SimState& s = SimState::instance();
        std::lock_guard lock(s.mutex);
        SimDevice& d = s.device(device);
        for (SimDestination& dest : d.destinations) {
            std::vector<SimLine*> lines{&dest.line};
            for (SimLine& l : dest.sources)
                lines.push_back(&l);
            for (SimLine* l : lines) {
                if (l->info.line_id != line_id)
                    continue;
                for (SimControl& c : l->controls)
                    if (c.info.control_type == type)
                        return c.info;
                return std::nullopt;
            }
        }
        return std::nullopt;
    }

    std::optional<ControlInfo> control_by_id(std::uint32_t device, std::uint32_t control_id) override
    {
        SimState& s = SimState::instance();
        std::lock_guard lock(s.mutex);
        if (SimControl* c = s.find_control(s.device(device), control_id))
            return c->info;
        return std::nullopt;
    }

    std::vector<std::uint32_t> get_values(std::uint32_t device, std::uint32_t control_id, std::uint32_t channels,
                                          std::uint32_t items) override
    {
        SimState& s = SimState::instance();
        std::lock_guard lock(s.mutex);
        SimLine* line = nullptr;
        SimControl* c = s.find_control(s.device(device), control_id, &line);
        if (!c)
            throw MixerError(kErrInvalidControl, "The specified control identifier is invalid.");
        const std::uint32_t stored = std::uint32_t(c->values.size()) / std::max<std::uint32_t>(1, items);
        check(channels, stored, items, c->values.size());
        std::vector<std::uint32_t> out(std::size_t(channels) * items);
        for (std::uint32_t item = 0; item < items; ++item)
            for (std::uint32_t ch = 0; ch < channels; ++ch)
                // A uniform read of a multi-channel control gives the first channel.
                out[item * channels + ch] = c->values[item * stored + (channels == 1 ? 0 : ch)];
        return out;
    }

    void set_values(std::uint32_t device, std::uint32_t control_id, std::uint32_t channels, std::uint32_t items,
                    const std::vector<std::uint32_t>& values) override
    {
        SimState& s = SimState::instance();
        {
            std::lock_guard lock(s.mutex);
            SimControl* c = s.find_control(s.device(device), control_id);
            if (!c)
                throw MixerError(kErrInvalidControl, "The specified control identifier is invalid.");
            const std::uint32_t stored = std::uint32_t(c->values.size()) / std::max<std::uint32_t>(1, items);
            check(channels, stored, items, c->values.size());
            if (values.size() != std::size_t(channels) * items)
                throw MixerError(kErrInvalidParam, "An invalid parameter was passed to a system function.");
            for (std::uint32_t item = 0; item < items; ++item)
                for (std::uint32_t ch = 0; ch < stored; ++ch)
                    // A uniform write sets every channel.
                    c->values[item * stored + ch] =
                        std::clamp(values[item * channels + (channels == 1 ? 0 : ch)], c->info.minimum, c->info.maximum);
            ++s.writes;
        }
        s.notify(device, Notice{Notice::ControlChange, control_id});
    }

    std::unique_ptr<MixerHandle> open(std::uint32_t device, std::function<void(const Notice&)> on_notice) override
    {
        SimState& s = SimState::instance();
        std::lock_guard lock(s.mutex);
        s.device(device);
        auto sub = std::make_shared<Subscription>();
        sub->device = device;
        sub->on_notice = std::move(on_notice);
        s.subscriptions.push_back(sub);
        return std::make_unique<SimHandle>(sub);
    }

    int mixer_of(DeviceKind kind, int device_id) override
    {
        // Every simulated wave device belongs to the mixer with the same number.
        if (kind == DeviceKind::Undefined || device_id < 0 || std::uint32_t(device_id) >= device_count())
            return -1;
        return device_id;
    }

private:
    static void check(std::uint32_t channels, std::uint32_t stored, std::uint32_t items, std::size_t size)
    {
        if (items == 0 || channels == 0 || (channels != 1 && channels != stored) ||
            std::size_t(stored) * items != size)
            throw MixerError(kErrInvalidParam, "An invalid parameter was passed to a system function.");
    }
};

} // namespace

std::vector<SimDevice> sim_default_layout()
{
    SimDevice d;
    d.caps.manufacturer_id = 1;
    d.caps.product_id = 1;
    d.caps.version_major = 1;
    d.caps.product_name = "PELU Simulated Mixer";

    SimDestination speakers;
    speakers.line.info.component_type = component::kDstSpeakers;
    speakers.line.info.channels = 2;
    speakers.line.info.flags = kLineFlagActive;
    speakers.line.info.short_name = "Master";
    speakers.line.info.name = "Master Volume";
    SimControl volume;
    volume.info.control_type = control::kVolume;
    volume.info.short_name = "Volume";
    volume.info.name = "Master Volume";
    volume.info.minimum = 0;
    volume.info.maximum = 65535;
    volume.info.steps = 65535;
    SimControl mute;
    mute.info.control_type = control::kMute;
    mute.info.flags = control::kFlagUniform;
    mute.info.short_name = "Mute";
    mute.info.name = "Master Mute";
    mute.info.maximum = 1;
    mute.info.steps = 1;
    speakers.line.controls = {volume, mute};

    SimLine wave;
    wave.info.component_type = component::kSrcWaveOut;
    wave.info.channels = 2;
    wave.info.flags = kLineFlagActive;
    wave.info.short_name = "Wave";
    wave.info.name = "Wave";
    wave.info.target.kind = DeviceKind::WaveOut;
    wave.info.target.device_id = 0;
    wave.info.target.product_name = "PELU Simulated Wave";
    SimControl wave_volume = volume;
    wave_volume.info.name = "Wave Volume";
    wave.controls = {wave_volume};
    speakers.sources = {wave};

    d.destinations = {speakers};
    // Start at half volume, like a fresh system.
    d.destinations[0].line.controls[0].values = {32768, 32768};
    return {d};
}

void sim_set_layout(std::vector<SimDevice> devices)
{
    SimState::instance().set(std::move(devices));
}

void sim_external_set(std::uint32_t device, std::uint32_t control_id, const std::vector<std::uint32_t>& values)
{
    SimState& s = SimState::instance();
    {
        std::lock_guard lock(s.mutex);
        SimControl* c = s.find_control(s.device(device), control_id);
        if (!c)
            throw MixerError(kErrInvalidControl, "The specified control identifier is invalid.");
        for (std::size_t i = 0; i < c->values.size(); ++i)
            c->values[i] = values.empty() ? 0 : values[std::min(i, values.size() - 1)];
    }
    // Notices reach us from elsewhere, as the platform's would.
    std::thread([device, control_id] {
        SimState::instance().notify(device, Notice{Notice::ControlChange, control_id});
    }).join();
}

std::uint64_t sim_write_count()
{
    SimState& s = SimState::instance();
    std::lock_guard lock(s.mutex);
    return s.writes;
}

void sim_unplug(std::uint32_t device)
{
    SimState& s = SimState::instance();
    std::vector<std::shared_ptr<Subscription>> gone;
    {
        std::lock_guard lock(s.mutex);
        if (device >= s.devices.size())
            return;
        s.devices.erase(s.devices.begin() + device);
        for (auto& subscription : s.subscriptions)
            if (subscription->device == device) {
                gone.push_back(subscription);
                subscription->device = 0xFFFFFFFFu; // hears nothing more
            } else if (subscription->device > device && subscription->device != 0xFFFFFFFFu) {
                --subscription->device;
            }
    }
    std::thread([gone] {
        for (auto& subscription : gone)
            platform::post([subscription] {
                if (subscription->alive.load())
                    subscription->on_notice(Notice{Notice::DeviceGone, 0});
            });
    }).join();
}

std::shared_ptr<MixerSystem> make_sim_mixer()
{
    return std::make_shared<SimMixer>();
}

} // namespace pelu::platform::mixer
