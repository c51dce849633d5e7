// The level meter's computing side: turns slices of played PCM into a number of lit
// spots with a decay and a falling peak marker. A Qt control paints it: it reads
// SpotCount/SpotOffset/Zone1/Zone2 (geometry), LitSpots/PeakSpot (state) and the
// colour properties, and repaints on Changed (state) or AppearanceChanged
// (geometry or colours: rebuild the background picture of inactive spots).
//
// Thread: everything runs in the main thread (the connector's pump, property
// setters, painting) except PeakTick, which the shared 25 ms timer service calls
// in its own thread; it only moves the peak counters (under peak_mutex_) and marks
// a change that the next refresh draws.
#pragma once

#include "audio/display.h"
#include "audio/mm_types.h"
#include "platform/error.h"
#include "platform/timer.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

namespace pelu {

PELU_DECLARE_ERROR(EMMLevelError, Error)

class TMMLevel : public TMMAnalyser {
    Q_OBJECT
    Q_PROPERTY(bool Enabled READ Enabled WRITE SetEnabled)
    Q_PROPERTY(pelu::TMMLevelKind Kind READ Kind WRITE SetKind)
    Q_PROPERTY(pelu::TMMLevelDirection Direction READ Direction WRITE SetDirection)
    Q_PROPERTY(int SpotSpace READ SpotSpace WRITE SetSpotSpace)
    Q_PROPERTY(int SpotWidth READ SpotWidth WRITE SetSpotWidth)
    Q_PROPERTY(quint32 Bar1Color READ Bar1Color WRITE SetBar1Color)
    Q_PROPERTY(quint32 Bar2Color READ Bar2Color WRITE SetBar2Color)
    Q_PROPERTY(quint32 Bar3Color READ Bar3Color WRITE SetBar3Color)
    Q_PROPERTY(quint32 Inactive1Color READ Inactive1Color WRITE SetInactive1Color)
    Q_PROPERTY(quint32 Inactive2Color READ Inactive2Color WRITE SetInactive2Color)
    Q_PROPERTY(quint32 Inactive3Color READ Inactive3Color WRITE SetInactive3Color)
    Q_PROPERTY(quint32 Color READ Color WRITE SetColor)
    Q_PROPERTY(bool InactiveDoted READ InactiveDoted WRITE SetInactiveDoted)
    Q_PROPERTY(bool ActiveDoted READ ActiveDoted WRITE SetActiveDoted)
    Q_PROPERTY(int Point1 READ Point1 WRITE SetPoint1)
    Q_PROPERTY(int Point2 READ Point2 WRITE SetPoint2)
    Q_PROPERTY(pelu::TMMBits BitLength READ BitLength WRITE SetBitLength)
    Q_PROPERTY(pelu::TMMChannel Channel READ Channel WRITE SetChannel)
    Q_PROPERTY(pelu::TMMMode Mode READ Mode WRITE SetMode)
    Q_PROPERTY(int Gain READ Gain WRITE SetGain)
    Q_PROPERTY(int Samples READ Samples WRITE SetSamples)
    Q_PROPERTY(int Sensitivy READ Sensitivy WRITE SetSensitivy)
    Q_PROPERTY(bool LogAmp READ LogAmp WRITE SetLogAmp)
    Q_PROPERTY(int NumPeaks READ NumPeaks WRITE SetNumPeaks)
    Q_PROPERTY(int PeakDelay READ PeakDelay WRITE SetPeakDelay)
    Q_PROPERTY(int PeakSpeed READ PeakSpeed WRITE SetPeakSpeed)
    Q_PROPERTY(pelu::TMMDecayMode DecayMode READ DecayMode WRITE SetDecayMode)
    Q_PROPERTY(int Decay READ Decay WRITE SetDecay)
    Q_PROPERTY(int DCOffsetL READ DCOffsetL WRITE SetDCOffsetL)
    Q_PROPERTY(int DCOffsetR READ DCOffsetR WRITE SetDCOffsetR)
    Q_PROPERTY(int Value READ Value WRITE SetValue STORED false)
public:
    explicit TMMLevel(QObject* parent = nullptr);
    ~TMMLevel() override;

    // --- what the connector calls
    int DataSize() const override;
    void ProcessData(const char* data) override;
    void ResetDisplay() override;
    // Refuses anything but 8/16-bit PCM, 1 or 2 channels, 4000..100000 Hz with
    // EMMLevelError "Invalid WaveFormat" (the previous format stays).
    void SetDisplayFormat(const WaveFormat* format) override;

    // --- the drawing area, in pixels inside the bevel (the control sets it on resize)
    void SetDisplaySize(int inner_width, int inner_height) override;

    // --- state for the painter
    int LitSpots() const { return lit_; }
    int PeakSpot() const; // 0: no peak marker
    int RawLevel() const { return raw_level_; } // largest absolute sample of the last refresh

    // --- properties
    void SetEnabled(bool value);
    TMMLevelKind Kind() const { return kind_; }
    void SetKind(TMMLevelKind value); // swaps the display size when the shape does not suit
    PELU_APPEARANCE_PROPERTY(TMMLevelDirection, Direction, direction_)
    int SpotWidth() const { return spot_width_; }
    void SetSpotWidth(int value);
    int Gain() const { return gain_; }
    void SetGain(int value); // -8..32; outside it the value is refused, not clamped
    int Samples() const { return samples_; }
    void SetSamples(int frames);
    int Sensitivy() const { return sensitivity_db_; }
    void SetSensitivy(int db);
    bool LogAmp() const { return log_amp_; }
    void SetLogAmp(bool value);
    int NumPeaks() const { return num_peaks_; }
    void SetNumPeaks(int value);
    void SetDecayMode(TMMDecayMode value);
    void SetDecay(int value);
    int DCOffsetL() const { return dc_offset_left_; }
    void SetDCOffsetL(int value) { dc_offset_left_ = value; }
    int DCOffsetR() const { return dc_offset_right_; }
    void SetDCOffsetR(int value) { dc_offset_right_ = value; }
    int Value() const { return value_percent_; }
    void SetValue(int percent); // 0..100 of full scale, bypassing the samples

    // One 25 ms step of the peak fall (the timer service calls it; tests may too).
    void PeakTick();

    // Events, main thread, fired only when assigned.
    std::function<void(QObject* sender)> OnGainOverflow; // more spots lit than the meter has
    std::function<void(QObject* sender)> OnPcmOverflow;  // the input reached full scale

private:
    void RebuildGeometry();
    void SpotsChanged() override { RebuildGeometry(); }
    void ClearState();
    void ClearDecay();
    void ApplyLevel(int level); // steps 3..7 of a refresh
    int DecayValue(int value);
    void UpdateTimerEnable();
    bool PeakTimerEnabled() const override { return timer_enabled_; }

    // properties
    TMMLevelKind kind_ = lkHorizontal;
    TMMLevelDirection direction_ = dirNormal;
    int spot_width_ = 1;
    int gain_ = 0;
    int samples_ = 50;
    int sensitivity_db_ = -35;
    bool log_amp_ = true;
    int num_peaks_ = 1;
    int dc_offset_left_ = 0;
    int dc_offset_right_ = 0;
    int value_percent_ = 0;

    // decay state
    std::int32_t ring_[32] = {};
    std::int64_t ring_sum_ = 0;
    int ring_count_ = 0;
    int ring_position_ = 0;
    float decayed_ = 0.0f;

    int raw_level_ = 0;
    int lit_ = 0;

    // shared with the timer thread (peak_mutex_)
    int peak_ = 0;
    int peak_countdown_ = 0;
    bool change_pending_ = false;

    bool timer_enabled_ = true;
};

} // namespace pelu
