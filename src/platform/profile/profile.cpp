#include "platform/profile/profile.h"

#include "platform/fs/output_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <climits>

namespace pelu::platform {

namespace {

QString decode(const QByteArray& bytes)
{
    // Profiles written by other tools may be in a legacy 8-bit code page.
    QString text = QString::fromUtf8(bytes);
    if (text.contains(QChar::ReplacementCharacter))
        return QString::fromLatin1(bytes);
    return text;
}

QString unquote(QString value)
{
    if (value.size() >= 2) {
        const QChar first = value.front();
        if ((first == u'"' || first == u'\'') && value.back() == first)
            return value.mid(1, value.size() - 2);
    }
    return value;
}

bool same_name(const QString& a, const QString& b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

} // namespace

PrivateProfile::Line PrivateProfile::Parse(const QByteArray& raw)
{
    Line line;
    line.raw = raw;
    const QString text = decode(raw).trimmed();
    if (text.isEmpty() || text.startsWith(u';'))
        return line;
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(u']');
        line.kind = 1;
        line.name = (close < 0 ? text.mid(1) : text.mid(1, close - 1)).trimmed();
        return line;
    }
    const qsizetype eq = text.indexOf(u'=');
    if (eq <= 0)
        return line;
    line.kind = 2;
    line.name = text.left(eq).trimmed();
    line.value = unquote(text.mid(eq + 1).trimmed());
    return line;
}

PrivateProfile::PrivateProfile(const QString& path) : path_(path)
{
    QFile file(path);
    if (!file.exists())
        return;
    if (!file.open(QIODevice::ReadOnly))
        throw ProfileError("Unable to read " + path.toStdString() + ": " + file.errorString().toStdString());
    QByteArray content = file.readAll();
    if (content.contains("\r\n"))
        line_break_ = "\r\n";
    if (content.isEmpty())
        return;
    final_break_ = content.endsWith('\n');
    const QList<QByteArray> raw_lines = content.split('\n');
    const qsizetype count = final_break_ ? raw_lines.size() - 1 : raw_lines.size();
    for (qsizetype i = 0; i < count; ++i) {
        QByteArray raw = raw_lines[i];
        if (raw.endsWith('\r'))
            raw.chop(1);
        lines_.push_back(Parse(raw));
    }
}

int PrivateProfile::FindSection(const QString& section) const
{
    for (int i = 0; i < int(lines_.size()); ++i)
        if (lines_[i].kind == 1 && same_name(lines_[i].name, section))
            return i;
    return -1;
}

int PrivateProfile::SectionEnd(int start) const
{
    int i = start + 1;
    while (i < int(lines_.size()) && lines_[i].kind != 1)
        ++i;
    return i;
}

int PrivateProfile::FindKey(int section_start, const QString& key) const
{
    const int end = SectionEnd(section_start);
    for (int i = section_start + 1; i < end; ++i)
        if (lines_[i].kind == 2 && same_name(lines_[i].name, key))
            return i;
    return -1;
}

std::optional<QString> PrivateProfile::Value(const QString& section, const QString& key) const
{
    const int s = FindSection(section);
    if (s < 0)
        return std::nullopt;
    const int k = FindKey(s, key);
    if (k < 0)
        return std::nullopt;
    return lines_[k].value;
}

QString PrivateProfile::ReadString(const QString& section, const QString& key, const QString& fallback) const
{
    return Value(section, key).value_or(fallback);
}

int PrivateProfile::ReadInteger(const QString& section, const QString& key, int fallback) const
{
    const auto value = Value(section, key);
    return value ? IntegerOf(*value, fallback) : fallback;
}

int PrivateProfile::IntegerOf(const QString& value, int fallback)
{
    // Leading sign and digits; anything after them is ignored.
    const QString text = value.trimmed();
    qsizetype i = 0;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+'))
        ++i;
    const qsizetype digits_start = i;
    while (i < text.size() && text[i].isDigit() && text[i].unicode() < 128)
        ++i;
    if (i == digits_start)
        return fallback;
    bool ok = false;
    const qlonglong number = text.left(i).toLongLong(&ok);
    if (!ok || number > INT_MAX || number < INT_MIN)
        return fallback;
    return int(number);
}

bool PrivateProfile::ReadBool(const QString& section, const QString& key, bool fallback) const
{
    return ReadInteger(section, key, fallback ? 1 : 0) != 0;
}

QHash<QString, QString> PrivateProfile::SectionValues(const QString& section) const
{
    QHash<QString, QString> values;
    const int s = FindSection(section);
    if (s < 0)
        return values;
    const int end = SectionEnd(s);
    for (int i = s + 1; i < end; ++i)
        if (lines_[i].kind == 2) {
            const QString key = lines_[i].name.toCaseFolded();
            if (!values.contains(key))
                values.insert(key, lines_[i].value);
        }
    return values;
}

bool PrivateProfile::SectionExists(const QString& section) const
{
    return FindSection(section) >= 0;
}

QStringList PrivateProfile::Sections() const
{
    QStringList names;
    for (const Line& line : lines_)
        if (line.kind == 1 && !names.contains(line.name, Qt::CaseInsensitive))
            names << line.name;
    return names;
}

QStringList PrivateProfile::Keys(const QString& section) const
{
    QStringList names;
    const int s = FindSection(section);
    if (s < 0)
        return names;
    const int end = SectionEnd(s);
    for (int i = s + 1; i < end; ++i)
        if (lines_[i].kind == 2 && !names.contains(lines_[i].name, Qt::CaseInsensitive))
            names << lines_[i].name;
    return names;
}

namespace {
void check_entry(const QString& section, const QString& key, const QString& value)
{
    if (section.contains(u']') || section.contains(u'\n') || key.contains(u'=') || key.contains(u'\n') ||
        key.trimmed().isEmpty() || key.trimmed().startsWith(u';') || key.trimmed().startsWith(u'[') ||
        value.contains(u'\n') || value.contains(u'\r'))
        throw ProfileError("Invalid profile entry " + section.toStdString() + "/" + key.toStdString());
}
} // namespace

void PrivateProfile::WriteString(const QString& section, const QString& key, const QString& value)
{
    check_entry(section, key, value);
    Line line = Parse((key + u'=' + value).toUtf8());
    int s = FindSection(section);
    if (s < 0) {
        if (!lines_.empty() && !lines_.back().raw.trimmed().isEmpty())
            lines_.push_back(Parse(QByteArray()));
        lines_.push_back(Parse(('[' + section + ']').toUtf8()));
        lines_.push_back(line);
        return;
    }
    const int k = FindKey(s, key);
    if (k >= 0) {
        lines_[k] = line;
        return;
    }
    // After the last non-blank line of the section.
    int insert_at = SectionEnd(s);
    while (insert_at > s + 1 && lines_[insert_at - 1].raw.trimmed().isEmpty())
        --insert_at;
    lines_.insert(lines_.begin() + insert_at, line);
}

void PrivateProfile::WriteStrings(const QString& section, const std::vector<std::pair<QString, QString>>& entries)
{
    for (const auto& [key, value] : entries)
        check_entry(section, key, value);
    if (entries.empty())
        return;
    const int s = FindSection(section);
    const int end = s < 0 ? int(lines_.size()) : SectionEnd(s);
    // Where each key of the section is: a line already there (index into
    // lines_) or one of the appended lines (index into `added`, negated - 1).
    QHash<QString, int> where;
    if (s >= 0)
        for (int i = end - 1; i > s; --i) // the first of duplicates wins
            if (lines_[i].kind == 2)
                where.insert(lines_[i].name.toCaseFolded(), i);
    std::vector<Line> added;
    for (const auto& [key, value] : entries) {
        Line line = Parse((key + u'=' + value).toUtf8());
        const QString folded = key.trimmed().toCaseFolded();
        const auto it = where.constFind(folded);
        if (it == where.constEnd()) {
            where.insert(folded, -int(added.size()) - 1);
            added.push_back(std::move(line));
        } else if (*it >= 0) {
            lines_[std::size_t(*it)] = std::move(line);
        } else {
            added[std::size_t(-*it - 1)] = std::move(line);
        }
    }
    if (added.empty())
        return;
    if (s < 0) {
        if (!lines_.empty() && !lines_.back().raw.trimmed().isEmpty())
            lines_.push_back(Parse(QByteArray()));
        lines_.push_back(Parse(('[' + section + ']').toUtf8()));
        lines_.insert(lines_.end(), std::make_move_iterator(added.begin()), std::make_move_iterator(added.end()));
        return;
    }
    // After the last non-blank line of the section.
    int insert_at = end;
    while (insert_at > s + 1 && lines_[insert_at - 1].raw.trimmed().isEmpty())
        --insert_at;
    lines_.insert(lines_.begin() + insert_at, std::make_move_iterator(added.begin()),
                  std::make_move_iterator(added.end()));
}

void PrivateProfile::WriteInteger(const QString& section, const QString& key, int value)
{
    WriteString(section, key, QString::number(value));
}

void PrivateProfile::WriteBool(const QString& section, const QString& key, bool value)
{
    WriteString(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}

void PrivateProfile::DeleteKey(const QString& section, const QString& key)
{
    const int s = FindSection(section);
    if (s < 0)
        return;
    const int k = FindKey(s, key);
    if (k >= 0)
        lines_.erase(lines_.begin() + k);
}

void PrivateProfile::EraseSection(const QString& section)
{
    const int s = FindSection(section);
    if (s < 0)
        return;
    lines_.erase(lines_.begin() + s, lines_.begin() + SectionEnd(s));
}

QByteArray PrivateProfile::Serialize() const
{
    QByteArray out;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        out += lines_[i].raw;
        if (i + 1 < lines_.size() || final_break_)
            out += line_break_;
    }
    return out;
}

void PrivateProfile::Save() const
{
    // Atomic over a regular file; a symbolic link keeps pointing at the new file.
    QString error; // "NAME: the system's text"
    if (!fs::write_output_file(path_, Serialize(), &error))
        throw ProfileError("Unable to write to " + error.toStdString());
}

QString GetPrivateProfileString(const QString& section, const QString& key, const QString& fallback,
                                const QString& path)
{
    try {
        return PrivateProfile(path).ReadString(section, key, fallback);
    } catch (const ProfileError&) {
        return fallback;
    }
}

int GetPrivateProfileInt(const QString& section, const QString& key, int fallback, const QString& path)
{
    try {
        return PrivateProfile(path).ReadInteger(section, key, fallback);
    } catch (const ProfileError&) {
        return fallback;
    }
}

void WritePrivateProfileString(const QString& section, const QString& key, const std::optional<QString>& value,
                               const QString& path)
{
    PrivateProfile profile(path);
    if (value)
        profile.WriteString(section, key, *value);
    else
        profile.DeleteKey(section, key);
    profile.Save();
}

} // namespace pelu::platform
