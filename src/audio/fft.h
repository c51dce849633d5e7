// Power-of-two FFTs and the analysis windows shared by the equalizer's filter
// design and the spectrum analyser.
//
// Thread: an FFT object holds only constant tables after construction, so one
// object may transform on several threads at once, each on its own data.
#pragma once

#include "audio/mm_types.h"

#include <cstdint>
#include <vector>

namespace pelu {

// Complex float32, laid out as (real, imaginary).
struct TMMComplex {
    float re = 0.0f;
    float im = 0.0f;
};

// The value of window `window` at i (0..length) over `length`.
double fft_window_value(TMMFFTWindow window, int i, int length);

// In-place complex radix-2 FFT of length 2^order (order 1..20 here: the engine
// and the analyser never need more than 4096 points). The butterflies run on
// natural-order data (decimation in frequency), then a bit-reversal permutation
// puts the result in natural order.
class TMMFFT {
public:
    // Directions of Transform.
    static constexpr int kForward = 1;        // X[k] = sum x[n] e^(-2 pi i k n / N), unscaled
    static constexpr int kInverse = -1;       // x[n] = (1/N) sum X[k] e^(+2 pi i k n / N)
    static constexpr int kForwardScaled = -2; // forward, then scaled by 1/N

    explicit TMMFFT(int order);
    int Length() const { return length_; }
    int Order() const { return order_; }
    void Transform(TMMComplex* data, int direction) const;

    // The fast-convolution pair: a forward transform that leaves its result in
    // bit-reversed order, and an unscaled inverse that takes bit-reversed input
    // and yields natural order. Filtering multiplies in between with a response
    // stored in the same bit-reversed order, so no permutation is ever run.
    void ForwardToBitReversed(TMMComplex* data) const { Butterflies<false>(data); }
    void InverseFromBitReversed(TMMComplex* data) const;
    std::uint32_t BitReversed(int index) const { return bit_reverse_[std::size_t(index)]; }

private:
    template <bool Inverse> void Butterflies(TMMComplex* data) const;
    void Permute(TMMComplex* data) const;

    int order_;
    int length_;
    std::vector<std::uint32_t> bit_reverse_; // N entries
    std::vector<TMMComplex> twiddle_;        // N/2 entries: (cos k theta, -sin k theta)
};

// Complex product a[k] *= b[k] and scaling, the vector routines beside the FFT.
void complex_multiply(TMMComplex* a, const TMMComplex* b, int count);
void complex_scale(TMMComplex* a, float factor, int count);

// Real FFT of M = 2^order points (order 2..), forward and unscaled, by a complex
// FFT of M/2 points on the even and odd samples and the split post-processing.
// The result is the M/2 bins 0..M/2-1 (the Nyquist term is dropped).
class TMMRealFFT {
public:
    explicit TMMRealFFT(int order);
    int Length() const { return length_; }
    // `input` holds M real values; `output` receives M/2 complex bins.
    // `scratch` must hold M/2 complex values.
    void Transform(const float* input, TMMComplex* output, TMMComplex* scratch) const;

private:
    int length_;
    TMMFFT half_;
    std::vector<TMMComplex> twiddle_; // M/2 entries: e^(-2 pi i k / M)
};

// The largest power of two not above `value` (value >= 1).
int floor_power_of_two(int value);

} // namespace pelu
