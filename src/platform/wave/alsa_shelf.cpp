#include "platform/wave/alsa_shelf.h"

namespace pelu::platform::wave {

void close_pcm(snd_pcm_t* pcm)
{
    snd_pcm_drop(pcm);
    snd_pcm_close(pcm);
}

} // namespace pelu::platform::wave
