// The file source at the head of the playing chain: a RIFF WAVE reader
// (TMMWaveFile, PCM data only), and TMMAudioFile, which picks the MPEG or the
// WAV reader for a file name, delivers its PCM on every BufferLoad, knows the
// title's length and position, seeks, loops and signals the end of the data.
//
// Thread: every operation on the main thread, except BufferLoad, which runs on
// the wave output's thread under the file source's lock. Seeks, a new file name
// (dropping the old reader, linking the new one) and the chain's open, start,
// stop and close notifications take the same lock, so none of them interleaves
// with a load.
#pragma once

#include "audio/dsp_object.h"
#include "audio/mpeg.h"

#include <QString>

#include <cstdio>
#include <memory>
#include <mutex>

namespace pelu {

PELU_DECLARE_ERROR(EMMAudioError, Error)

// Reads PCM from a RIFF WAVE file. Its position unit is milliseconds.
class TMMWaveFile : public TMMDSPComponent {
    Q_OBJECT
    Q_PROPERTY(pelu::TMMDSPComponent* Output READ Output WRITE SetOutput)
    Q_PROPERTY(QString FileName READ FileName WRITE SetFileName)
public:
    explicit TMMWaveFile(QObject* parent = nullptr);
    ~TMMWaveFile() override;

    // True when `name` is a RIFF WAVE file with a fmt and a data chunk.
    static bool IsValidWaveFile(const QString& name);
    // True when the file's data is PCM this reader can deliver (8 or 16 bits, 1 or 2 channels).
    static bool IsPcmWaveFile(const QString& name);

    QString FileName() const { return file_name_; }
    // Takes the file ("" clears); raises EMMAudioError when it is not a valid PCM WAVE file.
    void SetFileName(const QString& name);
    void Clear() { SetFileName(QString()); }
    bool HasFile() const { return file_ != nullptr; }

    std::int64_t LengthMs() const;
    std::int64_t PositionMs() const;
    void SetPositionMs(std::int64_t ms);

    void BufferLoad(ExtendedWaveHeader* lpWaveHdr, bool& MoreBuffers) override;

    std::function<void(QObject* sender)> OnChange;

private:
    struct Layout {
        WaveFormat format;
        std::int64_t data_offset = 0;
        std::int64_t data_size = 0;
    };
    static bool ReadLayout(const QString& name, Layout& layout);

    QString file_name_;
    std::FILE* file_ = nullptr;
    Layout layout_;
    std::int64_t position_bytes_ = 0;
};

enum TMMAudioFileType { ftWave = 0, ftMpeg = 1, ftWMA = 2, ftCDA = 3 };

class TMMAudioFile : public TMMDSPComponent {
    Q_OBJECT
    Q_PROPERTY(pelu::TMMDSPComponent* Output READ Output WRITE SetOutput)
    Q_PROPERTY(QString FileName READ FileName WRITE SetFileName)
    Q_PROPERTY(bool Enabled READ Enabled WRITE SetEnabled)
    Q_PROPERTY(int MpegTrailingHeader READ MpegTrailingHeader WRITE SetMpegTrailingHeader)
    Q_PROPERTY(int FileType READ FileType)
    Q_PROPERTY(int Volume READ Volume WRITE SetVolume)
    Q_PROPERTY(int Panning READ Panning WRITE SetPanning)
public:
    explicit TMMAudioFile(QObject* parent = nullptr);
    TMMAudioFile(MpegLibrary& library, QObject* parent = nullptr);
    ~TMMAudioFile() override;

    QString FileName() const;
    // Loads a title; raises EMMAudioError "This is not a valid Audiofile" for a file
    // that is neither. A missing file loads nothing, silently.
    void SetFileName(const QString& name);
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool value);
    int MpegTrailingHeader() const;
    void SetMpegTrailingHeader(int value);
    TMMAudioFileType FileType() const;
    int Volume() const { return volume_; }
    void SetVolume(int gain);      // 0..32768, 16384 is unity
    int Panning() const { return panning_; }
    void SetPanning(int panning);  // -32768..32768

    std::int64_t Duration() const { return duration_ms_; }
    std::int64_t Position() const;
    void SetPosition(std::int64_t ms);
    int BitRate() const;
    // The MPEG information as handed to the form (valid for ftMpeg).
    TMMMPEGFile::InfoCopy MpegInfo() const { return mpeg_info_; }

    // Null when the decoder library could not be loaded (only WAV files play then).
    TMMMPEGFile* MpegReader() const { return mpeg_.get(); }
    TMMWaveFile& WaveReader() const { return *wave_; }
    bool Finished() const { return finished_; }
    // True when the last load delivered only the short silent buffer that marks an
    // end found by an empty read (a writer of PCM files leaves it out).
    bool LastLoadWasEndMarker() const { return last_load_was_end_marker_; }

    void Opened() override;
    void Closed() override;
    void Started() override;
    void Stopped() override;
    void Reset() override;
    void BufferLoad(ExtendedWaveHeader* lpWaveHdr, bool& MoreBuffers) override;

    std::function<void(QObject* sender)> OnChange;

private:
    void LinkReader(TMMDSPComponent* reader);
    void DropFile();
    // Position bookkeeping restarts at `start_ms` (lock held).
    void CountFrom(std::int64_t start_ms);
    void RestartPlayState(std::int64_t start_ms);
    void ApplyGain(char* data, std::uint32_t bytes) const;
    std::int64_t PositionUnlocked() const;

    std::unique_ptr<TMMWaveFile> wave_;
    std::unique_ptr<TMMMPEGFile> mpeg_;
    bool enabled_ = true;
    int volume_ = 16384;
    int panning_ = 0;

    // Play state, shared with the load on the wave output's thread. Recursive:
    // a new file name holds it while the format it brings travels down the
    // chain, and the chain's stop and close notifications come back here.
    mutable std::recursive_mutex lock_;
    std::int64_t duration_ms_ = 0;
    std::int64_t start_offset_ms_ = 0;
    std::int64_t bytes_delivered_ = 0;
    std::int64_t bytes_remaining_ = 0;
    bool finished_ = true;
    bool silence_sent_ = true;
    bool last_load_was_end_marker_ = false;
    TMMMPEGFile::InfoCopy mpeg_info_{};
};

} // namespace pelu
