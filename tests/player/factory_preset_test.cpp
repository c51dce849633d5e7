// The factory equalizer preset data/default.ini: sixteen flat bands that cover
// the audible range, read by the equalizer the way "Default" reads it, and
// exactly what the equalizer itself writes for those bands.
#include "audio/equalizer.h"

#include "files.h"

#include <gtest/gtest.h>

#include <QFile>

namespace pelu {
namespace {

const QString kFactoryPreset = QStringLiteral(PELU_SOURCE_DIR "/data/default.ini");

TEST(FactoryPreset, SixteenFlatBandsCoveringTheAudibleRange)
{
    ASSERT_TRUE(QFile::exists(kFactoryPreset));
    TMMEqualizer eq;
    eq.Filters().Clear();
    eq.LoadFromIniFile(kFactoryPreset, QStringLiteral("BrindleX"));
    const TMMEQFilterList& bands = eq.Filters();
    ASSERT_EQ(bands.Count(), 16);
    EXPECT_EQ(eq.FFTLength(), 1024);
    EXPECT_LE(bands.Items(0)->F1(), 25.0f);
    EXPECT_GE(bands.Items(15)->F2(), 16000.0f);
    EXPECT_LE(bands.Items(15)->F2(), 22050.0f); // within what 44.1 kHz carries
    for (int i = 0; i < bands.Count(); ++i) {
        const TMMEQFilter& band = *bands.Items(i);
        EXPECT_EQ(band.Gain(), 0.0f) << "band " << i;
        EXPECT_TRUE(band.Enabled()) << "band " << i;
        EXPECT_LT(band.F1(), band.F2()) << "band " << i;
        if (i > 0) {
            EXPECT_EQ(band.F1(), bands.Items(i - 1)->F2()) << "band " << i << " does not meet the one below";
        }
        // Even steps on a logarithmic scale: each band between 1/2 and 1 octave wide.
        EXPECT_GT(band.F2() / band.F1(), 1.4f) << "band " << i;
        EXPECT_LT(band.F2() / band.F1(), 2.0f) << "band " << i;
    }
}

TEST(FactoryPreset, IsTheEqualizersOwnPresetText)
{
    TMMEqualizer eq;
    eq.LoadFromIniFile(kFactoryPreset, QStringLiteral("BrindleX"));
    test::TempDir dir;
    const QString copy = QString::fromStdString(dir.file("eqdata.ini").string());
    eq.SaveToIniFile(copy, QStringLiteral("BrindleX"));
    EXPECT_EQ(test::read_file(dir.file("eqdata.ini")), test::read_file(kFactoryPreset.toStdString()));
}

} // namespace
} // namespace pelu
