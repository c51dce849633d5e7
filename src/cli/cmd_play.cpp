// pelu play: the playing chain of the band without its form. The file source
// feeds the wave output, which hands every played buffer to the connector; the
// connector feeds two level meters (left, right) that the position line shows.
// Titles play one after another, advancing on OnStop as the band does; Ctrl-C
// or SIGTERM stops and closes the device cleanly, and a second one ends the
// program at once. A title that could not be played, or a device that failed
// during the play, is reported and makes the exit status 1.
#include "cli/command.h"

#include "audio/audio_file.h"
#include "audio/connector.h"
#include "audio/wave_out.h"
#include "platform/fs/file_facts.h"
#include "platform/fs/file_names.h"
#include "platform/wave/wave_device.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QSocketNotifier>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace pelu::cli {

namespace {

const std::string kUsage = "play [--device DEVICE] FILE...   (DEVICE: alsa, alsa:NAME, sim[:SPEED], null, or a device number)";

// Exit status after a signal: the shell's convention, 128 + its number
// (130 for Ctrl-C, 143 for SIGTERM).
constexpr int kExitSignalBase = 128;
// How long stopping and closing the device may take after a signal before the
// program ends without them (a device that hangs must not keep it alive).
constexpr int kStopPatienceMs = 2000;

// The signal that asked the program to end (0: none yet), and the pipe that
// wakes the event loop for it: a flag alone would wait for the loop's next
// event, which may never come.
std::atomic<int> g_signal{0};
int g_wake_pipe[2] = {-1, -1};

void on_signal(int signal_number)
{
    int expected = 0;
    if (!g_signal.compare_exchange_strong(expected, signal_number))
        _exit(kExitSignalBase + expected); // the second signal: at once
    const char byte = char(signal_number);
    const int saved_errno = errno;
    (void)!write(g_wake_pipe[1], &byte, 1);
    errno = saved_errno;
}

// A peak meter for one channel of 16-bit or 8-bit PCM: what the band's level
// meters compute, reduced to a number the position line can draw.
class PeakMeter : public TMMDisplay {
public:
    explicit PeakMeter(int channel) : channel_(channel) {}
    void SetPWaveFormat(const WaveFormat* format) override
    {
        format_ = format ? *format : WaveFormat{};
        peak_ = 0;
    }
    // About 23 ms of 16-bit stereo at 44.1 kHz per refresh.
    int DataSize() const override { return 4096; }
    void ProcessData(const char* data) override
    {
        const int channels = std::max<int>(1, format_.channels);
        const int channel = std::min(channel_, channels - 1);
        int peak = 0;
        if (format_.bits_per_sample == 16) {
            const int frames = DataSize() / (2 * channels);
            for (int i = 0; i < frames; ++i) {
                std::int16_t sample;
                std::memcpy(&sample, data + (i * channels + channel) * 2, 2);
                peak = std::max(peak, std::abs(int(sample)));
            }
        } else if (format_.bits_per_sample == 8) {
            const int frames = DataSize() / channels;
            for (int i = 0; i < frames; ++i)
                peak = std::max(peak, std::abs((int(std::uint8_t(data[i * channels + channel])) - 128) * 256));
        }
        peak_ = peak;
    }
    void ResetDisplay() override { peak_ = 0; }
    int Peak() const { return peak_; } // 0..32768

private:
    const int channel_;
    WaveFormat format_{};
    int peak_ = 0;
};

QString time_text(std::int64_t ms)
{
    const std::int64_t minutes = ms / 60000;
    return QString::asprintf("%d:%2.2d.%3.3d", int(minutes), int(ms / 1000 % 60), int(ms % 1000));
}

// An error text as one line of the program's messages: the component texts
// carry their label on a line of its own ("WaveOutOpen:" CR LF) and write an
// apostrophe twice, as the texts of the other platform's library do.
QString message_line(const QString& text)
{
    QString out;
    bool gap = false;
    for (QChar c : text) {
        if (c.unicode() < 0x20) {
            gap = true;
            continue;
        }
        if (gap && !out.isEmpty() && !out.endsWith(QLatin1Char(' ')))
            out += QLatin1Char(' ');
        gap = false;
        out += c;
    }
    out.replace(QLatin1String("''"), QLatin1String("'"));
    return out.trimmed();
}

QString bar(int peak)
{
    const int width = 10;
    const int filled = std::clamp(peak * width / 32768, 0, width);
    return QString(filled, QLatin1Char('#')) + QString(width - filled, QLatin1Char(' '));
}

} // namespace

int run_play(const QStringList& args)
{
    QString device_spec;
    QStringList files;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == "--device" || a == "-d") {
            if (i + 1 >= args.size())
                return usage_error(QStringLiteral("--device needs a value"), kUsage);
            device_spec = args[++i];
        } else if (a.startsWith('-') && a.size() > 1) {
            return usage_error(QStringLiteral("unknown option %1").arg(a), kUsage);
        } else {
            files << a;
        }
    }
    if (files.isEmpty())
        return usage_error(QStringLiteral("no file to play"), kUsage);

    int device_id = 0;
    if (!device_spec.isEmpty()) {
        bool is_number = false;
        const int number = device_spec.toInt(&is_number);
        if (is_number)
            device_id = number;
        else if (!platform::wave::select_wave_system(device_spec.toStdString()))
            return usage_error(QStringLiteral("unknown device %1").arg(device_spec), kUsage);
    }

    // The band's chain and settings: 8160-byte buffers refilled from a thread.
    TMMAudioFile source(MpegLibrary::Instance());
    source.setObjectName(QStringLiteral("audiox"));
    TMMWaveOut out;
    out.setObjectName(QStringLiteral("MMWaveOut1"));
    out.SetBufferSize(8160);
    out.SetCallBackMode(TMMWaveOut::cmThread);
    out.SetTimeFormat(TMMWaveOut::tfMillisecond);
    TMMConnector connector;
    connector.setObjectName(QStringLiteral("MMConnector1"));
    PeakMeter left(0), right(1);
    // The meters are drawn only on the position line: without it nobody sees
    // them, and with no display the connector neither copies nor wakes anyone.
    const bool show_line = isatty(STDERR_FILENO);
    if (show_line) {
        connector.SetLevel1(&left);
        connector.SetLevel2(&right);
    }
    source.SetOutput(&out);
    out.SetOutput(&connector);

    if (out.NumDevs() <= 0)
        return fail(out.ProductName()); // "No wave audio playing device found"
    out.SetDeviceID(device_id);
    if (out.DeviceID() == TMMWaveOut::kInvalidDevice)
        return fail(QStringLiteral("Invalid DeviceID"));

    if (g_wake_pipe[0] < 0 && pipe2(g_wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return fail(QStringLiteral("pipe: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
    g_signal = 0;
    QSocketNotifier woken(g_wake_pipe[0], QSocketNotifier::Read);
    QObject::connect(&woken, &QSocketNotifier::activated, [&] {
        char drained[16];
        while (read(g_wake_pipe[0], drained, sizeof drained) > 0) {
        }
    });
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    struct sigaction previous_int {}, previous_term {};
    sigaction(SIGINT, &action, &previous_int);
    sigaction(SIGTERM, &action, &previous_term);

    // Calls queued for later die with this run, not after it.
    QObject later;
    int index = -1;
    bool playing = false;  // the band's playing flag: OnStop advances while set
    bool finished = false;
    bool failed = false;
    bool fatal = false;
    QString current_file;          // the title the device plays
    bool error_unreported = false; // OnError fired and nothing said it yet

    const int device_to_open = device_id < 0 ? 0 : device_id; // the mapper plays on device 0
    const QString device_name = device_spec.isEmpty() ? QStringLiteral("device %1").arg(device_to_open) : device_spec;

    std::function<void()> play_next = [&] {
        while (!finished) {
            ++index;
            if (index >= files.size()) {
                finished = true;
                return;
            }
            const QString& file = files[index];
            if (const QString problem = platform::fs::input_file_problem(file); !problem.isEmpty()) {
                fail(QStringLiteral("%1: %2").arg(file, problem));
                failed = true;
                continue;
            }
            try {
                source.SetFileName(file);
                const WaveFormat* format = out.GetPWaveFormat();
                if (!format)
                    throw EMMAudioError("This is not a valid Audiofile");
                // Asked before "Playing": a format this device refuses skips the
                // title like an unreadable file; a device that cannot be opened
                // at all ends the run, since no other title would play either.
                const platform::wave::PcmFormat pcm{static_cast<int>(format->samples_per_sec), format->channels,
                                                    format->bits_per_sample};
                const int answer = platform::wave::wave_system().query_format(device_to_open, pcm);
                if (answer == platform::wave::kErrBadFormat) {
                    fail(QStringLiteral("%1: %2 (%3 Hz, %4 channels, %5 bits)")
                             .arg(file, message_line(QStringLiteral("The actual device can''t play this format")))
                             .arg(format->samples_per_sec)
                             .arg(format->channels)
                             .arg(format->bits_per_sample));
                    failed = true;
                    continue;
                }
                if (answer != platform::wave::kOk) {
                    fail(QStringLiteral("%1: %2").arg(
                        device_name, message_line(QString::fromStdString(platform::wave::error_text(answer)))));
                    failed = true;
                    fatal = true;
                    finished = true;
                    return;
                }
                std::printf("Playing %s (%s)\n",
                            platform::fs::encode_file_name(file.mid(file.lastIndexOf(QLatin1Char('/')) + 1)).constData(),
                            time_text(source.Duration()).toLocal8Bit().constData());
                std::fflush(stdout);
                playing = true;
                current_file = file;
                out.Start();
                return;
            } catch (const EMMWaveOutError& error) {
                playing = false;
                error_unreported = false; // said here, with its text
                const QString text = QString::fromLocal8Bit(error.what());
                fail(QStringLiteral("%1: %2").arg(file, message_line(text)));
                failed = true;
                // Without a device no other title will play either; a format
                // the device turns down at open is this title's problem only.
                if (text.contains(QStringLiteral("can''t play this format")))
                    continue;
                if (text.startsWith(QStringLiteral("WaveOutOpen:")) ||
                    text == QStringLiteral("No wave audio playing device found") ||
                    text == QStringLiteral("Invalid DeviceID")) {
                    fatal = true;
                    finished = true;
                    return;
                }
            } catch (const Error& error) {
                playing = false;
                error_unreported = false;
                fail(QStringLiteral("%1: %2").arg(file, message_line(QString::fromLocal8Bit(error.what()))));
                failed = true;
            }
        }
    };

    // A failure of the device during the play reaches us as the output's error
    // (OnError, on the main thread) and then as the report of its text; an
    // OnError that no text follows (a failed stop) is still a failure.
    const auto previous_report = TMMWaveOut::ReportThreadError;
    TMMWaveOut::ReportThreadError = [&](const QString& text) {
        error_unreported = false;
        if (g_signal != 0)
            return; // ended on request: what failed while stopping is no news
        fail(QStringLiteral("%1: %2").arg(current_file.isEmpty() ? device_name : current_file, message_line(text)));
        failed = true;
    };
    out.OnError = [&](QObject*) {
        error_unreported = true;
        QMetaObject::invokeMethod(
            &later,
            [&, file = current_file] {
                if (!error_unreported || g_signal != 0)
                    return;
                error_unreported = false;
                fail(QStringLiteral("%1: the wave output failed").arg(file.isEmpty() ? device_name : file));
                failed = true;
            },
            Qt::QueuedConnection);
    };

    out.OnStop = [&](QObject*) {
        if (show_line)
            std::fprintf(stderr, "\n");
        // Advance from the main loop, not from inside the wave output's Stop.
        if (playing)
            QMetaObject::invokeMethod(&later, [&] { play_next(); }, Qt::QueuedConnection);
    };

    // The line is drawn ten times a second, at the end of the connector's
    // feeding cycles, which run at that pace too: the meters are fed every
    // slice all the same, and nothing wakes in between only to feed meters
    // nobody sees or to draw a line that has not changed.
    constexpr std::int64_t kLinePaceUs = 100000;
    auto draw_line = [&] {
        if (g_signal != 0 || !show_line || !out.IsPlaying())
            return;
        std::fprintf(stderr, "\r  %s / %s  L %s  R %s ",
                     time_text(out.Position()).toLocal8Bit().constData(),
                     time_text(source.Duration()).toLocal8Bit().constData(),
                     bar(left.Peak()).toLocal8Bit().constData(),
                     bar(right.Peak()).toLocal8Bit().constData());
        std::fflush(stderr);
    };
    if (show_line) { // no wake-ups for a line nobody sees
        TMMConnector::SetFramePaceUs(kLinePaceUs);
        TMMConnector::SetCycleEndHook(draw_line);
    }

    play_next();
    QEventLoop loop;
    while (!finished && g_signal == 0)
        loop.processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);

    TMMConnector::SetCycleEndHook({});
    TMMConnector::SetFramePaceUs(TMMConnector::kFrameUs);
    const int signal_number = g_signal;
    if (signal_number != 0) {
        // Asked to end: a device that does not stop in time is left behind.
        std::thread([signal_number] {
            std::this_thread::sleep_for(std::chrono::milliseconds(kStopPatienceMs));
            _exit(kExitSignalBase + signal_number);
        }).detach();
    }
    playing = false;
    try {
        out.Stop();
        out.Close();
    } catch (const Error& error) {
        if (signal_number == 0) {
            fail(message_line(QString::fromLocal8Bit(error.what())));
            failed = true;
        }
    }
    // Reports posted by the stop and the close (a device that failed at the
    // very end) are said before the exit status is decided.
    QCoreApplication::sendPostedEvents();
    TMMWaveOut::ReportThreadError = previous_report;
    out.OnError = nullptr;
    out.OnStop = nullptr;
    sigaction(SIGINT, &previous_int, nullptr);
    sigaction(SIGTERM, &previous_term, nullptr);
    if (signal_number != 0) {
        if (show_line)
            std::fprintf(stderr, "\n");
        return kExitSignalBase + signal_number;
    }
    return (failed || fatal) ? kExitFailure : kExitOk;
}

PELU_COMMAND("play", kUsage, run_play);

} // namespace pelu::cli
