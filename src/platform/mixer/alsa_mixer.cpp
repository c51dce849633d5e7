// The ALSA mixer: one device per sound card, built on the simple mixer. When
// ALSA's `default` control device is a sound server's (PipeWire's or
// PulseAudio's plugin, not a card), it comes first, as device 0: that is the
// volume a desktop user hears, and the device the wave output plays to first.
// Line 0 (destination 0, speakers) is the card's "Master" playback element, or
// its first element with a playback volume when it has no master; the card's
// other playback elements with a volume are the sources of that destination.
// Each line has a volume control (the element's raw range shifted to start at 0,
// one step per raw unit) and, when the element has a playback switch, a mute.
#include "platform/mainthread.h"
#include "platform/mixer/event_poller.h"
#include "platform/mixer/mixer_device.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace pelu::platform::mixer {

namespace {

constexpr int kErrBadDeviceId = 2;
constexpr int kErrInvalidParam = 11;
constexpr int kErrInvalidControl = 1025;

[[noreturn]] void alsa_fail(int rc, const char* call)
{
    throw MixerError(rc, std::string(call) + ": " + snd_strerror(rc));
}

struct Element {
    snd_mixer_elem_t* elem = nullptr;
    std::string name;
    std::uint32_t component_type = component::kSrcUndefined;
    std::uint32_t channels = 1;
    bool uniform = true;
    bool has_switch = false;
    long min = 0, max = 0;
};

std::uint32_t line_id_of(std::size_t index)
{
    return index == 0 ? 0u : std::uint32_t(0x10000u * index);
}
std::uint32_t volume_id_of(std::size_t index) { return std::uint32_t(index * 2 + 1); }
std::uint32_t mute_id_of(std::size_t index) { return std::uint32_t(index * 2 + 2); }

std::uint32_t source_type_for(const std::string& name)
{
    auto has = [&](const char* word) { return strcasestr(name.c_str(), word) != nullptr; };
    if (has("PCM") || has("Wave"))
        return component::kSrcWaveOut;
    if (has("CD"))
        return component::kSrcCompactDisc;
    if (has("Mic"))
        return component::kSrcMicrophone;
    if (has("Line"))
        return component::kSrcLine;
    if (has("Synth") || has("MIDI"))
        return component::kSrcSynthesizer;
    if (has("Beep") || has("Speaker"))
        return component::kSrcPcSpeaker;
    if (has("Aux"))
        return component::kSrcAuxiliary;
    if (has("IEC958") || has("S/PDIF") || has("Digital"))
        return component::kSrcDigital;
    return component::kSrcUndefined;
}

struct Card;

struct Subscription {
    std::function<void(const Notice&)> on_notice;
    std::atomic<bool> alive{true};
};

struct Card {
    int index = -1;       // the card's number; -1 for the sound server's device
    std::string ctl_name; // "hw:N" or "default"
    std::string name;
    snd_mixer_t* mixer = nullptr;
    std::vector<Element> lines; // [0] is the speakers destination when present
    std::recursive_mutex mutex;

    // Notices
    std::vector<std::shared_ptr<Subscription>> subscriptions;
    std::set<std::uint32_t> changed_controls;
    EventPoller poller;
    // The card went away: it is loaded afresh (or found missing) when asked for again.
    std::atomic<bool> gone{false};

    ~Card()
    {
        stop_polling();
        if (mixer)
            snd_mixer_close(mixer);
    }

    static int on_element_event(snd_mixer_elem_t* elem, unsigned int mask)
    {
        auto* card = static_cast<Card*>(snd_mixer_elem_get_callback_private(elem));
        if (!card || !(mask & SND_CTL_EVENT_MASK_VALUE))
            return 0;
        for (std::size_t i = 0; i < card->lines.size(); ++i)
            if (card->lines[i].elem == elem) {
                card->changed_controls.insert(volume_id_of(i));
                if (card->lines[i].has_switch)
                    card->changed_controls.insert(mute_id_of(i));
            }
        return 0;
    }

    void load()
    {
        const std::string& hw = ctl_name;
        int rc;
        if ((rc = snd_mixer_open(&mixer, 0)) < 0)
            alsa_fail(rc, "snd_mixer_open");
        if ((rc = snd_mixer_attach(mixer, hw.c_str())) < 0 || (rc = snd_mixer_selem_register(mixer, nullptr, nullptr)) < 0 ||
            (rc = snd_mixer_load(mixer)) < 0) {
            snd_mixer_close(mixer);
            mixer = nullptr;
            alsa_fail(rc, "snd_mixer_load");
        }
        // Non-blocking events: the poll thread and the main thread's refresh may
        // both look for events, and neither may wait in a read.
        snd_hctl_t* hctl = nullptr;
        if (snd_mixer_get_hctl(mixer, hw.c_str(), &hctl) == 0 && hctl)
            snd_ctl_nonblock(snd_hctl_ctl(hctl), 1);
        std::vector<Element> found;
        for (snd_mixer_elem_t* e = snd_mixer_first_elem(mixer); e; e = snd_mixer_elem_next(e)) {
            if (!snd_mixer_selem_is_active(e) || !snd_mixer_selem_has_playback_volume(e))
                continue;
            Element el;
            el.elem = e;
            el.name = snd_mixer_selem_get_name(e);
            snd_mixer_selem_get_playback_volume_range(e, &el.min, &el.max);
            const bool mono = snd_mixer_selem_is_playback_mono(e);
            el.channels = (!mono && snd_mixer_selem_has_playback_channel(e, SND_MIXER_SCHN_FRONT_RIGHT)) ? 2 : 1;
            el.uniform = el.channels == 1 || snd_mixer_selem_has_playback_volume_joined(e);
            el.has_switch = snd_mixer_selem_has_playback_switch(e);
            el.component_type = source_type_for(el.name);
            found.push_back(el);
        }
        auto master = std::find_if(found.begin(), found.end(), [](const Element& e) { return e.name == "Master"; });
        if (master == found.end() && !found.empty())
            master = found.begin();
        if (master != found.end()) {
            std::rotate(found.begin(), master, master + 1);
            found[0].component_type = component::kDstSpeakers;
        }
        lines = std::move(found);
        for (Element& el : lines) {
            snd_mixer_elem_set_callback_private(el.elem, this);
            snd_mixer_elem_set_callback(el.elem, &Card::on_element_event);
        }
    }

    LineInfo line_info(std::size_t i) const
    {
        const Element& el = lines[i];
        LineInfo info;
        info.destination = 0;
        info.source = i == 0 ? 0 : std::uint32_t(i - 1);
        info.line_id = line_id_of(i);
        info.flags = kLineFlagActive | (i == 0 ? 0 : kLineFlagSource);
        info.component_type = el.component_type;
        info.channels = el.channels;
        info.connections = i == 0 ? std::uint32_t(lines.size() - 1) : 0;
        info.controls = el.has_switch ? 2 : 1;
        info.short_name = el.name.substr(0, 15);
        info.name = el.name.substr(0, 63);
        if (el.component_type == component::kSrcWaveOut) {
            info.target.kind = DeviceKind::WaveOut;
            info.target.device_id = std::uint32_t(std::max(index, 0));
            info.target.product_name = name.substr(0, 31);
        }
        return info;
    }

    ControlInfo control_info(std::size_t i, bool mute) const
    {
        const Element& el = lines[i];
        ControlInfo c;
        c.line_id = line_id_of(i);
        if (mute) {
            c.control_id = mute_id_of(i);
            c.control_type = control::kMute;
            c.flags = control::kFlagUniform;
            c.short_name = "Mute";
            c.name = (el.name + " Mute").substr(0, 63);
            c.maximum = 1;
            c.steps = 1;
        } else {
            c.control_id = volume_id_of(i);
            c.control_type = control::kVolume;
            c.flags = el.uniform ? control::kFlagUniform : 0;
            c.short_name = "Volume";
            c.name = (el.name + " Volume").substr(0, 63);
            c.maximum = std::uint32_t(el.max - el.min);
            c.steps = std::uint32_t(el.max - el.min);
        }
        return c;
    }

    // The line index and whether it is the mute, for a control id.
    std::optional<std::pair<std::size_t, bool>> control_slot(std::uint32_t control_id) const
    {
        if (control_id == 0)
            return std::nullopt;
        const std::size_t i = (control_id - 1) / 2;
        const bool mute = control_id % 2 == 0;
        if (i >= lines.size() || (mute && !lines[i].has_switch))
            return std::nullopt;
        return std::make_pair(i, mute);
    }

    void start_polling()
    {
        if (poller.running() || gone)
            return;
        EventPoller::Callbacks callbacks;
        callbacks.descriptors = [this] {
            std::lock_guard lock(mutex);
            std::vector<pollfd> fds;
            const int n = snd_mixer_poll_descriptors_count(mixer);
            if (n > 0) {
                fds.resize(std::size_t(n));
                if (snd_mixer_poll_descriptors(mixer, fds.data(), unsigned(n)) < 0)
                    fds.clear();
            }
            return fds;
        };
        callbacks.events = [this](std::vector<pollfd>& ready) -> unsigned short {
            std::lock_guard lock(mutex);
            unsigned short revents = 0;
            if (snd_mixer_poll_descriptors_revents(mixer, ready.data(), unsigned(ready.size()), &revents) < 0)
                return POLLERR;
            return revents;
        };
        callbacks.on_events = [this] {
            std::lock_guard lock(mutex);
            return refresh_locked() >= 0;
        };
        callbacks.on_gone = [this] {
            std::lock_guard lock(mutex);
            gone = true;
            for (auto& s : subscriptions)
                platform::post([s] {
                    if (s->alive.load())
                        s->on_notice(Notice{Notice::DeviceGone, 0});
                });
        };
        poller.start(std::move(callbacks));
    }

    void stop_polling() { poller.stop(); }

    // Takes in the card's pending events, so values read next are current, and
    // posts a notice for every control they changed (caller holds the lock).
    // Negative when the card answers with an error (it went away).
    int refresh_locked()
    {
        const int handled = snd_mixer_handle_events(mixer);
        std::set<std::uint32_t> changed;
        changed.swap(changed_controls);
        for (std::uint32_t id : changed)
            for (auto& s : subscriptions)
                platform::post([s, id] {
                    if (s->alive.load())
                        s->on_notice(Notice{Notice::ControlChange, id});
                });
        return handled == -EAGAIN || handled == -EINTR ? 0 : handled;
    }
};

class AlsaHandle : public MixerHandle {
public:
    AlsaHandle(std::shared_ptr<Card> card, std::shared_ptr<Subscription> s)
        : card_(std::move(card)), subscription_(std::move(s)) {}
    ~AlsaHandle() override
    {
        bool last;
        {
            std::lock_guard lock(card_->mutex);
            subscription_->alive = false;
            std::erase(card_->subscriptions, subscription_);
            last = card_->subscriptions.empty();
        }
        if (last)
            card_->stop_polling();
    }

private:
    std::shared_ptr<Card> card_;
    std::shared_ptr<Subscription> subscription_;
};

class AlsaMixer : public MixerSystem {
public:
    std::uint32_t device_count() override
    {
        std::uint32_t count = server_device() ? 1 : 0;
        int card = -1;
        while (snd_card_next(&card) == 0 && card >= 0)
            ++count;
        return count;
    }

    DeviceCaps caps(std::uint32_t device) override
    {
        auto c = card(device);
        std::lock_guard lock(c->mutex);
        DeviceCaps caps;
        caps.product_id = std::uint16_t(std::max(c->index, 0));
        caps.version_major = 1;
        caps.product_name = c->name.substr(0, 31);
        caps.destinations = c->lines.empty() ? 0 : 1;
        return caps;
    }

    std::optional<LineInfo> line_by_destination(std::uint32_t device, std::uint32_t destination) override
    {
        return find(device, [&](const LineInfo& l) { return !(l.flags & kLineFlagSource) && l.destination == destination; });
    }
    std::optional<LineInfo> line_by_source(std::uint32_t device, std::uint32_t destination, std::uint32_t source) override
    {
        return find(device, [&](const LineInfo& l) {
            return (l.flags & kLineFlagSource) && l.destination == destination && l.source == source;
        });
    }
    std::optional<LineInfo> line_by_id(std::uint32_t device, std::uint32_t line_id) override
    {
        return find(device, [&](const LineInfo& l) { return l.line_id == line_id; });
    }
    std::optional<LineInfo> line_by_component_type(std::uint32_t device, std::uint32_t type) override
    {
        return find(device, [&](const LineInfo& l) { return l.component_type == type; });
    }
    std::optional<LineInfo> line_by_target(std::uint32_t device, const LineTarget& t) override
    {
        return find(device, [&](const LineInfo& l) {
            return t.kind != DeviceKind::Undefined && l.target.kind == t.kind &&
                   l.target.manufacturer_id == t.manufacturer_id && l.target.product_id == t.product_id &&
                   l.target.version == t.version && l.target.product_name == t.product_name;
        });
    }

    std::optional<ControlInfo> control_by_type(std::uint32_t device, std::uint32_t line_id, std::uint32_t type) override
    {
        auto c = card(device);
        std::lock_guard lock(c->mutex);
        for (std::size_t i = 0; i < c->lines.size(); ++i) {
            if (line_id_of(i) != line_id)
                continue;
            if (type == control::kVolume)
                return c->control_info(i, false);
            if (type == control::kMute && c->lines[i].has_switch)
                return c->control_info(i, true);
        }
        return std::nullopt;
    }

    std::optional<ControlInfo> control_by_id(std::uint32_t device, std::uint32_t control_id) override
    {
        auto c = card(device);
        std::lock_guard lock(c->mutex);
        if (auto slot = c->control_slot(control_id))
            return c->control_info(slot->first, slot->second);
        return std::nullopt;
    }

    std::vector<std::uint32_t> get_values(std::uint32_t device, std::uint32_t control_id, std::uint32_t channels,
                                          std::uint32_t items) override
    {
        auto c = card(device);
        std::lock_guard lock(c->mutex);
        c->refresh_locked();
        auto slot = c->control_slot(control_id);
        if (!slot)
            throw MixerError(kErrInvalidControl, "The specified control identifier is invalid.");
        const Element& el = c->lines[slot->first];
        if (items != 1 || (channels != 1 && channels != el.channels))
            throw MixerError(kErrInvalidParam, "An invalid parameter was passed to a system function.");
        std::vector<std::uint32_t> out;
        static const snd_mixer_selem_channel_id_t order[] = {SND_MIXER_SCHN_FRONT_LEFT, SND_MIXER_SCHN_FRONT_RIGHT};
        for (std::uint32_t ch = 0; ch < channels; ++ch) {
            const auto id = el.channels == 1 ? SND_MIXER_SCHN_MONO : order[ch];
            if (slot->second) {
                int on = 1;
                if (int rc = snd_mixer_selem_get_playback_switch(el.elem, id, &on); rc < 0)
                    alsa_fail(rc, "snd_mixer_selem_get_playback_switch");
                out.push_back(on ? 0 : 1); // mute is the switch turned off
            } else {
                long v = 0;
                if (int rc = snd_mixer_selem_get_playback_volume(el.elem, id, &v); rc < 0)
                    alsa_fail(rc, "snd_mixer_selem_get_playback_volume");
                out.push_back(std::uint32_t(std::clamp(v, el.min, el.max) - el.min));
            }
        }
        return out;
    }

    void set_values(std::uint32_t device, std::uint32_t control_id, std::uint32_t channels, std::uint32_t items,
                    const std::vector<std::uint32_t>& values) override
    {
        auto c = card(device);
        std::lock_guard lock(c->mutex);
        auto slot = c->control_slot(control_id);
        if (!slot)
            throw MixerError(kErrInvalidControl, "The specified control identifier is invalid.");
        const Element& el = c->lines[slot->first];
        if (items != 1 || (channels != 1 && channels != el.channels) || values.size() != channels)
            throw MixerError(kErrInvalidParam, "An invalid parameter was passed to a system function.");
        int rc = 0;
        if (slot->second) {
            rc = snd_mixer_selem_set_playback_switch_all(el.elem, values[0] ? 0 : 1);
        } else if (channels == 1) {
            rc = snd_mixer_selem_set_playback_volume_all(el.elem, el.min + long(std::min<std::uint32_t>(values[0], std::uint32_t(el.max - el.min))));
        } else {
            static const snd_mixer_selem_channel_id_t order[] = {SND_MIXER_SCHN_FRONT_LEFT, SND_MIXER_SCHN_FRONT_RIGHT};
            for (std::uint32_t ch = 0; ch < channels && rc >= 0; ++ch)
                rc = snd_mixer_selem_set_playback_volume(el.elem, order[ch],
                                                         el.min + long(std::min<std::uint32_t>(values[ch], std::uint32_t(el.max - el.min))));
        }
        if (rc < 0)
            alsa_fail(rc, "snd_mixer_selem_set_playback");
    }

    std::unique_ptr<MixerHandle> open(std::uint32_t device, std::function<void(const Notice&)> on_notice) override
    {
        auto c = card(device);
        auto sub = std::make_shared<Subscription>();
        sub->on_notice = std::move(on_notice);
        {
            std::lock_guard lock(c->mutex);
            c->subscriptions.push_back(sub);
        }
        c->start_polling();
        return std::make_unique<AlsaHandle>(c, sub);
    }

    int mixer_of(DeviceKind kind, int device_id) override
    {
        // An ALSA wave device's number is its card's number.
        if (kind == DeviceKind::Undefined || device_id < 0 || std::uint32_t(device_id) >= device_count())
            return -1;
        return device_id;
    }

private:
    std::shared_ptr<Card> card(std::uint32_t device)
    {
        std::lock_guard lock(mutex_);
        auto it = cards_.find(device);
        if (it != cards_.end() && !it->second->gone)
            return it->second;
        if (it != cards_.end()) {
            cards_.erase(it); // unplugged: look for the card again
            server_probed_ = {}; // the server may have gone with it
        }
        const bool server = server_device_locked();
        if (server && device == 0) {
            auto c = std::make_shared<Card>();
            c->ctl_name = "default";
            c->name = "Sound server";
            c->load();
            cards_[device] = c;
            return c;
        }
        int index = -1;
        std::uint32_t n = server ? 1 : 0;
        int card_number = -1;
        while (snd_card_next(&card_number) == 0 && card_number >= 0) {
            if (n++ == device) {
                index = card_number;
                break;
            }
        }
        if (index < 0)
            throw MixerError(kErrBadDeviceId, "The specified device identifier is out of range.");
        auto c = std::make_shared<Card>();
        c->index = index;
        c->ctl_name = "hw:" + std::to_string(index);
        char* name = nullptr;
        if (snd_card_get_name(index, &name) == 0 && name) {
            c->name = name;
            free(name);
        }
        c->load();
        cards_[device] = c;
        return c;
    }

    template <typename Fn>
    std::optional<LineInfo> find(std::uint32_t device, Fn match)
    {
        auto c = card(device);
        std::lock_guard lock(c->mutex);
        for (std::size_t i = 0; i < c->lines.size(); ++i) {
            LineInfo info = c->line_info(i);
            if (match(info))
                return info;
        }
        return std::nullopt;
    }

    bool server_device()
    {
        std::lock_guard lock(mutex_);
        return server_device_locked();
    }

    // Whether ALSA's default control device is a sound server's. Asking means
    // connecting to the server (10 to 25 ms when none runs), so the answer is
    // kept: a yes until that device is found gone, a no for a moment (a server
    // started later is seen then).
    bool server_device_locked()
    {
        const auto now = std::chrono::steady_clock::now();
        if (auto it = cards_.find(0); server_ && it != cards_.end() && it->second->gone) {
            cards_.erase(it);
            server_probed_ = {};
        }
        const bool known = server_probed_ != std::chrono::steady_clock::time_point{};
        if (known && (server_ || now - server_probed_ < std::chrono::seconds(2)))
            return server_;
        server_probed_ = now;
        bool server = false;
        snd_ctl_t* ctl = nullptr;
        if (snd_ctl_open(&ctl, "default", SND_CTL_NONBLOCK) == 0) {
            server = snd_ctl_type(ctl) != SND_CTL_TYPE_HW;
            snd_ctl_close(ctl);
        }
        if (known && server != server_)
            cards_.clear(); // the devices' numbers moved
        server_ = server;
        return server_;
    }

    std::mutex mutex_;
    std::map<std::uint32_t, std::shared_ptr<Card>> cards_;
    std::chrono::steady_clock::time_point server_probed_{};
    bool server_ = false;
};

} // namespace

std::shared_ptr<MixerSystem> make_alsa_mixer()
{
    return std::make_shared<AlsaMixer>();
}

std::shared_ptr<MixerSystem> mixer_system()
{
    static std::mutex mutex;
    static std::shared_ptr<MixerSystem> system;
    std::lock_guard lock(mutex);
    if (!system) {
        const char* choice = std::getenv("PELU_MIXER");
        if (choice && std::strcmp(choice, "sim") == 0)
            system = make_sim_mixer();
        else
            system = make_alsa_mixer();
    }
    return system;
}

} // namespace pelu::platform::mixer
