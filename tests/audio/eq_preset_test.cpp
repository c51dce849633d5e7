#include "audio/equalizer.h"
#include "platform/profile/profile.h"

#include "files.h"
#include "expect_raises.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QLocale>

namespace pelu {
namespace {

using test::qpath;

void fill_sixteen(TMMEqualizer& eq)
{
    const float centres[16] = {31.5f, 44.f, 63.f, 88.f, 125.f, 177.f, 250.f, 355.f,
                               500.f, 710.f, 1000.f, 1400.f, 2000.f, 2800.f, 4000.f, 16000.f};
    for (int i = 0; i < 16; ++i) {
        TMMEQFilter* band = eq.Filters().AddBand(centres[i] / 1.189f, centres[i] * 1.189f, float(i - 8) * 1.5f + 0.1f);
        band->SetEnabled(i % 3 != 0);
    }
}

void expect_same_bands(const TMMEqualizer& a, const TMMEqualizer& b)
{
    ASSERT_EQ(a.Filters().Count(), b.Filters().Count());
    for (int i = 0; i < a.Filters().Count(); ++i) {
        EXPECT_EQ(a.Filters()[i]->F1(), b.Filters()[i]->F1()) << i;
        EXPECT_EQ(a.Filters()[i]->F2(), b.Filters()[i]->F2()) << i;
        EXPECT_EQ(a.Filters()[i]->Gain(), b.Filters()[i]->Gain()) << i;
        EXPECT_EQ(a.Filters()[i]->Enabled(), b.Filters()[i]->Enabled()) << i;
    }
}

class LocaleGuard {
public:
    explicit LocaleGuard(const QLocale& locale) : saved_(QLocale()) { QLocale::setDefault(locale); }
    ~LocaleGuard() { QLocale::setDefault(saved_); }

private:
    QLocale saved_;
};

TEST(EqualizerPreset, IniSectionRoundTripsAndKeepsOtherContent)
{
    test::TempDir dir;
    const auto file = dir.file("eqdata.ini");
    test::write_file(file, {';', ' ', 'm', 'i', 'n', 'e', '\n', '[', 'O', 't', 'h', 'e', 'r', ']', '\n',
                            'k', '=', 'v', '\n'});
    TMMEqualizer saved;
    saved.SetFFTLength(1024);
    saved.SetSampleRate(44100);
    saved.SetWindow(fwBlackman);
    fill_sixteen(saved);
    saved.SaveToIniFile(qpath(file), "BrindleX");

    platform::PrivateProfile profile(qpath(file));
    EXPECT_EQ(profile.ReadString("Other", "k", ""), "v");
    EXPECT_EQ(profile.ReadInteger("EQ.BrindleX", "FFTLen", 0), 1024);
    EXPECT_EQ(profile.ReadInteger("EQ.BrindleX", "Samplerate", 0), 44100);
    EXPECT_EQ(profile.ReadInteger("EQ.BrindleX", "Window", 0), 3);
    EXPECT_EQ(profile.ReadInteger("EQ.BrindleX", "Bands", 0), 16);
    EXPECT_EQ(profile.ReadString("EQ.BrindleX", "Band0 Enabled", ""), "0");
    EXPECT_EQ(profile.ReadString("EQ.BrindleX", "Band1 Enabled", ""), "1");
    EXPECT_EQ(profile.ReadString("EQ.BrindleX", "Band10 Gain", ""), "3.1");
    EXPECT_EQ(test::read_file(file)[0], ';');

    TMMEqualizer loaded;
    int changes = 0;
    loaded.OnChange = [&](QObject*) { ++changes; };
    loaded.LoadFromIniFile(qpath(file), "BrindleX");
    expect_same_bands(saved, loaded);
    EXPECT_EQ(loaded.FFTLength(), 1024);
    EXPECT_EQ(loaded.SampleRate(), 44100);
    EXPECT_EQ(loaded.Window(), fwBlackman);
    EXPECT_EQ(loaded.Description(), "EQ.BrindleX");
    EXPECT_EQ(changes, 1); // the bands are applied once, at the end
}

TEST(EqualizerPreset, CommaDecimalSeparatorReadsTheSameValues)
{
    test::TempDir dir;
    const auto comma_file = dir.file("comma.ini");
    TMMEqualizer saved;
    fill_sixteen(saved);
    {
        LocaleGuard german(QLocale(QLocale::German, QLocale::Germany));
        saved.SaveToIniFile(qpath(comma_file), "X");
        EXPECT_EQ(platform::PrivateProfile(qpath(comma_file)).ReadString("EQ.X", "Band10 Gain", ""), "3,1");
        TMMEqualizer same_locale;
        same_locale.LoadFromIniFile(qpath(comma_file), "X");
        expect_same_bands(saved, same_locale);
    }
    // Read back where '.' is the separator.
    TMMEqualizer loaded;
    loaded.LoadFromIniFile(qpath(comma_file), "X");
    expect_same_bands(saved, loaded);

    // And a hand-written file with ';' and ',' read where ',' is the separator.
    const auto hand = dir.file("hand.ini");
    const std::string text = "[EQ.H]\nFFTLen=512\nBands=2\nBand0 f1=100.5\nBand0 f2=200;25\nBand0 Gain=-3.5\n"
                             "Band1 f1=1000\nBand1 f2=2000\nBand1 Gain=6,75\nBand1 Enabled=0\n";
    test::write_file(hand, test::Bytes(text.begin(), text.end()));
    LocaleGuard german(QLocale(QLocale::German, QLocale::Germany));
    TMMEqualizer handmade;
    handmade.LoadFromIniFile(qpath(hand), "H");
    ASSERT_EQ(handmade.Filters().Count(), 2);
    EXPECT_EQ(handmade.Filters()[0]->F1(), 100.5f);
    EXPECT_EQ(handmade.Filters()[0]->F2(), 200.25f);
    EXPECT_EQ(handmade.Filters()[0]->Gain(), -3.5f);
    EXPECT_TRUE(handmade.Filters()[0]->Enabled());
    EXPECT_EQ(handmade.Filters()[1]->Gain(), 6.75f);
    EXPECT_FALSE(handmade.Filters()[1]->Enabled());
    EXPECT_EQ(handmade.FFTLength(), 512);
    EXPECT_EQ(handmade.SampleRate(), 4000); // default
    EXPECT_EQ(handmade.Window(), fwHamming); // default
}

TEST(EqualizerPreset, MissingFileSectionOrFFTLenChangesNothing)
{
    test::TempDir dir;
    TMMEqualizer eq;
    eq.Filters().AddBand(1, 2, 3);
    eq.SetFFTLength(512);
    const auto file = dir.file("p.ini");
    const std::string text = "[EQ.NoLen]\nBands=1\nBand0 f1=5\n[EQ.Zero]\nFFTLen=0\nBands=0\n[EQ.Text]\nFFTLen=abc\n";
    test::write_file(file, test::Bytes(text.begin(), text.end()));
    for (const char* name : {"Missing", "NoLen", "Zero", "Text"}) {
        eq.LoadFromIniFile(qpath(file), name);
        ASSERT_EQ(eq.Filters().Count(), 1) << name;
        EXPECT_EQ(eq.Filters()[0]->Gain(), 3.0f);
        EXPECT_EQ(eq.FFTLength(), 512);
    }
    eq.LoadFromIniFile(qpath(dir.file("absent.ini")), "X");
    EXPECT_EQ(eq.Filters().Count(), 1);
    eq.LoadFromIniFile("", "X"); // an empty name does nothing
    eq.SaveToIniFile("", "X");
    EXPECT_EQ(eq.Filters().Count(), 1);
}

TEST(EqualizerPreset, BadNumberStopsTheLoadAfterTheBandsReadSoFar)
{
    test::TempDir dir;
    const auto file = dir.file("bad.ini");
    const std::string text = "[EQ.B]\nFFTLen=256\nBands=4\nBand0 f1=1\nBand0 f2=2\nBand0 Gain=3\n"
                             "Band1 f1=10\nBand1 f2=20\nBand1 Gain=loud\nBand2 f1=100\n";
    test::write_file(file, test::Bytes(text.begin(), text.end()));
    TMMEqualizer eq;
    eq.Filters().AddBand(7, 8, 9);
    try {
        eq.LoadFromIniFile(qpath(file), "B");
        FAIL() << "no conversion error";
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'loud' is not a valid floating point value");
    }
    ASSERT_EQ(eq.Filters().Count(), 1);
    EXPECT_EQ(eq.Filters()[0]->F1(), 1.0f);
    EXPECT_EQ(eq.Filters()[0]->Gain(), 3.0f);
    // Missing band keys read as 0 and enabled.
    const auto holes = dir.file("holes.ini");
    const std::string sparse = "[EQ.S]\nFFTLen=256\nBands=2\nBand1 Gain=4\n";
    test::write_file(holes, test::Bytes(sparse.begin(), sparse.end()));
    eq.LoadFromIniFile(qpath(holes), "S");
    ASSERT_EQ(eq.Filters().Count(), 2);
    EXPECT_EQ(eq.Filters()[0]->F2(), 0.0f);
    EXPECT_EQ(eq.Filters()[1]->Gain(), 4.0f);
    EXPECT_TRUE(eq.Filters()[1]->Enabled());
}

TEST(EqualizerPreset, ValuesTheEqualizerCannotUseRefuseTheFileWhole)
{
    test::TempDir dir;
    TMMEqualizer eq;
    eq.SetFFTLength(512);
    eq.Filters().AddBand(100, 200, 3);
    const std::pair<std::string, std::string> refused[] = {
        {"Bands=40000\n", "Bands=40000 is outside 0..4096"},
        {"Bands=-1\n", "Bands=-1 is outside 0..4096"},
        {"Bands=2\nBand1 Gain=1e30\n", "Band1 Gain=1e+30 is outside -96..96 dB"},
        {"Bands=2\nBand0 Gain=-200\n", "Band0 Gain=-200 is outside -96..96 dB"},
        {"Bands=1\nBand0 f1=-5\n", "Band0 frequency -5 Hz is outside 0..1e+06 Hz"},
        {"Bands=1\nBand0 f2=3e9\n", "Band0 frequency 3e+09 Hz is outside 0..1e+06 Hz"},
    };
    for (const auto& [keys, why] : refused) {
        const auto file = dir.file("p.ini");
        const std::string text = "[EQ.R]\nFFTLen=1024\n" + keys;
        test::write_file(file, test::Bytes(text.begin(), text.end()));
        EXPECT_RAISES(eq.LoadFromIniFile(qpath(file), "R"), EMMEqualizerError, why);
        ASSERT_EQ(eq.Filters().Count(), 1) << keys;
        EXPECT_EQ(eq.Filters()[0]->Gain(), 3.0f);
        EXPECT_EQ(eq.FFTLength(), 512);
    }
    // At the bounds: read.
    const auto file = dir.file("edge.ini");
    const std::string text = "[EQ.E]\nFFTLen=1024\nBands=2\nBand0 Gain=-96\nBand1 Gain=96\nBand1 f2=1000000\n";
    test::write_file(file, test::Bytes(text.begin(), text.end()));
    eq.LoadFromIniFile(qpath(file), "E");
    ASSERT_EQ(eq.Filters().Count(), 2);
    EXPECT_EQ(eq.Filters()[1]->Gain(), 96.0f);
}

TEST(EqualizerStream, RoundTripsAndMatchesTheStoredDefault)
{
    TMMEqualizer empty;
    const QByteArray expected("EQU\0\x01\x08\0\0\0Untitled\0\x01\0\0\0\0", 23);
    EXPECT_EQ(empty.SaveFiltersToStream(), expected);

    TMMEqualizer saved;
    saved.SetFFTLength(2048);
    saved.SetDescription("Rock");
    fill_sixteen(saved);
    const QByteArray stream = saved.SaveFiltersToStream();
    EXPECT_EQ(stream.size(), 4 + 1 + 4 + 4 + 4 + 2 + 16 * (1 + 11 + 1 + 12));
    EXPECT_EQ(stream.mid(19, 12), QByteArray("\x0bTMMEQFilter"));

    TMMEqualizer loaded;
    int changes = 0;
    loaded.OnChange = [&](QObject*) { ++changes; };
    loaded.LoadFiltersFromStream(stream);
    expect_same_bands(saved, loaded);
    EXPECT_EQ(loaded.FFTLength(), 2048);
    EXPECT_EQ(loaded.Description(), "Rock");
    EXPECT_EQ(changes, 1);
    // Through the property system too.
    TMMEqualizer by_property;
    by_property.setProperty("ObjectContainer", stream);
    expect_same_bands(saved, by_property);
}

TEST(EqualizerStream, BadStreamsRaiseTheirErrors)
{
    TMMEqualizer eq;
    eq.Filters().AddBand(1, 2, 3);
    try {
        eq.LoadFiltersFromStream(QByteArray("EQX\0\x01", 5));
        FAIL();
    } catch (const EStreamError& e) {
        EXPECT_STREQ(e.what(), "Invalid Object stream");
    }
    EXPECT_EQ(eq.Filters().Count(), 1); // a wrong magic touches nothing

    QByteArray unknown("EQU\0\x01\0\0\0\0\0\x01\0\0\x01\0\x07TMMBand", 23);
    try {
        eq.LoadFiltersFromStream(unknown);
        FAIL();
    } catch (const EClassNotFound& e) {
        EXPECT_STREQ(e.what(), "Class <TMMBand> not registered");
    }

    TMMEqualizer source;
    fill_sixteen(source);
    const QByteArray good = source.SaveFiltersToStream();
    for (int cut : {5, 12, 40, int(good.size()) - 1}) {
        EXPECT_THROW(eq.LoadFiltersFromStream(good.left(cut)), EStreamError) << cut;
    }
    QByteArray absurd = good;
    absurd[5] = char(0xff); // description length far beyond the data
    absurd[8] = char(0x7f);
    EXPECT_THROW(eq.LoadFiltersFromStream(absurd), EStreamError);

    class OtherBand : public TMMEQFilter {
    public:
        const char* ClassName() const override { return "TMMOtherBand"; }
    };
    eq.Filters().Add(new OtherBand);
    try {
        eq.SaveFiltersToStream();
        FAIL();
    } catch (const EClassNotFound& e) {
        EXPECT_STREQ(e.what(), "Source Class <TMMOtherBand> not registered");
    }
    eq.Filters().Add(nullptr);
    eq.Filters().Delete(eq.Filters().Count() - 2);
    try {
        eq.SaveFiltersToStream();
        FAIL();
    } catch (const EClassNotFound& e) {
        EXPECT_STREQ(e.what(), "Nil Source Class!");
    }
}

TEST(EqualizerBands, ListNotifiesAndIndexesSafely)
{
    TMMEqualizer eq;
    int changes = 0;
    eq.OnChange = [&](QObject*) { ++changes; };
    TMMEQFilterList& list = eq.Filters();
    list.AddBand(1, 2, 3);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(list.Capacity(), 4);
    list.BeginUpdate();
    for (int i = 0; i < 10; ++i)
        list.AddBand(float(i), float(i + 1), 0);
    EXPECT_EQ(changes, 1);
    list.EndUpdate();
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(list.Count(), 11);
    EXPECT_EQ(list.Capacity(), 16); // grows 4, 8, 16
    EXPECT_THROW(list.Items(11), EListError);
    EXPECT_THROW(list.Items(-1), EListError);
    list[0]->SetF2(2.0f); // equal
    EXPECT_EQ(changes, 2);
    list[0]->SetF2(2.5f);
    EXPECT_EQ(changes, 3);
    list[0]->SetEnabled(false);
    EXPECT_EQ(changes, 4);

    TMMEqualizer copy;
    copy.Assign(eq);
    expect_same_bands(eq, copy);
    EXPECT_FALSE(copy.Filters()[0]->Enabled());
}

} // namespace
} // namespace pelu
