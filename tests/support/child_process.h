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
    ChildProcess() = default;
    ~ChildProcess() { Stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts `program` (searched on PATH) with its standard output on a pipe
    // and its standard input and error on /dev/null; false when it cannot be started.
    bool Start(const QString& program, const QStringList& arguments)
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
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        // Not the test's own stderr: a helper that outlives a test killed by
        // the sanitizer would keep the test runner waiting on that pipe.
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        const int spawned = ::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
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
