// Fixture library: real MP3 files synthesised in-process with libmp3lame, and
// helpers that damage or decorate them the way files in the wild are.
// Thread: any; every function is self-contained.
#pragma once

#include "files.h"

#include <cstdint>
#include <string>
#include <vector>

namespace pelu::test {

struct Mp3Options {
    int sample_rate_hz = 44100;  // any MPEG-1, -2 or -2.5 rate
    int channels = 2;            // 1 or 2
    int bitrate_kbps = 128;      // CBR rate; ignored when vbr
    bool vbr = false;            // VBR with a Xing header
    int vbr_quality = 4;         // 0 (best) .. 9
    bool write_info_tag = true;  // Xing/Info frame at the start
    double seconds = 1.0;
    double tone_hz = 440.0;      // main tone; a quieter fifth rides on it
    double amplitude = 0.5;      // of full scale
};

// The PCM that encode_mp3 feeds to the encoder (interleaved, 16-bit).
std::vector<std::int16_t> synth_pcm(const Mp3Options& options);
// Encodes synth_pcm(options) to a complete MP3 stream.
Bytes encode_mp3(const Mp3Options& options);

// The standard fixtures.
Mp3Options cbr128_stereo_44k(double seconds = 2.0);
Mp3Options vbr_xing_stereo_44k(double seconds = 2.0);
Mp3Options mpeg2_mono_22k(double seconds = 2.0);
// Shorter than one 8160-byte output buffer once decoded (a few hundred samples of audio).
Mp3Options shorter_than_one_buffer();

// An ID3v2.3 block of `total_size_bytes` (at least 10 + 11), with a TIT2 frame and padding.
Bytes id3v2_block(std::size_t total_size_bytes, const std::string& title = "Fixture title");
Bytes prepend(const Bytes& front, const Bytes& file);
// `count` bytes of deterministic noise with no MPEG sync pattern (no 0xFF byte).
Bytes garbage(std::size_t count, std::uint32_t seed = 1);
// The 128-byte "TAG" block, fields padded with zero bytes.
Bytes id3v1_tag(const std::string& title, const std::string& artist, const std::string& album,
                const std::string& year, const std::string& comment, std::uint8_t genre);
Bytes append_id3v1(const Bytes& file, const Bytes& tag);
Bytes truncated(const Bytes& file, std::size_t size_bytes);

} // namespace pelu::test
