// A private PipeWire sound server for tests of the real output path, as a Linux
// desktop has it: ALSA's `default` PCM and control device go to PipeWire through
// pipewire-alsa. One null sink ("pelu-test-sink", 48 kHz, FL FR) is the default
// sink; its monitor can be recorded to a WAV file and compared with decoded PCM.
//
// How it starts (found by trying it as root, without a desktop, as CI runs):
//   - its own XDG_RUNTIME_DIR (a temporary folder, mode 0700); as root that alone
//     was enough here, and PIPEWIRE_RUNTIME_DIR names the same folder too, since
//     it takes precedence where a machine sets it for everyone;
//   - a private session bus first: wireplumber exits at once without one
//     ("Cannot autolaunch D-Bus without X11 $DISPLAY"); pipewire itself only
//     warns that its portal module has no bus;
//   - `pipewire`, waited for until its socket pipewire-0 exists, then
//     `wireplumber`, then the sink with
//     `pw-cli create-node adapter '{ factory.name=support.null-audio-sink ... }'`
//     (object.linger=true keeps it after pw-cli exits); ready once
//     `wpctl inspect @DEFAULT_AUDIO_SINK@` names it;
//   - the monitor: `pw-record --target pelu-test-sink -P '{ stream.capture.sink=true }'
//     --rate 48000 --channels 2 --format s16 --latency 50ms FILE.wav`; it records
//     silence while nothing plays, so its file grows in real time from the start;
//     it is stopped with SIGTERM (read_wav16 reads a data chunk whose size was
//     never written to the end of the file). With --latency 10ms a busy machine
//     made it lose a whole quantum (256 frames) now and then: not bit-exact;
//     with 50 ms no run lost any. The file grows one graph quantum at a time
//     (2048 frames, 43 ms, while only the recorder runs), which bounds how
//     precisely RecordedFrames() tells the time;
//   - when pipewire is killed, wireplumber disconnects and exits by itself.
// Everything it starts is in one process group led by a watchdog shell that
// reads a pipe only this process holds: when the test process dies, even by
// SIGKILL, the pipe closes and the watchdog removes the runtime folder and
// kills the whole group.
//
// Thread: one owner thread (a test's main thread).
#pragma once

#include "child_process.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

namespace pelu::test {

class PrivateBus;

class SoundServer {
public:
    static constexpr int kRateHz = 48000;
    static constexpr int kChannels = 2;
    static constexpr const char* kSinkName = "pelu-test-sink";

    // Starts the bus, the server, the session manager and the sink; see ok().
    SoundServer();
    ~SoundServer();
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    // False when it could not start; problem() says why (for GTEST_SKIP).
    bool ok() const { return problem_.isEmpty(); }
    const QString& problem() const { return problem_; }

    // NAME=VALUE entries a client needs to reach this server
    // (XDG_RUNTIME_DIR, PIPEWIRE_RUNTIME_DIR, DBUS_SESSION_BUS_ADDRESS).
    QStringList Environment() const;
    // Sets them in this process, for an ALSA client opened in-process afterwards.
    void ApplyToThisProcess() const;

    // Records the sink's monitor to `wav` until StopRecording(); waits until
    // the recording runs. False when it does not.
    bool StartRecording(const std::filesystem::path& wav);
    // Ends the recording (the WAV file is complete afterwards).
    void StopRecording();
    // Frames recorded so far (the file's growth), while recording.
    std::int64_t RecordedFrames() const;

    // kill -9 of the pipewire process (wireplumber follows it).
    void KillServer();
    // Starts pipewire, wireplumber and the sink again after KillServer().
    bool Restart();

    // The default sink's volume as wpctl gives it (its cubic scale), nullopt
    // when wpctl cannot tell.
    std::optional<double> SinkVolume() const;
    bool SetSinkVolume(double volume) const;

    // Runs a PipeWire tool with this server's environment; its exit status
    // (-1 when it did not end within `timeout_ms`) and its first output line.
    int RunTool(const QString& program, const QStringList& arguments, QString* first_line = nullptr,
                int timeout_ms = 5000) const;

private:
    bool StartServer();
    void StopServer();
    ChildProcess::Options Options() const;

    QString problem_;
    std::filesystem::path runtime_dir_;
    int watchdog_pipe_ = -1;
    ChildProcess watchdog_;
    std::unique_ptr<PrivateBus> bus_;
    ChildProcess pipewire_;
    ChildProcess wireplumber_;
    ChildProcess recorder_;
    std::filesystem::path recording_;
};

// A 16-bit PCM WAV file's samples (interleaved). A data chunk whose size was
// never written (a recorder killed before finishing) runs to the end of the file.
struct Pcm16 {
    int rate_hz = 0;
    int channels = 0;
    std::vector<std::int16_t> samples;
    std::int64_t frames() const { return channels ? std::int64_t(samples.size()) / channels : 0; }
};
std::optional<Pcm16> read_wav16(const std::filesystem::path& path);

// The first frame at or after `from` with a sample other than 0; frames() when none.
std::int64_t first_sound_frame(const Pcm16& pcm, std::int64_t from = 0);
// One past the last frame with a sample other than 0; 0 when none.
std::int64_t end_of_sound(const Pcm16& pcm);

// Where each title was found in a recording, in order.
struct TitleInRecording {
    bool found = false;        // its first sound was found where it was looked for
    bool exact = false;        // every sample of the title matched
    std::int64_t start = 0;    // the recording's frame where the title's frame 0 lies
    std::int64_t end = 0;      // one past its last frame
    std::int64_t gap_before = 0; // frames of silence between the previous title's end and this start
};
// Looks for `titles` one after another in `recording`: each title is aligned
// on its first sound (frames of exact silence before it are part of the title)
// and compared sample by sample.
std::vector<TitleInRecording> find_titles(const Pcm16& recording, const std::vector<Pcm16>& titles);

} // namespace pelu::test
