// Text of older files whose encoding nothing records (ID3v1 fields, the media
// lists of the other platform, M3U lists): UTF-8 when the bytes are valid
// UTF-8, Windows-1252 otherwise, the code page such files were mostly written in.
//
// Thread: any (pure functions).
#pragma once

#include <QString>

namespace pelu::platform {

// Strict UTF-8: no overlong forms, surrogates or code points above U+10FFFF.
bool is_valid_utf8(const char* data, qsizetype size);
// True when the bytes are valid UTF-8 and hold at least one multi-byte
// sequence (plain ASCII is both encodings at once).
bool is_multibyte_utf8(const char* data, qsizetype size);
// Windows-1252; the five bytes the code page leaves undefined map to the
// control characters of the same value, as the platform does.
QString decode_windows_1252(const char* data, qsizetype size);
// UTF-8 when valid, else Windows-1252.
QString decode_utf8_or_windows_1252(const char* data, qsizetype size);

} // namespace pelu::platform
