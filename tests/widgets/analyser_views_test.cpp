// The analyser displays paint what their computing side reports: lit spots in
// the zones' colours, the peak above them, dotted patterns, and nothing lit
// when disabled.
#include "widgets/analyser_views.h"
#include "widgets/theme.h"

#include <gtest/gtest.h>

#include <QApplication>

#include <cmath>
#include <vector>

using namespace pelu;
using namespace pelu::widgets;

namespace {

std::vector<std::int16_t> StereoSine(int frames, double amplitude, double hz, double rate = 44100.0)
{
    std::vector<std::int16_t> pcm(frames * 2);
    for (int i = 0; i < frames; ++i) {
        const auto v = std::int16_t(std::lround(amplitude * std::sin(2 * M_PI * hz * i / rate)));
        pcm[2 * i] = v;
        pcm[2 * i + 1] = v;
    }
    return pcm;
}

// The player's right meter: 88 x 4, white and grey dotted spots on black.
struct MeterFixture : ::testing::Test {
    TLevelMeter meter;
    TMMLevel* level = meter.Level();
    void SetUp() override
    {
        meter.resize(88, 4);
        level->SetBar1Color(BgrFromColor(Qt::white));
        level->SetBar2Color(BgrFromColor(Qt::white));
        level->SetInactive1Color(BgrFromColor(QColor(0x80, 0x80, 0x80)));
        level->SetInactive2Color(BgrFromColor(QColor(0x80, 0x80, 0x80)));
        level->SetInactiveDoted(true);
        level->SetActiveDoted(true);
        level->SetBitLength(b16Bit);
        level->SetMode(mStereo);
        level->SetChannel(chRight);
        level->SetSamples(250);
        meter.show();
        QCoreApplication::processEvents();
    }
    QImage Shot() { return meter.grab().toImage(); }
    // The first pixel of spot s (1-based); spots are 1 pixel wide with 1 between.
    QColor Spot(const QImage& shot, int s) { return QColor(shot.pixel(level->SpotOffset() + 2 * (s - 1), 0)); }
};

TEST_F(MeterFixture, SilenceShowsEveryZoneInactiveAndDotted)
{
    ASSERT_EQ(level->SpotCount(), 44);
    const QImage shot = Shot();
    EXPECT_EQ(Spot(shot, 1), QColor(0x80, 0x80, 0x80));
    EXPECT_EQ(Spot(shot, 30), QColor(0x80, 0x80, 0x80));
    EXPECT_EQ(Spot(shot, 44), ColorFromBgr(128)); // third zone's inactive default
    // Dotted: the second row of a spot stays background.
    EXPECT_EQ(QColor(shot.pixel(level->SpotOffset(), 1)), QColor(0, 0, 0));
    EXPECT_EQ(QColor(shot.pixel(level->SpotOffset(), 2)), QColor(0x80, 0x80, 0x80));
}

TEST_F(MeterFixture, FullScaleLightsEverySpotInItsZoneColour)
{
    const auto pcm = StereoSine(250, 32767, 441);
    level->ProcessData(reinterpret_cast<const char*>(pcm.data()));
    ASSERT_EQ(level->LitSpots(), 44);
    const QImage shot = Shot();
    EXPECT_EQ(Spot(shot, 1), QColor(Qt::white));
    EXPECT_EQ(Spot(shot, 37), QColor(Qt::white));
    EXPECT_EQ(Spot(shot, 38), ColorFromBgr(255)); // above z2 = 37: the third colour (red)
    EXPECT_EQ(Spot(shot, 44), ColorFromBgr(255));
}

TEST_F(MeterFixture, ThePeakStaysLitAboveAFallenLevel)
{
    level->SetDecayMode(dmNone);
    const auto loud = StereoSine(250, 32767, 441);
    level->ProcessData(reinterpret_cast<const char*>(loud.data()));
    const auto quiet = StereoSine(250, 200, 441);
    level->ProcessData(reinterpret_cast<const char*>(quiet.data()));
    const int lit = level->LitSpots();
    ASSERT_LT(lit, 30);
    ASSERT_EQ(level->PeakSpot(), 44);
    const QImage shot = Shot();
    EXPECT_EQ(Spot(shot, 44), ColorFromBgr(255));             // the peak
    EXPECT_EQ(Spot(shot, 43), ColorFromBgr(128));             // below it: unlit
    EXPECT_EQ(Spot(shot, lit + 1), QColor(0x80, 0x80, 0x80)); // above the level: unlit
    if (lit > 0) {
        EXPECT_EQ(Spot(shot, lit), QColor(Qt::white));
    }
}

TEST_F(MeterFixture, ADisabledMeterShowsNothingLit)
{
    const auto pcm = StereoSine(250, 32767, 441);
    level->ProcessData(reinterpret_cast<const char*>(pcm.data()));
    level->SetEnabled(false);
    const QImage shot = Shot();
    EXPECT_EQ(Spot(shot, 1), QColor(0x80, 0x80, 0x80));
}

// The player's analyser: 68 x 27 with a two-pixel frame, 16 bars of 12 spots.
TEST(SpectrumView, DrawsLitSpotsInTheBarsColumnsOnly)
{
    TSpectrumView view;
    view.resize(68, 27);
    TBevelStyle bevel;
    bevel.outer = bvLowered;
    bevel.border = true;
    view.SetBevel(bevel);
    TMMSpectrum* spectrum = view.Spectrum();
    spectrum->SetFFTLength(64);
    spectrum->SetWindow(fwRectangular);
    spectrum->SetBitLength(b16Bit);
    spectrum->SetGain(sg3db);
    spectrum->SetVerticalScale(20);
    spectrum->SetFrequencyScale(2);
    spectrum->SetPoint2(75);
    spectrum->SetBar1Color(6513458);
    spectrum->SetBar2Color(6513458);
    spectrum->SetBar3Color(BgrFromColor(QColor(0x80, 0x80, 0x80)));
    spectrum->SetDrawInactive(false);
    spectrum->SetColor(16777088);
    const WaveFormat format = make_pcm_format(44100, 16, 2);
    spectrum->SetPWaveFormat(&format);
    view.show();
    QCoreApplication::processEvents();
    ASSERT_EQ(view.InnerRect(), QRect(2, 2, 64, 23));
    ASSERT_EQ(spectrum->BarCount(), 16);
    ASSERT_EQ(spectrum->SpotCount(), 12);

    const QColor background = ColorFromBgr(16777088), bar = ColorFromBgr(6513458);
    QImage shot = view.grab().toImage();
    EXPECT_EQ(QColor(shot.pixel(10, 20)), background);

    // A sine in the fourth bar's bins lights that bar.
    const int bin = spectrum->Bars()[3].first_bin;
    const double hz = spectrum->BinFrequency(bin);
    const auto pcm = StereoSine(64, 30000, hz);
    spectrum->ProcessData(reinterpret_cast<const char*>(pcm.data()));
    const auto bars = spectrum->Bars();
    ASSERT_GT(bars[3].lit_spots, 0);
    shot = view.grab().toImage();
    // Bottom spot of bar 3: inner y = offset + 11 * 2, columns first+0 (Space 1: half of it is 0 on the left).
    const int bottom_spot_y = 2 + spectrum->SpotOffset() + (12 - 1) * 2;
    EXPECT_EQ(QColor(shot.pixel(2 + bars[3].first_column, bottom_spot_y)), bar);
    // The gap between bars and the row between spots keep the background.
    EXPECT_EQ(QColor(shot.pixel(2 + bars[3].end_column - 1, bottom_spot_y)), background);
    EXPECT_EQ(QColor(shot.pixel(2 + bars[3].first_column, bottom_spot_y - 1)), background);

    spectrum->SetEnabled(false);
    shot = view.grab().toImage();
    EXPECT_EQ(QColor(shot.pixel(2 + bars[3].first_column, bottom_spot_y)), background);
}

TEST(SpectrumView, UsesTheStoredBackgroundPicture)
{
    TSpectrumView view;
    view.resize(40, 30);
    QImage picture(40, 30, QImage::Format_RGB32);
    picture.fill(QColor(10, 200, 30));
    view.SetBackGroundDIB(TPicture(picture));
    view.Spectrum()->SetUseBackGroundDIB(true);
    EXPECT_EQ(QColor(view.grab().toImage().pixel(20, 15)), QColor(10, 200, 30));
    view.Spectrum()->SetUseBackGroundDIB(false);
    EXPECT_EQ(QColor(view.grab().toImage().pixel(20, 15)), ColorFromBgr(0));
}

} // namespace
