// pelu decode --eq: the equalizer sits between the file source and the end of
// the chain, shaped by a preset section of an INI file.
#include "mp3_fixtures.h"
#include "pelu_run.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>

namespace pelu::test {
namespace {

// Interleaved stereo samples of a 16-bit WAVE file written by pelu (44-byte header).
std::vector<std::int16_t> wav_samples(const std::filesystem::path& path)
{
    const Bytes b = read_file(path);
    std::vector<std::int16_t> out;
    if (b.size() <= 44)
        return out;
    out.resize((b.size() - 44) / 2);
    std::memcpy(out.data(), b.data() + 44, out.size() * 2);
    return out;
}

double amplitude(const std::vector<std::int16_t>& pcm, int channel, double hz, int rate = 44100)
{
    double c = 0, s = 0;
    const std::size_t first = rate / 2, frames = rate; // a steady second after the start
    for (std::size_t i = first; i < first + frames; ++i) {
        const double t = double(i) / rate;
        c += pcm[2 * i + channel] * std::cos(2 * M_PI * hz * t);
        s += pcm[2 * i + channel] * std::sin(2 * M_PI * hz * t);
    }
    return 2 * std::hypot(c, s) / frames;
}


TEST(DecodeEqualizer, PresetShapesTheDecodedSound)
{
    TempDir dir;
    // Left carries 440 Hz, right 880 Hz (and both a quieter 660 Hz).
    const auto mp3 = dir.write("in.mp3", encode_mp3(cbr128_stereo_44k(3.0)));
    const std::string ini = "[EQ.Cut]\nFFTLen=1024\nSamplerate=44100\nWindow=1\nBands=1\n"
                            "Band0 f1=700\nBand0 f2=1100\nBand0 Gain=-12\nBand0 Enabled=1\n";
    const auto preset = dir.write("eqdata.ini", Bytes(ini.begin(), ini.end()));
    const auto plain = dir.file("plain.wav"), shaped = dir.file("shaped.wav");
    ASSERT_EQ(pelu({"decode", qpath(mp3), "-o", qpath(plain)}).exit_code, 0);
    const CommandRun r = pelu({"decode", qpath(mp3), "-o", qpath(shaped), "--eq", qpath(preset), "--eq-name", "Cut"});
    ASSERT_EQ(r.exit_code, 0) << r.err.toStdString();
    const auto a = wav_samples(plain), b = wav_samples(shaped);
    ASSERT_EQ(a.size(), b.size());
    ASSERT_GT(a.size(), 2u * 44100 * 2);
    EXPECT_NEAR(20 * std::log10(amplitude(b, 1, 880) / amplitude(a, 1, 880)), -12.0, 1.0);
    EXPECT_NEAR(20 * std::log10(amplitude(b, 0, 440) / amplitude(a, 0, 440)), 0.0, 0.5);
}

TEST(DecodeEqualizer, MissingPresetOrFileIsAClearError)
{
    TempDir dir;
    const auto mp3 = dir.write("in.mp3", encode_mp3(shorter_than_one_buffer()));
    const std::string ini = "[EQ.Other]\nFFTLen=256\n";
    const auto preset = dir.write("p.ini", Bytes(ini.begin(), ini.end()));
    const auto out = dir.file("out.wav");
    CommandRun r = pelu({"decode", qpath(mp3), "-o", qpath(out), "--eq", qpath(preset)}); // default name BrindleX
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(r.err.contains("no equalizer preset \"BrindleX\"")) << r.err.toStdString();
    r = pelu({"decode", qpath(mp3), "-o", qpath(out), "--eq", qpath(dir.file("none.ini"))});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(r.err.contains("no such file")) << r.err.toStdString();
    r = pelu({"decode", qpath(mp3), "-o", qpath(out), "--eq-name", "Other"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_FALSE(std::filesystem::exists(out));
    const std::string bad = "[EQ.Bad]\nFFTLen=256\nBands=1\nBand0 f1=abc\n";
    const auto bad_preset = dir.write("bad.ini", Bytes(bad.begin(), bad.end()));
    r = pelu({"decode", qpath(mp3), "-o", qpath(out), "--eq", qpath(bad_preset), "--eq-name", "Bad"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(r.err.contains("'abc' is not a valid floating point value")) << r.err.toStdString();
}

} // namespace
} // namespace pelu::test
