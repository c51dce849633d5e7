// Runs the pelu program built next to the test binary and collects what it
// said, for the command-line suites.
// Thread: main thread of a test.
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <filesystem>

namespace pelu::test {

struct CommandRun {
    int exit_code = -1; // -1 when pelu crashed or did not finish
    QString out;
    QString err;
};

// `pelu ARGS...` in `cwd` (the test's own folder when empty), waiting up to five minutes.
inline CommandRun pelu(const QStringList& args, const std::filesystem::path& cwd = {})
{
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "pelu";
    QProcess process;
    if (!cwd.empty())
        process.setWorkingDirectory(QString::fromStdString(cwd.string()));
    process.start(QString::fromStdString(program.string()), args);
    process.waitForFinished(300000);
    CommandRun run;
    run.exit_code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}


// Reads a started `pelu play`'s output until it says it plays (10 s at most).
inline bool wait_until_playing(QProcess& process)
{
    QString out;
    while (!out.contains(QStringLiteral("Playing")) && process.waitForReadyRead(10000))
        out += QString::fromLocal8Bit(process.readAllStandardOutput());
    return out.contains(QStringLiteral("Playing"));
}
} // namespace pelu::test
