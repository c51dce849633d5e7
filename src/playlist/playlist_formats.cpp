#include "playlist/playlist_formats.h"

#include "platform/fs/file_facts.h"
#include "platform/fs/file_names.h"
#include "platform/legacy_text.h"
#include "playlist/playlist_rows.h"

#include <QByteArrayView>
#include <QDir>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <sys/stat.h>

namespace pelu::player {

namespace {

namespace fs = platform::fs;

constexpr char16_t kFirstEscapedByte = 0xDC80; // see platform/fs/file_names.h
constexpr char16_t kLastEscapedByte = 0xDCFF;

// --- reading the list file ---------------------------------------------------

std::string name_of(const QString& file_name)
{
    return file_name.toStdString();
}

[[noreturn]] void refuse(const QString& file_name, const std::string& why)
{
    throw EPlaylistFileError(name_of(file_name) + ": " + why);
}

// Why `file_name` cannot be opened as a list, for the message.
std::string open_problem(const QString& file_name, int error_number)
{
    struct stat st {};
    if (::stat(fs::encode_file_name(file_name).constData(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return "is a directory";
        if (!S_ISREG(st.st_mode))
            return "is not a regular file";
    }
    return error_number > 0 ? std::strerror(error_number) : "cannot be read";
}

// The whole list file, refused when it is no regular file or too large.
QByteArray read_list_file(const QString& file_name)
{
    fs::ReadOnlyFile file;
    if (const int error = file.open(file_name); error != 0)
        refuse(file_name, open_problem(file_name, error));
    fs::FileFacts facts;
    if (!file.facts(&facts))
        refuse(file_name, std::strerror(errno));
    if (facts.size_bytes > kMaxPlaylistFileBytes)
        refuse(file_name, "is larger than " + std::to_string(kMaxPlaylistFileBytes / (1024 * 1024)) +
                              " MiB, too large for a playlist");
    QByteArray bytes(facts.size_bytes, Qt::Uninitialized);
    const std::int64_t got = file.read_at(0, bytes.data(), facts.size_bytes);
    if (got < 0)
        refuse(file_name, std::strerror(file.last_error()));
    bytes.truncate(got); // a file that shrank meanwhile
    return bytes;
}

// The lines of a list: a UTF-8 byte order mark at the start is skipped; LF,
// CRLF and CR end lines; blanks and tabs at either end are trimmed.
class LineReader {
public:
    LineReader(const QString& file_name, const QByteArray& bytes) : file_name_(file_name), bytes_(bytes)
    {
        if (bytes_.startsWith("\xEF\xBB\xBF"))
            pos_ = 3;
    }

    // The next line; `too_long` tells a line over kMaxPlaylistLineBytes,
    // which comes back empty: it is skipped, and only it.
    bool Next(QByteArrayView& line, bool& too_long)
    {
        const qsizetype size = bytes_.size();
        if (pos_ >= size)
            return false;
        const char* data = bytes_.constData();
        const char* stop = static_cast<const char*>(std::memchr(data + pos_, '\n', std::size_t(size - pos_)));
        qsizetype end = stop ? stop - data : size;
        if (const void* cr = std::memchr(data + pos_, '\r', std::size_t(end - pos_)))
            end = static_cast<const char*>(cr) - data;
        too_long = end - pos_ > kMaxPlaylistLineBytes;
        qsizetype first = too_long ? end : pos_, last = end;
        while (first < last && (data[first] == ' ' || data[first] == '\t'))
            ++first;
        while (last > first && (data[last - 1] == ' ' || data[last - 1] == '\t'))
            --last;
        line = QByteArrayView(data + first, last - first);
        pos_ = end;
        if (pos_ < size && data[pos_++] == '\r' && pos_ < size && data[pos_] == '\n')
            ++pos_; // CRLF is one line end
        return true;
    }

private:
    const QString& file_name_;
    const QByteArray& bytes_;
    qsizetype pos_ = 0;
};

// --- entries -----------------------------------------------------------------

// The folder of a list, absolute and clean ("" for the root): entries are
// relative to it.
QString folder_of(const QString& list_file)
{
    const QString absolute = QDir::cleanPath(
        QDir::isAbsolutePath(list_file) ? list_file : QDir::currentPath() + QLatin1Char('/') + list_file);
    return absolute.left(absolute.lastIndexOf(QLatin1Char('/')));
}

bool has_escaped_bytes(const QString& text)
{
    for (QChar c : text)
        if (c.unicode() >= kFirstEscapedByte && c.unicode() <= kLastEscapedByte)
            return true;
    return false;
}

// "scheme:" at the start, as URLs begin. One letter before the colon is a
// drive letter of the other platform, not a scheme.
qsizetype scheme_length(QByteArrayView entry)
{
    if (entry.isEmpty() || !std::isalpha(static_cast<unsigned char>(entry[0])))
        return 0;
    qsizetype i = 1;
    while (i < entry.size()) {
        const auto c = static_cast<unsigned char>(entry[i]);
        if (c == ':')
            return i >= 2 ? i : 0;
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.')
            return 0;
        ++i;
    }
    return 0;
}

// The scheme of an entry that is a URL: "file:" always, any other scheme
// only when "//" and an authority follow ("http://host/..."). A relative
// name with a colon ("Live:2003.mp3") is a path like any other.
qsizetype url_scheme_length(QByteArrayView entry)
{
    const qsizetype scheme = scheme_length(entry);
    if (scheme == 0)
        return 0;
    if (QByteArrayView(entry.data(), scheme).compare("file", Qt::CaseInsensitive) == 0 ||
        entry.sliced(scheme + 1).startsWith("//"))
        return scheme;
    return 0;
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

QByteArray percent_decoded(QByteArrayView text)
{
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 && hex_value(text[i + 2]) >= 0) {
            out.append(char(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2])));
            i += 2;
        } else {
            out.append(text[i]);
        }
    }
    return out;
}

// Turns entries into files, counting those that are none.
class EntryResolver {
public:
    EntryResolver(const QString& list_file, bool windows_1252_fallback)
        : folder_(folder_of(list_file)), windows_1252_fallback_(windows_1252_fallback)
    {
    }

    void Add(QByteArrayView entry)
    {
        const QString file = Resolve(entry);
        if (file.isEmpty())
            ++result_.skipped;
        else
            result_.paths.append(file);
    }
    void Skip() { ++result_.skipped; }
    ImportedList Take() { return std::move(result_); }

private:
    // The file an entry names, or "" when it names none that is an MP3.
    QString Resolve(QByteArrayView entry) const
    {
        if (entry.isEmpty())
            return {};
        QByteArray bytes;
        if (const qsizetype scheme = url_scheme_length(entry); scheme > 0) {
            if (QByteArrayView(entry.data(), scheme).compare("file", Qt::CaseInsensitive) != 0)
                return {}; // http:, https:, smb:, ... are no local files
            QByteArrayView rest = entry.sliced(scheme + 1);
            if (rest.startsWith("//")) {
                rest = rest.sliced(2);
                const qsizetype slash = rest.indexOf('/');
                if (slash < 0)
                    return {};
                const QByteArrayView host = rest.first(slash);
                if (!host.isEmpty() && host.compare("localhost", Qt::CaseInsensitive) != 0)
                    return {}; // a file on another machine
                rest = rest.sliced(slash);
            }
            if (!rest.startsWith('/'))
                return {};
            bytes = percent_decoded(rest);
        } else {
            bytes = entry.toByteArray();
        }

        // No file name holds a NUL: the system would read the name only up to
        // it ("song.dat%00.mp3" would name "song.dat").
        if (bytes.contains('\0'))
            return {};
        const QString exact = fs::decode_file_name(bytes);
        if (!HasMp3Extension(exact))
            return {};
        if (QString file = Existing(exact); !file.isEmpty())
            return file;
        if (windows_1252_fallback_ && has_escaped_bytes(exact))
            return Existing(DecodeMediaListText(bytes.constData(), bytes.size()));
        return {};
    }

    // The absolute path of `name` when it is an existing regular file; a name
    // with "\" and no file of that name is tried with "/" in their place.
    QString Existing(const QString& name) const
    {
        const QString absolute =
            QDir::cleanPath(name.startsWith(QLatin1Char('/')) ? name : folder_ + QLatin1Char('/') + name);
        if (fs::file_kind(absolute) == fs::FileKind::Regular)
            return absolute;
        if (name.contains(QLatin1Char('\\'))) {
            QString slashed = name;
            slashed.replace(QLatin1Char('\\'), QLatin1Char('/'));
            return Existing(slashed);
        }
        return {};
    }

    QString folder_;
    bool windows_1252_fallback_;
    ImportedList result_;
};

// --- writing -----------------------------------------------------------------

// A length in whole seconds from the row's milliseconds, -1 when unknown.
long long seconds_of(const PlaylistRow& row)
{
    bool ok = false;
    const long long ms = row.columns.value(kColumnDurationMs).toLongLong(&ok);
    return ok && ms > 0 ? (ms + 500) / 1000 : -1;
}

// "Artist - name", or the name alone when the row knows no artist; on one line.
QByteArray title_of(const PlaylistRow& row)
{
    const QString path = row.columns.value(kColumnPath);
    const QString artist = row.columns.value(kColumnArtist).trimmed();
    QString title = RowName(path);
    if (!artist.isEmpty() && artist != QLatin1String("[notag]"))
        title = artist + QStringLiteral(" - ") + title;
    for (QChar& c : title)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            c = QLatin1Char(' ');
    return title.toUtf8();
}

// How rows' paths are written into a list in `list_file`'s folder.
class EntryWriter {
public:
    // A list in "/" has the folder "", so the prefix is "/".
    EntryWriter(const QString& list_file, bool m3u) : m3u_(m3u), folder_prefix_(folder_of(list_file) + QLatin1Char('/'))
    {
    }

    QByteArray Entry(const QString& path) const
    {
        const QString absolute =
            QDir::isAbsolutePath(path) ? path : QDir::cleanPath(QDir::currentPath() + QLatin1Char('/') + path);
        const bool inside = absolute.startsWith(folder_prefix_) && absolute.size() > folder_prefix_.size();
        QByteArray bytes = fs::encode_file_name(inside ? absolute.mid(folder_prefix_.size()) : absolute);
        const bool unwritable = bytes.contains('\n') || bytes.contains('\r') || bytes.startsWith(' ') ||
                                bytes.startsWith('\t') || bytes.endsWith(' ') || bytes.endsWith('\t');
        // A list is UTF-8 text: a name whose bytes are not UTF-8 (Latin-1) is
        // written as a file:// URL, its bytes percent-encoded.
        if (unwritable || !platform::is_valid_utf8(bytes.constData(), bytes.size()))
            return "file://" + fs::encode_file_name(absolute).toPercentEncoding("/");
        // A relative name that would read as a comment or a URL.
        if (inside && ((m3u_ && bytes.startsWith('#')) || scheme_length(bytes) > 0))
            bytes.prepend("./");
        return bytes;
    }

private:
    bool m3u_;
    QString folder_prefix_;
};

bool has_path(const PlaylistRow& row)
{
    return !row.columns.value(kColumnPath).isEmpty();
}

} // namespace

PlaylistFormat PlaylistFormatOf(const QString& file_name)
{
    const QString name = file_name.mid(file_name.lastIndexOf(QLatin1Char('/')) + 1);
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot < 0)
        return PlaylistFormat::Unknown;
    const QString extension = name.mid(dot + 1).toLower();
    if (extension == QLatin1String("bri") || extension == QLatin1String("xes"))
        return PlaylistFormat::MediaList;
    if (extension == QLatin1String("m3u") || extension == QLatin1String("m3u8"))
        return PlaylistFormat::M3u;
    if (extension == QLatin1String("pls"))
        return PlaylistFormat::Pls;
    return PlaylistFormat::Unknown;
}

ImportedList ReadM3u(const QString& file_name)
{
    const QByteArray bytes = read_list_file(file_name);
    // ".m3u8" says UTF-8: bytes that are not can only be a name's own bytes.
    const bool utf8_by_name = file_name.endsWith(QLatin1String(".m3u8"), Qt::CaseInsensitive);
    EntryResolver resolver(file_name, !utf8_by_name);
    LineReader lines(file_name, bytes);
    QByteArrayView line;
    bool too_long = false;
    while (lines.Next(line, too_long)) {
        if (too_long)
            resolver.Skip();
        else if (!line.isEmpty() && line[0] != '#')
            resolver.Add(line);
    }
    return resolver.Take();
}

ImportedList ReadPls(const QString& file_name)
{
    const QByteArray bytes = read_list_file(file_name);
    // FileN by N: lists are not always written in order. The first of two
    // entries with one number counts, as an INI reader takes the first key.
    std::map<unsigned long long, QByteArrayView> entries;
    int unnumbered = 0;
    bool in_playlist = true; // keys before any section header count too
    LineReader lines(file_name, bytes);
    QByteArrayView line;
    bool too_long = false;
    int unusable = 0; // entries on lines too long to read
    while (lines.Next(line, too_long)) {
        if (too_long) {
            ++unusable;
            continue;
        }
        if (line.isEmpty() || line[0] == ';' || line[0] == '#')
            continue;
        if (line[0] == '[') {
            const qsizetype close = line.indexOf(']');
            const QByteArrayView section = (close < 0 ? line.sliced(1) : line.sliced(1, close - 1)).trimmed();
            in_playlist = section.compare("playlist", Qt::CaseInsensitive) == 0;
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (!in_playlist || equals < 0)
            continue;
        const QByteArrayView key = line.first(equals).trimmed();
        if (key.size() < 4 || key.first(4).compare("file", Qt::CaseInsensitive) != 0)
            continue;
        bool number_ok = false;
        const unsigned long long number = key.sliced(4).toULongLong(&number_ok);
        if (!number_ok) {
            ++unnumbered; // "File=..." or "Filex=...": an entry no position in the list can hold
            continue;
        }
        entries.emplace(number, line.sliced(equals + 1).trimmed());
    }
    EntryResolver resolver(file_name, true);
    for (const auto& [number, entry] : entries)
        resolver.Add(entry);
    for (int i = 0; i < unnumbered + unusable; ++i)
        resolver.Skip();
    return resolver.Take();
}

ImportedList ReadPlaylistEntries(const QString& file_name)
{
    switch (PlaylistFormatOf(file_name)) {
    case PlaylistFormat::M3u:
        return ReadM3u(file_name);
    case PlaylistFormat::Pls:
        return ReadPls(file_name);
    case PlaylistFormat::MediaList:
    case PlaylistFormat::Unknown:
        break;
    }
    refuse(file_name, "not an M3U, M3U8 or PLS playlist");
}

void WriteM3u8(const QString& file_name, const std::vector<PlaylistRow>& rows)
{
    const EntryWriter writer(file_name, /*m3u=*/true);
    QByteArray out("#EXTM3U\n");
    out.reserve(qsizetype(rows.size()) * 160 + 16);
    for (const PlaylistRow& row : rows) {
        if (!has_path(row))
            continue;
        out += "#EXTINF:" + QByteArray::number(seconds_of(row)) + ',' + title_of(row) + '\n';
        out += writer.Entry(row.columns.value(kColumnPath)) + '\n';
    }
    ReplaceFileAtomically(file_name, out);
}

void WritePls(const QString& file_name, const std::vector<PlaylistRow>& rows)
{
    const EntryWriter writer(file_name, /*m3u=*/false);
    QByteArray out("[playlist]\n");
    out.reserve(qsizetype(rows.size()) * 180 + 48);
    int number = 0;
    for (const PlaylistRow& row : rows) {
        if (!has_path(row))
            continue;
        const QByteArray n = QByteArray::number(++number);
        out += "File" + n + '=' + writer.Entry(row.columns.value(kColumnPath)) + '\n';
        out += "Title" + n + '=' + title_of(row) + '\n';
        out += "Length" + n + '=' + QByteArray::number(seconds_of(row)) + '\n';
    }
    out += "NumberOfEntries=" + QByteArray::number(number) + "\nVersion=2\n";
    ReplaceFileAtomically(file_name, out);
}

} // namespace pelu::player
