// ID3v2 tags (versions 2.2, 2.3 and 2.4, text in Latin-1, UTF-16 or UTF-8)
// of an MP3 file, read through TagLib: the artist, title and album texts and
// the front cover, for the files that carry no ID3v1 tag and for the desktop's
// media controls. TagLib parses; this unit decides what to trust and keep:
//  - only regular files are opened (a FIFO or device is refused, never waited on);
//  - compressed frames are not inflated (a few bytes of deflate can stand for
//    gigabytes) and chapter frames are not walked (TagLib would parse their
//    inner frames without these limits), so the cost stays that of reading
//    the tag's bytes, which never exceed the file;
//  - a tag stops being read after kMaxId3v2Frames frames;
//  - texts are cut to kMaxId3v2TextChars; a picture over kMaxCoverBytes, or
//    one that is no image, is ignored.
//
// Thread: any; calls share no state except the cover cache folder, whose
// files are written by rename so that readers never see a partial one.
#pragma once

#include <QByteArray>
#include <QString>

namespace pelu::mpeginfo {

inline constexpr qsizetype kMaxCoverBytes = 16 * 1024 * 1024;
inline constexpr int kMaxId3v2TextChars = 1024;
inline constexpr int kMaxId3v2Frames = 4096;

struct Id3v2Tags {
    bool present = false; // the file has an ID3v2 tag (even one without these frames)
    QString artist, title, album; // several values of one frame are joined with " / "
    QByteArray cover;   // the front cover (picture type 3), else the first picture; empty when none
    QString cover_mime; // "image/jpeg", "image/png", ... as the picture's bytes show it
};

// Which parts to keep: the artist column needs no picture, and copying one for
// every file of a long list would cost memory for nothing.
enum class Id3v2Parts { TextsOnly, TextsAndCover };

// The tag of the file at `path` (a name as platform/fs/file_names.h keeps it).
// Never throws: a missing, unreadable or non-regular file, or a file without
// an ID3v2 tag, gives a record with `present` false.
Id3v2Tags ReadId3v2Tags(const QString& path, Id3v2Parts parts = Id3v2Parts::TextsAndCover);

// The folder the covers go to: $XDG_CACHE_HOME/pelu/covers, or
// ~/.cache/pelu/covers when that variable is unset or not an absolute path.
QString CoverCacheFolder();

// The cover written once into CoverCacheFolder() under a name made from its
// content (so the same picture in a thousand files is one file, and a file
// already there is not written again); returns the file's path, or "" when
// there is no cover or it cannot be written.
QString CachedCoverFile(const Id3v2Tags& tags);

} // namespace pelu::mpeginfo
