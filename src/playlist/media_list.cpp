#include "playlist/media_list.h"

#include "platform/fs/file_facts.h"
#include "platform/fs/file_names.h"
#include "platform/fs/output_file.h"
#include "platform/legacy_text.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pelu::player {

namespace {

constexpr std::int32_t kRecordVersion = -10;
constexpr std::int32_t kHintMarker = -1;
constexpr int kAttributeBlockBytes = 60;
// The smallest record: an old one with an empty text, no hint, no columns
// and no children (text length, column count, child count).
constexpr qsizetype kSmallestRecordBytes = 12;
// A row costs the band a few hundred bytes however small its record (the
// tree item, six column texts): a list may hold one row per this many bytes
// of file on average, so a file of minimal records cannot turn a few
// megabytes into gigabytes. Lists the band writes use about 200 bytes a row.
constexpr qsizetype kMinAverageRowBytes = 64;
// Small lists are not held to that average (a few hand-made records).
constexpr qsizetype kRowsAlwaysAllowed = 4096;
// Row state bits: 4 marks a selected row; bits 1 and 2 are cleared on reading.
constexpr std::uint16_t kStateSelected = 4;
// The column holding the row's file (playlist_rows.h numbers them all).
constexpr std::int32_t kPathColumn = 2;

// --- writing ---------------------------------------------------------------

void put_int32(QByteArray& out, std::int32_t value)
{
    const auto u = static_cast<std::uint32_t>(value);
    const char bytes[4] = {char(u & 0xFF), char((u >> 8) & 0xFF), char((u >> 16) & 0xFF), char((u >> 24) & 0xFF)};
    out.append(bytes, 4);
}

void put_string(QByteArray& out, const QString& text)
{
    // UTF-8, except that a file name's bytes that are not UTF-8 are written
    // back as those bytes (see platform/fs/file_names.h).
    const QByteArray utf8 = platform::fs::encode_file_name(text);
    put_int32(out, static_cast<std::int32_t>(utf8.size()));
    out.append(utf8);
}

// The attribute block with the values a playlist row carries.
std::array<char, kAttributeBlockBytes> attribute_block(std::uint16_t state_bits, std::int32_t image_index)
{
    std::array<char, kAttributeBlockBytes> block{};
    auto put32 = [&block](int offset, std::int32_t value) {
        const auto u = static_cast<std::uint32_t>(value);
        for (int i = 0; i < 4; ++i)
            block[std::size_t(offset + i)] = char((u >> (8 * i)) & 0xFF);
    };
    block[0] = char(state_bits & 0xFF);
    block[1] = char(state_bits >> 8);
    put32(4, image_index);
    put32(8, -1);   // state image index
    put32(12, 0);   // force expand buttons
    put32(16, 0);   // text colour
    put32(20, 0);   // row background colour
    put32(24, 0);   // background colour
    block[28] = 1;  // use parent's colours
    block[29] = 1;  // use parent's style
    block[30] = 1;  // check box enabled
    put32(36, -1);  // second image index
    put32(40, -1);  // second state image index
    block[44] = 1;  // enabled
    block[46] = 1;  // use background colour
    block[48] = 1;  // height taken from the list
    return block;
}

void put_record(QByteArray& out, const QString& text, std::uint16_t state_bits, std::int32_t image_index,
                const QStringList& columns, std::int32_t child_count)
{
    put_int32(out, kRecordVersion);
    put_string(out, text);
    const auto block = attribute_block(state_bits, image_index);
    out.append(block.data(), kAttributeBlockBytes);
    out.append(char(1)); // use background colour, as at offset 46
    put_int32(out, kHintMarker);
    put_int32(out, 0);   // empty hint
    put_int32(out, static_cast<std::int32_t>(columns.size()));
    for (const QString& column : columns)
        put_string(out, column);
    out.append(char(0)); // no cell styles follow
    put_int32(out, child_count);
}

// --- reading ---------------------------------------------------------------

class StreamReader {
public:
    StreamReader(const char* data, qsizetype size) : data_(data), size_(size) {}

    qsizetype Left() const { return size_ - pos_; }

    void Need(qsizetype count) const
    {
        if (count > Left())
            throw EMediaListError("Stream read error");
    }
    std::int32_t Int32()
    {
        Need(4);
        const auto* p = reinterpret_cast<const unsigned char*>(data_ + pos_);
        pos_ += 4;
        return static_cast<std::int32_t>(std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) |
                                         (std::uint32_t(p[2]) << 16) | (std::uint32_t(p[3]) << 24));
    }
    std::uint8_t Byte()
    {
        Need(1);
        return static_cast<std::uint8_t>(data_[pos_++]);
    }
    const char* Bytes(qsizetype count)
    {
        Need(count);
        const char* p = data_ + pos_;
        pos_ += count;
        return p;
    }
    // A string whose length is already read: a negative length, or one the
    // rest of the data cannot hold, is a damaged (or hostile) header.
    QString StringOfLength(std::int32_t length)
    {
        if (length < 0 || length > Left())
            throw EMediaListError(kInvalidStringHeader);
        return DecodeMediaListText(Bytes(length), length);
    }
    QString String() { return StringOfLength(Int32()); }
    // The path column: bytes that are not UTF-8 in an absolute path of this
    // system are a file name's own bytes and are kept exactly, so the row
    // still names its file; elsewhere (a drive-letter path from the other
    // platform) they are Windows-1252 like any text.
    QString PathString()
    {
        const std::int32_t length = Int32();
        if (length < 0 || length > Left())
            throw EMediaListError(kInvalidStringHeader);
        const char* bytes = Bytes(length);
        if (length > 0 && bytes[0] == '/' &&
            !platform::is_valid_utf8(bytes, length))
            return platform::fs::decode_file_name(QByteArray(bytes, length));
        return DecodeMediaListText(bytes, length);
    }
    // A count of items each at least `min_item_bytes` long. A negative count
    // reads as none; one beyond what the data can hold is a damaged header.
    std::int32_t Count(qsizetype min_item_bytes)
    {
        const std::int32_t count = Int32();
        if (count < 0)
            return 0;
        if (count > Left() / min_item_bytes)
            throw EMediaListError(kInvalidStringHeader);
        return count;
    }

private:
    const char* data_;
    qsizetype size_;
    qsizetype pos_ = 0;
};

// Reads one record; returns its child count.
std::int32_t read_record(StreamReader& in, PlaylistRow& row)
{
    const std::int32_t first = in.Int32();
    const bool versioned = first < 0;
    if (versioned && first != kRecordVersion) {
        // Versions -9 to -1 belong to tree lists older than any media list.
        throw EMediaListError("Unsupported media list record version " + std::to_string(first));
    }
    row.text = in.StringOfLength(versioned ? in.Int32() : first);
    row.image_index = -1;
    row.selected = false; // bits 2 and 4 of the state are cleared on reading
    if (versioned) {
        const char* block = in.Bytes(kAttributeBlockBytes);
        const auto* b = reinterpret_cast<const unsigned char*>(block);
        row.image_index = static_cast<std::int32_t>(std::uint32_t(b[4]) | (std::uint32_t(b[5]) << 8) |
                                                    (std::uint32_t(b[6]) << 16) | (std::uint32_t(b[7]) << 24));
        in.Byte(); // use background colour
    }
    // The hint is optional: any other value at its place is the column count.
    std::int32_t column_count = in.Int32();
    if (column_count == kHintMarker) {
        in.String(); // the hint, unused by the playlist
        column_count = in.Int32();
    }
    if (column_count < 0)
        column_count = 0;
    if (column_count > in.Left() / 4)
        throw EMediaListError(kInvalidStringHeader);
    row.columns.clear();
    for (std::int32_t i = 0; i < column_count; ++i)
        row.columns.append(i == kPathColumn ? in.PathString() : in.String());
    if (versioned && in.Byte() != 0)
        throw EMediaListError("Unsupported cell styles in the media list");
    return in.Count(kSmallestRecordBytes);
}

// --- files -----------------------------------------------------------------

[[noreturn]] void fail_write(const QString& path, int error_number)
{
    throw EMediaListError("Unable to write " + path.toStdString() + ": " + std::strerror(error_number));
}

} // namespace

// Temporary file beside `target` + flush to disk + rename over it.
void ReplaceFileAtomically(const QString& path, const QByteArray& bytes)
{
    // Replace what a symbolic link points at, not the link itself.
    QString target = path;
    const QFileInfo info(path);
    if (info.isSymLink())
        target = info.symLinkTarget();
    const QByteArray target_native = platform::fs::encode_file_name(target);
    const QFileInfo target_info(target);
    const QByteArray folder = platform::fs::encode_file_name(target_info.absolutePath());

    QByteArray temp_native;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp_native = folder + "/." + platform::fs::encode_file_name(target_info.fileName()) + "." +
                      QByteArray::number(QRandomGenerator::global()->generate(), 36) + ".tmp";
        fd = ::open(temp_native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            fail_write(path, errno);
    }
    if (fd < 0)
        fail_write(path, EEXIST);

    auto abandon = [&](int error_number) {
        ::close(fd);
        ::unlink(temp_native.constData());
        fail_write(path, error_number);
    };
    // The new file keeps the permissions the user gave the old one.
    struct stat old_stat {};
    if (::stat(target_native.constData(), &old_stat) == 0)
        ::fchmod(fd, old_stat.st_mode & 07777);

    const char* p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, p, static_cast<std::size_t>(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            abandon(errno);
        }
        p += written;
        left -= written;
    }
    if (::fsync(fd) != 0)
        abandon(errno);
    if (::close(fd) != 0) {
        const int error_number = errno;
        ::unlink(temp_native.constData());
        fail_write(path, error_number);
    }
    if (::rename(temp_native.constData(), target_native.constData()) != 0) {
        const int error_number = errno;
        ::unlink(temp_native.constData());
        fail_write(path, error_number);
    }
    // The rename itself reaches the disk with the folder.
    const int folder_fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder_fd >= 0) {
        ::fsync(folder_fd);
        ::close(folder_fd);
    }
}

QString DecodeMediaListText(const char* data, qsizetype size)
{
    return platform::decode_utf8_or_windows_1252(data, size);
}

QByteArray WriteMediaList(const std::vector<PlaylistRow>& rows)
{
    QByteArray out;
    out.reserve(static_cast<qsizetype>(rows.size()) * 400 + 100);
    put_record(out, QString(), 0, -1, QStringList(), static_cast<std::int32_t>(rows.size()));
    for (const PlaylistRow& row : rows)
        put_record(out, row.text, row.selected ? kStateSelected : 0, row.image_index, row.columns, 0);
    return out;
}

void ReadMediaList(const QByteArray& bytes, std::vector<PlaylistRow>& rows)
{
    rows.clear();
    StreamReader in(bytes.constData(), bytes.size());
    const qsizetype rows_allowed = std::max(kRowsAlwaysAllowed, bytes.size() / kMinAverageRowBytes);
    qsizetype rows_promised = 0;
    auto promise = [&](std::int32_t children) {
        rows_promised += children;
        if (rows_promised > rows_allowed)
            throw EMediaListError("The media list holds more rows than its size allows");
        return children;
    };
    const QStringList no_columns(6);
    PlaylistRow root;
    // Children of every row still to read, innermost last. The playlist is
    // flat; rows nested below rows (never written by the band) are taken in
    // file order after their parent, so nothing in the file is dropped. An
    // explicit stack keeps deeply nested hostile input off the call stack.
    std::vector<std::int32_t> pending{promise(read_record(in, root))};
    while (!pending.empty()) {
        if (pending.back() == 0) {
            pending.pop_back();
            continue;
        }
        --pending.back();
        PlaylistRow row;
        const std::int32_t children = promise(read_record(in, row));
        if (row.columns.isEmpty())
            row.columns = no_columns; // shared: the smallest records cost no list of their own
        while (row.columns.size() < 6)
            row.columns.append(QString());
        rows.push_back(std::move(row));
        if (children > 0)
            pending.push_back(children);
    }
}

void SaveMediaListFile(const QString& path, const std::vector<PlaylistRow>& rows)
{
    ReplaceFileAtomically(path, WriteMediaList(rows));
}

void LoadMediaListFile(const QString& path, std::vector<PlaylistRow>& rows)
{
    rows.clear();
    auto refuse = [&path](const QString& why) {
        throw EMediaListError(path.toStdString() + ": " + why.toStdString());
    };
    // Only a regular file: a FIFO or a device (or a link to one) would block
    // or never end. The check is made on the open descriptor.
    platform::fs::ReadOnlyFile file;
    if (const int error = file.open(path); error != 0) {
        const QString problem = platform::fs::input_file_problem(path);
        refuse(!problem.isEmpty() ? problem : error > 0 ? platform::fs::system_error_text(error)
                                                        : QStringLiteral("is not a regular file"));
    }
    platform::fs::FileFacts facts;
    if (!file.facts(&facts))
        refuse(platform::fs::system_error_text(errno));
    if (facts.size_bytes > kMaxMediaListBytes)
        refuse(QStringLiteral("is larger than %1 MiB, too large for a playlist").arg(kMaxMediaListBytes / (1024 * 1024)));
    QByteArray bytes(facts.size_bytes, Qt::Uninitialized);
    const std::int64_t got = file.read_at(0, bytes.data(), facts.size_bytes);
    if (got < 0)
        refuse(platform::fs::system_error_text(file.last_error()));
    bytes.truncate(got); // a file that shrank meanwhile
    try {
        ReadMediaList(bytes, rows);
    } catch (const EMediaListError& error) {
        throw EMediaListError(path.toStdString() + ": " + error.what());
    }
}

} // namespace pelu::player
