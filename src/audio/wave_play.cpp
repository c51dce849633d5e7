#include "audio/wave_play.h"

#include <stdexcept>
#include <string>

namespace pelu {

const char* PhaseName(PlayPhase phase)
{
    switch (phase) {
    case PlayPhase::Filling: return "filling";
    case PlayPhase::Playing: return "playing";
    case PlayPhase::Draining: return "draining";
    case PlayPhase::StopRequested: return "stop requested";
    case PlayPhase::Stopped: return "stopped";
    }
    return "?";
}

bool WavePlay::Allowed(PlayPhase from, PlayPhase to)
{
    using P = PlayPhase;
    switch (from) {
    case P::Filling: // a start that failed is stopped without having played
        return to == P::Playing || to == P::Draining || to == P::StopRequested;
    case P::Playing: return to == P::Draining || to == P::StopRequested;
    case P::Draining: return to == P::StopRequested;
    case P::StopRequested: return to == P::Stopped;
    case P::Stopped: return false;
    }
    return false;
}

void WavePlay::MoveTo(PlayPhase to)
{
    const PlayPhase from = phase_.load();
    if (!Allowed(from, to))
        throw std::logic_error(std::string("wave play cannot move from ") + PhaseName(from) +
                               " to " + PhaseName(to));
    phase_.store(to);
}

} // namespace pelu
