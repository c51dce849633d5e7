#include "platform/wave/sim_device.h"
#include "platform/wave/device_queue.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pelu::platform::wave {

namespace {

using Clock = std::chrono::steady_clock;

// How much sound a paced device gives back at once.
constexpr std::chrono::milliseconds kReturnBatch{100};

// ---------------------------------------------------------------------------
// Recorder state and armed faults, shared by every sim device of the process.
struct RecorderState {
    std::mutex mutex;
    bool enabled = false;
    std::vector<char> bytes;
    std::uint64_t buffers = 0;
    std::uint32_t counter_start = 0;
    // Faults for the next devices (SimFaults).
    bool fail_armed = false;
    std::uint64_t fail_after_buffers = 0;
    int fail_code = 0;
    int failing_opens = 0;
    int open_failure_code = 0;
    // Devices after device 0 (SimDevices).
    std::vector<std::string> extra_devices;
};

RecorderState& recorder()
{
    static RecorderState state;
    return state;
}

// ---------------------------------------------------------------------------
class SimDevice final : public WaveOutDevice, private DeviceQueue {
public:
    SimDevice(const PcmFormat& format, double speed, bool record, WaveOutClient* client)
        : DeviceQueue(client), format_(format), speed_(speed), record_(record)
    {
        {
            std::lock_guard lock(recorder().mutex);
            counter_start_ = recorder().counter_start;
            if (recorder().fail_armed) {
                recorder().fail_armed = false;
                fail_armed_ = true;
                fail_after_buffers_ = recorder().fail_after_buffers;
                fail_code_ = recorder().fail_code;
            }
        }
        thread_ = std::thread([this] { run(); });
    }

    ~SimDevice() override { shut_down(false); }

    int write(const char* data, std::uint32_t length_bytes, void* tag) override
    {
        const std::uint64_t frames = length_bytes / std::max(1, format_.block_align());
        bool was_empty = false;
        {
            std::lock_guard lock(mutex_);
            if (quit_)
                return kErrInvalidHandle;
            if (failed_ != kOk)
                return failed_;
            was_empty = blocks_.empty();
            if (was_empty) {
                // After an underrun the clock resumes with this buffer.
                anchor_time_ = Clock::now();
                anchor_progress_ = 0;
            }
            blocks_.push_back(Block{data, length_bytes, tag, frames});
            queued_frames_ += frames;
        }
        // Behind a queued buffer this one changes nothing the thread waits
        // for: waking it would only cost a context switch per buffer.
        if (was_empty)
            wake_.notify_all();
        return kOk;
    }

    int pause() override
    {
        std::lock_guard lock(mutex_);
        if (!paused_) {
            anchor_progress_ = queue_progress(Clock::now());
            paused_ = true;
        }
        return kOk;
    }

    int restart() override
    {
        {
            std::lock_guard lock(mutex_);
            if (!paused_)
                return kOk;
            paused_ = false;
            anchor_time_ = Clock::now();
        }
        wake_.notify_all();
        return kOk;
    }

    int reset() override
    {
        std::deque<Block> returned;
        {
            std::lock_guard lock(mutex_);
            returned = take_queue();
            queued_frames_ = 0;
            completed_frames_ = 0;
            anchor_progress_ = 0;
            anchor_time_ = Clock::now();
        }
        wake_.notify_all();
        give_back(returned);
        return kOk;
    }

    int position_samples(std::uint64_t& samples) override
    {
        std::lock_guard lock(mutex_);
        const std::uint64_t played = completed_frames_ + queue_progress(Clock::now());
        samples = counter_start_ ? static_cast<std::uint32_t>(counter_start_ + played) : played;
        return kOk;
    }

    int close() override
    {
        shut_down(true);
        return kOk;
    }

private:
    void shut_down(bool notify)
    {
        DeviceQueue::shut_down(
            notify, [this](std::unique_lock<std::mutex>&) { wake_.notify_all(); },
            [this] {
                if (thread_.joinable() && std::this_thread::get_id() != thread_.get_id())
                    thread_.join();
            });
    }

    // Frames of the queue played by `now` (mutex held). At speed 0 the clock
    // counts whole buffers only, as they complete.
    std::int64_t queue_progress(Clock::time_point now) const
    {
        if (blocks_.empty() || speed_ <= 0)
            return 0;
        std::int64_t progress = anchor_progress_;
        if (!paused_ && failed_ == kOk) {
            const double seconds = std::chrono::duration<double>(now - anchor_time_).count();
            const double frames = seconds * format_.samples_per_sec * speed_;
            progress += frames > 0 ? static_cast<std::int64_t>(frames) : 0;
        }
        return std::clamp<std::int64_t>(progress, 0, static_cast<std::int64_t>(queued_frames_));
    }

    // When the queue will have played `frames` of itself (mutex held, playing).
    Clock::time_point time_of(std::int64_t frames) const
    {
        const double seconds =
            double(frames - anchor_progress_) / (double(format_.samples_per_sec) * speed_);
        return anchor_time_ +
               std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    }

    // How many buffers go back in the next batch: the front ones that make up
    // kReturnBatch of sound or half the queue, whichever is less (at least
    // one buffer), fewer when a fault is due. Sets `frames` to their length
    // (mutex held).
    std::size_t next_batch(std::int64_t& frames) const
    {
        const std::int64_t batch = std::max<std::int64_t>(
            1, std::min<std::int64_t>(std::int64_t(format_.samples_per_sec) * kReturnBatch.count() / 1000,
                                      std::int64_t(queued_frames_ / 2)));
        std::size_t count = 0;
        const std::size_t limit =
            fail_armed_ ? std::size_t(fail_after_buffers_ - buffers_played_) : blocks_.size();
        frames = 0;
        for (const Block& block : blocks_) {
            if (count == limit || frames >= batch)
                break;
            frames += static_cast<std::int64_t>(block.frames);
            ++count;
        }
        return count;
    }

    void run()
    {
        client_->wave_opened();
        std::unique_lock lock(mutex_);
        std::vector<Block> done;
        while (!quit_) {
            if (paused_ || blocks_.empty() || failed_ != kOk) {
                wake_.wait(lock);
                continue;
            }
            if (fail_armed_ && buffers_played_ >= fail_after_buffers_) {
                // Gone for good: what is queued stays until reset or close.
                fail_armed_ = false;
                anchor_progress_ = queue_progress(Clock::now()); // the clock stops here
                failed_ = fail_code_;
                lock.unlock();
                client_->wave_failed(fail_code_);
                lock.lock();
                continue;
            }
            // Paced, played buffers go back in batches, as a sound card's
            // driver wakes its client when a good part of its ring is free
            // (the ALSA device: half of it): one wake-up of the client's
            // thread per batch instead of one per buffer. As the queue runs
            // out at the end of a title, its last buffers go back one by one
            // as each ends.
            std::size_t count = 1;
            if (speed_ > 0) {
                std::int64_t batch_frames = 0;
                count = next_batch(batch_frames);
                const Clock::time_point end = time_of(batch_frames);
                if (Clock::now() < end) {
                    wake_.wait_until(lock, end);
                    continue; // paused, reset, written to or closed meanwhile: look again
                }
            }
            done.clear();
            for (std::size_t i = 0; i < count; ++i) {
                const Block block = blocks_.front();
                blocks_.pop_front();
                done.push_back(block);
                queued_frames_ -= block.frames;
                completed_frames_ += block.frames;
                ++buffers_played_;
                // The clock runs on from where these buffers ended, not from
                // when we woke up, so it does not drift with scheduling delays.
                if (speed_ > 0)
                    anchor_progress_ -= static_cast<std::int64_t>(block.frames);
            }
            if (speed_ <= 0) {
                anchor_progress_ = 0;
                anchor_time_ = Clock::now();
            }
            if (record_) {
                std::lock_guard rec_lock(recorder().mutex);
                if (recorder().enabled) {
                    for (const Block& block : done) {
                        recorder().bytes.insert(recorder().bytes.end(), block.data,
                                                block.data + block.length_bytes);
                        ++recorder().buffers;
                    }
                }
            }
            lock.unlock();
            for (const Block& block : done)
                client_->wave_done(block.tag);
            lock.lock();
        }
    }

    const PcmFormat format_;
    const double speed_;
    const bool record_;
    std::uint32_t counter_start_ = 0;
    bool fail_armed_ = false;
    std::uint64_t fail_after_buffers_ = 0;
    int fail_code_ = kOk;

    std::condition_variable wake_;
    bool paused_ = false;
    std::uint64_t queued_frames_ = 0;
    std::uint64_t completed_frames_ = 0;
    std::uint64_t buffers_played_ = 0;
    int failed_ = kOk;
    // Frames of the queue played at anchor_time_ (below 0 once the buffers
    // that played since have gone back).
    std::int64_t anchor_progress_ = 0;
    Clock::time_point anchor_time_ = Clock::now();
    std::thread thread_;
};

// ---------------------------------------------------------------------------
class SimSystem final : public WaveSystem {
public:
    SimSystem(double speed, bool null_device) : speed_(speed), null_(null_device) {}

    std::string backend_name() const override { return null_ ? "null" : "sim"; }
    int device_count() override
    {
        std::lock_guard lock(recorder().mutex);
        return 1 + static_cast<int>(recorder().extra_devices.size());
    }

    int capabilities(int device_id, DeviceCaps& caps) override
    {
        if (device_id < 0 || device_id >= device_count())
            return kErrBadDeviceId;
        if (device_id == 0) {
            caps.product_name = null_ ? "Null wave output" : "Simulated wave output";
        } else {
            std::lock_guard lock(recorder().mutex);
            const auto& extras = recorder().extra_devices;
            if (device_id - 1 >= static_cast<int>(extras.size()))
                return kErrBadDeviceId; // went away meanwhile
            caps.product_name = extras[device_id - 1];
        }
        caps.driver_version = 0x0100;
        caps.formats = kFormatAll;
        caps.channels = 2;
        return kOk;
    }

    int query_format(int device_id, const PcmFormat& format) override
    {
        if (device_id < 0 || device_id >= device_count())
            return kErrBadDeviceId;
        const bool ok = (format.bits_per_sample == 8 || format.bits_per_sample == 16) &&
                        (format.channels == 1 || format.channels == 2) &&
                        format.samples_per_sec >= 1000 && format.samples_per_sec <= 192000;
        return ok ? kOk : kErrBadFormat;
    }

    int open(int device_id, const PcmFormat& format, WaveOutClient* client,
             std::unique_ptr<WaveOutDevice>& device) override
    {
        if (const int result = query_format(device_id, format); result != kOk)
            return result;
        {
            std::lock_guard lock(recorder().mutex);
            if (recorder().failing_opens > 0) {
                --recorder().failing_opens;
                return recorder().open_failure_code;
            }
        }
        device = std::make_unique<SimDevice>(format, null_ ? 0.0 : speed_, !null_, client);
        return kOk;
    }

private:
    const double speed_;
    const bool null_;
};

} // namespace

std::unique_ptr<WaveSystem> make_sim_system(double speed, bool null_device)
{
    return std::make_unique<SimSystem>(speed < 0 ? 0 : speed, null_device);
}

void SimRecorder::set_enabled(bool enabled)
{
    std::lock_guard lock(recorder().mutex);
    recorder().enabled = enabled;
}

void SimRecorder::clear()
{
    std::lock_guard lock(recorder().mutex);
    recorder().bytes.clear();
    recorder().buffers = 0;
}

std::vector<char> SimRecorder::played_bytes()
{
    std::lock_guard lock(recorder().mutex);
    return recorder().bytes;
}

std::uint64_t SimRecorder::played_buffers()
{
    std::lock_guard lock(recorder().mutex);
    return recorder().buffers;
}

void SimRecorder::set_counter_start(std::uint32_t start)
{
    std::lock_guard lock(recorder().mutex);
    recorder().counter_start = start;
}

std::uint32_t SimRecorder::counter_start()
{
    std::lock_guard lock(recorder().mutex);
    return recorder().counter_start;
}

void SimFaults::fail_next_device_after(std::uint64_t buffers, int code)
{
    std::lock_guard lock(recorder().mutex);
    recorder().fail_armed = true;
    recorder().fail_after_buffers = buffers;
    recorder().fail_code = code == kOk ? kErrError : code;
}

void SimFaults::fail_next_opens(int count, int code)
{
    std::lock_guard lock(recorder().mutex);
    recorder().failing_opens = count < 0 ? 0 : count;
    recorder().open_failure_code = code == kOk ? kErrError : code;
}

void SimDevices::set_extra_devices(const std::vector<std::string>& product_names)
{
    std::lock_guard lock(recorder().mutex);
    recorder().extra_devices = product_names;
}

std::vector<std::string> SimDevices::extra_devices()
{
    std::lock_guard lock(recorder().mutex);
    return recorder().extra_devices;
}

void SimFaults::clear()
{
    std::lock_guard lock(recorder().mutex);
    recorder().fail_armed = false;
    recorder().failing_opens = 0;
}

} // namespace pelu::platform::wave
