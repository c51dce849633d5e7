#include "audio/audio_file.h"

#include "platform/fs/file_facts.h"
#include "platform/fs/file_names.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstring>

namespace pelu {

namespace {

const char* const kNotAnAudioFile = "This is not a valid Audiofile";

std::uint32_t le32(const unsigned char* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t(p[3]) << 24);
}

std::uint16_t le16(const unsigned char* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

bool has_pseudo_prefix(const QString& name)
{
    return name.contains(QLatin1String("RESOURCE://"), Qt::CaseInsensitive) ||
           name.contains(QLatin1String("POINTER://"), Qt::CaseInsensitive);
}

} // namespace

// ---------------------------------------------------------------------------
// TMMWaveFile

TMMWaveFile::TMMWaveFile(QObject* parent) : TMMDSPComponent(parent) {}

TMMWaveFile::~TMMWaveFile()
{
    if (file_)
        std::fclose(file_);
}

bool TMMWaveFile::ReadLayout(const QString& name, Layout& layout)
{
    platform::fs::FileFacts facts;
    if (platform::fs::file_kind(name) != platform::fs::FileKind::Regular || !platform::fs::file_facts(name, &facts))
        return false; // never open a FIFO or device: the read could block for ever
    std::FILE* f = std::fopen(platform::fs::encode_file_name(name).constData(), "rb");
    if (!f)
        return false;
    unsigned char head[12];
    bool have_format = false, have_data = false;
    const std::int64_t file_size = facts.size_bytes;
    if (std::fread(head, 1, 12, f) == 12 && std::memcmp(head, "RIFF", 4) == 0 &&
        std::memcmp(head + 8, "WAVE", 4) == 0) {
        std::int64_t offset = 12;
        unsigned char chunk[8];
        while (!have_data && offset + 8 <= file_size && std::fseek(f, static_cast<long>(offset), SEEK_SET) == 0 &&
               std::fread(chunk, 1, 8, f) == 8) {
            const std::int64_t size = le32(chunk + 4);
            if (std::memcmp(chunk, "fmt ", 4) == 0 && size >= 16) {
                unsigned char fmt[16];
                if (std::fread(fmt, 1, 16, f) != 16)
                    break;
                WaveFormat& w = layout.format;
                w.format_tag = le16(fmt);
                w.channels = le16(fmt + 2);
                w.samples_per_sec = le32(fmt + 4);
                w.avg_bytes_per_sec = le32(fmt + 8);
                w.block_align = le16(fmt + 12);
                w.bits_per_sample = le16(fmt + 14);
                w.extra_size = 0;
                have_format = true;
            } else if (std::memcmp(chunk, "data", 4) == 0) {
                layout.data_offset = offset + 8;
                // A truncated file holds less than its header claims.
                layout.data_size = std::min(size, file_size - layout.data_offset);
                have_data = true;
            }
            offset += 8 + size + (size & 1);
        }
    }
    std::fclose(f);
    return have_format && have_data;
}

bool TMMWaveFile::IsValidWaveFile(const QString& name)
{
    Layout layout;
    return ReadLayout(name, layout);
}

bool TMMWaveFile::IsPcmWaveFile(const QString& name)
{
    Layout layout;
    if (!ReadLayout(name, layout))
        return false;
    const WaveFormat& w = layout.format;
    return w.format_tag == kWaveFormatPcm && (w.bits_per_sample == 8 || w.bits_per_sample == 16) &&
           (w.channels == 1 || w.channels == 2) && w.samples_per_sec > 0 &&
           w.block_align == w.channels * w.bits_per_sample / 8 &&
           w.avg_bytes_per_sec == w.samples_per_sec * w.block_align;
}

void TMMWaveFile::SetFileName(const QString& name)
{
    if (file_) {
        std::fclose(file_);
        file_ = nullptr;
    }
    file_name_.clear();
    position_bytes_ = 0;
    layout_ = Layout{};
    if (!name.isEmpty()) {
        // Only PCM is delivered: other encodings would need a codec this build leaves out.
        if (!IsPcmWaveFile(name) || !ReadLayout(name, layout_))
            throw EMMAudioError(kNotAnAudioFile);
        file_ = std::fopen(platform::fs::encode_file_name(name).constData(), "rb");
        if (!file_)
            throw EMMAudioError(kNotAnAudioFile);
        file_name_ = name;
    }
    SetPWaveFormat(file_ ? &layout_.format : nullptr);
    if (OnChange)
        OnChange(this);
}

std::int64_t TMMWaveFile::LengthMs() const
{
    return file_ ? bytes_to_ms(layout_.format, layout_.data_size) : 0;
}

std::int64_t TMMWaveFile::PositionMs() const
{
    return file_ ? bytes_to_ms(layout_.format, position_bytes_) : 0;
}

void TMMWaveFile::SetPositionMs(std::int64_t ms)
{
    if (!file_)
        return;
    ms = std::clamp<std::int64_t>(ms, 0, LengthMs());
    position_bytes_ = std::min(ms_to_bytes(layout_.format, ms), layout_.data_size);
}

void TMMWaveFile::BufferLoad(ExtendedWaveHeader* h, bool& MoreBuffers)
{
    if (OnBufferLoad)
        OnBufferLoad(this, h, MoreBuffers);
    h->bytes_recorded = 0;
    if (!file_)
        return;
    const std::int64_t block = std::max<std::int64_t>(1, layout_.format.block_align);
    std::int64_t want = std::min<std::int64_t>(h->buffer_length, layout_.data_size - position_bytes_);
    want = want / block * block;
    if (want <= 0)
        return;
    if (std::fseek(file_, static_cast<long>(layout_.data_offset + position_bytes_), SEEK_SET) != 0)
        return;
    const std::size_t got = std::fread(h->data, 1, static_cast<std::size_t>(want), file_);
    const std::int64_t whole = static_cast<std::int64_t>(got) / block * block;
    position_bytes_ += whole;
    h->bytes_recorded = static_cast<std::uint32_t>(whole);
    if (whole > 0 && position_bytes_ < layout_.data_size)
        MoreBuffers = true;
}

// ---------------------------------------------------------------------------
// TMMAudioFile

TMMAudioFile::TMMAudioFile(QObject* parent) : TMMAudioFile(MpegLibrary::Instance(), parent) {}

TMMAudioFile::TMMAudioFile(MpegLibrary& library, QObject* parent)
    : TMMDSPComponent(parent), wave_(std::make_unique<TMMWaveFile>())
{
    wave_->setObjectName(QStringLiteral("WaveFile"));
    if (library.Loaded()) {
        mpeg_ = std::make_unique<TMMMPEGFile>(library);
        mpeg_->setObjectName(QStringLiteral("MPEGFile"));
        mpeg_->OnChange = [this](QObject*) {
            if (OnChange)
                OnChange(this);
        };
    }
    wave_->OnChange = [this](QObject*) {
        if (OnChange)
            OnChange(this);
    };
}

TMMAudioFile::~TMMAudioFile()
{
    // Unlink the private readers before they go, while this object is whole.
    SetInput(nullptr);
}

void TMMAudioFile::LinkReader(TMMDSPComponent* reader)
{
    if (Input() == reader) {
        UpdateFormat();
        return;
    }
    if (!reader) {
        SetInput(nullptr);
        return;
    }
    // This source publishes no Input: the marker admits its own reader only.
    accepts_input_ = true;
    reader->SetOutput(this);
    accepts_input_ = false;
}

QString TMMAudioFile::FileName() const
{
    if (FileType() == ftMpeg)
        return mpeg_->FileName();
    return wave_->FileName();
}

TMMAudioFileType TMMAudioFile::FileType() const
{
    return (mpeg_ && mpeg_->Mpeg().HasFile()) ? ftMpeg : ftWave;
}

int TMMAudioFile::MpegTrailingHeader() const
{
    return mpeg_ ? mpeg_->TrailingHeader() : 0;
}

void TMMAudioFile::SetMpegTrailingHeader(int value)
{
    if (mpeg_)
        mpeg_->SetTrailingHeader(value);
}

void TMMAudioFile::SetEnabled(bool value)
{
    enabled_ = value;
    if (mpeg_)
        mpeg_->SetEnabled(value);
}

void TMMAudioFile::SetVolume(int gain)
{
    volume_ = std::clamp(gain, 0, 32768);
}

void TMMAudioFile::SetPanning(int panning)
{
    panning_ = std::clamp(panning, -32768, 32768);
}

int TMMAudioFile::BitRate() const
{
    return FileType() == ftMpeg ? mpeg_->BitRate() : 0;
}

void TMMAudioFile::DropFile()
{
    if (mpeg_ && (mpeg_->Mpeg().HasFile() || !mpeg_->FileName().isEmpty()))
        mpeg_->SetFileName(QString());
    if (wave_->HasFile())
        wave_->Clear();
    std::lock_guard lock(lock_);
    bytes_delivered_ = 0;
    duration_ms_ = 0;
    start_offset_ms_ = 0;
    mpeg_info_ = {};
}

void TMMAudioFile::SetFileName(const QString& name)
{
    if (name == FileName())
        return;
    DropFile();
    if (name.isEmpty()) {
        LinkReader(nullptr);
        return;
    }
    if (platform::fs::file_kind(name) == platform::fs::FileKind::Missing && !has_pseudo_prefix(name)) {
        LinkReader(nullptr);
        return;
    }
    if (mpeg_ && IsMpegFile(mpeg_->Mpeg().Library(), name)) {
        try {
            mpeg_->SetFileName(name);
        } catch (const EMMMpegError&) {
            LinkReader(nullptr);
            throw EMMAudioError(kNotAnAudioFile);
        }
        {
            std::lock_guard lock(lock_);
            duration_ms_ = mpeg_->Time();
            mpeg_info_ = mpeg_->Info();
            start_offset_ms_ = 0;
        }
        LinkReader(mpeg_.get());
        return;
    }
    if (!TMMWaveFile::IsPcmWaveFile(name)) {
        LinkReader(nullptr);
        throw EMMAudioError(kNotAnAudioFile);
    }
    wave_->SetFileName(name);
    {
        std::lock_guard lock(lock_);
        duration_ms_ = wave_->LengthMs();
        start_offset_ms_ = 0;
    }
    LinkReader(wave_.get());
}

std::int64_t TMMAudioFile::PositionUnlocked() const
{
    if (IsStarted()) {
        const WaveFormat* format = GetPWaveFormat();
        return start_offset_ms_ + (format ? bytes_to_ms(*format, bytes_delivered_) : 0);
    }
    if (FileType() == ftMpeg)
        return std::llround(mpeg_->Mpeg().CurrentFrame() * mpeg_->Mpeg().Info().frame_duration_ms);
    return wave_->PositionMs();
}

std::int64_t TMMAudioFile::Position() const
{
    std::lock_guard lock(lock_);
    return PositionUnlocked();
}

void TMMAudioFile::RestartPlayState(std::int64_t start_ms)
{
    finished_ = false;
    silence_sent_ = false;
    bytes_delivered_ = 0;
    start_offset_ms_ = start_ms;
    const WaveFormat* format = GetPWaveFormat();
    bytes_remaining_ = format ? ms_to_bytes(*format, std::max<std::int64_t>(0, duration_ms_ - start_ms)) : 0;
}

void TMMAudioFile::SetPosition(std::int64_t ms)
{
    // The seek holds the lock the load holds, so the two exclude each other.
    std::lock_guard lock(lock_);
    ms = std::min(ms, duration_ms_);
    if (FileType() == ftMpeg) {
        const double frame_ms = mpeg_->Mpeg().Info().frame_duration_ms;
        auto frame = frame_ms > 0 ? static_cast<std::int32_t>(std::llround(ms / frame_ms)) : 0;
        // Duration counts only the title's own samples (the encoder's delay and
        // padding are not heard), so its frame may still hold a few of them: the
        // end of the title is past the last frame.
        if (ms >= duration_ms_)
            frame = mpeg_->Frames();
        mpeg_->Mpeg().FrameSeek(frame);
    } else {
        wave_->SetPositionMs(ms);
    }
    if (IsStarted())
        RestartPlayState(ms);
}

void TMMAudioFile::Opened()
{
    {
        std::lock_guard lock(lock_);
        finished_ = false;
        silence_sent_ = false;
    }
    TMMDSPComponent::Opened();
}

void TMMAudioFile::Closed()
{
    {
        std::lock_guard lock(lock_);
        finished_ = true;
        silence_sent_ = true;
    }
    TMMDSPComponent::Closed();
}

void TMMAudioFile::Started()
{
    if (IsStarted() || !Input() || !IsOpened())
        return;
    std::lock_guard lock(lock_);
    RestartPlayState(PositionUnlocked());
    TMMDSPComponent::Started();
}

void TMMAudioFile::Stopped()
{
    {
        std::lock_guard lock(lock_);
        finished_ = true;
        silence_sent_ = true;
    }
    TMMDSPComponent::Stopped();
}

void TMMAudioFile::Reset()
{
    if (!IsOpened())
        return;
    std::lock_guard lock(lock_);
    start_offset_ms_ = PositionUnlocked();
}

void TMMAudioFile::ApplyGain(char* data, std::uint32_t bytes) const
{
    if (volume_ == 16384 && panning_ == 0)
        return; // unity: the decoded samples pass bit for bit
    const WaveFormat* format = GetPWaveFormat();
    if (!format || format->format_tag != kWaveFormatPcm)
        return;
    const std::int64_t left = panning_ > 0 ? std::int64_t(volume_) * (32768 - panning_) / 32768 : volume_;
    const std::int64_t right = panning_ <= 0 ? std::int64_t(volume_) * (32768 + panning_) / 32768 : volume_;
    const int channels = format->channels;
    if (format->bits_per_sample == 16) {
        auto* s = reinterpret_cast<std::int16_t*>(data);
        const std::size_t n = bytes / 2;
        for (std::size_t i = 0; i < n; ++i) {
            const std::int64_t gain = (channels == 2 && (i & 1)) ? right : left;
            s[i] = static_cast<std::int16_t>(std::clamp<std::int64_t>(s[i] * gain / 16384, -32768, 32767));
        }
    } else if (format->bits_per_sample == 8) {
        auto* s = reinterpret_cast<std::uint8_t*>(data);
        for (std::uint32_t i = 0; i < bytes; ++i) {
            const std::int64_t gain = (channels == 2 && (i & 1)) ? right : left;
            s[i] = static_cast<std::uint8_t>(std::clamp<std::int64_t>((s[i] - 128) * gain / 16384 + 128, 0, 255));
        }
    }
}

void TMMAudioFile::BufferLoad(ExtendedWaveHeader* h, bool& MoreBuffers)
{
    std::lock_guard lock(lock_);
    last_load_was_end_marker_ = false;
    if (!IsOpened() || !IsStarted()) {
        h->bytes_recorded = 0;
        MoreBuffers = false;
        return;
    }
    const std::int64_t allowed = h->buffer_length; // whole titles play, never part of one
    if (allowed < 1 || finished_) {
        h->bytes_recorded = 0;
    } else {
        const std::int32_t loop_flag = h->loop_flag;
        h->loop_flag = 0; // the readers must not loop: looping is done here
        TMMDSPComponent::BufferLoad(h, MoreBuffers);
        h->loop_flag = loop_flag;
        bytes_delivered_ += h->bytes_recorded;
        bytes_remaining_ = std::max<std::int64_t>(0, bytes_remaining_ - h->bytes_recorded);
        ApplyGain(h->data, h->bytes_recorded);
    }
    if (h->bytes_recorded > 0 && MoreBuffers)
        return;

    MoreBuffers = false;
    finished_ = true;
    if (h->loop_flag) {
        if (h->loop_count > 0)
            --h->loops_remaining;
        if (h->loop_count == 0 || h->loops_remaining >= 0) {
            if (FileType() == ftMpeg)
                mpeg_->Mpeg().FrameSeek(0);
            else
                wave_->SetPositionMs(0);
            start_offset_ms_ = 0;
            bytes_delivered_ = 0;
            MoreBuffers = true;
            h->looped_marker = kTrue32;
            finished_ = false;
        }
    }
    if (h->bytes_recorded == 0 && finished_ && !silence_sent_) {
        // The end was found by an empty read: one short silent buffer tells the
        // output that the title is over.
        std::memset(h->data, 0, std::min<std::uint32_t>(4, h->buffer_length));
        h->bytes_recorded = std::min<std::uint32_t>(4, h->buffer_length);
        silence_sent_ = true;
        last_load_was_end_marker_ = true;
    }
}

} // namespace pelu
