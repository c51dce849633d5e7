// libmmmpeg32.so: the MPEG decoder plug-in on libmpg123.
//
// A handle analyses a file when it is named (two consecutive valid frame
// headers, after any ID3v2 block or leading junk), and decodes it to 16-bit PCM
// after mpeg_OpenFile. libmpg123 reads the file through a window that starts at
// the first confirmed frame and ends before an ID3v1 tag, so neither the junk in
// front nor the tag behind reaches the decoder. Decoding is gapless (encoder
// delay and padding from the LAME tag removed), as mpg123 itself decodes.
#include "decoder/mpeg_contract.h"

#include <mpg123.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::int32_t kVersion = 100;            // contract version; loaders need > 16
constexpr std::int64_t kProbeLimitBytes = 1 << 20; // how far junk may push the first frame
constexpr int kGaplessDecoderDelay = 529;         // samples every layer III decoder adds

// ---------------------------------------------------------------------------
// Frame headers

struct FrameHeader {
    int version_id = 0; // 3 = MPEG-1, 2 = MPEG-2, 0 = MPEG-2.5
    int layer = 0;      // 1..3
    int bit_rate_kbps = 0;
    int sample_rate_hz = 0;
    int padding = 0;
    int channel_mode = 0; // 0 stereo, 1 joint, 2 dual, 3 mono
    int length_bytes = 0;
    int samples_per_frame = 0;
};

bool parse_header(const std::uint8_t* p, FrameHeader& h)
{
    static const int kBitRates[2][3][16] = {
        // MPEG-1: layer I, II, III
        {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, -1},
         {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, -1},
         {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, -1}},
        // MPEG-2 and 2.5: layer I, II, III
        {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, -1},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, -1},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, -1}}};
    static const int kRates[3] = {44100, 48000, 32000};

    if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0)
        return false;
    const int version_id = (p[1] >> 3) & 3;
    const int layer_bits = (p[1] >> 1) & 3;
    const int bit_rate_index = (p[2] >> 4) & 15;
    const int rate_index = (p[2] >> 2) & 3;
    if (version_id == 1 || layer_bits == 0 || bit_rate_index == 0 || bit_rate_index == 15 ||
        rate_index == 3 || (p[3] & 3) == 2)
        return false; // reserved values; free format is not decoded here
    h.version_id = version_id;
    h.layer = 4 - layer_bits;
    h.bit_rate_kbps = kBitRates[version_id == 3 ? 0 : 1][h.layer - 1][bit_rate_index];
    h.sample_rate_hz = kRates[rate_index] >> (version_id == 3 ? 0 : version_id == 2 ? 1 : 2);
    h.padding = (p[2] >> 1) & 1;
    h.channel_mode = (p[3] >> 6) & 3;
    const int bps = h.bit_rate_kbps * 1000;
    if (h.layer == 1) {
        h.length_bytes = (12 * bps / h.sample_rate_hz + h.padding) * 4;
        h.samples_per_frame = 384;
    } else if (h.layer == 2 || version_id == 3) {
        h.length_bytes = 144 * bps / h.sample_rate_hz + h.padding;
        h.samples_per_frame = 1152;
    } else {
        h.length_bytes = 72 * bps / h.sample_rate_hz + h.padding;
        h.samples_per_frame = 576;
    }
    return h.length_bytes >= 4;
}

bool same_stream(const FrameHeader& a, const FrameHeader& b)
{
    return a.version_id == b.version_id && a.layer == b.layer && a.sample_rate_hz == b.sample_rate_hz;
}

// ---------------------------------------------------------------------------
// Reading a window of a file (the audio between the first frame and the tag)

struct FileWindow {
    int fd = -1;
    std::int64_t begin = 0; // first frame
    std::int64_t end = 0;   // one past the last audio byte
    std::int64_t pos = 0;   // relative to begin
    // The decoder asks for a header, then a frame: read ahead, so that a frame
    // costs no system call of its own.
    static constexpr std::size_t kCacheBytes = 64 * 1024;
    std::unique_ptr<unsigned char[]> cache{new unsigned char[kCacheBytes]};
    std::int64_t cache_pos = 0; // relative to begin
    std::size_t cache_size = 0;
};

mpg123_ssize_t window_read(void* handle, void* buffer, size_t count)
{
    auto* w = static_cast<FileWindow*>(handle);
    auto* out = static_cast<unsigned char*>(buffer);
    size_t done = 0;
    while (done < count) {
        const std::int64_t left = w->end - w->begin - w->pos;
        if (left <= 0)
            break;
        if (w->pos < w->cache_pos || w->pos >= w->cache_pos + static_cast<std::int64_t>(w->cache_size)) {
            const size_t want = static_cast<size_t>(std::min<std::int64_t>(left, FileWindow::kCacheBytes));
            ssize_t got;
            do {
                got = pread(w->fd, w->cache.get(), want, w->begin + w->pos);
            } while (got < 0 && errno == EINTR);
            if (got <= 0) {
                w->cache_size = 0;
                return done > 0 ? static_cast<mpg123_ssize_t>(done) : got;
            }
            w->cache_pos = w->pos;
            w->cache_size = static_cast<size_t>(got);
        }
        const std::int64_t offset = w->pos - w->cache_pos;
        const size_t n = std::min<size_t>(count - done, w->cache_size - static_cast<size_t>(offset));
        std::memcpy(out + done, w->cache.get() + offset, n);
        done += n;
        w->pos += static_cast<std::int64_t>(n);
    }
    return static_cast<mpg123_ssize_t>(done);
}

off_t window_seek(void* handle, off_t offset, int whence)
{
    auto* w = static_cast<FileWindow*>(handle);
    const std::int64_t size = w->end - w->begin;
    std::int64_t target = whence == SEEK_SET ? offset : whence == SEEK_CUR ? w->pos + offset : size + offset;
    if (target < 0)
        return -1;
    w->pos = std::min(target, size);
    return static_cast<off_t>(w->pos);
}

// Opens `name` for reading only when it is a regular file: a FIFO or device
// would block or never end.
int open_regular(const std::string& name, std::int64_t& size)
{
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    size = st.st_size;
    return fd;
}

std::int64_t read_at(int fd, std::uint8_t* buffer, std::int64_t count, std::int64_t offset)
{
    std::int64_t done = 0;
    while (done < count) {
        const ssize_t got = pread(fd, buffer + done, static_cast<size_t>(count - done), offset + done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += got;
    }
    return done;
}

// Finds the first frame confirmed by the header that follows it (or by the end
// of the audio for a one-frame file). Returns false when there is none.
// Searches [start, start + kProbeLimitBytes) for a frame confirmed by the
// header that follows it (or by the end of the audio for a one-frame file).
bool search_frame(int fd, std::int64_t start, std::int64_t audio_end, std::int64_t& frame_offset, FrameHeader& first)
{
    const std::int64_t limit = std::min(audio_end, start + kProbeLimitBytes);
    constexpr std::int64_t kChunk = 64 * 1024;
    std::uint8_t buffer[kChunk + 4];
    for (std::int64_t base = start; base + 4 <= limit; base += kChunk) {
        const std::int64_t got = read_at(fd, buffer, std::min<std::int64_t>(kChunk + 3, audio_end - base), base);
        for (std::int64_t i = 0; i + 4 <= got && base + i < limit; ++i) {
            FrameHeader h;
            if (buffer[i] != 0xFF || !parse_header(buffer + i, h))
                continue;
            const std::int64_t next = base + i + h.length_bytes;
            if (next == audio_end) { // a one-frame file
                frame_offset = base + i;
                first = h;
                return true;
            }
            std::uint8_t follow[4];
            FrameHeader h2;
            if (next + 4 <= audio_end && read_at(fd, follow, 4, next) == 4 && parse_header(follow, h2) &&
                same_stream(h, h2)) {
                frame_offset = base + i;
                first = h;
                return true;
            }
        }
    }
    return false;
}

// Finds the first frame confirmed by the header that follows it (or by the end
// of the audio for a one-frame file). Returns false when there is none.
bool find_first_frame(int fd, std::int64_t file_size, std::int64_t start, std::int64_t audio_end,
                      std::int64_t& frame_offset, FrameHeader& first)
{
    // ID3v2 blocks (there may be several) come first.
    const std::int64_t first_tag = start;
    bool tagged = false;
    for (;;) {
        std::uint8_t tag[10];
        if (read_at(fd, tag, 10, start) != 10 || std::memcmp(tag, "ID3", 3) != 0)
            break;
        if ((tag[6] | tag[7] | tag[8] | tag[9]) & 0x80)
            break;
        const std::int64_t body = (std::int64_t(tag[6]) << 21) | (tag[7] << 14) | (tag[8] << 7) | tag[9];
        start += 10 + body + ((tag[5] & 0x10) ? 10 : 0);
        tagged = true;
        if (start >= file_size)
            break;
    }
    if (start < file_size && search_frame(fd, start, audio_end, frame_offset, first))
        return true;
    // A tag whose size lies (taggers have written sizes far past the end of
    // the file, or not in the 7-bit form): resynchronise from just after its
    // header, as other decoders do, rather than refuse a file that plays.
    return tagged && search_frame(fd, first_tag + 10, audio_end, frame_offset, first);
}

// ---------------------------------------------------------------------------
// The handle

struct Decoder {
    std::mutex mutex;
    MpegNotifyCallback notify = nullptr;
    void* owner = nullptr;
    MpegDecodeCallback decode_callback = nullptr;
    void* decode_user = nullptr;
    std::int32_t decode_mode = 0;
    std::int32_t trailing_header = 0;
    std::int32_t file_offset = 0;
    bool exact_position = false;
    std::int32_t channel_mode = cmBoth;

    bool has_file = false;
    std::string file_name;
    MpegFileInfo info{};
    std::int64_t stream_begin = 0;
    std::int64_t stream_end = 0;
    FrameHeader first_header;

    // Open for decoding.
    mpg123_handle* mh = nullptr;
    FileWindow window;
    bool done = false;
    bool fresh = false; // opened and nothing decoded or sought since
    std::int64_t begin_delay_samples = 0; // skipped at the start by gapless decoding
    std::int32_t pending_frame = 0;       // position asked for while closed
};

bool valid(MpegHandle handle) { return handle != nullptr; }
Decoder* as_decoder(MpegHandle handle) { return static_cast<Decoder*>(handle); }

// Runs `fn` on the handle's decoder under its lock; `invalid` for a null handle.
template <typename Fn>
std::int32_t with_decoder(MpegHandle handle, std::int32_t invalid, Fn fn)
{
    if (!valid(handle))
        return invalid;
    Decoder* d = as_decoder(handle);
    std::lock_guard lock(d->mutex);
    return fn(*d);
}

int output_channels(const Decoder& d)
{
    return (d.info.mode == smSingleChannel || d.channel_mode != cmBoth) ? 1 : 2;
}

void close_stream(Decoder& d)
{
    if (d.mh) {
        mpg123_close(d.mh);
        mpg123_delete(d.mh);
        d.mh = nullptr;
    }
    if (d.window.fd >= 0) {
        ::close(d.window.fd);
        d.window.fd = -1;
    }
    d.done = false;
}

// Opens a libmpg123 stream over the file's audio window.
std::int32_t open_stream(Decoder& d)
{
    close_stream(d);
    std::int64_t size = 0;
    const int fd = open_regular(d.file_name, size);
    if (fd < 0)
        return kMpegErrFileNotFound;
    d.window.fd = fd;
    d.window.begin = d.stream_begin;
    d.window.end = std::min(d.stream_end, size);
    d.window.pos = 0;
    d.window.cache_size = 0;

    int error = MPG123_OK;
    d.mh = mpg123_new(nullptr, &error);
    if (!d.mh) {
        close_stream(d);
        return kMpegErrInit;
    }
    long flags = MPG123_GAPLESS | MPG123_QUIET;
    if (d.channel_mode == cmLeft)
        flags |= MPG123_MONO_LEFT;
    else if (d.channel_mode == cmRight)
        flags |= MPG123_MONO_RIGHT;
    else if (d.channel_mode == cmDownMix)
        flags |= MPG123_MONO_MIX;
    mpg123_param(d.mh, MPG123_FLAGS, flags, 0.0);
    mpg123_param(d.mh, MPG123_RESYNC_LIMIT, -1, 0.0);
    mpg123_format_none(d.mh);
    mpg123_format(d.mh, d.first_header.sample_rate_hz, output_channels(d) == 1 ? MPG123_MONO : MPG123_STEREO,
                  MPG123_ENC_SIGNED_16);
    if (mpg123_replace_reader_handle(d.mh, window_read, window_seek, nullptr) != MPG123_OK ||
        mpg123_open_handle(d.mh, &d.window) != MPG123_OK) {
        close_stream(d);
        return kMpegErrNotMpeg;
    }
    long rate = 0;
    int channels = 0, encoding = 0;
    if (mpg123_getformat(d.mh, &rate, &channels, &encoding) != MPG123_OK) {
        close_stream(d);
        return kMpegErrNotMpeg;
    }
    if (d.exact_position)
        mpg123_scan(d.mh);
    long delay = -1;
    double unused = 0;
    if (mpg123_getstate(d.mh, MPG123_ENC_DELAY, &delay, &unused) != MPG123_OK)
        delay = -1;
    d.begin_delay_samples = (delay >= 0 && d.first_header.layer == 3) ? delay + kGaplessDecoderDelay : 0;
    d.done = false;
    d.fresh = true;
    return kMpegOk;
}

// Fills d.info for the named file. The stream is left closed.
std::int32_t analyse(Decoder& d)
{
    std::int64_t size = 0;
    const int fd = open_regular(d.file_name, size);
    if (fd < 0)
        return kMpegErrFileNotFound;
    std::int64_t audio_end = size;
    std::uint8_t tag[3];
    if (size >= 128 && read_at(fd, tag, 3, size - 128) == 3 && std::memcmp(tag, "TAG", 3) == 0)
        audio_end -= 128;
    std::int64_t offset = 0;
    FrameHeader first;
    const bool found = find_first_frame(fd, size, std::max<std::int64_t>(0, d.file_offset), audio_end, offset, first);
    ::close(fd);
    if (!found)
        return kMpegErrNotMpeg;
    d.stream_begin = offset;
    d.stream_end = audio_end;
    d.first_header = first;

    const std::int32_t opened = open_stream(d);
    if (opened != kMpegOk)
        return opened;
    mpg123_frameinfo fi{};
    mpg123_info(d.mh, &fi);
    std::int64_t samples = mpg123_length(d.mh);
    std::int64_t frames = mpg123_framelength(d.mh);
    if (samples < 0)
        samples = 0;
    if (frames < 0)
        frames = 0;
    const int spf = first.samples_per_frame;
    MpegFileInfo& info = d.info;
    info = MpegFileInfo{};
    info.version = first.version_id == 3 ? v1 : v2LSF;
    info.layer = first.layer;
    info.sample_rate_hz = first.sample_rate_hz;
    info.playback_rate_hz = first.sample_rate_hz;
    info.mode = static_cast<std::uint8_t>(first.channel_mode);
    info.frames = static_cast<std::int32_t>(std::min<std::int64_t>(frames, INT32_MAX));
    info.playing_time_ms = static_cast<std::int32_t>(std::min<std::int64_t>(samples * 1000 / first.sample_rate_hz, INT32_MAX));
    info.frame_duration_ms = spf * 1000.0 / first.sample_rate_hz;
    info.frame_size_bytes = first.length_bytes;
    info.samples_per_frame = spf;
    info.first_frame_offset_bytes = static_cast<std::int32_t>(std::min<std::int64_t>(offset, INT32_MAX));
    info.file_size_bytes = static_cast<std::int32_t>(std::min<std::int64_t>(size, INT32_MAX));
    info.is_vbr = fi.vbr != MPG123_CBR ? 1 : 0;
    info.encoder_delay_samples = static_cast<std::int32_t>(d.begin_delay_samples);
    long padding = -1;
    double unused;
    if (mpg123_getstate(d.mh, MPG123_ENC_PADDING, &padding, &unused) == MPG123_OK)
        info.encoder_padding_samples = static_cast<std::int32_t>(padding);
    if (fi.vbr == MPG123_CBR || info.playing_time_ms <= 0) {
        info.bit_rate_kbps = fi.bitrate > 0 ? fi.bitrate : first.bit_rate_kbps;
    } else {
        // The average over the audio: bits per millisecond is kbit/s.
        info.bit_rate_kbps = static_cast<std::int32_t>((audio_end - offset) * 8 / info.playing_time_ms);
    }
    close_stream(d);
    return kMpegOk;
}

void drop_file(Decoder& d)
{
    close_stream(d);
    d.has_file = false;
    d.file_name.clear();
    d.info = MpegFileInfo{};
    d.pending_frame = 0;
}

// Back to the first frame. A seek there leaves the synthesis filter in another
// state than a fresh start does (a few samples then differ by one step), so the
// stream is opened anew unless nothing has been decoded yet.
std::int32_t rewind_stream(Decoder& d)
{
    if (d.fresh)
        return kMpegOk;
    return open_stream(d);
}

std::int32_t current_frame(Decoder& d)
{
    if (!d.mh)
        return d.pending_frame;
    const std::int64_t sample = mpg123_tell(d.mh);
    if (sample < 0)
        return 0;
    const int spf = d.first_header.samples_per_frame;
    return static_cast<std::int32_t>((sample + d.begin_delay_samples) / spf);
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) std::int32_t mpeg_Version(void) { return kVersion; }

__attribute__((visibility("default"))) MpegHandle mpeg_Init(std::int32_t* status, MpegNotifyCallback callback,
                                                            void* owner)
{
    Decoder* d = new (std::nothrow) Decoder();
    if (!d) {
        if (status)
            *status = kMpegErrNoMemory;
        return nullptr;
    }
    d->notify = callback;
    d->owner = owner;
    if (status)
        *status = kMpegOk;
    return d;
}

__attribute__((visibility("default"))) std::int32_t mpeg_Done(MpegHandle* handle)
{
    if (!handle || !*handle)
        return kMpegErrInvalidHandle;
    Decoder* d = as_decoder(*handle);
    {
        std::lock_guard lock(d->mutex);
        close_stream(*d);
    }
    delete d;
    *handle = nullptr;
    return kMpegOk;
}

__attribute__((visibility("default"))) std::int32_t mpeg_SetDecodeCallback(MpegHandle handle,
                                                                           MpegDecodeCallback callback, void* user)
{
    return with_decoder(handle, kMpegErrInvalidHandle, [&](Decoder& d) -> std::int32_t {
        d.decode_callback = callback;
        d.decode_user = user;
        return kMpegOk;
    });
}

__attribute__((visibility("default"))) std::int32_t mpeg_SetDecodeMode(MpegHandle handle, std::int32_t mode)
{
    return with_decoder(handle, kMpegErrInvalidHandle, [&](Decoder& d) -> std::int32_t {
        d.decode_mode = mode;
        return kMpegOk;
    });
}

__attribute__((visibility("default"))) std::int32_t mpeg_Clear(MpegHandle handle)
{
    return with_decoder(handle, kMpegErrInvalidHandle, [&](Decoder& d) -> std::int32_t {
        drop_file(d);
        return kMpegOk;
    });
}

__attribute__((visibility("default"))) std::int32_t mpeg_SetTrailingHeader(MpegHandle handle, std::int32_t value)
{
    return with_decoder(handle, kMpegErrInvalidHandle, [&](Decoder& d) -> std::int32_t {
        d.trailing_header = value; // kept for the file; this decoder finds ID3v1 tags itself
        return kMpegOk;
    });
}

__attribute__((visibility("default"))) std::int32_t mpeg_SetFileOffset(MpegHandle handle, std::int32_t offset_bytes)
{
    return with_decoder(handle, kMpegErrInvalidHandle, [&](Decoder& d) -> std::int32_t {
        d.file_offset = std::max(0, offset_bytes); // where the search for the first frame begins
        return kMpegOk;
    });
}

__attribute__((visibility("default"))) std::int32_t mpeg_SetExactPosition(MpegHandle handle, std::int32_t exact)
{
    return with_decoder(handle, kMpegErrInvalidHandle, [&](Decoder& d) -> std::int32_t {
        d.exact_position = exact != 0; // scan the whole file on open for an exact seek index
        return kMpegOk;
    });
}

__attribute__((visibility("default"))) std::int32_t mpeg_SetFileName(MpegHandle handle, const char* file_name)
{
    bool read = false;
    const std::int32_t result = with_decoder(handle, kMpegErrInvalidHandle, [&](Decoder& d) -> std::int32_t {
        drop_file(d);
        if (!file_name || !*file_name)
            return kMpegOk;
        d.file_name = file_name;
        const std::int32_t analysed = analyse(d);
        if (analysed != kMpegOk) {
            drop_file(d);
            return analysed;
        }
        d.has_file = true;
        read = true;
        return kMpegOk;
    });
    // Outside the lock: the owner reads the information from the callback.
    if (read && as_decoder(handle)->notify)
        as_decoder(handle)->notify(as_decoder(handle)->owner, kMpegNotifyFileInfo);
    return result;
}

__attribute__((visibility("default"))) std::int32_t mpeg_GetFileName(MpegHandle handle, char* text, std::int32_t size)
{
    return with_decoder(handle, kMpegErrInvalidHandle, [&](Decoder& d) -> std::int32_t {
        if (!text || size <= 0)
            return kMpegErrBadParameter;
        const std::size_t n = std::min<std::size_t>(d.file_name.size(), static_cast<std::size_t>(size - 1));
        std::memcpy(text, d.file_name.data(), n);
        text[n] = '\0';
        return kMpegOk;
    });
}

__attribute__((visibility("default"))) std::int32_t mpeg_GetEmpty(MpegHandle handle)
{
    return with_decoder(handle, 1, [&](Decoder& d) -> std::int32_t {
        return d.has_file ? 0 : 1;
    });
}

__attribute__((visibility("default"))) std::int32_t mpeg_GetFileInfo(MpegHandle handle, MpegFileInfo* info)
{
    return with_decoder(handle, kMpegErrInvalidHandle, [&](Decoder& d) -> std::int32_t {
        if (!info)
            return kMpegErrBadParameter;
        if (!d.has_file)
            return kMpegErrNoFile;
        *info = d.info;
        return kMpegOk;
    });
}

__attribute__((visibility("default"))) std::int32_t mpeg_SetChannelMode(MpegHandle handle, std::int32_t mode)
{
    return with_decoder(handle, kMpegErrInvalidHandle, [&](Decoder& d) -> std::int32_t {
        if (mode < cmLeft || mode > cmDownMix)
            return kMpegErrBadParameter;
        if (d.mh)
            return kMpegErrBadParameter; // only while the file is not open for decoding
        d.channel_mode = mode;
        return kMpegOk;
    });
}

__attribute__((visibility("default"))) std::int32_t mpeg_GetChannelMode(MpegHandle handle)
{
    return with_decoder(handle, cmBoth, [&](Decoder& d) -> std::int32_t {
        return d.channel_mode;
    });
}

__attribute__((visibility("default"))) std::int32_t mpeg_SetPosition(MpegHandle handle, std::int32_t frame)
{
    return with_decoder(handle, kMpegErrInvalidHandle, [&](Decoder& d) -> std::int32_t {
        if (!d.has_file)
            return kMpegErrNoFile;
        const std::int32_t frames = d.info.frames; // a copy: the record is packed
        frame = std::clamp(frame, 0, std::max(0, frames));
        if (!d.mh) {
            d.pending_frame = frame;
            return kMpegOk;
        }
        if (frame >= frames && frames > 0) {
            // Past the last frame: nothing more to decode.
            if (mpg123_seek(d.mh, 0, SEEK_END) < 0)
                return kMpegErrSeek;
            d.done = true;
            return kMpegOk;
        }
        if (frame == 0)
            return rewind_stream(d);
        if (mpg123_seek_frame(d.mh, frame, SEEK_SET) < 0)
            return kMpegErrSeek;
        d.done = false;
        d.fresh = false;
        return kMpegOk;
    });
}

__attribute__((visibility("default"))) std::int32_t mpeg_GetPosition(MpegHandle handle)
{
    return with_decoder(handle, 0, [&](Decoder& d) -> std::int32_t {
        return current_frame(d);
    });
}

__attribute__((visibility("default"))) std::int32_t mpeg_OpenFile(MpegHandle handle)
{
    return with_decoder(handle, kMpegErrInvalidHandle, [&](Decoder& d) -> std::int32_t {
        if (!d.has_file)
            return kMpegErrNoFile;
        const std::int32_t result = open_stream(d);
        if (result != kMpegOk)
            return result;
        if (d.pending_frame > 0 && mpg123_seek_frame(d.mh, d.pending_frame, SEEK_SET) < 0)
            return kMpegErrSeek;
        return kMpegOk;
    });
}

__attribute__((visibility("default"))) std::int32_t mpeg_CloseFile(MpegHandle handle)
{
    return with_decoder(handle, kMpegErrInvalidHandle, [&](Decoder& d) -> std::int32_t {
        if (d.mh)
            d.pending_frame = current_frame(d);
        close_stream(d);
        return kMpegOk;
    });
}

__attribute__((visibility("default"))) std::int32_t mpeg_ResetFile(MpegHandle handle)
{
    return with_decoder(handle, kMpegErrInvalidHandle, [&](Decoder& d) -> std::int32_t {
        d.pending_frame = 0;
        if (!d.mh)
            return kMpegOk;
        return rewind_stream(d);
    });
}

__attribute__((visibility("default"))) std::int32_t mpeg_ReadDataBytes(MpegHandle handle, void* buffer,
                                                                       std::int32_t count_bytes)
{
    return with_decoder(handle, -kMpegErrInvalidHandle, [&](Decoder& d) -> std::int32_t {
        if (!buffer || count_bytes < 0)
            return -kMpegErrBadParameter;
        if (!d.mh || d.done)
            return 0;
        d.fresh = false;
        auto* out = static_cast<unsigned char*>(buffer);
        std::size_t filled = 0;
        while (filled < static_cast<std::size_t>(count_bytes)) {
            size_t got = 0;
            const int rc = mpg123_read(d.mh, out + filled, static_cast<size_t>(count_bytes) - filled, &got);
            filled += got;
            if (rc == MPG123_DONE) {
                d.done = true;
                break;
            }
            if (rc == MPG123_NEW_FORMAT || rc == MPG123_OK)
                continue;
            // A broken stream ends here; what was decoded so far is still good.
            d.done = true;
            if (filled == 0)
                return -kMpegErrDecode;
            break;
        }
        if (d.decode_callback && d.decode_mode != 0 && filled > 0)
            d.decode_callback(d.decode_user, out, static_cast<std::int32_t>(filled));
        return static_cast<std::int32_t>(filled);
    });
}

__attribute__((visibility("default"))) std::int32_t mpeg_AbortReadData(MpegHandle handle)
{
    // Reads are synchronous and bounded by the caller's buffer: nothing to abort.
    return valid(handle) ? kMpegOk : kMpegErrInvalidHandle;
}

__attribute__((visibility("default"))) std::int32_t mpeg_GetDone(MpegHandle handle)
{
    return with_decoder(handle, 1, [&](Decoder& d) -> std::int32_t {
        return d.done ? 1 : 0;
    });
}

__attribute__((visibility("default"))) std::int32_t mpeg_ScanFileEx(MpegHandle handle, std::int32_t* frames,
                                                                    std::int32_t* playing_time_ms)
{
    return with_decoder(handle, kMpegErrInvalidHandle, [&](Decoder& d) -> std::int32_t {
        if (!d.has_file)
            return kMpegErrNoFile;
        // Counts every frame, for files whose header gives no (or a wrong) length.
        Decoder scan; // a stream of its own: the caller's decoding position stays
        scan.file_name = d.file_name;
        scan.stream_begin = d.stream_begin;
        scan.stream_end = d.stream_end;
        scan.first_header = d.first_header;
        scan.info = d.info;
        if (open_stream(scan) != kMpegOk)
            return kMpegErrDecode;
        if (mpg123_scan(scan.mh) != MPG123_OK) {
            close_stream(scan);
            return kMpegErrDecode;
        }
        const std::int64_t samples = std::max<off_t>(0, mpg123_length(scan.mh));
        d.info.frames = static_cast<std::int32_t>(std::max<off_t>(0, mpg123_framelength(scan.mh)));
        d.info.playing_time_ms = static_cast<std::int32_t>(samples * 1000 / d.first_header.sample_rate_hz);
        close_stream(scan);
        if (frames)
            *frames = d.info.frames;
        if (playing_time_ms)
            *playing_time_ms = d.info.playing_time_ms;
        return kMpegOk;
    });
}

__attribute__((visibility("default"))) std::int32_t mpeg_ScanFile(MpegHandle handle)
{
    return mpeg_ScanFileEx(handle, nullptr, nullptr);
}

__attribute__((visibility("default"))) std::int32_t mpeg_EncryptFile(MpegHandle handle, const char*, std::int32_t)
{
    return valid(handle) ? kMpegErrNotSupported : kMpegErrInvalidHandle;
}

__attribute__((visibility("default"))) std::int32_t mpeg_ReadID3Tag(MpegHandle handle, void* tag128)
{
    return with_decoder(handle, kMpegErrInvalidHandle, [&](Decoder& d) -> std::int32_t {
        if (!tag128)
            return kMpegErrBadParameter;
        if (!d.has_file)
            return kMpegErrNoFile;
        std::int64_t size = 0;
        const int fd = open_regular(d.file_name, size);
        if (fd < 0)
            return kMpegErrFileNotFound;
        std::uint8_t tag[128];
        const bool ok = size >= 128 && read_at(fd, tag, 128, size - 128) == 128 && std::memcmp(tag, "TAG", 3) == 0;
        ::close(fd);
        if (!ok)
            return kMpegErrNoFile;
        std::memcpy(tag128, tag, 128);
        return kMpegOk;
    });
}

__attribute__((visibility("default"))) std::int32_t mpeg_GetErrorText(std::int32_t code, char* text, std::int32_t size)
{
    static const char* const kTexts[] = {
        "No error",
        "Invalid decoder handle",
        "No file is set",
        "File not found or not a regular file",
        "Not an MPEG audio file",
        "The file is not open for decoding",
        "Unable to seek in the MPEG stream",
        "Error while decoding the MPEG stream",
        "Not enough memory for the decoder",
        "Not supported by this decoder",
        "Unable to initialise the decoder",
        "Invalid parameter",
    };
    if (code < 0)
        code = -code;
    if (!text || size <= 0 || code >= static_cast<std::int32_t>(sizeof kTexts / sizeof *kTexts))
        return kMpegErrBadParameter;
    std::snprintf(text, static_cast<std::size_t>(size), "%s", kTexts[code]);
    return kMpegOk;
}

} // extern "C"
