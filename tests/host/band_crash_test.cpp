// A browser that is killed does not take the playlist with it: the band writes
// its resume file a few seconds after every change, so the next start brings
// back what the user had, not what the last orderly close saved.
#include "mp3_fixtures.h"
#include "band_bus.h"
#include "playlist/media_list.h"

#include <QUrl>

#include <signal.h>

namespace pelu::test {
namespace {

constexpr const char* kPath = kMprisPath;
constexpr const char* kRoot = kMprisRoot;
constexpr const char* kPlayer = kMprisPlayer;

TEST(BandAfterACrash, AnEditFiveSecondsBeforeAKillIsBackAtTheNextStart)
{
    BrowserHome home;
    PrivateBus bus;
    ASSERT_FALSE(bus.address().isEmpty()) << "dbus-daemon did not start";
    QString output;
    ASSERT_TRUE(SetUpBand(home, &output)) << output.toStdString();

    const QString storage = home.storage();
    const QString old_song = storage + "old.mp3", new_song = storage + "New Song.mp3";
    write_file(old_song.toStdString(), encode_mp3(cbr128_stereo_44k(1.0)));
    write_file(new_song.toStdString(), encode_mp3(cbr128_stereo_44k(20.0)));
    ASSERT_EQ(home.pelu({"playlist", "make", storage + "es.xes", old_song}, &output), 0) << output.toStdString();

    {
        BrowserRun run(home, {}, WithBus(home, bus));
        ASSERT_TRUE(run.started());
        ASSERT_TRUE(run.wait_for("band 1 ")) << run.lines().join('\n').toStdString() << run.errors().toStdString();
        BusClient client(bus.address(), "crash-client-1", QString(), kPath);
        const QString player = WaitForPlayer(client);
        ASSERT_FALSE(player.isEmpty());
        client.SetService(player);
        // The edit: a second song, added and started from the desktop.
        const QDBusMessage reply =
            client.Call(kPlayer, "OpenUri", {QUrl::fromLocalFile(new_song).toString(QUrl::FullyEncoded)});
        ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
        QThread::sleep(5);
        ::kill(pid_t(run.pid()), SIGKILL);
    }

    std::vector<player::PlaylistRow> rows;
    player::LoadMediaListFile(storage + "es.xes", rows);
    ASSERT_EQ(rows.size(), 2u) << "the edit was not saved before the kill";
    EXPECT_EQ(rows[1].columns.value(2), new_song);

    // The next start shows both rows: Next from the first reaches the new song.
    BrowserRun run(home, {}, WithBus(home, bus));
    ASSERT_TRUE(run.wait_for("band 1 "));
    BusClient client(bus.address(), "crash-client-2", QString(), kPath);
    const QString player = WaitForPlayer(client);
    ASSERT_FALSE(player.isEmpty());
    client.SetService(player);
    EXPECT_TRUE(client.Get(kPlayer, "CanPlay").toBool());
    client.Call(kPlayer, "Play");
    ASSERT_TRUE(wait_until([&] { return client.Get(kPlayer, "PlaybackStatus").toString() == "Playing"; }, 10000));
    client.Call(kPlayer, "Next");
    EXPECT_EQ(AsMap(client.Get(kPlayer, "Metadata")).value("xesam:title").toString(), "New Song");
    client.Call(kPlayer, "Stop");
    EXPECT_EQ(client.Get(kRoot, "Identity").toString(), "PELU");
    EXPECT_EQ(run.finish(), 0) << run.errors().toStdString();
}

} // namespace
} // namespace pelu::test
