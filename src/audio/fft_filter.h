// The equalizer's filter engine: a linear-phase FIR designed by frequency sampling
// from a per-bin magnitude table, applied to 16-bit PCM by fast convolution
// (overlap-add, two real half-blocks per complex transform).
//
// The design runs on the own FFT (audio/fft.h), so the response is the same on
// every machine; the filtering runs on FFTW's single-precision complex transform
// of the same length, planned once per engine (FFTW_ESTIMATE: no timing runs, so
// the same machine always picks the same plan and the output never varies from
// run to run), with the response kept in natural order and scaled by 1/N.
//
// Thread: one engine belongs to one equalizer. SetFFTFilterBand/Window run on the
// main thread and DoFFTFilter on the wave output's thread; the engine's lock
// covers every redesign and every filtered block, so a block is filtered with the
// old or the new response, never a mixture. The stores and fills are touched only
// by DoFFTFilter and ResetFFTFilter, which the equalizer serialises itself.
#pragma once

#include "audio/dsp_object.h"
#include "audio/fft.h"
#include "audio/mm_types.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace pelu {

// Tables hold N + 2 entries for the largest N the engine uses.
constexpr int kFFTFilterMaxLength = 1024;
constexpr int kFFTFilterTableSize = kFFTFilterMaxLength + 2;

// FFTW's plans and aligned blocks for the filtering (fft_filter.cpp).
struct FilterTransforms;
struct FilterTransformsDeleter {
    void operator()(FilterTransforms* transforms) const;
};

struct TMMFFTFilter {
    int format_code = -1; // 0 mono 8-bit, 1 mono 16-bit, 2 stereo 8-bit, 3 stereo 16-bit, -1 not PCM
    int sample_rate = 0;
    int channels = 1;
    int n = 0;      // transform length N
    int half_n = 0; // N/2
    int order = 0;  // log2 N
    std::unique_ptr<TMMFFT> fft;
    std::vector<std::uint8_t> input_store;
    int input_fill_bytes = 0;
    std::vector<std::uint8_t> output_store;
    int output_fill_bytes = 0;
    int store_size_bytes = 0; // each store holds twice this
    TMMFFTWindow window = fwHamming;
    struct ChannelState {
        std::vector<std::int32_t> work;  // one block of samples
        std::vector<float> tail;         // overlap carried into the next block
    } channel[2];
    std::vector<float> magnitude;        // bins 0..N/2
    std::vector<TMMComplex> response;    // H, bins 0..N-1
    std::vector<TMMComplex> filter_response; // H / N in natural order, for the filtering
    std::vector<TMMComplex> scratch;     // the design's work area
    std::unique_ptr<FilterTransforms, FilterTransformsDeleter> transforms; // the filtering's
    std::mutex lock;
};

// Creates an engine for a 16-bit (or 8-bit) mono/stereo format, flat 0 dB.
// Returns null when the format is missing.
std::unique_ptr<TMMFFTFilter> InitFFTFilter(const WaveFormat* format, int fft_length, int store_size_bytes);
void DoneFFTFilter(std::unique_ptr<TMMFFTFilter>& engine);
// Sets the bins of f1..f2 Hz to gain_db and redesigns.
void SetFFTFilterBand(TMMFFTFilter& engine, float f1, float f2, float gain_db);
void SetFFTFilterWindow(TMMFFTFilter& engine, TMMFFTWindow window);
// Empties both stores and clears the work blocks and overlap tails.
void ResetFFTFilter(TMMFFTFilter& engine);
// Filters `bytes` bytes of 16-bit PCM in place; true when any sample was clipped.
bool DoFFTFilter(TMMFFTFilter& engine, TMMChannel mode, char* buffer, int bytes);

} // namespace pelu
