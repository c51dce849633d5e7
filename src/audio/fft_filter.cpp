#include "audio/fft_filter.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <new>

namespace pelu {

// The filtering's transforms: `time` holds the two packed half-blocks (its upper
// half stays zero: the forward plan is out of place and keeps its input), the
// forward plan writes `spectrum`, and the inverse plan works in place there.
struct FilterTransforms {
    fftwf_complex* time = nullptr;
    fftwf_complex* spectrum = nullptr;
    fftwf_plan forward = nullptr;
    fftwf_plan inverse = nullptr;
};

namespace {

// FFTW's planner is not thread-safe; executing a plan is.
std::mutex& planner_lock()
{
    static std::mutex lock;
    return lock;
}

} // namespace

void FilterTransformsDeleter::operator()(FilterTransforms* t) const
{
    if (!t)
        return;
    {
        std::lock_guard lock(planner_lock());
        if (t->forward)
            fftwf_destroy_plan(t->forward);
        if (t->inverse)
            fftwf_destroy_plan(t->inverse);
    }
    fftwf_free(t->time);
    fftwf_free(t->spectrum);
    delete t;
}

namespace {

std::unique_ptr<FilterTransforms, FilterTransformsDeleter> MakeTransforms(int n)
{
    std::unique_ptr<FilterTransforms, FilterTransformsDeleter> t(new FilterTransforms);
    t->time = fftwf_alloc_complex(std::size_t(n));
    t->spectrum = fftwf_alloc_complex(std::size_t(n));
    if (!t->time || !t->spectrum)
        throw std::bad_alloc();
    {
        std::lock_guard lock(planner_lock());
        t->forward = fftwf_plan_dft_1d(n, t->time, t->spectrum, FFTW_FORWARD, FFTW_ESTIMATE);
        t->inverse = fftwf_plan_dft_1d(n, t->spectrum, t->spectrum, FFTW_BACKWARD, FFTW_ESTIMATE);
    }
    if (!t->forward || !t->inverse)
        throw std::bad_alloc();
    std::memset(t->time, 0, sizeof(fftwf_complex) * std::size_t(n));
    std::memset(t->spectrum, 0, sizeof(fftwf_complex) * std::size_t(n));
    return t;
}

int format_code_of(const WaveFormat& format)
{
    if (format.format_tag != kWaveFormatPcm)
        return -1;
    return (format.channels == 2 ? 2 : 0) + (format.bits_per_sample == 16 ? 1 : 0);
}

// Rebuilds the response from the magnitude table (engine lock held).
void Redesign(TMMFFTFilter& e)
{
    const int n = e.n;
    const int half = e.half_n;
    TMMComplex* x = e.scratch.data();
    // One-sided spectrum with a quarter-length linear-phase delay: a[k] * i^k.
    for (int k = 0; k <= half; ++k) {
        float a = e.magnitude[k];
        if (k == 0 || k == half)
            a *= 0.5f;
        switch (k & 3) {
        case 0: x[k] = {a, 0.0f}; break;
        case 1: x[k] = {0.0f, a}; break;
        case 2: x[k] = {-a, 0.0f}; break;
        default: x[k] = {0.0f, -a}; break;
        }
        x[half + 1 + k] = {0.0f, 0.0f};
    }
    e.fft->Transform(x, TMMFFT::kForward);
    // Windowed taps 0..N/2 (the window spans N/2), then their scaled spectrum.
    std::vector<float> taps(half + 1);
    for (int i = 0; i <= half; ++i)
        taps[i] = float(fft_window_value(e.window, i, half)) * x[i].re;
    std::fill(e.scratch.begin(), e.scratch.end(), TMMComplex{});
    for (int i = 0; i <= half; ++i)
        x[i].re = taps[i];
    e.fft->Transform(x, TMMFFT::kForwardScaled);
    std::copy(x, x + n, e.response.begin());
    const float scale = 1.0f / float(n);
    for (int k = 0; k < n; ++k)
        e.filter_response[k] = {e.response[k].re * scale, e.response[k].im * scale};
}

inline std::int16_t read_sample(const std::uint8_t* p)
{
    std::int16_t s;
    std::memcpy(&s, p, 2);
    return s;
}

inline void write_sample(std::uint8_t* p, std::int16_t s)
{
    std::memcpy(p, &s, 2);
}

// Filters one block of one channel: work -> clipped samples at `out`, spaced by
// `stride_bytes`. Returns true when a sample was clipped.
bool FilterBlock(TMMFFTFilter& e, int c, std::uint8_t* out, int stride_bytes)
{
    const int n = e.n;
    const int half = e.half_n;
    auto& ch = e.channel[c];
    std::lock_guard lock(e.lock);
    FilterTransforms& t = *e.transforms;
    // Two real half-blocks packed into one complex block; the upper half of
    // `time` is zero from the start and never written.
    fftwf_complex* z = t.time;
    const std::int32_t* x = ch.work.data();
    for (int k = 0; k < half; ++k) {
        z[k][0] = float(x[k]);
        z[k][1] = float(x[k + half]);
    }
    // Forward, times H/N, inverse: the inverse transform scaled by 1/N.
    fftwf_execute(t.forward);
    fftwf_complex* s = t.spectrum;
    const TMMComplex* h = e.filter_response.data();
    for (int k = 0; k < n; ++k) {
        const float re = s[k][0] * h[k].re - s[k][1] * h[k].im;
        const float im = s[k][0] * h[k].im + s[k][1] * h[k].re;
        s[k][0] = re;
        s[k][1] = im;
    }
    fftwf_execute(t.inverse);
    bool clipped = false;
    auto put = [&](int index, float value) {
        long y;
        if (!(value < 32768.0f)) { // also a NaN
            y = 32767;
            clipped = true;
        } else if (!(value > -32769.0f)) {
            y = -32768;
            clipped = true;
        } else {
            y = long(value); // truncation toward zero
        }
        write_sample(out + std::size_t(index) * stride_bytes, std::int16_t(y));
    };
    float* tail = ch.tail.data();
    for (int j = 0; j < half; ++j) {
        put(j, s[j][0] + tail[j]);
        put(j + half, s[j + half][0] + s[j][1]);
        tail[j] = s[j + half][1];
    }
    return clipped;
}

// One pass of the processing for at most store_size_bytes bytes.
bool FilterChunk(TMMFFTFilter& e, TMMChannel mode, std::uint8_t* buf, int bytes)
{
    const int c_count = e.channels;
    const int frame_bytes = 2 * c_count;
    const int n = e.n;
    // 1. Append to the input store.
    std::memcpy(e.input_store.data() + e.input_fill_bytes, buf, std::size_t(bytes));
    e.input_fill_bytes += bytes;
    // 2. Complete blocks of N frames.
    const int blocks = e.input_fill_bytes / frame_bytes / n;
    // 3. Channels to filter.
    const bool stereo = c_count == 2;
    const int first = (stereo && mode == chRight) ? 1 : 0;
    const int last = (stereo && mode == chLeft) ? 1 : c_count;
    bool clipped = false;
    // 4. Filter each block into the output store behind what it holds.
    for (int c = first; c < last; ++c) {
        auto& work = e.channel[c].work;
        for (int b = 0; b < blocks; ++b) {
            const std::uint8_t* in = e.input_store.data() + std::size_t(b) * n * frame_bytes + 2 * c;
            for (int k = 0; k < n; ++k)
                work[k] = read_sample(in + std::size_t(k) * frame_bytes);
            std::uint8_t* out = e.output_store.data() + e.output_fill_bytes + std::size_t(b) * n * frame_bytes + 2 * c;
            if (FilterBlock(e, c, out, frame_bytes))
                clipped = true;
        }
    }
    // 5. Consume the filtered input.
    const int consumed = frame_bytes * blocks * n;
    if (consumed > 0) {
        e.output_fill_bytes += consumed;
        e.input_fill_bytes -= consumed;
        std::memmove(e.input_store.data(), e.input_store.data() + consumed, std::size_t(e.input_fill_bytes));
    }
    // 6. Silence while the stores fill at the start.
    const int available = std::min(bytes, e.output_fill_bytes);
    const int zeros = bytes - available;
    std::memset(buf, 0, std::size_t(zeros));
    // 7. Hand out the filtered data.
    if (stereo && mode != chBoth) {
        const int channel = mode == chRight ? 1 : 0;
        for (int j = channel; 2 * j + 2 <= available; j += 2)
            std::memcpy(buf + zeros + 2 * j, e.output_store.data() + 2 * j, 2);
    } else {
        std::memcpy(buf + zeros, e.output_store.data(), std::size_t(available));
    }
    // 8. Keep the rest for the next buffer.
    e.output_fill_bytes -= available;
    std::memmove(e.output_store.data(), e.output_store.data() + available, std::size_t(e.output_fill_bytes));
    return clipped;
}

} // namespace

std::unique_ptr<TMMFFTFilter> InitFFTFilter(const WaveFormat* format, int fft_length, int store_size_bytes)
{
    if (!format)
        return nullptr;
    auto e = std::make_unique<TMMFFTFilter>();
    e->format_code = format_code_of(*format);
    e->sample_rate = int(format->samples_per_sec);
    e->channels = format->channels == 2 ? 2 : 1;
    e->n = floor_power_of_two(std::clamp(fft_length, 8, kFFTFilterMaxLength));
    e->half_n = e->n / 2;
    e->order = 0;
    while ((1 << e->order) < e->n)
        ++e->order;
    e->window = fwHamming;
    e->fft = std::make_unique<TMMFFT>(e->order);
    e->store_size_bytes = std::max(store_size_bytes, 2 * e->n * 4);
    e->input_store.assign(std::size_t(2) * e->store_size_bytes, 0);
    e->output_store.assign(std::size_t(2) * e->store_size_bytes, 0);
    for (auto& ch : e->channel) {
        ch.work.assign(kFFTFilterTableSize, 0);
        ch.tail.assign(kFFTFilterTableSize, 0.0f);
    }
    e->magnitude.assign(kFFTFilterTableSize, 0.0f);
    e->response.assign(kFFTFilterTableSize, {});
    e->filter_response.assign(kFFTFilterTableSize, {});
    e->scratch.assign(kFFTFilterTableSize, {});
    e->transforms = MakeTransforms(e->n);
    ResetFFTFilter(*e);
    SetFFTFilterBand(*e, 0.0f, float(e->sample_rate / 2), 0.0f);
    return e;
}

void DoneFFTFilter(std::unique_ptr<TMMFFTFilter>& engine)
{
    engine.reset();
}

void SetFFTFilterBand(TMMFFTFilter& e, float f1, float f2, float gain_db)
{
    const int h = e.sample_rate / 2;
    if (std::isnan(f1))
        f1 = 0.0f;
    if (std::isnan(f2))
        f2 = 0.0f;
    // Gains beyond +-200 dB make no sound sense and would overflow the design.
    gain_db = std::isnan(gain_db) ? 0.0f : std::clamp(gain_db, -200.0f, 200.0f);
    if (f1 >= float(h))
        f1 = float(h - 1);
    if (f2 > float(h))
        f2 = float(h);
    if (f1 > f2)
        std::swap(f1, f2);
    if (f2 == f1)
        f2 = f2 + 1.0f;
    const float bin_width = float(e.sample_rate) / float(e.n);
    // Negative frequencies would address bins below 0: such a band is kept to the
    // bins that exist (a band wholly below 0 Hz touches bin 0 only).
    const double lo_raw = std::trunc(double(f1 / bin_width));
    const double hi_raw = std::trunc(double(f2 / bin_width));
    const int lo = int(std::clamp(lo_raw, 0.0, double(e.half_n)));
    const int hi = int(std::clamp(hi_raw, 0.0, double(e.half_n)));
    const float magnitude = float(std::pow(10.0, (double(gain_db) + 6.0) / 20.0));
    std::lock_guard lock(e.lock);
    for (int k = lo; k <= hi; ++k)
        e.magnitude[k] = magnitude;
    Redesign(e);
}

void SetFFTFilterWindow(TMMFFTFilter& e, TMMFFTWindow window)
{
    std::lock_guard lock(e.lock);
    e.window = window;
    Redesign(e);
}

void ResetFFTFilter(TMMFFTFilter& e)
{
    e.input_fill_bytes = 0;
    e.output_fill_bytes = 0;
    std::lock_guard lock(e.lock);
    for (int c = 0; c < e.channels; ++c) {
        std::fill(e.channel[c].work.begin(), e.channel[c].work.end(), 0);
        std::fill(e.channel[c].tail.begin(), e.channel[c].tail.end(), 0.0f);
    }
}

bool DoFFTFilter(TMMFFTFilter& e, TMMChannel mode, char* buffer, int bytes)
{
    if (!buffer || bytes <= 0)
        return false;
    // A buffer larger than the stores is taken in store-sized pieces; the stream
    // comes out the same.
    bool clipped = false;
    auto* p = reinterpret_cast<std::uint8_t*>(buffer);
    while (bytes > 0) {
        const int piece = std::min(bytes, e.store_size_bytes);
        if (FilterChunk(e, mode, p, piece))
            clipped = true;
        p += piece;
        bytes -= piece;
    }
    return clipped;
}

} // namespace pelu
