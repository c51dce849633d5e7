#include "audio/dsp_object.h"

#include "platform/mainthread.h"

#include <QMetaObject>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace pelu {

// ---------------------------------------------------------------------------
// Wave format

WaveFormat make_pcm_format(std::uint32_t samples_per_sec, std::uint16_t bits_per_sample,
                           std::uint16_t channels)
{
    WaveFormat format;
    format.format_tag = kWaveFormatPcm;
    format.channels = channels;
    format.samples_per_sec = samples_per_sec;
    format.bits_per_sample = bits_per_sample;
    format.block_align = static_cast<std::uint16_t>(channels * ((bits_per_sample + 7) / 8));
    format.avg_bytes_per_sec = samples_per_sec * format.block_align;
    format.extra_size = 0;
    return format;
}

std::unique_ptr<std::uint8_t[]> copy_wave_format(const WaveFormat* format)
{
    if (!format)
        return nullptr;
    const std::size_t extra = format->format_tag == kWaveFormatPcm ? 0 : format->extra_size;
    auto copy = std::make_unique<std::uint8_t[]>(sizeof(WaveFormat) + extra);
    std::memcpy(copy.get(), format, sizeof(WaveFormat) + extra);
    if (format->format_tag == kWaveFormatPcm)
        reinterpret_cast<WaveFormat*>(copy.get())->extra_size = 0;
    return copy;
}

bool is_valid_pcm_format(const WaveFormat* format)
{
    return format && format->format_tag == kWaveFormatPcm &&
           (format->bits_per_sample == 8 || format->bits_per_sample == 16) &&
           (format->channels == 1 || format->channels == 2) && format->samples_per_sec >= 4000 &&
           format->samples_per_sec <= 100000;
}

namespace {
std::int64_t round_up_to_block(const WaveFormat& format, std::int64_t bytes)
{
    const std::int64_t block = format.block_align;
    if (block <= 1)
        return bytes;
    return (bytes + block - 1) / block * block;
}
} // namespace

std::int64_t bytes_to_samples(const WaveFormat& f, std::int64_t bytes)
{
    return f.avg_bytes_per_sec ? bytes * f.samples_per_sec / f.avg_bytes_per_sec : 0;
}

std::int64_t bytes_to_ms(const WaveFormat& f, std::int64_t bytes)
{
    return f.avg_bytes_per_sec ? bytes * 1000 / f.avg_bytes_per_sec : 0;
}

std::int64_t samples_to_bytes(const WaveFormat& f, std::int64_t samples)
{
    return f.samples_per_sec
               ? round_up_to_block(f, samples * f.avg_bytes_per_sec / f.samples_per_sec)
               : 0;
}

std::int64_t ms_to_bytes(const WaveFormat& f, std::int64_t ms)
{
    return round_up_to_block(f, ms * f.avg_bytes_per_sec / 1000);
}

std::int64_t samples_to_ms(const WaveFormat& f, std::int64_t samples)
{
    return f.samples_per_sec ? samples * 1000 / f.samples_per_sec : 0;
}

std::int64_t ms_to_samples(const WaveFormat& f, std::int64_t ms)
{
    return ms * f.samples_per_sec / 1000;
}

// ---------------------------------------------------------------------------
// WaveBuffer

WaveBuffer::WaveBuffer(std::uint32_t data_size_bytes)
    : block_(new std::uint8_t[sizeof(ExtendedWaveHeader) + data_size_bytes]()),
      capacity_(data_size_bytes)
{
    auto* h = new (block_.get()) ExtendedWaveHeader();
    h->data = reinterpret_cast<char*>(block_.get() + sizeof(ExtendedWaveHeader));
    h->buffer_length = data_size_bytes;
}

void WaveBuffer::prepare_for_load()
{
    header()->buffer_length = capacity_;
    header()->bytes_recorded = 0;
}

// ---------------------------------------------------------------------------
// TMMObject

void TMMObject::BeginUpdate()
{
    if (update_count_++ == 0)
        BeginUpdating();
}

void TMMObject::EndUpdate()
{
    if (update_count_ == 0)
        return;
    if (--update_count_ == 0)
        EndUpdating();
}

void TMMObject::Changed()
{
    if (update_count_ == 0)
        DoChanged();
}

void TMMObject::DoChanged()
{
    if (OnChange)
        OnChange(this);
}

// ---------------------------------------------------------------------------
// TMMDSPComponent

namespace {
// Created with the first component and freed with the last.
std::vector<TMMDSPComponent*>* g_registry = nullptr;
const QString kInput = QStringLiteral("Input");
const QString kOutput = QStringLiteral("Output");
} // namespace

const std::vector<TMMDSPComponent*>& TMMDSPComponent::Registry()
{
    static const std::vector<TMMDSPComponent*> empty;
    return g_registry ? *g_registry : empty;
}

TMMDSPComponent::TMMDSPComponent(QObject* parent) : QObject(parent)
{
    if (!g_registry)
        g_registry = new std::vector<TMMDSPComponent*>();
    g_registry->push_back(this);
}

TMMDSPComponent::~TMMDSPComponent()
{
    destroying_ = true;
    SetInput(nullptr);
    SetOutput(nullptr);
    format_.reset();
    auto& list = *g_registry;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
    if (list.empty()) {
        delete g_registry;
        g_registry = nullptr;
    }
}

bool TMMDSPComponent::PublishesInput() const
{
    return metaObject()->indexOfProperty("Input") >= 0;
}

bool TMMDSPComponent::PublishesOutput() const
{
    return metaObject()->indexOfProperty("Output") >= 0;
}

bool TMMDSPComponent::IsDownstreamOf(const TMMDSPComponent* candidate) const
{
    for (const TMMDSPComponent* c = this; c; c = c->output_)
        if (c == candidate)
            return true;
    return false;
}

bool TMMDSPComponent::IsUpstreamOf(const TMMDSPComponent* candidate) const
{
    for (const TMMDSPComponent* c = this; c; c = c->input_)
        if (c == candidate)
            return true;
    return false;
}

bool TMMDSPComponent::CanConnectInput(TMMDSPComponent* candidate) const
{
    if (!candidate || candidate == this)
        return false;
    if (!candidate->PublishesOutput() && !candidate->accepts_output_)
        return false;
    return !IsDownstreamOf(candidate);
}

bool TMMDSPComponent::CanConnectOutput(TMMDSPComponent* candidate) const
{
    if (!candidate || candidate == this)
        return false;
    if (!candidate->PublishesInput() && !candidate->accepts_input_)
        return false;
    return !IsUpstreamOf(candidate);
}

// The link broadcasts: every registered component checks whether it holds the
// other end of the link that changes, the way the back-link names describe it.

void TMMDSPComponent::BroadcastInputGoing()
{
    for (TMMDSPComponent* x : Registry())
        if (x->output_ == this && x->output_back_link_ == kInput && input_ == x) {
            x->output_ = nullptr;
            x->output_back_link_.clear();
        }
}

void TMMDSPComponent::BroadcastOutputTaken(TMMDSPComponent* source)
{
    for (TMMDSPComponent* x : Registry())
        if (x->input_ == source && x->input_back_link_ == kOutput && source->output_ == x) {
            x->input_ = nullptr;
            x->input_back_link_.clear();
        }
}

void TMMDSPComponent::BroadcastOutputGoing()
{
    for (TMMDSPComponent* x : Registry())
        if (x->input_ == this && x->input_back_link_ == kOutput && output_ == x) {
            x->input_ = nullptr;
            x->input_back_link_.clear();
            x->SetPWaveFormat(nullptr); // an old output loses its format with its input
        }
}

void TMMDSPComponent::BroadcastInputTaken(TMMDSPComponent* sink)
{
    for (TMMDSPComponent* x : Registry())
        if (x->output_ == sink && x->output_back_link_ == kInput && sink->input_ == x) {
            x->output_ = nullptr;
            x->output_back_link_.clear();
        }
}

void TMMDSPComponent::SetInput(TMMDSPComponent* value)
{
    if (value == input_ || (value && !CanConnectInput(value)))
        return;
    Stopped();
    if (input_) {
        BroadcastInputGoing();
        input_ = nullptr;
        input_back_link_.clear();
        SetPWaveFormat(nullptr);
    }
    if (!value)
        return;
    BroadcastOutputTaken(value);
    input_ = value;
    input_back_link_ = kOutput;
    value->output_ = this;
    value->output_back_link_ = kInput;
    UpdateFormat();
}

void TMMDSPComponent::SetOutput(TMMDSPComponent* value)
{
    if (value == output_ || (value && !CanConnectOutput(value)))
        return;
    Stopped();
    if (output_) {
        BroadcastOutputGoing();
        output_ = nullptr;
        output_back_link_.clear();
    }
    if (!value)
        return;
    BroadcastInputTaken(value);
    output_ = value;
    output_back_link_ = kInput;
    value->input_ = this;
    value->input_back_link_ = kOutput;
    UpdateFormat();
}

const WaveFormat* TMMDSPComponent::GetPWaveFormat() const
{
    return reinterpret_cast<const WaveFormat*>(format_.get());
}

void TMMDSPComponent::SetPWaveFormat(const WaveFormat* format)
{
    if (format != GetPWaveFormat()) {
        if (started_)
            Stopped();
        format_ = copy_wave_format(format);
    }
    if (!loading_ && !destroying_ && output_)
        output_->SetPWaveFormat(GetPWaveFormat());
}

void TMMDSPComponent::UpdateFormat()
{
    if (loading_ || destroying_)
        return;
    if (input_)
        SetPWaveFormat(input_->GetPWaveFormat());
    else if (output_)
        output_->SetPWaveFormat(GetPWaveFormat());
}

void TMMDSPComponent::SetBufferSize(std::int32_t bytes)
{
    if (started_)
        Stopped();
    buffer_size_ = bytes;
}

void TMMDSPComponent::Opened()
{
    if (opened_)
        return;
    const WaveFormat* format = GetPWaveFormat();
    if (format && format->block_align > 0) {
        const std::int32_t block = format->block_align;
        effective_buffer_size_ = std::max(block, buffer_size_ / block * block);
    } else {
        effective_buffer_size_ = buffer_size_;
    }
    opened_ = true;
}

void TMMDSPComponent::Closed()
{
    opened_ = false;
}

void TMMDSPComponent::Started()
{
    if (opened_)
        started_ = true;
}

void TMMDSPComponent::Stopped()
{
    started_ = false;
}

void TMMDSPComponent::BufferLoad(ExtendedWaveHeader* lpWaveHdr, bool& MoreBuffers)
{
    if (OnBufferLoad)
        OnBufferLoad(this, lpWaveHdr, MoreBuffers);
    if (input_)
        input_->BufferLoad(lpWaveHdr, MoreBuffers);
}

void TMMDSPComponent::BufferReady(ExtendedWaveHeader* lpWaveHdr)
{
    if (OnBufferReady)
        OnBufferReady(this, lpWaveHdr);
    if (output_)
        output_->BufferReady(lpWaveHdr);
}

void TMMDSPComponent::Loaded()
{
    loading_ = false;
    SetPWaveFormat(GetPWaveFormat());
}

// ---------------------------------------------------------------------------
// TMMCustomSoundComponent

TMMDSPComponent* TMMCustomSoundComponent::WalkStart()
{
    fed_by_device_ = false;
    TMMDSPComponent* head = this;
    for (TMMDSPComponent* c = Input(); c; c = c->Input()) {
        if (c->IsSoundComponent()) {
            fed_by_device_ = true;
            return this;
        }
        head = c;
    }
    return head;
}

void TMMCustomSoundComponent::Deliver(TMMDSPComponent* c, Step step)
{
    switch (step) {
    case Step::Open:
        if (!c->IsSoundComponent())
            c->SetBufferSize(BufferSize());
        c->Opened();
        break;
    case Step::Start: c->Started(); break;
    case Step::Pause: c->Paused(); break;
    case Step::Restart: c->Restarted(); break;
    case Step::Reset: c->Reset(); break;
    case Step::Stop: c->Stopped(); break;
    case Step::Close: c->Closed(); break;
    }
}

void TMMCustomSoundComponent::RunOwnBase(Step step)
{
    switch (step) {
    case Step::Open: TMMDSPComponent::Opened(); break;
    case Step::Start: TMMDSPComponent::Started(); break;
    case Step::Pause: TMMDSPComponent::Paused(); break;
    case Step::Restart: TMMDSPComponent::Restarted(); break;
    case Step::Reset: TMMDSPComponent::Reset(); break;
    case Step::Stop: TMMDSPComponent::Stopped(); break;
    case Step::Close: TMMDSPComponent::Closed(); break;
    }
}

void TMMCustomSoundComponent::PropagateForward(Step step)
{
    for (TMMDSPComponent* c = WalkStart(); c; c = c->Output()) {
        if (c == this)
            continue;
        Deliver(c, step);
        if (c->IsSoundComponent())
            break; // the next device carries the walk on by itself
    }
    RunOwnBase(step);
}

void TMMCustomSoundComponent::PropagateBackward(Step step)
{
    for (TMMDSPComponent* c = Output(); c; c = c->Output())
        if (c->IsSoundComponent()) {
            Deliver(c, step);
            break;
        }
    for (TMMDSPComponent* c = WalkStart(); c; c = c->Output()) {
        if (c == this)
            continue;
        if (c->IsSoundComponent())
            break;
        Deliver(c, step);
    }
    RunOwnBase(step);
}

void TMMCustomSoundComponent::PropagateOpen() { PropagateForward(Step::Open); }
void TMMCustomSoundComponent::PropagateStart() { PropagateForward(Step::Start); }
void TMMCustomSoundComponent::PropagatePause() { PropagateForward(Step::Pause); }
void TMMCustomSoundComponent::PropagateRestart() { PropagateForward(Step::Restart); }
void TMMCustomSoundComponent::PropagateReset() { PropagateForward(Step::Reset); }
void TMMCustomSoundComponent::PropagateStop() { PropagateBackward(Step::Stop); }
void TMMCustomSoundComponent::PropagateClose() { PropagateBackward(Step::Close); }

// ---------------------------------------------------------------------------
// TMMDSPThread

namespace {
std::mutex g_threads_mutex;
std::vector<TMMDSPThread*>* g_threads = nullptr; // freed when empty
} // namespace

TMMDSPThread::TMMDSPThread()
{
    std::lock_guard lock(g_threads_mutex);
    if (!g_threads)
        g_threads = new std::vector<TMMDSPThread*>();
    g_threads->push_back(this);
}

TMMDSPThread::~TMMDSPThread()
{
    if (thread_.joinable())
        thread_.join();
    std::lock_guard lock(g_threads_mutex);
    g_threads->erase(std::remove(g_threads->begin(), g_threads->end(), this), g_threads->end());
    if (g_threads->empty()) {
        delete g_threads;
        g_threads = nullptr;
    }
}

void TMMDSPThread::Start()
{
    platform::attach_to_main_loop(); // the thread may hand calls to the main thread
    if (!thread_.joinable())
        thread_ = std::thread([this] {
            {
                std::lock_guard lock(g_threads_mutex);
                id_ = std::this_thread::get_id();
            }
            Execute();
        });
}

bool TMMDSPThread::IsCurrentThread() const
{
    std::lock_guard lock(g_threads_mutex);
    return id_ == std::this_thread::get_id();
}

void TMMDSPThread::WaitFor()
{
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
}

std::size_t TMMDSPThread::ThreadCount()
{
    std::lock_guard lock(g_threads_mutex);
    return g_threads ? g_threads->size() : 0;
}

void TMMDSPThread::RunInMainThread(const std::function<void()>& procedure)
{
    bool from_worker = false;
    if (!platform::is_main_thread()) {
        std::lock_guard lock(g_threads_mutex);
        if (g_threads)
            for (TMMDSPThread* t : *g_threads)
                if (t->id_ == std::this_thread::get_id())
                    from_worker = true;
    }
    if (from_worker)
        platform::run_and_wait(procedure);
    else
        procedure();
}

// ---------------------------------------------------------------------------
// Observer pair

TMMObserver::~TMMObserver()
{
    if (observable_)
        observable_->RemoveObserver(this);
}

TMMObservable::~TMMObservable()
{
    for (TMMObserver* o : observers_)
        o->observable_ = nullptr;
}

void TMMObservable::AddObserver(TMMObserver* observer)
{
    if (!observer)
        return;
    if (observer->observable_)
        observer->observable_->RemoveObserver(observer);
    observers_.push_back(observer);
    observer->observable_ = this;
}

void TMMObservable::RemoveObserver(TMMObserver* observer)
{
    auto it = std::find(observers_.begin(), observers_.end(), observer);
    if (it == observers_.end())
        return;
    observers_.erase(it);
    observer->observable_ = nullptr;
}

void TMMObservable::NotifyObservers(void* data)
{
    if (suppress_count_ != 0)
        return;
    // A copy: an observer may detach itself while being notified.
    const std::vector<TMMObserver*> snapshot = observers_;
    for (auto it = snapshot.rbegin(); it != snapshot.rend(); ++it) {
        TMMObserver* o = *it;
        if (std::find(observers_.begin(), observers_.end(), o) == observers_.end())
            continue;
        if (o->lock_count_ == 0 && o->OnChange)
            o->OnChange(o, data);
    }
}

} // namespace pelu
