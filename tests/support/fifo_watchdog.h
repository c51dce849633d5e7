// For tests of readers that must refuse a FIFO instead of waiting for a
// writer: runs the reader on a FIFO nobody writes to, and lets it go if it
// waits after all, so such a fault fails the test instead of hanging it.
// Thread: any; each call has its own watchdog thread.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>

namespace pelu::test {

// Makes the FIFO `fifo` and runs `call`. When `call` has not returned after
// `patience`, opens the FIFO for writing, which frees a reader that waits in
// open() or read(). True when `call` returned without that help.
bool returns_without_a_writer(const std::filesystem::path& fifo, const std::function<void()>& call,
                              std::chrono::seconds patience = std::chrono::seconds(10));

} // namespace pelu::test
