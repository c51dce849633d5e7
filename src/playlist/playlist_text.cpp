// The pure text side of playlist rows (see playlist_rows.h): row names and
// the ".mp3" test. Kept apart from the row builder so that code
// with no decoder (the playlist file readers, their fuzzer) can use it.
#include "playlist/playlist_rows.h"

namespace pelu::player {

namespace {

// A byte of a file name that is not UTF-8 travels as U+DC80..U+DCFF (see
// platform/fs/file_names.h).
constexpr char16_t kFirstEscapedByte = 0xDC80;
constexpr char16_t kLastEscapedByte = 0xDCFF;

// The name part of a path: everything after the last folder separator.
QString file_part(const QString& path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

} // namespace

QString RowName(const QString& path)
{
    QString name = file_part(path);
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot >= 0)
        name.truncate(dot);
    // A name whose bytes are not UTF-8 comes from an old collection, nearly
    // always Latin-1 or Windows-1252: show those letters, not placeholders.
    for (QChar& c : name) {
        if (c.unicode() >= kFirstEscapedByte && c.unicode() <= kLastEscapedByte) {
            const char byte = static_cast<char>(c.unicode() - 0xDC00);
            c = DecodeMediaListText(&byte, 1).at(0);
        }
    }
    return name;
}

QString RowText(int number, const QString& path)
{
    return QString::number(number) + QStringLiteral(". ") + RowName(path);
}

bool HasMp3Extension(const QString& path)
{
    const QString name = file_part(path);
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot >= 0 && name.mid(dot).compare(QLatin1String(".mp3"), Qt::CaseInsensitive) == 0;
}

QStringList Mp3FilesOf(const QStringList& selected)
{
    QStringList files;
    for (const QString& path : selected) {
        if (HasMp3Extension(path))
            files.append(path);
    }
    return files;
}

} // namespace pelu::player
