// Quietly: how every handler of the band form runs. A failure ends the handler
// without a word, and what the steps before it changed stays, as a click on a
// control that fails leaves the band as it got.
//
// Thread: whichever runs the handler (the main thread).
#pragma once

#include <exception>
#include <utility>

namespace pelu::player {

template <typename Fn>
void Quietly(Fn&& fn)
{
    try {
        std::forward<Fn>(fn)();
    } catch (const std::exception&) {
    }
}

} // namespace pelu::player
