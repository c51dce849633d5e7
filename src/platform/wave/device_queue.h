// What the simulated and the ALSA backends share (internal to the wave layer):
// the queue of buffers a client wrote and has not got back, how that queue
// goes back (reset, close), and the one way an open device ends: its thread is
// told to quit and stopped, every buffer still queued goes back with
// wave_done, then wave_closed.
//
// Thread: any. `mutex_` guards the queue and the flags; a client hears
// nothing while it is held, so it may call the device again from a notice.
#pragma once

#include "platform/wave/wave_device.h"

#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>

namespace pelu::platform::wave {

class DeviceQueue {
protected:
    struct Block {
        const char* data;
        std::uint32_t length_bytes;
        void* tag;
        std::uint64_t frames;
        std::uint64_t start_frame = 0; // since open or reset (ALSA)
        std::uint64_t written = 0;     // frames of it handed to ALSA
    };

    explicit DeviceQueue(WaveOutClient* client) : client_(client) {}

    // The whole queue, taken off the device (mutex held).
    std::deque<Block> take_queue()
    {
        std::deque<Block> taken;
        taken.swap(blocks_);
        return taken;
    }

    // Gives buffers back to the client, one wave_done each (mutex not held).
    void give_back(const std::deque<Block>& blocks) const
    {
        for (const Block& block : blocks)
            client_->wave_done(block.tag);
    }

    // Ends the device, once. `stop_thread(lock)` runs with the mutex held and
    // quit_ set: it wakes the backend's thread and waits until that thread has
    // left its loop (or may be left behind). `release()` runs without the
    // mutex, the queue taken: it joins the thread and lets go of the hardware.
    // With `notify` the client gets the queue back and wave_closed; a device
    // destroyed without close() tells its client nothing.
    template <typename StopThread, typename Release>
    void shut_down(bool notify, StopThread&& stop_thread, Release&& release)
    {
        std::deque<Block> returned;
        {
            std::unique_lock lock(mutex_);
            if (closed_)
                return;
            closed_ = true;
            quit_ = true;
            std::forward<StopThread>(stop_thread)(lock);
            returned = take_queue();
        }
        std::forward<Release>(release)();
        if (!notify)
            return;
        give_back(returned);
        client_->wave_closed();
    }

    WaveOutClient* const client_;
    std::mutex mutex_;
    std::deque<Block> blocks_;
    bool quit_ = false;
    bool closed_ = false;
};

} // namespace pelu::platform::wave
