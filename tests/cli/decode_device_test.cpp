// pelu decode into something that is not a regular file: the device node or
// pipe stays what it was and receives the WAVE stream, and a regular file still
// gets its complete header.
#include "mp3_fixtures.h"
#include "run_program.h"

#include <gtest/gtest.h>

#include <QProcess>

#include <cstring>
#include <filesystem>
#include <fstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace pelu::test {
namespace {

int pelu_decode(const std::filesystem::path& in, const std::filesystem::path& out, QString* error = nullptr)
{
    const ProgramRun run = run_program(built_program("pelu"), {"decode", qpath(in), "-o", qpath(out)});
    if (error)
        *error = run.err;
    return run.exit_code;
}

TEST(DecodeToDevice, ANullDeviceNodeStaysADevice)
{
    TempDir dir;
    const auto mp3 = dir.write("a.mp3", encode_mp3(cbr128_stereo_44k(1.0)));
    const auto node = dir.file("null");
    // A node of our own with the null device's numbers, so the test never
    // touches the system's /dev/null.
    if (mknod(node.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
        GTEST_SKIP() << "cannot make a device node here (needs root)";
    QString error;
    EXPECT_EQ(pelu_decode(mp3, node, &error), 0) << error.toStdString();
    struct stat info {};
    ASSERT_EQ(stat(node.c_str(), &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode)) << "the device node was replaced by a regular file";
    // Nothing was left beside it either.
    int entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        entries += entry.path().filename() != "a.mp3" && entry.path().filename() != "null";
    EXPECT_EQ(entries, 0);
}

TEST(DecodeToDevice, APipeReceivesTheWaveStream)
{
    TempDir dir;
    const auto mp3 = dir.write("a.mp3", encode_mp3(cbr128_stereo_44k(1.0)));
    const auto fifo = dir.file("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Our end is open before pelu starts, so its open for writing never waits,
    // and reading never blocks: if the pipe were replaced, the test ends with
    // nothing received instead of hanging.
    const int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    QProcess process;
    const auto program = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "pelu";
    process.start(QString::fromStdString(program.string()),
                  {"decode", QString::fromStdString(mp3.string()), "-o", QString::fromStdString(fifo.string())});
    ASSERT_TRUE(process.waitForStarted(10000));
    std::string received;
    char chunk[65536];
    for (int idle_ms = 0; idle_ms < 120000;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n > 0) {
            received.append(chunk, std::size_t(n));
            continue;
        }
        if (process.state() == QProcess::NotRunning && n <= 0)
            break;
        process.waitForFinished(5);
        idle_ms += 5;
    }
    close(fd);
    process.waitForFinished(10000);
    const int code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    EXPECT_EQ(code, 0) << process.readAllStandardError().toStdString();
    struct stat info {};
    ASSERT_EQ(stat(fifo.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    ASSERT_GT(received.size(), 44u + 100000u); // a second of 44.1 kHz stereo after the header
    EXPECT_EQ(received.compare(0, 4, "RIFF"), 0);
    EXPECT_EQ(received.compare(8, 8, "WAVEfmt "), 0);

    // A regular file still gets the sizes filled in.
    const auto file = dir.file("out.wav");
    ASSERT_EQ(pelu_decode(mp3, file), 0);
    std::ifstream wav(file, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(wav)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 44u);
    std::uint32_t data_bytes = 0;
    std::memcpy(&data_bytes, bytes.data() + 40, 4);
    EXPECT_EQ(data_bytes, bytes.size() - 44);
}

} // namespace
} // namespace pelu::test
