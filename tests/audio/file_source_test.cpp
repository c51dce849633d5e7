// The file source and the MPEG reader on real MP3s from the fixture library,
// pulled through a real chain.
#include "audio/audio_file.h"

#include "mp3_fixtures.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace pelu {
namespace {

using namespace pelu::test;

std::filesystem::path program_dir()
{
    return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

// The end of a chain that pulls buffers the way the wave output does.
class Puller : public TMMCustomSoundComponent {
    Q_OBJECT
    Q_PROPERTY(pelu::TMMDSPComponent* Input READ Input WRITE SetInput)
public:
    Puller() : buffer_(64 * 1024) {}
    void Begin(int buffer_size = 8160)
    {
        SetBufferSize(buffer_size);
        PropagateOpen();
        PropagateStart();
    }
    void End()
    {
        PropagateStop();
        PropagateClose();
    }
    // One load; returns the bytes recorded and sets `more`.
    std::uint32_t Pull(bool& more)
    {
        buffer_.prepare_for_load();
        buffer_.header()->buffer_length = static_cast<std::uint32_t>(BufferSize());
        more = false;
        BufferLoad(buffer_.header(), more);
        return buffer_.header()->bytes_recorded;
    }
    // Pulls until the source says no more; returns every byte.
    std::vector<char> PullAll()
    {
        std::vector<char> all;
        bool more = true;
        while (more) {
            const std::uint32_t got = Pull(more);
            if (got == 0)
                break;
            all.insert(all.end(), buffer_.data(), buffer_.data() + got);
        }
        return all;
    }
    ExtendedWaveHeader* Header() { return buffer_.header(); }

private:
    WaveBuffer buffer_;
};

// A source on a file, its format announced to `out`, which has begun pulling.
struct Pulling {
    explicit Pulling(const QString& path)
    {
        source.SetOutput(&out);
        source.SetFileName(path);
        out.Begin();
    }
    TMMAudioFile source;
    Puller out;
};

class FileSourceTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(MpegLibrary::Instance().Loaded()) << MpegLibrary::Instance().LoadError().toStdString(); }
    QString Write(const std::string& name, const Bytes& bytes) { return QString::fromStdString(dir_.write(name, bytes).string()); }
    TempDir dir_;
};

TEST_F(FileSourceTest, LoadsAnMp3AndTheFormatTravelsDownTheChain)
{
    const QString path = Write("a.mp3", encode_mp3(cbr128_stereo_44k(2.0)));
    TMMAudioFile source;
    Puller out;
    source.SetOutput(&out);
    int changes = 0;
    source.OnChange = [&](QObject*) { ++changes; };
    source.SetFileName(path);
    EXPECT_EQ(source.FileType(), ftMpeg);
    EXPECT_EQ(source.FileName(), path);
    EXPECT_NEAR(static_cast<double>(source.Duration()), 2000.0, 30.0);
    EXPECT_EQ(source.BitRate(), 128);
    EXPECT_GE(changes, 1);
    ASSERT_NE(out.GetPWaveFormat(), nullptr);
    EXPECT_EQ(out.GetPWaveFormat()->samples_per_sec, 44100u);
    EXPECT_EQ(out.GetPWaveFormat()->channels, 2);
    const auto info = source.MpegInfo().info;
    EXPECT_EQ(std::int32_t{info.layer}, 3); // copies: the record is packed
    EXPECT_EQ(info.frame_size_bytes / 10, 41); // 417 or 418 bytes a frame

    out.Begin();
    const std::vector<char> pcm = out.PullAll();
    out.End();
    // Gapless: exactly the samples that were encoded.
    EXPECT_EQ(pcm.size(), 2u * 44100 * 4);
}

TEST_F(FileSourceTest, SameNameTwiceKeepsThePosition)
{
    const QString path = Write("a.mp3", encode_mp3(cbr128_stereo_44k(3.0)));
    TMMAudioFile source;
    source.SetFileName(path);
    source.SetPosition(1000);
    const std::int64_t position = source.Position();
    EXPECT_NEAR(static_cast<double>(position), 1000.0, 27.0);
    source.SetFileName(path);
    EXPECT_EQ(source.Position(), position);
}

TEST_F(FileSourceTest, SeekBeyondTheEndLeavesOnlyTheSilentEndBuffer)
{
    Pulling pulling(Write("a.mp3", encode_mp3(cbr128_stereo_44k(2.0))));
    auto& [source, out] = pulling;
    source.SetPosition(source.Duration() + 5000);
    EXPECT_EQ(source.Position(), source.Duration());
    bool more = true;
    EXPECT_EQ(out.Pull(more), 4u);
    EXPECT_FALSE(more);
    EXPECT_EQ(std::memcmp(out.Header()->data, "\0\0\0\0", 4), 0);
    EXPECT_TRUE(source.LastLoadWasEndMarker());
    // After the end: nothing more, ever.
    EXPECT_EQ(out.Pull(more), 0u);
    EXPECT_FALSE(more);
    out.End();
}

TEST_F(FileSourceTest, SeekWhilePlayingReadsTheNewPositionAtOnceAndDecodesFromThere)
{
    Pulling pulling(Write("a.mp3", encode_mp3(cbr128_stereo_44k(4.0))));
    auto& [source, out] = pulling;
    bool more = false;
    out.Pull(more);
    out.Pull(more);
    source.SetPosition(3000);
    EXPECT_EQ(source.Position(), 3000);
    const std::vector<char> rest = out.PullAll();
    // About one second of sound is left after 3000 ms (frame rounding aside).
    EXPECT_NEAR(static_cast<double>(rest.size()) / (44100 * 4), 1.0, 0.05);
    out.End();
}

TEST_F(FileSourceTest, ShortFileEndsWithItsDataAndNothingAfter)
{
    Pulling pulling(Write("short.mp3", encode_mp3(shorter_than_one_buffer())));
    auto& [source, out] = pulling;
    bool more = true;
    const std::uint32_t first = out.Pull(more);
    EXPECT_GT(first, 0u);
    EXPECT_LT(first, 8160u);
    EXPECT_FALSE(more); // the last data comes with no more buffers
    // Asked once more, a finished source gives its silent end buffer once, then nothing.
    EXPECT_EQ(out.Pull(more), 4u);
    EXPECT_EQ(out.Pull(more), 0u);
    EXPECT_FALSE(more);
    out.End();
}

TEST_F(FileSourceTest, OtherChannelModesDecodeToMono)
{
    const QString path = Write("a.mp3", encode_mp3(cbr128_stereo_44k(1.0)));
    for (int mode : {cmLeft, cmRight, cmDownMix}) {
        TMMMPEGFile reader;
        reader.SetChannelMode(mode);
        reader.SetFileName(path);
        ASSERT_NE(reader.GetPWaveFormat(), nullptr);
        EXPECT_EQ(reader.GetPWaveFormat()->channels, 1) << mode;
        EXPECT_EQ(reader.GetPWaveFormat()->block_align, 2) << mode;
    }
    TMMMPEGFile both;
    both.SetFileName(path);
    EXPECT_EQ(both.GetPWaveFormat()->channels, 2);
}

TEST_F(FileSourceTest, ChannelModeCannotChangeWhileTheFileIsOpen)
{
    const QString path = Write("a.mp3", encode_mp3(cbr128_stereo_44k(1.0)));
    TMMMPEGFile reader;
    Puller out;
    reader.SetOutput(&out);
    reader.SetFileName(path);
    out.Begin();
    EXPECT_THROW(reader.SetChannelMode(cmLeft), EMMMpegError);
    out.End();
    EXPECT_NO_THROW(reader.SetChannelMode(cmLeft));
}

TEST_F(FileSourceTest, ReaderReportsItsInformationAsSoonAsTheNameIsSet)
{
    const QString mpeg2 = Write("m2.mp3", encode_mp3(mpeg2_mono_22k(2.0)));
    TMMMPEGFile mpegx;
    EXPECT_EQ(mpegx.Time(), 0);
    EXPECT_EQ(mpegx.Version(), v1);
    mpegx.SetFileName(mpeg2);
    EXPECT_EQ(mpegx.Layer(), 3);
    EXPECT_EQ(mpegx.Version(), v2LSF);
    EXPECT_EQ(mpegx.SampleRate(), 22050);
    EXPECT_EQ(mpegx.Mode(), smSingleChannel);
    EXPECT_EQ(mpegx.BitRate(), 64);
    EXPECT_NEAR(mpegx.Time(), 2000, 30);
    // 64 kbit/s at 22050 Hz: 72000 x 64 / 22050 = 208 bytes, 209 with padding.
    EXPECT_TRUE(mpegx.Info().info.frame_size_bytes == 208 || mpegx.Info().info.frame_size_bytes == 209);
    EXPECT_NEAR(mpegx.Info().info.frame_duration_ms, 576 * 1000.0 / 22050, 1e-9);

    const QString vbr = Write("v.mp3", encode_mp3(vbr_xing_stereo_44k(3.0)));
    mpegx.SetFileName(vbr);
    EXPECT_NEAR(mpegx.Time(), 3000, 30);
    EXPECT_EQ(std::int32_t{mpegx.Info().info.is_vbr}, 1);
    EXPECT_GT(mpegx.BitRate(), 32);
}

TEST_F(FileSourceTest, DecoratedFilesStillDecodeAndTagsDoNotReachThePcm)
{
    const Bytes plain = encode_mp3(cbr128_stereo_44k(1.0));
    const Bytes decorated = append_id3v1(prepend(id3v2_block(4096), prepend(garbage(3000), plain)),
                                         id3v1_tag("Title", "Artist", "Album", "2024", "", 12));
    TMMAudioFile a, b;
    Puller pa, pb;
    a.SetOutput(&pa);
    b.SetOutput(&pb);
    a.SetFileName(Write("plain.mp3", plain));
    b.SetFileName(Write("decorated.mp3", decorated));
    pa.Begin();
    pb.Begin();
    EXPECT_EQ(pa.PullAll(), pb.PullAll());
    pa.End();
    pb.End();
}

TEST_F(FileSourceTest, AnId3v2SizeThatLiesIsResynchronisedPast)
{
    const Bytes plain = encode_mp3(cbr128_stereo_44k(1.0));
    const QString plain_file = Write("plain.mp3", plain);
    // Headers claiming 256 MiB, and a size just past the file's end, over a
    // real tag of 600 bytes.
    for (const std::uint32_t claimed : {0x7F7F7F7Fu, std::uint32_t(plain.size() + 200)}) {
        Bytes tag = id3v2_block(600);
        for (int i = 0; i < 4; ++i)
            tag[std::size_t(6 + i)] = std::uint8_t((claimed >> (7 * (3 - i))) & 0x7F);
        const QString lying = Write("lying.mp3", prepend(tag, plain));
        EXPECT_TRUE(IsMpegFile(lying)) << claimed;
        TMMAudioFile a, b;
        Puller pa, pb;
        a.SetOutput(&pa);
        b.SetOutput(&pb);
        a.SetFileName(plain_file);
        ASSERT_NO_THROW(b.SetFileName(lying)) << claimed;
        EXPECT_NEAR(b.Duration(), 1000, 60);
        pa.Begin();
        pb.Begin();
        EXPECT_EQ(pa.PullAll(), pb.PullAll()) << "the same PCM as without the tag";
        pa.End();
        pb.End();
    }
}

TEST_F(FileSourceTest, TruncatedFilePlaysWhatIsThere)
{
    const Bytes full = encode_mp3(cbr128_stereo_44k(2.0));
    Pulling pulling(Write("cut.mp3", truncated(full, full.size() / 2 + 77)));
    auto& [source, out] = pulling;
    const auto pcm = out.PullAll();
    out.End();
    EXPECT_NEAR(static_cast<double>(pcm.size()) / (44100 * 4), 1.0, 0.1);
}

TEST_F(FileSourceTest, BadFilesGiveTheErrorOrNoFileAndNeverHang)
{
    const QString good = Write("good.mp3", encode_mp3(cbr128_stereo_44k(1.0)));
    const QString fifo = QString::fromStdString(dir_.file("fifo.mp3").string());
    ASSERT_EQ(mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    const QString folder = QString::fromStdString(dir_.file("folder.mp3").string());
    std::filesystem::create_directory(folder.toStdString());

    for (const QString& bad : {Write("empty.mp3", {}), Write("text.mp3", Bytes{'a', 'b', 'c', '\n'}),
                               Write("random.mp3", garbage(100000, 3)), fifo, folder}) {
        TMMAudioFile source;
        Puller out;
        source.SetOutput(&out);
        source.SetFileName(good);
        EXPECT_THROW(source.SetFileName(bad), EMMAudioError) << bad.toStdString();
        EXPECT_EQ(source.Duration(), 0);
        EXPECT_EQ(out.GetPWaveFormat(), nullptr);
        try {
            source.SetFileName(bad);
        } catch (const EMMAudioError& e) {
            EXPECT_STREQ(e.what(), "This is not a valid Audiofile");
        }
    }
    // A missing file loads nothing and raises nothing.
    TMMAudioFile source;
    EXPECT_NO_THROW(source.SetFileName(QString::fromStdString(dir_.file("missing.mp3").string())));
    EXPECT_EQ(source.Duration(), 0);
}

TEST_F(FileSourceTest, UnreadableFileIsRefused)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root reads every file";
    const QString path = Write("locked.mp3", encode_mp3(cbr128_stereo_44k(1.0)));
    ::chmod(path.toLocal8Bit().constData(), 0);
    TMMAudioFile source;
    EXPECT_THROW(source.SetFileName(path), EMMAudioError);
}

TEST_F(FileSourceTest, PcmWaveFilesPlayAndSeekInMilliseconds)
{
    // 1 s of 16-bit stereo at 8000 Hz, a ramp so every sample is known.
    Bytes wav(44 + 8000 * 4);
    std::memcpy(&wav[0], "RIFF", 4);
    const std::uint32_t riff = static_cast<std::uint32_t>(wav.size() - 8), data = 8000 * 4;
    std::memcpy(&wav[4], &riff, 4);
    std::memcpy(&wav[8], "WAVEfmt ", 8);
    const std::uint32_t fmt_size = 16, rate = 8000, avg = 32000;
    const std::uint16_t tag = 1, channels = 2, align = 4, bits = 16;
    std::memcpy(&wav[16], &fmt_size, 4);
    std::memcpy(&wav[20], &tag, 2);
    std::memcpy(&wav[22], &channels, 2);
    std::memcpy(&wav[24], &rate, 4);
    std::memcpy(&wav[28], &avg, 4);
    std::memcpy(&wav[32], &align, 2);
    std::memcpy(&wav[34], &bits, 2);
    std::memcpy(&wav[36], "data", 4);
    std::memcpy(&wav[40], &data, 4);
    for (int i = 0; i < 16000; ++i) {
        const auto v = static_cast<std::int16_t>(i);
        std::memcpy(&wav[44 + 2 * i], &v, 2);
    }
    TMMAudioFile source;
    Puller out;
    source.SetOutput(&out);
    source.SetFileName(Write("ramp.wav", wav));
    EXPECT_EQ(source.FileType(), ftWave);
    EXPECT_EQ(source.Duration(), 1000);
    source.SetPosition(500);
    out.Begin();
    const auto pcm = out.PullAll();
    out.End();
    ASSERT_EQ(pcm.size(), 4000u * 4);
    std::int16_t first;
    std::memcpy(&first, pcm.data(), 2);
    EXPECT_EQ(first, 8000);
}

TEST_F(FileSourceTest, VolumeAndPanningShapeTheSamplesAndDefaultsAreBitExact)
{
    const QString path = Write("a.mp3", encode_mp3(cbr128_stereo_44k(0.5)));
    auto decode = [&](int volume, int panning) {
        TMMAudioFile source;
        Puller out;
        source.SetOutput(&out);
        source.SetVolume(volume);
        source.SetPanning(panning);
        source.SetFileName(path);
        out.Begin();
        auto pcm = out.PullAll();
        out.End();
        std::vector<std::int16_t> s(pcm.size() / 2);
        std::memcpy(s.data(), pcm.data(), s.size() * 2);
        return s;
    };
    const auto unity = decode(16384, 0);
    const auto half = decode(8192, 0);
    const auto left_quiet = decode(16384, 16384); // left at half
    ASSERT_EQ(unity.size(), half.size());
    for (std::size_t i = 0; i < unity.size(); i += 97) {
        EXPECT_EQ(half[i], unity[i] * 8192 / 16384);
        if (i % 2 == 0)
            EXPECT_EQ(left_quiet[i], unity[i] / 2);
        else
            EXPECT_EQ(left_quiet[i], unity[i]);
    }
    TMMAudioFile clamp;
    clamp.SetVolume(99999);
    clamp.SetPanning(-99999);
    EXPECT_EQ(clamp.Volume(), 32768);
    EXPECT_EQ(clamp.Panning(), -32768);
}

TEST_F(FileSourceTest, LoopingWrapsToTheStartAndMarksTheBuffer)
{
    Pulling pulling(Write("a.mp3", encode_mp3(shorter_than_one_buffer())));
    auto& [source, out] = pulling;
    ExtendedWaveHeader* h = out.Header();
    bool more = false;
    int wraps = 0;
    for (int i = 0; i < 10 && wraps < 3; ++i) {
        out.Header()->loop_flag = kTrue32;
        out.Header()->loop_count = 2;
        if (i == 0)
            out.Header()->loops_remaining = 2;
        const std::int32_t remaining = h->loops_remaining;
        out.Header()->looped_marker = 0;
        const std::uint32_t got = out.Pull(more);
        h->loops_remaining = remaining - (h->looped_marker ? 1 : 0);
        if (h->looped_marker)
            ++wraps;
        if (!more)
            break;
        ASSERT_GT(got, 0u);
    }
    // Two loops of a count of 2 wrap twice; then the title ends.
    EXPECT_EQ(wraps, 2);
    EXPECT_FALSE(more);
    out.End();
}

TEST_F(FileSourceTest, SeeksAndLoadsFromTwoThreadsExcludeEachOther)
{
    Pulling pulling(Write("a.mp3", encode_mp3(cbr128_stereo_44k(20.0))));
    auto& [source, out] = pulling;
    std::atomic<bool> stop{false};
    std::thread loader([&] {
        bool more = false;
        while (!stop.load())
            if (out.Pull(more) == 0 && !more)
                std::this_thread::yield();
    });
    for (int i = 0; i < 200; ++i)
        source.SetPosition((i * 7919) % 20000);
    stop = true;
    loader.join();
    // The races are for the sanitizers; afterwards the source is whole: a
    // seek lands where asked and the rest of the title decodes from there.
    source.SetPosition(17000);
    EXPECT_EQ(source.Position(), 17000);
    const std::vector<char> rest = out.PullAll();
    EXPECT_NEAR(static_cast<double>(rest.size()) / (44100 * 4), 3.0, 0.05);
    out.End();
}

TEST_F(FileSourceTest, AResetCountsThePlayedTimeOnce)
{
    Pulling pulling(Write("a.mp3", encode_mp3(cbr128_stereo_44k(4.0))));
    auto& [source, out] = pulling;
    bool more = false;
    for (int i = 0; i < 3; ++i)
        out.Pull(more);
    const std::int64_t before = source.Position();
    EXPECT_NEAR(static_cast<double>(before), 3 * 8160 * 1000.0 / (44100 * 4), 1.0);
    out.PropagateReset();
    EXPECT_EQ(source.Position(), before) << "a reset plays nothing";
    out.Pull(more);
    out.Pull(more);
    // What was played since the reset, once.
    EXPECT_NEAR(static_cast<double>(source.Position()), before + 2 * 8160 * 1000.0 / (44100 * 4), 1.0);
    out.End();
}

TEST_F(FileSourceTest, MpegDataInARiffWaveFileIsMpeg)
{
    const Bytes mp3 = encode_mp3(cbr128_stereo_44k(1.0));
    // RIFF WAVE with format tag 85 (MPEG layer 3) around the stream.
    Bytes riff = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 30, 0, 0, 0,
                  85, 0, 2, 0, 0x44, 0xAC, 0, 0, 0x40, 0x3E, 0, 0, 1, 0, 0, 0, 12, 0,
                  1, 0, 2, 0, 0, 0, 0x40, 0x01, 1, 0, 0x71, 0x05, 'd', 'a', 't', 'a'};
    const auto data_size = static_cast<std::uint32_t>(mp3.size());
    for (int i = 0; i < 4; ++i)
        riff.push_back(static_cast<std::uint8_t>(data_size >> (8 * i)));
    riff.insert(riff.end(), mp3.begin(), mp3.end());
    const auto riff_size = static_cast<std::uint32_t>(riff.size() - 8);
    for (int i = 0; i < 4; ++i)
        riff[4 + i] = static_cast<std::uint8_t>(riff_size >> (8 * i));
    const QString wrapped = Write("wrapped.wav", riff);
    EXPECT_TRUE(IsMpegFile(wrapped));
    TMMAudioFile source;
    source.SetFileName(wrapped);
    EXPECT_EQ(source.FileType(), ftMpeg);
    EXPECT_NEAR(static_cast<double>(source.Duration()), 1000.0, 30.0);

    // A PCM WAVE file is not MPEG, however it is named.
    Bytes pcm_wav(riff.begin(), riff.begin() + 60);
    pcm_wav[20] = 1;
    EXPECT_FALSE(IsMpegFile(Write("pcm.mp3", pcm_wav)));
}

TEST(MpegLibraryLoading, MissingOrOldLibrariesAreRefusedWithTheirMessages)
{
    const std::string missing = (program_dir() / "no-such-decoder.so").string();
    MpegLibrary absent({missing}, /*show_errors=*/false);
    EXPECT_FALSE(absent.Loaded());
    EXPECT_EQ(absent.LoadError().toStdString(), "Unable to load " + missing);
    try {
        TMMMpeg mpeg(absent);
        FAIL() << "a decoder without a library";
    } catch (const EMMMpegError& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to load " + missing);
    }

    MpegLibrary old({(program_dir() / "libmmmpeg32_old.so").string()}, false);
    EXPECT_FALSE(old.Loaded());
    EXPECT_EQ(old.LoadError(), QStringLiteral("Invalid Mpeg Decoder DLL version"));

    // Without a decoder an MP3 is only a failed WAV candidate.
    TempDir dir;
    const QString mp3 = QString::fromStdString(dir.write("a.mp3", encode_mp3(cbr128_stereo_44k(0.3))).string());
    EXPECT_FALSE(IsMpegFile(absent, mp3));
    TMMAudioFile source(absent);
    EXPECT_EQ(source.MpegReader(), nullptr);
    EXPECT_THROW(source.SetFileName(mp3), EMMAudioError);
}

TEST(MpegLibraryLoading, ThePluginExportsTheWholeContract)
{
    MpegLibrary& library = MpegLibrary::Instance();
    ASSERT_TRUE(library.Loaded());
    EXPECT_GT(library.Version(), 16);
    for (const void* entry :
         {(const void*)library.SetDecodeCallback, (const void*)library.SetDecodeMode, (const void*)library.SetFileOffset,
          (const void*)library.AbortReadData, (const void*)library.ScanFile, (const void*)library.ScanFileEx,
          (const void*)library.EncryptFile, (const void*)library.ReadID3Tag})
        EXPECT_NE(entry, nullptr);
    EXPECT_FALSE(library.ErrorText(kMpegErrNotMpeg).isEmpty());
}

} // namespace
} // namespace pelu

#include "file_source_test.moc"
