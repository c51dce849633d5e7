// Honest CPU comparisons for the benchmark programs: CPU time (never wall time)
// of a child process read with wait4, or of this thread or process read with
// clock_gettime/getrusage; contenders measured in interleaved rounds (each round
// runs every contender once, in an order rotated from round to round, so a burst
// of other load on the machine falls on all of them alike); each series printed
// with its exact command, its minimum and its median, and the ratio of medians.
//
// Header only; every benchmark program includes it as "cpu_rounds.h".
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace pelu::bench {

inline double Seconds(const timeval& t)
{
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

// CPU seconds (user + system) of the calling thread.
inline double ThreadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// CPU seconds (user + system) of the whole process, every thread.
inline double ProcessCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

struct ChildUsage {
    double user_s = 0;
    double system_s = 0;
    double wall_s = 0;
    double cpu_s() const { return user_s + system_s; }
};

// The command as one could paste it into a shell.
inline std::string CommandText(const std::vector<std::string>& argv, const std::string& stdout_to = "/dev/null")
{
    std::string text;
    for (const std::string& a : argv) {
        if (!text.empty())
            text += ' ';
        const bool plain = !a.empty() && a.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                             "0123456789-_./:=,+%@") == std::string::npos;
        if (plain) {
            text += a;
        } else {
            text += '\'';
            for (char c : a)
                text += c == '\'' ? std::string("'\\''") : std::string(1, c);
            text += '\'';
        }
    }
    if (!stdout_to.empty())
        text += " >" + stdout_to;
    return text;
}

// The commands write to /dev/null; a program that replaced the file it was
// given atomically (temporary file + rename) would, run as root, turn the null
// device into a regular file for the whole machine. Each run is checked, and
// the benchmark stops at once rather than run such a program again.
inline void RequireNullDevice(const std::vector<std::string>& argv)
{
    struct stat info {};
    if (stat("/dev/null", &info) != 0 || !S_ISCHR(info.st_mode)) {
        std::fprintf(stderr, "benchmark stopped: /dev/null is no longer a character device after: %s\n",
                     argv.empty() ? "" : argv[0].c_str());
        std::exit(3);
    }
}

// Runs argv[0] (searched on PATH) with its standard output (and input) on
// /dev/null and returns the child's own CPU time from wait4; nothing when it
// could not start or did not exit with 0. `environment` entries ("NAME=value")
// are added to this process's environment.
inline std::optional<ChildUsage> RunChild(const std::vector<std::string>& argv,
                                          const std::vector<std::string>& environment = {})
{
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> env_text;
    for (char** e = environ; *e; ++e)
        env_text.emplace_back(*e);
    env_text.insert(env_text.end(), environment.begin(), environment.end());
    std::vector<char*> env;
    for (std::string& e : env_text)
        env.push_back(e.data());
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    timespec start{}, end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return std::nullopt;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid)
        return std::nullopt;
    clock_gettime(CLOCK_MONOTONIC, &end);
    RequireNullDevice(argv);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return std::nullopt;
    ChildUsage result;
    result.user_s = Seconds(usage.ru_utime);
    result.system_s = Seconds(usage.ru_stime);
    result.wall_s = double(end.tv_sec - start.tv_sec) + double(end.tv_nsec - start.tv_nsec) / 1e9;
    return result;
}

// Runs the command as often as it takes to spend `min_cpu_s` of its CPU and
// returns ms of CPU per audio second; nothing when a run fails.
inline std::optional<double> ChildMsPerAudioSecond(const std::vector<std::string>& argv, double audio_seconds,
                                                   double min_cpu_s = 1.0)
{
    double spent = 0;
    int runs = 0;
    do {
        const auto usage = RunChild(argv);
        if (!usage)
            return std::nullopt;
        spent += usage->cpu_s();
        ++runs;
    } while (spent < min_cpu_s);
    return 1000.0 * spent / (runs * audio_seconds);
}

// Runs `work` (false: it failed) as often as it takes to spend `min_cpu_s` of
// this thread's CPU and returns ms of CPU per audio second of one run.
template <class Work>
std::optional<double> ThreadMsPerAudioSecond(Work&& work, double audio_seconds, double min_cpu_s = 1.0)
{
    const double start = ThreadCpuSeconds();
    double spent = 0;
    int runs = 0;
    do {
        if (!work())
            return std::nullopt;
        ++runs;
        spent = ThreadCpuSeconds() - start;
    } while (spent < min_cpu_s);
    return 1000.0 * spent / (runs * audio_seconds);
}

// One contender: a label, the command or code it runs (printed as is), and a
// sample function returning one measured value (nothing when it failed).
struct Contender {
    std::string label{};
    std::string command{};
    std::function<std::optional<double>()> sample{};
    std::vector<double> samples{};
    bool failed = false;

    double Min() const { return samples.empty() ? 0 : *std::min_element(samples.begin(), samples.end()); }
    double Median() const
    {
        if (samples.empty())
            return 0;
        std::vector<double> sorted = samples;
        std::sort(sorted.begin(), sorted.end());
        const std::size_t n = sorted.size();
        return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    }
};

// Runs `rounds` rounds; round r starts with contender r mod count.
inline void RunInterleaved(std::vector<Contender>& contenders, int rounds)
{
    const std::size_t count = contenders.size();
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t i = 0; i < count; ++i) {
            Contender& c = contenders[(std::size_t(round) + i) % count];
            if (c.failed)
                continue;
            const std::optional<double> value = c.sample();
            if (value)
                c.samples.push_back(*value);
            else
                c.failed = true;
        }
    }
}

// Prints each contender's command, then a table of min and median in `unit`.
inline void PrintContenders(const std::vector<Contender>& contenders, const char* unit, int rounds)
{
    for (const Contender& c : contenders)
        std::printf("  %-34s $ %s\n", c.label.c_str(), c.command.c_str());
    std::printf("  %-34s %12s %12s   (%d interleaved rounds, %s)\n", "", "min", "median", rounds, unit);
    for (const Contender& c : contenders) {
        if (c.failed && c.samples.empty())
            std::printf("  %-34s %12s\n", c.label.c_str(), "failed");
        else
            std::printf("  %-34s %12.4f %12.4f\n", c.label.c_str(), c.Min(), c.Median());
    }
}

inline void PrintRatio(const char* text, double numerator, double denominator)
{
    if (denominator > 0 && numerator > 0)
        std::printf("  %s: %.2f\n", text, numerator / denominator);
    else
        std::printf("  %s: n/a\n", text);
}

} // namespace pelu::bench
