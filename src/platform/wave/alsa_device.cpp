#include "platform/wave/alsa_device.h"
#include "platform/wave/alsa_shelf.h"
#include "platform/wave/device_queue.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>
#include <thread>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

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
    // The device thread is woken when half the ring is free rather than every
    // period: half as many wake-ups, and still a tenth of a second in hand.
    snd_pcm_uframes_t buffer = 0, period = 0;
    snd_pcm_sw_params_t* sw = nullptr;
    if (snd_pcm_get_params(*pcm, &buffer, &period) == 0 && buffer / 2 > period &&
        snd_pcm_sw_params_malloc(&sw) == 0) {
        if (snd_pcm_sw_params_current(*pcm, sw) == 0 && snd_pcm_sw_params_set_avail_min(*pcm, sw, buffer / 2) == 0)
            snd_pcm_sw_params(*pcm, sw);
        snd_pcm_sw_params_free(sw);
    }
    return kOk;
}

// ---------------------------------------------------------------------------
// Watches the devices' calls into ALSA. A sound server that dies can leave a
// call of its ALSA plug-in blocked for ever (PipeWire's prepare waits for an
// answer that never comes): such a device is declared failed, so that its
// client hears of it and its callers never wait for the stuck thread.
class AlsaCore;

class StuckCallWatch {
public:
    // Never destroyed: devices may be closed from static destructors too.
    static StuckCallWatch& instance()
    {
        static StuckCallWatch* const watch = new StuckCallWatch;
        return *watch;
    }

    void add(const std::shared_ptr<AlsaCore>& core)
    {
        {
            std::lock_guard lock(mutex_);
            cores_.push_back(core);
            if (!thread_.joinable())
                thread_ = std::thread([this] { run(); });
        }
        wake_.notify_all();
    }

    void remove(const AlsaCore* core)
    {
        std::lock_guard lock(mutex_);
        cores_.erase(std::remove_if(cores_.begin(), cores_.end(),
                                    [&](const std::weak_ptr<AlsaCore>& weak) {
                                        const auto strong = weak.lock();
                                        return !strong || strong.get() == core;
                                    }),
                     cores_.end());
    }

private:
    // Looks twice a second while a device is open, never otherwise.
    static constexpr auto kPeriod = std::chrono::milliseconds(500);
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<std::weak_ptr<AlsaCore>> cores_;
    bool quit_ = false;
    std::thread thread_;
};

// ---------------------------------------------------------------------------
// One open ALSA device. Buffers stay in `blocks_` from write() until they have
// played (frames written minus the device's delay passed their end), so a pause
// can drop what ALSA holds and write it again on restart: nothing queued is lost.
//
// One thread per device does all the waiting, in one poll() on the PCM's own
// descriptors and an event descriptor that every call signals: it sleeps until
// a period is free, the front buffer has played, or a caller wants something.
// That thread alone touches the handle, always with `mutex_` released, so no
// caller ever waits for ALSA; `mutex_` guards the queue, the counters and the
// requests. Buffers come back (wave_done) without the lock, so a client may
// refill one right there, on this thread. An underrun is recovered at once; a
// suspend is waited out a few milliseconds at a time; any other error, a
// recovery that fails, a device that stops playing without a word, or a call
// into ALSA that does not come back (StuckCallWatch) ends playing for good and
// is reported with wave_failed. The thread and its state are shared, so that a
// thread stuck for ever inside ALSA can be left behind when the device closes.
class AlsaCore : public std::enable_shared_from_this<AlsaCore>, private DeviceQueue {
public:
    using Clock = std::chrono::steady_clock;

    AlsaCore(snd_pcm_t* pcm, std::string name, const PcmFormat& format, WaveOutClient* client,
             std::shared_ptr<PcmShelf> shelf)
        : DeviceQueue(client), pcm_(pcm), name_(std::move(name)), format_(format), shelf_(std::move(shelf)), wake_fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
          buffer_frames_(ring_frames(pcm))
    {
    }

    ~AlsaCore()
    {
        if (wake_fd_ >= 0)
            ::close(wake_fd_);
    }

    void start()
    {
        thread_ = std::thread([self = shared_from_this()] { self->run(); });
        StuckCallWatch::instance().add(shared_from_this());
    }

    int write(const char* data, std::uint32_t length_bytes, void* tag)
    {
        std::lock_guard lock(mutex_);
        if (quit_)
            return kErrInvalidHandle;
        if (failed_ != kOk)
            return failed_;
        const std::uint64_t frames = length_bytes / std::max(1, format_.block_align());
        blocks_.push_back(Block{data, length_bytes, tag, frames, enqueued_frames_, 0});
        enqueued_frames_ += frames;
        // A buffer refilled from a done notice, on the device thread itself, is
        // seen before that thread sleeps again: signalling would only cost it
        // one more turn of its loop through ALSA per buffer.
        if (std::this_thread::get_id() != device_thread_)
            signal();
        return kOk;
    }

    int pause()
    {
        std::lock_guard lock(mutex_);
        paused_ = true;
        signal();
        return kOk;
    }

    int restart()
    {
        std::lock_guard lock(mutex_);
        paused_ = false;
        last_progress_ = Clock::now(); // a held device has not stalled
        signal();
        return kOk;
    }

    // Done by the device thread (the only one reading buffer memory); we wait
    // for it so that every buffer is back when we return, unless that thread is
    // stuck in ALSA: then the queue comes back from here.
    int reset()
    {
        std::unique_lock lock(mutex_);
        if (quit_)
            return kOk;
        if (std::this_thread::get_id() == thread_.get_id()) {
            return_queue(lock); // asked from a notice on our own thread
            return kOk;
        }
        const std::uint64_t ticket = ++reset_requested_;
        signal();
        done_cv_.wait(lock, [&] { return reset_done_ >= ticket || quit_ || stuck_; });
        if (stuck_)
            return_queue(lock);
        return kOk;
    }

    int position_samples(std::uint64_t& samples)
    {
        std::lock_guard lock(mutex_);
        samples = played_frames_;
        return kOk;
    }

    // Ends the thread; with `notify`, returns the queued buffers and says closed.
    void shut_down(bool notify)
    {
        bool left_behind = false;
        DeviceQueue::shut_down(
            notify,
            [&](std::unique_lock<std::mutex>& lock) {
                signal();
                done_cv_.notify_all();
                // The thread leaves its loop at once unless it is inside ALSA; a
                // call that never returns was declared stuck, and that thread is
                // left behind.
                done_cv_.wait(lock, [&] { return (thread_ended_ || stuck_) && !telling_; });
                left_behind = !thread_ended_;
            },
            [&] {
                StuckCallWatch::instance().remove(this);
                if (left_behind) {
                    thread_.detach(); // it holds its own reference to this state
                    return;
                }
                thread_.join();
                if (failed_ == kOk && shelf_)
                    shelf_->put(name_, format_, pcm_, heard_by());
                else
                    close_pcm(pcm_);
            });
    }

    // From the watch: a call into ALSA has not come back for too long.
    void check_stuck(Clock::time_point now)
    {
        const std::int64_t since = busy_since_ns_.load();
        if (since == 0 || now.time_since_epoch() - std::chrono::nanoseconds(since) < kStuckLimit)
            return;
        std::unique_lock lock(mutex_);
        if (stuck_ || quit_)
            return;
        stuck_ = true;
        const bool tell = failed_ == kOk;
        if (tell)
            failed_ = -ENODEV;
        telling_ = tell;
        done_cv_.notify_all();
        lock.unlock();
        if (!tell)
            return;
        client_->wave_failed(-ENODEV);
        lock.lock();
        telling_ = false;
        done_cv_.notify_all();
    }

private:
    // A device that holds unplayed sound and has not moved for this long is
    // gone; a live one moves at least once a period.
    static constexpr auto kStallLimit = std::chrono::milliseconds(1200);
    // A call into ALSA that has not returned after this long never will.
    static constexpr auto kStuckLimit = std::chrono::milliseconds(1200);
    // While waiting for room, look at the clock this often even if the PCM
    // says nothing (a dead server's PCM never wakes its poller).
    static constexpr int kRoomWaitMs = 250;
    // The end of the sound, for a device whose delay never drains: the last
    // frames that have not moved for this long (well over a cycle) have played.
    static constexpr auto kTailStill = std::chrono::milliseconds(150);
    // How long before its last frame leaves ALSA's ring the end of the sound
    // is told (see update_played): room for the client to start its next title.
    static constexpr auto kHandOver = std::chrono::milliseconds(60);

    static snd_pcm_uframes_t ring_frames(snd_pcm_t* pcm)
    {
        snd_pcm_uframes_t buffer = 0, period = 0;
        if (snd_pcm_get_params(pcm, &buffer, &period) < 0)
            return 0;
        return buffer;
    }

    // Wakes the device thread.
    void signal()
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_fd_, &one, sizeof one);
    }

    // Runs one call into ALSA with the mutex released (device thread); the
    // watch sees how long it takes. False when the device was closed or given
    // up meanwhile: the caller then touches nothing of the queue.
    template <typename Call> bool alsa(std::unique_lock<std::mutex>& lock, Call&& call)
    {
        lock.unlock();
        busy_since_ns_.store(std::chrono::nanoseconds(Clock::now().time_since_epoch()).count());
        call();
        busy_since_ns_.store(0);
        lock.lock();
        return !quit_ && !stuck_;
    }

    // The queue goes back to the client (mutex held; released around the notices).
    void return_queue(std::unique_lock<std::mutex>& lock)
    {
        const std::deque<Block> returned = take_queue();
        enqueued_frames_ = written_frames_ = played_frames_ = 0;
        const std::uint64_t ticket = reset_requested_;
        lock.unlock();
        give_back(returned);
        lock.lock();
        reset_done_ = std::max(reset_done_, ticket);
        done_cv_.notify_all();
    }

    // When the last frame ALSA holds will have been heard (device thread ended).
    Clock::time_point heard_by() const
    {
        const Clock::time_point now = Clock::now();
        snd_pcm_sframes_t delay = 0;
        if (snd_pcm_state(pcm_) != SND_PCM_STATE_RUNNING || snd_pcm_delay(pcm_, &delay) < 0 || delay <= 0)
            return now;
        Clock::time_point end = now + frames_duration(static_cast<std::uint64_t>(delay));
        if (tail_deadline_) // the ring ran dry: later reports are the server's idle cycle
            end = std::min(end, std::max(now, *tail_deadline_));
        return end;
    }

    // Sleeps with the mutex released until a call signals, until the PCM has
    // room (with `for_room`) or until `timeout_ms` (-1: no bound) has passed.
    void sleep(std::unique_lock<std::mutex>& lock, bool for_room, int timeout_ms)
    {
        pollfd fds[16];
        fds[0] = pollfd{wake_fd_, POLLIN, 0};
        int pcm_fds = 0;
        if (for_room && !alsa(lock, [&] { pcm_fds = std::max(0, snd_pcm_poll_descriptors(pcm_, fds + 1, 15)); }))
            return;
        lock.unlock();
        const int ready = ::poll(fds, nfds_t(1 + pcm_fds), timeout_ms);
        std::uint64_t count = 0;
        if (ready > 0 && (fds[0].revents & POLLIN))
            [[maybe_unused]] const ssize_t n = ::read(wake_fd_, &count, sizeof count);
        lock.lock();
        if (quit_ || stuck_ || pcm_fds == 0 || ready <= 0)
            return;
        // Lets the plug-in translate (and clear) what woke us.
        unsigned short revents = 0;
        snd_pcm_state_t state = SND_PCM_STATE_RUNNING;
        if (!alsa(lock, [&] {
                snd_pcm_poll_descriptors_revents(pcm_, fds + 1, unsigned(pcm_fds), &revents);
                if (revents & (POLLERR | POLLHUP | POLLNVAL))
                    state = snd_pcm_state(pcm_);
            }))
            return;
        if (state == SND_PCM_STATE_XRUN)
            handle_error(lock, -EPIPE);
        else if (state == SND_PCM_STATE_SUSPENDED)
            handle_error(lock, -ESTRPIPE);
        else if (state == SND_PCM_STATE_DISCONNECTED)
            handle_error(lock, -ENODEV);
    }

    // Frames played: written minus what ALSA still holds (mutex held).
    void update_played(std::unique_lock<std::mutex>& lock)
    {
        if (failed_ != kOk)
            return; // the count stops where the device failed
        snd_pcm_sframes_t delay = 0;
        snd_pcm_sframes_t avail = 0;
        const bool tail = written_frames_ == enqueued_frames_;
        if (!alsa(lock, [&] {
                if (snd_pcm_state(pcm_) == SND_PCM_STATE_XRUN || snd_pcm_delay(pcm_, &delay) < 0 || delay < 0)
                    delay = 0; // stopped or underrun: everything written has played
                if (tail && delay > 0)
                    avail = snd_pcm_avail_update(pcm_);
            }))
            return;
        const Clock::time_point now = Clock::now();
        std::uint64_t held = std::min<std::uint64_t>(static_cast<std::uint64_t>(delay), written_frames_);
        if (held > 0 && tail && written_frames_ == enqueued_frames_) {
            // Nothing is queued behind what ALSA holds, as at the end of a title.
            // The buffers count as played once their end is a hand-over's time
            // from leaving ALSA's ring (the sound server's own latency comes on
            // top), so that the client's next title is written before the ring
            // runs dry and the stream goes on without a gap; the PCM lets the
            // last frames play out (PcmShelf). Once the ring is empty, a server
            // goes on reporting a cycle of latency while it plays silence:
            // everything written is in its hands then.
            const bool ring_empty = avail < 0 || static_cast<snd_pcm_uframes_t>(avail) >= buffer_frames_;
            if (ring_empty && !tail_deadline_)
                tail_deadline_ = now + frames_duration(held);
            const std::uint64_t in_ring = ring_empty ? 0 : buffer_frames_ - static_cast<snd_pcm_uframes_t>(avail);
            const std::uint64_t early = (held > in_ring ? held - in_ring : 0) + frames_in(kHandOver);
            held = held > early ? held - early : 0;
        }
        const std::uint64_t played = std::max(played_frames_, written_frames_ - held);
        if (played != played_frames_ || written_frames_ == played)
            last_progress_ = now;
        played_frames_ = played;
    }

    std::uint64_t frames_in(std::chrono::milliseconds time) const
    {
        return static_cast<std::uint64_t>(std::max(1, format_.samples_per_sec)) *
               static_cast<std::uint64_t>(time.count()) / 1000;
    }

    std::chrono::microseconds frames_duration(std::uint64_t frames) const
    {
        const std::uint64_t rate = static_cast<std::uint64_t>(std::max(1, format_.samples_per_sec));
        return std::chrono::microseconds(frames * 1000000 / rate);
    }

    // How long until the front buffer, wholly written, has played (mutex held):
    // one wake-up per buffer rather than a poll every few milliseconds.
    int until_front_played_ms() const
    {
        const Block& front = blocks_.front();
        const std::uint64_t end = front.start_frame + front.frames;
        const std::uint64_t left = end > played_frames_ ? end - played_frames_ : 0;
        const std::uint64_t rate = static_cast<std::uint64_t>(std::max(1, format_.samples_per_sec));
        const std::int64_t ms = static_cast<std::int64_t>((left * 1000 + rate - 1) / rate) + 1;
        return static_cast<int>(std::clamp<std::int64_t>(ms, 1, kRoomWaitMs));
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
        update_played(lock);
        if (quit_ || stuck_)
            return;
        // Sound not yet played is dropped at once. A PCM that has played all it
        // was given is left running (a sound server plays silence meanwhile): the
        // next title then follows without the stream being stopped and started.
        if (failed_ == kOk) {
            const bool unplayed = written_frames_ > played_frames_ || suspended_;
            bool dropped = false;
            if (!alsa(lock, [&] {
                    if (unplayed || snd_pcm_state(pcm_) != SND_PCM_STATE_RUNNING) {
                        snd_pcm_drop(pcm_);
                        snd_pcm_prepare(pcm_);
                        dropped = true;
                    }
                }))
                return;
            if (dropped) {
                suspended_ = false;
                tail_deadline_.reset();
            }
        }
        device_paused_ = false;
        return_queue(lock);
    }

    // Holds playback: what ALSA has not played is dropped and will be written
    // again. A PCM that holds nothing is left running: stopping and starting a
    // sound server's stream costs more than the silence of an empty one.
    void enter_pause(std::unique_lock<std::mutex>& lock)
    {
        update_played(lock);
        if (quit_ || stuck_)
            return;
        if (written_frames_ > played_frames_) {
            // Only ALSA's ring is dropped: what a sound server has taken from it
            // (its own latency, counted in the delay) is heard all the same, so
            // it counts as played and is not written again on restart.
            snd_pcm_sframes_t avail = 0;
            if (!alsa(lock, [&] {
                    avail = snd_pcm_avail_update(pcm_);
                    snd_pcm_drop(pcm_);
                    snd_pcm_prepare(pcm_);
                }))
                return;
            if (avail >= 0 && static_cast<snd_pcm_uframes_t>(avail) < buffer_frames_) {
                const std::uint64_t in_ring = buffer_frames_ - static_cast<snd_pcm_uframes_t>(avail);
                if (written_frames_ > in_ring)
                    played_frames_ = std::max(played_frames_, written_frames_ - in_ring);
            }
        }
        written_frames_ = played_frames_;
        tail_deadline_.reset();
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
        update_played(lock);
        if (failed_ != kOk)
            return;
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
        case -EPIPE: {
            // Underrun: everything written has played; go on at once. A PCM
            // that underruns again before it took a single frame is broken (a
            // sound server that died says so, and prepare "succeeds").
            if (recovered_) {
                fail(lock, -ENODEV);
                return;
            }
            played_frames_ = written_frames_;
            last_progress_ = Clock::now();
            int err = 0;
            if (alsa(lock, [&] { err = snd_pcm_prepare(pcm_); }) && err < 0)
                fail(lock, err);
            recovered_ = true;
            return;
        }
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
        int err = 0;
        if (!alsa(lock, [&] {
                err = snd_pcm_resume(pcm_);
                if (err < 0 && err != -EAGAIN)
                    err = snd_pcm_prepare(pcm_); // a card that cannot resume starts afresh
            }))
            return true;
        if (err == -EAGAIN)
            return false;
        suspended_ = false;
        last_progress_ = Clock::now();
        if (err < 0)
            fail(lock, err);
        return true;
    }

    // Hands ALSA what it takes of the queue (mutex held). True when ALSA is full
    // and more is waiting.
    bool write_pending(std::unique_lock<std::mutex>& lock)
    {
        for (std::size_t i = 0; i < blocks_.size(); ++i) {
            while (blocks_[i].written < blocks_[i].frames) {
                // Only this thread takes blocks off the queue, and a close or a
                // give-up is checked before it is looked at again.
                Block& block = blocks_[i];
                const char* from = block.data + block.written * format_.block_align();
                const snd_pcm_uframes_t count = snd_pcm_uframes_t(block.frames - block.written);
                snd_pcm_sframes_t n = 0;
                if (!alsa(lock, [&] { n = snd_pcm_writei(pcm_, from, count); }))
                    return false;
                if (n > 0) {
                    recovered_ = false;
                    if (written_frames_ == played_frames_)
                        last_progress_ = Clock::now(); // the clock starts with sound to play
                    blocks_[i].written += static_cast<std::uint64_t>(n);
                    written_frames_ += static_cast<std::uint64_t>(n);
                    tail_deadline_.reset();
                    continue;
                }
                if (n == -EAGAIN)
                    return true;
                handle_error(lock, n < 0 ? static_cast<int>(n) : -EIO);
                return false;
            }
        }
        return false;
    }

    void run()
    {
        {
            std::lock_guard lock(mutex_);
            device_thread_ = std::this_thread::get_id();
        }
        client_->wave_opened();
        std::unique_lock lock(mutex_);
        last_progress_ = Clock::now();
        while (!quit_ && !stuck_) {
            if (reset_requested_ != reset_done_) {
                handle_reset(lock);
                continue;
            }
            if (failed_ != kOk) {
                sleep(lock, false, -1); // for reset or close
                continue;
            }
            if (paused_) {
                if (!device_paused_ && !suspended_)
                    enter_pause(lock);
                else
                    sleep(lock, false, -1);
                continue;
            }
            if (suspended_) {
                if (!try_resume(lock))
                    sleep(lock, false, 10);
                continue;
            }
            device_paused_ = false;

            const bool full = write_pending(lock);
            if (quit_ || stuck_ || failed_ != kOk || suspended_)
                continue;
            if (!full && !blocks_.empty()) {
                // Less than the start threshold is queued: play it anyway.
                int err = 0;
                if (!alsa(lock, [&] {
                        if (snd_pcm_state(pcm_) == SND_PCM_STATE_PREPARED)
                            err = snd_pcm_start(pcm_);
                    }))
                    continue;
                if (err < 0) {
                    handle_error(lock, err);
                    continue;
                }
            }
            update_played(lock);
            if (quit_ || stuck_ || failed_ != kOk)
                continue;
            if (written_frames_ > played_frames_) {
                const auto still = Clock::now() - last_progress_;
                if (!full && still > kTailStill) {
                    // Everything is written and the rest does not move: the
                    // device has played what it is going to play.
                    played_frames_ = written_frames_;
                    last_progress_ = Clock::now();
                } else if (still > kStallLimit) {
                    fail(lock, -ENODEV);
                    continue;
                }
            }
            retire_played(lock);
            if (quit_ || reset_requested_ != reset_done_ || paused_ || failed_ != kOk)
                continue;
            if (full)
                sleep(lock, true, kRoomWaitMs);
            else if (blocks_.empty())
                sleep(lock, false, -1);
            else if (std::any_of(blocks_.begin(), blocks_.end(),
                                 [](const Block& b) { return b.written < b.frames; }))
                continue; // written since the lock was let go
            else
                sleep(lock, false, until_front_played_ms());
        }
        thread_ended_ = true;
        done_cv_.notify_all();
    }

    snd_pcm_t* const pcm_;
    const std::string name_;
    const PcmFormat format_;
    const std::shared_ptr<PcmShelf> shelf_;
    const int wake_fd_;
    const snd_pcm_uframes_t buffer_frames_;
    std::atomic<std::int64_t> busy_since_ns_{0}; // a call into ALSA running since, else 0

    std::condition_variable done_cv_; // reset and close wait on it
    std::uint64_t enqueued_frames_ = 0;
    std::uint64_t written_frames_ = 0;
    std::uint64_t played_frames_ = 0;
    std::uint64_t reset_requested_ = 0;
    std::uint64_t reset_done_ = 0;
    Clock::time_point last_progress_ = Clock::now();
    std::optional<Clock::time_point> tail_deadline_; // when the last written frame is heard
    bool paused_ = false;
    bool device_paused_ = false;
    bool suspended_ = false;
    bool recovered_ = false; // prepared after an underrun, nothing written since
    int failed_ = kOk; // the error that ended playing for good
    bool stuck_ = false;  // a call into ALSA never came back
    bool telling_ = false; // the watch is telling the client so
    bool thread_ended_ = false;
    std::thread::id device_thread_; // set by the thread itself, under mutex_
    std::thread thread_;
};

void StuckCallWatch::run()
{
    std::unique_lock lock(mutex_);
    while (!quit_) {
        if (cores_.empty()) {
            wake_.wait(lock);
            continue;
        }
        wake_.wait_for(lock, kPeriod);
        std::vector<std::shared_ptr<AlsaCore>> cores;
        for (const auto& weak : cores_)
            if (auto core = weak.lock())
                cores.push_back(std::move(core));
        lock.unlock();
        const auto now = AlsaCore::Clock::now();
        for (const auto& core : cores)
            core->check_stuck(now);
        cores.clear();
        lock.lock();
    }
}

// The handle the client holds: the core outlives it while its thread runs.
class AlsaDevice final : public WaveOutDevice {
public:
    AlsaDevice(snd_pcm_t* pcm, std::string name, const PcmFormat& format, WaveOutClient* client,
               std::shared_ptr<PcmShelf> shelf)
        : core_(std::make_shared<AlsaCore>(pcm, std::move(name), format, client, std::move(shelf)))
    {
        core_->start();
    }
    ~AlsaDevice() override { core_->shut_down(false); }

    int write(const char* data, std::uint32_t length_bytes, void* tag) override
    {
        return core_->write(data, length_bytes, tag);
    }
    int pause() override { return core_->pause(); }
    int restart() override { return core_->restart(); }
    int reset() override { return core_->reset(); }
    int position_samples(std::uint64_t& samples) override { return core_->position_samples(samples); }
    int close() override
    {
        core_->shut_down(true);
        return kOk;
    }

private:
    const std::shared_ptr<AlsaCore> core_;
};

// ---------------------------------------------------------------------------
class AlsaSystem final : public WaveSystem {
public:
    explicit AlsaSystem(std::string preferred)
        : preferred_(std::move(preferred)), shelf_(std::make_shared<PcmShelf>())
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
        const std::string& name = devices_[device_id].name;
        if (shelf_->holds(name, format))
            return kOk; // a PCM of this device plays this format right now
        snd_pcm_t* pcm = nullptr;
        const int result = open_configured(name, format, &pcm);
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
        const std::string& name = devices_[device_id].name;
        snd_pcm_t* pcm = shelf_->take(name, format);
        if (!pcm) {
            shelf_->clear(name); // the same device in another format
            if (const int result = open_configured(name, format, &pcm); result != kOk)
                return result;
        }
        device = std::make_unique<AlsaDevice>(pcm, name, format, client, shelf_);
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
    const std::shared_ptr<PcmShelf> shelf_;
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
