// The play's phase moves only along its table: every pair of phases is tried
// on a real play, and a refused move throws and leaves the phase as it was.
#include "audio/wave_play.h"

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

namespace pelu {
namespace {

using P = PlayPhase;

// A play brought to `phase` the way the output brings it there.
void Reach(WavePlay& play, P phase)
{
    const std::vector<P> path = [phase]() -> std::vector<P> {
        switch (phase) {
        case P::Filling: return {};
        case P::Playing: return {P::Playing};
        case P::Draining: return {P::Playing, P::Draining};
        case P::StopRequested: return {P::Playing, P::StopRequested};
        case P::Stopped: return {P::Playing, P::StopRequested, P::Stopped};
        }
        return {};
    }();
    for (const P step : path)
        play.MoveTo(step);
    ASSERT_EQ(play.Phase(), phase);
}

TEST(WavePlayPhase, MovesOnlyAlongTheTable)
{
    const std::set<std::pair<P, P>> allowed = {
        {P::Filling, P::Playing},         {P::Filling, P::Draining},
        {P::Filling, P::StopRequested}, // a start that failed
        {P::Playing, P::Draining},        {P::Playing, P::StopRequested},
        {P::Draining, P::StopRequested},  {P::StopRequested, P::Stopped},
    };
    const P phases[] = {P::Filling, P::Playing, P::Draining, P::StopRequested, P::Stopped};
    for (const P from : phases)
        for (const P to : phases) {
            SCOPED_TRACE(std::string(PhaseName(from)) + " -> " + PhaseName(to));
            const bool expected = allowed.count({from, to}) > 0;
            EXPECT_EQ(WavePlay::Allowed(from, to), expected);
            WavePlay play;
            Reach(play, from);
            if (expected) {
                EXPECT_NO_THROW(play.MoveTo(to));
                EXPECT_EQ(play.Phase(), to);
            } else {
                EXPECT_THROW(play.MoveTo(to), std::logic_error);
                EXPECT_EQ(play.Phase(), from);
            }
        }
}

} // namespace
} // namespace pelu
