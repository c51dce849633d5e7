// The connector: sits downstream of the wave output, keeps a copy of each played
// buffer and feeds it, in slices paced to the audio clock, to up to fourteen
// displays (level meters, analogue meters, oscilloscopes, lights, spectrum
// analysers, spectrograms).
//
// Thread: BufferReady (hence DataIn) runs on the wave output's callback thread;
// Trigger, the pump and every display call run on the main thread; the pause
// timer's callback runs on the shared timer thread and only records the time of
// its tick (an atomic) that the next feeding pass applies. The connector's lock guards the work buffer, its byte
// count, the read offsets and the refresh flags; it is held while copying in and
// for a whole feeding pass, so a display never sees a half-copied buffer.
//
// The pump is event-driven and runs at the screen's pace: rather than waking
// for every slice (hundreds of times a second) it wakes at most once per screen
// refresh (kFrameUs), or sooner only for data after an idle spell, and feeds
// every slice due since the last cycle in one go, in order, so the displays
// compute exactly what slice-by-slice feeding would (every decay and peak step)
// and are painted once per cycle. The previous buffer's slices that a cycle
// has not reached when the next buffer arrives are kept (a ring of a few
// buffers) and fed first: their sound has been heard by then. Its order per cycle is the same: pending
// events, feed every active connector, wait, repeat while any is active.
//
// Nothing is copied or posted while no connected display wants data (none
// attached, or all hidden or switched off).
#pragma once

#include "audio/display.h"
#include "audio/dsp_object.h"
#include "platform/timer.h"

#include <QPointer>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace pelu {

PELU_DECLARE_ERROR(EMMConnectorError, Error)
PELU_DECLARE_ERROR(EOutOfResources, Error)

class TMMConnector : public TMMDSPComponent {
    Q_OBJECT
    Q_PROPERTY(pelu::TMMDSPComponent* Input READ Input WRITE SetInput)
    Q_PROPERTY(pelu::TMMDSPComponent* Output READ Output WRITE SetOutput)
    Q_PROPERTY(bool Enabled READ Enabled WRITE SetEnabled)
    Q_PROPERTY(bool AutoConvert READ AutoConvert WRITE SetAutoConvert)
    Q_PROPERTY(bool AutoTrigger READ AutoTrigger WRITE SetAutoTrigger)
    Q_PROPERTY(bool Synchronize READ Synchronize WRITE SetSynchronize)
    Q_PROPERTY(int Speed READ Speed WRITE SetSpeed)
    Q_PROPERTY(TMMTriggerMode TriggerMode READ TriggerMode WRITE SetTriggerMode)
    Q_PROPERTY(int TriggerLevel READ TriggerLevel WRITE SetTriggerLevel)
    Q_PROPERTY(bool RefreshOnStop READ RefreshOnStop WRITE SetRefreshOnStop)
    Q_PROPERTY(bool RealTime READ RealTime WRITE SetRealTime)
    Q_PROPERTY(bool EnterIdle READ EnterIdle WRITE SetEnterIdle)
    Q_PROPERTY(pelu::TMMDisplay* Level1 READ Level1 WRITE SetLevel1)
    Q_PROPERTY(pelu::TMMDisplay* Level2 READ Level2 WRITE SetLevel2)
    Q_PROPERTY(pelu::TMMDisplay* Meter1 READ Meter1 WRITE SetMeter1)
    Q_PROPERTY(pelu::TMMDisplay* Meter2 READ Meter2 WRITE SetMeter2)
    Q_PROPERTY(pelu::TMMDisplay* Oscope1 READ Oscope1 WRITE SetOscope1)
    Q_PROPERTY(pelu::TMMDisplay* Oscope2 READ Oscope2 WRITE SetOscope2)
    Q_PROPERTY(pelu::TMMDisplay* Light1 READ Light1 WRITE SetLight1)
    Q_PROPERTY(pelu::TMMDisplay* Light2 READ Light2 WRITE SetLight2)
    Q_PROPERTY(pelu::TMMDisplay* Spectrum1 READ Spectrum1 WRITE SetSpectrum1)
    Q_PROPERTY(pelu::TMMDisplay* Spectrum2 READ Spectrum2 WRITE SetSpectrum2)
    Q_PROPERTY(pelu::TMMDisplay* Spectrum3 READ Spectrum3 WRITE SetSpectrum3)
    Q_PROPERTY(pelu::TMMDisplay* Spectrum4 READ Spectrum4 WRITE SetSpectrum4)
    Q_PROPERTY(pelu::TMMDisplay* Spectrogram1 READ Spectrogram1 WRITE SetSpectrogram1)
    Q_PROPERTY(pelu::TMMDisplay* Spectrogram2 READ Spectrogram2 WRITE SetSpectrogram2)

public:
    enum TMMTriggerMode { tmNone, tmUpFlank, tmDownFlank };
    Q_ENUM(TMMTriggerMode)

    // Display groups in feeding order.
    enum Group { gLevels, gMeters, gOscopes, gLights, gSpectra, gSpectrograms, kGroupCount };
    // Slots in property order.
    enum Slot {
        sLevel1, sLevel2, sMeter1, sMeter2, sOscope1, sOscope2, sLight1, sLight2,
        sSpectrum1, sSpectrum2, sSpectrum3, sSpectrum4, sSpectrogram1, sSpectrogram2, kSlotCount
    };
    static constexpr int kMaxSpeed = 5000;
    // The least time between two pump cycles: one refresh of a 60 Hz screen.
    static constexpr std::int64_t kFrameUs = 16667;
    // The process's pump pace, kFrameUs unless a program that shows its
    // displays less often sets its own (any thread): each cycle still feeds
    // every slice due since the last one, in order, so the displays compute
    // the same, only with fewer wake-ups. A pace longer than the work ring's
    // kBlocks buffers take to play would drop slices: it is capped at 200 ms.
    static void SetFramePaceUs(std::int64_t pace_us);
    static std::int64_t FramePaceUs();

    // Main thread: whether a pump cycle is feeding displays right now, and a
    // call made at the end of every cycle that fed any (views that changed in
    // the cycle repaint there, together).
    static bool Feeding();
    static void SetCycleEndHook(std::function<void()> hook);
    // Main thread: the microsecond time the pump's next cycle is set for, or
    // -1 when none is (no display fed, nothing due). Already set for the
    // next cycle when the cycle-end hook runs, so the hook can plan on it.
    static std::int64_t NextCycleUs();

    explicit TMMConnector(QObject* parent = nullptr);
    ~TMMConnector() override;

    // Copies played data for the displays (any thread).
    void DataIn(const char* data, int count_bytes);
    // One feeding pass (main thread): one slice per group that has one due.
    void Trigger();
    // A display asks for one feeding pass (when AutoTrigger is off); any thread.
    void RequestTrigger();

    bool IsRunning() const { return running_; }
    bool IsActive() const { return active_; }
    bool IsPausedState() const { return paused_; }
    int RefreshCount(Group group) const;
    const WaveFormat* DisplayFormat() const;

    // Properties.
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);
    bool AutoConvert() const { return auto_convert_; }
    void SetAutoConvert(bool value) { auto_convert_ = value; }
    bool AutoTrigger() const { return auto_trigger_; }
    void SetAutoTrigger(bool value);
    bool Synchronize() const { return synchronize_; }
    void SetSynchronize(bool value) { synchronize_ = value; }
    int Speed() const { return speed_; }
    void SetSpeed(int speed);
    TMMTriggerMode TriggerMode() const { return trigger_mode_; }
    void SetTriggerMode(TMMTriggerMode mode) { trigger_mode_ = mode; }
    int TriggerLevel() const { return trigger_level_; }
    void SetTriggerLevel(int level) { trigger_level_ = level; }
    bool RefreshOnStop() const { return refresh_on_stop_; }
    void SetRefreshOnStop(bool value) { refresh_on_stop_ = value; }
    bool RealTime() const { return real_time_; }
    void SetRealTime(bool value);
    // Shared by all connectors of the process.
    bool EnterIdle() const;
    void SetEnterIdle(bool value);

    TMMDisplay* Display(Slot slot) const { return slots_[slot]; }
    void SetDisplay(Slot slot, TMMDisplay* display);
    TMMDisplay* Level1() const { return Display(sLevel1); }
    TMMDisplay* Level2() const { return Display(sLevel2); }
    TMMDisplay* Meter1() const { return Display(sMeter1); }
    TMMDisplay* Meter2() const { return Display(sMeter2); }
    TMMDisplay* Oscope1() const { return Display(sOscope1); }
    TMMDisplay* Oscope2() const { return Display(sOscope2); }
    TMMDisplay* Light1() const { return Display(sLight1); }
    TMMDisplay* Light2() const { return Display(sLight2); }
    TMMDisplay* Spectrum1() const { return Display(sSpectrum1); }
    TMMDisplay* Spectrum2() const { return Display(sSpectrum2); }
    TMMDisplay* Spectrum3() const { return Display(sSpectrum3); }
    TMMDisplay* Spectrum4() const { return Display(sSpectrum4); }
    TMMDisplay* Spectrogram1() const { return Display(sSpectrogram1); }
    TMMDisplay* Spectrogram2() const { return Display(sSpectrogram2); }
    void SetLevel1(TMMDisplay* d) { SetDisplay(sLevel1, d); }
    void SetLevel2(TMMDisplay* d) { SetDisplay(sLevel2, d); }
    void SetMeter1(TMMDisplay* d) { SetDisplay(sMeter1, d); }
    void SetMeter2(TMMDisplay* d) { SetDisplay(sMeter2, d); }
    void SetOscope1(TMMDisplay* d) { SetDisplay(sOscope1, d); }
    void SetOscope2(TMMDisplay* d) { SetDisplay(sOscope2, d); }
    void SetLight1(TMMDisplay* d) { SetDisplay(sLight1, d); }
    void SetLight2(TMMDisplay* d) { SetDisplay(sLight2, d); }
    void SetSpectrum1(TMMDisplay* d) { SetDisplay(sSpectrum1, d); }
    void SetSpectrum2(TMMDisplay* d) { SetDisplay(sSpectrum2, d); }
    void SetSpectrum3(TMMDisplay* d) { SetDisplay(sSpectrum3, d); }
    void SetSpectrum4(TMMDisplay* d) { SetDisplay(sSpectrum4, d); }
    void SetSpectrogram1(TMMDisplay* d) { SetDisplay(sSpectrogram1, d); }
    void SetSpectrogram2(TMMDisplay* d) { SetDisplay(sSpectrogram2, d); }

    std::function<void(QObject* sender)> OnTrigger;

    // Chain overrides.
    void SetPWaveFormat(const WaveFormat* format) override;
    void Started() override;
    void Stopped() override;
    void Paused() override;
    void Restarted() override;
    void Reset() override;
    void BufferReady(ExtendedWaveHeader* lpWaveHdr) override;
    void BufferLoad(ExtendedWaveHeader* lpWaveHdr, bool& MoreBuffers) override;

    // The microsecond time at which the next slice of any group is due, or -1
    // when nothing waits (main thread; the pump sleeps until then).
    std::int64_t NextDueUs();

private:
    friend class ConnectorPump;

    // A feeding pass; with all_due (the pump's cycles) every slice due since
    // the last one, the previous buffer's rest first.
    void Feed(bool all_due);
    void InitDisplays();
    void Deactivate();
    void PostStart();
    void HandleStartMessage();
    void ResetDisplays();
    void FillSilence(); // lock held
    void RemovePauseTimer();
    void PauseTick();
    // Applies a pause tick that came since the last pass (lock held).
    void TakePauseTick();
    // Whether a display of the group is attached and wants data (main thread).
    bool GroupConnected(int group) const;
    void UpdateGroupsConnected();
    bool AnyGroupConnected() const;
    // The bytes one slice of the group takes: the largest DataSize of its displays (main thread).
    int GroupStep(int group) const;

    // Properties.
    std::atomic<bool> enabled_{true};
    bool auto_convert_ = true;
    std::atomic<bool> auto_trigger_{true};
    std::atomic<bool> synchronize_{true};
    int speed_ = kMaxSpeed;
    TMMTriggerMode trigger_mode_ = tmNone;
    int trigger_level_ = 0;
    bool refresh_on_stop_ = true;
    std::atomic<bool> real_time_{true};
    std::array<QPointer<TMMDisplay>, kSlotCount> slots_;
    std::array<QMetaObject::Connection, kSlotCount> slot_watch_;
    // Groups read on the audio thread: which have a display connected that wants data.
    std::array<std::atomic<bool>, kGroupCount> group_connected_{};

    // Run-time state.
    std::atomic<bool> running_{false};
    std::atomic<bool> active_{false};
    std::atomic<bool> paused_{false};
    std::atomic<bool> native_{false};
    std::unique_ptr<std::uint8_t[]> display_format_; // main thread
    std::uint8_t silence_ = 0;
    std::atomic<int> pending_requests_{0};
    platform::TimerService::EntryId pause_timer_ = 0;
    // The time of a pause tick not yet applied (-1: none); set on the timer thread.
    std::atomic<std::int64_t> pause_tick_us_{-1};

    // Guarded by mutex_.
    mutable std::mutex mutex_;
    // The work buffer: a ring of kBlocks buffers, the newest (the one playing
    // now) last; the older ones keep what a group has not shown yet.
    static constexpr int kBlocks = 8;
    char* Block(std::int64_t seq) const { return work_.get() + (seq % kBlocks) * std::max(1, work_size_); }
    int& BlockValid(std::int64_t seq) { return block_valid_[seq % kBlocks]; }
    std::unique_ptr<char[]> work_;
    std::array<int, kBlocks> block_valid_{};
    std::int64_t head_ = 0; // the newest block's number
    int work_size_ = 0;
    std::uint32_t work_avg_bytes_per_sec_ = 0;
    std::int64_t stamp_us_ = 0;
    std::array<bool, kGroupCount> refresh_{};
    // Where each group reads: a block's number and an offset in it.
    std::array<std::int64_t, kGroupCount> read_block_{};
    std::array<int, kGroupCount> read_offset_{};
    std::array<int, kGroupCount> refresh_count_{};
};

} // namespace pelu
