#include "platform/wave/alsa_device.h"
#include "platform/wave/sim_device.h"
#include "platform/wave/wave_device.h"

#include <alsa/asoundlib.h>

#include <cstdlib>
#include <mutex>

namespace pelu::platform::wave {

std::string error_text(int code)
{
    std::string text;
    switch (code) {
    case kOk: text = "The specified command was carried out"; break;
    case kErrError: text = "Undefined external error"; break;
    case kErrBadDeviceId: text = "A device ID has been used that is out of range for your system"; break;
    case kErrNotEnabled: text = "The driver was not enabled"; break;
    case kErrAllocated: text = "The specified device is already in use"; break;
    case kErrInvalidHandle: text = "The device handle is invalid"; break;
    case kErrNoDriver: text = "There is no driver installed on your system"; break;
    case kErrNoMem: text = "There is not enough memory available for this task"; break;
    case kErrNotSupported: text = "This function is not supported"; break;
    case kErrBadFormat: text = "The device cannot play this wave format"; break;
    case kErrStillPlaying: text = "Cannot perform this operation while media data is still playing"; break;
    default:
        if (code < 0)
            text = snd_strerror(code); // errno and ALSA's own codes
        else
            text = "Specified error number is out of range (unknown error)";
    }
    if (text.size() > 255)
        text.resize(255);
    return text;
}

namespace {

std::mutex g_mutex;
std::unique_ptr<WaveSystem> g_system;

std::unique_ptr<WaveSystem> system_from_name(const std::string& device_name)
{
    if (device_name == "alsa")
        return make_alsa_system("");
    if (device_name.rfind("alsa:", 0) == 0 && device_name.size() > 5)
        return make_alsa_system(device_name.substr(5));
    if (device_name == "null")
        return make_sim_system(0, true);
    if (device_name == "sim")
        return make_sim_system(0, false);
    if (device_name.rfind("sim:", 0) == 0) {
        const std::string number = device_name.substr(4);
        char* end = nullptr;
        const double speed = std::strtod(number.c_str(), &end);
        if (number.empty() || !end || *end != '\0' || !(speed >= 0) || speed > 1e6)
            return nullptr;
        return make_sim_system(speed, false);
    }
    return nullptr;
}

} // namespace

WaveSystem& wave_system()
{
    std::lock_guard lock(g_mutex);
    if (!g_system) {
        const char* variable = std::getenv("PELU_WAVE_DEVICE");
        if (variable && *variable)
            g_system = system_from_name(variable);
        // An unknown value falls back to the default rather than to no sound.
        if (!g_system)
            g_system = make_alsa_system("");
    }
    return *g_system;
}

bool select_wave_system(const std::string& device_name)
{
    auto chosen = system_from_name(device_name);
    if (!chosen)
        return false;
    std::lock_guard lock(g_mutex);
    g_system = std::move(chosen);
    return true;
}

} // namespace pelu::platform::wave
