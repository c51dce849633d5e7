#include "platform/wave/alsa_device.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace pelu::platform::wave {

namespace {

// alsa-lib prints its own diagnostics on stderr; ours come back as result codes.
void silent_alsa_errors(const char*, int, const char*, int, const char*, ...) {}

snd_pcm_format_t alsa_format(const PcmFormat& format)
{
    switch (format.bits_per_sample) {
    case 8: return SND_PCM_FORMAT_U8;
    case 16: return SND_PCM_FORMAT_S16_LE;
    default: return SND_PCM_FORMAT_UNKNOWN;
    }
}

// About 0.2 s of ALSA buffering on top of the queue the client keeps.
constexpr unsigned kLatencyUs = 200000;

int open_configured(const std::string& name, const PcmFormat& format, snd_pcm_t** pcm)
{
    const snd_pcm_format_t sample_format = alsa_format(format);
    if (sample_format == SND_PCM_FORMAT_UNKNOWN || format.channels < 1 || format.samples_per_sec < 1)
        return kErrBadFormat;
    // Non-blocking open: a busy device answers at once instead of hanging.
    if (const int err = snd_pcm_open(pcm, name.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
        err < 0)
        return err;
    if (const int err = snd_pcm_set_params(*pcm, sample_format, SND_PCM_ACCESS_RW_INTERLEAVED,
                                           static_cast<unsigned>(format.channels),
                                           static_cast<unsigned>(format.samples_per_sec), 1,
                                           kLatencyUs);
        err < 0) {
        snd_pcm_close(*pcm);
        *pcm = nullptr;
        return err == -EINVAL ? kErrBadFormat : err;
    }
    return kOk;
}

// ---------------------------------------------------------------------------
// One open ALSA device. Buffers stay in `blocks_` from write() until they have
// played (frames written minus the device's delay passed their end), so a pause
// can drop what ALSA holds and write it again on restart: nothing queued is lost.
//
// The device thread holds `mutex_` only around non-blocking ALSA calls (the
// handle is opened non-blocking); it waits for room, for a suspended card to
// resume and for new buffers with the lock released, so pause, reset and close
// always get in. An underrun is recovered at once; a suspend is waited out a
// few milliseconds at a time; any other error, or a recovery that fails, ends
// playing for good and is reported with wave_failed.
class AlsaDevice final : public WaveOutDevice {
public:
    AlsaDevice(snd_pcm_t* pcm, const PcmFormat& format, WaveOutClient* client)
        : pcm_(pcm), format_(format), client_(client)
    {
        thread_ = std::thread([this] { run(); });
    }

    ~AlsaDevice() override { shut_down(false); }

    int write(const char* data, std::uint32_t length_bytes, void* tag) override
    {
        {
            std::lock_guard lock(mutex_);
            if (quit_)
                return kErrInvalidHandle;
            if (failed_ != kOk)
                return failed_;
            const std::uint64_t frames = length_bytes / std::max(1, format_.block_align());
            blocks_.push_back(Block{data, tag, frames, enqueued_frames_, 0});
            enqueued_frames_ += frames;
        }
        wake_.notify_all();
        return kOk;
    }

    int pause() override
    {
        {
            std::lock_guard lock(mutex_);
            paused_ = true;
        }
        wake_.notify_all();
        return kOk;
    }

    int restart() override
    {
        {
            std::lock_guard lock(mutex_);
            paused_ = false;
        }
        wake_.notify_all();
        return kOk;
    }

    // Done by the device thread (the only one touching the handle and reading
    // buffer memory); we wait for it so that every buffer is back when we return.
    int reset() override
    {
        std::unique_lock lock(mutex_);
        if (quit_)
            return kOk;
        const std::uint64_t ticket = ++reset_requested_;
        wake_.notify_all();
        wake_.wait(lock, [&] { return reset_done_ >= ticket || quit_; });
        return kOk;
    }

    int position_samples(std::uint64_t& samples) override
    {
        std::lock_guard lock(mutex_);
        samples = played_frames_;
        return kOk;
    }

    int close() override
    {
        shut_down(true);
        return kOk;
    }

private:
    struct Block {
        const char* data;
        void* tag;
        std::uint64_t frames;
        std::uint64_t start_frame; // since open or reset
        std::uint64_t written;     // frames of it handed to ALSA
    };

    void shut_down(bool notify)
    {
        std::deque<Block> returned;
        {
            std::lock_guard lock(mutex_);
            if (closed_)
                return;
            closed_ = true;
            quit_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable() && std::this_thread::get_id() != thread_.get_id())
            thread_.join();
        returned.swap(blocks_);
        if (pcm_) {
            snd_pcm_drop(pcm_);
            snd_pcm_close(pcm_);
            pcm_ = nullptr;
        }
        if (!notify)
            return;
        for (const Block& block : returned)
            client_->wave_done(block.tag);
        client_->wave_closed();
    }

    // Frames played: written minus what ALSA still holds (mutex held).
    void update_played()
    {
        if (failed_ != kOk)
            return; // the count stops where the device failed
        snd_pcm_sframes_t delay = 0;
        if (snd_pcm_delay(pcm_, &delay) < 0 || delay < 0)
            delay = 0; // stopped or underrun: everything written has played
        const std::uint64_t held = std::min<std::uint64_t>(static_cast<std::uint64_t>(delay),
                                                           written_frames_);
        played_frames_ = std::max(played_frames_, written_frames_ - held);
    }

    // How long until the front buffer, wholly written, has played (mutex held):
    // one wake-up per buffer rather than a poll every few milliseconds. Bounded,
    // so a device whose delay report lags is looked at again soon.
    std::chrono::milliseconds until_front_played() const
    {
        const Block& front = blocks_.front();
        const std::uint64_t end = front.start_frame + front.frames;
        const std::uint64_t left = end > played_frames_ ? end - played_frames_ : 0;
        const std::uint64_t rate = static_cast<std::uint64_t>(std::max(1, format_.samples_per_sec));
        const std::int64_t ms = static_cast<std::int64_t>((left * 1000 + rate - 1) / rate) + 1;
        return std::chrono::milliseconds(std::clamp<std::int64_t>(ms, 1, 100));
    }

    // Returns the buffers that have played, outside the lock.
    void retire_played(std::unique_lock<std::mutex>& lock)
    {
        std::vector<void*> done;
        while (!blocks_.empty()) {
            const Block& front = blocks_.front();
            if (front.written < front.frames || front.start_frame + front.frames > played_frames_)
                break;
            done.push_back(front.tag);
            blocks_.pop_front();
        }
        if (done.empty())
            return;
        lock.unlock();
        for (void* tag : done)
            client_->wave_done(tag);
        lock.lock();
    }

    void handle_reset(std::unique_lock<std::mutex>& lock)
    {
        if (failed_ == kOk) {
            snd_pcm_drop(pcm_);
            snd_pcm_prepare(pcm_);
            suspended_ = false;
        }
        std::deque<Block> returned;
        returned.swap(blocks_);
        enqueued_frames_ = written_frames_ = played_frames_ = 0;
        const std::uint64_t ticket = reset_requested_;
        lock.unlock();
        for (const Block& block : returned)
            client_->wave_done(block.tag);
        lock.lock();
        reset_done_ = ticket;
        wake_.notify_all();
    }

    // Holds playback: what ALSA has not played is dropped and will be written again.
    void enter_pause()
    {
        update_played();
        snd_pcm_drop(pcm_);
        snd_pcm_prepare(pcm_);
        written_frames_ = played_frames_;
        for (Block& block : blocks_) {
            const std::uint64_t end = block.start_frame + block.frames;
            block.written = played_frames_ >= end ? block.frames
                            : played_frames_ > block.start_frame ? played_frames_ - block.start_frame
                                                                  : 0;
        }
        device_paused_ = true;
    }

    // The device is gone for good (mutex held): nothing is written any more, the
    // queue waits for reset or close, and the client hears of it once.
    void fail(std::unique_lock<std::mutex>& lock, int error)
    {
        if (failed_ != kOk)
            return;
        update_played();
        failed_ = error < 0 ? error : kErrError;
        const int code = failed_;
        lock.unlock();
        client_->wave_failed(code);
        lock.lock();
    }

    // An error of a write, a wait or a start (mutex held).
    void handle_error(std::unique_lock<std::mutex>& lock, int error)
    {
        switch (error) {
        case -EINTR:
        case -EAGAIN:
            return;
        case -EPIPE:
            // Underrun: everything written has played; go on at once.
            played_frames_ = written_frames_;
            if (const int err = snd_pcm_prepare(pcm_); err < 0)
                fail(lock, err);
            return;
        case -ESTRPIPE:
            // Suspended: what ALSA held is lost; resume in the loop, without the lock.
            played_frames_ = written_frames_;
            suspended_ = true;
            return;
        default:
            fail(lock, error);
        }
    }

    // One attempt to bring a suspended device back (mutex held). False while the
    // card is still waking up.
    bool try_resume(std::unique_lock<std::mutex>& lock)
    {
        int err = snd_pcm_resume(pcm_);
        if (err == -EAGAIN)
            return false;
        if (err < 0)
            err = snd_pcm_prepare(pcm_); // a card that cannot resume starts afresh
        suspended_ = false;
        if (err < 0)
            fail(lock, err);
        return true;
    }

    void run()
    {
        client_->wave_opened();
        std::unique_lock lock(mutex_);
        while (!quit_) {
            if (reset_requested_ != reset_done_) {
                handle_reset(lock);
                continue;
            }
            if (failed_ != kOk) {
                wake_.wait(lock); // for reset or close
                continue;
            }
            if (paused_) {
                if (!device_paused_ && !suspended_)
                    enter_pause();
                wake_.wait(lock);
                continue;
            }
            if (suspended_) {
                if (!try_resume(lock))
                    wake_.wait_for(lock, std::chrono::milliseconds(10));
                continue;
            }
            device_paused_ = false;

            Block* pending = nullptr;
            for (Block& block : blocks_)
                if (block.written < block.frames) {
                    pending = &block;
                    break;
                }
            if (pending) {
                const std::uint64_t written_before = pending->written;
                const char* from = pending->data + written_before * format_.block_align();
                const snd_pcm_uframes_t count = pending->frames - written_before;
                // The handle is ours alone; the buffer memory stays valid until we
                // return it, and reset/close wait for this thread.
                snd_pcm_sframes_t n = snd_pcm_writei(pcm_, from, count);
                if (n > 0) {
                    pending->written += static_cast<std::uint64_t>(n);
                    written_frames_ += static_cast<std::uint64_t>(n);
                } else if (n == -EAGAIN) {
                    // No room: wait for some without the lock.
                    lock.unlock();
                    const int waited = snd_pcm_wait(pcm_, 10);
                    lock.lock();
                    if (waited < 0)
                        handle_error(lock, waited);
                } else if (n < 0) {
                    handle_error(lock, static_cast<int>(n));
                }
            } else if (!blocks_.empty() && snd_pcm_state(pcm_) == SND_PCM_STATE_PREPARED) {
                // Less than the start threshold is queued: play it anyway.
                if (const int err = snd_pcm_start(pcm_); err < 0)
                    handle_error(lock, err);
            }
            if (failed_ != kOk || suspended_)
                continue;
            update_played();
            retire_played(lock);
            if (quit_ || reset_requested_ != reset_done_ || paused_)
                continue;
            bool more_to_write = false;
            for (const Block& block : blocks_)
                more_to_write = more_to_write || block.written < block.frames;
            if (more_to_write)
                continue;
            if (blocks_.empty())
                wake_.wait(lock);
            else
                wake_.wait_for(lock, until_front_played()); // a new buffer, pause, reset or close wake us sooner
        }
    }

    snd_pcm_t* pcm_;
    const PcmFormat format_;
    WaveOutClient* const client_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Block> blocks_;
    std::uint64_t enqueued_frames_ = 0;
    std::uint64_t written_frames_ = 0;
    std::uint64_t played_frames_ = 0;
    std::uint64_t reset_requested_ = 0;
    std::uint64_t reset_done_ = 0;
    bool paused_ = false;
    bool device_paused_ = false;
    bool suspended_ = false;
    int failed_ = kOk; // the error that ended playing for good
    bool quit_ = false;
    bool closed_ = false;
    std::thread thread_;
};

// ---------------------------------------------------------------------------
class AlsaSystem final : public WaveSystem {
public:
    explicit AlsaSystem(std::string preferred) : preferred_(std::move(preferred))
    {
        snd_lib_error_set_handler(silent_alsa_errors);
    }

    std::string backend_name() const override { return "alsa"; }

    int device_count() override
    {
        list_devices();
        return static_cast<int>(devices_.size());
    }

    int capabilities(int device_id, DeviceCaps& caps) override
    {
        list_devices();
        if (device_id < 0 || device_id >= static_cast<int>(devices_.size()))
            return kErrBadDeviceId;
        caps.product_name = devices_[device_id].description;
        caps.driver_version = SND_LIB_VERSION;
        caps.formats = kFormatAll; // the plug layer converts what the card lacks
        caps.channels = 2;
        return kOk;
    }

    int query_format(int device_id, const PcmFormat& format) override
    {
        list_devices();
        if (device_id < 0 || device_id >= static_cast<int>(devices_.size()))
            return kErrBadDeviceId;
        snd_pcm_t* pcm = nullptr;
        const int result = open_configured(devices_[device_id].name, format, &pcm);
        if (pcm)
            snd_pcm_close(pcm);
        return result;
    }

    int open(int device_id, const PcmFormat& format, WaveOutClient* client,
             std::unique_ptr<WaveOutDevice>& device) override
    {
        list_devices();
        if (device_id < 0 || device_id >= static_cast<int>(devices_.size()))
            return kErrBadDeviceId;
        snd_pcm_t* pcm = nullptr;
        if (const int result = open_configured(devices_[device_id].name, format, &pcm);
            result != kOk)
            return result;
        device = std::make_unique<AlsaDevice>(pcm, format, client);
        return kOk;
    }

private:
    struct Device {
        std::string name;
        std::string description;
    };

    // Read once: the list a wave output sees must not change under it.
    void list_devices()
    {
        std::lock_guard lock(mutex_);
        if (listed_)
            return;
        listed_ = true;
        std::vector<Device> hinted;
        void** hints = nullptr;
        if (snd_device_name_hint(-1, "pcm", &hints) == 0) {
            for (void** hint = hints; *hint; ++hint) {
                char* name = snd_device_name_get_hint(*hint, "NAME");
                char* ioid = snd_device_name_get_hint(*hint, "IOID");
                char* desc = snd_device_name_get_hint(*hint, "DESC");
                const bool playback = !ioid || std::string(ioid) == "Output";
                // "null" discards the sound: it is no playing device unless named.
                if (name && playback && std::string(name) != "null" &&
                    std::string(name) != "default") {
                    std::string text = desc ? desc : name;
                    std::replace(text.begin(), text.end(), '\n', ' ');
                    hinted.push_back(Device{name, text});
                }
                free(name);
                free(ioid);
                free(desc);
            }
            snd_device_name_free_hint(hints);
        }
        if (!preferred_.empty())
            devices_.push_back(Device{preferred_, "ALSA " + preferred_});
        else if (!hinted.empty())
            devices_.push_back(Device{"default", "ALSA default"});
        for (const Device& device : hinted)
            if (device.name != preferred_)
                devices_.push_back(device);
    }

    const std::string preferred_;
    std::mutex mutex_;
    bool listed_ = false;
    std::vector<Device> devices_;
};

} // namespace

std::unique_ptr<WaveSystem> make_alsa_system(const std::string& preferred_name)
{
    return std::make_unique<AlsaSystem>(preferred_name);
}

} // namespace pelu::platform::wave
