#include "mp3_fixtures.h"

#include <lame/lame.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <random>
#include <stdexcept>
#include <unistd.h>

namespace pelu::test {

std::vector<std::int16_t> synth_pcm(const Mp3Options& o)
{
    const auto frames = static_cast<std::size_t>(o.seconds * o.sample_rate_hz);
    std::vector<std::int16_t> pcm(frames * o.channels);
    std::mt19937 noise(12345);
    std::uniform_real_distribution<double> hiss(-0.01, 0.01);
    const double two_pi = 6.283185307179586;
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / o.sample_rate_hz;
        for (int c = 0; c < o.channels; ++c) {
            // Left and right differ, so a channel mix-up shows in the output.
            const double tone = std::sin(two_pi * o.tone_hz * (c + 1) * t);
            const double fifth = 0.3 * std::sin(two_pi * o.tone_hz * 1.5 * t);
            const double v = o.amplitude * (0.7 * tone + fifth) + hiss(noise);
            pcm[i * o.channels + c] = static_cast<std::int16_t>(std::lround(std::clamp(v, -1.0, 1.0) * 32767));
        }
    }
    return pcm;
}

Bytes encode_mp3(const Mp3Options& o)
{
    lame_global_flags* lame = lame_init();
    if (!lame)
        throw std::runtime_error("lame_init failed");
    lame_set_in_samplerate(lame, o.sample_rate_hz);
    lame_set_out_samplerate(lame, o.sample_rate_hz);
    lame_set_num_channels(lame, o.channels);
    lame_set_mode(lame, o.channels == 1 ? MONO : JOINT_STEREO);
    lame_set_quality(lame, 5);
    if (o.vbr) {
        lame_set_VBR(lame, vbr_default);
        lame_set_VBR_quality(lame, static_cast<float>(o.vbr_quality));
    } else {
        lame_set_VBR(lame, vbr_off);
        lame_set_brate(lame, o.bitrate_kbps);
    }
    lame_set_bWriteVbrTag(lame, o.write_info_tag ? 1 : 0);
    if (lame_init_params(lame) < 0) {
        lame_close(lame);
        throw std::runtime_error("lame_init_params refused the options");
    }

    const std::vector<std::int16_t> pcm = synth_pcm(o);
    const int frames = static_cast<int>(pcm.size() / o.channels);
    Bytes out(static_cast<std::size_t>(1.25 * frames + 7200) + 16384);
    int written;
    if (o.channels == 2) {
        written = lame_encode_buffer_interleaved(lame, const_cast<short*>(pcm.data()), frames,
                                                 out.data(), static_cast<int>(out.size()));
    } else {
        written = lame_encode_buffer(lame, pcm.data(), pcm.data(), frames, out.data(),
                                     static_cast<int>(out.size()));
    }
    if (written < 0) {
        lame_close(lame);
        throw std::runtime_error("lame_encode_buffer failed");
    }
    std::size_t used = static_cast<std::size_t>(written);
    const int flushed = lame_encode_flush(lame, out.data() + used, static_cast<int>(out.size() - used));
    if (flushed < 0) {
        lame_close(lame);
        throw std::runtime_error("lame_encode_flush failed");
    }
    used += static_cast<std::size_t>(flushed);
    out.resize(used);

    if (o.write_info_tag) {
        // The first frame lame wrote is a placeholder for the Xing/Info frame.
        unsigned char tag[4096];
        const std::size_t tag_size = lame_get_lametag_frame(lame, tag, sizeof tag);
        if (tag_size > 0 && tag_size <= out.size())
            std::copy(tag, tag + tag_size, out.begin());
    }
    lame_close(lame);
    return out;
}

Mp3Options cbr128_stereo_44k(double seconds)
{
    Mp3Options o;
    o.seconds = seconds;
    return o;
}

Mp3Options vbr_xing_stereo_44k(double seconds)
{
    Mp3Options o;
    o.vbr = true;
    o.seconds = seconds;
    return o;
}

Mp3Options mpeg2_mono_22k(double seconds)
{
    Mp3Options o;
    o.sample_rate_hz = 22050;
    o.channels = 1;
    o.bitrate_kbps = 64;
    o.seconds = seconds;
    return o;
}

Mp3Options shorter_than_one_buffer()
{
    Mp3Options o;
    o.seconds = 0.01;
    return o;
}

Bytes id3v2_block(std::size_t total_size_bytes, const std::string& title)
{
    const std::size_t frame_size = 1 + title.size(); // encoding byte + text
    if (total_size_bytes < 10 + 10 + frame_size)
        total_size_bytes = 10 + 10 + frame_size;
    Bytes b(total_size_bytes, 0);
    const std::size_t body = total_size_bytes - 10;
    b[0] = 'I'; b[1] = 'D'; b[2] = '3'; b[3] = 3; b[4] = 0; b[5] = 0;
    // Sync-safe size: 7 bits a byte.
    b[6] = static_cast<std::uint8_t>((body >> 21) & 0x7F);
    b[7] = static_cast<std::uint8_t>((body >> 14) & 0x7F);
    b[8] = static_cast<std::uint8_t>((body >> 7) & 0x7F);
    b[9] = static_cast<std::uint8_t>(body & 0x7F);
    std::size_t p = 10;
    b[p++] = 'T'; b[p++] = 'I'; b[p++] = 'T'; b[p++] = '2';
    b[p++] = static_cast<std::uint8_t>(frame_size >> 24);
    b[p++] = static_cast<std::uint8_t>(frame_size >> 16);
    b[p++] = static_cast<std::uint8_t>(frame_size >> 8);
    b[p++] = static_cast<std::uint8_t>(frame_size);
    b[p++] = 0; b[p++] = 0; // flags
    b[p++] = 0;             // ISO-8859-1
    for (char c : title)
        b[p++] = static_cast<std::uint8_t>(c);
    return b; // the rest is zero padding
}

Bytes prepend(const Bytes& front, const Bytes& file)
{
    Bytes out(front);
    out.insert(out.end(), file.begin(), file.end());
    return out;
}

Bytes garbage(std::size_t count, std::uint32_t seed)
{
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> byte(0, 0xFE);
    Bytes out(count);
    for (auto& b : out)
        b = static_cast<std::uint8_t>(byte(gen));
    return out;
}

Bytes id3v1_tag(const std::string& title, const std::string& artist, const std::string& album,
                const std::string& year, const std::string& comment, std::uint8_t genre)
{
    Bytes tag(128, 0);
    tag[0] = 'T'; tag[1] = 'A'; tag[2] = 'G';
    auto put = [&](std::size_t offset, std::size_t width, const std::string& text) {
        for (std::size_t i = 0; i < width && i < text.size(); ++i)
            tag[offset + i] = static_cast<std::uint8_t>(text[i]);
    };
    put(3, 30, title);
    put(33, 30, artist);
    put(63, 30, album);
    put(93, 4, year);
    put(97, 30, comment);
    tag[127] = genre;
    return tag;
}

Bytes append_id3v1(const Bytes& file, const Bytes& tag)
{
    Bytes out(file);
    out.insert(out.end(), tag.begin(), tag.end());
    return out;
}

Bytes truncated(const Bytes& file, std::size_t size_bytes)
{
    return Bytes(file.begin(), file.begin() + std::min(size_bytes, file.size()));
}

} // namespace pelu::test
