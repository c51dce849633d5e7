// A helper process for tests (a private dbus-daemon, ...) started with
// posix_spawn, its standard output readable line by line.
//
// Not QProcess: Qt starts children with clone(CLONE_VM | CLONE_VFORK), and
// the child then runs ThreadSanitizer's interceptors on the parent's own
// thread state; from then on the sanitizer no longer sees the parent's main
// thread lock or unlock anything and reports races that do not exist (any
// data handed over under a mutex to a thread started later). posix_spawn's
// child runs only the C library's own code until exec.
//
// Thread: one owner thread.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace pelu::test {

class ChildProcess {
public:
    // How to start it, beyond the defaults (the caller's environment, the
    // caller's process group).
    struct Options {
        // NAME=VALUE entries that replace or add to the caller's environment.
        QStringList environment;
        // Joins this process group (0: one of its own, led by the child);
        // -1: stays in the caller's group.
        pid_t process_group = -1;
        // Its standard input: this descriptor instead of /dev/null (-1).
        int input = -1;
    };

    ChildProcess() = default;
    ~ChildProcess() { Stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts `program` (searched on PATH) with its standard output on a pipe
    // and its standard input and error on /dev/null; false when it cannot be started.
    bool Start(const QString& program, const QStringList& arguments) { return Start(program, arguments, Options{}); }
    bool Start(const QString& program, const QStringList& arguments, const Options& options)
    {
        std::vector<std::string> text{program.toStdString()};
        for (const QString& a : arguments)
            text.push_back(a.toStdString());
        std::vector<char*> argv;
        for (std::string& t : text)
            argv.push_back(t.data());
        argv.push_back(nullptr);
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (options.input >= 0)
            posix_spawn_file_actions_adddup2(&actions, options.input, STDIN_FILENO);
        else
            posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        // Not the test's own stderr: a helper that outlives a test killed by
        // the sanitizer would keep the test runner waiting on that pipe.
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        std::vector<std::string> env_text;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('='));
            const bool replaced = std::any_of(options.environment.begin(), options.environment.end(),
                                              [&](const QString& o) { return o.toStdString().rfind(name + "=", 0) == 0; });
            if (!replaced)
                env_text.push_back(entry);
        }
        for (const QString& o : options.environment)
            env_text.push_back(o.toStdString());
        std::vector<char*> envp;
        for (std::string& e : env_text)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        if (options.process_group >= 0) {
            posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
            posix_spawnattr_setpgroup(&attributes, options.process_group);
        }
        const int spawned = ::posix_spawnp(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data());
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        if (spawned != 0) {
            ::close(out[0]);
            pid_ = -1;
            return false;
        }
        stdout_ = out[0];
        return true;
    }

    // The next line of its output without the line break; empty when none
    // came within `timeout_ms` or the output ended.
    QString ReadLine(int timeout_ms)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (stdout_ >= 0) {
            if (const qsizetype at = pending_.indexOf('\n'); at >= 0) {
                const QByteArray line = pending_.left(at);
                pending_.remove(0, at + 1);
                return QString::fromUtf8(line).trimmed();
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return {};
            pollfd ready{stdout_, POLLIN, 0};
            const int polled = ::poll(&ready, 1, static_cast<int>(left.count()));
            if (polled < 0 && errno == EINTR)
                continue;
            if (polled <= 0)
                return {};
            char buffer[512];
            const ssize_t got = ::read(stdout_, buffer, sizeof buffer);
            if (got <= 0)
                return {};
            pending_.append(buffer, got);
        }
        return {};
    }

    // Everything it writes until it closes its output, or until `timeout_ms`.
    QByteArray ReadAll(int timeout_ms)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        QByteArray all = pending_;
        pending_.clear();
        while (stdout_ >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            pollfd ready{stdout_, POLLIN, 0};
            const int polled = ::poll(&ready, 1, static_cast<int>(left.count()));
            if (polled < 0 && errno == EINTR)
                continue;
            if (polled <= 0)
                break;
            char buffer[4096];
            const ssize_t got = ::read(stdout_, buffer, sizeof buffer);
            if (got <= 0)
                break;
            all.append(buffer, got);
        }
        return all;
    }

    pid_t pid() const { return pid_; }
    bool Running() const { return pid_ > 0; }

    // Waits up to `timeout_ms` for it to end by itself: its exit status, or -1
    // (still running, killed by a signal, or never started).
    int Wait(int timeout_ms)
    {
        if (pid_ <= 0)
            return -1;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end)
                return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Sends `signal` and reaps it once it has ended (SIGKILL: at once).
    void Kill(int signal = SIGKILL)
    {
        if (pid_ <= 0)
            return;
        ::kill(pid_, signal);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

    // SIGTERM, then SIGKILL when it has not ended within `timeout_ms`; reaped.
    void Stop(int timeout_ms = 3000)
    {
        if (stdout_ >= 0) {
            ::close(stdout_);
            stdout_ = -1;
        }
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    int stdout_ = -1;
    QByteArray pending_;
};

} // namespace pelu::test
