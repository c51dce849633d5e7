// The ALSA backend's shelf for closed PCMs (see PcmShelf). Internal to the
// ALSA backend.
//
// Thread: any; one lock. Only its reaper thread closes PCMs.
#pragma once

#include "platform/wave/wave_device.h"

#include <alsa/asoundlib.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace pelu::platform::wave {

// Closes a PCM; a dead sound server's PCM may take its time.
void close_pcm(snd_pcm_t* pcm);

// Where a closed device's PCM waits a moment before it is really closed. A
// player closes its device between two titles and opens it again with the same
// format a few milliseconds later; a sound server takes a while to open a
// stream (about a tenth of a second for PipeWire), and a stream that is closed
// cuts the last frames still on their way to the speakers. A PCM put here goes
// on playing what it holds, and the next open of the same device and format
// takes it over, so the next title follows without a gap. A PCM nobody takes
// is closed once its sound has been heard; at exit, after it has been heard.
//
// Thread: any; one lock. Only its reaper thread closes PCMs, so no caller ever
// waits for a server that does not answer; at exit the reaper gets a moment
// to finish and is then left behind.
class PcmShelf {
public:
    using Clock = std::chrono::steady_clock;

    ~PcmShelf()
    {
        std::unique_lock lock(mutex_);
        quit_ = true;
        if (item_)
            item_->heard_by = std::min(item_->heard_by, Clock::now() + kPlayOutLimit);
        wake_.notify_all();
        if (!reaper_.joinable())
            return;
        const bool ended = wake_.wait_for(lock, kPlayOutLimit + std::chrono::milliseconds(600),
                                          [&] { return reaper_ended_; });
        lock.unlock();
        if (ended)
            reaper_.join();
        else
            reaper_.detach(); // stuck in a dead server's close: the process ends anyway
    }

    // Keeps `pcm` (whose last frame is heard by `heard_by`); a PCM shelved
    // before goes to be closed.
    void put(const std::string& name, const PcmFormat& format, snd_pcm_t* pcm, Clock::time_point heard_by)
    {
        std::lock_guard lock(mutex_);
        if (item_)
            to_close_.push_back(item_->pcm);
        item_ = Item{name, format, pcm, heard_by};
        start_reaper();
        wake_.notify_all();
    }

    // The shelved PCM of this device and format, else null.
    snd_pcm_t* take(const std::string& name, const PcmFormat& format)
    {
        std::lock_guard lock(mutex_);
        if (!item_ || !item_->fits(name, format))
            return nullptr;
        snd_pcm_t* pcm = item_->pcm;
        item_.reset();
        return pcm;
    }

    bool holds(const std::string& name, const PcmFormat& format)
    {
        std::lock_guard lock(mutex_);
        return item_ && item_->fits(name, format);
    }

    // A PCM shelved for another format goes: its device is wanted.
    void clear(const std::string& name)
    {
        std::lock_guard lock(mutex_);
        if (item_ && item_->name == name) {
            to_close_.push_back(item_->pcm);
            item_.reset();
            start_reaper();
            wake_.notify_all();
        }
    }

private:
    static constexpr auto kPlayOutLimit = std::chrono::milliseconds(400);
    // How long after its sound has been heard a PCM waits for a next title.
    static constexpr auto kKeepAfterHeard = std::chrono::milliseconds(500);
    // A little past the estimate: the server's last cycle ends the sound.
    static constexpr auto kLastCycle = std::chrono::milliseconds(30);

    struct Item {
        std::string name;
        PcmFormat format;
        snd_pcm_t* pcm;
        Clock::time_point heard_by;
        bool fits(const std::string& other_name, const PcmFormat& other) const
        {
            return name == other_name && format.samples_per_sec == other.samples_per_sec &&
                   format.channels == other.channels && format.bits_per_sample == other.bits_per_sample;
        }
    };

    void start_reaper()
    {
        if (!reaper_.joinable())
            reaper_ = std::thread([this] { reap(); });
    }

    void reap()
    {
        std::unique_lock lock(mutex_);
        while (true) {
            if (!to_close_.empty()) {
                snd_pcm_t* pcm = to_close_.back();
                to_close_.pop_back();
                lock.unlock();
                close_pcm(pcm);
                lock.lock();
                continue;
            }
            if (item_) {
                // At exit the sound is let out first, then closed.
                const auto due = item_->heard_by + (quit_ ? kLastCycle : kKeepAfterHeard);
                if (Clock::now() < due) {
                    wake_.wait_until(lock, due);
                    continue;
                }
                to_close_.push_back(item_->pcm);
                item_.reset();
                continue;
            }
            if (quit_)
                break;
            wake_.wait(lock);
        }
        reaper_ended_ = true;
        wake_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::optional<Item> item_;
    std::vector<snd_pcm_t*> to_close_;
    bool quit_ = false;
    bool reaper_ended_ = false;
    std::thread reaper_;
};

} // namespace pelu::platform::wave
