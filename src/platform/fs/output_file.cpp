#include "platform/fs/output_file.h"

#include "platform/fs/file_names.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace pelu::platform::fs {

namespace {

// Symbolic links are followed this many times before the name counts as a loop
// (the kernel's own limit).
constexpr int kMaxLinkHops = 40;

QByteArray directory_of(const QByteArray& path)
{
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0)
        return ".";
    if (slash == 0)
        return "/";
    return path.left(slash);
}

// Where a name that does not exist yet will be created: the end of a chain of
// dangling symbolic links, or the name itself. 0, or the errno of the failure.
int resolve_new_name(QByteArray path, QByteArray* out)
{
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        struct stat st;
        if (::lstat(path.constData(), &st) != 0) {
            if (errno != ENOENT)
                return errno;
            *out = path;
            return 0;
        }
        if (!S_ISLNK(st.st_mode)) {
            *out = path;
            return 0;
        }
        QByteArray link(PATH_MAX, '\0');
        const ssize_t n = ::readlink(path.constData(), link.data(), size_t(link.size()));
        if (n < 0)
            return errno;
        link.truncate(n);
        path = link.startsWith('/') ? link : directory_of(path) + "/" + link;
    }
    return ELOOP;
}

QByteArray random_suffix()
{
    thread_local std::mt19937_64 generator{std::random_device{}()};
    static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    QByteArray suffix(8, '\0');
    for (char& c : suffix)
        c = kAlphabet[generator() % (sizeof kAlphabet - 1)];
    return suffix;
}

} // namespace

QString system_error_text(int error_number)
{
    char buffer[256];
    // The GNU strerror_r returns the text, which may or may not be in buffer.
    const char* text = ::strerror_r(error_number, buffer, sizeof buffer);
    return QString::fromLocal8Bit(text);
}

OutputFile::~OutputFile()
{
    abandon();
}

bool OutputFile::fail(int error_number)
{
    error_ = QStringLiteral("%1: %2").arg(path_, system_error_text(error_number));
    return false;
}

bool OutputFile::open(const QString& path)
{
    abandon();
    path_ = path;
    error_.clear();
    const QByteArray name = encode_file_name(path);
    struct stat st;
    const bool exists = ::stat(name.constData(), &st) == 0;
    if (!exists && errno != ENOENT)
        return fail(errno);
    if (exists && S_ISDIR(st.st_mode))
        return fail(EISDIR);
    if (exists && !S_ISREG(st.st_mode)) {
        // A device, FIFO or terminal: written in place, as a shell redirection would.
        const int fd = ::open(name.constData(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            return fail(errno);
        fd_ = fd;
        direct_ = true;
        seekable_ = false;
        return true;
    }
    if (exists) {
        char resolved[PATH_MAX];
        if (!::realpath(name.constData(), resolved))
            return fail(errno);
        target_ = resolved;
    } else if (const int error = resolve_new_name(name, &target_); error != 0) {
        return fail(error);
    }
    const QByteArray folder = directory_of(target_);
    const QByteArray base = target_.mid(target_.lastIndexOf('/') + 1);
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
        const QByteArray candidate = folder + "/." + base + "." + random_suffix();
        // 0666 and the umask: a new file gets the mode any new file would get.
        const int fd = ::open(candidate.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return fail(errno);
        }
        fd_ = fd;
        temporary_ = candidate;
    }
    if (fd_ < 0)
        return fail(EEXIST);
    if (exists) {
        // The replacement keeps the mode of the file it replaces, and its owner
        // when we may set it (root editing another user's file).
        ::fchmod(fd_, st.st_mode & 07777);
        if (::geteuid() == 0 && ::fchown(fd_, st.st_uid, st.st_gid) != 0) {
            // not fatal: the content is what matters
        }
    }
    direct_ = false;
    seekable_ = true;
    return true;
}

bool OutputFile::write(const void* data, std::int64_t size_bytes)
{
    if (fd_ < 0)
        return fail(EBADF);
    const char* p = static_cast<const char*>(data);
    while (size_bytes > 0) {
        const ssize_t n = ::write(fd_, p, size_t(size_bytes));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fail(errno);
        }
        p += n;
        size_bytes -= n;
    }
    return true;
}

bool OutputFile::write_at(std::int64_t offset, const void* data, std::int64_t size_bytes)
{
    if (fd_ < 0)
        return fail(EBADF);
    if (!seekable_)
        return fail(ESPIPE);
    const char* p = static_cast<const char*>(data);
    while (size_bytes > 0) {
        const ssize_t n = ::pwrite(fd_, p, size_t(size_bytes), off_t(offset));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fail(errno);
        }
        p += n;
        offset += n;
        size_bytes -= n;
    }
    return true;
}

bool OutputFile::commit()
{
    if (fd_ < 0)
        return fail(EBADF);
    const int fd = fd_;
    fd_ = -1;
    if (direct_) {
        if (::close(fd) != 0 && errno != EINTR)
            return fail(errno);
        return true;
    }
    // Synced before the rename: after a crash the name holds the old file or
    // the whole new one.
    if (::fsync(fd) != 0) {
        const int error = errno;
        ::close(fd);
        ::unlink(temporary_.constData());
        temporary_.clear();
        return fail(error);
    }
    if (::close(fd) != 0 && errno != EINTR) {
        const int error = errno;
        ::unlink(temporary_.constData());
        temporary_.clear();
        return fail(error);
    }
    if (::rename(temporary_.constData(), target_.constData()) != 0) {
        const int error = errno;
        ::unlink(temporary_.constData());
        temporary_.clear();
        return fail(error);
    }
    temporary_.clear();
    const int folder = ::open(directory_of(target_).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder); // the rename itself reaches the disk
        ::close(folder);
    }
    return true;
}

void OutputFile::abandon()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!temporary_.isEmpty()) {
        ::unlink(temporary_.constData());
        temporary_.clear();
    }
}

bool write_output_file(const QString& path, const QByteArray& data, QString* error)
{
    OutputFile file;
    if (file.open(path) && file.write(data.constData(), data.size()) && file.commit())
        return true;
    if (error)
        *error = file.error();
    return false;
}

bool same_file(const QString& a, const QString& b)
{
    struct stat sa, sb;
    if (::stat(encode_file_name(a).constData(), &sa) != 0 || ::stat(encode_file_name(b).constData(), &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

} // namespace pelu::platform::fs
