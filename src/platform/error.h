// The project's exception base. Every component family derives its own class
// (EMMWaveOutError, EMMMpegError, ...) from it; what() is the user-facing text.
// Thread: any.
#pragma once

#include <stdexcept>
#include <string>

namespace pelu {

class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message) : std::runtime_error(message) {}
};

// Declares `class Name : public Base` with the message constructor.
#define PELU_DECLARE_ERROR(Name, Base)                                   \
    class Name : public Base {                                           \
    public:                                                              \
        explicit Name(const std::string& message) : Base(message) {}    \
    };

} // namespace pelu
