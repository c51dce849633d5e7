// ResumeWriter: writes the resume playlist on a thread of its own, so that the
// autosave of a long playlist (a hundred thousand rows take a few hundred
// milliseconds to write) never holds up the band. The band takes a snapshot of
// its rows on the main thread and hands it over; the file is replaced
// atomically as every media list is. One write runs at a time; a newer
// snapshot replaces one still waiting, so the file always ends as the newest.
//
// Thread: Write() and Wait() on the main thread; the writing thread is the
// object's own. Wait() (and destruction) returns once nothing is being or
// waits to be written, so a synchronous save after it is the last word.
#pragma once

#include "playlist/media_list.h"

#include <QString>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace pelu::player {

class ResumeWriter {
public:
    ResumeWriter() = default;
    ~ResumeWriter();
    ResumeWriter(const ResumeWriter&) = delete;
    ResumeWriter& operator=(const ResumeWriter&) = delete;

    void Write(const QString& file_name, std::vector<PlaylistRow> rows);
    void Wait();

private:
    struct Job {
        QString file_name;
        std::vector<PlaylistRow> rows;
    };
    void Run();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<Job> waiting_; // guarded by mutex_
    bool writing_ = false;       // guarded by mutex_
    bool stopping_ = false;      // guarded by mutex_
    std::thread thread_;         // started at the first write
};

} // namespace pelu::player
