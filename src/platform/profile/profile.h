// Private-profile (INI) files with the semantics programs expect from them:
// section and key names compare case-insensitively, the first of duplicate
// sections or keys is the one read, values are trimmed and one pair of matching
// quotes around a value is removed, and writing changes only the line it touches:
// comments, other sections and unknown lines stay as they were, byte for byte.
//
// A PrivateProfile holds one file in memory; Save() replaces the file through a
// temporary file and a rename, so a reader never sees half a file. The free
// functions read or write one key per call, each write being one such Save().
//
// Thread: an object is used by one thread at a time; the free functions may be
// called from any thread (different files), like the platform's own.
#pragma once

#include "platform/error.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <optional>
#include <utility>
#include <vector>

namespace pelu::platform {

PELU_DECLARE_ERROR(ProfileError, pelu::Error)

class PrivateProfile {
public:
    // Reads `path`; a missing file reads as empty. ProfileError when it exists but
    // cannot be read.
    explicit PrivateProfile(const QString& path);

    const QString& path() const { return path_; }

    std::optional<QString> Value(const QString& section, const QString& key) const;
    QString ReadString(const QString& section, const QString& key, const QString& fallback) const;
    // A decimal integer (leading sign allowed, trailing text ignored as the
    // platform does); `fallback` when missing or not a number.
    int ReadInteger(const QString& section, const QString& key, int fallback) const;
    // A value's text read as ReadInteger reads it.
    static int IntegerOf(const QString& value, int fallback);
    bool ReadBool(const QString& section, const QString& key, bool fallback) const;
    // Every key of `section` with its value, read in one pass: the names are
    // case-folded (QString::toCaseFolded) and the first of duplicates wins, as
    // Value() reads them. Empty when the section is missing.
    QHash<QString, QString> SectionValues(const QString& section) const;
    bool SectionExists(const QString& section) const;
    QStringList Sections() const;
    QStringList Keys(const QString& section) const;

    void WriteString(const QString& section, const QString& key, const QString& value);
    void WriteInteger(const QString& section, const QString& key, int value);
    void WriteBool(const QString& section, const QString& key, bool value);
    // The same lines as WriteString for each entry in order, in one pass over
    // the file (a preset of thousands of keys would otherwise rescan the
    // section per key). Every entry is checked first: ProfileError changes
    // nothing.
    void WriteStrings(const QString& section, const std::vector<std::pair<QString, QString>>& entries);
    void DeleteKey(const QString& section, const QString& key);
    void EraseSection(const QString& section);

    // Writes the file atomically (temporary file in the same folder, then rename).
    // ProfileError "Unable to write to <path>: <the system's error>" on
    // failure; the old file stays.
    void Save() const;
    QByteArray Serialize() const;

private:
    struct Line {
        QByteArray raw;   // the line as stored, without its line break
        int kind = 0;     // 0 other, 1 section header, 2 key=value
        QString name;     // section or key name, trimmed
        QString value;    // key value as read (trimmed, quotes removed)
    };
    static Line Parse(const QByteArray& raw);
    // Index of the first header of `section`, or -1.
    int FindSection(const QString& section) const;
    // One past the last line of the section starting at header `start`.
    int SectionEnd(int start) const;
    int FindKey(int section_start, const QString& key) const;

    QString path_;
    std::vector<Line> lines_;
    QByteArray line_break_ = "\n";
    bool final_break_ = true;
};

// One-key conveniences in the platform's style.
QString GetPrivateProfileString(const QString& section, const QString& key, const QString& fallback,
                                const QString& path);
int GetPrivateProfileInt(const QString& section, const QString& key, int fallback, const QString& path);
// Writes one key (an absent value deletes the key). Throws ProfileError on failure.
void WritePrivateProfileString(const QString& section, const QString& key, const std::optional<QString>& value,
                               const QString& path);

} // namespace pelu::platform
