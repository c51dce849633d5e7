// File names as the system sees them: on Linux a name is a string of bytes,
// and nothing makes it UTF-8 (old collections are full of Latin-1 names).
// A QString can still carry every such name: the bytes that are not part of
// valid UTF-8 become the lone surrogates U+DC80..U+DCFF, one per byte, and go
// back to the same byte on the way out. Valid UTF-8 reads as ordinary text, so
// any name decoded here and encoded again is the original bytes.
//
// Everything that opens, stats or lists a file by a QString name goes through
// encode_file_name(); every name from outside (argv, a playlist line, a
// directory listing, a dialog) comes in through decode_file_name().
//
// Thread: any (pure functions).
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace pelu::platform::fs {

// Bytes (a name as the kernel has it) to text, keeping every byte.
QString decode_file_name(const QByteArray& bytes);
QString decode_file_name(const char* bytes);
// Text back to the exact bytes decode_file_name() was given. Text that never
// came from bytes is written as UTF-8.
QByteArray encode_file_name(const QString& name);

// The program's arguments, each decoded as above (QCoreApplication::arguments()
// turns bytes that are not UTF-8 into U+FFFD and loses them).
QStringList decode_arguments(int argc, const char* const* argv);

} // namespace pelu::platform::fs
