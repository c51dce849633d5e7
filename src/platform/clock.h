// The microsecond clock (stands in for the high-resolution counter).
// Thread: any; monotonic, never goes back.
#pragma once

#include <chrono>
#include <cstdint>

namespace pelu::platform {

inline std::int64_t now_us()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

inline std::int64_t now_ms() { return now_us() / 1000; }

} // namespace pelu::platform
