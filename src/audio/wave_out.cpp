#include "audio/wave_out.h"

#include "platform/mainthread.h"

#include <QMetaObject>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>
#include <utility>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace pelu {

namespace wave = platform::wave;

namespace {

// A copy with a buffer of its own.
QString unshared(const QString& text)
{
    return QString(text.constData(), text.size());
}

const char* const kNoDevice = "No wave audio playing device found";
const char* const kLabelOpen = "WaveOutOpen:\n\r";
const char* const kLabelClose = "WaveOutClose:\n\r";
const char* const kLabelStart = "WaveOutStart:\n\r";
const char* const kLabelReset = "WaveOutReset:\n\r";
const char* const kLabelWrite = "WaveOutWrite:\n\r";
const char* const kLabelGetPosition = "WaveOutGetPosition:\n\r";

// Waits of the device protocol: 500 polls 10 ms apart.
constexpr int kDeviceWaitMs = 5000;

std::uint32_t& header_flags(ExtendedWaveHeader* h) { return h->flags; }

// The done flag is set by the device's thread and read by others.
void set_flag(ExtendedWaveHeader* h, std::uint32_t flag)
{
    std::atomic_ref<std::uint32_t>(header_flags(h)).fetch_or(flag);
}
void clear_flag(ExtendedWaveHeader* h, std::uint32_t flag)
{
    std::atomic_ref<std::uint32_t>(header_flags(h)).fetch_and(~flag);
}
bool has_flag(ExtendedWaveHeader* h, std::uint32_t flag)
{
    return std::atomic_ref<std::uint32_t>(header_flags(h)).load() & flag;
}

QString device_text(int result)
{
    return QString::fromStdString(wave::error_text(result));
}

// Nice values for the callback thread's priority; raising needs privileges we
// may not have, and then the thread simply runs at normal priority.
int nice_for(TMMWaveOut::TMMThreadPriority priority)
{
    switch (priority) {
    case TMMWaveOut::tpIdle: return 19;
    case TMMWaveOut::tpLowest: return 10;
    case TMMWaveOut::tpLower: return 5;
    case TMMWaveOut::tpNormal: return 0;
    case TMMWaveOut::tpHigher: return -5;
    case TMMWaveOut::tpHighest: return -10;
    }
    return 0;
}

} // namespace

// ---------------------------------------------------------------------------
// TMMWaveOut

std::function<void(const QString&, const QString&)> TMMWaveOut::ShowMessage =
    [](const QString& caption, const QString& text) {
        std::fprintf(stderr, "%s: %s\n", caption.toLocal8Bit().constData(),
                     text.toLocal8Bit().constData());
    };
std::function<void(bool)> TMMWaveOut::SetBusyCursor;
std::function<void(const QString&)> TMMWaveOut::ReportThreadError = [](const QString& text) {
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
};

TMMWaveOut::TMMWaveOut(QObject* parent)
    : TMMCustomSoundComponent(parent), num_devs_(wave::wave_system().device_count())
{
    TMMDSPComponent::SetBufferSize(2048);
    platform::attach_to_main_loop(); // end-of-data and buffer notices are posted
}

TMMWaveOut::~TMMWaveOut()
{
    destroying_ = true;
    try {
        // A stop a handler is finishing would complete through an end-of-data
        // message that will never be delivered now.
        CloseCompletely();
    } catch (const std::exception&) {
        // Nothing is shown while the component goes away.
    }
    device_.reset();
    platform::cancel_posted(this);
}

void TMMWaveOut::Fail(const QString& text)
{
    if (OnError)
        OnError(this);
    throw EMMWaveOutError(text.toStdString());
}

void TMMWaveOut::CheckClosedForChange()
{
    if (life_ != OutputLife::Closed)
        Fail(QStringLiteral("Change to property while device was open"));
}

int TMMWaveOut::State() const
{
    int state = 0;
    if (life_ != OutputLife::Closed)
        state |= dsOpen;
    if (IsPlaying())
        state |= dsPlaying;
    if (paused_)
        state |= dsPaused;
    return state;
}

bool TMMWaveOut::WaitFor(const std::function<bool()>& condition, int timeout_ms)
{
    std::unique_lock lock(device_lock_);
    return device_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), condition);
}

// --- properties -------------------------------------------------------------

void TMMWaveOut::SetBufferSize(std::int32_t bytes)
{
    CheckClosedForChange();
    bytes = std::max<std::int32_t>(bytes, 32);
    if (bytes == StoredBufferSize())
        return;
    allocator_.FreeAll(); // cached blocks have the old size
    if (play_)
        for (auto& header : play_->headers)
            header = nullptr;
    TMMDSPComponent::SetBufferSize(bytes);
}

void TMMWaveOut::SetNumBuffers(int count)
{
    CheckClosedForChange();
    if (count <= 1)
        return;
    num_buffers_ = std::min(count, kMaxBuffers);
}

void TMMWaveOut::SetDeviceID(int id)
{
    CheckClosedForChange();
    num_devs_ = wave::wave_system().device_count(); // a device plugged in since is a valid choice
    device_id_ = (id < kWaveMapper || id >= num_devs_) ? kInvalidDevice : id;
}

int TMMWaveOut::DeviceToOpen() const
{
    // The mapper picks the default device, which is device 0 here.
    return device_id_ == kWaveMapper ? 0 : device_id_;
}

QString TMMWaveOut::ProductName() const
{
    if (num_devs_ <= 0)
        return QString::fromLatin1(kNoDevice);
    wave::DeviceCaps caps;
    if (device_id_ == kInvalidDevice ||
        wave::wave_system().capabilities(DeviceToOpen(), caps) != wave::kOk)
        return QString();
    return QString::fromStdString(caps.product_name);
}

void TMMWaveOut::SetCallBackMode(TMMCallBackMode mode)
{
    CheckClosedForChange();
    if (mode == cmCallback) {
        if (ShowMessage)
            ShowMessage(QStringLiteral("TMMWaveOut"),
                        QStringLiteral("\"CallBacks\" are called at interrupt time !\n\r"
                                       "This is currently only supported under Windows 95"));
        return;
    }
    callback_mode_ = mode;
}

QString TMMWaveOut::LastThreadError() const
{
    std::lock_guard lock(device_lock_);
    return unshared(last_thread_error_);
}

// --- format check and open ----------------------------------------------------

bool TMMWaveOut::CanPlay(const WaveFormat* format)
{
    if (!format || device_id_ == kInvalidDevice || num_devs_ <= 0)
        return false;
    const wave::PcmFormat pcm{static_cast<int>(format->samples_per_sec), format->channels,
                              format->bits_per_sample};
    if (format->format_tag != kWaveFormatPcm)
        return false; // the devices here play PCM only
    last_result_ = wave::wave_system().query_format(DeviceToOpen(), pcm);
    if (last_result_ != wave::kOk)
        return false;
    wave::DeviceCaps caps;
    if (wave::wave_system().capabilities(DeviceToOpen(), caps) != wave::kOk)
        return false;
    std::uint32_t base = 0;
    const std::uint32_t rate = format->samples_per_sec;
    if (rate >= 8000 && rate <= 11025)
        base = wave::kFormat1M08;
    else if (rate >= 11026 && rate <= 22050)
        base = wave::kFormat2M08;
    else if (rate >= 22051 && rate <= 48000)
        base = wave::kFormat4M08;
    if (base == 0 || (format->bits_per_sample != 8 && format->bits_per_sample != 16))
        return true; // the query's answer stands
    std::uint32_t bit = base;
    if (format->channels == 2)
        bit <<= 1;
    if (format->bits_per_sample == 16)
        bit <<= 2;
    return (caps.formats & bit) != 0;
}


void TMMWaveOut::Open()
{
    if (num_devs_ <= 0)
        Fail(QString::fromLatin1(kNoDevice));
    if (device_id_ == kInvalidDevice)
        Fail(QStringLiteral("Invalid DeviceID"));
    if (!GetPWaveFormat())
        Fail(QString::fromLatin1(kLabelOpen) + QStringLiteral("Invalid wave format"));

    PrepareForNewPlay(QString::fromLatin1(kLabelOpen) + QStringLiteral("Unable to open device"));
    if (life_ != OutputLife::Closed) {
        Close();
        if (life_ != OutputLife::Closed)
            return; // a handler of that close opened the device again
    }
    // Read again: a handler of the close may have brought another format.
    const WaveFormat* format = GetPWaveFormat();
    if (!format)
        Fail(QString::fromLatin1(kLabelOpen) + QStringLiteral("Invalid wave format"));
    broken_ = false;
    ++open_serial_;

    try {
        if (!CanPlay(format))
            throw EMMWaveOutError(std::string(kLabelOpen) +
                                  "The actual device can''t play this format");
        {
            std::lock_guard lock(device_lock_);
            device_opened_ = device_closed_ = false;
        }
        // From here on Close has something to undo.
        life_ = OutputLife::Open;
        paused_ = false;
        PropagateOpen();

        const wave::PcmFormat pcm{static_cast<int>(format->samples_per_sec), format->channels,
                                  format->bits_per_sample};
        last_result_ = wave::wave_system().open(DeviceToOpen(), pcm, this, device_);
        if (last_result_ != wave::kOk)
            throw EMMWaveOutError(std::string(kLabelOpen) + wave::error_text(last_result_));
        if (!WaitFor([this] { return device_opened_; }, kDeviceWaitMs))
            throw EMMWaveOutError(std::string(kLabelOpen) + "Unable to open device");
    } catch (const EMMWaveOutError&) {
        if (OnError)
            OnError(this);
        try {
            CloseCompletely();
        } catch (const EMMWaveOutError&) {
        }
        life_ = OutputLife::Closed;
        paused_ = false;
        throw;
    }
    if (OnOpen)
        OnOpen(this);
}

// --- start ------------------------------------------------------------------

ExtendedWaveHeader* TMMWaveOut::HeaderAt(WavePlay& play, int index)
{
    if (!play.headers[index]) {
        const std::uint32_t data_size = static_cast<std::uint32_t>(BufferSize());
        void* block = allocator_.Get(sizeof(ExtendedWaveHeader) + data_size);
        if (!block)
            throw EMMWaveOutError("Unable to allocate memory for wave header");
        auto* header = new (block) ExtendedWaveHeader();
        header->data = static_cast<char*>(block) + sizeof(ExtendedWaveHeader);
        header->buffer_length = data_size;
        play.headers[index] = header;
    }
    return play.headers[index];
}

std::int32_t TMMWaveOut::LoadHeader(WavePlay& play, ExtendedWaveHeader* header)
{
    play.more_buffers = false;
    header->buffer_length = static_cast<std::uint32_t>(BufferSize());
    header->bytes_recorded = 0;
    header->loop_flag = looping_ ? kTrue32 : 0;
    if (looping_) {
        header->loop_count = loop_count_;
        header->loops_remaining = play.loops_remaining;
        header->looped_marker = 0;
    }
    BufferLoad(header, play.more_buffers);
    header->buffer_length = std::min(header->bytes_recorded,
                                     static_cast<std::uint32_t>(BufferSize()));
    header->bytes_recorded = header->buffer_length;
    if (looping_)
        play.loops_remaining = header->loops_remaining;
    const std::int32_t loaded = static_cast<std::int32_t>(header->bytes_recorded);
    play.promised_more = play.more_buffers;
    if (loaded <= 0)
        play.more_buffers = false;
    return loaded;
}

void TMMWaveOut::WriteHeader(WavePlay& play, ExtendedWaveHeader* header)
{
    if (OnBufferFilled)
        OnBufferFilled(this, header);
    set_flag(header, kWhdrPrepared);
    clear_flag(header, kWhdrDone);
    header->saved_length = header->bytes_recorded;
    // Counted before the write: a fast device may return the buffer before
    // write() comes back, and the count must never dip below zero. Decided
    // under the lock a stop moves the phase under.
    {
        std::lock_guard lock(device_lock_);
        if (!play.Writing())
            return;
        ++play.queued_count;
    }
    const int result = device_->write(header->data, header->buffer_length, header);
    if (result != wave::kOk) {
        {
            std::lock_guard lock(device_lock_);
            --play.queued_count;
        }
        device_cv_.notify_all();
        throw EMMWaveOutError(std::string(kLabelWrite) + wave::error_text(result));
    }
    // The header is the device's until it comes back: nothing more is written to it here.
}

void TMMWaveOut::Start()
{
    PrepareForNewPlay(QString::fromLatin1(kLabelStart) + QStringLiteral("Unable to start device"));
    if (life_ == OutputLife::Closed)
        Open();
    if (life_ == OutputLife::Closed || IsPlaying())
        return;

    const auto play = std::make_shared<WavePlay>();
    play->loops_remaining = loop_count_;
    {
        std::lock_guard lock(device_lock_);
        play_ = play; // notices of the play before are stale from here on
    }
    bool busy = false;
    try {
        if (show_hour_glass_ && std::int64_t(BufferSize()) * num_buffers_ > 100000 &&
            SetBusyCursor) {
            SetBusyCursor(true);
            busy = true;
        }
        device_->pause(); // nothing plays until every buffer is queued
        PropagateStart();

        play->more_buffers = true;
        int written = 0;
        for (int i = 0; i < num_buffers_ && play->more_buffers; ++i) {
            ExtendedWaveHeader* header = HeaderAt(*play, i);
            set_flag(header, kWhdrPrepared);
            if (LoadHeader(*play, header) < 1)
                break;
            WriteHeader(*play, header);
            ++written;
            play->buffers_in_use = written;
        }
        play->buffers_in_use = written;
        {
            std::lock_guard lock(device_lock_);
            play->MoveTo(play->more_buffers ? PlayPhase::Playing : PlayPhase::Draining);
        }
        if (busy) {
            SetBusyCursor(false);
            busy = false;
        }
        if (written == 0) {
            PropagateStop();
            throw EMMWaveOutError(std::string(kLabelStart) + "Unable to start device");
        }
        if (!paused_)
            device_->restart();
    } catch (const EMMWaveOutError&) {
        if (busy && SetBusyCursor)
            SetBusyCursor(false);
        if (OnError)
            OnError(this);
        // A play that never started does not end with OnStop: a handler that
        // answers OnStop by starting again (the next title, or the same one when
        // looping) would otherwise recurse on a file it cannot play.
        play->announce_stop = false;
        try {
            if (play_ == play && play->Phase() < PlayPhase::StopRequested)
                StopPlay();
            CloseCompletely();
        } catch (const EMMWaveOutError&) {
        }
        life_ = OutputLife::Closed;
        paused_ = false;
        throw;
    }
    if (OnStart)
        OnStart(this);
}

// --- the buffer-done path ---------------------------------------------------------

void TMMWaveOut::wave_opened()
{
    // Called on the device's thread, which refills buffers in cmThread mode.
    if (callback_mode_ == cmThread)
        if (const int nice_value = nice_for(priority_); nice_value != 0)
            setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), nice_value);
    {
        std::lock_guard lock(device_lock_);
        device_opened_ = true;
    }
    device_cv_.notify_all();
}

void TMMWaveOut::wave_closed()
{
    {
        std::lock_guard lock(device_lock_);
        device_closed_ = true;
    }
    device_cv_.notify_all();
}

void TMMWaveOut::wave_failed(int code)
{
    // The device is gone for good: the output's error, then stopped and closed
    // on the main thread, as after a failure of the callback thread.
    OnHandlerFailed(QString::fromLatin1(kLabelWrite) + device_text(code));
}

void TMMWaveOut::wave_done(void* tag)
{
    auto* header = static_cast<ExtendedWaveHeader*>(tag);
    set_flag(header, kWhdrDone);
    std::shared_ptr<WavePlay> play;
    bool forward = false;
    {
        std::lock_guard lock(device_lock_);
        play = play_;
        if (play) {
            --play->queued_count;
            if (play->discarding) {
                if (play->queued_count <= 0)
                    play->discarding = false;
            } else if (play->Writing() && !broken_) {
                // A stopping play and a failed handler take no more buffers.
                forward = true;
                ++play->messages_pending;
            }
        }
    }
    device_cv_.notify_all();
    if (!forward)
        return;
    if (callback_mode_ == cmThread) {
        // The device's own thread is the callback thread: it refills the buffer
        // right here, one hand-over per buffer instead of a second thread's wake-up.
        try {
            HandleBufferDone(header, play);
        } catch (const std::exception& error) {
            // The device is closed from the main thread: Stop and Close wait
            // with sleeps and walk the chain, which this thread must not do.
            OnHandlerFailed(QString::fromLocal8Bit(error.what()));
        }
    } else {
        // cmWindow: the main thread handles the buffer, as a window message would.
        platform::post(
            this, [this, header, play] {
                try {
                    HandleBufferDone(header, play);
                } catch (const std::exception& error) {
                    OnHandlerFailed(QString::fromLocal8Bit(error.what()));
                }
            });
    }
}

std::uint64_t TMMWaveOut::DevicePositionSamples()
{
    std::uint64_t samples = 0;
    if (!device_)
        return 0;
    const int result = device_->position_samples(samples);
    if (result != wave::kOk)
        throw EMMWaveOutError(std::string(kLabelGetPosition) + wave::error_text(result));
    return samples;
}

std::uint64_t TMMWaveOut::CheckedDevicePosition(WavePlay* play)
{
    // A device counter that wrapped must not make the position jump back. Every
    // reader checks, not only the buffer handler: a position read between the
    // wrap and the next returned buffer would otherwise go back by the wrap.
    const std::uint64_t position = DevicePositionSamples();
    if (!play)
        return position;
    std::lock_guard lock(device_lock_);
    if (position + 0xFFFE < play->last_device_position) {
        play->wrap_amount = static_cast<std::int64_t>(play->last_device_position | 0xFFFFF);
        ++play->wrap_count;
    }
    play->last_device_position = position;
    return position;
}

void TMMWaveOut::HandleBufferDone(ExtendedWaveHeader* header,
                                  const std::shared_ptr<WavePlay>& play_ptr)
{
    WavePlay& play = *play_ptr;
    {
        std::lock_guard lock(device_lock_);
        if (play_ptr != play_)
            return; // a notice from an earlier play
        --play.messages_pending;
        if (!play.Handling() || play.discarding) {
            device_cv_.notify_all();
            return;
        }
        ++play.handlers_running;
    }

    // Whatever happens below, the end is checked and the handler count drops.
    // The count drops last: the main thread may complete a stop and close the
    // device as soon as it reaches 0, so nothing here touches the device after.
    // A handler that fails posts no end of its own (its failure report stops
    // the output), but a stop that waits for it always gets its end message.
    struct Finish {
        TMMWaveOut* self;
        const std::shared_ptr<WavePlay>& play;
        int exceptions = std::uncaught_exceptions();
        ~Finish()
        {
            const bool failing = std::uncaught_exceptions() > exceptions;
            bool ended = false;
            {
                std::lock_guard lock(self->device_lock_);
                ended = !failing && play->Phase() == PlayPhase::Draining &&
                        play->handlers_running == 1 && play->queued_count <= 0 &&
                        play->messages_pending <= 0;
            }
            // The last buffer has played: the device holds until Stop resets it.
            if (ended && self->device_)
                self->device_->pause();
            bool post = false;
            {
                std::lock_guard lock(self->device_lock_);
                --play->handlers_running;
                // A stop that came in while this handler ran waits for it.
                post = ended ||
                       (play->handlers_running == 0 && play->Phase() == PlayPhase::StopRequested);
            }
            self->device_cv_.notify_all();
            if (post)
                self->PostEndOfData(play);
        }
    } finish{this, play_ptr};

    clear_flag(header, kWhdrPrepared);
    {
        std::lock_guard lock(device_lock_);
        play.bytes_played += header->buffer_length;
    }

    // The finished buffer goes down the chain with a link to the one playing now.
    play.ring_index = play.buffers_in_use > 0 ? (play.ring_index + 1) % play.buffers_in_use : 0;
    header->bytes_recorded = header->saved_length;
    ExtendedWaveHeader* playing_now = play.headers[play.ring_index];
    // Near the end of the data the next header in the ring may have played
    // already and not been refilled: then nothing plays after this one, and a
    // display must not be shown that old buffer again.
    if (playing_now && (playing_now == header || has_flag(playing_now, kWhdrDone)))
        playing_now = nullptr;
    if (playing_now)
        playing_now->bytes_recorded = playing_now->saved_length;
    header->next_header = playing_now;
    TMMDSPComponent::BufferReady(header);

    const std::uint64_t position = CheckedDevicePosition(&play);

    if (play.more_buffers && play.Phase() == PlayPhase::Playing) {
        if (looping_ && header->looped_marker) {
            {
                std::lock_guard lock(device_lock_);
                play.loop_start = static_cast<std::int64_t>(position);
            }
            header->looped_marker = 0;
            if (OnLooping)
                OnLooping(this);
        }
        // The done flag was set before this notice was forwarded; the bounded
        // wait only guards against a device that forwards first.
        for (int check = 0; check < 65000 && !has_flag(header, kWhdrDone); ++check)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        set_flag(header, kWhdrPrepared);
        const std::int32_t loaded = LoadHeader(play, header);
        const bool stopping = play.Phase() != PlayPhase::Playing;
        // A source that said more was coming and then had nothing is an error;
        // one that ended exactly on a buffer boundary (nothing, and no more
        // promised) has simply reached its end.
        if (loaded <= 0 && !stopping && play.promised_more)
            throw EMMWaveOutError("Error filling wave buffer");
        if (!play.more_buffers) {
            std::lock_guard lock(device_lock_);
            if (play.Phase() == PlayPhase::Playing)
                play.MoveTo(PlayPhase::Draining);
        }
        if (loaded > 0 && !stopping)
            WriteHeader(play, header);
    }
}

void TMMWaveOut::PostEndOfData(const std::shared_ptr<WavePlay>& play)
{
    // The end-of-data message: Stop runs on the main thread. A message for a
    // play that is over (the user stopped and started again meanwhile) is dropped.
    platform::post(
        this, [this, play] {
            if (play != play_ || play->Phase() == PlayPhase::Stopped)
                return;
            try {
                Stop();
            } catch (const std::exception&) {
                // OnError has fired; a message handler has nobody to raise to.
            }
        });
}

void TMMWaveOut::OnHandlerFailed(const QString& text_in)
{
    // The texts handed between threads share no buffer: a QString's buffer
    // released last inside Qt (not built with the thread sanitizer) would
    // hide that hand-over from the sanitizer, which then reports the release.
    const QString text = unshared(text_in);
    {
        std::lock_guard lock(device_lock_);
        last_thread_error_ = unshared(text_in);
    }
    // A failing device also fails the handler that writes to it: one report.
    if (broken_.exchange(true))
        return;
    const std::uint64_t session = open_serial_;
    platform::post(
        this, [this, text, session] {
            if (OnError)
                OnError(this);
            // Only the device that failed is closed: the user (or an OnStop
            // handler) may have closed it and opened another meanwhile.
            if (session == open_serial_ && life_ != OutputLife::Closed) {
                try {
                    Close();
                } catch (const std::exception&) {
                }
            }
            if (ReportThreadError)
                ReportThreadError(text);
        });
}

// --- pause, restart ------------------------------------------------------------

void TMMWaveOut::Pause()
{
    if (life_ == OutputLife::Closed)
        Open();
    if (life_ == OutputLife::Closed || paused_)
        return;
    if (IsPlaying()) {
        const std::shared_ptr<WavePlay> play = play_;
        bool discard = false;
        {
            std::lock_guard lock(device_lock_);
            device_->pause();
            paused_ = true;
            discard = FedByDevice();
        }
        if (discard) {
            // Fed by another device: the queue is dropped and refilled on restart.
            const std::uint64_t position = DevicePositionSamples();
            {
                std::lock_guard lock(device_lock_);
                play->pause_offset += static_cast<std::int64_t>(position);
                play->discarding = true;
            }
            device_->reset();
            std::lock_guard lock(device_lock_);
            play->ring_index = 0;
            play->queued_count = 0;
        }
    }
    paused_ = true;
    PropagatePause();
    if (OnPause)
        OnPause(this);
}

void TMMWaveOut::Restart()
{
    // A play that is being stopped stays held.
    if (!(IsPlaying() && paused_) || StopPending())
        return;
    {
        std::lock_guard lock(device_lock_);
        play_->discarding = false;
    }
    PropagateRestart();
    device_->restart();
    paused_ = false;
    if (OnRestart)
        OnRestart(this);
}

// --- stop, close -----------------------------------------------------------------

void TMMWaveOut::Stop()
{
    if (IsPlaying() || paused_)
        StopPlay();
}

void TMMWaveOut::StopPlay()
{
    const std::shared_ptr<WavePlay> play = play_;
    if (StopPending()) {
        // A handler is finishing this stop; once it has returned, complete it here.
        if (!HandlerRunning())
            CompleteStop();
        return;
    }
    std::int64_t position = 0;
    try {
        position = Position();
    } catch (const EMMWaveOutError&) {
        // OnError has fired; stopping goes on, unless its handler stopped already.
        if (play_ != play || (play && play->Phase() >= PlayPhase::StopRequested))
            return;
    }
    const bool stopping_play = play && play->Phase() < PlayPhase::StopRequested;
    if (stopping_play) {
        std::lock_guard lock(device_lock_);
        play->MoveTo(PlayPhase::StopRequested);
        play->position_at_stop = position;
        play->wrap_count = play->wrap_amount = 0;
    }
    const int result = device_ ? device_->reset() : wave::kOk;
    bool deferred = false;
    if (stopping_play) {
        // The running handler completes the stop through the end-of-data message.
        std::lock_guard lock(device_lock_);
        deferred = play->handlers_running > 0;
    }
    if (!deferred)
        CompleteStop();
    // A device that failed to reset is stopped all the same; then the error.
    if (result > 0)
        Fail(QString::fromLatin1(kLabelReset) + device_text(result));
}

bool TMMWaveOut::HandlerRunning() const
{
    std::lock_guard lock(device_lock_);
    return play_ && play_->handlers_running > 0;
}

void TMMWaveOut::CompleteStop()
{
    // The play whose stop this is; none when only a pause held the device.
    const std::shared_ptr<WavePlay> play = StopPending() ? play_ : nullptr;
    paused_ = false;
    // A handler that was writing when the stop reset the device may have queued
    // its buffer after that reset: the device gives it back now.
    bool written_late = false;
    if (play) {
        std::lock_guard lock(device_lock_);
        play->MoveTo(PlayPhase::Stopped);
        written_late = play->queued_count > 0;
    }
    if (written_late && device_)
        device_->reset();
    if (play)
        WaitFor([&play] { return play->queued_count <= 0; }, kDeviceWaitMs);
    PropagateStop();

    bool close_after = false;
    bool announce = true;
    if (play) {
        for (int i = 0; i < play->buffers_in_use; ++i) {
            ExtendedWaveHeader* header = play->headers[i];
            if (!header)
                continue;
            if (!has_flag(header, kWhdrDone) &&
                !WaitFor([header] { return has_flag(header, kWhdrDone); }, 100))
                set_flag(header, kWhdrDone);
            clear_flag(header, kWhdrPrepared);
        }
        for (auto& header : play->headers)
            if (header) {
                void* block = header;
                allocator_.Release(block);
                header = nullptr;
            }
        {
            std::lock_guard lock(device_lock_);
            play->queued_count = 0;
            play->messages_pending = 0;
            play->discarding = false;
        }
        play->buffers_in_use = 0;
        play->ring_index = 0;
        close_after = std::exchange(play->close_after_stop, false);
        announce = play->announce_stop;
    }

    // The device is stopped and consistent before OnStop: its handler may start
    // again, stop, pause or close. A close that waited for this stop follows,
    // unless the handler closed the device or opened another meanwhile (a
    // handler's Start finishes a close in progress before it opens).
    const std::uint64_t session = open_serial_;
    auto close_if_still_due = [&] {
        if (close_after && session == open_serial_ && life_ != OutputLife::Closed &&
            !IsPlaying() && !paused_)
            FinishClose();
    };
    try {
        if (OnStop && !destroying_ && announce)
            OnStop(this);
    } catch (...) {
        close_if_still_due();
        throw;
    }
    close_if_still_due();
}

bool TMMWaveOut::FinishDeferredStop()
{
    if (!StopPending())
        return true;
    const std::shared_ptr<WavePlay> play = play_;
    // In cmWindow mode handlers run on this thread: a running one is our caller.
    if (callback_mode_ != cmThread && HandlerRunning())
        return false;
    if (!WaitFor([&play] { return play->handlers_running == 0; }, kDeviceWaitMs))
        return false;
    if (play_ == play && StopPending())
        CompleteStop(); // its end-of-data message, when it comes, is an old play's
    return true;
}

void TMMWaveOut::PrepareForNewPlay(const QString& cannot)
{
    // The title asked for now is the one that plays: the old play's stop
    // completes first, and its OnStop fires before this play begins.
    if (StopPending() && !FinishDeferredStop())
        Fail(cannot);
    if (life_ != OutputLife::Closed && (life_ == OutputLife::Closing || broken_)) {
        try {
            Close();
        } catch (const EMMWaveOutError&) {
            // OnError has fired; the device is closed all the same.
        }
        if (StopPending() && !FinishDeferredStop())
            Fail(cannot);
    }
}

void TMMWaveOut::Close()
{
    if (life_ == OutputLife::Closed || DeviceClosing())
        return;
    life_ = OutputLife::Closing;
    const std::uint64_t session = open_serial_;
    if ((IsPlaying() || paused_) && !StopPending()) {
        try {
            Stop();
        } catch (const EMMWaveOutError&) {
            // Closing goes on: a device that failed to reset is closed all the same.
        }
        // OnStop's handler may have closed this device, or opened another.
        if (session != open_serial_ || life_ == OutputLife::Closed)
            return;
    }
    if (StopPending()) {
        play_->close_after_stop = true;
        if (HandlerRunning())
            return; // the stop's completion closes
        CompleteStop(); // the handler has returned: OnStop, then the close
        return;
    }
    FinishClose();
}

void TMMWaveOut::FinishClose()
{
    life_ = OutputLife::Closing;
    if (play_)
        play_->close_after_stop = false;
    bool timed_out = false;
    int result = wave::kOk;
    const std::unique_ptr<wave::WaveOutDevice> device = std::move(device_);
    if (device) {
        result = device->close();
        if (result == wave::kOk)
            timed_out = !WaitFor([this] { return device_closed_; }, kDeviceWaitMs);
        std::lock_guard lock(device_lock_);
        if (play_)
            play_->position_at_stop = play_->wrap_count = 0;
    }
    PropagateClose();
    life_ = OutputLife::Closed;
    paused_ = false;
    if (OnClose && !destroying_)
        OnClose(this);
    if (result != wave::kOk)
        Fail(QString::fromLatin1(kLabelClose) + device_text(result));
    if (timed_out)
        Fail(QString::fromLatin1(kLabelClose) + QStringLiteral("Unable to close device"));
}

void TMMWaveOut::CloseCompletely()
{
    if (StopPending())
        FinishDeferredStop();
    Close();
    if (StopPending())
        FinishDeferredStop(); // completes the stop, then the close waiting for it
}

// --- position ----------------------------------------------------------------------

std::int64_t TMMWaveOut::Position()
{
    const bool close_pending = StopPending() && play_->close_after_stop;
    if (life_ == OutputLife::Closed || close_pending || !device_)
        return 0;
    const WaveFormat* format = GetPWaveFormat();
    if (!format)
        return 0;
    WavePlay* play = play_.get();
    std::uint64_t device_samples = 0;
    try {
        device_samples = CheckedDevicePosition(play);
    } catch (const EMMWaveOutError& error) {
        Fail(QString::fromLocal8Bit(error.what()));
    }
    std::int64_t samples = static_cast<std::int64_t>(device_samples);
    if (play) {
        std::lock_guard lock(device_lock_);
        samples += play->pause_offset + play->wrap_count * play->wrap_amount - play->loop_start;
    }
    switch (time_format_) {
    case tfMillisecond: return samples_to_ms(*format, samples);
    case tfByte: return samples_to_bytes(*format, samples);
    case tfSample: return samples;
    }
    return samples;
}

// --- chain overrides --------------------------------------------------------------------

void TMMWaveOut::SetPWaveFormat(const WaveFormat* format)
{
    if (format == GetPWaveFormat() || life_ == OutputLife::Closed) {
        TMMDSPComponent::SetPWaveFormat(format);
        return;
    }
    // The new format is ours before the device closes: an OnStop handler of
    // this close that starts again opens the device with it, and a format that
    // such a handler brings meanwhile is not overwritten by this older one.
    AdoptPWaveFormat(format);
    Close();
    TMMDSPComponent::SetPWaveFormat(GetPWaveFormat()); // passes our copy on
}

void TMMWaveOut::BufferLoad(ExtendedWaveHeader* lpWaveHdr, bool& MoreBuffers)
{
    TMMDSPComponent::BufferLoad(lpWaveHdr, MoreBuffers);
}

void TMMWaveOut::BufferReady(ExtendedWaveHeader*)
{
    // Played buffers come from our own device; one handed down from upstream is not ours.
}

// Notifications from another device of the chain run our own operations.
void TMMWaveOut::Opened()
{
    if (life_ == OutputLife::Closed)
        Open();
}
void TMMWaveOut::Closed() { Close(); }
void TMMWaveOut::Started() { Start(); }
void TMMWaveOut::Stopped() { Stop(); }
void TMMWaveOut::Paused() { Pause(); }
void TMMWaveOut::Restarted() { Restart(); }

} // namespace pelu
