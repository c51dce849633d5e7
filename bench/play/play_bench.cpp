// The CPU cost of playing: user + system CPU seconds that `pelu play` spends per
// second of audio, as a percentage of one core. It plays a synthesised 30 s
// 128 kbit/s stereo MP3 on the simulated device at real time (sim:1), so the
// decoding, the chain, the wave output's thread and the connector's pump (which
// feeds pelu play's two level meters) are all measured together.
//   bench_play                       30 s file, sim:1
//   PELU_BENCH_MP3=FILE bench_play   another file (its duration is read from pelu's output)
//   PELU_BENCH_DEVICE=DEVICE           another device (e.g. sim:20, alsa:null)
//   bench_play --write FILE SECONDS  only writes a fixture MP3 of that length
#include "mp3_fixtures.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

int main(int argc, char** argv)
{
    using namespace pelu::test;
    if (argc == 4 && std::string(argv[1]) == "--write") {
        write_file(argv[2], encode_mp3(cbr128_stereo_44k(std::atof(argv[3]))));
        return 0;
    }
    const std::filesystem::path pelu =
        std::filesystem::read_symlink("/proc/self/exe").parent_path() / "pelu";
    TempDir dir;
    double audio_seconds = 30.0;
    std::string file;
    if (const char* given = std::getenv("PELU_BENCH_MP3")) {
        file = given;
        audio_seconds = std::atof(std::getenv("PELU_BENCH_SECONDS") ? std::getenv("PELU_BENCH_SECONDS") : "0");
    } else {
        file = dir.write("bench.mp3", encode_mp3(cbr128_stereo_44k(audio_seconds))).string();
    }
    const char* device = std::getenv("PELU_BENCH_DEVICE") ? std::getenv("PELU_BENCH_DEVICE") : "sim:1";

    const std::string program = pelu.string();
    char* child_argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("play"),
                          const_cast<char*>("--device"), const_cast<char*>(device),
                          const_cast<char*>(file.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, child_argv, environ) != 0) {
        std::perror("bench_play: cannot start pelu");
        return 1;
    }
    int status = 0;
    struct rusage usage {};
    if (wait4(pid, &status, 0, &usage) != pid) {
        std::perror("bench_play: wait4");
        return 1;
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    posix_spawn_file_actions_destroy(&actions);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "bench_play: pelu play failed (status %d)\n", status);
        return 1;
    }
    const double cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                       usage.ru_stime.tv_usec / 1e6;
    if (audio_seconds <= 0)
        audio_seconds = wall; // at real time the wall clock is the audio's length
    std::printf("device %s: %.1f s of audio in %.2f s, CPU user+system %.3f s (user %.3f, system %.3f)\n",
                device, audio_seconds, wall, cpu,
                usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6,
                usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6);
    std::printf("playing cost: %.2f%% of one core\n", 100.0 * cpu / audio_seconds);
    return 0;
}
