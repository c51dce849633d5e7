#include "sound_server.h"

#include "wait_until.h"

#include "dbus_session.h"

#include <QByteArray>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace pelu::test {

namespace {

using Clock = std::chrono::steady_clock;

std::uint32_t le32(const unsigned char* p) { return p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t(p[3]) << 24; }
std::uint16_t le16(const unsigned char* p) { return std::uint16_t(p[0] | p[1] << 8); }

// Where the data chunk starts and how long it says it is; format from "fmt ".
struct WavLayout {
    std::int64_t data_offset = -1;
    std::int64_t data_size = 0;
    int rate_hz = 0;
    int channels = 0;
    int bits = 0;
};

std::optional<WavLayout> wav_layout(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    unsigned char head[12];
    if (!in.read(reinterpret_cast<char*>(head), 12) || std::memcmp(head, "RIFF", 4) != 0 ||
        std::memcmp(head + 8, "WAVE", 4) != 0)
        return std::nullopt;
    WavLayout layout;
    std::int64_t at = 12;
    unsigned char chunk[8];
    while (in.read(reinterpret_cast<char*>(chunk), 8)) {
        const std::int64_t size = le32(chunk + 4);
        at += 8;
        if (std::memcmp(chunk, "fmt ", 4) == 0 && size >= 16) {
            unsigned char fmt[16];
            if (!in.read(reinterpret_cast<char*>(fmt), 16))
                return std::nullopt;
            layout.channels = le16(fmt + 2);
            layout.rate_hz = int(le32(fmt + 4));
            layout.bits = le16(fmt + 14);
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            layout.data_offset = at;
            layout.data_size = size;
            return layout;
        }
        at += size + (size & 1);
        in.seekg(at);
    }
    return std::nullopt;
}

} // namespace

SoundServer::SoundServer()
{
    char folder[] = "/tmp/pelu-sound-XXXXXX"; // mkdtemp makes it 0700
    if (!::mkdtemp(folder)) {
        problem_ = QStringLiteral("no temporary runtime folder");
        return;
    }
    runtime_dir_ = folder;

    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
        problem_ = QStringLiteral("no pipe for the watchdog");
        return;
    }
    ChildProcess::Options leader;
    leader.input = pipe_fds[0];
    leader.process_group = 0;
    // Its input ends when this process does: then it removes the runtime
    // folder and kills its whole group (mkdtemp's name needs no quoting).
    const bool watching = watchdog_.Start(
        QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("read line; rm -rf %1; kill -KILL 0").arg(QLatin1String(folder))},
        leader);
    ::close(pipe_fds[0]);
    watchdog_pipe_ = pipe_fds[1];
    if (!watching) {
        problem_ = QStringLiteral("cannot start the watchdog shell");
        return;
    }
    ChildProcess::Options in_group;
    in_group.process_group = watchdog_.pid();
    bus_ = std::make_unique<PrivateBus>(in_group);
    if (bus_->address().isEmpty()) {
        problem_ = QStringLiteral("cannot start a private dbus-daemon");
        return;
    }
    StartServer();
}

SoundServer::~SoundServer()
{
    StopServer();
    bus_.reset();
    if (watchdog_pipe_ >= 0)
        ::close(watchdog_pipe_);
    if (watchdog_.Wait(3000) < 0)
        watchdog_.Stop();
    std::error_code ignored;
    if (!runtime_dir_.empty())
        std::filesystem::remove_all(runtime_dir_, ignored);
}

QStringList SoundServer::Environment() const
{
    const QString dir = QString::fromStdString(runtime_dir_.string());
    return {QStringLiteral("XDG_RUNTIME_DIR=") + dir, QStringLiteral("PIPEWIRE_RUNTIME_DIR=") + dir,
            QStringLiteral("DBUS_SESSION_BUS_ADDRESS=") + (bus_ ? bus_->address() : QString())};
}

void SoundServer::ApplyToThisProcess() const
{
    for (const QString& entry : Environment()) {
        const qsizetype at = entry.indexOf(QLatin1Char('='));
        ::setenv(entry.left(at).toLocal8Bit().constData(), entry.mid(at + 1).toLocal8Bit().constData(), 1);
    }
}

ChildProcess::Options SoundServer::Options() const
{
    ChildProcess::Options options;
    options.environment = Environment();
    options.process_group = watchdog_.pid();
    return options;
}

int SoundServer::RunTool(const QString& program, const QStringList& arguments, QString* output, int timeout_ms) const
{
    ChildProcess tool;
    if (!tool.Start(program, arguments, Options()))
        return -1;
    const QByteArray text = tool.ReadAll(timeout_ms);
    if (output)
        *output = QString::fromUtf8(text);
    const int status = tool.Wait(500);
    tool.Stop(500);
    return status;
}

bool SoundServer::StartServer()
{
    const auto socket = runtime_dir_ / "pipewire-0";
    std::error_code ignored;
    std::filesystem::remove(socket, ignored);
    std::filesystem::remove(runtime_dir_ / "pipewire-0.lock", ignored);
    if (!pipewire_.Start(QStringLiteral("pipewire"), {}, Options())) {
        problem_ = QStringLiteral("cannot start pipewire (package pipewire-bin)");
        return false;
    }
    if (!wait_until([&] { return std::filesystem::exists(socket); }, 10000, Events::none)) {
        problem_ = QStringLiteral("pipewire made no socket in its runtime folder");
        return false;
    }
    if (!wireplumber_.Start(QStringLiteral("wireplumber"), {}, Options())) {
        problem_ = QStringLiteral("cannot start wireplumber");
        return false;
    }
    const QString sink = QStringLiteral(
                             "{ factory.name=support.null-audio-sink node.name=%1 media.class=Audio/Sink "
                             "object.linger=true audio.position=[FL FR] audio.rate=%2 }")
                             .arg(QLatin1String(kSinkName))
                             .arg(kRateHz);
    if (RunTool(QStringLiteral("pw-cli"), {QStringLiteral("create-node"), QStringLiteral("adapter"), sink}) != 0) {
        problem_ = QStringLiteral("pw-cli could not create the null sink");
        return false;
    }
    const QString wanted = QStringLiteral("node.name = \"%1\"").arg(QLatin1String(kSinkName));
    if (!wait_until(
            [&] {
                QString text;
                RunTool(QStringLiteral("wpctl"), {QStringLiteral("inspect"), QStringLiteral("@DEFAULT_AUDIO_SINK@")},
                        &text);
                return text.contains(wanted);
            },
            10000)) {
        problem_ = QStringLiteral("the null sink did not become the default sink");
        return false;
    }
    problem_.clear();
    return true;
}

void SoundServer::StopServer()
{
    recorder_.Stop();
    wireplumber_.Stop();
    pipewire_.Stop();
}

bool SoundServer::StartRecording(const std::filesystem::path& wav)
{
    recording_ = wav;
    std::error_code ignored;
    std::filesystem::remove(wav, ignored);
    if (!recorder_.Start(QStringLiteral("pw-record"),
                         {QStringLiteral("--target"), QLatin1String(kSinkName), QStringLiteral("-P"),
                          QStringLiteral("{ stream.capture.sink=true }"), QStringLiteral("--rate"),
                          QString::number(kRateHz), QStringLiteral("--channels"), QString::number(kChannels),
                          QStringLiteral("--format"), QStringLiteral("s16"), QStringLiteral("--latency"),
                          QStringLiteral("50ms"), QString::fromStdString(wav.string())},
                         Options()))
        return false;
    // The monitor runs (records silence) once the file grows.
    return wait_until([&] { return RecordedFrames() > kRateHz / 100; }, 10000, Events::none);
}

void SoundServer::StopRecording()
{
    recorder_.Stop(5000);
}

std::int64_t SoundServer::RecordedFrames() const
{
    const auto layout = wav_layout(recording_);
    if (!layout || layout->channels <= 0)
        return 0;
    std::error_code error;
    const auto size = std::int64_t(std::filesystem::file_size(recording_, error));
    if (error)
        return 0;
    return std::max<std::int64_t>(0, size - layout->data_offset) / (2 * layout->channels);
}

void SoundServer::KillServer()
{
    pipewire_.Kill(SIGKILL);
    if (wireplumber_.Wait(3000) < 0)
        wireplumber_.Stop();
}

bool SoundServer::Restart()
{
    StopServer();
    return StartServer();
}

std::optional<double> SoundServer::SinkVolume() const
{
    QString text;
    if (RunTool(QStringLiteral("wpctl"), {QStringLiteral("get-volume"), QStringLiteral("@DEFAULT_AUDIO_SINK@")},
                &text) != 0)
        return std::nullopt;
    // "Volume: 0.30" (and " [MUTED]" when muted)
    const QStringList words = text.simplified().split(QLatin1Char(' '));
    bool number = false;
    const double volume = words.size() >= 2 ? words[1].toDouble(&number) : 0.0;
    return number ? std::optional<double>(volume) : std::nullopt;
}

bool SoundServer::SetSinkVolume(double volume) const
{
    return RunTool(QStringLiteral("wpctl"),
                   {QStringLiteral("set-volume"), QStringLiteral("@DEFAULT_AUDIO_SINK@"), QString::number(volume)}) == 0;
}

// ---------------------------------------------------------------------------

std::optional<Pcm16> read_wav16(const std::filesystem::path& path)
{
    const auto layout = wav_layout(path);
    if (!layout || layout->bits != 16 || layout->channels <= 0)
        return std::nullopt;
    std::error_code error;
    const auto size = std::int64_t(std::filesystem::file_size(path, error));
    if (error)
        return std::nullopt;
    std::int64_t bytes = size - layout->data_offset;
    if (layout->data_size > 0 && layout->data_size < bytes)
        bytes = layout->data_size;
    Pcm16 pcm;
    pcm.rate_hz = layout->rate_hz;
    pcm.channels = layout->channels;
    pcm.samples.resize(std::size_t(bytes / 2 / layout->channels * layout->channels));
    std::ifstream in(path, std::ios::binary);
    in.seekg(layout->data_offset);
    in.read(reinterpret_cast<char*>(pcm.samples.data()), std::streamsize(pcm.samples.size() * 2));
    return pcm;
}

std::int64_t first_sound_frame(const Pcm16& pcm, std::int64_t from)
{
    for (std::int64_t f = std::max<std::int64_t>(0, from); f < pcm.frames(); ++f)
        for (int c = 0; c < pcm.channels; ++c)
            if (pcm.samples[std::size_t(f * pcm.channels + c)] != 0)
                return f;
    return pcm.frames();
}

std::int64_t end_of_sound(const Pcm16& pcm)
{
    for (std::int64_t f = pcm.frames(); f > 0; --f)
        for (int c = 0; c < pcm.channels; ++c)
            if (pcm.samples[std::size_t((f - 1) * pcm.channels + c)] != 0)
                return f;
    return 0;
}

std::vector<TitleInRecording> find_titles(const Pcm16& recording, const std::vector<Pcm16>& titles)
{
    std::vector<TitleInRecording> found;
    std::int64_t from = 0;
    for (std::size_t i = 0; i < titles.size(); ++i) {
        const Pcm16& title = titles[i];
        TitleInRecording where;
        const std::int64_t lead = first_sound_frame(title);
        const std::int64_t sound = first_sound_frame(recording, from + lead);
        if (title.channels != recording.channels || lead == title.frames() || sound == recording.frames()) {
            found.push_back(where);
            break;
        }
        where.found = true;
        where.start = sound - lead;
        where.end = where.start + title.frames();
        where.gap_before = i == 0 ? 0 : where.start - from;
        where.exact = where.end <= recording.frames() &&
                      std::equal(title.samples.begin(), title.samples.end(),
                                 recording.samples.begin() + std::ptrdiff_t(where.start * recording.channels));
        found.push_back(where);
        from = where.end;
    }
    return found;
}

} // namespace pelu::test
