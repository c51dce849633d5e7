// Output files written the way their target calls for.
//
// A regular file, or a name that does not exist yet, is replaced atomically:
// the data goes to a temporary file in the same folder, which is synced and
// renamed over the target only when complete (keeping the old file's mode),
// so a reader or a crash sees the old content or the new, never half of it.
// Any other kind of target (a device such as /dev/null or /dev/stdout, a FIFO,
// a terminal) is opened and written directly: renaming a file over it would
// replace the device node itself. A symbolic link is followed and its target
// replaced, the link stays. A directory is refused.
//
// Errors are the system's own texts ("No space left on device", "File too
// large"), prefixed with the file name. A process that writes files must
// ignore SIGXFSZ for a file-size limit to show up as "File too large" instead
// of killing it (the pelu program does).
//
// Thread: an OutputFile is used by one thread at a time; the free functions
// may be called from any thread.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

namespace pelu::platform::fs {

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile(); // abandons what was not committed
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Opens `path` for writing from its start. False with error() set.
    bool open(const QString& path);
    bool write(const void* data, std::int64_t size_bytes);
    // Writes at an offset without moving the write position (to fill in a
    // header once the sizes are known); only when seekable().
    bool write_at(std::int64_t offset, const void* data, std::int64_t size_bytes);
    // True when write_at() can be used: always for the atomic case, and for a
    // direct target that can seek (a pipe or a terminal cannot).
    bool seekable() const { return seekable_; }
    // True when the target is written directly (a device, FIFO, ...).
    bool direct() const { return direct_; }
    // Puts the file in place (atomic case) or closes it (direct case).
    bool commit();
    // Drops the temporary file; the target stays as it was.
    void abandon();

    // "NAME: text" of the last failure.
    const QString& error() const { return error_; }

private:
    bool fail(int error_number);

    int fd_ = -1;
    bool direct_ = false;
    bool seekable_ = false;
    QString path_;         // as given, for messages
    QByteArray target_;    // the file to replace (symbolic links resolved)
    QByteArray temporary_; // the temporary file of the atomic case
    QString error_;
};

// Writes `data` as the whole content of `path` through an OutputFile.
// False with `*error` set ("NAME: text").
bool write_output_file(const QString& path, const QByteArray& data, QString* error);

// True when both names lead to the same file (same device and inode, links
// followed); false when either does not exist.
bool same_file(const QString& a, const QString& b);

// The system's text for an errno value.
QString system_error_text(int error_number);

} // namespace pelu::platform::fs
