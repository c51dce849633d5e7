// File facts: what the file system knows about one file, in the forms the
// MPEG file reader keeps (packed DOS date/time, attribute bits, volume label,
// short path), and the regular-file check that keeps reads from blocking.
//
// Thread: any. The volume-label cache is guarded by its own mutex.
#pragma once

#include <QDateTime>
#include <QString>

#include <cstdint>
#include <ctime>

namespace pelu::platform::fs {

// Attribute bits of FileAttr (the classic DOS/Windows values).
constexpr std::uint32_t kAttrReadOnly = 0x01;
constexpr std::uint32_t kAttrHidden = 0x02;
constexpr std::uint32_t kAttrSystem = 0x04;
constexpr std::uint32_t kAttrDirectory = 0x10;
constexpr std::uint32_t kAttrArchive = 0x20;

enum class FileKind {
    Missing, // no such file (or a path component is missing)
    Regular, // a regular file (symbolic links are followed)
    Other,   // directory, FIFO, device, socket: never read as audio
};

// What stat() says the path is. A path that exists but cannot be examined
// (permission on a directory on the way) counts as Missing.
FileKind file_kind(const QString& path);

// Why a path cannot be read as an input file, in words for a message after
// the name: "no such file", "is a directory", "is not a regular file" (a FIFO,
// device or socket), or the system's text ("Permission denied" on the way);
// empty for a regular file.
QString input_file_problem(const QString& path);

struct FileFacts {
    std::uint32_t dos_date_time = 0; // packed: date in the high word, time in the low word
    std::uint32_t attributes = 0;    // kAttr* bits
    QString volume_label;            // label of the file system holding the file; empty when none
    std::int64_t size_bytes = 0;
};

// A file opened read-only for the MPEG reader. Opening never blocks: the path
// must name a regular file, and it is re-checked on the open descriptor so a
// FIFO swapped in between the two looks is refused too.
class ReadOnlyFile {
public:
    ReadOnlyFile() = default;
    ~ReadOnlyFile();
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    // 0 on success; otherwise the errno of the failing call, or -1 when the
    // path is not a regular file.
    int open(const QString& path);
    void close();
    bool is_open() const { return fd_ >= 0; }

    // Facts of the open file, from the look taken when it was opened (a
    // reader wants the facts of what it reads, and a second look would cost a
    // system call per file); false when the file is not open.
    bool facts(FileFacts* out) const;

    // Reads up to `count` bytes at `offset`. Returns the bytes read (fewer at
    // the end of the file), or -1 on an I/O error (errno is kept in last_error()).
    std::int64_t read_at(std::int64_t offset, void* buffer, std::int64_t count);
    int last_error() const { return last_error_; }

private:
    int fd_ = -1;
    QString path_;
    int last_error_ = 0;
    std::int64_t mtime_ = 0;
    std::int64_t size_bytes_ = 0;
    unsigned long device_ = 0;
};

// Facts of a path (opens nothing): false when stat fails.
bool file_facts(const QString& path, FileFacts* out);

// The DOS packed date/time of a moment in local time. Moments before 1980 give
// 1980-01-01 00:00:00 and moments after 2107 give 2107-12-31 23:59:58, the
// ends of what the form can hold, so a valid file never reads as "no date".
std::uint32_t dos_date_time(std::time_t moment);
// The local date-time a packed value stands for; invalid for 0 or a value
// whose fields are out of range.
QDateTime from_dos_date_time(std::uint32_t packed);

// The short (8.3) form of a path. This system has no such form: the path itself.
QString short_path(const QString& path);

} // namespace pelu::platform::fs
