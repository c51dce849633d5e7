#include "player/resume_writer.h"

#include <QDir>
#include <QFileInfo>

namespace pelu::player {

ResumeWriter::~ResumeWriter()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void ResumeWriter::Write(const QString& file_name, std::vector<PlaylistRow> rows)
{
    {
        std::lock_guard lock(mutex_);
        waiting_ = Job{file_name, std::move(rows)};
        if (!thread_.joinable())
            thread_ = std::thread([this] { Run(); });
    }
    changed_.notify_all();
}

void ResumeWriter::Wait()
{
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !waiting_ && !writing_; });
}

void ResumeWriter::Run()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        // Stopping still writes what waits: it is the newest list.
        changed_.wait(lock, [this] { return waiting_ || stopping_; });
        if (!waiting_)
            return;
        Job job = std::move(*waiting_);
        waiting_.reset();
        writing_ = true;
        lock.unlock();
        try {
            QDir().mkpath(QFileInfo(job.file_name).absolutePath());
            SaveMediaListFile(job.file_name, job.rows);
        } catch (const std::exception&) {
            // As any autosave: the next change or the band's closing tries again.
        }
        lock.lock();
        writing_ = false;
        changed_.notify_all();
    }
}

} // namespace pelu::player
