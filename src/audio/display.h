// What the connector requires of every display it feeds (level meters, spectrum
// analysers, and the slots the player leaves empty).
//
// Thread: every call comes from the main thread (the connector's pump and its
// start/stop handling); a display never runs on the audio thread.
//
// A display that nobody sees (hidden, switched off) says so with WantsData and
// announces a change with WantsDataChanged: the connector then neither copies
// nor posts anything for it.
//
// TMMAnalyser is what the level meter and the spectrum share: falling peaks
// moved by an entry of the shared 25 ms timer service, which calls PeakTick on
// the timer's thread (under peak_mutex_; the entry sleeps while no peak falls),
// design mode (no entry at all), the check of the format they are fed, the spots
// laid out along the drawing area in three colour zones, the decay and the
// properties both publish with the same meaning. Each analyser publishes them
// itself (its Q_PROPERTY list), in its own order.
#pragma once

#include "audio/dsp_object.h"
#include "audio/mm_types.h"
#include "platform/store_changed.h"
#include "platform/timer.h"

#include <QObject>

#include <algorithm>
#include <atomic>
#include <mutex>

namespace pelu {

// The decay both analysers share: q = 0.0001^(1/2^Decay), ring length 2*Decay-2 in 1..32.
float decay_factor(int decay);
int decay_ring_length(int decay);

// A drawing-only property: stored, compared, announced with AppearanceChanged.
#define PELU_APPEARANCE_PROPERTY(type, Name, member)                     \
    type Name() const { return member; }                               \
    void Set##Name(type value)                                          \
    {                                                                   \
        if (member == value)                                            \
            return;                                                     \
        member = value;                                                 \
        emit AppearanceChanged();                                       \
    }

class TMMDisplay : public QObject {
    Q_OBJECT
public:
    explicit TMMDisplay(QObject* parent = nullptr) : QObject(parent) {}

    // The format of the data that ProcessData will receive (null: none).
    virtual void SetPWaveFormat(const WaveFormat* format) = 0;
    // Bytes consumed per refresh.
    virtual int DataSize() const = 0;
    // One refresh: `data` points at DataSize() bytes of played sound.
    virtual void ProcessData(const char* data) = 0;
    // Clears the picture (silence, no peaks).
    virtual void ResetDisplay() = 0;
    // Whether ProcessData would do anything now.
    virtual bool WantsData() const { return visible_; }
    // Only a display that can be seen is fed (its view says when it is hidden).
    void SetVisible(bool visible)
    {
        if (visible == visible_)
            return;
        visible_ = visible;
        emit WantsDataChanged();
    }
    bool Visible() const { return visible_; }

signals:
    void WantsDataChanged();

protected:
    bool visible_ = true;
};

class TMMAnalyser : public TMMDisplay {
    Q_OBJECT
public:
    // The timer thread calls `peak_tick` (the analyser's PeakTick) without a
    // virtual call: it may tick while a subclass is still being built or torn
    // down, when the object's dynamic type is changing.
    using PeakTickFn = void (*)(TMMAnalyser* analyser);
    // `width` x `height`: the drawing area before the control first sets it.
    TMMAnalyser(QObject* parent, PeakTickFn peak_tick, int width, int height)
        : TMMDisplay(parent), width_(width), height_(height), peak_tick_(peak_tick)
    {
    }

    // In design mode the control has no timer entry: peaks fall only by PeakTick.
    void SetDesignMode(bool design);
    bool DesignMode() const { return !timer_entry_.active(); }

    // The drawing area, in pixels inside the bevel (the control sets it on resize).
    virtual void SetDisplaySize(int inner_width, int inner_height) = 0;

    // The format the connector announces goes through the analyser's own check.
    void SetPWaveFormat(const WaveFormat* format) override { SetDisplayFormat(format); }
    virtual void SetDisplayFormat(const WaveFormat* format) = 0;
    // Only an enabled analyser that can be seen is fed.
    bool WantsData() const override { return enabled_ && visible_; }
    bool Enabled() const { return enabled_; }
    int DisplayWidth() const { return width_; }
    int DisplayHeight() const { return height_; }

    // --- spot geometry for the painter (recomputed on size, spot and zone changes)
    int SpotCount() const { return spot_count_; }   // spots along the length
    int SpotOffset() const { return spot_offset_; } // pixels before the first spot (centring)
    int Zone1() const { return zone1_; }            // spots 1..Zone1 use the first colours
    int Zone2() const { return zone2_; }            // Zone1+1..Zone2 the second, above the third

    // --- properties both analysers publish
    int SpotSpace() const { return spot_space_; }
    void SetSpotSpace(int pixels) { SetSpotsMember(spot_space_, std::clamp(pixels, 0, 10)); }
    int Point1() const { return point1_; }
    void SetPoint1(int percent) { SetSpotsMember(point1_, std::clamp(percent, 1, 100)); }
    int Point2() const { return point2_; }
    void SetPoint2(int percent) { SetSpotsMember(point2_, std::clamp(percent, 1, 100)); }
    PELU_APPEARANCE_PROPERTY(quint32, Bar1Color, bar1_color_)
    PELU_APPEARANCE_PROPERTY(quint32, Bar2Color, bar2_color_)
    PELU_APPEARANCE_PROPERTY(quint32, Bar3Color, bar3_color_)
    PELU_APPEARANCE_PROPERTY(quint32, Inactive1Color, inactive1_color_)
    PELU_APPEARANCE_PROPERTY(quint32, Inactive2Color, inactive2_color_)
    PELU_APPEARANCE_PROPERTY(quint32, Inactive3Color, inactive3_color_)
    PELU_APPEARANCE_PROPERTY(quint32, Color, color_)
    PELU_APPEARANCE_PROPERTY(bool, InactiveDoted, inactive_doted_)
    PELU_APPEARANCE_PROPERTY(bool, ActiveDoted, active_doted_)
    TMMBits BitLength() const { return bits_; }
    void SetBitLength(TMMBits value) { bits_ = value; }
    TMMMode Mode() const { return mode_; }
    void SetMode(TMMMode value) { mode_ = value; }
    TMMChannel Channel() const { return channel_; }
    void SetChannel(TMMChannel value) { channel_ = value; }
    int PeakDelay() const { return peak_delay_; }
    void SetPeakDelay(int value) { peak_delay_ = std::clamp(value, 0, 50); } // timer ticks
    int PeakSpeed() const { return peak_speed_.load(); }
    void SetPeakSpeed(int value) { peak_speed_ = std::clamp(value, 0, 50); } // timer ticks a spot
    TMMDecayMode DecayMode() const { return decay_mode_; }
    int Decay() const { return decay_; }
    float DecayFactor() const { return decay_q_; }

signals:
    void Changed();           // values, lit spots or peaks changed: repaint
    void AppearanceChanged(); // geometry, tables or colours changed: rebuild the pictures

protected:
    // A derived destructor calls this first, while its members are whole: after
    // it the timer never calls PeakTick on this object again.
    void StopPeakTimer() { timer_entry_.reset(); }
    // Whether a new timer entry starts enabled.
    virtual bool PeakTimerEnabled() const = 0;
    // Spacing or zones changed: lay the spots out again and say so with AppearanceChanged.
    virtual void SpotsChanged() = 0;

    // As many spots of `spot_size` pixels (SpotSpace apart) as fit along
    // `length`, centred; the zones are each analyser's own.
    void LayOutSpots(int length, int spot_size)
    {
        spot_count_ = std::max(1, (length + spot_space_) / (spot_size + spot_space_));
        spot_offset_ = (length + spot_space_ - spot_count_ * (spot_size + spot_space_)) / 2;
    }
    // Decay clamped to 1..16 with its factor and ring length; true when it changed.
    bool StoreDecay(int value)
    {
        if (!platform::store_changed(decay_, std::clamp(value, 1, 16)))
            return false;
        decay_q_ = decay_factor(decay_);
        ring_length_ = decay_ring_length(decay_);
        return true;
    }

    // With peak_mutex_ held, when a new peak is set: true when the sleeping
    // entry must be woken, which WakePeakTimer does after the lock is released
    // (the timer thread holds the service's lock when it takes ours).
    bool PeakSetLocked()
    {
        const bool wake = peak_timer_idle_;
        peak_timer_idle_ = false;
        return wake;
    }
    void WakePeakTimer(bool wake)
    {
        if (wake)
            timer_entry_.set_idle(false);
    }
    // With peak_mutex_ held, from PeakTick: nothing falls until a new peak is
    // set, so the entry may sleep till then.
    void PeakTimerSleepLocked()
    {
        if (!peak_timer_idle_) {
            peak_timer_idle_ = true;
            timer_entry_.set_idle(true);
        }
    }

    // Anything but 8/16-bit PCM, 1 or 2 channels, 4000..100000 Hz is refused
    // with E("Invalid WaveFormat"); false for no format (nothing to apply).
    template <class E>
    static bool CheckDisplayFormat(const WaveFormat* format)
    {
        if (!format)
            return false;
        if (!is_valid_pcm_format(format))
            throw E("Invalid WaveFormat");
        return true;
    }

    bool enabled_ = true;
    mutable std::mutex peak_mutex_;
    platform::TimerEntry timer_entry_;

    int width_;
    int height_;
    int spot_count_ = 1;
    int spot_offset_ = 0;
    int zone1_ = 0;
    int zone2_ = 0;

    int spot_space_ = 1;
    int point1_ = 50;
    int point2_ = 85;
    quint32 bar1_color_ = 16776960, bar2_color_ = 16776960, bar3_color_ = 255;
    quint32 inactive1_color_ = 8421376, inactive2_color_ = 8421376, inactive3_color_ = 128;
    quint32 color_ = 0;
    bool inactive_doted_ = false;
    bool active_doted_ = false;
    TMMBits bits_ = b8Bit;
    TMMMode mode_ = mMono;
    TMMChannel channel_ = chBoth;
    int peak_delay_ = 20;
    std::atomic<int> peak_speed_{0}; // read by the timer thread
    TMMDecayMode decay_mode_ = dmNone;
    int decay_ = 1;
    // q and R as they are before a Decay is ever set
    float decay_q_ = 0.0001f;
    int ring_length_ = 1;

private:
    void SetSpotsMember(int& member, int value)
    {
        if (platform::store_changed(member, value))
            SpotsChanged();
    }

    const PeakTickFn peak_tick_;
    bool peak_timer_idle_ = false; // (peak_mutex_) no peak to let fall: the entry sleeps
};

inline void TMMAnalyser::SetDesignMode(bool design)
{
    if (design) {
        timer_entry_.reset();
    } else if (!timer_entry_.active()) {
        {
            std::lock_guard lock(peak_mutex_);
            peak_timer_idle_ = false; // a new entry starts busy
        }
        timer_entry_.start(platform::TimerService::kPeriodMs, PeakTimerEnabled() ? 0 : 1,
                           [](void* target) {
                               auto* analyser = static_cast<TMMAnalyser*>(target);
                               analyser->peak_tick_(analyser);
                           },
                           static_cast<TMMAnalyser*>(this));
    }
}

} // namespace pelu
