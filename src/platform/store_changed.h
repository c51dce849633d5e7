// The setter idiom every component follows: an equal value is ignored, a new one
// is stored and the caller rebuilds, repaints or announces what depends on it.
// It lives here, under every layer, so that engine and controls share one copy.
//
// Thread: the caller's; the member belongs to it.
#pragma once

#include <utility>

namespace pelu::platform {

// Stores `value` in `member` unless it is there already; true when it changed.
template <class T, class U>
bool store_changed(T& member, U&& value)
{
    if (member == value)
        return false;
    member = std::forward<U>(value);
    return true;
}

} // namespace pelu::platform
