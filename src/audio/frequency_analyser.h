// The spectrum analyser's computing side: windowed real FFT of slices of played PCM,
// per-bin decay, mapping of pixel columns to bins, bar values with the amplitude
// weighting, lit spots and falling peaks per bar. A Qt control paints it: it reads
// Bars() (columns, value, lit spots, peak spot per bar), SpotCount/SpotOffset/
// Zone1/Zone2 and the colour properties, and repaints on Changed (new values) or
// AppearanceChanged (geometry, tables or colours).
//
// Thread: everything runs in the main thread except PeakTick, which the shared
// 25 ms timer service calls in its own thread; it only moves the bars' peak
// counters, under peak_mutex_, which every change of the bar table also holds.
#pragma once

#include "audio/display.h"
#include "audio/fft.h"
#include "audio/level.h"
#include "audio/mm_types.h"
#include "platform/error.h"
#include "platform/timer.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace pelu {

PELU_DECLARE_ERROR(EMMSpectrumError, Error)

// One bar: the pixel columns it covers and what it shows.
struct TMMSpectrumBar {
    int first_column = 0;   // first pixel column (inside the bevel)
    int end_column = 0;     // one past the last column
    int first_bin = 0;      // bins shown: first_bin .. end_bin-1 (end_bin 0: first_bin only)
    int end_bin = 0;
    int value = 0;          // in pixels of the display height
    int lit_spots = 0;      // 0..SpotCount()
    int peak_spot = 0;      // 0: no peak marker
    int peak_countdown = 0; // timer ticks until the peak falls
};

class TMMSpectrum : public TMMAnalyser {
    Q_OBJECT
    Q_PROPERTY(bool Enabled READ Enabled WRITE SetEnabled)
    Q_PROPERTY(pelu::TMMSpectrumKind Kind READ Kind WRITE SetKind)
    Q_PROPERTY(int FFTLength READ FFTLength WRITE SetFFTLength)
    Q_PROPERTY(pelu::TMMFFTWindow Window READ Window WRITE SetWindow)
    Q_PROPERTY(int SampleRate READ SampleRate WRITE SetSampleRate)
    Q_PROPERTY(pelu::TMMBits BitLength READ BitLength WRITE SetBitLength)
    Q_PROPERTY(pelu::TMMMode Mode READ Mode WRITE SetMode)
    Q_PROPERTY(pelu::TMMChannel Channel READ Channel WRITE SetChannel)
    Q_PROPERTY(pelu::TMMSpectrumGain Gain READ Gain WRITE SetGain)
    Q_PROPERTY(int RefFreq READ RefFreq WRITE SetRefFreq)
    Q_PROPERTY(bool LogFreq READ LogFreq WRITE SetLogFreq)
    Q_PROPERTY(bool LogAmp READ LogAmp WRITE SetLogAmp)
    Q_PROPERTY(int VerticalScale READ VerticalScale WRITE SetVerticalScale)
    Q_PROPERTY(int FrequencyScale READ FrequencyScale WRITE SetFrequencyScale)
    Q_PROPERTY(pelu::TMMDecayMode DecayMode READ DecayMode WRITE SetDecayMode)
    Q_PROPERTY(int Decay READ Decay WRITE SetDecay)
    Q_PROPERTY(int NumPeaks READ NumPeaks WRITE SetNumPeaks)
    Q_PROPERTY(int PeakDelay READ PeakDelay WRITE SetPeakDelay)
    Q_PROPERTY(int PeakSpeed READ PeakSpeed WRITE SetPeakSpeed)
    Q_PROPERTY(int Space READ Space WRITE SetSpace)
    Q_PROPERTY(int SpotSpace READ SpotSpace WRITE SetSpotSpace)
    Q_PROPERTY(int SpotHeight READ SpotHeight WRITE SetSpotHeight)
    Q_PROPERTY(int Point1 READ Point1 WRITE SetPoint1)
    Q_PROPERTY(int Point2 READ Point2 WRITE SetPoint2)
    Q_PROPERTY(quint32 Bar1Color READ Bar1Color WRITE SetBar1Color)
    Q_PROPERTY(quint32 Bar2Color READ Bar2Color WRITE SetBar2Color)
    Q_PROPERTY(quint32 Bar3Color READ Bar3Color WRITE SetBar3Color)
    Q_PROPERTY(quint32 Inactive1Color READ Inactive1Color WRITE SetInactive1Color)
    Q_PROPERTY(quint32 Inactive2Color READ Inactive2Color WRITE SetInactive2Color)
    Q_PROPERTY(quint32 Inactive3Color READ Inactive3Color WRITE SetInactive3Color)
    Q_PROPERTY(quint32 GridColor READ GridColor WRITE SetGridColor)
    Q_PROPERTY(quint32 ScaleTextColor READ ScaleTextColor WRITE SetScaleTextColor)
    Q_PROPERTY(quint32 ScaleLineColor READ ScaleLineColor WRITE SetScaleLineColor)
    Q_PROPERTY(quint32 Color READ Color WRITE SetColor)
    Q_PROPERTY(bool DrawInactive READ DrawInactive WRITE SetDrawInactive)
    Q_PROPERTY(bool InactiveDoted READ InactiveDoted WRITE SetInactiveDoted)
    Q_PROPERTY(bool ActiveDoted READ ActiveDoted WRITE SetActiveDoted)
    Q_PROPERTY(bool DrawFreqScale READ DrawFreqScale WRITE SetDrawFreqScale)
    Q_PROPERTY(bool DrawAmpScale READ DrawAmpScale WRITE SetDrawAmpScale)
    Q_PROPERTY(bool DrawGrid READ DrawGrid WRITE SetDrawGrid)
    Q_PROPERTY(bool ShowInfo READ ShowInfo WRITE SetShowInfo)
    Q_PROPERTY(bool UseBackGroundDIB READ UseBackGroundDIB WRITE SetUseBackGroundDIB)
    Q_PROPERTY(bool DisplayPeak READ DisplayPeak WRITE SetDisplayPeak)
public:
    explicit TMMSpectrum(QObject* parent = nullptr);
    ~TMMSpectrum() override;

    // --- what the connector calls
    int DataSize() const override;
    void ProcessData(const char* data) override;
    void ResetDisplay() override;
    // Refuses anything but 8/16-bit PCM, 1 or 2 channels, 4000..100000 Hz with
    // EMMSpectrumError "Invalid WaveFormat"; else takes the rate, bits and channels.
    void SetDisplayFormat(const WaveFormat* format) override;

    // --- the drawing area, pixels inside the bevel (each side at least 4)
    void SetDisplaySize(int inner_width, int inner_height) override;
    // Info mode: a frozen display ignores new data and its peaks stop falling.
    void SetFrozen(bool frozen) { frozen_ = frozen; }
    bool Frozen() const { return frozen_; }

    // --- state for the painter (the spots run up each bar, from the bottom)
    std::vector<TMMSpectrumBar> Bars() const; // a snapshot
    int BarCount() const;
    // Per pixel column: first bin (-1 where no bar starts), end bin, scale factor.
    const std::vector<int>& ColumnFirstBins() const { return column_first_bin_; }
    const std::vector<int>& ColumnEndBins() const { return column_end_bin_; }
    const std::vector<std::uint32_t>& ColumnFactors() const { return column_factor_; }
    int ScaleShift() const { return scale_shift_; }
    // Bin values of the last refresh (after the decay), FFTLength/2 entries.
    const std::vector<std::int32_t>& BinValues() const { return bin_value_; }
    // Largest bar value of the last refresh, with its bin and column.
    int MaxValue() const { return max_value_; }
    int MaxBin() const { return max_bin_; }
    int MaxColumn() const { return max_column_; }
    // Centre frequency of a bin in Hz.
    double BinFrequency(int bin) const { return double(bin) * sample_rate_ / fft_length_; }

    // --- properties
    void SetEnabled(bool value);
    TMMSpectrumKind Kind() const { return kind_; }
    void SetKind(TMMSpectrumKind value);
    int FFTLength() const { return fft_length_; }
    void SetFFTLength(int value); // 8..4096, lowered to a power of two
    TMMFFTWindow Window() const { return window_; }
    void SetWindow(TMMFFTWindow value);
    int SampleRate() const { return sample_rate_; }
    void SetSampleRate(int value); // 8000..100000
    TMMSpectrumGain Gain() const { return gain_; }
    void SetGain(TMMSpectrumGain value);
    int RefFreq() const { return ref_freq_; }
    void SetRefFreq(int hz); // 1..44100
    bool LogFreq() const { return log_freq_; }
    void SetLogFreq(bool value);
    bool LogAmp() const { return log_amp_; }
    void SetLogAmp(bool value);
    int VerticalScale() const { return vertical_scale_; }
    void SetVerticalScale(int percent); // 1..500
    int FrequencyScale() const { return frequency_scale_; }
    void SetFrequencyScale(int value); // 1..16, lowered to a power of two
    void SetDecayMode(TMMDecayMode value);
    void SetDecay(int value); // 1..16
    int NumPeaks() const { return num_peaks_.load(); }
    void SetNumPeaks(int value); // 0..5
    int Space() const { return space_; }
    void SetSpace(int pixels);
    int SpotHeight() const { return spot_height_; }
    void SetSpotHeight(int pixels);
    PELU_APPEARANCE_PROPERTY(quint32, GridColor, grid_color_)
    PELU_APPEARANCE_PROPERTY(quint32, ScaleTextColor, scale_text_color_)
    PELU_APPEARANCE_PROPERTY(quint32, ScaleLineColor, scale_line_color_)
    PELU_APPEARANCE_PROPERTY(bool, DrawInactive, draw_inactive_)
    PELU_APPEARANCE_PROPERTY(bool, DrawFreqScale, draw_freq_scale_)
    PELU_APPEARANCE_PROPERTY(bool, DrawAmpScale, draw_amp_scale_)
    PELU_APPEARANCE_PROPERTY(bool, DrawGrid, draw_grid_)
    PELU_APPEARANCE_PROPERTY(bool, ShowInfo, show_info_)
    PELU_APPEARANCE_PROPERTY(bool, UseBackGroundDIB, use_background_dib_)
    PELU_APPEARANCE_PROPERTY(bool, DisplayPeak, display_peak_)

    // One 25 ms step of the peak fall (the timer service calls it; tests may too).
    void PeakTick();

    // Events, main thread, fired only when assigned.
    std::function<void(QObject* sender)> OnGainOverflow; // a bar beyond the display height
    std::function<void(QObject* sender)> OnPcmOverflow;  // a positive sample at full scale
    // Fills the per-column first and end bins instead of the built-in mapping
    // (both vectors come sized to the display width).
    std::function<void(TMMSpectrum* sender, std::vector<int>& first_bins, std::vector<int>& end_bins)>
        OnGetXScale;

private:
    void RebuildAll();        // window, FFT, bins, columns, bars, scaling
    // For the members the tables are built from.
    template <class T>
    void StoreAndRebuild(T& member, T value)
    {
        if (platform::store_changed(member, value))
            RebuildAll();
    }
    void RebuildWindow();
    void RebuildColumns();
    void RebuildScaling();
    void RebuildSpots();
    void SpotsChanged() override
    {
        RebuildSpots();
        emit AppearanceChanged();
    }
    void ClearState();
    bool PeakTimerEnabled() const override { return enabled_; }
    void ComputeBars();

    // properties
    TMMSpectrumKind kind_ = skBars;
    int fft_length_ = 128;
    TMMFFTWindow window_ = fwHamming;
    int sample_rate_ = 11025;
    TMMSpectrumGain gain_ = sgNone;
    int ref_freq_ = 1000;
    bool log_freq_ = false;
    bool log_amp_ = false;
    int vertical_scale_ = 100;
    int frequency_scale_ = 1;
    std::atomic<int> num_peaks_{1}; // read by the timer thread
    int space_ = 1;
    int spot_height_ = 1;
    quint32 grid_color_ = 8421504, scale_text_color_ = 0, scale_line_color_ = 0;
    bool draw_inactive_ = true;
    bool draw_freq_scale_ = false, draw_amp_scale_ = false, draw_grid_ = false;
    bool show_info_ = true, use_background_dib_ = false, display_peak_ = false;

    std::atomic<bool> frozen_{false}; // read by the timer thread
    double start_frequency_ = 0.0;

    // analysis tables
    std::unique_ptr<TMMRealFFT> fft_;
    std::vector<std::int32_t> window_table_;   // 15-bit integers
    std::vector<std::int32_t> samples_;        // s[i] of one refresh
    std::vector<float> work_;                  // windowed samples
    std::vector<TMMComplex> spectrum_;         // FFT output, M/2 bins
    std::vector<TMMComplex> fft_scratch_;      // M/2
    std::vector<std::int32_t> bin_value_;      // per bin
    std::vector<float> bin_decayed_;           // per bin
    std::vector<std::int64_t> bin_sum_;        // per bin (dmUniform)
    std::vector<std::int32_t> log_offset_;     // T[k]
    std::vector<std::vector<std::int32_t>> ring_; // 32 per-bin arrays (dmUniform)
    int ring_position_ = 0;
    int ring_count_ = 0;

    // per column
    std::vector<int> column_first_bin_;
    std::vector<int> column_end_bin_;
    std::vector<std::uint32_t> column_factor_;
    int scale_shift_ = 0;
    double pixels_per_unit_ = 0.0;

    int max_value_ = 0;
    int max_bin_ = 0;
    int max_column_ = 0;

    // shared with the timer thread (peak_mutex_)
    std::vector<TMMSpectrumBar> bars_;
    bool peaks_moved_ = false; // a peak fell since the last refresh
};

} // namespace pelu
