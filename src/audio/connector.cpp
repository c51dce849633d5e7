#include "audio/connector.h"

#include "platform/clock.h"
#include "platform/mainthread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>

#include <algorithm>
#include <cstring>
#include <vector>

namespace pelu {

namespace {

int group_of(int slot)
{
    switch (slot) {
    case TMMConnector::sLevel1: case TMMConnector::sLevel2: return TMMConnector::gLevels;
    case TMMConnector::sMeter1: case TMMConnector::sMeter2: return TMMConnector::gMeters;
    case TMMConnector::sOscope1: case TMMConnector::sOscope2: return TMMConnector::gOscopes;
    case TMMConnector::sLight1: case TMMConnector::sLight2: return TMMConnector::gLights;
    case TMMConnector::sSpectrogram1: case TMMConnector::sSpectrogram2:
        return TMMConnector::gSpectrograms;
    default: return TMMConnector::gSpectra;
    }
}

std::atomic<bool> g_enter_idle{false};
bool g_feeding = false;                // main thread
std::function<void()> g_cycle_end_hook; // main thread
std::atomic<std::int64_t> g_frame_pace_us{TMMConnector::kFrameUs};

} // namespace

// ---------------------------------------------------------------------------
// The process-wide pump: created with the first connector, destroyed with the
// last. Lives on the main thread; Wake() may be called from any thread.
class ConnectorPump : public QObject {
public:
    static ConnectorPump* instance() { return instance_; }

    static void Register(TMMConnector* connector)
    {
        if (!instance_)
            instance_ = new ConnectorPump();
        instance_->connectors_.push_back(connector);
        instance_->RecomputeSpeed();
    }

    static void Unregister(TMMConnector* connector)
    {
        if (!instance_)
            return;
        auto& list = instance_->connectors_;
        list.erase(std::remove(list.begin(), list.end(), connector), list.end());
        if (list.empty()) {
            delete instance_; // drops its pending pump messages with it
            instance_ = nullptr;
        } else {
            instance_->RecomputeSpeed();
        }
    }

    void RecomputeSpeed()
    {
        max_speed_ = 1;
        for (TMMConnector* c : connectors_)
            max_speed_ = std::max(max_speed_, c->Speed());
    }

    void ActiveChanged(int delta) { active_count_ += delta; }
    int ActiveCount() const { return active_count_; }
    // When the next cycle is set for (-1: none).
    std::int64_t ArmedAtUs() const { return timer_.isActive() ? armed_at_us_.load() : -1; }

    // Asks for one pump cycle soon (any thread). At most one wake-up is queued,
    // and none when a cycle is already set for within one frame: that one
    // will find the new data.
    void Wake()
    {
        const std::int64_t armed = armed_at_us_.load();
        if (armed >= 0 && armed <= platform::now_us() + TMMConnector::FramePaceUs())
            return;
        if (wake_posted_.exchange(true))
            return;
        platform::post(
            this, [this] {
                wake_posted_ = false;
                Pump();
            });
    }

    ~ConnectorPump() override { platform::cancel_posted(this); }

private:
    ConnectorPump()
    {
        setObjectName(QStringLiteral("TMMConnectorWindow"));
        timer_.setSingleShot(true);
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] { Pump(); });
    }

    void Pump()
    {
        // A slower Speed gives the application more turns between cycles.
        for (int i = 0; i < TMMConnector::kMaxSpeed - max_speed_; ++i)
            platform::process_pending_events();
        // From here on a wake-up must post: this cycle may already have passed the data.
        armed_at_us_ = -1;
        if (active_count_ <= 0 || QCoreApplication::closingDown())
            return;
        // At the screen's pace: too soon after the last cycle, wait for the next frame.
        if (platform::now_us() < last_cycle_us_ + TMMConnector::FramePaceUs()) {
            Arm(last_cycle_us_ + TMMConnector::FramePaceUs());
            return;
        }
        last_cycle_us_ = platform::now_us();
        // A copy: a display may stop or destroy a connector while being fed.
        const std::vector<TMMConnector*> snapshot = connectors_;
        g_feeding = true;
        for (TMMConnector* c : snapshot) {
            if (std::find(connectors_.begin(), connectors_.end(), c) == connectors_.end())
                continue;
            if (c->AutoTrigger() && c->Enabled() && c->IsActive())
                c->Feed(true);
        }
        g_feeding = false;
        // The next cycle is set before the hook runs: the hook may plan on it.
        if (instance_ == this && active_count_ > 0)
            ArmNext();
        if (g_cycle_end_hook)
            g_cycle_end_hook();
    }

    // Sleep until the earliest slice is due; data arriving wakes us sooner.
    void ArmNext()
    {
        std::int64_t due = -1;
        for (TMMConnector* c : connectors_) {
            if (!(c->AutoTrigger() && c->Enabled() && c->IsActive()))
                continue;
            const std::int64_t next = c->NextDueUs();
            if (next >= 0 && (due < 0 || next < due))
                due = next;
        }
        if (due < 0) {
            timer_.stop();
            return;
        }
        Arm(std::max(due, last_cycle_us_ + TMMConnector::FramePaceUs()));
    }

    void Arm(std::int64_t at_us)
    {
        const std::int64_t wait_us = at_us - platform::now_us();
        // Rounded up: a slice is never shown before its sound is heard.
        const int wait_ms = wait_us <= 0 ? 0 : static_cast<int>((wait_us + 999) / 1000);
        timer_.start(wait_ms);
        armed_at_us_ = at_us;
    }

    static inline ConnectorPump* instance_ = nullptr;
    std::vector<TMMConnector*> connectors_;
    int max_speed_ = TMMConnector::kMaxSpeed;
    int active_count_ = 0;
    std::atomic<bool> wake_posted_{false};
    // When the timer is set to run the next cycle (-1: not set); read by Wake.
    std::atomic<std::int64_t> armed_at_us_{-1};
    std::int64_t last_cycle_us_ = 0;
    QTimer timer_;
};

// ---------------------------------------------------------------------------

TMMConnector::TMMConnector(QObject* parent) : TMMDSPComponent(parent)
{
    ConnectorPump::Register(this);
    platform::attach_to_main_loop(); // wake-ups come from the audio thread
    // The platform's 1 ms timer resolution request has no counterpart here:
    // our timers are precise without it.
}

TMMConnector::~TMMConnector()
{
    Stopped();
    Deactivate();
    platform::cancel_posted(this);
    ConnectorPump::Unregister(this);
}

int TMMConnector::RefreshCount(Group group) const
{
    std::lock_guard lock(mutex_);
    return refresh_count_[group];
}

const WaveFormat* TMMConnector::DisplayFormat() const
{
    return reinterpret_cast<const WaveFormat*>(display_format_.get());
}

bool TMMConnector::Feeding() { return g_feeding; }

void TMMConnector::SetFramePaceUs(std::int64_t pace_us)
{
    // A cycle must come round before the work ring wraps (kBlocks of the
    // player's 46 ms buffers last 370 ms).
    constexpr std::int64_t kLongestUs = 200000;
    g_frame_pace_us = std::clamp<std::int64_t>(pace_us, kFrameUs, kLongestUs);
}

std::int64_t TMMConnector::FramePaceUs() { return g_frame_pace_us.load(); }

void TMMConnector::SetCycleEndHook(std::function<void()> hook) { g_cycle_end_hook = std::move(hook); }

std::int64_t TMMConnector::NextCycleUs()
{
    return ConnectorPump::instance() ? ConnectorPump::instance()->ArmedAtUs() : -1;
}

bool TMMConnector::GroupConnected(int group) const
{
    for (int s = 0; s < kSlotCount; ++s)
        if (group_of(s) == group && slots_[s] && slots_[s]->WantsData())
            return true;
    return false;
}

void TMMConnector::UpdateGroupsConnected()
{
    for (int g = 0; g < kGroupCount; ++g)
        group_connected_[g] = GroupConnected(g);
}

bool TMMConnector::AnyGroupConnected() const
{
    for (const auto& connected : group_connected_)
        if (connected)
            return true;
    return false;
}

// --- properties ---------------------------------------------------------------

void TMMConnector::SetDisplay(Slot slot, TMMDisplay* display)
{
    if (slots_[slot] == display)
        return;
    QObject::disconnect(slot_watch_[slot]);
    slots_[slot] = display;
    if (display) {
        // Shown, hidden, switched on or off: whether the group is fed follows.
        slot_watch_[slot] = connect(display, &TMMDisplay::WantsDataChanged, this,
                                    &TMMConnector::UpdateGroupsConnected);
        // A destroyed display leaves its slot empty (the QPointer) and its group unfed.
        connect(display, &QObject::destroyed, this, &TMMConnector::UpdateGroupsConnected,
                Qt::ConnectionType(Qt::QueuedConnection | Qt::UniqueConnection));
    }
    UpdateGroupsConnected();
    if (display && DisplayFormat())
        display->SetPWaveFormat(DisplayFormat());
}

void TMMConnector::SetSpeed(int speed)
{
    speed = std::clamp(speed, 1, kMaxSpeed);
    if (speed == speed_)
        return;
    speed_ = speed;
    if (ConnectorPump::instance())
        ConnectorPump::instance()->RecomputeSpeed();
}

void TMMConnector::SetRealTime(bool value)
{
    if (value == real_time_)
        return;
    if (IsOpened())
        throw EMMConnectorError("Change to property while device was open");
    real_time_ = value;
}

void TMMConnector::SetAutoTrigger(bool value)
{
    if (value == auto_trigger_)
        return;
    // Keep the count of active auto-triggering connectors true.
    if (active_ && ConnectorPump::instance())
        ConnectorPump::instance()->ActiveChanged(value ? 1 : -1);
    auto_trigger_ = value;
    if (value && active_ && ConnectorPump::instance())
        ConnectorPump::instance()->Wake();
}

bool TMMConnector::EnterIdle() const { return g_enter_idle; }

// Qt's event loop needs no idle handler to keep the pump turning; the flag is
// kept (process-wide, as stored settings expect) and has no further effect.
void TMMConnector::SetEnterIdle(bool value) { g_enter_idle = value; }

void TMMConnector::SetEnabled(bool enabled)
{
    if (enabled == enabled_)
        return;
    enabled_ = enabled;
    if (!enabled) {
        Deactivate();
        ResetDisplays();
    } else if (running_ && real_time_) {
        PostStart();
    }
}

// --- chain -----------------------------------------------------------------------

void TMMConnector::InitDisplays()
{
    const WaveFormat* format = nullptr;
    if (running_) {
        format = DisplayFormat();
    } else {
        const WaveFormat* input = GetPWaveFormat();
        // Only PCM reaches the displays: there is no format converter here, so a
        // compressed format is neither native nor convertible.
        native_ = input && input->format_tag == kWaveFormatPcm;
        if (!native_)
            return;
        display_format_ = copy_wave_format(input);
        format = DisplayFormat();
    }
    if (!format)
        return;
    silence_ = format->bits_per_sample == 8 ? 128 : 0;
    for (auto& display : slots_)
        if (display)
            display->SetPWaveFormat(format);
}

void TMMConnector::SetPWaveFormat(const WaveFormat* format)
{
    TMMDSPComponent::SetPWaveFormat(format);
    InitDisplays();
}

void TMMConnector::Started()
{
    TMMDSPComponent::Started();
    const WaveFormat* format = GetPWaveFormat();
    if (!format || running_)
        return;
    if (format->format_tag != kWaveFormatPcm) {
        native_ = false;
        return; // not convertible: the connector stays inactive
    }
    native_ = true;
    display_format_ = copy_wave_format(format);
    {
        std::lock_guard lock(mutex_);
        work_size_ = std::max(0, BufferSize());
        work_.reset(new char[std::size_t(kBlocks) * std::max(1, work_size_)]());
        block_valid_.fill(0);
        head_ = 0;
        read_block_.fill(0);
        work_avg_bytes_per_sec_ = format->avg_bytes_per_sec;
        refresh_.fill(false);
        read_offset_.fill(0);
        refresh_count_.fill(0);
        stamp_us_ = platform::now_us();
    }
    running_ = true;
    InitDisplays();
    if (enabled_ && real_time_)
        PostStart();
}

void TMMConnector::PostStart()
{
    // The start message: the connector begins to be pumped once the main loop turns.
    QMetaObject::invokeMethod(this, [this] { HandleStartMessage(); }, Qt::QueuedConnection);
}

void TMMConnector::HandleStartMessage()
{
    if (!running_ || !enabled_ || active_)
        return;
    pending_requests_ = 0;
    active_ = true;
    if (auto_trigger_ && ConnectorPump::instance()) {
        ConnectorPump::instance()->ActiveChanged(1);
        ConnectorPump::instance()->Wake();
    }
}

void TMMConnector::Deactivate()
{
    if (!active_)
        return;
    active_ = false;
    if (auto_trigger_ && ConnectorPump::instance())
        ConnectorPump::instance()->ActiveChanged(-1);
}

void TMMConnector::ResetDisplays()
{
    for (auto& display : slots_)
        if (display)
            display->ResetDisplay();
}

void TMMConnector::Stopped()
{
    if (running_) {
        running_ = false;
        Deactivate();
        RemovePauseTimer();
        {
            std::lock_guard lock(mutex_);
            paused_ = false;
            work_.reset();
            work_size_ = 0;
            block_valid_.fill(0);
            refresh_.fill(false);
        }
        display_format_.reset();
        if (refresh_on_stop_)
            ResetDisplays();
    }
    TMMDSPComponent::Stopped();
}

void TMMConnector::FillSilence()
{
    if (!work_)
        return;
    std::memset(Block(head_), silence_, static_cast<std::size_t>(work_size_));
    BlockValid(head_) = work_size_;
}

void TMMConnector::Paused()
{
    if (!running_ || paused_)
        return;
    int interval_ms = 25;
    {
        // Set under the lock DataIn checks it under: a buffer copied in after the
        // silence would otherwise stand where the pause decay shows silence.
        std::lock_guard lock(mutex_);
        paused_ = true;
        FillSilence();
        if (work_size_ <= 8191 && work_avg_bytes_per_sec_ > 0)
            interval_ms = static_cast<int>(std::int64_t(work_size_) * 1000 / work_avg_bytes_per_sec_);
    }
    if (!real_time_)
        return;
    pause_timer_ = platform::TimerService::instance().add_entry(
        interval_ms, 0, [](void* target) { static_cast<TMMConnector*>(target)->PauseTick(); },
        this);
    if (pause_timer_ == 0)
        throw EOutOfResources("Not enough timers available");
}

void TMMConnector::PauseTick()
{
    // Timer thread, under the timer service's lock: only the time of the tick
    // is left for the next feeding pass, never our lock taken here (a display
    // fed under our lock may take the service's lock to set its peak timer).
    pause_tick_us_ = platform::now_us();
    if (active_ && AnyGroupConnected() && ConnectorPump::instance())
        ConnectorPump::instance()->Wake();
}

void TMMConnector::TakePauseTick()
{
    const std::int64_t tick_us = pause_tick_us_.exchange(-1);
    if (tick_us < 0 || !paused_)
        return;
    // The silence again from its start, so the displays decay to rest; a
    // group still showing older buffers comes to it after them.
    stamp_us_ = tick_us;
    for (int g = 0; g < kGroupCount; ++g)
        if (group_connected_[g]) {
            if (!refresh_[g] || read_block_[g] == head_) {
                read_block_[g] = head_;
                read_offset_[g] = 0;
            }
            refresh_[g] = true;
        }
}

void TMMConnector::RemovePauseTimer()
{
    // Never under our lock: the timer's callback takes it under the service's lock.
    if (pause_timer_ != 0) {
        platform::TimerService::instance().remove_entry(pause_timer_);
        pause_timer_ = 0;
    }
}

void TMMConnector::Restarted()
{
    if (!paused_)
        return;
    {
        std::lock_guard lock(mutex_);
        paused_ = false;
    }
    if (real_time_)
        RemovePauseTimer();
}

void TMMConnector::Reset()
{
    if (!running_)
        return;
    std::lock_guard lock(mutex_);
    FillSilence();
}

void TMMConnector::BufferReady(ExtendedWaveHeader* lpWaveHdr)
{
    ExtendedWaveHeader* shown = lpWaveHdr;
    // The buffer the device plays now, unless there is none or nothing was played.
    if (synchronize_ && lpWaveHdr->next_header && lpWaveHdr->bytes_recorded > 0)
        shown = lpWaveHdr->next_header;
    DataIn(shown->data, static_cast<int>(shown->bytes_recorded));
    TMMDSPComponent::BufferReady(lpWaveHdr);
}

void TMMConnector::BufferLoad(ExtendedWaveHeader* lpWaveHdr, bool& MoreBuffers)
{
    TMMDSPComponent::BufferLoad(lpWaveHdr, MoreBuffers);
    DataIn(lpWaveHdr->data, static_cast<int>(lpWaveHdr->bytes_recorded));
}

// --- feeding -----------------------------------------------------------------------

void TMMConnector::DataIn(const char* data, int count_bytes)
{
    // Nobody would see it: neither copy nor wake anyone.
    if (!enabled_ || !native_ || !data || !AnyGroupConnected())
        return;
    {
        std::lock_guard lock(mutex_);
        // Paused is decided under the lock: see Paused().
        if (!work_ || paused_)
            return;
        // What the groups have not shown of the older buffers stays in the
        // ring for the next cycle, which feeds it first.
        ++head_;
        stamp_us_ = platform::now_us();
        const int n = std::max(0, std::min(count_bytes, work_size_));
        std::memcpy(Block(head_), data, static_cast<std::size_t>(n));
        BlockValid(head_) = n;
        for (int g = 0; g < kGroupCount; ++g) {
            if (!refresh_[g] || !group_connected_[g]) {
                // Nothing left to show: start at the new buffer.
                read_block_[g] = head_;
                read_offset_[g] = 0;
            } else if (read_block_[g] <= head_ - kBlocks) {
                // Overwritten before it was shown (the main thread stalled).
                read_block_[g] = head_ - kBlocks + 1;
                read_offset_[g] = 0;
            }
        }
        if (n <= 0)
            return;
        for (int g = 0; g < kGroupCount; ++g)
            if (group_connected_[g])
                refresh_[g] = true;
    }
    if (!real_time_) {
        if (auto_trigger_)
            Trigger(); // in the calling thread, as asked for without RealTime
        return;
    }
    if (active_ && auto_trigger_ && ConnectorPump::instance())
        ConnectorPump::instance()->Wake();
}

void TMMConnector::Trigger() { Feed(false); }

void TMMConnector::Feed(bool all_due)
{
    if (!enabled_ || !(active_ || (running_ && !real_time_)))
        return;
    {
        std::lock_guard lock(mutex_);
        if (!work_)
            return;
        TakePauseTick();
        const std::int64_t now = platform::now_us();
        // Oscilloscope triggering and spectrogram acceleration are not
        // built: no display here offers them.
        auto feed = [this](int g, const char* slice) {
            for (int s = 0; s < kSlotCount; ++s)
                if (group_of(s) == g && slots_[s] && slots_[s]->WantsData())
                    slots_[s]->ProcessData(slice);
            ++refresh_count_[g];
        };
        for (int g = 0; g < kGroupCount; ++g) {
            const int step = group_connected_[g] ? GroupStep(g) : 0;
            if (step <= 0) {
                refresh_[g] = false;
                continue;
            }
            // The older buffers have been heard: the rest of them is due
            // (a single pass skips to the newest, as feeding slice by slice does).
            for (; refresh_[g] && read_block_[g] < head_; ++read_block_[g], read_offset_[g] = 0)
                for (; all_due && read_offset_[g] + step <= BlockValid(read_block_[g]); read_offset_[g] += step)
                    feed(g, Block(read_block_[g]) + read_offset_[g]);
            // Then every slice of this buffer whose sound has been heard, in order.
            while (refresh_[g]) {
                const bool due = !synchronize_ || work_avg_bytes_per_sec_ == 0 ||
                                 (now - stamp_us_) >= std::int64_t(read_offset_[g]) * 1000000 /
                                                          work_avg_bytes_per_sec_;
                if (!due)
                    break;
                const int start = read_offset_[g];
                read_offset_[g] += step;
                if (start + step > BlockValid(head_)) {
                    refresh_[g] = false;
                    break;
                }
                feed(g, Block(head_) + start);
                if (!all_due)
                    break;
            }
        }
    }
    if (OnTrigger)
        OnTrigger(this);
}

int TMMConnector::GroupStep(int group) const
{
    int step = 0;
    for (int s = 0; s < kSlotCount; ++s)
        if (group_of(s) == group && slots_[s])
            step = std::max(step, slots_[s]->DataSize());
    return step;
}

std::int64_t TMMConnector::NextDueUs()
{
    std::lock_guard lock(mutex_);
    if (!work_)
        return -1;
    if (pause_tick_us_ >= 0)
        return platform::now_us();
    std::int64_t due = -1;
    for (int g = 0; g < kGroupCount; ++g) {
        if (!group_connected_[g])
            continue;
        if (!refresh_[g])
            continue;
        // What is left of the older buffers is due now.
        if (read_block_[g] < head_)
            return platform::now_us();
        // A group that has shown all of this buffer waits for the next one,
        // whose arrival wakes the pump: no wake-up just to find that out.
        const int step = GroupStep(g);
        if (step <= 0 || read_offset_[g] + step > BlockValid(head_))
            continue;
        std::int64_t at = platform::now_us();
        if (synchronize_ && work_avg_bytes_per_sec_ > 0)
            at = stamp_us_ + std::int64_t(read_offset_[g]) * 1000000 / work_avg_bytes_per_sec_;
        if (due < 0 || at < due)
            due = at;
    }
    return due;
}

void TMMConnector::RequestTrigger()
{
    if (!enabled_ || !(active_ || (running_ && !real_time_)) || auto_trigger_ ||
        pending_requests_ > 0)
        return;
    if (platform::is_main_thread()) {
        Trigger();
        return;
    }
    ++pending_requests_;
    platform::post(
        this, [this] {
            if (enabled_ && active_)
                Trigger();
            if (pending_requests_ > 0)
                --pending_requests_;
        });
}

} // namespace pelu
