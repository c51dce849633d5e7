#include "audio/level.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace pelu {

float decay_factor(int decay)
{
    double q = 0.0001;
    for (int i = 0; i < decay; ++i)
        q = std::sqrt(q);
    return float(q);
}

int decay_ring_length(int decay)
{
    return std::clamp(2 * decay - 2, 1, 32);
}

TMMLevel::TMMLevel(QObject* parent)
    : TMMAnalyser(parent, [](TMMAnalyser* analyser) { static_cast<TMMLevel*>(analyser)->PeakTick(); }, 200, 17)
{
    RebuildGeometry();
    SetDesignMode(false);
}

TMMLevel::~TMMLevel() { StopPeakTimer(); }

void TMMLevel::SetDisplayFormat(const WaveFormat* format)
{
    if (!CheckDisplayFormat<EMMLevelError>(format))
        return;
    SetBitLength(format->bits_per_sample == 8 ? b8Bit : b16Bit);
    SetMode(format->channels == 1 ? mMono : mStereo);
}

int TMMLevel::DataSize() const
{
    return (int(bits_) + 1) * (int(mode_) + 1) * samples_;
}

void TMMLevel::ProcessData(const char* data)
{
    if (!enabled_ || !visible_ || !data)
        return;
    const int dcl = -dc_offset_left_;
    const int dcr = -dc_offset_right_;
    const bool stereo = mode_ == mStereo;
    const bool bits16 = bits_ == b16Bit;
    int level = 0;
    for (int i = 0; i < samples_; ++i) {
        int left, right = 0;
        if (bits16) {
            std::int16_t s[2];
            std::memcpy(s, data + std::size_t(i) * (stereo ? 4 : 2), stereo ? 4 : 2);
            left = s[0];
            if (stereo)
                right = s[1];
        } else {
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(data) + std::size_t(i) * (stereo ? 2 : 1);
            left = (int(bytes[0]) - 128) * 256;
            if (stereo)
                right = (int(bytes[1]) - 128) * 256;
        }
        int x;
        if (!stereo)
            x = left + dcl;
        else if (channel_ == chLeft)
            x = left + dcl;
        else if (channel_ == chRight)
            x = right + dcr;
        else
            x = (left + dcl + right + dcr) / 2;
        level = std::max(level, std::abs(x));
    }
    raw_level_ = level;
    if (level >= 32767 && OnPcmOverflow)
        OnPcmOverflow(this);
    ApplyLevel(level);
}

void TMMLevel::SetValue(int percent)
{
    percent = std::clamp(percent, 0, 100);
    value_percent_ = percent;
    if (!enabled_)
        return;
    ApplyLevel(percent * 32767 / 100);
}

int TMMLevel::DecayValue(int v)
{
    if (decay_mode_ != dmNone) {
        // The ring advances in every mode but dmNone; only dmUniform reads it.
        ring_position_ = (ring_position_ + 1) % ring_length_;
        ring_count_ = std::min(ring_count_ + 1, ring_length_);
    }
    switch (decay_mode_) {
    case dmNone:
        return v;
    case dmStepUp:
        decayed_ *= decay_q_;
        if (float(v) > decayed_) {
            decayed_ = float(v);
            return v;
        }
        return int(decayed_);
    case dmExponential:
        decayed_ = decayed_ * decay_q_ + (1.0f - decay_q_) * float(v);
        return int(std::floor(decayed_));
    case dmUniform:
        ring_sum_ += v - ring_[ring_position_];
        ring_[ring_position_] = v;
        return int(ring_sum_ / ring_count_);
    }
    return v;
}

void TMMLevel::ApplyLevel(int level)
{
    bool pending;
    {
        std::lock_guard lock(peak_mutex_);
        pending = change_pending_;
    }
    if (level == 0 && lit_ == 0 && !pending)
        return;
    const int a = DecayValue(level);
    const std::int64_t g = std::int64_t(a) * (gain_ + 8) / 8;
    const int n = spot_count_;
    double lit_real;
    if (log_amp_) {
        const double db = 20.0 * std::log10(std::max(1e-6, double(g) / 32767.0));
        lit_real = (db - sensitivity_db_) * n / double(-sensitivity_db_);
    } else {
        const double floor_level = 32767.0 / std::pow(10.0, -sensitivity_db_ / 20.0);
        lit_real = (double(g) - floor_level) * n / (32767.0 - floor_level);
    }
    int lit = std::max(0, int(std::nearbyint(lit_real))); // round half to even
    if (lit > n) {
        if (OnGainOverflow)
            OnGainOverflow(this);
        lit = n;
    }
    bool wake_peak_timer = false;
    bool changed = true;
    {
        std::lock_guard lock(peak_mutex_);
        if (lit >= peak_ && lit > 0 && num_peaks_ > 0) {
            peak_ = lit;
            peak_countdown_ = 2 * peak_delay_ + 1;
            change_pending_ = true;
            wake_peak_timer = PeakSetLocked();
        }
        if (lit == lit_ && !change_pending_)
            changed = false;
        else
            change_pending_ = false;
    }
    WakePeakTimer(wake_peak_timer);
    if (!changed)
        return;
    lit_ = lit;
    emit Changed();
}

int TMMLevel::PeakSpot() const
{
    std::lock_guard lock(peak_mutex_);
    return peak_;
}

void TMMLevel::PeakTick()
{
    std::lock_guard lock(peak_mutex_);
    if (peak_ <= 0) {
        PeakTimerSleepLocked();
        return;
    }
    if (--peak_countdown_ > 0)
        return;
    if (peak_speed_ > 0) {
        --peak_;
        peak_countdown_ = peak_speed_;
    } else {
        peak_ = 0;
        peak_countdown_ = 0;
    }
    change_pending_ = true;
}

void TMMLevel::ClearState()
{
    {
        std::lock_guard lock(peak_mutex_);
        peak_ = 0;
        peak_countdown_ = 0;
        change_pending_ = false;
    }
    ClearDecay();
    raw_level_ = 0;
    lit_ = 0;
}

void TMMLevel::ClearDecay()
{
    std::fill(std::begin(ring_), std::end(ring_), 0);
    ring_sum_ = 0;
    ring_count_ = 0;
    ring_position_ = 0;
    decayed_ = 0.0f;
}

void TMMLevel::ResetDisplay()
{
    ClearState();
    emit Changed();
}

void TMMLevel::RebuildGeometry()
{
    LayOutSpots(kind_ == lkHorizontal ? width_ : height_, spot_width_);
    zone1_ = point1_ * spot_count_ / 100;
    zone2_ = point2_ * spot_count_ / 100;
    {
        std::lock_guard lock(peak_mutex_);
        peak_ = std::min(peak_, spot_count_);
    }
    lit_ = std::min(lit_, spot_count_);
    emit AppearanceChanged();
}

void TMMLevel::SetDisplaySize(int inner_width, int inner_height)
{
    inner_width = std::max(1, inner_width);
    inner_height = std::max(1, inner_height);
    if (inner_width == width_ && inner_height == height_)
        return;
    width_ = inner_width;
    height_ = inner_height;
    RebuildGeometry();
}

void TMMLevel::UpdateTimerEnable()
{
    // The peak tick runs only while the meter is enabled and shows peaks.
    const bool want = enabled_ && num_peaks_ > 0;
    if (want == timer_enabled_ || !timer_entry_.active())
        return;
    timer_enabled_ = want;
    if (want)
        timer_entry_.enable();
    else
        timer_entry_.disable();
}

void TMMLevel::SetEnabled(bool value)
{
    if (value == enabled_)
        return;
    enabled_ = value;
    if (!enabled_)
        ClearState();
    else
        RebuildGeometry();
    UpdateTimerEnable();
    emit Changed();
    emit WantsDataChanged();
}

void TMMLevel::SetKind(TMMLevelKind value)
{
    if (value == kind_)
        return;
    kind_ = value;
    // A horizontal meter is wider than high and a vertical one higher than wide.
    if ((kind_ == lkHorizontal && height_ > width_) || (kind_ == lkVertical && width_ > height_))
        std::swap(width_, height_);
    SetSpotWidth(spot_width_); // its limit depends on the length
    RebuildGeometry();
}

void TMMLevel::SetSpotWidth(int value)
{
    const int length = kind_ == lkHorizontal ? width_ : height_;
    if (platform::store_changed(spot_width_, std::clamp(value, 1, std::max(1, length / 3))))
        RebuildGeometry();
}

void TMMLevel::SetGain(int value)
{
    if (value < -8 || value > 32) // refused, as a gain outside the range is a mistake
        return;
    gain_ = value;
}

void TMMLevel::SetSamples(int frames)
{
    samples_ = std::max(1, frames);
}

void TMMLevel::SetSensitivy(int db)
{
    sensitivity_db_ = std::clamp(db, -90, -9);
}

void TMMLevel::SetLogAmp(bool value) { log_amp_ = value; }

void TMMLevel::SetNumPeaks(int value)
{
    if (!platform::store_changed(num_peaks_, std::clamp(value, 0, 5)))
        return;
    if (num_peaks_ == 0) {
        std::lock_guard lock(peak_mutex_);
        peak_ = 0;
        peak_countdown_ = 0;
    }
    UpdateTimerEnable();
}

void TMMLevel::SetDecayMode(TMMDecayMode value)
{
    if (platform::store_changed(decay_mode_, value))
        ClearDecay();
}

void TMMLevel::SetDecay(int value)
{
    if (!StoreDecay(value))
        return;
    if (decay_mode_ == dmUniform) {
        ClearDecay(); // (the step-up and exponential value is not read in this mode)
    } else {
        ring_position_ %= ring_length_;
        ring_count_ = std::min(ring_count_, ring_length_);
    }
}

} // namespace pelu
