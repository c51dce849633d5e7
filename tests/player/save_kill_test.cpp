// Killed while saving: a child process saves the resume playlist and the
// band's settings subtree over and over, alternating two versions, and is
// killed with SIGKILL at random moments. After every kill both files must
// hold one whole version, old or new, never a mixture or a torn file.
#include "playlist/media_list.h"
#include "settings/reg_data.h"

#include "files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <random>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace pelu::player {
namespace {

namespace reg = platform::registry;

constexpr std::int32_t kEncryptId = -1286473519;
const QStringList kScrambled = {"\\XPD\\audiox.FileName",          "\\XPD\\lasthighx",
                                "\\XPD\\emberxix",                 "\\XPD\\storedlocx",
                                "\\XPD\\ViewPELUSpectrum1.Checked", "\\XPD\\VStereoLMeter1.Checked",
                                "\\XPD\\VStereoRMeter1.Checked"};

// Version 0 or 1 of everything the band saves at teardown.
std::vector<PlaylistRow> playlist_version(int version)
{
    std::vector<PlaylistRow> rows;
    const int count = version == 0 ? 400 : 650;
    for (int i = 0; i < count; ++i) {
        PlaylistRow row;
        row.text = QStringLiteral("%1. v%2 song").arg(i + 1).arg(version);
        row.columns = {QStringLiteral("3:07.250"), QStringLiteral("Band %1").arg(version),
                       QStringLiteral("/music/v%1/song %2.mp3").arg(version).arg(i), QStringLiteral("187250"),
                       QString::number(i), QString()};
        row.image_index = i == 3 ? version : 3;
        rows.push_back(row);
    }
    return rows;
}

struct Settings {
    QString storedlocx, file_name, spectrum, left, right;
    int emberxix, lasthighx;
    bool operator==(const Settings&) const = default;
};

Settings settings_version(int version)
{
    return version == 0 ? Settings{"/data/pelu/v0/", "/music/v0/a.mp3", "True", "False", "True", 0, 5}
                        : Settings{"/data/pelu/v1/", "/music/v1/b.mp3", "False", "True", "False", 1, 7};
}

// The band's registry data and storage over one registry file.
struct Store {
    explicit Store(const QString& registry_path)
    {
        data.SetRootKey(TrsRegData::rkCurrentUser);
        data.SetRootPath(QStringLiteral("Software\\PELU"));
        data.SetRegistry(std::make_shared<reg::Store>(registry_path));
        storage.SetEncryptId(kEncryptId);
        storage.SetEncryptKeys(kScrambled);
        storage.SetStorageData(&data);
    }
    void Save(const Settings& s)
    {
        storage.WriteString("\\XPD\\storedlocx", s.storedlocx);
        storage.WriteInteger("\\XPD\\emberxix", s.emberxix);
        storage.WriteInteger("\\XPD\\lasthighx", s.lasthighx);
        storage.WriteString("\\XPD\\audiox.FileName", s.file_name);
        storage.WriteString("\\XPD\\ViewPELUSpectrum1.Checked", s.spectrum);
        storage.WriteString("\\XPD\\VStereoLMeter1.Checked", s.left);
        storage.WriteString("\\XPD\\VStereoRMeter1.Checked", s.right);
        storage.Save();
    }
    Settings Load()
    {
        storage.Load();
        return {storage.ReadString("\\XPD\\storedlocx"),
                storage.ReadString("\\XPD\\audiox.FileName"),
                storage.ReadString("\\XPD\\ViewPELUSpectrum1.Checked"),
                storage.ReadString("\\XPD\\VStereoLMeter1.Checked"),
                storage.ReadString("\\XPD\\VStereoRMeter1.Checked"),
                storage.ReadInteger("\\XPD\\emberxix", -1),
                storage.ReadInteger("\\XPD\\lasthighx", -1)};
    }
    TrsRegData data;
    TrsStorage storage;
};

// Runs in the forked child until it is killed: saves version 1, 0, 1, ...
[[noreturn]] void save_forever(const QString& playlist_path, const QString& registry_path,
                               std::atomic<int>* saves_done)
{
    try {
        Store store(registry_path);
        store.storage.Load(); // as the band does at creation, so other values pass through
        const std::vector<PlaylistRow> rows[2] = {playlist_version(0), playlist_version(1)};
        for (int i = 1;; ++i) {
            const int version = i % 2;
            SaveMediaListFile(playlist_path, rows[version]);
            store.Save(settings_version(version));
            saves_done->fetch_add(1);
        }
    } catch (...) {
        ::_exit(3);
    }
}

TEST(SaveKilled, BothFilesAlwaysHoldOneWholeVersion)
{
    test::TempDir dir;
    const QString playlist_path = QString::fromStdString(dir.file("es.xes").string());
    const QString registry_path = QString::fromStdString(dir.file("registry.sqlite").string());
    const QByteArray playlist_bytes[2] = {WriteMediaList(playlist_version(0)), WriteMediaList(playlist_version(1))};
    {
        Store store(registry_path);
        // A value no one in the band writes passes every save unchanged.
        store.storage.WriteString("\\XPD\\DLL Location", "/data/pelu/");
        SaveMediaListFile(playlist_path, playlist_version(0));
        store.Save(settings_version(0));
    }

    auto* saves_done = static_cast<std::atomic<int>*>(
        ::mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(saves_done, MAP_FAILED);
    new (saves_done) std::atomic<int>(0);

    int seen_playlist[2] = {0, 0};
    int seen_settings[2] = {0, 0};
    const auto start_child = [&] {
        const pid_t child = ::fork();
        if (child == 0)
            save_forever(playlist_path, registry_path, saves_done);
        return child;
    };
    const auto kill_child = [](pid_t child) {
        ::kill(child, SIGKILL);
        int status = 0;
        EXPECT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            << "the saving child stopped by itself, status " << status;
    };

    // The child's own pace on this machine, however busy: let one child
    // complete a few saves and time them.
    const auto calibration_start = std::chrono::steady_clock::now();
    const pid_t first = start_child();
    ASSERT_GE(first, 0);
    while (saves_done->load() < 4 && std::chrono::steady_clock::now() - calibration_start < std::chrono::minutes(2))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const auto per_save = std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::steady_clock::now() - calibration_start) /
                          std::max(1, saves_done->load());
    kill_child(first);
    ASSERT_GE(saves_done->load(), 4) << "the child saved nothing in two minutes";

    std::mt19937 random(20240611);
    // Kill moments spread over a few whole saves.
    std::uniform_int_distribution<long> delay_us(0, 6 * per_save.count());
    constexpr int kKills = 100;
    for (int kill = 0; kill < kKills; ++kill) {
        const pid_t child = start_child();
        ASSERT_GE(child, 0);
        std::this_thread::sleep_for(std::chrono::microseconds(delay_us(random)));
        kill_child(child);
        if (::testing::Test::HasFatalFailure())
            return;

        const test::Bytes on_disk = test::read_file(dir.file("es.xes"));
        const QByteArray bytes(reinterpret_cast<const char*>(on_disk.data()), qsizetype(on_disk.size()));
        const int playlist = bytes == playlist_bytes[0] ? 0 : bytes == playlist_bytes[1] ? 1 : -1;
        ASSERT_NE(playlist, -1) << "kill " << kill << ": es.xes holds " << bytes.size() << " bytes of neither version";
        ++seen_playlist[playlist];

        Store check(registry_path);
        const Settings read = check.Load();
        const int settings = read == settings_version(0) ? 0 : read == settings_version(1) ? 1 : -1;
        ASSERT_NE(settings, -1) << "kill " << kill << ": mixed settings, storedlocx " << read.storedlocx.toStdString()
                                << ", lasthighx " << read.lasthighx;
        EXPECT_EQ(check.storage.ReadString("\\XPD\\DLL Location"), QStringLiteral("/data/pelu/"));
        ++seen_settings[settings];
    }
    // The kills landed while the children were really saving both versions.
    EXPECT_GT(seen_playlist[0], 0);
    EXPECT_GT(seen_playlist[1], 0);
    EXPECT_GT(seen_settings[0], 0);
    EXPECT_GT(seen_settings[1], 0);
    // Temporary files of saves cut short stay behind; they show the kills hit writes.
    int torn_writes = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        torn_writes += entry.path().extension() == ".tmp" ? 1 : 0;
    std::printf("kills %d, saves completed %d, es.xes v0/v1 %d/%d, settings v0/v1 %d/%d, writes cut short %d\n",
                kKills, saves_done->load(), seen_playlist[0], seen_playlist[1], seen_settings[0], seen_settings[1],
                torn_writes);
    ::munmap(saves_done, sizeof(std::atomic<int>));
}

} // namespace
} // namespace pelu::player
