// The ALSA wave-output backend (see wave_device.h).
// Thread: as wave_device.h says; each open device runs one thread of its own,
// and only that thread touches the ALSA handle after open.
#pragma once

#include "platform/wave/wave_device.h"

namespace pelu::platform::wave {

// `preferred_name` (may be empty) becomes device 0; otherwise device 0 is
// "default" when ALSA lists any playback device, followed by the others.
std::unique_ptr<WaveSystem> make_alsa_system(const std::string& preferred_name);

} // namespace pelu::platform::wave
