// The `pelu` command line: each subcommand lives in its own cmd_*.cpp and
// registers itself with PELU_COMMAND; main() dispatches on the first argument.
// Thread: main thread only.
#pragma once

#include <QStringList>

#include <functional>
#include <string>

namespace pelu::cli {

// Exit codes of every subcommand.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

using CommandFn = std::function<int(const QStringList& args)>; // args exclude the subcommand

struct Command {
    std::string name;
    std::string usage; // one line, shown by `pelu help`
    CommandFn run;
};

struct CommandRegistrar {
    CommandRegistrar(std::string name, std::string usage, CommandFn run);
};

// Prints "pelu: <text>" on stderr and returns kExitFailure.
int fail(const QString& text);
// Prints "pelu: <text>" and the command's usage on stderr and returns kExitUsage.
int usage_error(const QString& text, const std::string& usage);

} // namespace pelu::cli

#define PELU_COMMAND_CAT2(a, b) a##b
#define PELU_COMMAND_CAT(a, b) PELU_COMMAND_CAT2(a, b)
#define PELU_COMMAND(name, usage, fn) \
    static ::pelu::cli::CommandRegistrar PELU_COMMAND_CAT(pelu_command_, __LINE__)(name, usage, fn)
