// A program that shows its displays seldom (pelu play's position line) slows
// the connector's pump to its own pace: the displays still get every slice of
// every played buffer, in order, from fewer feeding cycles.
#include "audio/connector.h"
#include "audio/wave_out.h"
#include "pcm_test_source.h"
#include "platform/wave/wave_device.h"

#include <gtest/gtest.h>

#include <vector>

namespace pelu {
namespace {

using test::frame_index_at;
using test::IndexedPcmSource;
using test::run_until;

// Keeps the index of each slice's first frame.
class FirstFrames : public TMMDisplay {
public:
    static constexpr int kSliceBytes = 4080; // half of one 8160-byte buffer
    void SetPWaveFormat(const WaveFormat*) override {}
    int DataSize() const override { return kSliceBytes; }
    void ProcessData(const char* data) override { firsts.push_back(frame_index_at(data)); }
    void ResetDisplay() override {}
    std::vector<std::int64_t> firsts;
};

TEST(ConnectorPace, ASlowerPaceFeedsEverySliceInOrderFromFewerCycles)
{
    ASSERT_TRUE(platform::wave::select_wave_system("sim:1"));
    TMMConnector::SetFramePaceUs(100000);
    IndexedPcmSource source(44100 * 3 / 2);
    TMMWaveOut out;
    out.SetCallBackMode(TMMWaveOut::cmThread);
    out.SetBufferSize(8160);
    TMMConnector connector;
    out.SetInput(&source);
    out.SetOutput(&connector);
    FirstFrames level;
    connector.SetLevel1(&level);
    int passes = 0, stops = 0;
    connector.OnTrigger = [&](QObject*) { ++passes; };
    out.OnStop = [&](QObject*) { ++stops; };
    out.Start();
    const bool stopped = run_until([&] { return stops > 0; });
    TMMConnector::SetFramePaceUs(TMMConnector::kFrameUs);
    platform::wave::select_wave_system("sim:0");
    ASSERT_TRUE(stopped);

    const int slice_frames = FirstFrames::kSliceBytes / 4;
    // 33 buffers of two slices; the display starts with the buffer playing
    // when the connector became active, and none is skipped from there on.
    ASSERT_GE(level.firsts.size(), 56u);
    for (std::size_t i = 1; i < level.firsts.size(); ++i)
        ASSERT_EQ(level.firsts[i], level.firsts[i - 1] + slice_frames) << "slice " << i;
    // 1.5 s at one cycle per 100 ms, not one per slice (65).
    EXPECT_LE(passes, 25) << "feeding passes";
}

} // namespace
} // namespace pelu
