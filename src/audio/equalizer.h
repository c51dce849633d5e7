// The equalizer: a chain stage that filters every buffer in place with the FFT
// filter engine, the bands it applies (TMMEQFilter, TMMEQFilterList), the "EQU"
// band-list stream with its class registry, and the INI preset section.
//
// Thread: properties, bands, presets, open/start/close run in the main thread;
// BufferLoad/BufferReady run on the wave output's thread. engine_mutex_ is held
// for each processed buffer and whenever the engine is replaced, reset or freed,
// so a close or an FFTLength change never frees the engine under the buffer
// thread. Band and window changes only take the engine's own lock (one
// redesign). OnPcmOverflow is posted to the main thread; the buffer thread never
// waits for it.
#pragma once

#include "audio/dsp_object.h"
#include "audio/fft_filter.h"
#include "audio/mm_types.h"
#include "audio/frequency_analyser.h"
#include "platform/error.h"

#include <QByteArray>
#include <QPointer>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace pelu {

PELU_DECLARE_ERROR(EMMEqualizerError, Error)
PELU_DECLARE_ERROR(EListError, Error)
PELU_DECLARE_ERROR(EStreamError, Error)
PELU_DECLARE_ERROR(EClassNotFound, Error)
PELU_DECLARE_ERROR(EConvertError, Error)

class TMMEqualizer;

// ---------------------------------------------------------------------------
// One band: a frequency range in Hz with a gain in dB.
class TMMEQFilter {
public:
    using ChangeCallback = void (*)(void* context, TMMEQFilter* band);

    TMMEQFilter() = default;
    TMMEQFilter(float f1, float f2, float gain) : f1_(f1), f2_(f2), gain_(gain) {}
    virtual ~TMMEQFilter() = default;
    TMMEQFilter(const TMMEQFilter&) = delete;
    TMMEQFilter& operator=(const TMMEQFilter&) = delete;

    // The name the band-list stream records for this class.
    virtual const char* ClassName() const { return "TMMEQFilter"; }

    float F1() const { return f1_; }
    float F2() const { return f2_; }
    float Gain() const { return gain_; }
    bool Enabled() const { return enabled_; }
    void SetF1(float hz) { SetIndexed(0, hz); }
    void SetF2(float hz) { SetIndexed(1, hz); }
    void SetGain(float db) { SetIndexed(2, db); }
    void SetEnabled(bool value);
    // Stores all three and notifies when any differs (exact comparison).
    void SetParams(float f1, float f2, float gain);
    void Assign(const TMMEQFilter& source);

    // Installed by the band list: reaches the owning equalizer.
    void SetChangeNotification(ChangeCallback callback, void* context);

private:
    void SetIndexed(int index, float value);
    void Notify();

    float f1_ = 0.0f;
    float f2_ = 0.0f;
    float gain_ = 0.0f;
    bool enabled_ = true;
    ChangeCallback on_change_ = nullptr;
    void* context_ = nullptr;
};

// The class registry of the band-list stream: how a band class is written and read.
struct TMMEQFilterClass {
    QString name;
    std::function<void(const TMMEQFilter& band, QByteArray& out)> store;
    std::function<std::unique_ptr<TMMEQFilter>(const char*& cursor, const char* end)> load;
};
void RegisterEQFilterClass(TMMEQFilterClass entry);
const TMMEQFilterClass* FindEQFilterClass(const QString& name);

// ---------------------------------------------------------------------------
// The ordered band list of an equalizer.
class TMMEQFilterList {
public:
    static constexpr int kMaxCount = 32767; // the count is a 16-bit number

    explicit TMMEQFilterList(TMMEqualizer* owner = nullptr);
    ~TMMEQFilterList();
    TMMEQFilterList(const TMMEQFilterList&) = delete;
    TMMEQFilterList& operator=(const TMMEQFilterList&) = delete;

    int Count() const { return int(items_.size()); }
    int Capacity() const { return capacity_; }
    TMMEQFilter* Items(int index) const; // EListError outside 0..Count-1
    TMMEQFilter* operator[](int index) const { return Items(index); }
    // Appends a band (taken over when OwnsObjects) and connects it to the equalizer.
    int Add(TMMEQFilter* band);
    TMMEQFilter* AddBand(float f1, float f2, float gain);
    void Delete(int index);
    void Clear();
    // Clears, then adds a copy of every band, in one update bracket.
    void Assign(const TMMEQFilterList& source);

    void BeginUpdate();
    void EndUpdate();
    int UpdateCount() const { return update_count_; }
    bool OwnsObjects() const { return owns_objects_; }
    void SetOwnsObjects(bool value) { owns_objects_ = value; }
    TMMEqualizer* Owner() const { return owner_; }

    // The "EQU" stream: magic, flag, Description, FFTLength (of the owner), bands.
    QByteArray SaveToStream() const;
    void LoadFromStream(const QByteArray& data);

private:
    void Grow();
    void Changing();
    void ChangedNotify();
    static void BandChanged(void* context, TMMEQFilter* band);

    TMMEqualizer* owner_;
    std::vector<TMMEQFilter*> items_;
    int capacity_ = 0;
    bool owns_objects_ = true;
    int update_count_ = 0;
};

// ---------------------------------------------------------------------------
class TMMEqualizer : public TMMDSPComponent {
    Q_OBJECT
    Q_PROPERTY(pelu::TMMDSPComponent* Input READ Input WRITE SetInput)
    Q_PROPERTY(pelu::TMMDSPComponent* Output READ Output WRITE SetOutput)
    Q_PROPERTY(bool Enabled READ Enabled WRITE SetEnabled)
    Q_PROPERTY(int SampleRate READ SampleRate WRITE SetSampleRate)
    Q_PROPERTY(int FFTLength READ FFTLength WRITE SetFFTLength)
    Q_PROPERTY(QString Description READ Description WRITE SetDescription STORED false)
    Q_PROPERTY(QByteArray ObjectContainer READ SaveFiltersToStream WRITE LoadFiltersFromStream)
    Q_PROPERTY(pelu::TMMSpectrum* Spectrum READ Spectrum WRITE SetSpectrum)
    Q_PROPERTY(pelu::TMMChannel Channel READ Channel WRITE SetChannel)
    Q_PROPERTY(pelu::TMMFFTWindow Window READ Window WRITE SetWindow)
public:
    explicit TMMEqualizer(QObject* parent = nullptr);
    ~TMMEqualizer() override;

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool value);
    int SampleRate() const { return sample_rate_; }
    void SetSampleRate(int hz); // 4000..100000
    int FFTLength() const { return fft_length_; }
    void SetFFTLength(int value); // 8..4096, lowered to a power of two
    const QString& Description() const { return description_; }
    void SetDescription(const QString& text) { description_ = text; }
    TMMEQFilterList& Filters() { return filters_; }
    const TMMEQFilterList& Filters() const { return filters_; }
    void SetFilters(const TMMEQFilterList& source) { filters_.Assign(source); }
    TMMSpectrum* Spectrum() const;
    void SetSpectrum(TMMSpectrum* display);
    TMMChannel Channel() const { return channel_; }
    void SetChannel(TMMChannel value) { channel_ = value; }
    TMMFFTWindow Window() const { return window_; }
    void SetWindow(TMMFFTWindow value);

    // Copies Channel, Enabled, Description, FFTLength, Window, Filters, SampleRate.
    void Assign(const TMMEqualizer& source);

    // The preset section "EQ." + name; an empty file name does nothing. Saving
    // replaces the file atomically; loading a file or section without a usable
    // "FFTLen" changes nothing; a band number that does not convert raises
    // EConvertError and leaves the bands read so far. A band count outside
    // 0..kMaxPresetBands, a gain beyond kMaxPresetGainDb either way or a
    // frequency outside 0..kMaxPresetFrequencyHz refuses the file with
    // EMMEqualizerError before anything changes.
    // As many bands as the longest FFT length has points: more cannot each
    // shape something of their own, and every band costs a redesign at start.
    static constexpr int kMaxPresetBands = 4096;
    // The range of 16-bit samples: beyond it a band is silence or clipping alone.
    static constexpr float kMaxPresetGainDb = 96.0f;
    static constexpr float kMaxPresetFrequencyHz = 1000000.0f;
    void SaveToIniFile(const QString& file_name, const QString& name);
    void LoadFromIniFile(const QString& file_name, const QString& name);

    QByteArray SaveFiltersToStream() const { return filters_.SaveToStream(); }
    void LoadFiltersFromStream(const QByteArray& data) { filters_.LoadFromStream(data); }

    // Chain behaviour.
    void SetPWaveFormat(const WaveFormat* format) override;
    void Opened() override;
    void Closed() override;
    void Started() override;
    void Reset() override;
    void BufferLoad(ExtendedWaveHeader* lpWaveHdr, bool& MoreBuffers) override;
    void BufferReady(ExtendedWaveHeader* lpWaveHdr) override;

    bool EngineOpened() const { return eq_opened_; }
    // The transform length the engine uses (0 while closed).
    int EngineLength() const;

    // Main thread, fired only when assigned.
    std::function<void(QObject* sender)> OnChange;
    std::function<void(QObject* sender)> OnPcmOverflow;

private:
    friend class TMMEQFilterList;
    void BandChanged(TMMEQFilter* band);
    void ListChanged();
    void ApplyAllBands();
    void ApplyAllBandsTo(TMMFFTFilter& engine);
    void ChangeStep();
    void Process(ExtendedWaveHeader* header);
    void CloseEngine();

    std::atomic<bool> enabled_{true};
    int sample_rate_ = 4000;
    int fft_length_ = 256;
    QString description_ = QStringLiteral("Untitled");
    TMMEQFilterList filters_;
    QPointer<TMMSpectrum> spectrum_;
    std::atomic<TMMChannel> channel_{chBoth};
    TMMFFTWindow window_ = fwHamming;

    std::atomic<bool> eq_opened_{false};
    bool updating_ = false;
    int store_size_bytes_ = 0;
    std::mutex engine_mutex_;
    std::unique_ptr<TMMFFTFilter> engine_;
};

} // namespace pelu
