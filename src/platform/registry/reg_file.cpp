#include "platform/registry/reg_file.h"

#include "platform/fs/file_names.h"
#include "platform/fs/output_file.h"

#include <QStringDecoder>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pelu::platform::registry {

namespace {

constexpr qsizetype kWrapColumn = 76;
// Text quoted from the file in a message is cut to this many characters.
constexpr qsizetype kMaxQuotedChars = 200;

[[noreturn]] void fail_at(int line, const QString& what)
{
    throw RegFileError(QString("line %1: %2").arg(line).arg(what).toStdString());
}

// A piece of the input for a message: one line at most, and not too long.
QString cut(const QString& text)
{
    QString out = text.size() > kMaxQuotedChars ? text.left(kMaxQuotedChars) + "..." : text;
    for (QChar& c : out)
        if (c.unicode() < 0x20)
            c = QChar(' ');
    return out;
}

bool is_control(QChar c)
{
    return c.unicode() < 0x20 || c.unicode() == 0x7F;
}

bool is_hex_digit(QChar c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool is_separator(QChar c)
{
    return c == '\\' || c == '/';
}

QString decode_text(const QByteArray& bytes)
{
    if (bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF")) {
        auto decoder = QStringDecoder(bytes.startsWith("\xFF\xFE") ? QStringDecoder::Utf16LE
                                                                  : QStringDecoder::Utf16BE);
        return decoder(bytes.mid(2));
    }
    QByteArray b = bytes;
    if (b.startsWith("\xEF\xBB\xBF"))
        b.remove(0, 3);
    auto decoder = QStringDecoder(QStringDecoder::Utf8);
    QString text = decoder(b);
    if (decoder.hasError())
        throw RegFileError("the file is neither UTF-8 nor UTF-16 text");
    return text;
}

QByteArray utf16_with_zero(const QString& text)
{
    QByteArray out;
    for (QChar c : text) {
        out.append(char(c.unicode() & 0xFF));
        out.append(char(c.unicode() >> 8));
    }
    out.append(2, '\0');
    return out;
}

QString text_from_hex(const QByteArray& bytes, int version, int line)
{
    // The data ends with one terminating zero; any zero before it belongs to
    // the text.
    if (version == 4) {
        QByteArray b = bytes;
        if (b.endsWith('\0'))
            b.chop(1);
        return QString::fromUtf8(b);
    }
    if (bytes.size() % 2 != 0)
        fail_at(line, "a text in hex() has an odd number of bytes");
    QString text;
    for (qsizetype i = 0; i + 1 < bytes.size(); i += 2)
        text.append(QChar(char16_t(std::uint8_t(bytes[i]) | (std::uint8_t(bytes[i + 1]) << 8))));
    if (text.endsWith(QChar(0)))
        text.chop(1);
    return text;
}

// Parses a quoted string starting at `pos` (at the opening quote); returns the
// text and moves `pos` past the closing quote.
QString parse_quoted(const QString& s, qsizetype& pos, int line)
{
    if (pos >= s.size() || s[pos] != '"')
        fail_at(line, "expected a quoted text");
    QString out;
    ++pos;
    while (pos < s.size()) {
        const QChar c = s[pos];
        if (c == '\\') {
            if (pos + 1 >= s.size())
                fail_at(line, "a text ends in the middle of an escape");
            const QChar e = s[pos + 1];
            if (e == '\\' || e == '"') {
                out += e;
                pos += 2;
                continue;
            }
            // \xHH: a control character in a name (our own export writes these;
            // the registry editor never does, so nothing it writes changes meaning).
            if (e == 'x' && pos + 3 < s.size() && is_hex_digit(s[pos + 2]) && is_hex_digit(s[pos + 3])) {
                const uint code = s.mid(pos + 2, 2).toUInt(nullptr, 16);
                if (is_control(QChar(char16_t(code)))) {
                    out += QChar(char16_t(code));
                    pos += 4;
                    continue;
                }
            }
            fail_at(line, QString("unknown escape \\%1 in a text").arg(cut(QString(e))));
        }
        if (c == '"') {
            ++pos;
            return out;
        }
        out += c;
        ++pos;
    }
    fail_at(line, "a quoted text has no closing quote");
}

QByteArray parse_hex_bytes(const QString& text, int line)
{
    QByteArray out;
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return out;
    for (const QString& part : trimmed.split(',')) {
        const QString byte = part.trimmed();
        bool ok = false;
        const uint v = byte.toUInt(&ok, 16);
        if (!ok || byte.size() > 2 || v > 0xFF)
            fail_at(line, QString("\"%1\" is not a hexadecimal byte").arg(cut(byte)));
        out.append(char(v));
    }
    return out;
}

Value parse_data(const QString& name, const QString& data, int version, int line)
{
    const QString d = data.trimmed();
    if (d.startsWith('"')) {
        qsizetype pos = 0;
        const QString text = parse_quoted(d, pos, line);
        if (!d.mid(pos).trimmed().isEmpty())
            fail_at(line, "unexpected text after the closing quote");
        return Value::string(name, text);
    }
    if (d.startsWith("dword:", Qt::CaseInsensitive)) {
        const QString digits = d.mid(6).trimmed();
        bool ok = false;
        const uint v = digits.toUInt(&ok, 16);
        if (!ok || digits.isEmpty() || digits.size() > 8)
            fail_at(line, QString("\"%1\" is not a dword (up to 8 hexadecimal digits)").arg(cut(digits)));
        return Value::number(name, v);
    }
    if (d.startsWith("hex", Qt::CaseInsensitive)) {
        qsizetype colon = d.indexOf(':');
        if (colon < 0)
            fail_at(line, "hex data without \":\"");
        QString kind = d.mid(3, colon - 3).trimmed();
        int type = 3;
        if (!kind.isEmpty()) {
            if (!kind.startsWith('(') || !kind.endsWith(')'))
                fail_at(line, QString("\"%1\" is not a data type").arg(cut(d.left(colon))));
            bool ok = false;
            type = kind.mid(1, kind.size() - 2).toInt(&ok, 16);
            if (!ok)
                fail_at(line, QString("\"%1\" is not a data type").arg(cut(d.left(colon))));
        }
        const QByteArray bytes = parse_hex_bytes(d.mid(colon + 1), line);
        switch (type) {
        case 1:
            return Value::string(name, text_from_hex(bytes, version, line));
        case 2:
            return Value::string(name, text_from_hex(bytes, version, line), true);
        case 3:
            return Value::binary(name, bytes);
        case 4: {
            if (bytes.size() != 4)
                fail_at(line, "hex(4) data must be 4 bytes");
            std::uint32_t v = 0;
            for (int i = 3; i >= 0; --i)
                v = (v << 8) | std::uint8_t(bytes[i]);
            return Value::number(name, v);
        }
        default:
            fail_at(line, QString("registry type hex(%1) is not supported (only text, expandable text, "
                                  "binary and dword)")
                              .arg(type, 0, 16));
        }
    }
    fail_at(line, QString("\"%1\" is not registry data (expected \"text\", dword:, hex: or -)").arg(cut(d)));
}

QString quoted(const QString& text)
{
    QString out = "\"";
    for (QChar c : text) {
        if (is_control(c)) {
            out += QString("\\x%1").arg(c.unicode(), 2, 16, QChar('0'));
            continue;
        }
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

// One name of a key line. Names a plain [key] line would read differently
// (control characters, blanks at either end, a leading quote) are written as
// a quoted text with the escapes of value names.
QString key_part(const QString& name)
{
    const bool plain = !name.isEmpty() && !name.front().isSpace() && !name.back().isSpace() &&
                       name.front() != '"' && std::none_of(name.begin(), name.end(), is_control);
    return plain ? name : quoted(name);
}

// "prefix" then comma-separated hex bytes, wrapped the editor's way (",\" and two
// blanks on the next line).
QString hex_line(const QString& prefix, const QByteArray& bytes)
{
    QString out = prefix;
    qsizetype column = prefix.size();
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const QString byte = QString("%1").arg(std::uint8_t(bytes[i]), 2, 16, QChar('0'));
        out += byte;
        column += 2;
        if (i + 1 < bytes.size()) {
            out += ',';
            ++column;
            if (column >= kWrapColumn) {
                out += "\\\n  ";
                column = 2;
            }
        }
    }
    return out;
}

bool needs_hex(const QString& text)
{
    for (QChar c : text)
        if (c.unicode() < 0x20)
            return true;
    return false;
}

QString value_line(const Value& v)
{
    const QString name = v.name.isEmpty() ? "@" : quoted(v.name);
    switch (v.type) {
    case ValueType::String:
        // Texts with line breaks or other control characters go as hex(1), which
        // keeps them on one logical line.
        if (needs_hex(v.text))
            return hex_line(name + "=hex(1):", utf16_with_zero(v.text));
        return name + "=" + quoted(v.text);
    case ValueType::ExpandString:
        return hex_line(name + "=hex(2):", utf16_with_zero(v.text));
    case ValueType::Dword:
        return name + QString("=dword:%1").arg(v.dword, 8, 16, QChar('0'));
    case ValueType::Binary:
        return hex_line(name + "=hex:", v.bytes);
    }
    return {};
}

// Writes the key and its subtree, parents before children and siblings in
// name order, with a stack of its own: the depth of the tree costs no stack.
void export_key(Store& store, KeyId root, const QString& root_name, bool root_is_hive, QString& out)
{
    struct Pending {
        KeyId id;
        QString full_name;
    };
    std::vector<Pending> pending{{root, root_name}};
    bool is_hive = root_is_hive;
    while (!pending.empty()) {
        Pending key = std::move(pending.back());
        pending.pop_back();
        const std::vector<Value> values = store.values(key.id);
        if (!is_hive || !values.empty()) {
            out += "[" + key.full_name + "]\n";
            for (const Value& v : values)
                out += value_line(v) + "\n";
            out += "\n";
        }
        is_hive = false;
        const std::vector<Store::Child> children = store.children(key.id);
        for (auto it = children.rbegin(); it != children.rend(); ++it)
            pending.push_back({it->id, key.full_name + "\\" + key_part(it->name)});
    }
}

} // namespace

std::pair<Hive, QString> parse_key_name(const QString& name)
{
    const QString n = name.trimmed();
    qsizetype pos = 0;
    while (pos < n.size() && !is_separator(n[pos]))
        ++pos;
    const QString hive_part = n.left(pos);
    const auto hive = hive_from_name(hive_part);
    if (!hive)
        throw RegistryError(QString("\"%1\" does not begin with a hive (HKEY_CLASSES_ROOT, HKEY_CURRENT_USER "
                                    "or HKEY_LOCAL_MACHINE)")
                                .arg(cut(name))
                                .toStdString());
    QStringList parts;
    while (pos < n.size()) {
        if (is_separator(n[pos])) {
            ++pos; // empty names between separators are skipped
            continue;
        }
        // A quoted name (as the export writes names with control characters or
        // blanks at the ends); anything else that starts with a quote is a name
        // of its own.
        if (n[pos] == '"') {
            qsizetype end = pos;
            try {
                const QString text = parse_quoted(n, end, 0);
                if (!text.isEmpty() && (end == n.size() || is_separator(n[end])) &&
                    std::none_of(text.begin(), text.end(), is_separator)) {
                    parts << text;
                    pos = end;
                    continue;
                }
            } catch (const RegFileError&) {
            }
        }
        const qsizetype start = pos;
        while (pos < n.size() && !is_separator(n[pos]))
            ++pos;
        parts << n.mid(start, pos - start);
    }
    return {*hive, parts.join('\\')};
}

QByteArray read_reg_file(const QString& path)
{
    const QByteArray native = fs::encode_file_name(path);
    // O_NONBLOCK: a FIFO must not hang the open; it is refused below.
    const int fd = ::open(native.constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw RegFileError(errno == ENOENT ? std::string("no such file") : fs::system_error_text(errno).toStdString());
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const bool directory = S_ISDIR(st.st_mode);
        ::close(fd);
        throw RegFileError(directory ? "is a directory" : "is not a regular file");
    }
    if (st.st_size > kMaxRegFileBytes) {
        ::close(fd);
        throw RegFileError(QString("is larger than %1 MiB, more than any registry export").arg(kMaxRegFileBytes >> 20)
                               .toStdString());
    }
    QByteArray bytes;
    bytes.reserve(qsizetype(st.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            throw RegFileError(fs::system_error_text(error).toStdString());
        }
        if (n == 0)
            break;
        // A file that grows while it is read is held to the same bound.
        if (bytes.size() + n > kMaxRegFileBytes) {
            ::close(fd);
            throw RegFileError(QString("is larger than %1 MiB, more than any registry export")
                                   .arg(kMaxRegFileBytes >> 20)
                                   .toStdString());
        }
        bytes.append(buffer, n);
    }
    ::close(fd);
    return bytes;
}

RegFile parse_reg_file(const QByteArray& bytes)
{
    const QString text = decode_text(bytes);
    QStringList lines = text.split('\n');
    RegFile file;
    bool header_seen = false;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const int line_number = int(i + 1);
        QString line = lines[i];
        if (line.endsWith('\r'))
            line.chop(1);
        // Continuations: a line ending in "\" goes on in the next line.
        while (line.endsWith('\\') && !line.trimmed().startsWith('[') && i + 1 < lines.size()) {
            line.chop(1);
            QString next = lines[++i];
            if (next.endsWith('\r'))
                next.chop(1);
            line += next.trimmed();
        }
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(';'))
            continue;
        if (!header_seen) {
            if (trimmed == "REGEDIT4")
                file.version = 4;
            else if (trimmed == "Windows Registry Editor Version 5.00")
                file.version = 5;
            else
                fail_at(line_number, "the file must begin with \"Windows Registry Editor Version 5.00\" or "
                                     "\"REGEDIT4\"");
            header_seen = true;
            continue;
        }
        if (trimmed.startsWith('[')) {
            if (!trimmed.endsWith(']'))
                fail_at(line_number, "a key line has no closing \"]\"");
            QString name = trimmed.mid(1, trimmed.size() - 2);
            RegFileKey key;
            key.line = line_number;
            if (name.startsWith('-')) {
                key.remove = true;
                name.remove(0, 1);
            }
            try {
                std::tie(key.hive, key.path) = parse_key_name(name);
            } catch (const RegistryError& error) {
                fail_at(line_number, QString::fromStdString(error.what()));
            }
            if (key.remove && key.path.isEmpty())
                fail_at(line_number, "a whole hive cannot be deleted");
            if (const qsizetype depth = split_key_path(key.path).size(); depth > kMaxKeyDepth)
                fail_at(line_number, QString("the key lies %1 levels below its hive; keys may lie at most %2 levels "
                                             "deep")
                                         .arg(depth)
                                         .arg(kMaxKeyDepth));
            file.keys.push_back(key);
            continue;
        }
        if (!trimmed.startsWith('"') && !trimmed.startsWith('@'))
            fail_at(line_number, QString("\"%1\" is neither a [key] nor a \"name\"=value line").arg(cut(trimmed)));
        if (file.keys.empty() || file.keys.back().remove)
            fail_at(line_number, "a value outside of a [key] section");
        QString name;
        qsizetype pos = 0;
        if (trimmed.startsWith('@')) {
            pos = 1;
        } else {
            name = parse_quoted(trimmed, pos, line_number);
        }
        while (pos < trimmed.size() && trimmed[pos].isSpace())
            ++pos;
        if (pos >= trimmed.size() || trimmed[pos] != '=')
            fail_at(line_number, "expected \"=\" after the value name");
        const QString data = trimmed.mid(pos + 1).trimmed();
        if (data == "-")
            file.keys.back().removed_values << name;
        else
            file.keys.back().set_values.push_back(parse_data(name, data, file.version, line_number));
    }
    if (!header_seen)
        throw RegFileError("the file is empty: it must begin with \"Windows Registry Editor Version 5.00\" or "
                           "\"REGEDIT4\"");
    return file;
}

void apply_reg_file(Store& store, const RegFile& file, bool replace)
{
    store.transaction([&] {
        if (replace) {
            // The topmost keys: sorted by hive and then name by name, every key
            // follows its nearest listed ancestor, so one pass finds them.
            struct Listed {
                Hive hive;
                QStringList parts; // case-folded
                const RegFileKey* key;
            };
            std::vector<Listed> listed;
            for (const RegFileKey& key : file.keys)
                if (!key.remove)
                    listed.push_back({key.hive, split_key_path(key.path.toCaseFolded()), &key});
            std::sort(listed.begin(), listed.end(), [](const Listed& a, const Listed& b) {
                if (a.hive != b.hive)
                    return a.hive < b.hive;
                return std::lexicographical_compare(a.parts.begin(), a.parts.end(), b.parts.begin(), b.parts.end());
            });
            const Listed* top = nullptr;
            for (const Listed& entry : listed) {
                const bool below_top = top && top->hive == entry.hive && top->parts.size() <= entry.parts.size() &&
                                       std::equal(top->parts.begin(), top->parts.end(), entry.parts.begin());
                if (below_top)
                    continue;
                top = &entry;
                if (auto id = store.open_key(entry.key->hive, entry.key->path))
                    store.clear_key(*id);
            }
        }
        for (const RegFileKey& key : file.keys) {
            if (key.remove) {
                if (auto id = store.open_key(key.hive, key.path))
                    store.delete_key(*id);
                continue;
            }
            const KeyId id = store.create_key(key.hive, key.path);
            for (const Value& v : key.set_values)
                store.set_value(id, v);
            for (const QString& name : key.removed_values)
                store.delete_value(id, name);
        }
    });
}

QByteArray export_reg_file(Store& store, const std::optional<std::pair<Hive, QString>>& key)
{
    QString out = "Windows Registry Editor Version 5.00\n\n";
    store.transaction(
        [&] {
            if (key) {
                auto id = store.open_key(key->first, key->second);
                if (!id)
                    throw RegistryError(QString("key not found: %1%2")
                                            .arg(hive_name(key->first),
                                                 key->second.isEmpty() ? QString() : "\\" + key->second)
                                            .toStdString());
                QString full = hive_name(key->first);
                for (const QString& part : split_key_path(key->second))
                    full += "\\" + key_part(part);
                export_key(store, *id, full, key->second.isEmpty(), out);
            } else {
                for (Hive h : {Hive::ClassesRoot, Hive::CurrentUser, Hive::LocalMachine})
                    export_key(store, store.hive_key(h), hive_name(h), true, out);
            }
        },
        false);
    return out.toUtf8();
}

} // namespace pelu::platform::registry
