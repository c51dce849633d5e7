#include "platform/fs/file_facts.h"

#include "platform/fs/file_names.h"
#include "platform/fs/output_file.h"

#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace pelu::platform::fs {

namespace {

QByteArray native(const QString& path)
{
    return encode_file_name(path);
}

// Looking a label up reads the mount table and the by-label links, so each
// file system is asked once per process; labels do not change under a
// playlist being filled.
QString volume_label_of(dev_t device, const QString& path)
{
    static std::mutex mutex;
    static std::map<dev_t, QString> labels;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = labels.find(device);
        if (it != labels.end())
            return it->second;
    }
    const QStorageInfo storage(QFileInfo(path).absolutePath());
    QString label = storage.isValid() ? storage.name() : QString();
    std::lock_guard<std::mutex> lock(mutex);
    labels.emplace(device, label);
    return label;
}

// Read-only means the user cannot write it, not merely that others cannot
// (so the permission bits alone do not tell: owner, groups, ACLs, a read-only
// mount). An open file is asked through its descriptor, without walking the
// path again; kernels before 5.8 do not take that form and are asked by name.
bool writable(const QString& path, int fd)
{
    if (fd >= 0) {
        if (::faccessat(fd, "", W_OK, AT_EMPTY_PATH) == 0)
            return true;
        if (errno != EINVAL && errno != ENOSYS)
            return false;
    }
    return ::access(native(path).constData(), W_OK) == 0;
}

std::uint32_t attributes_of(bool directory, const QString& path, int fd)
{
    std::uint32_t attributes = 0;
    if (directory)
        attributes |= kAttrDirectory;
    else
        attributes |= kAttrArchive; // as a DOS file system marks every file it writes
    if (!writable(path, fd))
        attributes |= kAttrReadOnly;
    if (QFileInfo(path).fileName().startsWith(QLatin1Char('.')))
        attributes |= kAttrHidden;
    return attributes;
}

void fill_facts(const struct stat& st, const QString& path, FileFacts* out)
{
    out->dos_date_time = dos_date_time(st.st_mtime);
    out->attributes = attributes_of(S_ISDIR(st.st_mode), path, -1);
    out->volume_label = volume_label_of(st.st_dev, path);
    out->size_bytes = static_cast<std::int64_t>(st.st_size);
}

} // namespace

FileKind file_kind(const QString& path)
{
    struct stat st;
    if (::stat(native(path).constData(), &st) != 0)
        return FileKind::Missing;
    return S_ISREG(st.st_mode) ? FileKind::Regular : FileKind::Other;
}

QString input_file_problem(const QString& path)
{
    struct stat st;
    if (::stat(native(path).constData(), &st) != 0)
        return errno == ENOENT ? QStringLiteral("no such file") : system_error_text(errno);
    if (S_ISDIR(st.st_mode))
        return QStringLiteral("is a directory");
    if (!S_ISREG(st.st_mode))
        return QStringLiteral("is not a regular file");
    return {};
}

ReadOnlyFile::~ReadOnlyFile()
{
    close();
}

int ReadOnlyFile::open(const QString& path)
{
    close();
    // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below.
    const int fd = ::open(native(path).constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno != 0 ? errno : -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    fd_ = fd;
    path_ = path;
    mtime_ = static_cast<std::int64_t>(st.st_mtime);
    size_bytes_ = static_cast<std::int64_t>(st.st_size);
    device_ = static_cast<unsigned long>(st.st_dev);
    return 0;
}

void ReadOnlyFile::close()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool ReadOnlyFile::facts(FileFacts* out) const
{
    if (fd_ < 0)
        return false;
    out->dos_date_time = dos_date_time(static_cast<std::time_t>(mtime_));
    out->attributes = attributes_of(false, path_, fd_);
    out->volume_label = volume_label_of(static_cast<dev_t>(device_), path_);
    out->size_bytes = size_bytes_;
    return true;
}

std::int64_t ReadOnlyFile::read_at(std::int64_t offset, void* buffer, std::int64_t count)
{
    if (fd_ < 0 || offset < 0 || count < 0) {
        last_error_ = EBADF;
        return -1;
    }
    auto* out = static_cast<char*>(buffer);
    std::int64_t done = 0;
    while (done < count) {
        const ssize_t n = ::pread(fd_, out + done, static_cast<size_t>(count - done),
                                  static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            last_error_ = errno;
            return -1;
        }
        if (n == 0)
            break; // end of file
        done += n;
    }
    return done;
}

bool file_facts(const QString& path, FileFacts* out)
{
    struct stat st;
    if (::stat(native(path).constData(), &st) != 0)
        return false;
    fill_facts(st, path, out);
    return true;
}

std::uint32_t dos_date_time(std::time_t moment)
{
    struct tm local;
    if (!::localtime_r(&moment, &local))
        return 0;
    int year = local.tm_year + 1900;
    if (year < 1980)
        return (1u << 5 | 1u) << 16; // 1980-01-01 00:00:00
    if (year > 2107)
        return ((127u << 9) | (12u << 5) | 31u) << 16 | (23u << 11) | (59u << 5) | 29u;
    const std::uint32_t date = (static_cast<std::uint32_t>(year - 1980) << 9)
                               | (static_cast<std::uint32_t>(local.tm_mon + 1) << 5)
                               | static_cast<std::uint32_t>(local.tm_mday);
    // DOS keeps seconds in two-second steps; a leap second (60) becomes 58.
    const int seconds = local.tm_sec > 59 ? 59 : local.tm_sec;
    const std::uint32_t time = (static_cast<std::uint32_t>(local.tm_hour) << 11)
                               | (static_cast<std::uint32_t>(local.tm_min) << 5)
                               | static_cast<std::uint32_t>(seconds / 2);
    return date << 16 | time;
}

QDateTime from_dos_date_time(std::uint32_t packed)
{
    if (packed == 0)
        return {};
    const std::uint32_t date = packed >> 16;
    const std::uint32_t time = packed & 0xFFFF;
    const QDate d(static_cast<int>((date >> 9) + 1980), static_cast<int>((date >> 5) & 0x0F),
                  static_cast<int>(date & 0x1F));
    const QTime t(static_cast<int>(time >> 11), static_cast<int>((time >> 5) & 0x3F),
                  static_cast<int>((time & 0x1F) * 2));
    if (!d.isValid() || !t.isValid())
        return {};
    return QDateTime(d, t, Qt::LocalTime);
}

QString short_path(const QString& path)
{
    return path;
}

} // namespace pelu::platform::fs
