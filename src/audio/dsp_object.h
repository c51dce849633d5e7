// The component chain: the persistent-object base with its update bracket, the
// chain component (links, format propagation, buffer size, buffer protocol), the
// sound component's propagation walks, the buffer header passed along the chain,
// the worker-thread base with its run-in-main-thread service, and the observer
// pair.
//
// Thread: links, formats, BufferSize and the open/start/pause/restart/reset/
// stop/close notifications are main-thread only and unlocked. BufferLoad and
// BufferReady run on the wave output's thread; components whose state is shared
// with that thread guard it with their own lock.
#pragma once

#include "platform/error.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace pelu {

// ---------------------------------------------------------------------------
// Wave format: the platform's WAVEFORMATEX layout, 18 bytes, packed.
#pragma pack(push, 1)
struct WaveFormat {
    std::uint16_t format_tag = 0;
    std::uint16_t channels = 0;
    std::uint32_t samples_per_sec = 0;
    std::uint32_t avg_bytes_per_sec = 0;
    std::uint16_t block_align = 0;
    std::uint16_t bits_per_sample = 0;
    std::uint16_t extra_size = 0;
};
#pragma pack(pop)
static_assert(sizeof(WaveFormat) == 18, "WaveFormat must keep the WAVEFORMATEX layout");

constexpr std::uint16_t kWaveFormatPcm = 1;

// A PCM format record (tag 1) for the given layout.
WaveFormat make_pcm_format(std::uint32_t samples_per_sec, std::uint16_t bits_per_sample,
                           std::uint16_t channels);

// A heap copy of a format: 18 bytes for PCM (its extra size forced to 0), 18 plus
// the extra size otherwise. Returns null for a null format.
std::unique_ptr<std::uint8_t[]> copy_wave_format(const WaveFormat* format);

// Valid PCM as the equalizer and the analysers test it: tag 1, 8 or 16 bits,
// 1 or 2 channels, 4000 to 100000 samples per second.
bool is_valid_pcm_format(const WaveFormat* format);

// Conversions; all integer, multiply before divide, 64-bit. A format with a zero
// rate or zero average bytes per second converts everything to 0.
std::int64_t bytes_to_samples(const WaveFormat& format, std::int64_t bytes);
std::int64_t bytes_to_ms(const WaveFormat& format, std::int64_t bytes);
std::int64_t samples_to_bytes(const WaveFormat& format, std::int64_t samples); // whole blocks, rounded up
std::int64_t ms_to_bytes(const WaveFormat& format, std::int64_t ms);           // whole blocks, rounded up
std::int64_t samples_to_ms(const WaveFormat& format, std::int64_t samples);
std::int64_t ms_to_samples(const WaveFormat& format, std::int64_t ms);

// ---------------------------------------------------------------------------
// The header that begins every buffer passed along the chain: the platform's
// wave header followed by seven 32-bit words. (On a 64-bit system the pointer
// fields are 8 bytes, so the header is larger than 60 bytes; no file or peer
// depends on its size.)
constexpr std::uint32_t kWhdrDone = 1;
constexpr std::uint32_t kWhdrPrepared = 2;
constexpr std::int32_t kTrue32 = -1; // a 32-bit boolean's "true": all bits set

struct ExtendedWaveHeader {
    // platform wave header
    char* data = nullptr;
    std::uint32_t buffer_length = 0;  // capacity offered to the loader
    std::uint32_t bytes_recorded = 0; // bytes the loader filled
    std::uintptr_t user = 0;
    std::uint32_t flags = 0;
    std::uint32_t loops = 0;
    ExtendedWaveHeader* next = nullptr;
    std::uintptr_t reserved = 0;
    // extension
    std::uint32_t unused = 0;
    std::uint32_t saved_length = 0;          // copy of bytes recorded, kept across the device's write
    ExtendedWaveHeader* next_header = nullptr; // the header that plays after this one
    std::int32_t loop_flag = 0;              // kTrue32 when looping
    std::int32_t loop_count = 0;
    std::int32_t loops_remaining = 0;
    std::int32_t looped_marker = 0;          // kTrue32 when a source wrapped to its start
};

// One block holding a header and its data area right behind it.
class WaveBuffer {
public:
    explicit WaveBuffer(std::uint32_t data_size_bytes);
    ExtendedWaveHeader* header() { return reinterpret_cast<ExtendedWaveHeader*>(block_.get()); }
    char* data() { return header()->data; }
    std::uint32_t capacity_bytes() const { return capacity_; }
    // Offers the whole data area to a loader: length = capacity, recorded = 0.
    void prepare_for_load();

private:
    std::unique_ptr<std::uint8_t[]> block_;
    std::uint32_t capacity_;
};

// ---------------------------------------------------------------------------
// A persistent object: an update bracket and a change notification.
class TMMObject : public QObject {
    Q_OBJECT
public:
    explicit TMMObject(QObject* parent = nullptr) : QObject(parent) {}

    void BeginUpdate();
    void EndUpdate();
    int UpdateCount() const { return update_count_; }
    // Fires OnChange unless an update is open.
    void Changed();

    std::function<void(QObject* sender)> OnChange;

protected:
    virtual void BeginUpdating() {} // the first BeginUpdate
    virtual void EndUpdating() {}   // the last EndUpdate
    virtual void DoChanged();

private:
    int update_count_ = 0;
};

class TMMDSPComponent;
using TMMBufferEvent = std::function<void(TMMDSPComponent* sender, ExtendedWaveHeader* lpWaveHdr)>;
using TMMBufferLoadEvent =
    std::function<void(TMMDSPComponent* sender, ExtendedWaveHeader* lpWaveHdr, bool& MoreBuffers)>;

// ---------------------------------------------------------------------------
// Every chain component. A component publishes its Input and/or Output by
// declaring a Q_PROPERTY of that name; the back-link names refer to those.
class TMMDSPComponent : public QObject {
    Q_OBJECT
public:
    explicit TMMDSPComponent(QObject* parent = nullptr);
    ~TMMDSPComponent() override;

    TMMDSPComponent* Input() const { return input_; }
    TMMDSPComponent* Output() const { return output_; }
    void SetInput(TMMDSPComponent* value);
    void SetOutput(TMMDSPComponent* value);
    virtual bool CanConnectInput(TMMDSPComponent* candidate) const;
    virtual bool CanConnectOutput(TMMDSPComponent* candidate) const;
    const QString& InputBackLink() const { return input_back_link_; }
    const QString& OutputBackLink() const { return output_back_link_; }

    // Format propagation; GetPWaveFormat is null when there is no format.
    virtual void SetPWaveFormat(const WaveFormat* format);
    const WaveFormat* GetPWaveFormat() const;
    virtual void UpdateFormat();

    // Stored size while closed, effective size while opened.
    std::int32_t BufferSize() const { return opened_ ? effective_buffer_size_ : buffer_size_; }
    virtual void SetBufferSize(std::int32_t bytes);
    std::int32_t StoredBufferSize() const { return buffer_size_; }

    bool IsOpened() const { return opened_; }
    bool IsStarted() const { return started_; }

    // Device notifications, reached through the sound component's propagation.
    virtual void Opened();
    virtual void Closed();
    virtual void Started();
    virtual void Stopped();
    virtual void Paused() {}
    virtual void Restarted() {}
    virtual void Reset() {}

    // Buffer protocol (wave output's thread).
    virtual void BufferLoad(ExtendedWaveHeader* lpWaveHdr, bool& MoreBuffers);
    virtual void BufferReady(ExtendedWaveHeader* lpWaveHdr);

    // After the owner has streamed its properties: formats set beforehand travel down.
    virtual void Loaded();
    // While loading (or being destroyed) formats do not travel.
    void SetLoading(bool loading) { loading_ = loading; }
    bool IsLoading() const { return loading_; }
    bool IsDestroying() const { return destroying_; }

    virtual bool IsSoundComponent() const { return false; }
    bool PublishesInput() const;
    bool PublishesOutput() const;

    TMMBufferEvent OnBufferReady;
    TMMBufferLoadEvent OnBufferLoad;

    // Process-wide registry of live components (main thread).
    static const std::vector<TMMDSPComponent*>& Registry();

protected:
    // Marks that allow linking in a direction this component does not publish.
    bool accepts_output_ = false;
    bool accepts_input_ = false;

    // Takes a copy of `format` as this component's own, without stopping the
    // component or passing the format on (SetPWaveFormat does both).
    void AdoptPWaveFormat(const WaveFormat* format) { format_ = copy_wave_format(format); }

private:
    void BroadcastInputGoing();
    void BroadcastOutputTaken(TMMDSPComponent* source);
    void BroadcastOutputGoing();
    void BroadcastInputTaken(TMMDSPComponent* sink);
    bool IsDownstreamOf(const TMMDSPComponent* candidate) const; // candidate is this or below
    bool IsUpstreamOf(const TMMDSPComponent* candidate) const;   // candidate is this or above

    TMMDSPComponent* input_ = nullptr;
    TMMDSPComponent* output_ = nullptr;
    QString input_back_link_;
    QString output_back_link_;
    std::unique_ptr<std::uint8_t[]> format_;
    std::int32_t buffer_size_ = 2048;
    std::int32_t effective_buffer_size_ = 2048;
    bool opened_ = false;
    bool started_ = false;
    bool loading_ = false;
    bool destroying_ = false;
};

// ---------------------------------------------------------------------------
// A chain component that drives a sound device; its propagation walks move the
// whole chain through the device's states.
class TMMCustomSoundComponent : public TMMDSPComponent {
    Q_OBJECT
public:
    explicit TMMCustomSoundComponent(QObject* parent = nullptr) : TMMDSPComponent(parent) {}
    bool IsSoundComponent() const override { return true; }
    bool FedByDevice() const { return fed_by_device_; }

    void PropagateOpen();
    void PropagateStart();
    void PropagatePause();
    void PropagateRestart();
    void PropagateReset();
    void PropagateStop();
    void PropagateClose();

private:
    enum class Step { Open, Start, Pause, Restart, Reset, Stop, Close };
    TMMDSPComponent* WalkStart();
    void Deliver(TMMDSPComponent* component, Step step);
    void RunOwnBase(Step step);
    void PropagateForward(Step step);
    void PropagateBackward(Step step);

    bool fed_by_device_ = false;
};

// ---------------------------------------------------------------------------
// Worker threads that chain components own. Each registers itself while it
// lives; RunInMainThread marshals a call from such a thread to the main thread.
class TMMDSPThread {
public:
    TMMDSPThread();
    virtual ~TMMDSPThread();
    TMMDSPThread(const TMMDSPThread&) = delete;
    TMMDSPThread& operator=(const TMMDSPThread&) = delete;

    void Start();       // runs Execute() on a new thread
    void WaitFor();     // joins it
    bool Running() const { return thread_.joinable(); }
    bool IsCurrentThread() const;

    // Runs `procedure` in the main thread: marshalled and waited for when the
    // caller is a registered worker thread, run directly otherwise.
    static void RunInMainThread(const std::function<void()>& procedure);
    static std::size_t ThreadCount();

protected:
    virtual void Execute() = 0;

private:
    std::thread thread_;
    // Written by the new thread itself under the thread list's lock, so that a
    // thread that asks before Start() has stored thread_ still finds itself.
    std::thread::id id_;
};

// ---------------------------------------------------------------------------
// Observer pair.
class TMMObservable;

class TMMObserver {
public:
    TMMObserver() = default;
    ~TMMObserver();
    TMMObserver(const TMMObserver&) = delete;
    TMMObserver& operator=(const TMMObserver&) = delete;

    std::function<void(TMMObserver* sender, void* data)> OnChange;
    void Lock() { ++lock_count_; }
    void Unlock() { if (lock_count_ > 0) --lock_count_; }
    bool Locked() const { return lock_count_ != 0; }
    TMMObservable* Observable() const { return observable_; }

private:
    friend class TMMObservable;
    TMMObservable* observable_ = nullptr;
    int lock_count_ = 0;
};

class TMMObservable {
public:
    TMMObservable() = default;
    ~TMMObservable();
    TMMObservable(const TMMObservable&) = delete;
    TMMObservable& operator=(const TMMObservable&) = delete;

    void AddObserver(TMMObserver* observer);
    void RemoveObserver(TMMObserver* observer);
    // Calls every observer, last added first, unless notifications are suppressed.
    void NotifyObservers(void* data = nullptr);
    void BeginSuppress() { ++suppress_count_; }
    void EndSuppress() { if (suppress_count_ > 0) --suppress_count_; }
    std::size_t ObserverCount() const { return observers_.size(); }

private:
    std::vector<TMMObserver*> observers_;
    int suppress_count_ = 0;
};

} // namespace pelu
