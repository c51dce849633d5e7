// Every input that once crashed, hung or broke an invariant of the reader
// (fuzz/regressions), and the fuzzer's seeds, analysed with the same checks
// the fuzzer makes.
#include "mpeginfo/macros.h"
#include "mpeginfo/mpeg_audio.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace pelu::test {
namespace {

using mpeginfo::TMPEGAudio;

TEST(FuzzRegressions, EveryKeptInputAnalysesCleanly)
{
    const std::filesystem::path root = std::filesystem::path(PELU_FUZZ_REGRESSIONS).parent_path();
    int files = 0;
    for (const char* folder : {"regressions", "seeds"}) {
        for (const auto& entry : std::filesystem::directory_iterator(root / folder)) {
            if (!entry.is_regular_file())
                continue;
            SCOPED_TRACE(entry.path().string());
            ++files;
            TMPEGAudio record;
            record.SetAutoLoad(false);
            record.SetOnReadError({});
            record.SetMacroTemplate("%GAT%|%BR,R,6,0%|%T,C,12,*,C%|%FD%|%FT%|%DF%|%LM%|%SRK%|%DC%");
            int hooks = 0;
            record.SetProcessMessages([&] { ++hooks; });
            record.SetFileName(QString::fromStdString(entry.path().string()));
            const int result = record.Analyse();
            const auto size = static_cast<std::int64_t>(entry.file_size());
            EXPECT_TRUE(result == 0 || result == -1);
            EXPECT_EQ(record.Length(), size);
            if (result == 0) {
                EXPECT_TRUE(record.HeaderValid());
                EXPECT_GE(record.FirstFramePos(), 0);
                EXPECT_LT(record.FirstFramePos(), record.Length());
            } else {
                EXPECT_EQ(record.FirstFramePos(), record.Length() + 1);
                EXPECT_EQ(record.BitRate(), 0);
            }
            EXPECT_LE(hooks, size / 300 + 1);
            EXPECT_FALSE(record.MacroText().isEmpty());
        }
    }
    EXPECT_GE(files, 8);
}

TEST(FuzzRegressions, KnownHostileInputs)
{
    const std::filesystem::path dir(PELU_FUZZ_REGRESSIONS);
    TMPEGAudio record;
    record.SetAutoLoad(false);
    record.SetOnReadError({});
    // 2^32 - 1 frames claimed by a 1251-byte file: the duration saturates, nothing wraps.
    record.SetFileName(QString::fromStdString((dir / "xing_huge_frame_count.mp3").string()));
    ASSERT_EQ(record.Analyse(), 0);
    EXPECT_EQ(record.BitRate(), -1);
    EXPECT_EQ(record.Duration(), 65535);
    EXPECT_EQ(record.FrameLength(), 0);
    // A header every 4 bytes, none confirmed by the frame after it.
    record.SetFileName(QString::fromStdString((dir / "sync_flood.mp3").string()));
    EXPECT_EQ(record.Analyse(), -1);
}

} // namespace
} // namespace pelu::test
