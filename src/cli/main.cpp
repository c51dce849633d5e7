#include "cli/command.h"

#include "platform/fs/file_names.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <map>

namespace pelu::cli {

namespace {
std::map<std::string, Command>& commands()
{
    static std::map<std::string, Command> table;
    return table;
}

void print_usage(FILE* out)
{
    std::fprintf(out, "usage: pelu <command> [options]\n\ncommands:\n");
    for (const auto& [name, command] : commands())
        std::fprintf(out, "  %s\n", command.usage.c_str());
}
} // namespace

CommandRegistrar::CommandRegistrar(std::string name, std::string usage, CommandFn run)
{
    commands().emplace(name, Command{name, std::move(usage), std::move(run)});
}

// File names in a message are written as their own bytes, whatever they are.
int fail(const QString& text)
{
    std::fprintf(stderr, "pelu: %s\n", platform::fs::encode_file_name(text).constData());
    return kExitFailure;
}

int usage_error(const QString& text, const std::string& usage)
{
    std::fprintf(stderr, "pelu: %s\nusage: %s\n", platform::fs::encode_file_name(text).constData(), usage.c_str());
    return kExitUsage;
}

} // namespace pelu::cli

int main(int argc, char** argv)
{
    using namespace pelu::cli;
    QCoreApplication app(argc, argv);
    // Arguments as bytes: a file name need not be UTF-8.
    QStringList args = pelu::platform::fs::decode_arguments(argc, argv);
    args.removeFirst();
    // A file-size limit (ulimit -f) then fails the write with "File too large"
    // instead of killing the program halfway through a file.
    std::signal(SIGXFSZ, SIG_IGN);
    if (args.isEmpty()) {
        print_usage(stderr);
        return kExitUsage;
    }
    const std::string name = args.takeFirst().toStdString();
    if (name == "help" || name == "--help" || name == "-h") {
        print_usage(stdout);
        return kExitOk;
    }
    auto it = commands().find(name);
    if (it == commands().end()) {
        std::fprintf(stderr, "pelu: unknown command '%s'\n", name.c_str());
        print_usage(stderr);
        return kExitUsage;
    }
    try {
        return it->second.run(args);
    } catch (const std::exception& error) {
        return fail(pelu::platform::fs::decode_file_name(error.what()));
    }
}
