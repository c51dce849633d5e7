// The wave output: the sound component at the end of the chain that owns the
// platform's wave-output device, keeps a ring of buffers queued there, refills
// each returned buffer from its Input, hands every played buffer to its Output
// and reports the play position. Each Start makes one play (audio/wave_play.h)
// that owns that play's buffers, counters and end; the output itself is only
// closed, open or closing.
//
// Thread: every public operation (Open, Start, Pause, Restart, Stop, Close,
// Position, property writes) and OnOpen/OnStart/OnPause/OnRestart/OnStop/
// OnClose/OnError run on the main thread. In cmThread mode the device's own
// thread is the callback thread: it refills each buffer the moment the device
// returns it (one hand-over per buffer); in cmWindow mode the returned buffer
// is posted to the main thread, which refills it. BufferLoad through the chain,
// BufferReady to the Output, OnBufferFilled and OnLooping run there, never
// under the device lock, which guards the play's phase and counters and which
// play is current.
//
// Handlers may call any operation again from any event: an OnStop handler that
// starts the next title (or the same one) gets a play on a properly opened
// device whichever way the old play ended (its end, Stop, a stop a buffer
// handler finished later, Close, a format change, a failure of the callback
// thread or of the device), or the output's error. Start while a deferred stop
// is still completing waits for it (its OnStop fires first), and Start or Open
// from a handler of a close in progress finishes that close first.
#pragma once

#include "audio/dsp_object.h"
#include "audio/wave_allocator.h"
#include "audio/wave_play.h"
#include "platform/wave/wave_device.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace pelu {

PELU_DECLARE_ERROR(EMMWaveOutError, Error)

class TMMWaveOut : public TMMCustomSoundComponent, private platform::wave::WaveOutClient {
    Q_OBJECT
    Q_PROPERTY(pelu::TMMDSPComponent* Input READ Input WRITE SetInput)
    Q_PROPERTY(pelu::TMMDSPComponent* Output READ Output WRITE SetOutput)
    Q_PROPERTY(int BufferSize READ BufferSize WRITE SetBufferSize)
    Q_PROPERTY(int NumBuffers READ NumBuffers WRITE SetNumBuffers)
    Q_PROPERTY(int DeviceID READ DeviceID WRITE SetDeviceID)
    Q_PROPERTY(QString ProductName READ ProductName)
    Q_PROPERTY(TMMTimeFormat TimeFormat READ TimeFormat WRITE SetTimeFormat)
    Q_PROPERTY(TMMCallBackMode CallBackMode READ CallBackMode WRITE SetCallBackMode)
    Q_PROPERTY(bool Looping READ Looping WRITE SetLooping)
    Q_PROPERTY(int LoopCount READ LoopCount WRITE SetLoopCount)
    Q_PROPERTY(bool ShowHourGlass READ ShowHourGlass WRITE SetShowHourGlass)
    Q_PROPERTY(bool Mapped READ Mapped WRITE SetMapped)
    Q_PROPERTY(TMMThreadPriority Priority READ Priority WRITE SetPriority)

public:
    enum TMMTimeFormat { tfMillisecond, tfByte, tfSample };
    Q_ENUM(TMMTimeFormat)
    enum TMMCallBackMode { cmWindow, cmCallback, cmThread };
    Q_ENUM(TMMCallBackMode)
    enum TMMThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest };
    Q_ENUM(TMMThreadPriority)

    // Device state bits; 0 is closed. Paused is only ever set with open.
    enum : int { dsOpen = 1, dsPlaying = 2, dsPaused = 4 };

    static constexpr int kMaxBuffers = WavePlay::kMaxBuffers;
    static constexpr int kWaveMapper = -1;
    static constexpr int kInvalidDevice = -2;

    explicit TMMWaveOut(QObject* parent = nullptr);
    ~TMMWaveOut() override;

    // Operations (main thread).
    void Open();
    void Start();
    void Pause();
    void Restart();
    void Stop();
    void Close();
    // The play position in TimeFormat units; 0 when not open or a close is pending.
    std::int64_t Position();

    int State() const;
    bool IsOpen() const { return life_ != OutputLife::Closed; }
    bool IsPlaying() const { return play_ && play_->Active(); }
    bool IsPaused() const { return paused_; }
    int NumDevs() const { return num_devs_; }
    int BuffersInUse() const { return play_ ? play_->buffers_in_use : 0; }
    TMMAllocator& Allocator() { return allocator_; }

    // Properties.
    void SetBufferSize(std::int32_t bytes) override;
    int NumBuffers() const { return num_buffers_; }
    void SetNumBuffers(int count);
    int DeviceID() const { return device_id_; }
    void SetDeviceID(int id);
    QString ProductName() const;
    TMMTimeFormat TimeFormat() const { return time_format_; }
    void SetTimeFormat(TMMTimeFormat format) { time_format_ = format; }
    TMMCallBackMode CallBackMode() const { return callback_mode_; }
    void SetCallBackMode(TMMCallBackMode mode);
    bool Looping() const { return looping_; }
    void SetLooping(bool looping) { looping_ = looping; }
    int LoopCount() const { return loop_count_; }
    void SetLoopCount(int count) { loop_count_ = static_cast<std::uint16_t>(count); }
    bool ShowHourGlass() const { return show_hour_glass_; }
    void SetShowHourGlass(bool show) { show_hour_glass_ = show; }
    // Linux has no wave mapper to route through: the flag is kept (stored
    // settings carry it) and opening is the same either way.
    bool Mapped() const { return mapped_; }
    void SetMapped(bool mapped) { mapped_ = mapped; }
    TMMThreadPriority Priority() const { return priority_; }
    void SetPriority(TMMThreadPriority priority) { priority_ = priority; }

    // Events (fired only when assigned).
    std::function<void(QObject* sender)> OnError, OnOpen, OnStart, OnPause, OnRestart, OnStop,
        OnClose, OnLooping;
    TMMBufferEvent OnBufferFilled;

    // The text of the last error raised in the callback thread.
    QString LastThreadError() const;

    // Injected user interface (this layer has no widgets): the message box shown
    // when cmCallback is refused, the wait cursor around long buffer fills, and
    // the report of an error that ended the callback thread. Defaults print to
    // stderr / do nothing.
    static std::function<void(const QString& caption, const QString& text)> ShowMessage;
    static std::function<void(bool busy)> SetBusyCursor;
    static std::function<void(const QString& text)> ReportThreadError;

    // Chain overrides.
    void SetPWaveFormat(const WaveFormat* format) override;
    void BufferLoad(ExtendedWaveHeader* lpWaveHdr, bool& MoreBuffers) override;
    void BufferReady(ExtendedWaveHeader* lpWaveHdr) override;
    void Opened() override;
    void Closed() override;
    void Started() override;
    void Stopped() override;
    void Paused() override;
    void Restarted() override;

private:
    // Device notifications (device thread).
    void wave_opened() override;
    void wave_done(void* tag) override;
    void wave_closed() override;
    void wave_failed(int code) override;

    // Buffer-done handler (callback thread, or main thread in cmWindow mode).
    void HandleBufferDone(ExtendedWaveHeader* header, const std::shared_ptr<WavePlay>& play);
    void OnHandlerFailed(const QString& text);
    void PostEndOfData(const std::shared_ptr<WavePlay>& play);

    [[noreturn]] void Fail(const QString& text);
    void CheckClosedForChange();
    bool CanPlay(const WaveFormat* format);
    int DeviceToOpen() const;
    std::int32_t LoadHeader(WavePlay& play, ExtendedWaveHeader* header);
    void WriteHeader(WavePlay& play, ExtendedWaveHeader* header);
    ExtendedWaveHeader* HeaderAt(WavePlay& play, int index);
    // Stop's work on the current play (or on a pause without one): no more
    // writes, the device reset, then the stop completes here or, when a
    // handler is running, through the end-of-data message it posts.
    void StopPlay();
    void CompleteStop();
    bool StopPending() const { return play_ && play_->Phase() == PlayPhase::StopRequested; }
    bool HandlerRunning() const;
    // Completes a stop a buffer handler was finishing, once that handler has
    // returned; false when it does not return in time or is our own caller.
    bool FinishDeferredStop();
    // Before a new open or play: a deferred stop completes, and a close in
    // progress or a device whose thread or hardware failed is closed.
    // `cannot` is the error when a deferred stop does not complete in time.
    void PrepareForNewPlay(const QString& cannot);
    // The close proper, on a stopped device; the device is no longer ours
    // (device_ is empty) while it closes.
    void FinishClose();
    bool DeviceClosing() const { return life_ == OutputLife::Closing && !device_; }
    // Close() that also completes a stop a handler is finishing (failure paths).
    void CloseCompletely();
    std::uint64_t DevicePositionSamples();
    std::uint64_t CheckedDevicePosition(WavePlay* play);
    bool WaitFor(const std::function<bool()>& condition, int timeout_ms);

    // Properties.
    std::int32_t num_buffers_ = 10;
    int device_id_ = 0;
    TMMTimeFormat time_format_ = tfByte;
    TMMCallBackMode callback_mode_ = cmWindow;
    bool looping_ = false;
    std::uint16_t loop_count_ = 0;
    bool show_hour_glass_ = true;
    bool mapped_ = false;
    TMMThreadPriority priority_ = tpHigher;

    // Device (main thread).
    int num_devs_; // read again when a device is chosen: devices come and go
    std::unique_ptr<platform::wave::WaveOutDevice> device_;
    int last_result_ = 0;
    OutputLife life_ = OutputLife::Closed;
    bool paused_ = false; // only ever set while open
    bool destroying_ = false;
    // One per Open: a failure report names the device it came from.
    std::atomic<std::uint64_t> open_serial_{0};
    // The open device or its handler failed: one report, then it is closed.
    std::atomic<bool> broken_{false};
    TMMAllocator allocator_;

    // Guarded by device_lock_ (and waited on with device_cv_). The main thread
    // replaces play_ under the lock and reads it without.
    mutable std::mutex device_lock_;
    std::condition_variable device_cv_;
    std::shared_ptr<WavePlay> play_; // the current play, or the last one
    bool device_opened_ = false;
    bool device_closed_ = false;
    QString last_thread_error_;
};

} // namespace pelu
