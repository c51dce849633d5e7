// Runs the pelu program built next to the test binary and collects what it
// said, for the command-line suites.
// Thread: main thread of a test.
#pragma once

#include "run_program.h"

#include <QProcess>
#include <QString>
#include <QStringList>

#include <filesystem>

namespace pelu::test {

using CommandRun = ProgramRun;

// `pelu ARGS...` in `cwd` (the test's own folder when empty) with `environment`
// (NAME=VALUE) over the test's, waiting up to five minutes.
inline CommandRun pelu(const QStringList& args, const std::filesystem::path& cwd = {},
                       const QStringList& environment = {})
{
    return run_program(built_program(QStringLiteral("pelu")), args,
                       {.environment = environment, .working_directory = cwd, .timeout_ms = 300000});
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
