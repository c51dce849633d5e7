// The MPRIS2 service on a private session bus (a real dbus-daemon), driven
// from a second connection as any desktop client would drive it. The band
// behind it is a recording stand-in that keeps the same contract as the form.
#include "player/mpris.h"
#include "dbus_client.h"
#include "mp3_fixtures.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QPointer>
#include <QProcess>
#include <QUrl>

#include <unistd.h>

#include <functional>
#include <memory>

namespace pelu::player {
namespace {

constexpr const char* kPath = "/org/mpris/MediaPlayer2";
constexpr const char* kServiceFallback = "org.mpris.MediaPlayer2.pelu";
constexpr const char* kRoot = "org.mpris.MediaPlayer2";
constexpr const char* kPlayer = "org.mpris.MediaPlayer2.Player";
constexpr const char* kProperties = "org.freedesktop.DBus.Properties";

using test::AsMap;
using test::BusClient;
using test::PrivateBus;
using test::SignalLog;


// The band as the service sees it: state the test sets, and a log of every
// command. Commands change the state the way the form's handlers would.
class RecordingBand : public MprisBand {
public:
    Status status = Status::Stopped;
    bool loop = false;
    Track track;
    qint64 position_ms = 0;
    double volume = 0.75;
    bool can_go_next = true;
    bool can_go_previous = true;
    bool can_play = true;
    bool can_pause = true;
    bool can_seek = true;
    bool open_result = true;
    std::function<void()> on_quit;
    QStringList calls;

    Status PlaybackStatus() const override { return status; }
    bool LoopTrack() const override { return loop; }
    Track CurrentTrack() const override { return track; }
    qint64 PositionMs() const override { return position_ms; }
    double Volume() const override { return volume; }
    bool CanGoNext() const override { return can_go_next; }
    bool CanGoPrevious() const override { return can_go_previous; }
    bool CanPlay() const override { return can_play; }
    bool CanPause() const override { return can_pause; }
    bool CanSeek() const override { return can_seek; }
    void Play() override { calls << "Play"; status = Status::Playing; }
    void Pause() override
    {
        calls << "Pause";
        if (status == Status::Playing)
            status = Status::Paused;
    }
    void PlayPause() override
    {
        calls << "PlayPause";
        status = status == Status::Playing ? Status::Paused : Status::Playing;
    }
    void Stop() override { calls << "Stop"; status = Status::Stopped; }
    void Next() override { calls << "Next"; }
    void Previous() override { calls << "Previous"; }
    void SeekToMs(qint64 ms) override
    {
        calls << QStringLiteral("SeekToMs %1").arg(ms);
        position_ms = std::clamp<qint64>(ms, 0, track.length_ms);
    }
    bool OpenFile(const QString& path, QString&) override
    {
        calls << QStringLiteral("OpenFile %1").arg(path);
        return open_result;
    }
    void SetLoopTrack(bool on) override
    {
        calls << QStringLiteral("SetLoopTrack %1").arg(on);
        loop = on;
    }
    void SetVolume(double v) override
    {
        calls << QStringLiteral("SetVolume %1").arg(v);
        volume = v;
    }
    void Quit() override
    {
        calls << "Quit";
        if (on_quit)
            on_quit();
    }
};

MprisBand::Track SongTrack()
{
    MprisBand::Track track;
    track.valid = true;
    track.id = QStringLiteral("42");
    track.length_ms = 180000;
    track.path = QStringLiteral("/music/Night Songs/Été 01.mp3");
    track.title = QStringLiteral("Été 01");
    track.artist = QStringLiteral("The Band");
    track.album = QStringLiteral("Night Songs");
    return track;
}

class MprisTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { bus_ = new PrivateBus; }
    static void TearDownTestSuite()
    {
        delete bus_;
        bus_ = nullptr;
    }

    void SetUp() override
    {
        ASSERT_FALSE(bus_->address().isEmpty()) << "dbus-daemon did not start";
        ++counter_;
        server_name_ = QStringLiteral("mpris-server-%1").arg(counter_);
        client_name_ = QStringLiteral("mpris-client-%1").arg(counter_);
        QDBusConnection server = QDBusConnection::connectToBus(bus_->address(), server_name_);
        ASSERT_TRUE(server.isConnected());
        client_ = std::make_unique<BusClient>(bus_->address(), client_name_, QString(kServiceFallback), QString(kPath));
        ASSERT_TRUE(client_->connection().isConnected());
        band_.track = SongTrack();
        band_.position_ms = 10000;
        service_ = std::make_unique<MprisService>(band_, server);
        ASSERT_TRUE(service_->IsRegistered());
        target_ = service_->ServiceName();
        client_->SetService(target_);
    }

    void TearDown() override
    {
        service_.reset();
        client_.reset();
        QDBusConnection::disconnectFromBus(server_name_);
    }

    QDBusMessage Call(const QString& interface, const QString& method, const QVariantList& args = {})
    {
        return client_->Call(interface, method, args);
    }
    QVariant Get(const QString& interface, const QString& name) { return client_->Get(interface, name); }
    QDBusMessage Set(const QString& interface, const QString& name, const QVariant& value)
    {
        return client_->Set(interface, name, value);
    }
    QVariantMap Metadata() { return AsMap(Get(kPlayer, QStringLiteral("Metadata"))); }

    // Connects `log` to a signal of the service and makes sure the bus has
    // the match rule before the test goes on.
    void Listen(SignalLog& log, const QString& interface, const QString& name)
    {
        ASSERT_TRUE(client_->Listen(&log, SLOT(Record(QDBusMessage)), interface, name, kRoot));
    }

    static PrivateBus* bus_;
    static int counter_;
    QString server_name_;
    QString client_name_;
    std::unique_ptr<BusClient> client_;
    RecordingBand band_;
    std::unique_ptr<MprisService> service_;
    QString target_;
};

PrivateBus* MprisTest::bus_ = nullptr;
int MprisTest::counter_ = 0;

TEST_F(MprisTest, RootAndConstantPropertiesDescribeTheBand)
{
    EXPECT_EQ(service_->ServiceName(), QStringLiteral("org.mpris.MediaPlayer2.pelu"));
    EXPECT_EQ(Get(kRoot, "Identity").toString(), "PELU");
    EXPECT_EQ(Get(kRoot, "DesktopEntry").toString(), "pelu-browser");
    EXPECT_EQ(Get(kRoot, "CanQuit").toBool(), true);
    EXPECT_EQ(Get(kRoot, "CanRaise").toBool(), false);
    EXPECT_EQ(Get(kRoot, "CanSetFullscreen").toBool(), false);
    EXPECT_EQ(Get(kRoot, "HasTrackList").toBool(), false);
    EXPECT_EQ(Get(kRoot, "SupportedUriSchemes").toStringList(), QStringList{"file"});
    EXPECT_EQ(Get(kRoot, "SupportedMimeTypes").toStringList(), QStringList{"audio/mpeg"});
    EXPECT_EQ(Get(kPlayer, "Rate").toDouble(), 1.0);
    EXPECT_EQ(Get(kPlayer, "MinimumRate").toDouble(), 1.0);
    EXPECT_EQ(Get(kPlayer, "MaximumRate").toDouble(), 1.0);
    EXPECT_EQ(Get(kPlayer, "CanControl").toBool(), true);

    // No shuffle: the property is not there at all.
    const QDBusMessage shuffle = Call(kProperties, "Get", {QString(kPlayer), QString("Shuffle")});
    EXPECT_EQ(shuffle.type(), QDBusMessage::ErrorMessage);

    // GetAll lists the Player interface's properties with their bus types.
    const QDBusMessage all = Call(kProperties, "GetAll", {QString(kPlayer)});
    ASSERT_EQ(all.type(), QDBusMessage::ReplyMessage);
    const QVariantMap properties = AsMap(all.arguments().at(0));
    for (const char* name : {"PlaybackStatus", "LoopStatus", "Rate", "Metadata", "Volume", "Position",
                             "MinimumRate", "MaximumRate", "CanGoNext", "CanGoPrevious", "CanPlay",
                             "CanPause", "CanSeek", "CanControl"})
        EXPECT_TRUE(properties.contains(name)) << name;
    EXPECT_FALSE(properties.contains("Shuffle"));
    EXPECT_EQ(properties.value("Position").metaType(), QMetaType::fromType<qlonglong>());

    // Introspection offers both interfaces and the Seeked signal, which
    // clients built from the XML need.
    const QDBusMessage xml = Call("org.freedesktop.DBus.Introspectable", "Introspect");
    const QString text = xml.arguments().value(0).toString();
    EXPECT_TRUE(text.contains("interface name=\"org.mpris.MediaPlayer2\"")) << text.toStdString();
    EXPECT_TRUE(text.contains("interface name=\"org.mpris.MediaPlayer2.Player\""));
    EXPECT_TRUE(text.contains("signal name=\"Seeked\""));
    EXPECT_TRUE(text.contains("property name=\"Metadata\" type=\"a{sv}\" access=\"read\""));
}

TEST_F(MprisTest, StateAndPositionAreReadFromTheBand)
{
    band_.status = MprisBand::Status::Paused;
    band_.position_ms = 61500;
    band_.can_go_previous = false;
    EXPECT_EQ(Get(kPlayer, "PlaybackStatus").toString(), "Paused");
    EXPECT_EQ(Get(kPlayer, "Position").toLongLong(), 61500000);
    EXPECT_EQ(Get(kPlayer, "CanGoPrevious").toBool(), false);
    EXPECT_EQ(Get(kPlayer, "CanGoNext").toBool(), true);
    band_.status = MprisBand::Status::Stopped;
    EXPECT_EQ(Get(kPlayer, "PlaybackStatus").toString(), "Stopped");
    band_.status = MprisBand::Status::Playing;
    EXPECT_EQ(Get(kPlayer, "PlaybackStatus").toString(), "Playing");
}

TEST_F(MprisTest, TransportMethodsReachTheBandOnlyWhenAllowed)
{
    for (const char* method : {"Play", "Pause", "PlayPause", "Stop", "Next", "Previous"})
        EXPECT_EQ(Call(kPlayer, method).type(), QDBusMessage::ReplyMessage) << method;
    EXPECT_EQ(band_.calls, (QStringList{"Play", "Pause", "PlayPause", "Stop", "Next", "Previous"}));

    // At either end of the playlist, and with nothing to play or pause,
    // the calls have no effect; Stop always reaches the band.
    band_.calls.clear();
    band_.can_go_next = false;
    band_.can_go_previous = false;
    band_.can_play = false;
    band_.can_pause = false;
    for (const char* method : {"Play", "Pause", "PlayPause", "Next", "Previous", "Stop"})
        EXPECT_EQ(Call(kPlayer, method).type(), QDBusMessage::ReplyMessage) << method;
    EXPECT_EQ(band_.calls, QStringList{"Stop"});

    // A stopped band that can play but not pause still starts on PlayPause
    // (the media key's toggle).
    band_.calls.clear();
    band_.can_play = true;
    Call(kPlayer, "PlayPause");
    EXPECT_EQ(band_.calls, QStringList{"PlayPause"});
}

TEST_F(MprisTest, SeekIsRelativeAndClampedAtBothEnds)
{
    band_.position_ms = 10000;
    Call(kPlayer, "Seek", {qlonglong(5000000)});
    EXPECT_EQ(band_.calls.last(), "SeekToMs 15000");
    Call(kPlayer, "Seek", {qlonglong(-3000000)});
    EXPECT_EQ(band_.calls.last(), "SeekToMs 12000");
    Call(kPlayer, "Seek", {qlonglong(-20000000)});
    EXPECT_EQ(band_.calls.last(), "SeekToMs 0");

    // Past the end: the next row, as if the track had ended.
    band_.position_ms = 170000;
    Call(kPlayer, "Seek", {qlonglong(30000000)});
    EXPECT_EQ(band_.calls.last(), "Next");
    // On the last row the file runs to its end instead.
    band_.can_go_next = false;
    Call(kPlayer, "Seek", {qlonglong(30000000)});
    EXPECT_EQ(band_.calls.last(), "SeekToMs 180000");

    // Nothing to seek in: no effect.
    band_.calls.clear();
    band_.can_seek = false;
    Call(kPlayer, "Seek", {qlonglong(1000000)});
    band_.can_seek = true;
    band_.track = MprisBand::Track{};
    Call(kPlayer, "Seek", {qlonglong(1000000)});
    EXPECT_TRUE(band_.calls.isEmpty()) << band_.calls.join(", ").toStdString();
}

TEST_F(MprisTest, SetPositionOnlyForTheCurrentTrackAndWithinIt)
{
    const QVariant current = QVariant::fromValue(QDBusObjectPath("/org/pelu/track/42"));
    const QVariant stale = QVariant::fromValue(QDBusObjectPath("/org/pelu/track/41"));
    Call(kPlayer, "SetPosition", {current, qlonglong(90500000)});
    EXPECT_EQ(band_.calls, QStringList{"SeekToMs 90500"});

    band_.calls.clear();
    Call(kPlayer, "SetPosition", {stale, qlonglong(1000000)});
    Call(kPlayer, "SetPosition", {current, qlonglong(-1)});
    Call(kPlayer, "SetPosition", {current, qlonglong(180000001)});
    EXPECT_TRUE(band_.calls.isEmpty()) << band_.calls.join(", ").toStdString();

    // The very end is still inside the track.
    Call(kPlayer, "SetPosition", {current, qlonglong(180000000)});
    EXPECT_EQ(band_.calls, QStringList{"SeekToMs 180000"});
}

TEST_F(MprisTest, OpenUriTakesExistingLocalFilesOnly)
{
    pelu::test::TempDir dir;
    const auto song = dir.write("Été & friends #1.mp3", pelu::test::encode_mp3(pelu::test::cbr128_stereo_44k(0.2)));
    const QString path = QString::fromStdString(song.string());
    const QString uri = QString::fromLatin1(QUrl::fromLocalFile(path).toEncoded());
    ASSERT_TRUE(uri.contains("%23")) << uri.toStdString(); // '#' percent-encoded, or it would be a fragment

    QDBusMessage reply = Call(kPlayer, "OpenUri", {uri});
    EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    EXPECT_EQ(band_.calls, QStringList{"OpenFile " + path});

    band_.calls.clear();
    reply = Call(kPlayer, "OpenUri", {QString("http://example.org/song.mp3")});
    EXPECT_EQ(reply.type(), QDBusMessage::ErrorMessage);
    EXPECT_EQ(reply.errorName(), QDBusError::errorString(QDBusError::NotSupported));
    reply = Call(kPlayer, "OpenUri", {QString("file://otherhost") + QUrl::fromLocalFile(path).path()});
    EXPECT_EQ(reply.errorName(), QDBusError::errorString(QDBusError::NotSupported));
    reply = Call(kPlayer, "OpenUri", {QString::fromLatin1(QUrl::fromLocalFile(path + ".missing").toEncoded())});
    EXPECT_EQ(reply.type(), QDBusMessage::ErrorMessage);
    EXPECT_EQ(reply.errorName(), QStringLiteral("org.freedesktop.DBus.Error.FileNotFound"));
    reply = Call(kPlayer, "OpenUri", {QString::fromLatin1(QUrl::fromLocalFile(dir.path().c_str()).toEncoded())});
    EXPECT_EQ(reply.errorName(), QStringLiteral("org.freedesktop.DBus.Error.FileNotFound"));
    reply = Call(kPlayer, "OpenUri", {QString("not a uri at all")});
    EXPECT_EQ(reply.type(), QDBusMessage::ErrorMessage);
    EXPECT_TRUE(band_.calls.isEmpty()) << band_.calls.join(", ").toStdString();

    // The local host named: the same file.
    reply = Call(kPlayer, "OpenUri", {"file://localhost" + uri.mid(int(qstrlen("file://")))});
    EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    EXPECT_EQ(band_.calls, QStringList{"OpenFile " + path});
    band_.calls.clear();

    // The band could not start it: the caller hears so.
    band_.open_result = false;
    reply = Call(kPlayer, "OpenUri", {uri});
    EXPECT_EQ(reply.type(), QDBusMessage::ErrorMessage);
    EXPECT_EQ(reply.errorName(), QDBusError::errorString(QDBusError::Failed));
    EXPECT_EQ(band_.calls, QStringList{"OpenFile " + path});
}

TEST_F(MprisTest, LoopStatusTogglesTheLoopTrackItem)
{
    EXPECT_EQ(Get(kPlayer, "LoopStatus").toString(), "None");
    EXPECT_EQ(Set(kPlayer, "LoopStatus", QString("Track")).type(), QDBusMessage::ReplyMessage);
    EXPECT_TRUE(band_.loop);
    EXPECT_EQ(Get(kPlayer, "LoopStatus").toString(), "Track");
    Set(kPlayer, "LoopStatus", QString("None"));
    EXPECT_FALSE(band_.loop);
    EXPECT_EQ(Get(kPlayer, "LoopStatus").toString(), "None");

    // The band loops only a track: a playlist loop, or anything that is not a
    // loop status, is refused and the loop stays as it was, either way.
    band_.calls.clear();
    for (bool loop : {false, true}) {
        band_.loop = loop;
        for (const char* refused : {"Playlist", "Forever", "none"})
            Set(kPlayer, "LoopStatus", QString(refused));
        EXPECT_EQ(band_.loop, loop);
        EXPECT_EQ(Get(kPlayer, "LoopStatus").toString(), loop ? "Track" : "None");
    }
    EXPECT_TRUE(band_.calls.isEmpty()) << band_.calls.join(", ").toStdString();
}

TEST_F(MprisTest, VolumeIsSetOnTheBandAndClamped)
{
    EXPECT_DOUBLE_EQ(Get(kPlayer, "Volume").toDouble(), 0.75);
    Set(kPlayer, "Volume", 0.5);
    EXPECT_DOUBLE_EQ(band_.volume, 0.5);
    EXPECT_DOUBLE_EQ(Get(kPlayer, "Volume").toDouble(), 0.5);
    Set(kPlayer, "Volume", 1.7);
    EXPECT_DOUBLE_EQ(band_.volume, 1.0);
    Set(kPlayer, "Volume", -0.3);
    EXPECT_DOUBLE_EQ(band_.volume, 0.0);

    // Rate stays 1; a rate of 0 pauses, as the standard asks.
    band_.status = MprisBand::Status::Playing;
    band_.calls.clear();
    Set(kPlayer, "Rate", 2.0);
    EXPECT_TRUE(band_.calls.isEmpty());
    Set(kPlayer, "Rate", 0.0);
    EXPECT_EQ(band_.calls, QStringList{"Pause"});
    EXPECT_EQ(Get(kPlayer, "Rate").toDouble(), 1.0);
}

TEST_F(MprisTest, MetadataDescribesTheCurrentRow)
{
    QVariantMap metadata = Metadata();
    EXPECT_EQ(metadata.value("mpris:trackid").value<QDBusObjectPath>().path(), "/org/pelu/track/42");
    EXPECT_EQ(metadata.value("mpris:length").metaType(), QMetaType::fromType<qlonglong>());
    EXPECT_EQ(metadata.value("mpris:length").toLongLong(), 180000000);
    EXPECT_EQ(metadata.value("xesam:url").toString(), "file:///music/Night%20Songs/%C3%89t%C3%A9%2001.mp3");
    EXPECT_EQ(metadata.value("xesam:title").toString(), QStringLiteral("Été 01"));
    EXPECT_EQ(metadata.value("xesam:artist").toStringList(), QStringList{"The Band"});
    EXPECT_EQ(metadata.value("xesam:album").toString(), "Night Songs");
    EXPECT_FALSE(metadata.contains("mpris:artUrl"));

    // A row without an artist tag has no artist on the bus.
    band_.track.artist = QStringLiteral("[notag]");
    band_.track.album.clear();
    metadata = Metadata();
    EXPECT_FALSE(metadata.contains("xesam:artist"));
    EXPECT_FALSE(metadata.contains("xesam:album"));
    EXPECT_EQ(metadata.value("xesam:title").toString(), QStringLiteral("Été 01"));
    band_.track.artist.clear();
    EXPECT_FALSE(Metadata().contains("xesam:artist"));

    // No current title: only the NoTrack id.
    band_.track = MprisBand::Track{};
    metadata = Metadata();
    EXPECT_EQ(metadata.keys(), QStringList{"mpris:trackid"});
    EXPECT_EQ(metadata.value("mpris:trackid").value<QDBusObjectPath>().path(),
              "/org/mpris/MediaPlayer2/TrackList/NoTrack");
}

TEST_F(MprisTest, TrackIdsAreValidDistinctObjectPaths)
{
    MprisBand::Track track = SongTrack();
    QStringList paths;
    for (const char* key : {"42", "4_2", "4-2", "4.2", "", "é"}) {
        track.id = QString::fromUtf8(key);
        const QString path = MprisService::TrackIdPath(track);
        EXPECT_TRUE(QDBusObjectPath(path).path() == path && !path.endsWith('/')) << path.toStdString();
        EXPECT_FALSE(paths.contains(path)) << path.toStdString();
        paths << path;
    }
    EXPECT_EQ(paths.first(), "/org/pelu/track/42");
}

TEST_F(MprisTest, PropertiesChangedCarriesExactlyTheChangedProperties)
{
    SignalLog log;
    Listen(log, kProperties, "PropertiesChanged");

    // Nothing changed (a new position is not announced): no signal. The
    // volume change after it proves the order: its signal is the first.
    band_.position_ms = 99000;
    service_->StateChanged();
    band_.volume = 0.25;
    service_->StateChanged();
    ASSERT_TRUE(test::wait_until([&] { return !log.messages.isEmpty(); }));
    QCoreApplication::processEvents();
    ASSERT_EQ(log.messages.size(), 1);
    QList<QVariant> args = log.messages.at(0).arguments();
    EXPECT_EQ(args.at(0).toString(), kPlayer);
    QVariantMap changed = AsMap(args.at(1));
    EXPECT_EQ(changed.keys(), QStringList{"Volume"});
    EXPECT_DOUBLE_EQ(changed.value("Volume").toDouble(), 0.25);
    EXPECT_TRUE(args.at(2).toStringList().isEmpty());

    // Start playing a new row: status, metadata and what can be done next.
    log.messages.clear();
    band_.status = MprisBand::Status::Playing;
    band_.track.id = QStringLiteral("43");
    band_.track.title = QStringLiteral("Second");
    band_.can_go_next = false;
    service_->StateChanged();
    ASSERT_TRUE(test::wait_until([&] { return !log.messages.isEmpty(); }));
    changed = AsMap(log.messages.at(0).arguments().at(1));
    EXPECT_EQ(changed.keys(), (QStringList{"CanGoNext", "Metadata", "PlaybackStatus"}));
    EXPECT_EQ(changed.value("PlaybackStatus").toString(), "Playing");
    EXPECT_FALSE(changed.value("CanGoNext").toBool());
    const QVariantMap metadata = AsMap(changed.value("Metadata"));
    EXPECT_EQ(metadata.value("mpris:trackid").value<QDBusObjectPath>().path(), "/org/pelu/track/43");
    EXPECT_EQ(metadata.value("xesam:title").toString(), "Second");

    // A change made over the bus is announced without the band's help.
    log.messages.clear();
    Set(kPlayer, "LoopStatus", QString("Track"));
    ASSERT_TRUE(test::wait_until([&] { return !log.messages.isEmpty(); }));
    changed = AsMap(log.messages.at(0).arguments().at(1));
    EXPECT_EQ(changed, (QVariantMap{{"LoopStatus", "Track"}}));
    // ... and only once: the band's own StateChanged after it finds nothing new.
    service_->StateChanged();
    band_.can_pause = false;
    service_->StateChanged();
    ASSERT_TRUE(test::wait_until([&] { return log.messages.size() >= 2; }));
    QCoreApplication::processEvents();
    ASSERT_EQ(log.messages.size(), 2);
    EXPECT_EQ(AsMap(log.messages.at(1).arguments().at(1)).keys(), QStringList{"CanPause"});
}

TEST_F(MprisTest, SeekedCarriesMicroseconds)
{
    SignalLog log;
    Listen(log, kPlayer, "Seeked");
    service_->Seeked(83250);
    ASSERT_TRUE(test::wait_until([&] { return !log.messages.isEmpty(); }));
    EXPECT_EQ(log.messages.at(0).arguments().value(0).toLongLong(), 83250000);
}

TEST_F(MprisTest, QuitReachesTheBandAfterTheReply)
{
    // The band quits by destroying itself, service included.
    QPointer<MprisService> watched = service_.get();
    band_.on_quit = [this] { service_.reset(); };
    const QDBusMessage reply = Call(kRoot, "Quit");
    EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    ASSERT_TRUE(test::wait_until([&] { return band_.calls.contains("Quit"); }));
    EXPECT_TRUE(watched.isNull());
    // Gone from the bus with it.
    EXPECT_FALSE(client_->connection().interface()->isServiceRegistered(target_).value());
    EXPECT_EQ(Call(kRoot, "Raise").type(), QDBusMessage::ErrorMessage);
}

TEST_F(MprisTest, SecondPlayerTakesAnInstanceName)
{
    const QString other_name = server_name_ + "-other";
    RecordingBand other_band;
    {
        MprisService other(other_band, QDBusConnection::connectToBus(bus_->address(), other_name));
        ASSERT_TRUE(other.IsRegistered());
        EXPECT_EQ(other.ServiceName(), QStringLiteral("org.mpris.MediaPlayer2.pelu.instance%1").arg(::getpid()));
        target_ = other.ServiceName();
        client_->SetService(target_);
        Call(kPlayer, "Play");
        EXPECT_EQ(other_band.calls, QStringList{"Play"});
        EXPECT_TRUE(band_.calls.isEmpty());
    }
    // Destroyed: the name is free again, the first player's stays.
    EXPECT_FALSE(client_->connection().interface()->isServiceRegistered(target_).value());
    EXPECT_TRUE(client_->connection().interface()->isServiceRegistered("org.mpris.MediaPlayer2.pelu").value());
    QDBusConnection::disconnectFromBus(other_name);
}

TEST(MprisNoBusTest, WithoutABusNothingIsRegisteredAndNothingBreaks)
{
    RecordingBand band;
    const QString name = QStringLiteral("mpris-nowhere");
    QDBusConnection nowhere = QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/pelu/bus"), name);
    ASSERT_FALSE(nowhere.isConnected());
    {
        MprisService service(band, nowhere);
        EXPECT_FALSE(service.IsRegistered());
        EXPECT_TRUE(service.ServiceName().isEmpty());
        band.status = MprisBand::Status::Playing;
        service.StateChanged();
        service.Seeked(1000);
    }
    QDBusConnection::disconnectFromBus(name);
    EXPECT_TRUE(band.calls.isEmpty());
}

} // namespace
} // namespace pelu::player
