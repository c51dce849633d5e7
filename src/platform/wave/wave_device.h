// The wave-output platform layer: open a playback device with a PCM format, write
// buffers that come back later with a done notice, pause, restart, reset (every
// queued buffer comes back), the position in samples actually played, close.
//
// Three backends stand behind one interface, chosen at run time:
//   PELU_WAVE_DEVICE=alsa       ALSA (the default): device 0 is ALSA's "default",
//                               further numbers the other playback devices ALSA lists
//   PELU_WAVE_DEVICE=alsa:NAME  ALSA with NAME as device 0 (e.g. alsa:null)
//   PELU_WAVE_DEVICE=sim[:N]    a simulated device consuming buffers at N x real time
//                               (N = 0 or absent: as fast as possible), exact sample clock
//   PELU_WAVE_DEVICE=null       accepts every buffer and returns it at once
// select_wave_system() overrides the variable (the `pelu play --device` option).
//
// Thread: WaveSystem and WaveOutDevice calls may come from any thread (the owner
// serialises its own calls). Every notification (opened, done, failed, closed)
// runs on the backend's own thread or, for reset and close, on the caller's
// thread, and never while the backend holds a lock of its own: a client may call
// back into the device from a notification except close(). No backend holds its
// lock across a sleep or a wait for the hardware, so every call returns promptly,
// also on a device that has failed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace pelu::platform::wave {

// Result codes: 0 is success, positive values are this layer's own codes,
// negative values are backend (errno-style) codes. error_text() names both.
enum : int {
    kOk = 0,
    kErrError = 1,        // unspecified error
    kErrBadDeviceId = 2,  // device identifier out of range
    kErrNotEnabled = 3,
    kErrAllocated = 4,    // already in use
    kErrInvalidHandle = 5,
    kErrNoDriver = 6,
    kErrNoMem = 7,
    kErrNotSupported = 8,
    kErrBadFormat = 32,   // the device cannot play this format
    kErrStillPlaying = 33,
};

// The texts of this layer's codes and of backend codes; "Specified error number
// is out of range (unknown error)" for codes nobody knows. At most 255 characters.
std::string error_text(int code);

struct PcmFormat {
    int samples_per_sec = 0;
    int channels = 0;
    int bits_per_sample = 0;
    int block_align() const { return channels * ((bits_per_sample + 7) / 8); }
};

// Format bits of the capabilities, the platform's WAVE_FORMAT_* values.
enum : std::uint32_t {
    kFormat1M08 = 0x1, kFormat1S08 = 0x2, kFormat1M16 = 0x4, kFormat1S16 = 0x8,
    kFormat2M08 = 0x10, kFormat2S08 = 0x20, kFormat2M16 = 0x40, kFormat2S16 = 0x80,
    kFormat4M08 = 0x100, kFormat4S08 = 0x200, kFormat4M16 = 0x400, kFormat4S16 = 0x800,
    kFormatAll = 0xFFF,
};

struct DeviceCaps {
    std::string product_name;
    std::uint32_t driver_version = 0;
    std::uint32_t formats = 0; // kFormat* bits
    int channels = 2;
};

// What an open device tells its client.
class WaveOutClient {
public:
    virtual ~WaveOutClient() = default;
    virtual void wave_opened() = 0;
    // A buffer given to write() has played (or was returned by reset).
    virtual void wave_done(void* tag) = 0;
    virtual void wave_closed() = 0;
    // The device failed for good while playing (the card went away, the sound
    // server is gone): `code` says why. It plays nothing more and refuses further
    // writes with that code; reset and close still return every queued buffer.
    // Delivered once.
    virtual void wave_failed(int code) { (void)code; }
};

// One open device.
class WaveOutDevice {
public:
    virtual ~WaveOutDevice() = default;
    // Queues `length_bytes` bytes at `data` (whole frames); the memory stays the
    // caller's and must live until wave_done(tag).
    virtual int write(const char* data, std::uint32_t length_bytes, void* tag) = 0;
    // Holds playback; queued buffers stay queued.
    virtual int pause() = 0;
    virtual int restart() = 0;
    // Returns every queued buffer (each with wave_done) and sets the position to 0.
    virtual int reset() = 0;
    // Samples played since open or the last reset.
    virtual int position_samples(std::uint64_t& samples) = 0;
    // Returns queued buffers, stops the backend's thread, delivers wave_closed.
    virtual int close() = 0;
};

class WaveSystem {
public:
    virtual ~WaveSystem() = default;
    virtual std::string backend_name() const = 0;
    virtual int device_count() = 0;
    virtual int capabilities(int device_id, DeviceCaps& caps) = 0;
    // kOk when the device can play the format (a query open).
    virtual int query_format(int device_id, const PcmFormat& format) = 0;
    virtual int open(int device_id, const PcmFormat& format, WaveOutClient* client,
                     std::unique_ptr<WaveOutDevice>& device) = 0;
};

// The system chosen by select_wave_system(), else by PELU_WAVE_DEVICE, else ALSA.
WaveSystem& wave_system();

// Chooses the backend from a device name ("alsa", "alsa:NAME", "sim", "sim:N",
// "null"). Returns false and leaves the choice unchanged for a name it does not
// understand. Call it before any wave output exists.
bool select_wave_system(const std::string& device_name);

// ---------------------------------------------------------------------------
// The simulated device's recorder: what sim devices played, for tests. Off by
// default (a long play would keep every byte).
class SimRecorder {
public:
    static void set_enabled(bool enabled);
    static void clear();
    // Every byte the sim devices played to the end, in playing order.
    static std::vector<char> played_bytes();
    static std::uint64_t played_buffers();
    // The next sim device opened reports its sample counter as a 32-bit value
    // starting here (to exercise a counter that wraps); 0 restores the plain
    // 64-bit counter.
    static void set_counter_start(std::uint32_t start);
    static std::uint32_t counter_start();
};

// Faults for the simulated device, for tests. Each is taken up by the next sim
// device opened (one device each), so a reopened device is healthy again.
class SimFaults {
public:
    // The next device fails (wave_failed(code)) when it would play buffer
    // number `buffers` + 1, as a card that is unplugged while playing.
    static void fail_next_device_after(std::uint64_t buffers, int code);
    // The next `count` opens fail with `code`, as a card that is gone.
    static void fail_next_opens(int count, int code);
    static void clear();
};

// The simulated system's device list, for tests of device choice. Device 0 is
// always the simulated default; by default it is the only one. The devices
// named here follow it as numbers 1, 2, ...; naming a shorter list later is
// devices going away (their numbers then refuse with kErrBadDeviceId, or name
// another device, as a re-listed system would).
class SimDevices {
public:
    static void set_extra_devices(const std::vector<std::string>& product_names);
    static std::vector<std::string> extra_devices();
    static void clear() { set_extra_devices({}); }
};

} // namespace pelu::platform::wave
