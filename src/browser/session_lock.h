// One band per user session: the first process that shows a band holds a lock
// file in the user's runtime folder ($XDG_RUNTIME_DIR, else /tmp with the user
// id in the name) for as long as its band lives; a band in any other process
// of the same user is refused while it is held. The kernel lets go of the lock
// when the process ends, however it ends.
//
// Thread: main thread only.
#pragma once

#include <QString>

namespace pelu::browser {

class SessionLock {
public:
    SessionLock() = default;
    ~SessionLock() { Release(); }
    SessionLock(const SessionLock&) = delete;
    SessionLock& operator=(const SessionLock&) = delete;

    // True when this process holds the lock (now or already).
    bool Claim();
    void Release();
    bool Held() const { return fd_ >= 0; }

    // The lock file of this user's session.
    static QString Path();

private:
    int fd_ = -1;
};

} // namespace pelu::browser
