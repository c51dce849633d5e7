#include "platform/mixer/event_poller.h"

#include "platform/mixer/mixer_device.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace pelu::platform::mixer {

namespace {

constexpr unsigned short kGoneEvents = POLLERR | POLLHUP | POLLNVAL;

} // namespace

void EventPoller::start(Callbacks callbacks)
{
    if (thread_.joinable())
        return;
    if (pipe(wake_pipe_) != 0)
        throw MixerError(errno, std::string("pipe: ") + std::strerror(errno));
    callbacks_ = std::move(callbacks);
    {
        std::lock_guard lock(mutex_);
        stopping_ = false;
    }
    gone_ = false;
    thread_ = std::thread([this] { run(); });
}

void EventPoller::stop()
{
    if (!thread_.joinable())
        return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    const char byte = 0;
    (void)!write(wake_pipe_[1], &byte, 1);
    thread_.join();
    close(wake_pipe_[0]);
    close(wake_pipe_[1]);
    wake_pipe_[0] = wake_pipe_[1] = -1;
}

void EventPoller::run()
{
    auto stopping = [this] {
        std::lock_guard lock(mutex_);
        return stopping_;
    };
    auto found_gone = [this] {
        gone_ = true;
        if (callbacks_.on_gone)
            callbacks_.on_gone();
    };
    while (!stopping()) {
        std::vector<pollfd> fds = callbacks_.descriptors ? callbacks_.descriptors() : std::vector<pollfd>{};
        fds.push_back(pollfd{wake_pipe_[0], POLLIN, 0}); // last: stop() writes here
        if (poll(fds.data(), nfds_t(fds.size()), -1) < 0) {
            if (errno == EINTR)
                continue;
            found_gone(); // a descriptor the kernel refuses to watch at all
            return;
        }
        if (fds.back().revents != 0 || stopping())
            return;
        fds.pop_back();
        unsigned short events = 0;
        if (callbacks_.events) {
            events = callbacks_.events(fds);
        } else {
            for (const pollfd& fd : fds)
                events |= static_cast<unsigned short>(fd.revents);
        }
        if (events & kGoneEvents) {
            found_gone();
            return;
        }
        if (events != 0 && callbacks_.on_events && !callbacks_.on_events()) {
            found_gone();
            return;
        }
    }
}

} // namespace pelu::platform::mixer
