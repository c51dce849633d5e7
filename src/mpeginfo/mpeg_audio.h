// What a playlist needs to know about an MPEG audio file without decoding it:
// TMPEGAudio finds and confirms the first frame, decodes its header, reads a
// Xing header and the ID3v1 tag and keeps the file facts; TMPEGAudioList owns
// a list of such records and reads each file as it is added.
//
// Thread: a record and a list belong to the thread that uses them (the main
// thread in the band). The read-error dialog is installed and shown on the
// main thread. Name tables are immutable and safe from any thread.
#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace pelu::mpeginfo {

class TMPEGAudio;
class FrameReader;

// Answers of the read-error dialog, the message box's button ids.
constexpr int idCancel = 2;
constexpr int idRetry = 4;
constexpr int idIgnore = 5;

// Asked when an analysis fails; returns a dialog answer (idRetry repeats the analysis).
using TReadErrorEvent = std::function<int(TMPEGAudio& sender)>;

// The message box behind the read-error handler: shows `text` with the
// buttons Cancel, Retry and Ignore and returns the answer. The band installs a
// Qt dialog; until one is installed the answer is idIgnore, so nothing ever
// waits for a user who cannot be asked (the file is skipped, the batch goes on).
using ReadErrorDialog = std::function<int(const QString& text)>;
void set_read_error_dialog(ReadErrorDialog dialog);
int show_read_error_dialog(const QString& text);

// The standard handler: `lead` followed by the record's FileName, through the dialog above.
inline constexpr const char* kReadErrorLead = "Error openning file: ";
TReadErrorEvent read_error_dialog_handler(const QString& lead = QString::fromLatin1(kReadErrorLead));

// Name tables.
QString genre_name(int code);   // 0..125; anything else "Unknown"
QString version_name(int version);
QString layer_name(int layer);
QString mode_name(int mode);
constexpr int kGenreCount = 126;

class TMPEGAudio : public QObject {
    Q_OBJECT
    // The record's fields in their documented order; `pelu info` prints them so.
    Q_PROPERTY(QString TagId READ TagId)
    Q_PROPERTY(QString Title READ Title)
    Q_PROPERTY(QString Artist READ Artist)
    Q_PROPERTY(QString Album READ Album)
    Q_PROPERTY(QString Year READ Year)
    Q_PROPERTY(QString Comment READ Comment)
    Q_PROPERTY(uint GenreNr READ GenreNr)
    Q_PROPERTY(uint Track READ Track)
    Q_PROPERTY(uint Duration READ Duration)
    Q_PROPERTY(int Length READ Length)
    Q_PROPERTY(int Version READ Version)
    Q_PROPERTY(int Layer READ Layer)
    Q_PROPERTY(int SampleRate READ SampleRate)
    Q_PROPERTY(int BitRate READ BitRate)
    Q_PROPERTY(int Mode READ Mode)
    Q_PROPERTY(bool Copyright READ Copyright)
    Q_PROPERTY(bool Original READ Original)
    Q_PROPERTY(bool ErrorProt READ ErrorProt)
    Q_PROPERTY(bool Padding READ Padding)
    Q_PROPERTY(uint FrameLength READ FrameLength)
    Q_PROPERTY(QString FileName READ FileName WRITE SetFileName)
    Q_PROPERTY(uint FileDate READ FileDate)
    Q_PROPERTY(uint FileAttr READ FileAttr)
    Q_PROPERTY(QString VolumeLabel READ VolumeLabel)
    Q_PROPERTY(int FirstFramePos READ FirstFramePos)
    Q_PROPERTY(int SearchLimit READ SearchLimit WRITE SetSearchLimit)
    Q_PROPERTY(QString DefaultArtist READ DefaultArtist WRITE SetDefaultArtist)
    Q_PROPERTY(QString DefaultTitle READ DefaultTitle WRITE SetDefaultTitle)
    Q_PROPERTY(bool AutoLoad READ AutoLoad WRITE SetAutoLoad)
    Q_PROPERTY(QString MacroTemplate READ MacroTemplate WRITE SetMacroTemplate)
    Q_PROPERTY(QString MacroText READ MacroText)

public:
    // Paths on this system may be far longer than the 255 characters the
    // record once kept; cutting one would name another (missing) file.
    static constexpr int kMaxFileNameChars = 4096;

    explicit TMPEGAudio(QObject* parent = nullptr);
    ~TMPEGAudio() override;

    // Fields (reset values in the analysis' reset step).
    QString TagId() const { return tag_id_; }
    QString Title() const { return title_; }
    QString Artist() const { return artist_; }
    QString Album() const { return album_; }
    QString Year() const { return year_; }
    QString Comment() const { return comment_; }
    std::uint8_t GenreNr() const { return genre_nr_; }
    std::uint8_t Track() const { return track_; }
    std::uint16_t Duration() const { return duration_s_; } // seconds
    std::int32_t Length() const { return length_bytes_; }
    std::uint8_t Version() const { return version_; }
    std::uint8_t Layer() const { return layer_; }
    std::int32_t SampleRate() const { return sample_rate_hz_; }
    std::int32_t BitRate() const { return bit_rate_kbps_; } // -1 for a Xing (VBR) file
    std::uint8_t Mode() const { return mode_; }
    bool Copyright() const { return copyright_; }
    bool Original() const { return original_; }
    bool ErrorProt() const { return error_prot_; }
    bool Padding() const { return padding_; }
    std::uint16_t FrameLength() const { return frame_length_bytes_; }
    QString FileName() const { return file_name_; }
    std::uint32_t FileDate() const { return file_date_; }
    std::uint32_t FileAttr() const { return file_attr_; }
    QString VolumeLabel() const { return volume_label_; }
    std::int32_t FirstFramePos() const { return first_frame_pos_; }

    // Settings that survive the reset.
    std::int32_t SearchLimit() const { return search_limit_; }
    void SetSearchLimit(std::int32_t offset) { search_limit_ = offset; }
    QString DefaultArtist() const { return default_artist_; }
    void SetDefaultArtist(const QString& text) { default_artist_ = text.left(30); }
    QString DefaultTitle() const { return default_title_; }
    void SetDefaultTitle(const QString& text) { default_title_ = text.left(30); }
    bool AutoLoad() const { return auto_load_; }
    void SetAutoLoad(bool on) { auto_load_ = on; }
    const TReadErrorEvent& OnReadError() const { return on_read_error_; }
    void SetOnReadError(TReadErrorEvent handler) { on_read_error_ = std::move(handler); }
    QString MacroTemplate() const { return macro_template_; }
    void SetMacroTemplate(const QString& text) { macro_template_ = text; }
    QString MacroText() const { return macro_text_; }

    // Called about every 300 bytes the frame search scans, so a host can keep
    // its user interface alive during a long scan; never called when empty.
    const std::function<void()>& ProcessMessages() const { return process_messages_; }
    void SetProcessMessages(std::function<void()> hook) { process_messages_ = std::move(hook); }

    // Stores the name; with AutoLoad on, analyses the file at once.
    void SetFileName(const QString& name);

    // Analyses the file named by FileName. 0 on success; otherwise the final
    // answer of OnReadError (never idRetry), or without a handler -1 or the
    // operating system's error number.
    int Analyse();
    int LastResult() const { return last_result_; }

    // The validity test on the current fields.
    bool HeaderValid() const;
    // Decodes a 32-bit header (first file byte in the top 8 bits) into the
    // header fields, using the current Length; returns HeaderValid().
    bool DecodeHeader(std::uint32_t header);

    QString GuessedArtist() const;
    QString GuessedTitle() const;
    QString ShortFileName() const;
    QDateTime FileDateTime() const; // invalid when FileDate is 0 or not a date

    QString GenreName() const { return genre_name(genre_nr_); }
    QString VersionName() const { return version_name(version_); }
    QString LayerName() const { return layer_name(layer_); }
    QString ModeName() const { return mode_name(mode_); }

    // Samples one frame carries for the current version and layer (0 when unknown).
    int SamplesPerFrame() const;

private:
    enum class Outcome { Accepted, NoFrame, IoError };

    void Reset();
    void ClearHeader();
    int AnalyseOnce();
    Outcome SearchFrames(FrameReader& reader);
    Outcome ReadXing(FrameReader& reader);
    Outcome ReadTag(FrameReader& reader);

    QString tag_id_;
    QString title_;
    QString artist_;
    QString album_;
    QString year_;
    QString comment_;
    std::uint8_t genre_nr_ = 255;
    std::uint8_t track_ = 0;
    std::uint16_t duration_s_ = 0;
    std::int32_t length_bytes_ = 0;    // the record's field: the size, at most 2^31 - 1
    std::int64_t file_size_bytes_ = 0; // the real size, where the tag is
    std::uint8_t version_ = 0;
    std::uint8_t layer_ = 0;
    std::int32_t sample_rate_hz_ = 0;
    std::int32_t bit_rate_kbps_ = 0;
    std::uint8_t mode_ = 0;
    bool copyright_ = false;
    bool original_ = false;
    bool error_prot_ = false;
    bool padding_ = false;
    std::uint16_t frame_length_bytes_ = 0;
    QString file_name_;
    std::uint32_t file_date_ = 0;
    std::uint32_t file_attr_ = 0;
    QString volume_label_;
    std::int32_t first_frame_pos_ = 0;

    std::int32_t search_limit_ = 0;
    QString default_artist_;
    QString default_title_;
    bool auto_load_ = true;
    TReadErrorEvent on_read_error_;
    QString macro_template_;
    QString macro_text_;
    std::function<void()> process_messages_;
    int last_result_ = 0;
};

// An owning list of records; each file is read as it is added.
class TMPEGAudioList : public QObject {
    Q_OBJECT
    Q_PROPERTY(int SearchLimit READ SearchLimit WRITE SetSearchLimit)
    Q_PROPERTY(QString DefaultArtist READ DefaultArtist WRITE SetDefaultArtist)
    Q_PROPERTY(QString DefaultTitle READ DefaultTitle WRITE SetDefaultTitle)

public:
    // Called after a record was appended, with the record, its file name and
    // two integers (both 1); false makes Add report -2 (the record stays).
    using TAddedEvent = std::function<bool(TMPEGAudio& record, const QString& file_name, int, int)>;

    explicit TMPEGAudioList(QObject* parent = nullptr);
    ~TMPEGAudioList() override;

    // The index of the new record; -2 when the handler answered Cancel or
    // OnAdded refused; -1 for any other failure (nothing is added then).
    int Add(const QString& file_name);
    int Count() const { return static_cast<int>(items_.size()); }
    TMPEGAudio* Item(int index) const;
    void Clear();

    std::int32_t SearchLimit() const { return search_limit_; }
    void SetSearchLimit(std::int32_t offset) { search_limit_ = offset; }
    QString DefaultArtist() const { return default_artist_; }
    void SetDefaultArtist(const QString& text) { default_artist_ = text.left(30); }
    QString DefaultTitle() const { return default_title_; }
    void SetDefaultTitle(const QString& text) { default_title_ = text.left(30); }
    const TReadErrorEvent& OnReadError() const { return on_read_error_; }
    void SetOnReadError(TReadErrorEvent handler) { on_read_error_ = std::move(handler); }
    const TAddedEvent& OnAdded() const { return on_added_; }
    void SetOnAdded(TAddedEvent handler) { on_added_ = std::move(handler); }
    const std::function<void()>& ProcessMessages() const { return process_messages_; }
    void SetProcessMessages(std::function<void()> hook) { process_messages_ = std::move(hook); }

    // The second wording of the dialog ("Error opening file: "); kept for a
    // host that wants it, the band does not use it.
    static TReadErrorEvent OpeningErrorHandler();

private:
    std::vector<std::unique_ptr<TMPEGAudio>> items_;
    std::int32_t search_limit_ = 0;
    QString default_artist_;
    QString default_title_;
    TReadErrorEvent on_read_error_;
    TAddedEvent on_added_;
    std::function<void()> process_messages_;
};

} // namespace pelu::mpeginfo
