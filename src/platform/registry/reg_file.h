// Registry text files: the format the Windows registry editor reads and writes
// ("REGEDIT4" or "Windows Registry Editor Version 5.00", [KEY] sections,
// "name"="text", dword:, hex:, hex(2): and friends, [-KEY] and "name"=- to delete).
//
// Export writes version 5.00 in UTF-8; import reads either version in UTF-8 or
// UTF-16 (with its byte-order mark). Export, import and export again gives the
// same text for any content of the store: what the editor's syntax cannot say
// is written in escapes the editor never produces (control characters in names
// as \xHH inside quotes, quoted key names), and a text's single terminating
// zero is the only one dropped, so texts ending in zeros keep them. A file is parsed whole before anything is
// applied, and applied in one transaction: a bad line changes nothing.
//
// Thread: any (the store serialises its own calls).
#pragma once

#include "platform/registry/registry.h"

namespace pelu::platform::registry {

PELU_DECLARE_ERROR(RegFileError, RegistryError)

struct RegFileKey {
    bool remove = false; // [-KEY]
    Hive hive = Hive::CurrentUser;
    QString path;        // below the hive, "\" separated
    int line = 0;
    std::vector<Value> set_values;
    QStringList removed_values; // "name"=-
};

struct RegFile {
    int version = 5; // 4 for REGEDIT4
    std::vector<RegFileKey> keys;
};

// Larger files are refused unread: no registry export comes near it.
constexpr qint64 kMaxRegFileBytes = qint64(256) << 20;

// The bytes of a .reg file. RegFileError with a reason for the message
// ("no such file", "is not a regular file" for a FIFO or device, which would
// block or never end, "is larger than 256 MiB").
QByteArray read_reg_file(const QString& path);

// Throws RegFileError "line N: ..." on the first bad line.
RegFile parse_reg_file(const QByteArray& bytes);

// Applies the file in one transaction. With `replace`, each topmost key of the
// file is emptied first, so its subtree ends up exactly as the file says.
void apply_reg_file(Store& store, const RegFile& file, bool replace = false);

// "HKEY_CURRENT_USER\Software\PELU" (or "HKCU\..."): the hive and the path below it.
// A name may be quoted ("a\x0ab" with the escapes of value names), as the
// export writes names with control characters or blanks at either end.
std::pair<Hive, QString> parse_key_name(const QString& name);

// The key and everything below it in version 5.00 text, or the whole store when
// no key is given. Throws RegistryError when the key does not exist.
QByteArray export_reg_file(Store& store, const std::optional<std::pair<Hive, QString>>& key = std::nullopt);

} // namespace pelu::platform::registry
