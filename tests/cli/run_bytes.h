// Runs the pelu program with arguments given as raw bytes (QProcess would
// re-encode them as UTF-8 and could not pass a Latin-1 file name), an
// environment of its own and, optionally, a file-size limit and a time limit.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace pelu::test {

struct ByteRun {
    int exit_code = -1; // -1: killed by a signal
    int signal = 0;
    std::string out, err;
};

inline std::filesystem::path pelu_program()
{
    return std::filesystem::read_symlink("/proc/self/exe").parent_path() / "pelu";
}

inline ByteRun run_pelu_bytes(const std::vector<std::string>& args,
                              const std::vector<std::pair<std::string, std::string>>& env = {},
                              long file_size_limit_bytes = -1, int timeout_s = 120)
{
    char out_name[] = "/tmp/pelu-run-out-XXXXXX";
    char err_name[] = "/tmp/pelu-run-err-XXXXXX";
    const int out_fd = ::mkstemp(out_name);
    const int err_fd = ::mkstemp(err_name);
    const std::string program = pelu_program().string();
    const pid_t pid = ::fork();
    if (pid == 0) {
        for (const auto& [name, value] : env)
            ::setenv(name.c_str(), value.c_str(), 1);
        if (file_size_limit_bytes >= 0) {
            const struct rlimit limit{rlim_t(file_size_limit_bytes), rlim_t(file_size_limit_bytes)};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        const int null_fd = ::open("/dev/null", O_RDONLY);
        ::dup2(null_fd, 0);
        ::dup2(out_fd, 1);
        ::dup2(err_fd, 2);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    // A program that hangs is killed after `timeout_s` and reported as killed.
    int status = 0;
    for (int waited_ms = 0;; waited_ms += 10) {
        if (::waitpid(pid, &status, WNOHANG) == pid)
            break;
        if (waited_ms >= timeout_s * 1000) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        ::usleep(10000);
    }
    ByteRun run;
    if (WIFEXITED(status))
        run.exit_code = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        run.signal = WTERMSIG(status);
    auto slurp = [](const char* name) {
        std::ifstream in(name, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    };
    run.out = slurp(out_name);
    run.err = slurp(err_name);
    ::close(out_fd);
    ::close(err_fd);
    ::unlink(out_name);
    ::unlink(err_name);
    return run;
}

} // namespace pelu::test
