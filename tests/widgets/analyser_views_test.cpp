// The analyser displays paint what their computing side reports: lit spots in
// the zones' colours, the peak above them, dotted patterns, and nothing lit
// when disabled.
#include "widgets/analyser_views.h"
#include "widgets/theme.h"

#include "paint_probe.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>

#include <cmath>
#include <vector>

using namespace pelu;
using namespace pelu::widgets;
using namespace pelu::widgets::test;

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

// Partial repaints: only the spots whose picture changed, nothing when a new
// value lights the same spots, and the screen always equals a whole picture.
void LetTheTickPaint()
{
    QTest::qWait(3 * kRepaintMs);
}

// A 16-bit stereo meter of the player's size in a shown window.
struct HostedMeter : ::testing::Test {
    QWidget host;
    TLevelMeter* meter = new TLevelMeter(&host);
    TMMLevel* level = meter->Level();
    void Show()
    {
        host.resize(200, 30);
        meter->setGeometry(10, 10, 88, 4);
        level->SetBitLength(b16Bit);
        level->SetMode(mStereo);
        level->SetSamples(250);
        host.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&host));
        QTest::qWait(50); // the first paints are done
        LetTheTickPaint();
    }
};

TEST_F(HostedMeter, RepaintsTheSpotsThatChangedAndTheScreenStaysWhole)
{
    level->SetBar1Color(BgrFromColor(Qt::white));
    level->SetBar2Color(BgrFromColor(Qt::yellow));
    level->SetBar3Color(BgrFromColor(Qt::red));
    level->SetInactiveDoted(true);
    level->SetChannel(chRight);
    level->SetNumPeaks(1);
    Show();
    PaintLog log(meter);
    const double amplitudes[] = {30000, 12000, 12000, 3000, 25000, 26000, 800, 0, 16000};
    for (double amplitude : amplitudes) {
        const int lit_before = level->LitSpots(), peak_before = level->PeakSpot();
        const auto pcm = StereoSine(250, amplitude, 1000);
        level->ProcessData(reinterpret_cast<const char*>(pcm.data()));
        LetTheTickPaint();
        const bool same = level->LitSpots() == lit_before && level->PeakSpot() == peak_before;
        if (same) {
            EXPECT_TRUE(log.regions.empty()) << "amplitude " << amplitude;
        }
        for (const QRegion& region : log.regions)
            EXPECT_LT(region.boundingRect().width(), meter->width()) << "amplitude " << amplitude;
        if (!same && log.regions.empty())
            ADD_FAILURE() << "a change of lit spots was not repainted, amplitude " << amplitude;
        log.regions.clear();
    }
    // After the run of partial repaints the screen shows the whole meter.
    // (A grab is taken only here: Qt repaints a grabbed widget whole afterwards.)
    EXPECT_EQ(OnScreen(meter), Whole(meter));
}

TEST(AnalyserRepaint, SpectrumRepaintsChangedBarsOnlyAndNothingForTheSameSpots)
{
    QWidget host;
    host.resize(120, 40);
    auto* view = new TSpectrumView(&host);
    view->setGeometry(10, 5, 68, 27);
    TBevelStyle bevel;
    bevel.outer = bvLowered;
    bevel.border = true;
    view->SetBevel(bevel);
    TMMSpectrum* spectrum = view->Spectrum();
    spectrum->SetFFTLength(64);
    spectrum->SetWindow(fwRectangular);
    spectrum->SetBitLength(b16Bit);
    spectrum->SetGain(sg3db);
    spectrum->SetVerticalScale(20);
    spectrum->SetFrequencyScale(2);
    spectrum->SetDecayMode(dmNone);
    spectrum->SetNumPeaks(0);
    spectrum->SetDrawInactive(true);
    const WaveFormat format = make_pcm_format(44100, 16, 2);
    spectrum->SetPWaveFormat(&format);
    host.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&host));
    QTest::qWait(50); // the first paints are done
    LetTheTickPaint();
    ASSERT_EQ(spectrum->BarCount(), 16);
    int changed_signals = 0;
    QObject::connect(spectrum, &TMMSpectrum::Changed, [&] { ++changed_signals; });
    PaintLog log(view);

    // A sine in the fourth bar: only that bar's columns repaint.
    const auto bar3 = spectrum->Bars()[3];
    const double hz = spectrum->BinFrequency(bar3.first_bin);
    auto feed = [&](double amplitude) {
        const auto pcm = StereoSine(64, amplitude, hz);
        spectrum->ProcessData(reinterpret_cast<const char*>(pcm.data()));
    };
    feed(30000);
    LetTheTickPaint();
    ASSERT_GT(spectrum->Bars()[3].lit_spots, 0);
    ASSERT_FALSE(log.regions.empty());
    const QRect painted = log.regions.back().boundingRect();
    EXPECT_LE(painted.width(), bar3.end_column - bar3.first_column);
    EXPECT_GE(painted.left(), view->InnerRect().left() + bar3.first_column);
    ASSERT_EQ(OnScreen(view), Whole(view));

    // Find a second amplitude whose bar value differs but lights the same spots.
    double other = 0;
    const auto first = spectrum->Bars();
    for (double a = 29900; a > 20000 && other == 0; a -= 50) {
        feed(a);
        const auto bars = spectrum->Bars();
        bool same_spots = true;
        for (std::size_t i = 0; i < bars.size(); ++i)
            same_spots = same_spots && bars[i].lit_spots == first[i].lit_spots;
        if (same_spots && bars[3].value != first[3].value)
            other = a;
    }
    ASSERT_GT(other, 0) << "no amplitude with the same spots and another value";
    feed(30000);
    LetTheTickPaint();
    log.regions.clear();
    changed_signals = 0;
    feed(other);
    LetTheTickPaint();
    EXPECT_GT(changed_signals, 0); // the computing side reported new values...
    EXPECT_TRUE(log.regions.empty()); // ...that light the same spots: nothing repaints

    // Silence clears the bar: the screen follows.
    feed(0);
    LetTheTickPaint();
    ASSERT_FALSE(log.regions.empty());
    ASSERT_EQ(OnScreen(view), Whole(view));
}

TEST_F(HostedMeter, AGrabBetweenTicksDoesNotLeaveTheScreenBehind)
{
    level->SetNumPeaks(0);
    Show();
    const auto loud = StereoSine(250, 30000, 1000);
    level->ProcessData(reinterpret_cast<const char*>(loud.data()));
    ASSERT_GT(level->LitSpots(), 0);
    // A picture taken before the tick shows the new state at once...
    const QImage grabbed = Whole(meter);
    LetTheTickPaint();
    // ...and the screen catches up too.
    EXPECT_EQ(OnScreen(meter), grabbed);
}

} // namespace
