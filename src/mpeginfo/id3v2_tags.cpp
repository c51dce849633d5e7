#include "mpeginfo/id3v2_tags.h"

#include "platform/fs/file_facts.h"
#include "platform/fs/file_names.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <taglib/attachedpictureframe.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2synchdata.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/textidentificationframe.h>
#include <taglib/tiostream.h>

#include <algorithm>
#include <exception>
#include <limits>

namespace pelu::mpeginfo {

namespace fs = platform::fs;

namespace {

// TagLib reads through this stream: a regular file opened without blocking
// (see fs::ReadOnlyFile), read-only, and never read past its end.
class RegularFileStream : public TagLib::IOStream {
public:
    explicit RegularFileStream(const QString& path) : native_(fs::encode_file_name(path))
    {
        fs::FileFacts facts;
        if (file_.open(path) == 0 && file_.facts(&facts))
            length_ = facts.size_bytes;
        else
            file_.close();
    }

    TagLib::FileName name() const override { return native_.constData(); }
    TagLib::ByteVector readBlock(unsigned long length) override
    {
        const std::int64_t wanted = std::min<std::int64_t>(std::int64_t(length), std::max<std::int64_t>(0, length_ - position_));
        if (!file_.is_open() || wanted <= 0)
            return {};
        TagLib::ByteVector block(static_cast<unsigned int>(wanted));
        const std::int64_t got = file_.read_at(position_, block.data(), wanted);
        if (got <= 0)
            return {};
        block.resize(static_cast<unsigned int>(got));
        position_ += got;
        return block;
    }
    void writeBlock(const TagLib::ByteVector&) override {}
    void insert(const TagLib::ByteVector&, unsigned long, unsigned long) override {}
    void removeBlock(unsigned long, unsigned long) override {}
    bool readOnly() const override { return true; }
    bool isOpen() const override { return file_.is_open(); }
    void seek(long offset, Position from) override
    {
        std::int64_t base = 0;
        if (from == Current)
            base = position_;
        else if (from == End)
            base = length_;
        position_ = std::max<std::int64_t>(0, base + offset);
    }
    long tell() const override { return static_cast<long>(position_); }
    long length() override { return static_cast<long>(length_); }
    void truncate(long) override {}

private:
    QByteArray native_;
    fs::ReadOnlyFile file_;
    std::int64_t length_ = 0;
    std::int64_t position_ = 0;
};

// TagLib's frame factory with the limits of this unit. TagLib asks
// updateFrame() about every frame before it reads the frame's content; a
// frame answered with false is kept as raw bytes. Marking a compressed frame
// as encrypted too keeps TagLib from inflating it.
template <typename MemberFunction>
struct FirstParameter;
template <typename R, typename C, typename A>
struct FirstParameter<R (C::*)(A) const> {
    using type = A;
};

class BoundedFrameFactory : public TagLib::ID3v2::FrameFactory {
    // TagLib keeps the frame header's class name to itself and its friends;
    // the type is taken from the function this class overrides.
    using FrameHeader = FirstParameter<decltype(&BoundedFrameFactory::updateFrame)>::type;

public:
    BoundedFrameFactory() = default;

protected:
    bool updateFrame(FrameHeader header) const override
    {
        const TagLib::ByteVector id = header->frameID();
        if (++frames_seen_ > kMaxId3v2Frames) {
            // Claim the rest of the tag for this frame: the tag's walk ends here.
            KeepRaw(header, kEndOfTagSize);
            return false;
        }
        if (id == "CHAP" || id == "CTOC") {
            KeepRaw(header, header->frameSize());
            return false;
        }
        if (header->version() >= 3 && header->compression()) {
            KeepRaw(header, header->frameSize());
            return false;
        }
        return FrameFactory::updateFrame(header);
    }

private:
    // The largest size a frame header can state; with any offset inside a tag
    // (at most 2^28 bytes) the sum still fits TagLib's 32-bit position.
    static constexpr unsigned int kEndOfTagSize = 0x0FFFFFFF;

    // Rewrites the header so that reading the frame copies nothing and
    // inflates nothing: the same flags, plus "encrypted" where the version
    // has that flag.
    static void KeepRaw(FrameHeader header, unsigned int frame_size)
    {
        const unsigned int version = header->version();
        if (version < 3) {
            header->setFrameSize(std::min(frame_size, 0xFFFFFFu));
            return; // version 2.2 frames have no flags: nothing is inflated
        }
        TagLib::ByteVector bytes = header->frameID();
        bytes.resize(4, ' ');
        bytes.append(version == 3 ? TagLib::ByteVector::fromUInt(frame_size)
                                  : TagLib::ID3v2::SynchData::fromUInt(frame_size));
        char status = 0;
        char format = 0;
        if (version == 3) {
            status = char((header->tagAlterPreservation() ? 0x80 : 0) | (header->fileAlterPreservation() ? 0x40 : 0) |
                          (header->readOnly() ? 0x20 : 0));
            format = char((header->compression() ? 0x80 : 0) | 0x40 /* encrypted */ |
                          (header->groupingIdentity() ? 0x20 : 0));
        } else {
            status = char((header->tagAlterPreservation() ? 0x40 : 0) | (header->fileAlterPreservation() ? 0x20 : 0) |
                          (header->readOnly() ? 0x10 : 0));
            format = char((header->groupingIdentity() ? 0x40 : 0) | (header->compression() ? 0x08 : 0) |
                          0x04 /* encrypted */ | (header->unsynchronisation() ? 0x02 : 0) |
                          (header->dataLengthIndicator() ? 0x01 : 0));
        }
        bytes.append(status);
        bytes.append(format);
        header->setData(bytes, version);
        header->setFrameSize(frame_size); // as stated, whatever the size field's form
    }

    mutable int frames_seen_ = 0;
};

QString to_qstring(const TagLib::String& text)
{
    return QString::fromUtf8(text.toCString(true));
}

// The values of the first text frame `id` that has any, trimmed, joined by " / ".
QString text_of(const TagLib::ID3v2::Tag& tag, const char* id)
{
    for (TagLib::ID3v2::Frame* frame : tag.frameList(id)) {
        const auto* text_frame = dynamic_cast<const TagLib::ID3v2::TextIdentificationFrame*>(frame);
        if (!text_frame)
            continue; // kept raw (compressed): its text is not read
        QStringList values;
        for (const TagLib::String& value : text_frame->fieldList()) {
            const QString trimmed = to_qstring(value).trimmed();
            if (!trimmed.isEmpty())
                values.append(trimmed.left(kMaxId3v2TextChars));
        }
        if (!values.isEmpty())
            return values.join(QStringLiteral(" / ")).left(kMaxId3v2TextChars);
    }
    return {};
}

// What the picture's bytes are. Tags in the wild state "jpg", "image/jpg" or
// nothing at all, so the bytes decide where they can; a stated image type is
// kept for formats not recognised here; anything else is no picture.
QString image_mime(const TagLib::ByteVector& data, const QString& stated)
{
    const auto starts = [&data](const char* magic, unsigned int size, unsigned int at = 0) {
        return data.size() >= at + size && data.containsAt(TagLib::ByteVector(magic, size), at);
    };
    if (starts("\xFF\xD8\xFF", 3))
        return QStringLiteral("image/jpeg");
    if (starts("\x89PNG\r\n\x1A\n", 8))
        return QStringLiteral("image/png");
    if (starts("GIF87a", 6) || starts("GIF89a", 6))
        return QStringLiteral("image/gif");
    if (starts("RIFF", 4) && starts("WEBP", 4, 8))
        return QStringLiteral("image/webp");
    if (starts("BM", 2))
        return QStringLiteral("image/bmp");
    const QString lower = stated.trimmed().toLower();
    if (lower.startsWith(QLatin1String("image/")) && lower.size() > 6)
        return lower;
    return {};
}

void read_cover(const TagLib::ID3v2::Tag& tag, Id3v2Tags& out)
{
    const TagLib::ID3v2::AttachedPictureFrame* chosen = nullptr;
    QString chosen_mime;
    for (TagLib::ID3v2::Frame* frame : tag.frameList("APIC")) {
        const auto* picture = dynamic_cast<const TagLib::ID3v2::AttachedPictureFrame*>(frame);
        if (!picture)
            continue;
        const TagLib::ByteVector data = picture->picture();
        if (data.isEmpty() || qsizetype(data.size()) > kMaxCoverBytes)
            continue;
        const QString mime = image_mime(data, to_qstring(picture->mimeType()));
        if (mime.isEmpty())
            continue;
        const bool front = picture->type() == TagLib::ID3v2::AttachedPictureFrame::FrontCover;
        if (!chosen || front) {
            chosen = picture;
            chosen_mime = mime;
        }
        if (front)
            break;
    }
    if (chosen) {
        const TagLib::ByteVector data = chosen->picture();
        out.cover = QByteArray(data.data(), qsizetype(data.size()));
        out.cover_mime = chosen_mime;
    }
}

QString extension_for(const QString& mime)
{
    if (mime == QLatin1String("image/jpeg"))
        return QStringLiteral(".jpg");
    if (mime == QLatin1String("image/png"))
        return QStringLiteral(".png");
    if (mime == QLatin1String("image/gif"))
        return QStringLiteral(".gif");
    if (mime == QLatin1String("image/webp"))
        return QStringLiteral(".webp");
    if (mime == QLatin1String("image/bmp"))
        return QStringLiteral(".bmp");
    return QStringLiteral(".img");
}

} // namespace

Id3v2Tags ReadId3v2Tags(const QString& path, Id3v2Parts parts)
{
    Id3v2Tags out;
    try {
        RegularFileStream stream(path);
        if (!stream.isOpen())
            return out;
        BoundedFrameFactory factory;
        TagLib::MPEG::File file(&stream, &factory, /*readProperties=*/false);
        if (!file.isValid() || !file.hasID3v2Tag())
            return out;
        const TagLib::ID3v2::Tag* tag = file.ID3v2Tag();
        if (!tag)
            return out;
        out.present = true;
        out.artist = text_of(*tag, "TPE1");
        out.title = text_of(*tag, "TIT2");
        out.album = text_of(*tag, "TALB");
        if (parts == Id3v2Parts::TextsAndCover)
            read_cover(*tag, out);
    } catch (const std::exception&) {
        // Out of memory inside TagLib, or the like: as a file without a tag.
        return Id3v2Tags{};
    }
    return out;
}

QString CoverCacheFolder()
{
    QString base = qEnvironmentVariable("XDG_CACHE_HOME");
    // A relative value is to be ignored, as the base directory rules say.
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.cache");
    return QDir::cleanPath(base + QStringLiteral("/pelu/covers"));
}

QString CachedCoverFile(const Id3v2Tags& tags)
{
    if (tags.cover.isEmpty())
        return {};
    const QString folder = CoverCacheFolder();
    const QByteArray digest = QCryptographicHash::hash(tags.cover, QCryptographicHash::Sha256).toHex();
    const QString path = folder + QLatin1Char('/') + QString::fromLatin1(digest.left(40)) + extension_for(tags.cover_mime);
    // Named by content: a file of that name and size is this picture already.
    const QFileInfo existing(path);
    if (existing.isFile() && existing.size() == tags.cover.size())
        return path;
    if (!QDir().mkpath(folder))
        return {};
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(tags.cover) != tags.cover.size() || !file.commit())
        return {};
    return path;
}

} // namespace pelu::mpeginfo
