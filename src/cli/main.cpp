#include "cli/command.h"

#include <QCoreApplication>

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

int fail(const QString& text)
{
    std::fprintf(stderr, "pelu: %s\n", text.toLocal8Bit().constData());
    return kExitFailure;
}

int usage_error(const QString& text, const std::string& usage)
{
    std::fprintf(stderr, "pelu: %s\nusage: %s\n", text.toLocal8Bit().constData(), usage.c_str());
    return kExitUsage;
}

} // namespace pelu::cli

int main(int argc, char** argv)
{
    using namespace pelu::cli;
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments();
    args.removeFirst();
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
        return fail(QString::fromLocal8Bit(error.what()));
    }
}
