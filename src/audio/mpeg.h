// MPEG audio through the decoder plug-in: the run-time loaded library, the
// decoder handle (TMMMpeg) and the chain component that reads MPEG files
// (TMMMPEGFile).
//
// Thread: everything on the main thread except TMMMPEGFile::BufferLoad, which
// runs on the wave output's thread. Calls on one decoder handle are serialised
// by the plug-in; the file source above excludes seeks from loads.
#pragma once

#include "audio/dsp_object.h"
#include "decoder/mpeg_contract.h"

#include <QString>

#include <functional>
#include <memory>
#include <string>

namespace pelu {

PELU_DECLARE_ERROR(EMMMpegError, Error)

// The decoder plug-in, loaded once per process on first use.
class MpegLibrary {
public:
    // Where the process-wide library is looked for, in order: next to the
    // running program, next to the library holding this code, then
    // ../lib/pelu/ beside the program.
    static std::vector<std::string> DefaultCandidates();
    // The process-wide library (loaded on the first call). Check Loaded().
    static MpegLibrary& Instance();
    // Shows the load errors; by default they go to standard error. The band
    // installs a message box. Called on the thread that first needs MPEG.
    static void SetErrorDialog(std::function<void(const QString& text)> dialog);

    // A library loaded from an explicit file (tests, tools).
    explicit MpegLibrary(const std::vector<std::string>& candidates, bool show_errors = true);
    ~MpegLibrary();
    MpegLibrary(const MpegLibrary&) = delete;
    MpegLibrary& operator=(const MpegLibrary&) = delete;

    bool Loaded() const { return handle_ != nullptr; }
    // The file that was tried (the first candidate that exists, else the first).
    const std::string& TriedPath() const { return tried_path_; }
    // "" when loaded; else the message the error dialog showed.
    const QString& LoadError() const { return load_error_; }
    QString ErrorText(std::int32_t code) const;

    // Entry points, all resolved by name.
    decltype(&mpeg_Version) Version = nullptr;
    decltype(&mpeg_Init) Init = nullptr;
    decltype(&mpeg_Done) Done = nullptr;
    decltype(&mpeg_SetDecodeCallback) SetDecodeCallback = nullptr;
    decltype(&mpeg_SetDecodeMode) SetDecodeMode = nullptr;
    decltype(&mpeg_Clear) Clear = nullptr;
    decltype(&mpeg_SetTrailingHeader) SetTrailingHeader = nullptr;
    decltype(&mpeg_SetFileOffset) SetFileOffset = nullptr;
    decltype(&mpeg_SetExactPosition) SetExactPosition = nullptr;
    decltype(&mpeg_SetFileName) SetFileName = nullptr;
    decltype(&mpeg_GetFileName) GetFileName = nullptr;
    decltype(&mpeg_GetEmpty) GetEmpty = nullptr;
    decltype(&mpeg_GetFileInfo) GetFileInfo = nullptr;
    decltype(&mpeg_SetChannelMode) SetChannelMode = nullptr;
    decltype(&mpeg_GetChannelMode) GetChannelMode = nullptr;
    decltype(&mpeg_SetPosition) SetPosition = nullptr;
    decltype(&mpeg_GetPosition) GetPosition = nullptr;
    decltype(&mpeg_OpenFile) OpenFile = nullptr;
    decltype(&mpeg_CloseFile) CloseFile = nullptr;
    decltype(&mpeg_ResetFile) ResetFile = nullptr;
    decltype(&mpeg_ReadDataBytes) ReadDataBytes = nullptr;
    decltype(&mpeg_AbortReadData) AbortReadData = nullptr;
    decltype(&mpeg_GetDone) GetDone = nullptr;
    decltype(&mpeg_ScanFile) ScanFile = nullptr;
    decltype(&mpeg_ScanFileEx) ScanFileEx = nullptr;
    decltype(&mpeg_EncryptFile) EncryptFile = nullptr;
    decltype(&mpeg_ReadID3Tag) ReadID3Tag = nullptr;
    decltype(&mpeg_GetErrorText) GetErrorText = nullptr;

private:
    void Fail(const QString& message, bool show);
    void* handle_ = nullptr;
    std::string tried_path_;
    QString load_error_;
};

// True when `name` is MPEG audio the decoder accepts (or a RIFF WAVE file
// holding MPEG data).
bool IsMpegFile(const QString& name);
bool IsMpegFile(MpegLibrary& library, const QString& name);

// One decoder handle: the file's information and the PCM format it decodes to.
class TMMMpeg : public TMMObject {
    Q_OBJECT
public:
    // Raises EMMMpegError when the decoder library is not available.
    explicit TMMMpeg(QObject* parent = nullptr);
    TMMMpeg(MpegLibrary& library, QObject* parent = nullptr);
    ~TMMMpeg() override;

    QString FileName() const { return file_name_; }
    // Takes the file (or drops it for ""); raises EMMMpegError when the decoder refuses it.
    void SetFileName(const QString& name);
    bool HasFile() const { return has_file_; }

    std::int32_t TrailingHeader() const { return trailing_header_; }
    void SetTrailingHeader(std::int32_t value);
    bool Exactposition() const { return exact_position_; }
    void SetExactposition(bool value);
    TChannelMode ChannelMode() const { return channel_mode_; }
    // Only while the decoder's file is not open.
    void SetChannelMode(TChannelMode mode);

    const MpegFileInfo& Info() const { return info_; }
    // The PCM the decoder produces; null while no file is set.
    const WaveFormat* PcmFormat() const { return has_file_ ? &pcm_format_ : nullptr; }

    bool IsOpen() const { return open_; }
    void OpenFile();
    void CloseFile();
    void ResetFile();
    std::int32_t CurrentFrame() const;
    // Seeks so that decoding at `frame` starts with a primed decoder.
    void FrameSeek(std::int32_t frame);
    // Decoded bytes (0 at the end); raises EMMMpegError on a decoder error.
    std::int32_t Read(char* buffer, std::int32_t count_bytes);
    bool DecodeDone() const;
    // Round(average bytes per second x frame duration / 1000), down to whole 4 bytes.
    std::int32_t BytesPerFrame() const;

    MpegLibrary& Library() const { return *library_; }

private:
    static void Notify(void* owner, std::int32_t message);
    void ReadFileInfo();
    void RebuildFormat();
    void Check(std::int32_t result, const QString& suffix = {}) const;

    MpegLibrary* library_;
    MpegHandle handle_ = nullptr;
    QString file_name_;
    bool has_file_ = false;
    bool open_ = false;
    std::int32_t trailing_header_ = 0;
    bool exact_position_ = false;
    TChannelMode channel_mode_ = cmBoth;
    MpegFileInfo info_{};
    WaveFormat pcm_format_{};
};

// The chain component that reads an MPEG file.
class TMMMPEGFile : public TMMDSPComponent {
    Q_OBJECT
    Q_PROPERTY(pelu::TMMDSPComponent* Output READ Output WRITE SetOutput)
    Q_PROPERTY(bool Enabled READ Enabled WRITE SetEnabled)
    Q_PROPERTY(QString FileName READ FileName WRITE SetFileName)
    Q_PROPERTY(int TrailingHeader READ TrailingHeader WRITE SetTrailingHeader)
    Q_PROPERTY(int Version READ Version)
    Q_PROPERTY(int Layer READ Layer)
    Q_PROPERTY(int Mode READ Mode)
    Q_PROPERTY(int BitRate READ BitRate)
    Q_PROPERTY(int SampleRate READ SampleRate)
    Q_PROPERTY(int PlayBackRate READ PlayBackRate)
    Q_PROPERTY(int Frames READ Frames)
    Q_PROPERTY(int Time READ Time)
    Q_PROPERTY(int ChannelMode READ ChannelMode WRITE SetChannelMode)
    Q_PROPERTY(bool Exactposition READ Exactposition WRITE SetExactposition)
public:
    explicit TMMMPEGFile(QObject* parent = nullptr);
    TMMMPEGFile(MpegLibrary& library, QObject* parent = nullptr);
    ~TMMMPEGFile() override;

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool value) { enabled_ = value; }
    QString FileName() const { return mpeg_->FileName(); }
    void SetFileName(const QString& name);
    int TrailingHeader() const { return mpeg_->TrailingHeader(); }
    void SetTrailingHeader(int value) { mpeg_->SetTrailingHeader(value); }
    bool Exactposition() const { return mpeg_->Exactposition(); }
    void SetExactposition(bool value) { mpeg_->SetExactposition(value); }
    int ChannelMode() const { return mpeg_->ChannelMode(); }
    // Raises EMMMpegError "Change to property while device was open" while open.
    void SetChannelMode(int mode);

    // Read 0 (Version: v1) while no file is set.
    int Version() const;
    int Layer() const;
    int Mode() const;
    int BitRate() const;
    int SampleRate() const;
    int PlayBackRate() const;
    int Frames() const;
    int Time() const;
    // The information as handed to the form: the 164 bytes and one word kept here.
    struct InfoCopy {
        MpegFileInfo info;
        std::int32_t extra_word;
    };
    InfoCopy Info() const { return {mpeg_->Info(), 0}; }

    TMMMpeg& Mpeg() const { return *mpeg_; }
    bool FileOpened() const { return file_opened_; }
    bool Positioned() const { return positioned_; }

    void Opened() override;
    void Started() override;
    void Stopped() override;
    void Closed() override;
    void BufferLoad(ExtendedWaveHeader* lpWaveHdr, bool& MoreBuffers) override;

    std::function<void(QObject* sender)> OnChange;

private:
    void InfoChanged();
    std::unique_ptr<TMMMpeg> mpeg_;
    bool enabled_ = true;
    bool file_opened_ = false;
    bool positioned_ = false;
    std::int32_t resume_frame_ = 0;
};

} // namespace pelu
