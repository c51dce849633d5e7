#include "audio/frequency_analyser.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

namespace pelu {

namespace {

constexpr int kMaxPoints = 4096;
constexpr int kMaxBins = kMaxPoints / 2;

int log2_of(int power_of_two)
{
    int order = 0;
    while ((1 << order) < power_of_two)
        ++order;
    return order;
}

double round_half_even(double x)
{
    return std::nearbyint(x);
}

} // namespace

TMMSpectrum::TMMSpectrum(QObject* parent)
    : TMMAnalyser(parent, [](TMMAnalyser* analyser) { static_cast<TMMSpectrum*>(analyser)->PeakTick(); }, 194, 89)
{
    // Per-bin arrays are sized once for the largest transform.
    bin_value_.assign(kMaxBins, 0);
    bin_decayed_.assign(kMaxBins, 0.0f);
    bin_sum_.assign(kMaxBins, 0);
    log_offset_.assign(kMaxBins, 0);
    ring_.assign(32, std::vector<std::int32_t>(kMaxBins, 0));
    samples_.assign(kMaxPoints, 0);
    work_.assign(kMaxPoints, 0.0f);
    spectrum_.assign(kMaxBins, {});
    fft_scratch_.assign(kMaxBins, {});
    RebuildAll();
    SetDesignMode(false);
}

TMMSpectrum::~TMMSpectrum() { StopPeakTimer(); }

void TMMSpectrum::SetDisplayFormat(const WaveFormat* format)
{
    if (!CheckDisplayFormat<EMMSpectrumError>(format))
        return;
    SetSampleRate(int(format->samples_per_sec));
    SetBitLength(format->bits_per_sample == 8 ? b8Bit : b16Bit);
    SetMode(format->channels == 1 ? mMono : mStereo);
}

int TMMSpectrum::DataSize() const
{
    return (int(bits_) + 1) * (int(mode_) + 1) * fft_length_;
}

// ---------------------------------------------------------------------------
// Tables

void TMMSpectrum::RebuildWindow()
{
    const int m = fft_length_;
    window_table_.resize(m);
    for (int i = 0; i < m; ++i)
        window_table_[i] = std::int32_t(std::floor(fft_window_value(window_, i, m) * 32767.0 + 0.5));
    if (!fft_ || fft_->Length() != m)
        fft_ = std::make_unique<TMMRealFFT>(log2_of(m));
}

void TMMSpectrum::RebuildColumns()
{
    const int c = std::max(4, width_);
    const int m = fft_length_;
    const int half = m / 2;
    const double z = frequency_scale_;
    const double sr = sample_rate_;
    std::vector<int> first(c, 0), end(c, 0);
    if (OnGetXScale) {
        OnGetXScale(this, first, end);
        first.resize(c, 0);
        end.resize(c, 0);
        for (int i = 0; i < c; ++i)
            first[i] = std::clamp(first[i], 0, half - 1);
    } else {
        std::vector<int> raw(c + 1);
        if (!log_freq_) {
            const double f0 = std::clamp(start_frequency_, 0.0, sr / 2.0 - sr / (2.0 * z));
            for (int i = 0; i <= c; ++i)
                raw[i] = int(std::floor(double(i) / c * half / z + f0 / sr * m + 0.01));
        } else {
            const double f0 = std::clamp(start_frequency_, sr / m, sr / 2.0 / std::pow(2.0, std::log2(half) / z));
            const double span = std::log2((m + 1) / 2.0);
            for (int i = 0; i <= c; ++i)
                raw[i] = int(std::floor(std::pow(2.0, span * (i - 0.45) / c / z) * m * f0 / sr + 0.51)) - 1;
        }
        for (int i = 0; i < c; ++i)
            first[i] = std::clamp(raw[i], 0, half - 1);
        for (int i = 0; i + 1 < c; ++i)
            end[i] = first[i + 1];
        // The last column ends where the next one would begin, at most past the last bin.
        end[c - 1] = std::clamp(raw[c], 0, half);
    }
    for (int i = 0; i < c; ++i)
        if (end[i] <= first[i] + 1)
            end[i] = 0;
    for (int i = c - 1; i >= 1; --i)
        if (first[i] == first[i - 1])
            first[i] = -1;
    column_first_bin_ = std::move(first);
    column_end_bin_ = std::move(end);

    std::vector<TMMSpectrumBar> bars;
    for (int i = 0; i < c; ++i) {
        if (column_first_bin_[i] < 0)
            continue;
        TMMSpectrumBar bar;
        bar.first_column = i;
        bar.first_bin = column_first_bin_[i];
        bar.end_bin = column_end_bin_[i];
        int j = i + 1;
        while (j < c && column_first_bin_[j] < 0)
            ++j;
        bar.end_column = j;
        bars.push_back(bar);
    }
    std::lock_guard lock(peak_mutex_);
    bars_ = std::move(bars);
    peaks_moved_ = false;
}

void TMMSpectrum::RebuildScaling()
{
    const int c = std::max(4, width_);
    const double h = std::max(4, height_);
    const double v = vertical_scale_ / 100.0;
    const double rf = ref_freq_;
    const double sr = sample_rate_;
    const int m = fft_length_;
    const int g = int(gain_);
    const int weighting = g / 2; // 0 none, 1 first difference, 2 second difference
    const bool half_octave = (g % 2) == 1; // +3 dB per octave
    column_factor_.assign(c, 0);
    // One factor for every column that shows a bin: `f` doubled up to 12 bits
    // of precision; the doublings are the shift that undoes it.
    auto fill_factors = [&](double f) {
        int doublings = 0;
        while (f < 4096.0) {
            f *= 2.0;
            ++doublings;
        }
        for (int i = 0; i < c; ++i)
            if (column_first_bin_[i] >= 0)
                column_factor_[i] = std::uint32_t(std::floor(f + 0.5));
        return doublings;
    };
    if (!log_amp_) {
        double e = h / (std::sqrt(rf) * v * 32768.0);
        if (weighting == 1)
            e = e * sr / (2.0 * M_PI * rf);
        else if (weighting == 2)
            e = e * sr * sr / (4.0 * M_PI * M_PI * rf * rf);
        int doublings = 0;
        if (!half_octave) {
            doublings = fill_factors(std::sqrt(rf) * e);
        } else {
            while (std::sqrt(sr / 2.0) * e < 4096.0) {
                e *= 2.0;
                ++doublings;
            }
            for (int i = 0; i < c; ++i)
                if (column_first_bin_[i] >= 0)
                    column_factor_[i] = std::uint32_t(
                        round_half_even(e * std::sqrt((column_first_bin_[i] + 1) * sr / m) + 0.5));
        }
        scale_shift_ = 4 + doublings;
        pixels_per_unit_ = 0.0;
    } else {
        const double u = 819.2 * std::log2(10.0);
        const double p = h / (60.0 * u);
        const double top = 20.0 * std::log10(32768.0);
        double base = u * (top - 60.0);
        if (weighting == 1)
            base = u * (top - std::log10(sr / (2.0 * M_PI * rf)) * 20.0 - 60.0);
        else if (weighting == 2)
            base = u * (top - std::log10(sr / (2.0 * M_PI * rf)) * 40.0 - 60.0);
        for (int k = 0; k < m / 2; ++k) {
            if (half_octave)
                log_offset_[k] = std::int32_t(std::floor(base + 0.5 - u * 10.0 * std::log10((k + 1) * sr / m / rf)));
            else
                log_offset_[k] = std::int32_t(std::floor(base + 0.5));
        }
        scale_shift_ = fill_factors(p);
        pixels_per_unit_ = p;
    }
}

void TMMSpectrum::RebuildSpots()
{
    LayOutSpots(std::max(4, height_), spot_height_);
    zone1_ = int(round_half_even(double(point1_) * spot_count_ / 100.0));
    zone2_ = int(round_half_even(double(point2_) * spot_count_ / 100.0));
}

void TMMSpectrum::RebuildAll()
{
    RebuildWindow();
    RebuildColumns();
    RebuildScaling();
    RebuildSpots();
    ClearState();
    emit AppearanceChanged();
}

void TMMSpectrum::ClearState()
{
    std::fill(bin_value_.begin(), bin_value_.end(), 0);
    std::fill(bin_decayed_.begin(), bin_decayed_.end(), 0.0f);
    std::fill(bin_sum_.begin(), bin_sum_.end(), 0);
    for (auto& row : ring_)
        std::fill(row.begin(), row.end(), 0);
    ring_position_ = 0;
    ring_count_ = 0;
    max_value_ = max_bin_ = max_column_ = 0;
    std::lock_guard lock(peak_mutex_);
    for (auto& bar : bars_) {
        bar.value = 0;
        bar.lit_spots = 0;
        bar.peak_spot = 0;
        bar.peak_countdown = 0;
    }
    peaks_moved_ = false;
}

// ---------------------------------------------------------------------------
// Refresh

void TMMSpectrum::ProcessData(const char* data)
{
    if (!enabled_ || !visible_ || frozen_ || !data)
        return;
    const int m = fft_length_;
    const int half = m / 2;
    const bool stereo = mode_ == mStereo;
    const bool bits16 = bits_ == b16Bit;
    const bool both = stereo && channel_ == chBoth;
    const int channel_index = (stereo && channel_ == chRight) ? 1 : 0;

    // 1. One sample per frame.
    bool overflow = false;
    const int limit = bits16 ? (both ? 32765 : 32766) : 254;
    for (int i = 0; i < m; ++i) {
        int s;
        if (bits16) {
            std::int16_t frame[2] = {0, 0};
            std::memcpy(frame, data + std::size_t(i) * (stereo ? 4 : 2), stereo ? 4 : 2);
            s = both ? (int(frame[0]) + int(frame[1])) / 2 : frame[channel_index];
        } else {
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(data) + std::size_t(i) * (stereo ? 2 : 1);
            s = both ? (int(bytes[0]) + int(bytes[1])) >> 1 : int(bytes[channel_index]);
        }
        if (s > limit)
            overflow = true;
        samples_[i] = s;
    }
    if (overflow && OnPcmOverflow)
        OnPcmOverflow(this);

    // 2. Pre-emphasis, 3. window.
    const int weighting = int(gain_) / 2;
    for (int i = 0; i < m; ++i) {
        const std::int64_t s0 = samples_[i];
        const std::int64_t s1 = samples_[std::max(0, i - 1)];
        const std::int64_t s2 = samples_[std::max(0, i - 2)];
        std::int64_t u = s0;
        if (weighting == 1)
            u = s0 - s1;
        else if (weighting == 2)
            u = s0 + s2 - 2 * s1;
        std::int64_t y;
        if (bits16)
            y = u * window_table_[i] / 32768;
        else
            y = (weighting == 0 ? u - 128 : u) * window_table_[i] / 128;
        work_[i] = float(y);
    }

    // 4. Real FFT, 5. scaled to 16 bits, 6. bin values.
    fft_->Transform(work_.data(), spectrum_.data(), fft_scratch_.data());
    if (decay_mode_ == dmUniform) {
        ring_position_ = (ring_position_ + 1) % ring_length_;
        ring_count_ = std::min(ring_count_ + 1, ring_length_);
    }
    const float divisor = float(half);
    const bool log_bins = log_amp_ && decay_mode_ == dmNone;
    for (int k = 0; k < half; ++k) {
        // Saturated rather than wrapped: bin 0 of a loud offset can exceed 16 bits.
        const double re = std::clamp(std::trunc(double(spectrum_[k].re) / divisor), -32768.0, 32767.0);
        const double im = std::clamp(std::trunc(double(spectrum_[k].im) / divisor), -32768.0, 32767.0);
        const double power = re * re + im * im;
        std::int32_t v;
        if (log_bins) {
            v = power < 1.0 ? 0
                            : std::max<std::int32_t>(
                                  0, std::int32_t(std::log(power) * 8192.0 / M_LN2 - log_offset_[k]));
        } else {
            v = std::int32_t(16.0 * std::sqrt(power));
            float& d = bin_decayed_[k];
            switch (decay_mode_) {
            case dmNone:
                break;
            case dmStepUp:
                d *= decay_q_;
                if (float(v) > d)
                    d = float(v);
                else
                    v = std::int32_t(d);
                break;
            case dmExponential:
                d = d * decay_q_ + (1.0f - decay_q_) * float(v);
                v = std::int32_t(std::floor(d));
                break;
            case dmUniform: {
                std::int32_t& slot = ring_[ring_position_][k];
                bin_sum_[k] += v - slot;
                slot = v;
                v = std::int32_t(bin_sum_[k] / ring_count_);
                break;
            }
            }
        }
        bin_value_[k] = v;
    }

    ComputeBars();
}

void TMMSpectrum::ComputeBars()
{
    const double h = std::max(4, height_);
    const int s = spot_count_;
    const bool log_with_decay = log_amp_ && decay_mode_ != dmNone;
    const int peaks = num_peaks_;
    bool changed = false;
    bool wake_peak_timer = false;
    max_value_ = INT_MIN;
    {
        std::lock_guard lock(peak_mutex_);
        for (auto& bar : bars_) {
            int a = bin_value_[bar.first_bin];
            int top_bin = bar.first_bin;
            for (int k = bar.first_bin + 1; k < bar.end_bin; ++k)
                if (bin_value_[k] > a) {
                    a = bin_value_[k];
                    top_bin = k;
                }
            std::int64_t value;
            if (!log_with_decay) {
                // 64-bit product: an extreme weighting must clip, not wrap.
                value = std::int64_t((std::uint64_t(std::uint32_t(std::max(a, 0))) *
                                      column_factor_[bar.first_column]) >> scale_shift_);
            } else if (a < 1) {
                value = 0;
            } else {
                value = std::int64_t(
                    (2.0 * std::log(a / 16.0) * 8192.0 / M_LN2 - log_offset_[top_bin]) * pixels_per_unit_);
            }
            value = std::clamp<std::int64_t>(value, INT_MIN / 2, INT_MAX / 2);
            if (value > max_value_) {
                max_value_ = int(value);
                max_bin_ = top_bin;
                max_column_ = bar.first_column;
            }
            int lit = int(round_half_even(double(value) / (h / s) + 0.5));
            lit = std::clamp(lit, 0, s);
            if (lit >= bar.peak_spot && lit > 0 && peaks > 0) {
                if (bar.peak_spot != lit)
                    changed = true;
                bar.peak_spot = lit;
                bar.peak_countdown = 2 * peak_delay_ + 1;
                wake_peak_timer = PeakSetLocked() || wake_peak_timer;
            }
            if (bar.value != int(value) || bar.lit_spots != lit)
                changed = true;
            bar.value = int(value);
            bar.lit_spots = lit;
        }
        if (peaks_moved_)
            changed = true;
        peaks_moved_ = false;
    }
    WakePeakTimer(wake_peak_timer);
    if (max_value_ == INT_MIN)
        max_value_ = 0;
    if (max_value_ >= h && OnGainOverflow)
        OnGainOverflow(this);
    if (changed)
        emit Changed();
}

void TMMSpectrum::PeakTick()
{
    if (frozen_)
        return;
    const int speed = peak_speed_;
    std::lock_guard lock(peak_mutex_);
    bool falling = false;
    for (auto& bar : bars_) {
        if (bar.peak_spot <= 0 || num_peaks_ == 0)
            continue;
        falling = true;
        if (--bar.peak_countdown > 0)
            continue;
        if (speed > 0) {
            --bar.peak_spot;
            bar.peak_countdown = speed;
        } else {
            bar.peak_spot = 0;
            bar.peak_countdown = 0;
        }
        peaks_moved_ = true;
    }
    if (!falling)
        PeakTimerSleepLocked();
}

void TMMSpectrum::ResetDisplay()
{
    ClearState();
    emit Changed();
}

std::vector<TMMSpectrumBar> TMMSpectrum::Bars() const
{
    std::lock_guard lock(peak_mutex_);
    return bars_;
}

int TMMSpectrum::BarCount() const
{
    std::lock_guard lock(peak_mutex_);
    return int(bars_.size());
}

// ---------------------------------------------------------------------------
// Properties

void TMMSpectrum::SetDisplaySize(int inner_width, int inner_height)
{
    inner_width = std::max(4, inner_width);
    inner_height = std::max(4, inner_height);
    if (inner_width == width_ && inner_height == height_)
        return;
    width_ = inner_width;
    height_ = inner_height;
    RebuildAll();
}

void TMMSpectrum::SetEnabled(bool value)
{
    if (value == enabled_)
        return;
    enabled_ = value;
    if (!enabled_) {
        ClearState();
        timer_entry_.disable();
    } else {
        RebuildAll();
        timer_entry_.enable();
    }
    emit Changed();
    emit WantsDataChanged();
}

void TMMSpectrum::SetKind(TMMSpectrumKind value) { StoreAndRebuild(kind_, value); }

void TMMSpectrum::SetFFTLength(int value)
{
    StoreAndRebuild(fft_length_, floor_power_of_two(std::clamp(value, 8, kMaxPoints)));
}

void TMMSpectrum::SetWindow(TMMFFTWindow value) { StoreAndRebuild(window_, value); }
void TMMSpectrum::SetSampleRate(int value) { StoreAndRebuild(sample_rate_, std::clamp(value, 8000, 100000)); }
void TMMSpectrum::SetGain(TMMSpectrumGain value) { StoreAndRebuild(gain_, value); }
void TMMSpectrum::SetRefFreq(int hz) { StoreAndRebuild(ref_freq_, std::clamp(hz, 1, 44100)); }
void TMMSpectrum::SetLogFreq(bool value) { StoreAndRebuild(log_freq_, value); }
void TMMSpectrum::SetLogAmp(bool value) { StoreAndRebuild(log_amp_, value); }
void TMMSpectrum::SetVerticalScale(int percent) { StoreAndRebuild(vertical_scale_, std::clamp(percent, 1, 500)); }

void TMMSpectrum::SetFrequencyScale(int value)
{
    StoreAndRebuild(frequency_scale_, floor_power_of_two(std::clamp(value, 1, 16)));
}

void TMMSpectrum::SetDecayMode(TMMDecayMode value)
{
    if (platform::store_changed(decay_mode_, value))
        ClearState();
}

void TMMSpectrum::SetDecay(int value)
{
    if (StoreDecay(value) && decay_mode_ == dmUniform)
        ClearState();
}

void TMMSpectrum::SetNumPeaks(int value)
{
    value = std::clamp(value, 0, 5);
    if (value == num_peaks_)
        return;
    num_peaks_ = value;
    if (value == 0) {
        std::lock_guard lock(peak_mutex_);
        for (auto& bar : bars_)
            bar.peak_spot = bar.peak_countdown = 0;
    }
}

void TMMSpectrum::SetSpace(int pixels)
{
    if (platform::store_changed(space_, std::max(0, pixels)))
        emit AppearanceChanged();
}

void TMMSpectrum::SetSpotHeight(int pixels)
{
    if (platform::store_changed(spot_height_, std::max(1, pixels)))
        SpotsChanged();
}

} // namespace pelu
