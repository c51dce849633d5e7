#include "fifo_watchdog.h"

#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace pelu::test {

bool returns_without_a_writer(const std::filesystem::path& fifo, const std::function<void()>& call,
                              std::chrono::seconds patience)
{
    if (::mkfifo(fifo.c_str(), 0600) != 0)
        throw std::runtime_error("mkfifo failed: " + fifo.string());
    std::mutex mutex;
    std::condition_variable woken;
    bool done = false;
    bool had_to_unblock = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(mutex);
        if (!woken.wait_for(lock, patience, [&] { return done; })) {
            had_to_unblock = true;
            const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0)
                ::close(fd);
        }
    });
    call();
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
    }
    woken.notify_one();
    watchdog.join();
    return !had_to_unblock;
}

} // namespace pelu::test
