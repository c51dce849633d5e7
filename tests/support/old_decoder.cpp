// A stand-in decoder library that is too old: its version is 16.
#include <cstdint>

extern "C" __attribute__((visibility("default"))) std::int32_t mpeg_Version(void)
{
    return 16;
}
