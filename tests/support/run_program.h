// Runs a program to its end and collects what it said, for the suites that
// test the command-line programs from the outside.
// QProcess is fine here: these runs start no threads of the test's own around
// them. For helpers that live beside threaded code under the sanitizer, see
// child_process.h.
// Thread: main thread of a test.
#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <filesystem>
#include <optional>

namespace pelu::test {

struct ProgramRun {
    bool finished = false; // false: still running at the time limit, then killed
    int exit_code = -1;    // -1 when it crashed or did not finish
    QString out;           // both channels when RunOptions::merge_output
    QString err;
};

struct RunOptions {
    QStringList environment{};                 // NAME=VALUE entries over the base environment
    std::optional<QProcessEnvironment> base_environment{}; // none: the caller's
    std::filesystem::path working_directory{}; // empty: the test's own
    int timeout_ms = 120000;
    bool merge_output = false;               // standard error into `out`, in order
};

ProgramRun run_program(const QString& program, const QStringList& args, const RunOptions& options = {});

// A program built next to the test binary (pelu, pelu-browser ...).
QString built_program(const QString& name);

} // namespace pelu::test
