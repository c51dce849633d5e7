// The simulated and the null wave-output backends (see wave_device.h).
// Thread: as wave_device.h says; each open device runs one thread of its own.
#pragma once

#include "platform/wave/wave_device.h"

namespace pelu::platform::wave {

// speed: how many times real time the device plays; 0 = as fast as possible,
// one buffer back at a time. Paced, it gives played buffers back in batches of
// up to 100 ms of sound (half its queue at most), as a card's driver wakes its
// client when part of its ring is free; its clock runs on in between.
// A null system is a sim system at speed 0 that records nothing.
std::unique_ptr<WaveSystem> make_sim_system(double speed, bool null_device);

} // namespace pelu::platform::wave
