// pelu decode end to end: the PCM it writes is compared with what mpg123
// itself writes for the same file.
#include "mp3_fixtures.h"
#include "pelu_run.h"

#include <gtest/gtest.h>

#include <QStandardPaths>

#include <cstring>
#include <filesystem>
#include <unistd.h>

namespace pelu::test {
namespace {

struct Wav {
    std::uint16_t channels = 0;
    std::uint32_t rate = 0;
    std::vector<std::int16_t> samples;
};

// Reads the PCM of a 16-bit RIFF WAVE file (fmt and data chunks anywhere).
Wav read_wav(const std::filesystem::path& path)
{
    const Bytes b = read_file(path);
    Wav wav;
    EXPECT_GE(b.size(), 44u);
    if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0)
        return wav;
    std::size_t p = 12;
    while (p + 8 <= b.size()) {
        const std::uint32_t size = b[p + 4] | (b[p + 5] << 8) | (b[p + 6] << 16) | (std::uint32_t(b[p + 7]) << 24);
        if (std::memcmp(&b[p], "fmt ", 4) == 0) {
            wav.channels = static_cast<std::uint16_t>(b[p + 10] | (b[p + 11] << 8));
            wav.rate = b[p + 12] | (b[p + 13] << 8) | (b[p + 14] << 16) | (std::uint32_t(b[p + 15]) << 24);
        } else if (std::memcmp(&b[p], "data", 4) == 0) {
            const std::size_t n = std::min<std::size_t>(size, b.size() - p - 8) / 2;
            wav.samples.resize(n);
            std::memcpy(wav.samples.data(), &b[p + 8], n * 2);
            break;
        }
        p += 8 + size + (size & 1);
    }
    return wav;
}

Wav mpg123_decode(const TempDir& dir, const std::filesystem::path& mp3)
{
    const auto out = dir.file("reference.wav");
    const ProgramRun r = run_program("mpg123", {"-q", "-w", QString::fromStdString(out.string()),
                                       QString::fromStdString(mp3.string())});
    EXPECT_EQ(r.exit_code, 0) << r.err.toStdString();
    return read_wav(out);
}

class DecodeMatchesMpg123 : public ::testing::TestWithParam<std::pair<const char*, Mp3Options>> {};

TEST_P(DecodeMatchesMpg123, SameCountAndIdenticalSamples)
{
    ASSERT_FALSE(QStandardPaths::findExecutable("mpg123").isEmpty()) << "mpg123 is installed by scripts/setup.sh";
    TempDir dir;
    const auto mp3 = dir.write("in.mp3", encode_mp3(GetParam().second));
    const auto out = dir.file("out.wav");
    const CommandRun r = pelu({"decode", QString::fromStdString(mp3.string()), "-o", QString::fromStdString(out.string())});
    ASSERT_EQ(r.exit_code, 0) << r.err.toStdString();
    const Wav ours = read_wav(out);
    const Wav reference = mpg123_decode(dir, mp3);
    EXPECT_EQ(ours.channels, reference.channels);
    EXPECT_EQ(ours.rate, reference.rate);
    ASSERT_EQ(ours.samples.size(), reference.samples.size());
    EXPECT_TRUE(ours.samples == reference.samples);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, DecodeMatchesMpg123,
                         ::testing::Values(std::pair{"cbr", cbr128_stereo_44k(3.0)},
                                           std::pair{"vbr", vbr_xing_stereo_44k(3.0)},
                                           std::pair{"mpeg2", mpeg2_mono_22k(3.0)},
                                           std::pair{"short", shorter_than_one_buffer()}),
                         [](const auto& fixture) { return std::string(fixture.param.first); });

TEST(Decode, FromStartsAtTheFrameHoldingThatTimeAndMatchesAfterItsFirstFrame)
{
    TempDir dir;
    const auto mp3 = dir.write("long.mp3", encode_mp3(cbr128_stereo_44k(180.0)));
    const auto full_path = dir.file("full.wav");
    const auto from_path = dir.file("from.wav");
    ASSERT_EQ(pelu({"decode", QString::fromStdString(mp3.string()), "-o", QString::fromStdString(full_path.string())}).exit_code, 0);
    ASSERT_EQ(pelu({"decode", QString::fromStdString(mp3.string()), "-o", QString::fromStdString(from_path.string()),
                    "--from", "60000"}).exit_code, 0);
    const Wav full = read_wav(full_path);
    const Wav from = read_wav(from_path);
    ASSERT_EQ(full.channels, 2);

    // Frame 2297 (60000 / 26.12 ms) begins at stream sample 2297 x 1152; gapless
    // decoding drops the encoder's 576 + 529 samples at the start.
    const std::size_t frame = 2297, samples_per_frame = 1152, begin_delay = 576 + 529;
    const std::size_t start = (frame * samples_per_frame - begin_delay) * 2;
    ASSERT_GT(full.samples.size(), start);
    EXPECT_EQ(from.samples.size(), full.samples.size() - start);
    const std::size_t skip = samples_per_frame * 2; // the first frame may differ
    ASSERT_GT(from.samples.size(), skip);
    EXPECT_TRUE(std::equal(from.samples.begin() + skip, from.samples.end(), full.samples.begin() + start + skip));
}

TEST(Decode, BadInputFailsWithAClearMessageAndWritesNothing)
{
    TempDir dir;
    const auto out = dir.file("out.wav");
    struct Case {
        const char* name;
        Bytes bytes;
    };
    const std::vector<Case> cases = {
        {"empty.mp3", {}},
        {"text.mp3", Bytes{'h', 'e', 'l', 'l', 'o', '\n'}},
        {"random.mp3", garbage(50000, 7)},
    };
    for (const auto& c : cases) {
        const auto in = dir.write(c.name, c.bytes);
        const CommandRun r = pelu({"decode", QString::fromStdString(in.string()), "-o", QString::fromStdString(out.string())});
        EXPECT_EQ(r.exit_code, 1) << c.name;
        EXPECT_TRUE(r.err.contains("This is not a valid Audiofile")) << r.err.toStdString();
        EXPECT_FALSE(std::filesystem::exists(out)) << c.name;
    }
    const CommandRun missing = pelu({"decode", QString::fromStdString(dir.file("none.mp3").string())});
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_TRUE(missing.err.startsWith("pelu: "));
    EXPECT_EQ(pelu({"decode"}).exit_code, 2);
    EXPECT_EQ(pelu({"decode", "x.mp3", "--from", "soon"}).exit_code, 2);
}

} // namespace
} // namespace pelu::test
