// The time text with milliseconds that the band's time display and the playlist's
// duration column show: minutes under an hour ("3:07.250"), hours under a day
// ("1:02:03.004"), days beyond; the leading field is not padded. Negative values
// are not shown anywhere; they format as 0.
//
// Thread: any.
#pragma once

#include <QString>

#include <cstdint>

namespace pelu::platform {

inline QString time_text_ms(std::int64_t ms)
{
    if (ms < 0)
        ms = 0;
    const long long milli = ms % 1000, seconds = ms / 1000 % 60, minutes = ms / 60000 % 60,
                    hours = ms / 3600000 % 24, days = ms / 86400000;
    if (ms < 3600000)
        return QString::asprintf("%lld:%2.2lld.%3.3lld", (long long)(ms / 60000), seconds, milli);
    if (ms < 86400000)
        return QString::asprintf("%lld:%2.2lld:%2.2lld.%3.3lld", (long long)(ms / 3600000), minutes, seconds, milli);
    return QString::asprintf("%lld:%2.2lld:%2.2lld:%2.2lld.%3.3lld", days, hours, minutes, seconds, milli);
}

} // namespace pelu::platform
