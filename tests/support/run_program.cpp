#include "run_program.h"

#include <QProcess>

namespace pelu::test {

ProgramRun run_program(const QString& program, const QStringList& args, const RunOptions& options)
{
    QProcess process;
    if (!options.environment.isEmpty() || options.base_environment) {
        QProcessEnvironment env = options.base_environment.value_or(QProcessEnvironment::systemEnvironment());
        for (const QString& entry : options.environment) {
            const qsizetype at = entry.indexOf('=');
            env.insert(entry.left(at), entry.mid(at + 1));
        }
        process.setProcessEnvironment(env);
    }
    if (!options.working_directory.empty())
        process.setWorkingDirectory(QString::fromStdString(options.working_directory.string()));
    if (options.merge_output)
        process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    ProgramRun run;
    run.finished = process.waitForFinished(options.timeout_ms);
    if (run.finished && process.exitStatus() == QProcess::NormalExit)
        run.exit_code = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run; // a process still running is killed with `process`
}

QString built_program(const QString& name)
{
    const auto dir = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    return QString::fromStdString((dir / name.toStdString()).string());
}

} // namespace pelu::test
