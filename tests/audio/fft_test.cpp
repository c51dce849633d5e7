#include "audio/fft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

namespace pelu {
namespace {

std::vector<std::complex<double>> naive_dft(const std::vector<TMMComplex>& x, int sign)
{
    const int n = int(x.size());
    std::vector<std::complex<double>> out(n);
    for (int k = 0; k < n; ++k) {
        std::complex<double> sum = 0;
        for (int t = 0; t < n; ++t)
            sum += std::complex<double>(x[t].re, x[t].im) * std::polar(1.0, sign * 2 * M_PI * double(k) * t / n);
        out[k] = sum;
    }
    return out;
}

std::vector<TMMComplex> random_signal(int n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-30000.f, 30000.f);
    std::vector<TMMComplex> x(n);
    for (auto& v : x)
        v = {dist(rng), dist(rng)};
    return x;
}

TEST(FFT, MatchesTheDefinitionInEveryDirection)
{
    for (int order = 1; order <= 10; ++order) {
        const int n = 1 << order;
        const auto x = random_signal(n, unsigned(order));
        const auto expected = naive_dft(x, -1);
        const TMMFFT fft(order);
        // Tolerance: float rounding grows with log N and the signal size.
        const double tolerance = 1e-5 * 30000.0 * n;
        auto forward = x;
        fft.Transform(forward.data(), TMMFFT::kForward);
        auto scaled = x;
        fft.Transform(scaled.data(), TMMFFT::kForwardScaled);
        auto inverse = x;
        fft.Transform(inverse.data(), TMMFFT::kInverse);
        const auto expected_inverse = naive_dft(x, +1);
        for (int k = 0; k < n; ++k) {
            ASSERT_NEAR(forward[k].re, expected[k].real(), tolerance) << "N " << n << " k " << k;
            ASSERT_NEAR(forward[k].im, expected[k].imag(), tolerance) << "N " << n << " k " << k;
            ASSERT_NEAR(scaled[k].re, expected[k].real() / n, tolerance / n);
            ASSERT_NEAR(inverse[k].re, expected_inverse[k].real() / n, tolerance / n);
            ASSERT_NEAR(inverse[k].im, expected_inverse[k].imag() / n, tolerance / n);
        }
    }
}

TEST(FFT, ForwardThenInverseRestoresTheSignal)
{
    const TMMFFT fft(12);
    const auto x = random_signal(4096, 99);
    auto y = x;
    fft.Transform(y.data(), TMMFFT::kForward);
    fft.Transform(y.data(), TMMFFT::kInverse);
    for (int i = 0; i < 4096; ++i) {
        ASSERT_NEAR(y[i].re, x[i].re, 0.05);
        ASSERT_NEAR(y[i].im, x[i].im, 0.05);
    }
}

TEST(FFT, BitReversedPairConvolvesLikeTheNaturalOrderTransforms)
{
    for (int order : {3, 8, 10}) {
        const int n = 1 << order;
        const TMMFFT fft(order);
        const auto x = random_signal(n, unsigned(order) + 50);
        auto h = random_signal(n, unsigned(order) + 60);
        // Natural order: forward, multiply, inverse.
        auto natural = x;
        fft.Transform(natural.data(), TMMFFT::kForward);
        complex_multiply(natural.data(), h.data(), n);
        fft.Transform(natural.data(), TMMFFT::kInverse);
        // Bit-reversed pair with the response permuted the same way.
        std::vector<TMMComplex> h_reversed(n);
        for (int k = 0; k < n; ++k)
            h_reversed[k] = h[fft.BitReversed(k)];
        auto fast = x;
        fft.ForwardToBitReversed(fast.data());
        complex_multiply(fast.data(), h_reversed.data(), n);
        fft.InverseFromBitReversed(fast.data());
        complex_scale(fast.data(), 1.0f / float(n), n);
        const double tolerance = 1e-5 * 30000.0 * 30000.0 * n / n;
        for (int i = 0; i < n; ++i) {
            ASSERT_NEAR(fast[i].re, natural[i].re, tolerance) << "N " << n << " i " << i;
            ASSERT_NEAR(fast[i].im, natural[i].im, tolerance) << "N " << n << " i " << i;
        }
    }
}

TEST(RealFFT, MatchesTheComplexTransformOfRealData)
{
    for (int order = 2; order <= 12; ++order) {
        const int m = 1 << order;
        std::mt19937 rng(unsigned(order) * 7);
        std::uniform_real_distribution<float> dist(-32768.f, 32767.f);
        std::vector<float> input(m);
        std::vector<TMMComplex> as_complex(m);
        for (int i = 0; i < m; ++i) {
            input[i] = dist(rng);
            as_complex[i] = {input[i], 0.0f};
        }
        TMMFFT(order).Transform(as_complex.data(), TMMFFT::kForward);
        std::vector<TMMComplex> out(m / 2), scratch(m / 2);
        TMMRealFFT(order).Transform(input.data(), out.data(), scratch.data());
        const double tolerance = 2e-6 * 32768.0 * m;
        for (int k = 0; k < m / 2; ++k) {
            ASSERT_NEAR(out[k].re, as_complex[k].re, tolerance) << "M " << m << " k " << k;
            ASSERT_NEAR(out[k].im, as_complex[k].im, tolerance) << "M " << m << " k " << k;
        }
    }
}

TEST(FFTWindow, FormulasAtTheirLandmarks)
{
    const int L = 64;
    EXPECT_DOUBLE_EQ(fft_window_value(fwRectangular, 10, L), 1.0);
    EXPECT_NEAR(fft_window_value(fwHamming, 0, L), 0.08, 1e-12);
    EXPECT_NEAR(fft_window_value(fwHamming, L / 2, L), 1.0, 1e-12);
    EXPECT_NEAR(fft_window_value(fwHanning, 0, L), 0.0, 1e-12);
    EXPECT_NEAR(fft_window_value(fwHanning, L / 4, L), 0.5, 1e-12);
    EXPECT_NEAR(fft_window_value(fwBlackman, 0, L), 0.0, 1e-12);
    EXPECT_NEAR(fft_window_value(fwBlackman, L / 2, L), 1.0, 1e-12);
    EXPECT_NEAR(fft_window_value(fwGaussian, 0, L), std::exp(-5.0), 1e-12);
    EXPECT_NEAR(fft_window_value(fwGaussian, L / 2, L), 1.0, 1e-12);
    EXPECT_NEAR(fft_window_value(fwWelch, 0, L), 1.0 - std::pow(64.0 / 65.0, 2), 1e-12);
    EXPECT_NEAR(fft_window_value(fwParzen, 0, L), 1.0 - 64.0 / 65.0, 1e-12);
    EXPECT_NEAR(fft_window_value(fwParzen, L / 2, L), 1.0, 1e-12);
    EXPECT_EQ(floor_power_of_two(3000), 2048);
    EXPECT_EQ(floor_power_of_two(1), 1);
    EXPECT_EQ(floor_power_of_two(1024), 1024);
}

} // namespace
} // namespace pelu
