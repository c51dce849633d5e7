// Files for the libFuzzer targets: a private folder (in memory under /dev/shm
// when that can be written, else under /tmp) and whole-file writes. Any
// failure aborts: a fuzzer that cannot write its input has nothing to test.
// Thread: the fuzzer's one thread.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace pelu::fuzz {

// A new folder named `prefix` plus a unique suffix; returns its path.
inline std::string make_fuzz_folder(const std::string& prefix)
{
    const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string dir = std::string(base) + "/" + prefix + "-XXXXXX";
    if (!::mkdtemp(dir.data()))
        std::abort();
    return dir;
}

// Replaces the file `path` with `size` bytes from `data`.
inline void write_whole_file(const std::string& path, const std::uint8_t* data, std::size_t size)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        std::abort();
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0)
            std::abort();
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

} // namespace pelu::fuzz
