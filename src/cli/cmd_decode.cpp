// pelu decode: builds the form's chain (file source, equalizer when asked) and
// pulls it at its end with the form's buffer size until the data ends, writing
// the PCM to a RIFF WAVE file.
#include "cli/command.h"
#include "cli/wav_writer.h"

#include "audio/audio_file.h"
#include "audio/equalizer.h"
#include "platform/fs/file_facts.h"
#include "platform/fs/output_file.h"
#include "platform/profile/profile.h"

#include <QFileInfo>

#include <cstdio>
#include <unistd.h>

namespace pelu::cli {

namespace {

const std::string kUsage =
    "decode IN [-o OUT.wav] [--eq FILE.ini] [--eq-name NAME] [--from MS] [--buffer BYTES]";

// The end of the chain: a sound component that pulls buffers the way the wave
// output does, but hands them to a file instead of a device.
class DecodeSink : public TMMCustomSoundComponent {
    Q_OBJECT
    Q_PROPERTY(pelu::TMMDSPComponent* Input READ Input WRITE SetInput)
public:
    // Pulls one buffer; false once the source has no more.
    bool Pull(WaveBuffer& buffer, bool& more)
    {
        buffer.prepare_for_load();
        buffer.header()->buffer_length = static_cast<std::uint32_t>(BufferSize());
        more = false;
        BufferLoad(buffer.header(), more);
        return buffer.header()->bytes_recorded > 0;
    }
};

} // namespace

int run_decode(const QStringList& args)
{
    QString in, out, eq_file, eq_name;
    std::int64_t from_ms = 0;
    int buffer_bytes = 8160; // the form's output buffer size
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        auto value = [&](QString& target) {
            if (i + 1 >= args.size())
                return false;
            target = args[++i];
            return true;
        };
        QString text;
        bool ok = true;
        if (a == "-o" || a == "--output") {
            ok = value(out);
        } else if (a == "--eq") {
            ok = value(eq_file);
        } else if (a == "--eq-name") {
            ok = value(eq_name);
        } else if (a == "--from") {
            ok = value(text);
            from_ms = text.toLongLong(&ok);
            ok = ok && from_ms >= 0;
        } else if (a == "--buffer") {
            ok = value(text);
            buffer_bytes = text.toInt(&ok);
            ok = ok && buffer_bytes >= 4;
        } else if (a.startsWith('-') && a.size() > 1) {
            return usage_error(QStringLiteral("unknown option %1").arg(a), kUsage);
        } else if (in.isEmpty()) {
            in = a;
        } else {
            return usage_error(QStringLiteral("only one input file"), kUsage);
        }
        if (!ok)
            return usage_error(QStringLiteral("bad value for %1").arg(a), kUsage);
    }
    if (in.isEmpty())
        return usage_error(QStringLiteral("no input file"), kUsage);
    if (eq_file.isEmpty() && !eq_name.isEmpty())
        return usage_error(QStringLiteral("--eq-name needs --eq"), kUsage);
    if (eq_name.isEmpty())
        eq_name = QStringLiteral("BrindleX"); // the section the player keeps its preset in
    if (out.isEmpty()) {
        const QFileInfo info(in);
        out = info.completeBaseName() + QStringLiteral(".wav");
    }
    if (const QString problem = platform::fs::input_file_problem(in); !problem.isEmpty())
        return fail(QStringLiteral("%1: %2").arg(in, problem));
    // Written through a temporary file and a rename, the output would replace
    // the very file being read.
    for (const QString& input : {in, eq_file})
        if (!input.isEmpty() && platform::fs::same_file(input, out))
            return fail(QStringLiteral("%1: is the input file %2; name another output").arg(out, input));

    MpegLibrary& library = MpegLibrary::Instance();
    TMMAudioFile source(library);
    source.setObjectName(QStringLiteral("audiox"));
    DecodeSink sink;
    sink.setObjectName(QStringLiteral("MMWaveOut1"));
    // As on the form: audiox -> eq -> MMWaveOut1, the equalizer only when asked.
    TMMEqualizer eq;
    eq.setObjectName(QStringLiteral("eq"));
    if (!eq_file.isEmpty()) {
        if (const QString problem = platform::fs::input_file_problem(eq_file); !problem.isEmpty())
            return fail(QStringLiteral("%1: %2").arg(eq_file, problem));
        try {
            // A preset that is not there would leave the sound flat without a word.
            const platform::PrivateProfile profile(eq_file);
            if (profile.ReadInteger(QStringLiteral("EQ.") + eq_name, QStringLiteral("FFTLen"), -1) <= 0)
                return fail(QStringLiteral("%1: no equalizer preset \"%2\"").arg(eq_file, eq_name));
            eq.LoadFromIniFile(eq_file, eq_name);
        } catch (const Error& error) {
            return fail(QStringLiteral("%1: %2").arg(eq_file, QString::fromLocal8Bit(error.what())));
        }
        source.SetOutput(&eq);
        eq.SetOutput(&sink);
    } else {
        source.SetOutput(&sink);
    }
    try {
        source.SetFileName(in);
    } catch (const Error& error) {
        return fail(QStringLiteral("%1: %2").arg(in, QString::fromLocal8Bit(error.what())));
    }
    const WaveFormat* format = sink.GetPWaveFormat();
    if (!format)
        return fail(QStringLiteral("%1: %2").arg(in, QStringLiteral("This is not a valid Audiofile")));
    const WaveFormat pcm = *format;
    if (from_ms > 0 && source.Duration() >= 0 && from_ms > source.Duration())
        return fail(QStringLiteral("%1: --from %2 ms is beyond the end of the title (%3 ms)")
                        .arg(in)
                        .arg(from_ms)
                        .arg(source.Duration()));

    WavWriter writer;
    QString error;
    if (!writer.Open(out, pcm, &error))
        return fail(error);

    if (from_ms > 0)
        source.SetPosition(from_ms);
    sink.SetBufferSize(buffer_bytes);
    sink.PropagateOpen();
    sink.PropagateStart();

    const bool progress = isatty(STDERR_FILENO);
    const std::int64_t duration_ms = source.Duration();
    WaveBuffer buffer(static_cast<std::uint32_t>(sink.BufferSize()));
    bool more = true;
    int last_percent = -1;
    while (more) {
        if (!sink.Pull(buffer, more))
            break;
        if (!more && source.LastLoadWasEndMarker())
            break; // the end marker is no sound of the title
        if (!writer.Write(buffer.data(), buffer.header()->bytes_recorded, &error)) {
            sink.PropagateStop();
            sink.PropagateClose();
            writer.Abandon();
            return fail(error);
        }
        if (progress && duration_ms > 0) {
            const int percent = static_cast<int>(100 * source.Position() / duration_ms);
            if (percent != last_percent) {
                last_percent = percent;
                std::fprintf(stderr, "\r%3d%%", std::min(percent, 100));
            }
        }
    }
    if (progress)
        std::fprintf(stderr, "\r    \r");
    sink.PropagateStop();
    sink.PropagateClose();
    if (!writer.Finish(&error))
        return fail(error);
    return kExitOk;
}

PELU_COMMAND("decode", kUsage, run_decode);

} // namespace pelu::cli

#include "cmd_decode.moc"
