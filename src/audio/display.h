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
// design mode (no entry at all), and the check of the format they are fed.
#pragma once

#include "audio/dsp_object.h"
#include "platform/timer.h"

#include <QObject>

#include <mutex>

namespace pelu {

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
    TMMAnalyser(QObject* parent, PeakTickFn peak_tick) : TMMDisplay(parent), peak_tick_(peak_tick) {}

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

signals:
    void Changed();           // values, lit spots or peaks changed: repaint
    void AppearanceChanged(); // geometry, tables or colours changed: rebuild the pictures

protected:
    // A derived destructor calls this first, while its members are whole: after
    // it the timer never calls PeakTick on this object again.
    void StopPeakTimer() { timer_entry_.reset(); }
    // Whether a new timer entry starts enabled.
    virtual bool PeakTimerEnabled() const = 0;

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

private:
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
