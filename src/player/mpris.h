// The band's remote control on the session bus: the MPRIS2 media-player
// service (org.mpris.MediaPlayer2 and org.mpris.MediaPlayer2.Player at
// /org/mpris/MediaPlayer2), so media keys, desktop widgets and playerctl drive
// the band. The service owns no player state: it reads everything from the
// band (MprisBand) and turns every command into one of the band's own
// handlers, so the band keeps one state machine.
//
// Thread: the main thread only. The service lives there, so Qt D-Bus delivers
// incoming calls and property writes through the main thread's event loop;
// the band calls StateChanged() and Seeked() from its handlers there too. No
// lock is needed. Without a session bus the service does nothing at all.
#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>
#include <QString>
#include <QVariantMap>

namespace pelu::player {

// What the MPRIS service reads from and asks of the band. Every command acts
// through the form's own handlers, so the band keeps one state machine.
// The service never calls a command whose Can* says no (see MprisService).
class MprisBand {
public:
    enum class Status { Playing, Paused, Stopped };
    struct Track {
        bool valid = false;   // false: no current title
        QString id;           // the row's own id, never reused while the band lives -> mpris:trackid
        qint64 length_ms = 0; // -> mpris:length in microseconds (left out when 0)
        QString path;         // absolute path -> xesam:url (file:// URL, percent-encoded)
        QString title;        // the row's name -> xesam:title
        QString artist;       // the artist column; "" or "[notag]" -> no xesam:artist (a list)
        QString album;        // "" when unknown -> xesam:album when not empty
        QString art_url;      // "" when none -> mpris:artUrl when not empty
        friend bool operator==(const Track&, const Track&) = default;
    };
    virtual ~MprisBand() = default;
    virtual Status PlaybackStatus() const = 0;
    virtual bool LoopTrack() const = 0;
    virtual Track CurrentTrack() const = 0;
    virtual qint64 PositionMs() const = 0; // what is heard, not what is decoded
    virtual double Volume() const = 0; // 0.0 .. 1.0
    virtual bool CanGoNext() const = 0;
    virtual bool CanGoPrevious() const = 0;
    virtual bool CanPlay() const = 0;
    virtual bool CanPause() const = 0;
    virtual bool CanSeek() const = 0;
    virtual void Play() = 0;      // the Play button (resumes when paused; nothing while playing)
    virtual void Pause() = 0;     // the Pause button when it would pause; else nothing
    virtual void PlayPause() = 0; // pause when playing, resume when paused, else Play
    virtual void Stop() = 0;
    // The next / previous row, in the state the band is in: playing plays it,
    // paused holds it paused, stopped makes it the current title unstarted.
    virtual void Next() = 0;
    virtual void Previous() = 0;
    // Absolute; the band clamps. The band announces the jump itself through
    // MprisService::Seeked, as it does for every other jump (slider, steps),
    // so a jump is announced exactly once whoever asked for it.
    virtual void SeekToMs(qint64 position_ms) = 0;
    // Add at the end as "Load Files" does, start it. False, with the reason,
    // when the file could not be added or started. Never shows a dialog.
    virtual bool OpenFile(const QString& path, QString& reason) = 0;
    // A dialog's loop is running: calls that change the playlist wait until it
    // has returned rather than run inside it.
    virtual bool InModalLoop() const { return false; }
    virtual void SetLoopTrack(bool on) = 0;
    virtual void SetVolume(double volume) = 0;
    // May end the band: the service calls it only from its own event, never
    // inside the D-Bus call that asked for it.
    virtual void Quit() = 0;
};

class MprisRootAdaptor;
class MprisPlayerAdaptor;

class MprisService : public QObject, protected QDBusContext {
    Q_OBJECT
public:
    static constexpr const char* kObjectPath = "/org/mpris/MediaPlayer2";
    static constexpr const char* kServiceName = "org.mpris.MediaPlayer2.pelu";
    static constexpr const char* kNoTrackPath = "/org/mpris/MediaPlayer2/TrackList/NoTrack";

    // Registers at once when `connection` is connected; otherwise stays idle.
    explicit MprisService(MprisBand& band,
                          QDBusConnection connection = QDBusConnection::sessionBus(),
                          QObject* parent = nullptr);
    ~MprisService() override;

    bool IsRegistered() const { return registered_; }
    // The bus name owned: kServiceName, or kServiceName + ".instance<pid>"
    // when another player holds the plain one; "" when not registered.
    QString ServiceName() const { return service_name_; }

    // The band calls this after anything that may have changed a property;
    // one PropertiesChanged carries exactly the properties that differ from
    // what was last announced (never Position).
    void StateChanged();
    // The play position jumped (not by playing on): emits Seeked.
    void Seeked(qint64 position_ms);

    // The trackid object path of a track (NoTrack without a title): one per id.
    static QString TrackIdPath(const MprisBand::Track& track);
    // The Metadata map of a track, as sent on the bus.
    static QVariantMap MetadataOf(const MprisBand::Track& track);

private:
    friend class MprisRootAdaptor;
    friend class MprisPlayerAdaptor;

    // What the Player properties last read as on the bus.
    struct Announced {
        QString playback_status;
        QString loop_status;
        MprisBand::Track track;
        double volume = 0.0;
        bool can_go_next = false;
        bool can_go_previous = false;
        bool can_play = false;
        bool can_pause = false;
        bool can_seek = false;
    };
    Announced ReadBand() const;
    // Fails the D-Bus call being handled with `error_name` (no effect outside one).
    void FailCall(const QString& error_name, const QString& text) const;
    void QuitLater();

    MprisBand& band_;
    QDBusConnection connection_;
    MprisRootAdaptor* root_adaptor_ = nullptr;
    MprisPlayerAdaptor* player_adaptor_ = nullptr;
    bool registered_ = false;
    QString service_name_;
    Announced announced_;
};

} // namespace pelu::player
