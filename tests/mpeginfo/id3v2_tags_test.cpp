// ID3v2 tags through ReadId3v2Tags on real files: versions 2.2, 2.3 and 2.4,
// Latin-1, UTF-16 and UTF-8 texts, the front cover and which picture wins,
// unsynchronisation, sizes that lie, files that are no files, tags built to
// cost memory (compressed frames, chapters, a flood of frames, a giant
// picture), and the cover cache.
#include "fifo_watchdog.h"
#include "id3v2_fixtures.h"
#include "mp3_fixtures.h"
#include "mpeginfo/id3v2_tags.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace pelu::test {
namespace {

using mpeginfo::Id3v2Parts;
using mpeginfo::Id3v2Tags;
using mpeginfo::ReadId3v2Tags;

const Bytes& audio()
{
    static const Bytes song = encode_mp3(cbr128_stereo_44k(0.5));
    return song;
}


Id3Frame text(const std::string& id, Id3Text encoding, const std::vector<std::string>& values)
{
    return Id3Frame{id, id3_text_body(encoding, values)};
}

Id3Frame picture(int version, const std::string& mime, std::uint8_t type, const Bytes& data)
{
    return Id3Frame{version == 2 ? "PIC" : "APIC", id3_picture_body(version, mime, type, "", data)};
}

QByteArray qbytes(const Bytes& b)
{
    return QByteArray(reinterpret_cast<const char*>(b.data()), qsizetype(b.size()));
}

class Id3v2Test : public ::testing::Test {
protected:
    Id3v2Tags read(const std::string& name, const Bytes& tag, Id3v2Parts parts = Id3v2Parts::TextsAndCover)
    {
        return ReadId3v2Tags(qpath(dir.write(name, prepend(tag, audio()))), parts);
    }
    TempDir dir;
};

TEST_F(Id3v2Test, EveryVersionAndTextEncoding)
{
    const Bytes jpeg = fake_jpeg(3000);
    const Id3v2Tags v23 = read("v23.mp3", id3v2_tag(3, {text("TPE1", Id3Text::Utf16Bom, {"Sigur Rós ♫"}),
                                                         text("TIT2", Id3Text::Latin1, {"Hoppípolla"}),
                                                         text("TALB", Id3Text::Utf16Bom, {"Takk…"}),
                                                         picture(3, "image/jpeg", 3, jpeg)}));
    EXPECT_TRUE(v23.present);
    EXPECT_EQ(v23.artist, QString::fromUtf8("Sigur Rós ♫"));
    EXPECT_EQ(v23.title, QString::fromUtf8("Hoppípolla"));
    EXPECT_EQ(v23.album, QString::fromUtf8("Takk…"));
    EXPECT_EQ(v23.cover, qbytes(jpeg));
    EXPECT_EQ(v23.cover_mime, "image/jpeg");

    const Bytes png = fake_png(500);
    const Id3v2Tags v24 = read("v24.mp3", id3v2_tag(4, {text("TPE1", Id3Text::Utf8, {"Мумий Тролль", "Guest 𝄞"}),
                                                         text("TIT2", Id3Text::Utf16Be, {"Владивосток 2000"}),
                                                         text("TALB", Id3Text::Utf8, {"  Морская  "}),
                                                         picture(4, "image/png", 3, png)}));
    EXPECT_TRUE(v24.present);
    EXPECT_EQ(v24.artist, QString::fromUtf8("Мумий Тролль / Guest 𝄞")) << "several values are joined";
    EXPECT_EQ(v24.title, QString::fromUtf8("Владивосток 2000"));
    EXPECT_EQ(v24.album, QString::fromUtf8("Морская")) << "blanks at the ends are trimmed";
    EXPECT_EQ(v24.cover, qbytes(png));
    EXPECT_EQ(v24.cover_mime, "image/png");

    const Id3v2Tags v22 = read("v22.mp3", id3v2_tag(2, {text("TP1", Id3Text::Utf16Bom, {"Björk"}),
                                                         text("TT2", Id3Text::Latin1, {"Jóga"}),
                                                         text("TAL", Id3Text::Latin1, {"Homogenic"}),
                                                         picture(2, "PNG", 3, png)}));
    EXPECT_TRUE(v22.present);
    EXPECT_EQ(v22.artist, QString::fromUtf8("Björk"));
    EXPECT_EQ(v22.title, QString::fromUtf8("Jóga"));
    EXPECT_EQ(v22.album, "Homogenic");
    EXPECT_EQ(v22.cover, qbytes(png));
    EXPECT_EQ(v22.cover_mime, "image/png");

    // The artist column asks for texts only: no picture is copied.
    const Id3v2Tags texts_only = ReadId3v2Tags(qpath(dir.file("v23.mp3")), Id3v2Parts::TextsOnly);
    EXPECT_EQ(texts_only.artist, v23.artist);
    EXPECT_TRUE(texts_only.cover.isEmpty());
}

TEST_F(Id3v2Test, TheFrontCoverElseTheFirstPictureThatIsAnImage)
{
    const Bytes back = fake_jpeg(800, 1), front = fake_jpeg(900, 2), other = fake_png(700, 3);
    const Id3v2Tags with_front =
        read("front.mp3", id3v2_tag(3, {picture(3, "image/jpeg", 4, back), picture(3, "image/png", 0, other),
                                        picture(3, "image/jpeg", 3, front)}));
    EXPECT_EQ(with_front.cover, qbytes(front));

    const Id3v2Tags without_front =
        read("nofront.mp3", id3v2_tag(3, {picture(3, "image/jpeg", 4, back), picture(3, "image/png", 0, other)}));
    EXPECT_EQ(without_front.cover, qbytes(back));

    // The bytes decide the type where tags state it wrongly or not at all; a
    // link ("-->") or bytes of no image are no cover.
    const Bytes no_image = garbage(400);
    const Id3v2Tags mislabelled =
        read("mislabelled.mp3", id3v2_tag(3, {picture(3, "-->", 3, no_image), picture(3, "text/plain", 3, no_image),
                                              picture(3, "jpg", 0, front)}));
    EXPECT_EQ(mislabelled.cover, qbytes(front));
    EXPECT_EQ(mislabelled.cover_mime, "image/jpeg");
    const Id3v2Tags stated = read("stated.mp3", id3v2_tag(3, {picture(3, "IMAGE/X-Icon", 3, no_image)}));
    EXPECT_EQ(stated.cover_mime, "image/x-icon") << "an image type the bytes do not show is taken as stated";

    const Id3v2Tags none = read("none.mp3", id3v2_tag(3, {picture(3, "image/jpeg", 3, {})}));
    EXPECT_TRUE(none.present);
    EXPECT_TRUE(none.cover.isEmpty());
    EXPECT_TRUE(none.cover_mime.isEmpty());
}

TEST_F(Id3v2Test, UnsynchronisedTags)
{
    // Latin-1 "ÿà" is FF E0: exactly what unsynchronisation rewrites.
    const Bytes jpeg = fake_jpeg(2000); // FF D8 FF E0 ... rewritten too
    for (int version : {3, 4}) {
        const Id3v2Tags tags =
            read("unsync" + std::to_string(version) + ".mp3",
                 id3v2_tag(version, {text("TPE1", Id3Text::Latin1, {"Artÿàst"}), picture(version, "image/jpeg", 3, jpeg)},
                           16, /*unsynchronised=*/true));
        EXPECT_EQ(tags.artist, QString::fromUtf8("Artÿàst")) << version;
        EXPECT_EQ(tags.cover, qbytes(jpeg)) << version;
    }
}

TEST_F(Id3v2Test, SizesThatLieAreSurvived)
{
    // A tag that claims more than the file holds.
    const Bytes long_claim = id3v2_tag(3, {text("TPE1", Id3Text::Latin1, {"Claims"})}, 0, false, 200'000'000);
    const Id3v2Tags a = ReadId3v2Tags(qpath(dir.write("claim.mp3", long_claim)));
    EXPECT_TRUE(a.present);

    // A frame that claims more than its tag: the frames before it still count.
    Id3Frame liar = text("TALB", Id3Text::Latin1, {"x"});
    liar.stated_size = 0x0FFFFFF;
    const Id3v2Tags b = read("frame.mp3", id3v2_tag(4, {text("TPE1", Id3Text::Latin1, {"Before"}), liar,
                                                         text("TIT2", Id3Text::Latin1, {"After"})}));
    EXPECT_EQ(b.artist, "Before");
    EXPECT_TRUE(b.album.isEmpty());

    // A frame of size 0, and a tag cut short in the middle of a frame.
    Id3Frame empty = text("TIT2", Id3Text::Latin1, {""});
    empty.stated_size = 0;
    const Id3v2Tags c = read("zero.mp3", id3v2_tag(3, {empty, text("TPE1", Id3Text::Latin1, {"Z"})}));
    EXPECT_TRUE(c.present);
    const Bytes whole = id3v2_tag(3, {text("TPE1", Id3Text::Utf16Bom, {"Cut short somewhere"})});
    const Id3v2Tags d = ReadId3v2Tags(qpath(dir.write("cut.mp3", truncated(whole, whole.size() - 7))));
    EXPECT_TRUE(d.present);
    EXPECT_TRUE(QStringLiteral("Cut short somewhere").startsWith(d.artist)) << "at most the bytes that are there";

    // Texts are kept to a bounded length.
    const Id3v2Tags e = read("long.mp3", id3v2_tag(4, {text("TIT2", Id3Text::Utf8, {std::string(100'000, 'x')})}));
    EXPECT_EQ(e.title.size(), mpeginfo::kMaxId3v2TextChars);
}

TEST_F(Id3v2Test, NoTagAndNoFile)
{
    EXPECT_FALSE(ReadId3v2Tags(qpath(dir.write("plain.mp3", audio()))).present);
    const Bytes v1 = append_id3v1(audio(), id3v1_tag("T", "Only v1", "", "", "", 0));
    EXPECT_FALSE(ReadId3v2Tags(qpath(dir.write("v1.mp3", v1))).present);
    EXPECT_FALSE(ReadId3v2Tags(qpath(dir.file("missing.mp3"))).present);
    EXPECT_FALSE(ReadId3v2Tags(qpath(dir.path())).present);
    EXPECT_FALSE(ReadId3v2Tags(QString()).present);
    EXPECT_FALSE(ReadId3v2Tags(qpath(dir.write("empty.mp3", {}))).present);
    const Id3v2Tags v1_and_v2 =
        ReadId3v2Tags(qpath(dir.write("both.mp3", prepend(id3v2_tag(4, {text("TPE1", Id3Text::Utf8, {"V2"})}), v1))));
    EXPECT_EQ(v1_and_v2.artist, "V2") << "the ID3v2 tag is read whatever else the file has";
}

TEST_F(Id3v2Test, AFifoIsRefusedWithoutWaitingForAWriter)
{
    Id3v2Tags tags;
    tags.present = true;
    const auto fifo = dir.file("pipe.mp3");
    EXPECT_TRUE(returns_without_a_writer(fifo, [&] { tags = ReadId3v2Tags(qpath(fifo)); }));
    EXPECT_FALSE(tags.present);
}

// How much the peak memory of a child process grows while it runs `work`, in
// MiB (at most 255); -1 when this system cannot tell.
int peak_growth_mib(const std::function<void()>& work)
{
    const auto status_kib = [](const char* field) -> long {
        std::ifstream status("/proc/self/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind(field, 0) == 0)
                return std::stol(line.substr(std::strlen(field)));
        return -1;
    };
    const pid_t pid = ::fork();
    if (pid == 0) {
        // "5" resets the peak to what the process holds now.
        std::ofstream clear("/proc/self/clear_refs");
        clear << "5" << std::flush;
        const long before = status_kib("VmRSS:");
        if (!clear || before < 0 || status_kib("VmHWM:") > before + 4096)
            ::_exit(254);
        work();
        const long grown_mib = (status_kib("VmHWM:") - before) / 1024;
        ::_exit(static_cast<int>(std::clamp<long>(grown_mib, 0, 253)));
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 254)
        return -1;
    return WEXITSTATUS(status);
}

TEST_F(Id3v2Test, TagsBuiltToCostMemoryCostNoMoreThanTheirBytes)
{
    // 128 MiB of zeros in a compressed frame take about 128 KiB in the file.
    constexpr std::uint64_t kInflatedBytes = 128ull << 20;
    Id3Frame bomb3{"PRIV", id3_compressed_zeros(3, kInflatedBytes), 0, 0x80};
    Id3Frame bomb4{"TXXX", id3_compressed_zeros(4, kInflatedBytes), 0, 0x08 | 0x01};
    const auto bomb3_file = dir.write("bomb3.mp3", prepend(id3v2_tag(3, {bomb3, text("TPE1", Id3Text::Latin1, {"After"})}), audio()));
    const auto bomb4_file = dir.write("bomb4.mp3", prepend(id3v2_tag(4, {text("TPE1", Id3Text::Latin1, {"Before"}), bomb4}), audio()));
    // The same inside a chapter, whose inner frames TagLib would read on its own.
    Bytes chapter{'c', 'h', '1', 0};
    chapter.insert(chapter.end(), 16, 0); // start and end times and offsets
    const Bytes inner = id3v2_tag(4, {Id3Frame{"PRIV", id3_compressed_zeros(4, kInflatedBytes), 0, 0x08 | 0x01}});
    chapter.insert(chapter.end(), inner.begin() + 10, inner.end()); // the frame without the tag header
    const auto chapter_file = dir.write("chapter.mp3", prepend(id3v2_tag(4, {Id3Frame{"CHAP", chapter}, text("TPE1", Id3Text::Latin1, {"Chaptered"})}), audio()));
    ASSERT_LT(std::filesystem::file_size(bomb3_file), 1u << 20);

    EXPECT_EQ(ReadId3v2Tags(qpath(bomb3_file)).artist, "After") << "the frames after a compressed one still count";
    EXPECT_EQ(ReadId3v2Tags(qpath(bomb4_file)).artist, "Before");
    EXPECT_EQ(ReadId3v2Tags(qpath(chapter_file)).artist, "Chaptered");

    for (const auto& file : {bomb3_file, bomb4_file, chapter_file}) {
        const int grown = peak_growth_mib([&] { (void)ReadId3v2Tags(qpath(file)); });
        if (grown < 0)
            GTEST_SKIP() << "this system cannot reset the peak memory of a process";
        EXPECT_LT(grown, 32) << file << ": a compressed frame was inflated";
    }
}

TEST_F(Id3v2Test, AFloodOfFramesIsCutOff)
{
    // 200,000 frames of 11 bytes: about 2 MB of tag that would be 200,000
    // objects. The frames before the cut-off are read, those after are not.
    std::vector<Id3Frame> frames{text("TPE1", Id3Text::Latin1, {"First"})};
    frames.reserve(200'002);
    for (int i = 0; i < 200'000; ++i)
        frames.push_back(Id3Frame{"XJNK", Bytes{0}});
    frames.push_back(text("TIT2", Id3Text::Latin1, {"Beyond the cut-off"}));
    const Id3v2Tags tags = read("flood.mp3", id3v2_tag(3, frames));
    EXPECT_EQ(tags.artist, "First");
    EXPECT_TRUE(tags.title.isEmpty());

    std::vector<Id3Frame> few(mpeginfo::kMaxId3v2Frames - 1, Id3Frame{"XJNK", Bytes{0}});
    few.push_back(text("TIT2", Id3Text::Latin1, {"Within"}));
    EXPECT_EQ(read("few.mp3", id3v2_tag(3, few)).title, "Within");
}

TEST_F(Id3v2Test, APictureOverTheLimitIsIgnored)
{
    const Bytes giant = fake_jpeg(std::size_t(mpeginfo::kMaxCoverBytes) + 1024, 7);
    const Bytes small = fake_png(1000);
    const Id3v2Tags tags =
        read("giant.mp3", id3v2_tag(3, {text("TPE1", Id3Text::Latin1, {"Huge"}), picture(3, "image/jpeg", 3, giant),
                                        picture(3, "image/png", 4, small)}));
    EXPECT_EQ(tags.artist, "Huge");
    EXPECT_EQ(tags.cover, qbytes(small)) << "the giant front cover is passed over";
}

class CoverCache : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_cache_ = qgetenv("XDG_CACHE_HOME");
        saved_home_ = qgetenv("HOME");
        qputenv("XDG_CACHE_HOME", QFile::encodeName(qpath(dir.path() / "cache")));
    }
    void TearDown() override
    {
        qputenv("XDG_CACHE_HOME", saved_cache_);
        qputenv("HOME", saved_home_);
    }
    TempDir dir;
    QByteArray saved_cache_, saved_home_;
};

TEST_F(CoverCache, EachPictureIsWrittenOnceUnderItsContent)
{
    Id3v2Tags tags;
    EXPECT_EQ(mpeginfo::CachedCoverFile(tags), QString()) << "no cover, no file";
    EXPECT_FALSE(QFileInfo::exists(qpath(dir.path() / "cache")));

    tags.cover = qbytes(fake_jpeg(5000));
    tags.cover_mime = "image/jpeg";
    const QString path = mpeginfo::CachedCoverFile(tags);
    ASSERT_FALSE(path.isEmpty());
    EXPECT_TRUE(path.startsWith(qpath(dir.path() / "cache" / "pelu" / "covers") + "/")) << path.toStdString();
    EXPECT_TRUE(path.endsWith(".jpg"));
    QFile written(path);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_EQ(written.readAll(), tags.cover);
    written.close();

    // Again: the same file, not written anew (a rewrite would replace the inode).
    struct stat first {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &first), 0);
    EXPECT_EQ(mpeginfo::CachedCoverFile(tags), path);
    struct stat second {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &second), 0);
    EXPECT_EQ(first.st_ino, second.st_ino);
    EXPECT_EQ(QDir(qpath(dir.path() / "cache" / "pelu" / "covers")).entryList(QDir::Files).size(), 1);

    // Another picture, another file; a PNG keeps its kind in the name.
    Id3v2Tags other;
    other.cover = qbytes(fake_png(5000));
    other.cover_mime = "image/png";
    const QString other_path = mpeginfo::CachedCoverFile(other);
    EXPECT_NE(other_path, path);
    EXPECT_TRUE(other_path.endsWith(".png"));
    EXPECT_EQ(QDir(qpath(dir.path() / "cache" / "pelu" / "covers")).entryList(QDir::Files).size(), 2);
}

TEST_F(CoverCache, TheFolderFollowsTheCacheVariable)
{
    EXPECT_EQ(mpeginfo::CoverCacheFolder(), qpath(dir.path() / "cache" / "pelu" / "covers"));
    qputenv("HOME", QFile::encodeName(qpath(dir.path() / "home")));
    qputenv("XDG_CACHE_HOME", "relative/cache"); // not absolute: ignored
    EXPECT_EQ(mpeginfo::CoverCacheFolder(), qpath(dir.path() / "home" / ".cache" / "pelu" / "covers"));
    qunsetenv("XDG_CACHE_HOME");
    EXPECT_EQ(mpeginfo::CoverCacheFolder(), qpath(dir.path() / "home" / ".cache" / "pelu" / "covers"));

    // A cache that cannot be made (a file where the folder should be) gives no path.
    std::filesystem::create_directories(dir.path() / "home");
    write_file(dir.path() / "home" / ".cache", Bytes{1});
    Id3v2Tags tags;
    tags.cover = qbytes(fake_jpeg(100));
    tags.cover_mime = "image/jpeg";
    EXPECT_EQ(mpeginfo::CachedCoverFile(tags), QString());
}

} // namespace
} // namespace pelu::test
