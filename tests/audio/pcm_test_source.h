// Test chain parts: a PCM source whose frames carry their own index (left =
// low 16 bits, right = high 16 bits of the frame number), so whatever reaches a
// device or a display can be located in the stream, and helpers to run the main
// loop until something happened.
#pragma once

#include "audio/audio_file.h"
#include "audio/dsp_object.h"
#include "platform/mainthread.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace pelu::test {

inline std::int64_t frame_index_at(const char* frame)
{
    std::uint16_t low = 0, high = 0;
    std::memcpy(&low, frame, 2);
    std::memcpy(&high, frame + 2, 2);
    return std::int64_t(high) << 16 | low;
}

class IndexedPcmSource : public TMMDSPComponent {
public:
    explicit IndexedPcmSource(std::int64_t total_frames, std::uint32_t rate = 44100)
        : total_frames_(total_frames)
    {
        accepts_output_ = true; // a source: linked through its output only
        const WaveFormat format = make_pcm_format(rate, 16, 2);
        SetPWaveFormat(&format);
    }

    void Seek(std::int64_t frame)
    {
        std::lock_guard lock(mutex_);
        position_ = std::clamp<std::int64_t>(frame, 0, total_frames_);
    }
    std::int64_t position() const
    {
        std::lock_guard lock(mutex_);
        return position_;
    }
    int loads() const { return loads_; }

    // Runs inside every load, on the loading thread (tests block here).
    std::function<void()> on_load;
    // Says "more" while a load fills the whole buffer, as a reader that cannot
    // see the end coming does: a stream ending on a buffer boundary then ends
    // with an empty load.
    bool more_while_full = false;
    // After this many loads, every load is empty but still promises more (-1: never).
    int empty_after_loads = -1;

    void BufferLoad(ExtendedWaveHeader* h, bool& more) override
    {
        if (on_load)
            on_load();
        std::lock_guard lock(mutex_);
        const int count = ++loads_;
        if (empty_after_loads >= 0 && count > empty_after_loads) {
            h->bytes_recorded = 0;
            more = true;
            return;
        }
        const std::int64_t capacity = h->buffer_length / 4;
        const std::int64_t frames = std::min(capacity, total_frames_ - position_);
        for (std::int64_t i = 0; i < frames; ++i) {
            const std::int64_t index = position_ + i;
            const std::uint16_t low = static_cast<std::uint16_t>(index & 0xFFFF);
            const std::uint16_t high = static_cast<std::uint16_t>((index >> 16) & 0xFFFF);
            std::memcpy(h->data + i * 4, &low, 2);
            std::memcpy(h->data + i * 4 + 2, &high, 2);
        }
        position_ += frames;
        h->bytes_recorded = static_cast<std::uint32_t>(frames * 4);
        more = more_while_full ? frames == capacity : position_ < total_frames_;
    }

private:
    mutable std::mutex mutex_;
    const std::int64_t total_frames_;
    std::int64_t position_ = 0;
    std::atomic<int> loads_{0};
};

// A load the test holds inside the callback thread: once armed, the next
// pass() on a thread other than the one that armed it waits there until
// release(). Armed before Start, it lets Start's own loads (on the arming
// thread) through and holds the first buffer handler's load, however fast the
// device plays: armed after Start, a fast device may have played the whole
// title before the first handler looks.
struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool armed = false, entered = false, released = false;
    std::thread::id armed_by;
    void arm()
    {
        std::lock_guard lock(mutex);
        armed = true;
        armed_by = std::this_thread::get_id();
    }
    void pass()
    {
        std::unique_lock lock(mutex);
        if (!armed || released || std::this_thread::get_id() == armed_by)
            return;
        entered = true;
        cv.notify_all();
        cv.wait(lock, [&] { return released; });
    }
    void wait_entered()
    {
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return entered; });
    }
    void release()
    {
        std::lock_guard lock(mutex);
        released = true;
        cv.notify_all();
    }
};

// Turns the main loop until `done` holds or `timeout_ms` passed; returns `done()`.
inline bool run_until(const std::function<bool()>& done, int timeout_ms = 10000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        platform::process_pending_events();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// Lets the main loop turn for a while.
inline void pump_for(int ms)
{
    run_until([] { return false; }, ms);
}

// The PCM a file yields through the file source, pulled at the end of a chain
// the way the wave output pulls it (8160-byte buffers).
inline std::vector<char> decode_all(const QString& path)
{
    struct PullSink : TMMCustomSoundComponent {
        PullSink() { accepts_input_ = true; }
    };
    TMMAudioFile source;
    PullSink sink;
    source.SetOutput(&sink);
    source.SetFileName(path);
    sink.SetBufferSize(8160);
    sink.PropagateOpen();
    sink.PropagateStart();
    std::vector<char> pcm;
    WaveBuffer buffer(8160);
    bool more = true;
    while (more) {
        buffer.prepare_for_load();
        more = false;
        sink.BufferLoad(buffer.header(), more);
        if (buffer.header()->bytes_recorded == 0)
            break;
        pcm.insert(pcm.end(), buffer.data(), buffer.data() + buffer.header()->bytes_recorded);
    }
    sink.PropagateStop();
    sink.PropagateClose();
    return pcm;
}

} // namespace pelu::test
