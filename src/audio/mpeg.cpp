#include "audio/mpeg.h"

#include "platform/fs/file_facts.h"
#include "platform/fs/file_names.h"

#include <QFile>
#include <QFileInfo>

#include <cstring>

#include <cmath>
#include <cstdio>
#include <dlfcn.h>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace pelu {

namespace {

constexpr const char* kLibraryFile = "libmmmpeg32.so";

std::function<void(const QString&)>& error_dialog()
{
    static std::function<void(const QString&)> dialog = [](const QString& text) {
        std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    };
    return dialog;
}

std::string directory_of(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

} // namespace

// ---------------------------------------------------------------------------
// MpegLibrary

std::vector<std::string> MpegLibrary::DefaultCandidates()
{
    std::vector<std::string> candidates;
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string exe_dir;
    if (n > 0) {
        exe[n] = '\0';
        exe_dir = directory_of(exe);
        candidates.push_back(exe_dir + "/" + kLibraryFile);
    }
    Dl_info self{};
    if (dladdr(reinterpret_cast<void*>(&MpegLibrary::DefaultCandidates), &self) && self.dli_fname) {
        const std::string here = directory_of(self.dli_fname) + "/" + kLibraryFile;
        if (candidates.empty() || candidates.front() != here)
            candidates.push_back(here);
    }
    if (!exe_dir.empty())
        candidates.push_back(exe_dir + "/../lib/pelu/" + kLibraryFile);
    return candidates;
}

MpegLibrary& MpegLibrary::Instance()
{
    static MpegLibrary library(DefaultCandidates());
    return library;
}

void MpegLibrary::SetErrorDialog(std::function<void(const QString&)> dialog)
{
    error_dialog() = std::move(dialog);
}

void MpegLibrary::Fail(const QString& message, bool show)
{
    load_error_ = message;
    if (show && error_dialog())
        error_dialog()(message);
}

MpegLibrary::MpegLibrary(const std::vector<std::string>& candidates, bool show_errors)
{
    for (const auto& path : candidates)
        if (access(path.c_str(), F_OK) == 0) {
            tried_path_ = path;
            break;
        }
    if (tried_path_.empty() && !candidates.empty())
        tried_path_ = candidates.front();

    handle_ = tried_path_.empty() ? nullptr : dlopen(tried_path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        Fail(QStringLiteral("Unable to load %1").arg(QString::fromStdString(tried_path_)), show_errors);
        return;
    }
    auto take = [this](auto& slot, const char* name) {
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(dlsym(handle_, name));
    };
    take(Version, "mpeg_Version");
    if (!Version || Version() <= 16) {
        dlclose(handle_);
        handle_ = nullptr;
        Version = nullptr;
        Fail(QStringLiteral("Invalid Mpeg Decoder DLL version"), show_errors);
        return;
    }
    take(Init, "mpeg_Init");
    take(Done, "mpeg_Done");
    take(SetDecodeCallback, "mpeg_SetDecodeCallback");
    take(SetDecodeMode, "mpeg_SetDecodeMode");
    take(Clear, "mpeg_Clear");
    take(SetTrailingHeader, "mpeg_SetTrailingHeader");
    take(SetFileOffset, "mpeg_SetFileOffset");
    take(SetExactPosition, "mpeg_SetExactPosition");
    take(SetFileName, "mpeg_SetFileName");
    take(GetFileName, "mpeg_GetFileName");
    take(GetEmpty, "mpeg_GetEmpty");
    take(GetFileInfo, "mpeg_GetFileInfo");
    take(SetChannelMode, "mpeg_SetChannelMode");
    take(GetChannelMode, "mpeg_GetChannelMode");
    take(SetPosition, "mpeg_SetPosition");
    take(GetPosition, "mpeg_GetPosition");
    take(OpenFile, "mpeg_OpenFile");
    take(CloseFile, "mpeg_CloseFile");
    take(ResetFile, "mpeg_ResetFile");
    take(ReadDataBytes, "mpeg_ReadDataBytes");
    take(AbortReadData, "mpeg_AbortReadData");
    take(GetDone, "mpeg_GetDone");
    take(ScanFile, "mpeg_ScanFile");
    take(ScanFileEx, "mpeg_ScanFileEx");
    take(EncryptFile, "mpeg_EncryptFile");
    take(ReadID3Tag, "mpeg_ReadID3Tag");
    take(GetErrorText, "mpeg_GetErrorText");
    // A library lacking a call the player makes is as unusable as an old one.
    if (!Init || !Done || !SetFileName || !GetFileName || !GetEmpty || !GetFileInfo || !SetTrailingHeader ||
        !SetExactPosition || !SetChannelMode || !GetChannelMode || !SetPosition || !GetPosition ||
        !OpenFile || !CloseFile || !ResetFile || !ReadDataBytes || !GetDone || !GetErrorText || !Clear) {
        dlclose(handle_);
        handle_ = nullptr;
        Fail(QStringLiteral("Invalid Mpeg Decoder DLL version"), show_errors);
    }
}

MpegLibrary::~MpegLibrary()
{
    if (handle_)
        dlclose(handle_);
}

QString MpegLibrary::ErrorText(std::int32_t code) const
{
    char text[256] = {};
    if (GetErrorText && GetErrorText(code, text, sizeof text) == 0)
        return QString::fromLocal8Bit(text);
    return QStringLiteral("MPEG decoder error %1").arg(code);
}

namespace {

bool has_pseudo_prefix(const QString& name)
{
    return name.contains(QLatin1String("RESOURCE://"), Qt::CaseInsensitive) ||
           name.contains(QLatin1String("POINTER://"), Qt::CaseInsensitive);
}

// The format tag of a RIFF WAVE file, or -1 when the file is not one.
int riff_wave_format_tag(const QString& name)
{
    FILE* f = std::fopen(platform::fs::encode_file_name(name).constData(), "rb");
    if (!f)
        return -1;
    unsigned char head[12];
    int tag = -1;
    if (std::fread(head, 1, 12, f) == 12 && std::memcmp(head, "RIFF", 4) == 0 &&
        std::memcmp(head + 8, "WAVE", 4) == 0) {
        unsigned char chunk[8];
        while (std::fread(chunk, 1, 8, f) == 8) {
            const std::uint32_t size = chunk[4] | (chunk[5] << 8) | (chunk[6] << 16) | (std::uint32_t(chunk[7]) << 24);
            if (std::memcmp(chunk, "fmt ", 4) == 0) {
                unsigned char fmt[2];
                if (size >= 2 && std::fread(fmt, 1, 2, f) == 2)
                    tag = fmt[0] | (fmt[1] << 8);
                break;
            }
            if (std::fseek(f, static_cast<long>(size + (size & 1)), SEEK_CUR) != 0)
                break;
        }
    }
    std::fclose(f);
    return tag;
}

} // namespace

bool IsMpegFile(const QString& name)
{
    return IsMpegFile(MpegLibrary::Instance(), name);
}

bool IsMpegFile(MpegLibrary& library, const QString& name)
{
    if (!library.Loaded() || name.isEmpty())
        return false;
    const platform::fs::FileKind kind = platform::fs::file_kind(name);
    if (!(kind != platform::fs::FileKind::Missing || has_pseudo_prefix(name)))
        return false;
    if (kind != platform::fs::FileKind::Regular)
        return false; // directories, FIFOs and devices are never audio files
    const int riff_tag = riff_wave_format_tag(name);
    if (riff_tag >= 0)
        return riff_tag == 80 || riff_tag == 85;
    std::int32_t status = 0;
    MpegHandle handle = library.Init(&status, nullptr, nullptr);
    if (!handle)
        return false;
    const bool ok = library.SetFileName(handle, platform::fs::encode_file_name(name).constData()) == 0 &&
                    !library.GetEmpty(handle);
    library.Done(&handle);
    return ok;
}

// ---------------------------------------------------------------------------
// TMMMpeg

TMMMpeg::TMMMpeg(QObject* parent) : TMMMpeg(MpegLibrary::Instance(), parent) {}

TMMMpeg::TMMMpeg(MpegLibrary& library, QObject* parent) : TMMObject(parent), library_(&library)
{
    if (!library.Loaded())
        throw EMMMpegError("Unable to load " + library.TriedPath());
    std::int32_t status = 0;
    handle_ = library.Init(&status, &TMMMpeg::Notify, this);
    if (!handle_ || status != 0)
        throw EMMMpegError(library.ErrorText(status).toStdString());
    RebuildFormat();
}

TMMMpeg::~TMMMpeg()
{
    if (handle_)
        library_->Done(&handle_);
}

void TMMMpeg::Check(std::int32_t result, const QString& suffix) const
{
    if (result != 0)
        throw EMMMpegError((library_->ErrorText(result) + suffix).toStdString());
}

void TMMMpeg::Notify(void* owner, std::int32_t message)
{
    if (message == kMpegNotifyFileInfo)
        static_cast<TMMMpeg*>(owner)->ReadFileInfo();
}

void TMMMpeg::ReadFileInfo()
{
    has_file_ = !library_->GetEmpty(handle_);
    if (has_file_)
        Check(library_->GetFileInfo(handle_, &info_));
    else
        info_ = MpegFileInfo{};
    RebuildFormat();
    Changed();
}

void TMMMpeg::RebuildFormat()
{
    const int channels = (info_.mode == smSingleChannel || channel_mode_ != cmBoth) ? 1 : 2;
    pcm_format_ = make_pcm_format(static_cast<std::uint32_t>(info_.playback_rate_hz), 16,
                                  static_cast<std::uint16_t>(channels));
}

void TMMMpeg::SetFileName(const QString& name)
{
    open_ = false;
    has_file_ = false;
    file_name_.clear();
    const std::int32_t result = library_->SetFileName(handle_, platform::fs::encode_file_name(name).constData());
    if (result != 0) {
        info_ = MpegFileInfo{};
        RebuildFormat();
        Changed();
        Check(result);
    }
    file_name_ = name;
    if (name.isEmpty()) {
        info_ = MpegFileInfo{};
        RebuildFormat();
        Changed();
    }
}

void TMMMpeg::SetTrailingHeader(std::int32_t value)
{
    trailing_header_ = value;
    library_->SetTrailingHeader(handle_, value);
}

void TMMMpeg::SetExactposition(bool value)
{
    exact_position_ = value;
    library_->SetExactPosition(handle_, value ? 1 : 0);
}

void TMMMpeg::SetChannelMode(TChannelMode mode)
{
    if (mode == channel_mode_)
        return;
    if (open_)
        throw EMMMpegError("Change to property while device was open");
    Check(library_->SetChannelMode(handle_, mode));
    channel_mode_ = mode;
    RebuildFormat();
    Changed();
}

void TMMMpeg::OpenFile()
{
    if (open_)
        return;
    Check(library_->OpenFile(handle_));
    open_ = true;
}

void TMMMpeg::CloseFile()
{
    if (!open_)
        return;
    library_->CloseFile(handle_);
    open_ = false;
}

void TMMMpeg::ResetFile()
{
    Check(library_->ResetFile(handle_));
}

std::int32_t TMMMpeg::CurrentFrame() const
{
    return library_->GetPosition(handle_);
}

std::int32_t TMMMpeg::BytesPerFrame() const
{
    const double bytes = pcm_format_.avg_bytes_per_sec * info_.frame_duration_ms / 1000.0;
    return static_cast<std::int32_t>(std::lround(bytes)) / 4 * 4;
}

void TMMMpeg::FrameSeek(std::int32_t frame)
{
    // Two frames early, so that the frames that fill the decoder's bit
    // reservoir are decoded (and thrown away) before the wanted one.
    const std::int32_t target = std::max(0, open_ ? frame - 2 : frame);
    const std::int32_t result = library_->SetPosition(handle_, target);
    if (result != 0)
        throw EMMMpegError((library_->ErrorText(result) + QStringLiteral(": %1").arg(frame)).toStdString());
    if (!open_)
        return;
    const std::int32_t frame_bytes = BytesPerFrame();
    if (frame_bytes <= 0)
        return;
    std::vector<char> scratch(static_cast<std::size_t>(frame_bytes));
    while (CurrentFrame() < frame && !DecodeDone())
        if (Read(scratch.data(), frame_bytes) <= 0)
            break;
}

std::int32_t TMMMpeg::Read(char* buffer, std::int32_t count_bytes)
{
    const std::int32_t got = library_->ReadDataBytes(handle_, buffer, count_bytes);
    if (got < 0)
        Check(-got);
    return got;
}

bool TMMMpeg::DecodeDone() const
{
    return library_->GetDone(handle_) != 0;
}

// ---------------------------------------------------------------------------
// TMMMPEGFile

TMMMPEGFile::TMMMPEGFile(QObject* parent) : TMMMPEGFile(MpegLibrary::Instance(), parent) {}

TMMMPEGFile::TMMMPEGFile(MpegLibrary& library, QObject* parent)
    : TMMDSPComponent(parent), mpeg_(std::make_unique<TMMMpeg>(library))
{
    mpeg_->OnChange = [this](QObject*) { InfoChanged(); };
}

TMMMPEGFile::~TMMMPEGFile()
{
    if (file_opened_)
        mpeg_->CloseFile();
}

void TMMMPEGFile::InfoChanged()
{
    SetPWaveFormat(mpeg_->PcmFormat());
    if (OnChange)
        OnChange(this);
}

void TMMMPEGFile::SetFileName(const QString& name)
{
    if (file_opened_) {
        Stopped();
        mpeg_->CloseFile();
        file_opened_ = false;
    }
    mpeg_->SetFileName(name);
}

void TMMMPEGFile::SetChannelMode(int mode)
{
    if (mode < cmLeft || mode > cmDownMix)
        return;
    if (file_opened_)
        throw EMMMpegError("Change to property while device was open");
    mpeg_->SetChannelMode(static_cast<TChannelMode>(mode));
}

int TMMMPEGFile::Version() const { return mpeg_->HasFile() ? mpeg_->Info().version : static_cast<int>(v1); }
int TMMMPEGFile::Layer() const { return mpeg_->HasFile() ? mpeg_->Info().layer : 0; }
int TMMMPEGFile::Mode() const { return mpeg_->HasFile() ? mpeg_->Info().mode : 0; }
int TMMMPEGFile::BitRate() const { return mpeg_->HasFile() ? mpeg_->Info().bit_rate_kbps : 0; }
int TMMMPEGFile::SampleRate() const { return mpeg_->HasFile() ? mpeg_->Info().sample_rate_hz : 0; }
int TMMMPEGFile::PlayBackRate() const { return mpeg_->HasFile() ? mpeg_->Info().playback_rate_hz : 0; }
int TMMMPEGFile::Frames() const { return mpeg_->HasFile() ? mpeg_->Info().frames : 0; }
int TMMMPEGFile::Time() const { return mpeg_->HasFile() ? mpeg_->Info().playing_time_ms : 0; }

void TMMMPEGFile::Opened()
{
    TMMDSPComponent::Opened();
    if (!file_opened_ && mpeg_->HasFile()) {
        // Remember where a seek made before the open asked to start.
        resume_frame_ = mpeg_->CurrentFrame();
        mpeg_->OpenFile();
        file_opened_ = true;
        positioned_ = false;
    }
}

void TMMMPEGFile::Started()
{
    TMMDSPComponent::Started();
    if (file_opened_ && !positioned_) {
        mpeg_->FrameSeek(resume_frame_); // primes the decoder
        positioned_ = true;
    }
}

void TMMMPEGFile::Stopped()
{
    positioned_ = false;
    TMMDSPComponent::Stopped();
}

void TMMMPEGFile::Closed()
{
    if (file_opened_) {
        Stopped();
        mpeg_->CloseFile();
        file_opened_ = false;
    }
    TMMDSPComponent::Closed();
}

void TMMMPEGFile::BufferLoad(ExtendedWaveHeader* h, bool& MoreBuffers)
{
    if (OnBufferLoad)
        OnBufferLoad(this, h, MoreBuffers);
    if (!mpeg_->HasFile()) {
        h->bytes_recorded = 0;
        return;
    }
    if (!positioned_ || !enabled_) {
        std::memset(h->data, 0, h->buffer_length);
        h->bytes_recorded = h->buffer_length;
        MoreBuffers = true;
        return;
    }
    const std::int32_t got = file_opened_ ? mpeg_->Read(h->data, static_cast<std::int32_t>(h->buffer_length)) : 0;
    h->bytes_recorded = static_cast<std::uint32_t>(std::max(0, got));
    if (got <= 0)
        return;
    if (!mpeg_->DecodeDone()) {
        MoreBuffers = true;
    } else if (h->loop_flag) {
        if (h->loop_count > 0)
            --h->loops_remaining;
        if (!(h->loop_count > 0 && h->loops_remaining < 0)) {
            mpeg_->ResetFile();
            MoreBuffers = true;
            h->looped_marker = kTrue32;
        }
    }
}

} // namespace pelu
