#include "mpeginfo/mpeg_audio.h"

#include "mpeginfo/macros.h"
#include "platform/fs/file_facts.h"
#include "platform/fs/file_names.h"
#include "platform/legacy_text.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <limits>
#include <mutex>

namespace pelu::mpeginfo {

namespace fs = pelu::platform::fs;

// ---------------------------------------------------------------- name tables

namespace {

const char* const kGenres[kGenreCount] = {
    "Blues", "Classic Rock", "Country", "Dance", "Disco", "Funk", "Grunge", "Hip-Hop", "Jazz",
    "Metal", "New Age", "Oldies", "Other", "Pop", "R&B", "Rap", "Reggae", "Rock", "Techno",
    "Industrial", "Alternative", "Ska", "Death Metal", "Pranks", "Soundtrack", "Euro-Techno",
    "Ambient", "Trip-Hop", "Vocal", "Jazz+Funk", "Fusion", "Trance", "Classical",
    "Instrumental", "Acid", "House", "Game", "Sound Clip", "Gospel", "Noise", "AlternRock",
    "Bass", "Soul", "Punk", "Space", "Meditative", "Instrumental Pop", "Instrumental Rock",
    "Ethnic", "Gothic", "Darkwave", "Techno-Industrial", "Electronic", "Pop-Folk", "Eurodance",
    "Dream", "Southern Rock", "Comedy", "Cult", "Gangsta", "Top 40", "Christian Rap",
    "Pop/Funk", "Jungle", "Native American", "Cabaret", "New Wave", "Psychadelic", "Rave",
    "Showtunes", "Trailer", "Lo-Fi", "Tribal", "Acid Punk", "Acid Jazz", "Polka", "Retro",
    "Musical", "Rock & Roll", "Hard Rock", "Folk", "Folk-Rock", "National Folk", "Swing",
    "Fast Fusion", "Bebob", "Latin", "Revival", "Celtic", "Bluegrass", "Avantgarde",
    "Gothic Rock", "Progessive Rock", "Psychedelic Rock", "Symphonic Rock", "Slow Rock",
    "Big Band", "Chorus", "Easy Listening", "Acoustic", "Humour", "Speech", "Chanson", "Opera",
    "Chamber Music", "Sonata", "Symphony", "Booty Bass", "Primus", "Porn Groove", "Satire",
    "Slow Jam", "Club", "Tango", "Samba", "Folklore", "Ballad", "Power Ballad", "Rhythmic Soul",
    "Freestyle", "Duet", "Punk Rock", "Drum Solo", "A capella", "Euro-House", "Dance Hall",
};

const char* const kVersions[] = {"Unknown", "1.0", "2.0", "2.5"};
const char* const kLayers[] = {"Unknown", "I", "II", "III"};
const char* const kModes[] = {"Stereo", "Joint-Stereo", "Dual-Channel", "Single-Channel"};

// kbit/s by bit-rate index; index 0 (free format) and 15 give 0.
const std::int16_t kBitRatesMpeg1[3][16] = {
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
};
// MPEG 2 and 2.5: Layer I, then Layers II and III.
const std::int16_t kBitRatesMpeg2[2][16] = {
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
};
// Hz by version (1, 2, 2.5) and sample-rate index; index 3 gives 0.
const std::int32_t kSampleRates[3][4] = {
    {44100, 48000, 32000, 0},
    {22050, 24000, 16000, 0},
    {11025, 12000, 8000, 0},
};

template <typename T>
QString name_from(const T& table, int index)
{
    const int count = static_cast<int>(std::size(table));
    return QString::fromLatin1(table[index >= 0 && index < count ? index : 0]);
}

std::uint32_t big_endian32(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

// The cheap part of the validity test on raw bytes: sync, a known version and
// layer, a listed bit rate and sample rate. The scan tries a full decode only
// where this holds; it never rejects a header the full test would accept.
bool could_be_header(const std::uint8_t* p)
{
    if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0)
        return false;
    if (((p[1] >> 3) & 3) == 1 || ((p[1] >> 1) & 3) == 0)
        return false;
    const int bit_rate_index = p[2] >> 4;
    return bit_rate_index != 0 && bit_rate_index != 15 && ((p[2] >> 2) & 3) != 3;
}

template <typename T>
T saturate(std::int64_t value)
{
    return static_cast<T>(std::clamp<std::int64_t>(value, 0, std::numeric_limits<T>::max()));
}

// The name made absolute against the current folder and cleaned of "." and
// ".." steps, as text: a name's bytes that are not UTF-8 (a Latin-1 name,
// see platform/fs/file_names.h) stay as they are, where QFileInfo would
// convert them and name another, missing file.
QString AbsoluteCleanPath(const QString& name)
{
    if (name.isEmpty())
        return {};
    if (name.startsWith(QLatin1Char('/')))
        return QDir::cleanPath(name);
    char* cwd = ::getcwd(nullptr, 0);
    const QString folder = cwd ? fs::decode_file_name(cwd) : QDir::currentPath();
    std::free(cwd);
    return QDir::cleanPath(folder + QLatin1Char('/') + name);
}

QString file_name_only(const QString& path)
{
    return QFileInfo(path).fileName();
}

// A tag text field: cut at the first zero byte, trailing blanks (and control
// characters) removed, leading blanks kept. ID3v1 says ISO-8859-1, but many
// taggers wrote UTF-8: text that is valid UTF-8 with multi-byte sequences is
// read as UTF-8 (a full field may end inside a character its 30 bytes cut),
// everything else as Windows-1252, which Latin-1 tags read the same in.
QString tag_text(const std::uint8_t* field, int size)
{
    int end = 0;
    while (end < size && field[end] != 0)
        ++end;
    while (end > 0 && field[end - 1] <= ' ')
        --end;
    const char* bytes = reinterpret_cast<const char*>(field);
    if (platform::is_multibyte_utf8(bytes, end))
        return QString::fromUtf8(bytes, end);
    if (end == size) {
        // The last character cut short: its lead byte and up to two of its
        // continuation bytes end the field.
        int cut = 0;
        while (cut < 3 && cut < end && (field[end - 1 - cut] & 0xC0) == 0x80)
            ++cut;
        if (cut < end && field[end - 1 - cut] >= 0xC2 && field[end - 1 - cut] <= 0xF4 &&
            platform::is_multibyte_utf8(bytes, end - 1 - cut))
            return QString::fromUtf8(bytes, end - 1 - cut);
    }
    return platform::decode_windows_1252(bytes, end);
}

std::mutex& dialog_mutex()
{
    static std::mutex mutex;
    return mutex;
}

ReadErrorDialog& installed_dialog()
{
    static ReadErrorDialog dialog;
    return dialog;
}

} // namespace

QString genre_name(int code)
{
    if (code < 0 || code >= kGenreCount)
        return QStringLiteral("Unknown");
    return QString::fromLatin1(kGenres[code]);
}

QString version_name(int version) { return name_from(kVersions, version); }
QString layer_name(int layer) { return name_from(kLayers, layer); }
QString mode_name(int mode) { return name_from(kModes, mode); }

void set_read_error_dialog(ReadErrorDialog dialog)
{
    std::lock_guard<std::mutex> lock(dialog_mutex());
    installed_dialog() = std::move(dialog);
}

int show_read_error_dialog(const QString& text)
{
    ReadErrorDialog dialog;
    {
        std::lock_guard<std::mutex> lock(dialog_mutex());
        dialog = installed_dialog();
    }
    return dialog ? dialog(text) : idIgnore;
}

TReadErrorEvent read_error_dialog_handler(const QString& lead)
{
    return [lead](TMPEGAudio& sender) { return show_read_error_dialog(lead + sender.FileName()); };
}

// ---------------------------------------------------------------- the reader

// Reads the file through a window instead of byte by byte. The frame search
// walks the window; the few bytes it looks at ahead (the second header, the
// Xing header, the tag) are read beside it without moving the window, so a
// scan never re-reads the same region twice.
class FrameReader {
public:
    FrameReader(fs::ReadOnlyFile& file, std::int64_t length) : file_(file), length_(length) {}

    // `count` bytes at `offset` inside the window (moved there if needed), or
    // nullptr at the end of the file or on an I/O error (failed() tells).
    const std::uint8_t* window(std::int64_t offset, std::int64_t count)
    {
        if (offset >= window_offset_ && offset + count <= window_offset_ + window_size_)
            return buffer_.get() + (offset - window_offset_);
        if (offset < 0 || offset + count > length_)
            return nullptr;
        // Most files show their first frame within a few kilobytes; a long
        // leading tag or a non-MPEG file gets larger reads.
        const std::int64_t want = std::min(std::max(count, next_chunk_), length_ - offset);
        next_chunk_ = kLargeChunk;
        if (want > capacity_) {
            // Not zero-filled: only the bytes read are ever looked at.
            buffer_.reset(new std::uint8_t[static_cast<std::size_t>(want)]);
            capacity_ = want;
        }
        const std::int64_t got = file_.read_at(offset, buffer_.get(), want);
        window_offset_ = offset;
        window_size_ = std::max<std::int64_t>(got, 0);
        if (got < 0)
            failed_ = true;
        if (got < count)
            return nullptr;
        return buffer_.get();
    }

    std::int64_t window_end() const { return window_offset_ + window_size_; }

    // Copies up to `count` bytes at `offset`; returns how many were there.
    std::int64_t read(std::int64_t offset, std::uint8_t* out, std::int64_t count)
    {
        if (offset < 0 || offset >= length_)
            return 0;
        count = std::min(count, length_ - offset);
        if (offset >= window_offset_ && offset + count <= window_end()) {
            std::memcpy(out, buffer_.get() + (offset - window_offset_), static_cast<std::size_t>(count));
            return count;
        }
        const std::int64_t got = file_.read_at(offset, out, count);
        if (got < 0) {
            failed_ = true;
            return 0;
        }
        return got;
    }

    bool failed() const { return failed_; }

private:
    // 4 KB: a page, enough for the first frames of a file without a long
    // leading tag; a bigger first read would mostly copy bytes nobody looks at.
    static constexpr std::int64_t kFirstChunk = 4 * 1024;
    static constexpr std::int64_t kLargeChunk = 64 * 1024;

    fs::ReadOnlyFile& file_;
    std::int64_t length_;
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::int64_t capacity_ = 0;
    std::int64_t window_offset_ = 0;
    std::int64_t window_size_ = 0;
    std::int64_t next_chunk_ = kFirstChunk;
    bool failed_ = false;
};

// ---------------------------------------------------------------- TMPEGAudio

TMPEGAudio::TMPEGAudio(QObject* parent)
    : QObject(parent),
      default_artist_(QStringLiteral("Unknown Artist")),
      default_title_(QStringLiteral("Unknown Title")),
      on_read_error_(read_error_dialog_handler())
{
    Reset();
}

TMPEGAudio::~TMPEGAudio() = default;

void TMPEGAudio::ClearHeader()
{
    version_ = 0;
    layer_ = 0;
    sample_rate_hz_ = 0;
    bit_rate_kbps_ = 0;
    mode_ = 0;
    copyright_ = false;
    original_ = false;
    error_prot_ = false;
    padding_ = false;
    duration_s_ = 0;
    frame_length_bytes_ = 0;
}

void TMPEGAudio::Reset()
{
    tag_id_ = QStringLiteral("BAD");
    title_ = artist_ = album_ = comment_ = QStringLiteral("[notag]");
    year_ = QStringLiteral("    ");
    genre_nr_ = 255;
    track_ = 0;
    length_bytes_ = 0;
    file_size_bytes_ = 0;
    ClearHeader();
    file_date_ = 0;
    file_attr_ = 0;
    volume_label_.clear();
    first_frame_pos_ = 0;
    macro_text_.clear();
}

void TMPEGAudio::SetFileName(const QString& name)
{
    file_name_ = name;
    if (auto_load_)
        Analyse();
}

bool TMPEGAudio::HeaderValid() const
{
    return length_bytes_ > 5 && version_ != 0 && layer_ != 0 && file_date_ != 0 && bit_rate_kbps_ != 0
           && bit_rate_kbps_ >= -1 && sample_rate_hz_ > 0;
}

int TMPEGAudio::SamplesPerFrame() const
{
    switch (layer_) {
    case 1: return 384;
    case 2: return 1152;
    case 3: return version_ == 1 ? 1152 : 576;
    default: return 0;
    }
}

bool TMPEGAudio::DecodeHeader(std::uint32_t v)
{
    ClearHeader();
    if (v < 0xFFE00000u)
        return false;
    switch ((v >> 19) & 3) {
    case 0: version_ = 3; break;
    case 1: version_ = 0; return false;
    case 2: version_ = 2; break;
    default: version_ = 1; break;
    }
    const int layer_bits = (v >> 17) & 3;
    layer_ = static_cast<std::uint8_t>(layer_bits == 0 ? 0 : 4 - layer_bits);
    sample_rate_hz_ = kSampleRates[version_ - 1][(v >> 10) & 3];
    const int bit_rate_index = (v >> 12) & 15;
    if (layer_ != 0) {
        bit_rate_kbps_ = version_ == 1 ? kBitRatesMpeg1[layer_ - 1][bit_rate_index]
                                       : kBitRatesMpeg2[layer_ == 1 ? 0 : 1][bit_rate_index];
    }
    error_prot_ = ((v >> 16) & 1) == 0;
    copyright_ = ((v >> 3) & 1) != 0;
    original_ = ((v >> 2) & 1) != 0;
    mode_ = static_cast<std::uint8_t>((v >> 6) & 3);
    padding_ = ((v >> 9) & 1) != 0;

    // The whole file counts, tags included.
    if (bit_rate_kbps_ > 0)
        duration_s_ = saturate<std::uint16_t>(std::int64_t(length_bytes_) * 8 / (std::int64_t(bit_rate_kbps_) * 1000));

    // The true frame length: a Layer I slot is 4 bytes; a Layer III frame of
    // MPEG 2 and 2.5 holds 576 samples, half of MPEG 1's, so half the bytes.
    if (sample_rate_hz_ >= 1) {
        const std::int64_t rate = bit_rate_kbps_;
        std::int64_t bytes;
        if (layer_ == 1)
            bytes = (12000 * rate / sample_rate_hz_ + (padding_ ? 1 : 0)) * 4;
        else if (layer_ == 3 && version_ != 1)
            bytes = 72000 * rate / sample_rate_hz_ + (padding_ ? 1 : 0);
        else
            bytes = 144000 * rate / sample_rate_hz_ + (padding_ ? 1 : 0);
        frame_length_bytes_ = saturate<std::uint16_t>(bytes);
    }
    return HeaderValid();
}

TMPEGAudio::Outcome TMPEGAudio::SearchFrames(FrameReader& reader)
{
    const std::int64_t length = length_bytes_;
    const std::int64_t limit = search_limit_; // highest offset the scan may read; 0 = none
    const std::function<void()> hook = process_messages_; // may be replaced while it runs
    std::int64_t next_hook = 300;
    std::int64_t start = 0;
    for (;;) {
        // The first candidate of a round is always examined; later ones only
        // while their last byte is inside the file and not past the limit.
        std::int64_t found = -1;
        std::int64_t s = start;
        while (found < 0) {
            if (s > start && (s + 4 > length || (limit != 0 && s + 3 > limit)))
                return Outcome::NoFrame;
            const std::uint8_t* p = reader.window(s, 4);
            if (!p)
                return reader.failed() ? Outcome::IoError : Outcome::NoFrame;
            std::int64_t last = reader.window_end() - 4;
            if (limit != 0)
                last = std::min(last, std::max(s, limit - 3));
            if (hook)
                last = std::min(last, std::max(s, next_hook - 4));
            for (std::int64_t q = s; q <= last; ++q) {
                const void* sync = std::memchr(p + (q - s), 0xFF, static_cast<std::size_t>(last - q + 1));
                if (!sync)
                    break;
                q = s + (static_cast<const std::uint8_t*>(sync) - p);
                const std::uint8_t* h = p + (q - s);
                if (could_be_header(h) && DecodeHeader(big_endian32(h))) {
                    found = q;
                    break;
                }
            }
            const std::int64_t position = (found >= 0 ? found : last) + 4; // bytes consumed so far
            if (hook && position >= next_hook) {
                hook();
                next_hook = (position / 300 + 1) * 300;
            }
            if (found < 0)
                s = last + 1;
        }

        // Confirm by the frame that follows; the fields then describe that frame.
        first_frame_pos_ = static_cast<std::int32_t>(found);
        const std::int64_t frame_end = found + frame_length_bytes_;
        if (length - frame_end + (error_prot_ ? 2 : 0) > 0) {
            std::uint8_t next[4];
            const bool whole = reader.read(frame_end, next, 4) == 4;
            if (reader.failed())
                return Outcome::IoError;
            if (whole && DecodeHeader(big_endian32(next)))
                return Outcome::Accepted;
            ClearHeader();
        } else {
            // A frame with nothing after it (a one-frame file, or a sync near
            // the end) is not confirmed.
            ClearHeader();
            if (found + 4 >= length || (limit != 0 && found + 4 > limit))
                return Outcome::NoFrame;
        }
        // Either way the search goes on at the next byte: a later candidate
        // may be shorter and fit where this one did not.
        start = found + 1;
    }
}

TMPEGAudio::Outcome TMPEGAudio::ReadXing(FrameReader& reader)
{
    int offset;
    if (version_ == 1)
        offset = mode_ != 3 ? 36 : 21;
    else
        offset = mode_ != 3 ? 21 : 13;
    std::uint8_t id[4];
    const std::int64_t at = std::int64_t(first_frame_pos_) + offset;
    if (reader.read(at, id, 4) != 4)
        return reader.failed() ? Outcome::IoError : Outcome::Accepted;
    if (std::memcmp(id, "Xing", 4) != 0)
        return Outcome::Accepted;

    std::uint8_t xing[116] = {};
    const std::int64_t got = reader.read(at + 4, xing, sizeof xing);
    if (reader.failed())
        return Outcome::IoError;
    if (got < 8)
        return Outcome::Accepted; // too short to carry a frame count
    const std::uint32_t flags = big_endian32(xing);
    if (!(flags & 1))
        return Outcome::Accepted;
    const std::uint32_t frames = big_endian32(xing + 4);
    // A Xing header without a frame count says nothing usable about the
    // stream; the first frame's header stands for the file instead of the
    // file being refused.
    if (frames == 0 || sample_rate_hz_ <= 0)
        return Outcome::Accepted;

    bit_rate_kbps_ = -1;
    // Duration in whole seconds, rounded to nearest with halves to even,
    // from the samples one frame of this version and layer really carries.
    const std::uint64_t samples = std::uint64_t(SamplesPerFrame()) * frames;
    std::uint64_t seconds = samples / std::uint64_t(sample_rate_hz_);
    const std::uint64_t rest = samples % std::uint64_t(sample_rate_hz_);
    const std::uint64_t twice = rest * 2;
    if (twice > std::uint64_t(sample_rate_hz_) || (twice == std::uint64_t(sample_rate_hz_) && (seconds & 1)))
        ++seconds;
    duration_s_ = saturate<std::uint16_t>(static_cast<std::int64_t>(std::min<std::uint64_t>(seconds, 1u << 20)));
    frame_length_bytes_ = saturate<std::uint16_t>(std::int64_t(length_bytes_) / frames);
    return Outcome::Accepted;
}

TMPEGAudio::Outcome TMPEGAudio::ReadTag(FrameReader& reader)
{
    std::uint8_t tag[128];
    // From the real end of the file: Length() is clamped to 31 bits, the file is not.
    const bool whole = file_size_bytes_ > 128 && reader.read(file_size_bytes_ - 128, tag, 128) == 128;
    if (reader.failed())
        return Outcome::IoError;
    if (!whole || std::memcmp(tag, "TAG", 3) != 0) {
        title_ = file_name_only(file_name_).left(30);
        return Outcome::Accepted;
    }
    tag_id_ = QStringLiteral("TAG");
    title_ = tag_text(tag + 3, 30);
    artist_ = tag_text(tag + 33, 30);
    album_ = tag_text(tag + 63, 30);
    year_ = QString::fromLatin1(reinterpret_cast<const char*>(tag + 93), 4);
    comment_ = tag_text(tag + 97, 30);
    track_ = tag[126];
    genre_nr_ = tag[127];
    return Outcome::Accepted;
}

int TMPEGAudio::AnalyseOnce()
{
    const QString asked = file_name_;
    Reset();
    file_name_ = AbsoluteCleanPath(asked).left(kMaxFileNameChars);

    switch (fs::file_kind(file_name_)) {
    case fs::FileKind::Missing:
        title_ = (QStringLiteral("[not found: ") + file_name_only(file_name_) + QLatin1Char(']')).left(30);
        return -1;
    case fs::FileKind::Other:
        return -1; // a directory, FIFO or device: never read, never waited on
    case fs::FileKind::Regular:
        break;
    }

    fs::ReadOnlyFile file;
    if (const int error = file.open(file_name_); error != 0)
        return error;
    fs::FileFacts facts;
    if (!file.facts(&facts))
        return -1;
    file_date_ = facts.dos_date_time;
    file_attr_ = facts.attributes;
    volume_label_ = facts.volume_label.left(20);
    file_size_bytes_ = facts.size_bytes;
    length_bytes_ = static_cast<std::int32_t>(std::min<std::int64_t>(facts.size_bytes, std::numeric_limits<std::int32_t>::max()));

    // Too short to hold two frame headers: like any file without a frame.
    Outcome outcome = Outcome::NoFrame;
    FrameReader reader(file, file_size_bytes_);
    if (length_bytes_ > 5)
        outcome = SearchFrames(reader);
    if (outcome == Outcome::Accepted)
        outcome = ReadXing(reader);
    if (outcome == Outcome::Accepted)
        outcome = ReadTag(reader);
    if (outcome != Outcome::Accepted) {
        ClearHeader();
        first_frame_pos_ = static_cast<std::int32_t>(std::min<std::int64_t>(std::int64_t(length_bytes_) + 1, std::numeric_limits<std::int32_t>::max()));
        return -1;
    }
    return 0;
}

int TMPEGAudio::Analyse()
{
    for (;;) {
        int result = AnalyseOnce();
        if (!macro_template_.isEmpty()) {
            try {
                macro_text_ = MacroDefinitions().Expand(macro_template_, this, nullptr);
            } catch (const std::exception&) {
                macro_text_.clear();
                if (result == 0)
                    result = -1;
            }
        }
        if (result != 0 && on_read_error_) {
            // A copy: the handler may replace itself (or the record's other settings).
            const TReadErrorEvent handler = on_read_error_;
            const int answer = handler(*this);
            if (answer == idRetry)
                continue;
            result = answer;
        }
        last_result_ = result;
        return result;
    }
}

QString TMPEGAudio::GuessedArtist() const
{
    return (tag_id_ == QLatin1String("TAG") || default_artist_.isEmpty()) ? artist_ : default_artist_;
}

QString TMPEGAudio::GuessedTitle() const
{
    return (tag_id_ == QLatin1String("TAG") || default_title_.isEmpty()) ? title_ : default_title_;
}

QString TMPEGAudio::ShortFileName() const
{
    return fs::short_path(file_name_);
}

QDateTime TMPEGAudio::FileDateTime() const
{
    return fs::from_dos_date_time(file_date_);
}

// ---------------------------------------------------------------- TMPEGAudioList

TMPEGAudioList::TMPEGAudioList(QObject* parent)
    : QObject(parent), on_read_error_(read_error_dialog_handler())
{
}

TMPEGAudioList::~TMPEGAudioList() = default;

int TMPEGAudioList::Add(const QString& file_name)
{
    auto record = std::make_unique<TMPEGAudio>();
    record->SetSearchLimit(search_limit_);
    record->SetOnReadError(on_read_error_);
    record->SetDefaultArtist(default_artist_);
    record->SetDefaultTitle(default_title_);
    record->SetProcessMessages(process_messages_);
    record->SetAutoLoad(false);
    record->SetFileName(file_name);
    const int result = record->Analyse();
    if (result != 0)
        return result == idCancel ? -2 : -1;
    items_.push_back(std::move(record));
    const int index = Count() - 1;
    const TAddedEvent added = on_added_;
    if (added && !added(*items_.back(), file_name, 1, 1))
        return -2;
    return index;
}

TMPEGAudio* TMPEGAudioList::Item(int index) const
{
    if (index < 0 || index >= Count())
        return nullptr;
    return items_[static_cast<std::size_t>(index)].get();
}

void TMPEGAudioList::Clear()
{
    items_.clear();
}

TReadErrorEvent TMPEGAudioList::OpeningErrorHandler()
{
    return read_error_dialog_handler(QStringLiteral("Error opening file: "));
}

} // namespace pelu::mpeginfo
