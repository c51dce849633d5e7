#include "player/mpris.h"

#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <QUrl>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <optional>

namespace pelu::player {

namespace {

constexpr const char* kRootInterface = "org.mpris.MediaPlayer2";
constexpr const char* kPlayerInterface = "org.mpris.MediaPlayer2.Player";
constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";
constexpr const char* kTrackPathPrefix = "/org/pelu/track/";
// A row without an artist tag carries this text in its artist column.
constexpr const char* kNoTagArtist = "[notag]";

QString StatusText(MprisBand::Status status)
{
    switch (status) {
    case MprisBand::Status::Playing:
        return QStringLiteral("Playing");
    case MprisBand::Status::Paused:
        return QStringLiteral("Paused");
    case MprisBand::Status::Stopped:
        break;
    }
    return QStringLiteral("Stopped");
}

QString LoopText(bool loop_track)
{
    return loop_track ? QStringLiteral("Track") : QStringLiteral("None");
}

// One object-path element from any id: letters and digits stay, every other
// byte becomes _XX, so distinct ids give distinct paths.
QString PathElement(const QString& id)
{
    if (id.isEmpty())
        return QStringLiteral("unkeyed");
    QString element;
    for (const char byte : id.toUtf8()) {
        const auto c = static_cast<unsigned char>(byte);
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))
            element += QChar(c);
        else
            element += QStringLiteral("_%1").arg(c, 2, 16, QChar('0'));
    }
    return element;
}

} // namespace

// org.mpris.MediaPlayer2: who the player is and what it can do as a program.
class MprisRootAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2")
    Q_PROPERTY(bool CanQuit READ CanQuit)
    Q_PROPERTY(bool CanRaise READ CanRaise)
    Q_PROPERTY(bool CanSetFullscreen READ CanSetFullscreen)
    Q_PROPERTY(bool HasTrackList READ HasTrackList)
    Q_PROPERTY(QString Identity READ Identity)
    Q_PROPERTY(QString DesktopEntry READ DesktopEntry)
    Q_PROPERTY(QStringList SupportedUriSchemes READ SupportedUriSchemes)
    Q_PROPERTY(QStringList SupportedMimeTypes READ SupportedMimeTypes)
public:
    explicit MprisRootAdaptor(MprisService* service) : QDBusAbstractAdaptor(service), service_(service)
    {
        setAutoRelaySignals(false);
    }
    bool CanQuit() const { return true; }
    // The band lives in the browser's toolbar; it has no window of its own to raise.
    bool CanRaise() const { return false; }
    bool CanSetFullscreen() const { return false; }
    bool HasTrackList() const { return false; }
    QString Identity() const { return QStringLiteral("PELU"); }
    QString DesktopEntry() const { return QStringLiteral("pelu-browser"); }
    QStringList SupportedUriSchemes() const { return {QStringLiteral("file")}; }
    QStringList SupportedMimeTypes() const { return {QStringLiteral("audio/mpeg")}; }

public Q_SLOTS:
    void Raise() {}
    void Quit() { service_->QuitLater(); }

private:
    MprisService* service_;
};

// org.mpris.MediaPlayer2.Player: the transport, read from and handed to the band.
class MprisPlayerAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
    Q_PROPERTY(QString PlaybackStatus READ PlaybackStatus)
    Q_PROPERTY(QString LoopStatus READ LoopStatus WRITE SetLoopStatus)
    Q_PROPERTY(double Rate READ Rate WRITE SetRate)
    Q_PROPERTY(double MinimumRate READ MinimumRate)
    Q_PROPERTY(double MaximumRate READ MaximumRate)
    Q_PROPERTY(QVariantMap Metadata READ Metadata)
    Q_PROPERTY(double Volume READ Volume WRITE SetVolume)
    Q_PROPERTY(qlonglong Position READ Position)
    Q_PROPERTY(bool CanGoNext READ CanGoNext)
    Q_PROPERTY(bool CanGoPrevious READ CanGoPrevious)
    Q_PROPERTY(bool CanPlay READ CanPlay)
    Q_PROPERTY(bool CanPause READ CanPause)
    Q_PROPERTY(bool CanSeek READ CanSeek)
    Q_PROPERTY(bool CanControl READ CanControl)
public:
    explicit MprisPlayerAdaptor(MprisService* service)
        : QDBusAbstractAdaptor(service), service_(service), band_(service->band_)
    {
        setAutoRelaySignals(false);
    }
    // Calls still waiting for a dialog are answered: the player is going.
    ~MprisPlayerAdaptor() override
    {
        for (const QueuedOpen& open : std::as_const(queued_))
            service_->connection_.send(open.call.createErrorReply(QDBusError::errorString(QDBusError::Failed),
                                                                  QStringLiteral("The player is closing")));
    }

    QString PlaybackStatus() const { return StatusText(band_.PlaybackStatus()); }
    QString LoopStatus() const { return LoopText(band_.LoopTrack()); }
    // The band has one loop, the current track's. "Playlist" would read back
    // as something else than was asked, so it is refused like any other text:
    // the loop stays as it was (Qt D-Bus gives a property setter no way to
    // answer with an error).
    void SetLoopStatus(const QString& status)
    {
        if (status == QLatin1String("None"))
            band_.SetLoopTrack(false);
        else if (status == QLatin1String("Track"))
            band_.SetLoopTrack(true);
        else
            return;
        service_->StateChanged();
    }
    // The band plays at one speed only. A rate of 0 means "pause" to the
    // standard; every other rate is ignored.
    double Rate() const { return 1.0; }
    void SetRate(double rate)
    {
        if (rate == 0.0 && band_.CanPause() && band_.PlaybackStatus() == MprisBand::Status::Playing) {
            band_.Pause();
            service_->StateChanged();
        }
    }
    double MinimumRate() const { return 1.0; }
    double MaximumRate() const { return 1.0; }
    QVariantMap Metadata() const { return MprisService::MetadataOf(band_.CurrentTrack()); }
    double Volume() const { return band_.Volume(); }
    void SetVolume(double volume)
    {
        if (std::isnan(volume))
            return;
        band_.SetVolume(std::clamp(volume, 0.0, 1.0));
        service_->StateChanged();
    }
    qlonglong Position() const { return band_.PositionMs() * 1000; }
    bool CanGoNext() const { return band_.CanGoNext(); }
    bool CanGoPrevious() const { return band_.CanGoPrevious(); }
    bool CanPlay() const { return band_.CanPlay(); }
    bool CanPause() const { return band_.CanPause(); }
    bool CanSeek() const { return band_.CanSeek(); }
    bool CanControl() const { return true; }

public Q_SLOTS:
    void Next()
    {
        if (band_.CanGoNext())
            band_.Next();
        service_->StateChanged();
    }
    void Previous()
    {
        if (band_.CanGoPrevious())
            band_.Previous();
        service_->StateChanged();
    }
    void Pause()
    {
        if (band_.CanPause())
            band_.Pause();
        service_->StateChanged();
    }
    // A play/pause media key on a stopped band starts playing, so the toggle
    // also goes through when only Play is possible.
    void PlayPause()
    {
        if (band_.CanPause() || band_.CanPlay())
            band_.PlayPause();
        service_->StateChanged();
    }
    void Stop()
    {
        band_.Stop();
        service_->StateChanged();
    }
    void Play()
    {
        if (band_.CanPlay())
            band_.Play();
        service_->StateChanged();
    }
    void Seek(qlonglong Offset)
    {
        const MprisBand::Track track = band_.CurrentTrack();
        if (!track.valid || !band_.CanSeek())
            return;
        qint64 target_ms = band_.PositionMs() + Offset / 1000;
        if (target_ms < 0)
            target_ms = 0;
        if (track.length_ms > 0 && target_ms > track.length_ms) {
            // Past the end the track is over: the next row starts. On the last
            // row the file is run to its end, so it ends (or loops) as it
            // would have by itself.
            if (band_.CanGoNext())
                band_.Next();
            else
                band_.SeekToMs(track.length_ms);
        } else {
            band_.SeekToMs(target_ms);
        }
        service_->StateChanged();
    }
    void SetPosition(const QDBusObjectPath& TrackId, qlonglong Position)
    {
        const MprisBand::Track track = band_.CurrentTrack();
        // A request for a track that is no longer current is stale: ignored.
        if (!track.valid || !band_.CanSeek() || TrackId.path() != MprisService::TrackIdPath(track))
            return;
        if (Position < 0 || (track.length_ms > 0 && Position > track.length_ms * 1000))
            return;
        band_.SeekToMs(Position / 1000);
        service_->StateChanged();
    }
    void OpenUri(const QString& Uri)
    {
        if (band_.InModalLoop() || !queued_.isEmpty()) {
            // Answered once the dialog's loop has returned, in the order asked.
            service_->setDelayedReply(true);
            queued_.append({service_->message(), Uri});
            if (!queue_timer_) {
                queue_timer_ = new QTimer(this);
                queue_timer_->setInterval(kQueueRetryMs);
                connect(queue_timer_, &QTimer::timeout, this, &MprisPlayerAdaptor::RunQueued);
            }
            queue_timer_->start();
            return;
        }
        if (const std::optional<CallError> error = OpenUriNow(Uri))
            service_->FailCall(error->name, error->text);
    }

Q_SIGNALS:
    void Seeked(qlonglong Position);

private:
    struct CallError {
        QString name;
        QString text;
    };
    struct QueuedOpen {
        QDBusMessage call;
        QString uri;
    };
    static constexpr int kQueueRetryMs = 50;

    std::optional<CallError> OpenUriNow(const QString& Uri)
    {
        const QUrl url(Uri, QUrl::StrictMode);
        if (!url.isValid() || url.scheme() != QLatin1String("file")
            || !(url.host().isEmpty() || url.host() == QLatin1String("localhost")))
            return CallError{QDBusError::errorString(QDBusError::NotSupported),
                             QStringLiteral("Only local file:// URIs can be opened: %1").arg(Uri)};
        // file://localhost/x names the same file as file:///x.
        QUrl local = url;
        local.setHost(QString());
        const QString path = local.toLocalFile();
        const QFileInfo info(path);
        if (!QDir::isAbsolutePath(path) || !info.exists() || !info.isFile())
            return CallError{QStringLiteral("org.freedesktop.DBus.Error.FileNotFound"),
                             QStringLiteral("No such file: %1").arg(path)};
        if (!info.isReadable())
            return CallError{QDBusError::errorString(QDBusError::AccessDenied), QStringLiteral("Cannot read %1").arg(path)};
        QString reason;
        const bool started = band_.OpenFile(info.absoluteFilePath(), reason);
        service_->StateChanged();
        if (started)
            return std::nullopt;
        // A file the band cannot read is of a type it does not support; one it
        // read but could not start is a failure.
        if (!reason.isEmpty())
            return CallError{QDBusError::errorString(QDBusError::NotSupported), reason};
        return CallError{QDBusError::errorString(QDBusError::Failed), QStringLiteral("Cannot play %1").arg(path)};
    }

    void RunQueued()
    {
        if (band_.InModalLoop())
            return;
        queue_timer_->stop();
        while (!queued_.isEmpty() && !band_.InModalLoop()) {
            const QueuedOpen next = queued_.takeFirst();
            const std::optional<CallError> error = OpenUriNow(next.uri);
            service_->connection_.send(error ? next.call.createErrorReply(error->name, error->text)
                                             : next.call.createReply());
        }
        if (!queued_.isEmpty())
            queue_timer_->start();
    }

    QList<QueuedOpen> queued_;
    QTimer* queue_timer_ = nullptr;
    MprisService* service_;
    MprisBand& band_;
};

MprisService::MprisService(MprisBand& band, QDBusConnection connection, QObject* parent)
    : QObject(parent), band_(band), connection_(std::move(connection))
{
    // No session bus: the band works as before, and nothing is said about it.
    if (!connection_.isConnected())
        return;
    root_adaptor_ = new MprisRootAdaptor(this);
    player_adaptor_ = new MprisPlayerAdaptor(this);
    if (!connection_.registerObject(QString::fromLatin1(kObjectPath), this,
                                    QDBusConnection::ExportAdaptors))
        return;
    // The object is in place before the name appears, so a client that sees
    // the name can talk to it at once.
    QString name = QString::fromLatin1(kServiceName);
    if (!connection_.registerService(name)) {
        name += QStringLiteral(".instance%1").arg(::getpid());
        if (!connection_.registerService(name)) {
            connection_.unregisterObject(QString::fromLatin1(kObjectPath));
            return;
        }
    }
    service_name_ = name;
    announced_ = ReadBand();
    registered_ = true;
}

MprisService::~MprisService()
{
    if (!registered_)
        return;
    connection_.unregisterService(service_name_);
    connection_.unregisterObject(QString::fromLatin1(kObjectPath));
}

MprisService::Announced MprisService::ReadBand() const
{
    Announced now;
    now.playback_status = StatusText(band_.PlaybackStatus());
    now.loop_status = LoopText(band_.LoopTrack());
    now.track = band_.CurrentTrack();
    now.volume = band_.Volume();
    now.can_go_next = band_.CanGoNext();
    now.can_go_previous = band_.CanGoPrevious();
    now.can_play = band_.CanPlay();
    now.can_pause = band_.CanPause();
    now.can_seek = band_.CanSeek();
    return now;
}

void MprisService::StateChanged()
{
    if (!registered_)
        return;
    const Announced now = ReadBand();
    QVariantMap changed;
    if (now.playback_status != announced_.playback_status)
        changed.insert(QStringLiteral("PlaybackStatus"), now.playback_status);
    if (now.loop_status != announced_.loop_status)
        changed.insert(QStringLiteral("LoopStatus"), now.loop_status);
    if (!(now.track == announced_.track))
        changed.insert(QStringLiteral("Metadata"), MetadataOf(now.track));
    if (now.volume != announced_.volume)
        changed.insert(QStringLiteral("Volume"), now.volume);
    if (now.can_go_next != announced_.can_go_next)
        changed.insert(QStringLiteral("CanGoNext"), now.can_go_next);
    if (now.can_go_previous != announced_.can_go_previous)
        changed.insert(QStringLiteral("CanGoPrevious"), now.can_go_previous);
    if (now.can_play != announced_.can_play)
        changed.insert(QStringLiteral("CanPlay"), now.can_play);
    if (now.can_pause != announced_.can_pause)
        changed.insert(QStringLiteral("CanPause"), now.can_pause);
    if (now.can_seek != announced_.can_seek)
        changed.insert(QStringLiteral("CanSeek"), now.can_seek);
    announced_ = now;
    if (changed.isEmpty())
        return;
    QDBusMessage signal = QDBusMessage::createSignal(QString::fromLatin1(kObjectPath),
                                                     QString::fromLatin1(kPropertiesInterface),
                                                     QStringLiteral("PropertiesChanged"));
    signal << QString::fromLatin1(kPlayerInterface) << changed << QStringList();
    connection_.send(signal);
}

void MprisService::Seeked(qint64 position_ms)
{
    if (registered_)
        emit player_adaptor_->Seeked(position_ms * 1000);
}

QString MprisService::TrackIdPath(const MprisBand::Track& track)
{
    if (!track.valid)
        return QString::fromLatin1(kNoTrackPath);
    return QString::fromLatin1(kTrackPathPrefix) + PathElement(track.id);
}

QVariantMap MprisService::MetadataOf(const MprisBand::Track& track)
{
    QVariantMap metadata;
    metadata.insert(QStringLiteral("mpris:trackid"), QVariant::fromValue(QDBusObjectPath(TrackIdPath(track))));
    if (!track.valid)
        return metadata;
    if (track.length_ms > 0)
        metadata.insert(QStringLiteral("mpris:length"), qlonglong(track.length_ms * 1000));
    if (!track.path.isEmpty())
        metadata.insert(QStringLiteral("xesam:url"),
                        QString::fromLatin1(QUrl::fromLocalFile(track.path).toEncoded(QUrl::FullyEncoded)));
    metadata.insert(QStringLiteral("xesam:title"), track.title);
    if (!track.artist.isEmpty() && track.artist != QLatin1String(kNoTagArtist))
        metadata.insert(QStringLiteral("xesam:artist"), QStringList{track.artist});
    if (!track.album.isEmpty())
        metadata.insert(QStringLiteral("xesam:album"), track.album);
    if (!track.art_url.isEmpty())
        metadata.insert(QStringLiteral("mpris:artUrl"), track.art_url);
    return metadata;
}

void MprisService::FailCall(const QString& error_name, const QString& text) const
{
    if (calledFromDBus())
        sendErrorReply(error_name, text);
}

void MprisService::QuitLater()
{
    // Quit may destroy the band and this service with it: it runs after the
    // call has been answered, from the application's own event rather than
    // one of this object's, and not at all once the service is gone.
    QPointer<MprisService> self(this);
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self] {
            if (self)
                self->band_.Quit();
        },
        Qt::QueuedConnection);
}

} // namespace pelu::player

#include "mpris.moc"
