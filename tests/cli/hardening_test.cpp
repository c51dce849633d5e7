// pelu against what users hit by accident: outputs that are devices, FIFOs,
// links or the input itself, full disks and file-size limits, file names
// that are not UTF-8, a title the device refuses in the middle of a list,
// inputs that are not files, and reading a store that does not exist.
#include "mp3_fixtures.h"
#include "run_bytes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

namespace pelu::test {
namespace {

namespace fs = std::filesystem;

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

int count_lines(const std::string& text)
{
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// A PCM WAVE file with the given rate, a tenth of a second of silence.
Bytes wave_file(std::uint32_t rate)
{
    const std::uint32_t data_bytes = rate / 10 * 4;
    Bytes b(44 + data_bytes, 0);
    auto put32 = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            b[at + i] = std::uint8_t(v >> (8 * i));
    };
    std::memcpy(b.data(), "RIFF", 4);
    put32(4, 36 + data_bytes);
    std::memcpy(b.data() + 8, "WAVEfmt ", 8);
    put32(16, 16);
    b[20] = 1;       // PCM
    b[22] = 2;       // stereo
    put32(24, rate);
    put32(28, rate * 4);
    b[32] = 4;       // block align
    b[34] = 16;      // bits
    std::memcpy(b.data() + 36, "data", 4);
    put32(40, data_bytes);
    return b;
}

class CliHardening : public ::testing::Test {
protected:
    void SetUp() override
    {
        mp3 = dir.write("in.mp3", encode_mp3(cbr128_stereo_44k(1.0)));
        mp3_bytes = read_file(mp3);
    }
    TempDir dir;
    fs::path mp3;
    Bytes mp3_bytes;
};

TEST_F(CliHardening, DecodeOutputThatIsADeviceStaysADevice)
{
    // A null-device node made here (CI runs as root); a FIFO with a reader
    // where mknod is not allowed.
    const fs::path node = dir.file("null-device");
    if (::mknod(node.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
        const ByteRun run = run_pelu_bytes({"decode", mp3.string(), "-o", node.string()});
        EXPECT_EQ(run.exit_code, 0) << run.err;
        struct stat st;
        ASSERT_EQ(::stat(node.c_str(), &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode)) << "the device node was replaced by a regular file";
    }
    const fs::path fifo = dir.file("pipe.wav");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // The reader never blocks: should the program replace the FIFO instead of
    // writing into it, the test fails instead of waiting for ever.
    std::string received;
    std::atomic<bool> finished{false};
    std::thread reader([&] {
        const int fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        bool writer_seen = false;
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0) {
                received.append(buffer, std::size_t(n));
                writer_seen = true;
            } else if (n < 0 && errno == EAGAIN) {
                writer_seen = true; // open for writing, nothing yet
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            } else if (writer_seen || finished) {
                break;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        ::close(fd);
    });
    const ByteRun run = run_pelu_bytes({"decode", mp3.string(), "-o", fifo.string()});
    finished = true;
    reader.join();
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_TRUE(fs::is_fifo(fifo));
    ASSERT_GT(received.size(), 44u + 100000u) << "a second of stereo PCM went down the pipe";
    EXPECT_EQ(received.substr(0, 4), "RIFF");
    EXPECT_EQ(received.substr(36, 4), "data");
}

TEST_F(CliHardening, DecodeFollowsALinkAndRefusesToOverwriteItsInput)
{
    std::filesystem::create_symlink("real.wav", dir.file("link.wav"));
    ByteRun run = run_pelu_bytes({"decode", mp3.string(), "-o", dir.file("link.wav").string()});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_TRUE(fs::is_symlink(dir.file("link.wav")));
    EXPECT_GT(fs::file_size(dir.file("real.wav")), 44u);

    run = run_pelu_bytes({"decode", mp3.string(), "-o", mp3.string()});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_TRUE(contains(run.err, "is the input file")) << run.err;
    EXPECT_EQ(count_lines(run.err), 1) << run.err;
    std::filesystem::create_symlink("in.mp3", dir.file("alias.wav"));
    run = run_pelu_bytes({"decode", mp3.string(), "-o", dir.file("alias.wav").string()});
    EXPECT_EQ(run.exit_code, 1) << "the same file under another name";
    EXPECT_EQ(read_file(mp3), mp3_bytes) << "the MP3 was overwritten";
}

TEST_F(CliHardening, AFullDiskOrAFileSizeLimitIsNamed)
{
    // A node of the always-full device made here: a faulty build replaces
    // this node, never the system's /dev/full.
    const fs::path full = dir.file("full-device");
    if (::mknod(full.c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0)
        GTEST_SKIP() << "mknod is not allowed here";
    ByteRun run = run_pelu_bytes({"decode", mp3.string(), "-o", full.string()});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_TRUE(contains(run.err, "No space left on device")) << run.err;
    fs::remove(full);

    const fs::path out = dir.file("limited.wav");
    run = run_pelu_bytes({"decode", mp3.string(), "-o", out.string()}, {}, 50000);
    EXPECT_EQ(run.signal, 0) << "killed by SIGXFSZ";
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_TRUE(contains(run.err, "File too large")) << run.err;
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 1) << "a temporary file was left";
}

TEST_F(CliHardening, NamesThatAreNotUtf8PlayDecodeAndAnalyse)
{
    const std::string latin1 = (dir.path() / "Caf\xe9 Ol\xe9.mp3").string();
    fs::rename(mp3, latin1);
    const std::string wav = (dir.path() / "Caf\xe9.wav").string();

    ByteRun run = run_pelu_bytes({"decode", latin1, "-o", wav});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_GT(fs::file_size(wav), 44u);

    run = run_pelu_bytes({"info", latin1});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_TRUE(contains(run.out, "Result=0\n")) << run.out;
    EXPECT_TRUE(contains(run.out, "BitRate=128\n")) << run.out;

    run = run_pelu_bytes({"play", "--device", "sim", latin1});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_TRUE(contains(run.out, "Playing Caf\xe9 Ol\xe9.mp3 (")) << "the name as its own bytes: " << run.out;

    run = run_pelu_bytes({"play", "--device", "sim", (dir.path() / "gone\xe9.mp3").string()});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, "pelu: " + (dir.path() / "gone\xe9.mp3").string() + ": no such file\n");
}

TEST_F(CliHardening, PlayReportsARefusedTitleOnOneLineAndGoesOn)
{
    const fs::path refused = dir.write("ultrasonic.wav", wave_file(384000));
    const fs::path after = dir.write("after.mp3", mp3_bytes);
    const ByteRun run = run_pelu_bytes({"play", "--device", "sim", refused.string(), after.string()});
    EXPECT_EQ(run.exit_code, 1) << "one title failed";
    EXPECT_TRUE(contains(run.out, "Playing after.mp3")) << "the list stopped: " << run.out << run.err;
    EXPECT_EQ(count_lines(run.err), 1) << run.err;
    EXPECT_TRUE(contains(run.err, "pelu: " + refused.string() + ": ")) << run.err;
    EXPECT_TRUE(contains(run.err, "can't play this format")) << run.err;
    EXPECT_FALSE(contains(run.err, "''")) << run.err;
}

TEST_F(CliHardening, AMissingDeviceIsReportedBeforePlaying)
{
    const ByteRun run = run_pelu_bytes({"play", "--device", "alsa:pelu_no_such_device", mp3.string(),
                                        mp3.string()});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_FALSE(contains(run.out, "Playing")) << run.out;
    EXPECT_TRUE(contains(run.err, "pelu: alsa:pelu_no_such_device: ")) << run.err;
    EXPECT_EQ(count_lines(run.err), 1) << run.err;
}

TEST_F(CliHardening, InputsThatAreNotFilesSayWhatTheyAre)
{
    const fs::path fifo = dir.file("fifo.mp3");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string command : {"decode", "play"}) {
        const std::string option = command == "play" ? "--device" : "--buffer";
        const std::string value = command == "play" ? "sim" : "8160";
        ByteRun run = run_pelu_bytes({command, option, value, dir.path().string()});
        EXPECT_EQ(run.exit_code, 1);
        EXPECT_EQ(run.err, "pelu: " + dir.path().string() + ": is a directory\n") << command;
        run = run_pelu_bytes({command, option, value, fifo.string()});
        EXPECT_EQ(run.err, "pelu: " + fifo.string() + ": is not a regular file\n") << command;
    }
    const fs::path junk = dir.write("junk.mp3", garbage(5000));
    const ByteRun info = run_pelu_bytes({"info", dir.path().string(), fifo.string(), junk.string(), mp3.string()});
    EXPECT_EQ(info.exit_code, 1);
    EXPECT_EQ(info.err, "pelu: " + dir.path().string() + ": is a directory\n" + "pelu: " + fifo.string() +
                            ": is not a regular file\n" + "pelu: " + junk.string() + ": no MPEG audio frame found\n");
}

TEST_F(CliHardening, FromBeyondTheEndIsAnError)
{
    const fs::path out = dir.file("late.wav");
    ByteRun run = run_pelu_bytes({"decode", mp3.string(), "--from", "5000", "-o", out.string()});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_TRUE(contains(run.err, "beyond the end")) << run.err;
    EXPECT_FALSE(fs::exists(out));
    run = run_pelu_bytes({"decode", mp3.string(), "--from", "500", "-o", out.string()});
    EXPECT_EQ(run.exit_code, 0) << run.err;
}

TEST_F(CliHardening, ReadingAMissingStoreNeverCreatesIt)
{
    const std::string store = dir.file("typo/registry.sqlite").string();
    const std::vector<std::pair<std::string, std::string>> env{{"PELU_REGISTRY", store}};
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"reg", "get", "HKCU\\Software\\PELU", "x"}, {"reg", "export"}, {"reg", "delete", "HKCU\\A"}}) {
        const ByteRun run = run_pelu_bytes(args, env);
        EXPECT_EQ(run.exit_code, 1) << args[1];
        EXPECT_TRUE(contains(run.err, "no such file")) << run.err;
        EXPECT_FALSE(fs::exists(dir.file("typo"))) << args[1] << " created the store";
    }
    ByteRun run = run_pelu_bytes({"reg", "set", "HKCU\\Software\\PELU", "x", "1"}, env);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    run = run_pelu_bytes({"reg", "get", "HKCU\\Software\\PELU", "x"}, env);
    EXPECT_EQ(run.out, "1\n");

    // A store path naming a device (a FIFO where mknod is not allowed) is
    // refused, and nothing appears beside it.
    const fs::path node = dir.file("device-store");
    if (::mknod(node.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
        ASSERT_EQ(::mkfifo(node.c_str(), 0600), 0);
    }
    const std::string device = node.string();
    run = run_pelu_bytes({"reg", "set", "HKCU\\A", "x", "1"}, {{"PELU_REGISTRY", device}});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_TRUE(contains(run.err, "is not a regular file")) << run.err;
    EXPECT_FALSE(fs::exists(device + "-journal"));
    EXPECT_FALSE(fs::exists(device + "-wal"));
}

TEST_F(CliHardening, RegImportRefusesWhatIsNotARegularFileAndExportGoesToDevices)
{
    const std::vector<std::pair<std::string, std::string>> env{{"PELU_REGISTRY", dir.file("r.sqlite").string()}};
    const fs::path fifo = dir.file("in.reg");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ByteRun run = run_pelu_bytes({"reg", "import", fifo.string()}, env, -1, 20);
    EXPECT_EQ(run.signal, 0) << "the import waited for a writer";
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_TRUE(contains(run.err, "is not a regular file")) << run.err;
    run = run_pelu_bytes({"reg", "import", "/dev/zero"}, env, -1, 20);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_TRUE(contains(run.err, "is not a regular file")) << run.err;

    ASSERT_EQ(run_pelu_bytes({"reg", "set", "HKCU\\A", "name\nwith newline", "v"}, env).exit_code, 0);
    const fs::path backup = dir.file("backup.reg");
    ASSERT_EQ(run_pelu_bytes({"reg", "export", "-o", backup.string()}, env).exit_code, 0);
    ASSERT_EQ(run_pelu_bytes({"reg", "delete", "HKCU\\A"}, env).exit_code, 0);
    run = run_pelu_bytes({"reg", "import", backup.string()}, env);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run_pelu_bytes({"reg", "get", "HKCU\\A", "name\nwith newline"}, env).out, "v\n");
    run = run_pelu_bytes({"reg", "export", "-o", "/dev/stdout"}, env);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_TRUE(contains(run.out, "[HKEY_CURRENT_USER\\A]")) << run.out;
}

TEST_F(CliHardening, DeepKeysImportToTheLimitAndBackButNoFurther)
{
    const std::vector<std::pair<std::string, std::string>> env{{"PELU_REGISTRY", dir.file("r.sqlite").string()}};
    auto chain = [](int depth) {
        std::string path = "HKEY_CURRENT_USER";
        for (int i = 0; i < depth; ++i)
            path += "\\k";
        return path;
    };
    const fs::path too_deep = dir.file("too_deep.reg");
    const std::string deep_text = "REGEDIT4\n\n[" + chain(1500) + "]\n\"v\"=\"x\"\n";
    write_file(too_deep, Bytes(deep_text.begin(), deep_text.end()));
    ByteRun run = run_pelu_bytes({"reg", "import", too_deep.string()}, env);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_TRUE(contains(run.err, "line 3: ") && contains(run.err, "512")) << run.err.substr(0, 300);
    EXPECT_EQ(count_lines(run.err), 1);
    EXPECT_LT(run.err.size(), 400u) << "the key's whole name was quoted";

    const fs::path deepest = dir.file("deepest.reg");
    const std::string text = "REGEDIT4\n\n[" + chain(512) + "]\n\"v\"=\"x\"\n";
    write_file(deepest, Bytes(text.begin(), text.end()));
    run = run_pelu_bytes({"reg", "import", deepest.string()}, env);
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const ByteRun exported = run_pelu_bytes({"reg", "export", "HKCU\\k"}, env);
    EXPECT_EQ(exported.exit_code, 0) << exported.err;
    run = run_pelu_bytes({"reg", "delete", "HKCU\\k"}, env);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    const fs::path backup = dir.file("backup.reg");
    write_file(backup, Bytes(exported.out.begin(), exported.out.end()));
    run = run_pelu_bytes({"reg", "import", backup.string()}, env);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run_pelu_bytes({"reg", "export", "HKCU\\k"}, env).out, exported.out);
}

} // namespace
} // namespace pelu::test
