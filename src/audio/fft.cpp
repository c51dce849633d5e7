#include "audio/fft.h"

#include <cmath>
#include <stdexcept>
#include <utility>

namespace pelu {

double fft_window_value(TMMFFTWindow window, int i, int length)
{
    const double L = length;
    const double x = i;
    switch (window) {
    case fwRectangular:
        return 1.0;
    case fwHamming:
        return 0.54 - 0.46 * std::cos(2.0 * M_PI * x / L);
    case fwHanning:
        return 0.5 - 0.5 * std::cos(2.0 * M_PI * x / L);
    case fwBlackman:
        return 0.42 - 0.5 * std::cos(2.0 * M_PI * x / L) + 0.08 * std::cos(4.0 * M_PI * x / L);
    case fwGaussian:
        return std::exp(-5.0 * (2.0 * x - L) * (2.0 * x - L) / (L * L));
    case fwWelch: {
        const double r = (2.0 * x - L) / (L + 1.0);
        return 1.0 - r * r;
    }
    case fwParzen:
        return 1.0 - std::fabs((2.0 * x - L) / (L + 1.0));
    }
    return 1.0;
}

int floor_power_of_two(int value)
{
    int p = 1;
    while (p <= value / 2)
        p *= 2;
    return p;
}

TMMFFT::TMMFFT(int order) : order_(order), length_(1 << order)
{
    if (order < 1 || order > 20)
        throw std::invalid_argument("FFT order out of range");
    bit_reverse_.resize(length_);
    for (int i = 0; i < length_; ++i) {
        std::uint32_t r = 0;
        for (int b = 0; b < order_; ++b)
            if (i & (1 << b))
                r |= 1u << (order_ - 1 - b);
        bit_reverse_[i] = r;
    }
    twiddle_.resize(length_ / 2);
    const double theta = 2.0 * M_PI / length_;
    for (int k = 0; k < length_ / 2; ++k)
        twiddle_[k] = {float(std::cos(k * theta)), float(-std::sin(k * theta))};
}

template <bool Inverse>
void TMMFFT::Butterflies(TMMComplex* data) const
{
    const int n = length_;
    // Decimation in frequency: spans n/2, n/4, ..., 2 with twiddles, then span 1.
    int stride = 1; // twiddle index step for this stage
    for (int span = n / 2; span >= 2; span /= 2, stride *= 2) {
        for (int start = 0; start < n; start += 2 * span) {
            TMMComplex* a = data + start;
            TMMComplex* b = a + span;
            for (int j = 0; j < span; ++j) {
                const TMMComplex w = twiddle_[j * stride];
                const float wim = Inverse ? -w.im : w.im;
                const float ar = a[j].re, ai = a[j].im, br = b[j].re, bi = b[j].im;
                a[j].re = ar + br;
                a[j].im = ai + bi;
                const float dr = ar - br, di = ai - bi;
                b[j].re = dr * w.re - di * wim;
                b[j].im = dr * wim + di * w.re;
            }
        }
    }
    for (int start = 0; start < n; start += 2) {
        TMMComplex& a = data[start];
        TMMComplex& b = data[start + 1];
        const float ar = a.re, ai = a.im;
        a.re = ar + b.re;
        a.im = ai + b.im;
        b.re = ar - b.re;
        b.im = ai - b.im;
    }
}

void TMMFFT::InverseFromBitReversed(TMMComplex* data) const
{
    const int n = length_;
    // Decimation in time with conjugate twiddles: span 1 without them, then 2, 4, ...
    for (int start = 0; start < n; start += 2) {
        TMMComplex& a = data[start];
        TMMComplex& b = data[start + 1];
        const float ar = a.re, ai = a.im;
        a.re = ar + b.re;
        a.im = ai + b.im;
        b.re = ar - b.re;
        b.im = ai - b.im;
    }
    int stride = n / 4;
    for (int span = 2; span < n; span *= 2, stride /= 2) {
        for (int start = 0; start < n; start += 2 * span) {
            TMMComplex* a = data + start;
            TMMComplex* b = a + span;
            for (int j = 0; j < span; ++j) {
                const TMMComplex w = twiddle_[j * stride];
                const float wim = -w.im;
                const float tr = b[j].re * w.re - b[j].im * wim;
                const float ti = b[j].re * wim + b[j].im * w.re;
                const float ar = a[j].re, ai = a[j].im;
                b[j].re = ar - tr;
                b[j].im = ai - ti;
                a[j].re = ar + tr;
                a[j].im = ai + ti;
            }
        }
    }
}

void TMMFFT::Permute(TMMComplex* data) const
{
    for (int i = 0; i < length_; ++i) {
        const std::uint32_t r = bit_reverse_[i];
        if (r > std::uint32_t(i))
            std::swap(data[i], data[r]);
    }
}

void TMMFFT::Transform(TMMComplex* data, int direction) const
{
    if (direction == kInverse) {
        Butterflies<true>(data);
        Permute(data);
        complex_scale(data, 1.0f / float(length_), length_);
        return;
    }
    Butterflies<false>(data);
    Permute(data);
    if (direction == kForwardScaled)
        complex_scale(data, 1.0f / float(length_), length_);
}

void complex_multiply(TMMComplex* a, const TMMComplex* b, int count)
{
    for (int k = 0; k < count; ++k) {
        const float re = a[k].re * b[k].re - a[k].im * b[k].im;
        const float im = a[k].re * b[k].im + a[k].im * b[k].re;
        a[k].re = re;
        a[k].im = im;
    }
}

void complex_scale(TMMComplex* a, float factor, int count)
{
    for (int k = 0; k < count; ++k) {
        a[k].re *= factor;
        a[k].im *= factor;
    }
}

TMMRealFFT::TMMRealFFT(int order) : length_(1 << order), half_(order - 1)
{
    twiddle_.resize(length_ / 2);
    const double theta = 2.0 * M_PI / length_;
    for (int k = 0; k < length_ / 2; ++k)
        twiddle_[k] = {float(std::cos(k * theta)), float(-std::sin(k * theta))};
}

void TMMRealFFT::Transform(const float* input, TMMComplex* output, TMMComplex* scratch) const
{
    const int h = length_ / 2;
    for (int n = 0; n < h; ++n)
        scratch[n] = {input[2 * n], input[2 * n + 1]};
    half_.Transform(scratch, TMMFFT::kForward);
    // X[k] = E[k] + W^k O[k], with E = (Z[k] + conj Z[h-k]) / 2 and
    // O = (Z[k] - conj Z[h-k]) / 2i.
    for (int k = 0; k < h; ++k) {
        const TMMComplex z = scratch[k];
        const TMMComplex zc = scratch[(h - k) & (h - 1)];
        const float er = 0.5f * (z.re + zc.re);
        const float ei = 0.5f * (z.im - zc.im);
        const float orr = 0.5f * (z.im + zc.im);
        const float oi = -0.5f * (z.re - zc.re);
        const TMMComplex w = twiddle_[k];
        output[k].re = er + w.re * orr - w.im * oi;
        output[k].im = ei + w.re * oi + w.im * orr;
    }
}

} // namespace pelu
