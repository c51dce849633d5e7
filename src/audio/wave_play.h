// One play of the wave output: everything from one Start to its stop. The
// play owns the bookkeeping of its buffers (the header table, the ring, the
// counts of buffers at the device, notices on their way and handlers
// running), its position counters, and how it ends (announced with OnStop or
// not, and whether a close waits for it). Its life is one phase:
//
//   Filling -> Playing -> Draining -> StopRequested -> Stopped
//
// Filling: Start queues the first buffers on the paused device.
// Playing: every returned buffer is handed down the chain and refilled.
// Draining: the source has ended; the queued buffers play out and the last
//   one back posts the end-of-data message.
// StopRequested: no buffer is written or handed down any more; the stop
//   completes on the main thread once no handler runs (a Stop, the end-of-data
//   message, or a Start that failed asked for it).
// Stopped: the buffers are back and released; the play is over for good.
//
// A phase only moves along the table in Allowed(); any other move is a fault
// of the output and throws std::logic_error. Notices that arrive late carry
// the play they were posted for and are dropped when it is not the current
// one any more or has stopped.
//
// Thread: the main thread creates a play, fills it and stops it; the buffer
// handler (the device's thread in cmThread mode, else the main thread) refills
// it. The phase and the counters below the device lock are moved and read
// under the output's device lock (the phase may be read without it); the
// header table, the ring and the load state belong to the main thread while
// filling and to the handler while playing.
#pragma once

#include "audio/dsp_object.h"

#include <atomic>
#include <cstdint>

namespace pelu {

enum class PlayPhase { Filling, Playing, Draining, StopRequested, Stopped };

// The output's own life: Closing spans a Close from its start (it may first
// stop the play, or wait for a stop a handler is finishing) to OnClose.
enum class OutputLife { Closed, Open, Closing };

const char* PhaseName(PlayPhase phase);

class WavePlay {
public:
    static constexpr int kMaxBuffers = 500;

    // Whether a play may move from one phase to the other.
    static bool Allowed(PlayPhase from, PlayPhase to);

    PlayPhase Phase() const { return phase_.load(); }
    // Moves to `to`; a move the table does not allow throws std::logic_error
    // and leaves the phase as it was. Callers hold the device lock.
    void MoveTo(PlayPhase to);

    // Playing in the output's sense: from the end of filling to the stop.
    bool Active() const
    {
        const PlayPhase phase = Phase();
        return phase == PlayPhase::Playing || phase == PlayPhase::Draining ||
               phase == PlayPhase::StopRequested;
    }
    // A returned buffer is handed down and refilled only in these phases.
    bool Handling() const
    {
        const PlayPhase phase = Phase();
        return phase == PlayPhase::Playing || phase == PlayPhase::Draining;
    }
    // Buffers may still go to the device (Start's filling, the handler's refill).
    bool Writing() const { return Phase() < PlayPhase::StopRequested; }

    // Buffers (main thread while filling, then the handler).
    ExtendedWaveHeader* headers[kMaxBuffers] = {};
    int buffers_in_use = 0;
    int ring_index = 0;
    bool more_buffers = false;  // the last load's answer, false once loaded nothing
    bool promised_more = false; // the source's own answer to the last load
    std::int32_t loops_remaining = 0;

    // Under the device lock.
    int queued_count = 0;     // buffers at the device
    int messages_pending = 0; // done notices forwarded and not yet handled
    int handlers_running = 0;
    bool discarding = false;  // a pause fed by another device drops the queue
    std::int64_t bytes_played = 0;
    std::int64_t loop_start = 0;
    std::int64_t pause_offset = 0;
    std::uint64_t last_device_position = 0;
    std::int64_t wrap_count = 0;
    std::int64_t wrap_amount = 0;
    std::int64_t position_at_stop = 0;

    // Its end (main thread): a play that never started ends without OnStop,
    // so that a handler answering OnStop with Start does not recurse on a
    // title it cannot play; a Close that found a handler finishing the stop
    // closes once the stop completes.
    bool announce_stop = true;
    bool close_after_stop = false;

private:
    std::atomic<PlayPhase> phase_{PlayPhase::Filling};
};

} // namespace pelu
