// Output files and file names: what each kind of target becomes after a
// write (regular files replaced whole, devices and FIFOs written in place,
// links followed), the system's own error texts, and names that are not UTF-8.
#include "platform/fs/file_facts.h"
#include "platform/fs/file_names.h"
#include "platform/fs/output_file.h"

#include "files.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

namespace pelu::platform::fs {
namespace {

using pelu::test::TempDir;

QString q(const std::filesystem::path& p)
{
    return decode_file_name(QByteArray::fromStdString(p.string()));
}

std::string content(const std::filesystem::path& p)
{
    const auto bytes = pelu::test::read_file(p);
    return std::string(bytes.begin(), bytes.end());
}

TEST(FileNames, EveryByteStringComesBackAsTheSameBytes)
{
    // Latin-1, cut UTF-8 sequences, overlong forms, encoded surrogates, and
    // ordinary UTF-8 including characters beyond the basic plane.
    const QByteArray samples[] = {
        "Caf\xe9 del Mar.mp3", "\xc3", "\xe2\x82", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80",
        "\xff\xfe", "Bj\xc3\xb6rk \xf0\x9f\x8e\xb5.mp3", "\xf0\x90\x80\x80\xed\xb2\x80"};
    for (const QByteArray& bytes : samples)
        EXPECT_EQ(encode_file_name(decode_file_name(bytes)).toHex().toStdString(), bytes.toHex().toStdString());
    EXPECT_EQ(decode_file_name(QByteArray("Bj\xc3\xb6rk")), QString::fromUtf8("Bj\xc3\xb6rk"));
    EXPECT_EQ(decode_file_name(QByteArray("Caf\xe9")).size(), 4) << "one character per byte that is not UTF-8";

    QByteArray every;
    for (int i = 1; i < 256; ++i)
        every.append(char(i));
    EXPECT_EQ(encode_file_name(decode_file_name(every)), every);
}

TEST(OutputFiles, ARegularFileIsReplacedWholeKeepingItsMode)
{
    TempDir dir;
    const auto target = dir.write("out.txt", pelu::test::Bytes{'o', 'l', 'd'});
    ::chmod(target.c_str(), 0640);
    OutputFile file;
    ASSERT_TRUE(file.open(q(target))) << file.error().toStdString();
    ASSERT_TRUE(file.write("new content", 11));
    EXPECT_EQ(content(target), "old") << "nothing shows before the commit";
    ASSERT_TRUE(file.write_at(0, "N", 1));
    ASSERT_TRUE(file.commit()) << file.error().toStdString();
    EXPECT_EQ(content(target), "New content");
    struct stat st;
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1) << "a temporary file was left";

    OutputFile dropped;
    ASSERT_TRUE(dropped.open(q(target)));
    ASSERT_TRUE(dropped.write("x", 1));
    dropped.abandon();
    EXPECT_EQ(content(target), "New content");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(OutputFiles, ASymbolicLinkIsFollowedAndStaysALink)
{
    TempDir dir;
    const auto real = dir.write("real.txt", pelu::test::Bytes{'a'});
    const auto link = dir.file("link.txt");
    std::filesystem::create_symlink("real.txt", link);
    QString error;
    ASSERT_TRUE(write_output_file(q(link), "through the link", &error)) << error.toStdString();
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(content(real), "through the link");

    // A dangling link makes its target.
    const auto dangling = dir.file("dangling.txt");
    std::filesystem::create_symlink("made.txt", dangling);
    ASSERT_TRUE(write_output_file(q(dangling), "made", &error)) << error.toStdString();
    EXPECT_TRUE(std::filesystem::is_symlink(dangling));
    EXPECT_EQ(content(dir.file("made.txt")), "made");
}

TEST(OutputFiles, DevicesAndFifosAreWrittenInPlace)
{
    TempDir dir;
    // A node of the null device made here (root in CI), never the system's
    // own, which a faulty build would replace.
    const auto node = dir.file("null");
    const std::string device = node.string();
    if (::mknod(node.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
        GTEST_SKIP() << "mknod is not allowed here";
    struct stat before;
    ASSERT_EQ(::stat(device.c_str(), &before), 0);
    OutputFile out;
    ASSERT_TRUE(out.open(QString::fromStdString(device))) << out.error().toStdString();
    EXPECT_TRUE(out.direct());
    EXPECT_FALSE(out.seekable());
    ASSERT_TRUE(out.write("discarded", 9));
    ASSERT_TRUE(out.commit());
    struct stat after;
    ASSERT_EQ(::stat(device.c_str(), &after), 0);
    EXPECT_TRUE(S_ISCHR(after.st_mode)) << "the device was replaced by a file";
    EXPECT_EQ(after.st_ino, before.st_ino);

    const auto fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string received;
    std::thread reader([&] {
        const int fd = ::open(fifo.c_str(), O_RDONLY);
        char buffer[64];
        ssize_t n;
        while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
            received.append(buffer, size_t(n));
        ::close(fd);
    });
    QString error;
    EXPECT_TRUE(write_output_file(q(fifo), "down the pipe", &error)) << error.toStdString();
    reader.join();
    EXPECT_EQ(received, "down the pipe");
    EXPECT_TRUE(std::filesystem::is_fifo(fifo));
}

TEST(OutputFiles, FailuresCarryTheSystemsText)
{
    TempDir dir;
    QString error;
    // A node of the always-full device made here, so a faulty build replaces
    // this node and not the system's /dev/full.
    const auto full = dir.file("full");
    if (::mknod(full.c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0) {
        EXPECT_FALSE(write_output_file(q(full), "x", &error));
        EXPECT_EQ(error, q(full) + ": No space left on device");
        std::filesystem::remove(full);
    }
    EXPECT_FALSE(write_output_file(q(dir.path()), "x", &error));
    EXPECT_EQ(error, q(dir.path()) + ": Is a directory");
    EXPECT_FALSE(write_output_file(q(dir.file("no/such/folder.txt")), "x", &error));
    EXPECT_TRUE(error.endsWith(": No such file or directory")) << error.toStdString();
}

TEST(OutputFiles, SameFileSeesThroughLinksAndNames)
{
    TempDir dir;
    const auto a = dir.write("a.mp3", pelu::test::Bytes{1});
    std::filesystem::create_symlink("a.mp3", dir.file("b.mp3"));
    EXPECT_TRUE(same_file(q(a), q(dir.file("b.mp3"))));
    EXPECT_TRUE(same_file(q(a), q(dir.path() / "." / "a.mp3")));
    EXPECT_FALSE(same_file(q(a), q(dir.file("c.mp3"))));
}

TEST(InputFiles, TheProblemIsNamedByWhatThePathIs)
{
    TempDir dir;
    const auto fifo = dir.file("fifo.mp3");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(input_file_problem(q(dir.path())), "is a directory");
    EXPECT_EQ(input_file_problem(q(fifo)), "is not a regular file");
    EXPECT_EQ(input_file_problem("/dev/null"), "is not a regular file");
    EXPECT_EQ(input_file_problem(q(dir.file("missing.mp3"))), "no such file");
    const auto latin1 = dir.path() / std::string("Caf\xe9.mp3");
    pelu::test::write_file(latin1, pelu::test::Bytes{1, 2, 3});
    EXPECT_EQ(input_file_problem(q(latin1)), "");
    EXPECT_EQ(file_kind(q(latin1)), FileKind::Regular);
}

} // namespace
} // namespace pelu::platform::fs
