// The scrolling status line: the edge layer's colour ramps, the transparent
// colour switch, rebuilding, and both directions of movement.
#include "widgets/scrolling_text.h"
#include "widgets/theme.h"

#include "paint_probe.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QTest>

using pelu::widgets::ColorFromBgr;
using pelu::widgets::TALScrollingText;
using namespace pelu::widgets::test;

namespace {

// The player's status line: 146 x 11, fade 60, grey on grey, right to left.
void MakePlayerLine(TALScrollingText& line)
{
    line.resize(146, 11);
    line.SetTextDirection(TALScrollingText::tdRightToLeft);
    line.SetSpeed(50);
    line.SetEdgeFadeWidth(60);
    line.SetBackgroundColor(ColorFromBgr(11184810));
    line.SetFontColor(ColorFromBgr(5592405));
    line.SetText(QStringLiteral("Corvel-Ready"));
    line.Loaded();
}

QColor At(const QImage& image, int x, int y)
{
    return QColor(image.pixel(x, y));
}

int CountColor(const QImage& image, const QColor& color)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            count += QColor(image.pixel(x, y)) == color;
    return count;
}

TEST(ScrollingText, EdgeLayerRampsFromBackgroundToTextColour)
{
    TALScrollingText line;
    MakePlayerLine(line);
    const QImage& edge = line.EdgeLayer();
    const QColor background = ColorFromBgr(0xAAAAAA), text = ColorFromBgr(0x555555);
    EXPECT_EQ(At(edge, 0, 5), background);
    EXPECT_EQ(At(edge, 145, 5), background);
    EXPECT_EQ(At(edge, 59, 5), text);
    EXPECT_EQ(At(edge, 146 - 60, 5), text);
    EXPECT_EQ(At(edge, 73, 5), text);
    // Midway: 0xAA + MulDiv(30, 0x55 - 0xAA, 59) = 170 - 43 = 127.
    EXPECT_EQ(At(edge, 30, 5), QColor(127, 127, 127));
    EXPECT_EQ(At(edge, 145 - 30, 5), QColor(127, 127, 127));
}

TEST(ScrollingText, FadeWidthZeroAndOneLeaveThePlainTextColour)
{
    TALScrollingText line;
    MakePlayerLine(line);
    line.SetEdgeFadeWidth(0);
    const QColor text = ColorFromBgr(0x555555);
    EXPECT_EQ(CountColor(line.EdgeLayer(), text), 146 * 11);
    // One column: the ramp would divide by zero; the column takes the text colour.
    line.SetEdgeFadeWidth(1);
    EXPECT_EQ(CountColor(line.EdgeLayer(), text), 146 * 11);
    EXPECT_EQ(line.RampColor(1), text);
}

TEST(ScrollingText, RampRefusesAnIndexOutsideItsRange)
{
    TALScrollingText line;
    MakePlayerLine(line);
    EXPECT_EQ(line.RampColor(1), ColorFromBgr(0xAAAAAA));
    EXPECT_EQ(line.RampColor(60), ColorFromBgr(0x555555));
    try {
        line.RampColor(0);
        FAIL() << "index 0 accepted";
    } catch (const pelu::widgets::EALScrollingTextError& error) {
        EXPECT_STREQ(error.what(), "ColorIndex can't be less than 1 or greater than 60");
    }
    EXPECT_THROW(line.RampColor(61), pelu::widgets::EALScrollingTextError);
}

TEST(ScrollingText, GreenTextSwitchesTheTransparentColourToRedAndStillShows)
{
    TALScrollingText line;
    MakePlayerLine(line);
    EXPECT_EQ(line.TransparentColor(), QColor(0, 0x80, 0));
    line.SetEdgeFadeWidth(0);
    line.SetFontColor(ColorFromBgr(0x008000));
    EXPECT_EQ(line.TransparentColor(), QColor(0xff, 0, 0));
    // Bring the text into view: the strip's text starts one widget width in.
    for (int i = 0; i < 146 + 5; ++i)
        line.Step();
    const QImage shot = line.grab().toImage();
    EXPECT_GT(CountColor(shot, QColor(0, 0x80, 0)), 10);
    EXPECT_EQ(CountColor(shot, QColor(0xff, 0, 0)), 0);
    // A green background does the same.
    line.SetFontColor(ColorFromBgr(0x555555));
    line.SetBackgroundColor(ColorFromBgr(0x008000));
    EXPECT_EQ(line.TransparentColor(), QColor(0xff, 0, 0));
}

TEST(ScrollingText, SettingTheSameValueDoesNotRebuild)
{
    TALScrollingText line;
    MakePlayerLine(line);
    const int before = line.RebuildCount();
    line.SetText(QStringLiteral("Corvel-Ready"));
    line.SetEdgeFadeWidth(60);
    line.SetBackgroundColor(ColorFromBgr(11184810));
    line.SetLayout(TALScrollingText::tlCenter);
    EXPECT_EQ(line.RebuildCount(), before);
    line.SetText(QStringLiteral("Playing -song.mp3"));
    EXPECT_EQ(line.RebuildCount(), before + 1);
}

TEST(ScrollingText, RightToLeftEntersAtTheRightAndWrapsWithoutAJump)
{
    TALScrollingText line;
    MakePlayerLine(line);
    EXPECT_EQ(line.StripX(), 0);
    const int strip = line.StripWidth();
    EXPECT_GT(strip, 2 * 146);
    line.Step();
    EXPECT_EQ(line.StripX(), -1);
    // Changing the text keeps the position.
    line.SetText(QStringLiteral("Playing -a much longer file name.mp3"));
    EXPECT_EQ(line.StripX(), -1);
    const int cycle = line.StripWidth() - 146;
    for (int i = 1; i < cycle - 1; ++i)
        line.Step();
    EXPECT_EQ(line.StripX(), 146 - line.StripWidth() + 1);
    line.Step(); // reaches width - strip width: back to the start
    EXPECT_EQ(line.StripX(), 0);
}

TEST(ScrollingText, LeftToRightEntersAtTheLeft)
{
    TALScrollingText line;
    MakePlayerLine(line);
    line.SetTextDirection(TALScrollingText::tdLeftToRight);
    EXPECT_EQ(line.StripX(), 146 - line.StripWidth());
    line.SetEdgeFadeWidth(0);
    line.SetText(QStringLiteral("WWWW"));
    line.Loaded();
    const QColor text = ColorFromBgr(0x555555);
    // After a few steps the text's right end shows at the left edge only.
    for (int i = 0; i < 6; ++i)
        line.Step();
    EXPECT_EQ(line.StripX(), 146 - line.StripWidth() + 6);
    QImage shot = line.grab().toImage();
    int leftmost = 1000, rightmost = -1;
    for (int y = 0; y < 11; ++y)
        for (int x = 0; x < 146; ++x)
            if (QColor(shot.pixel(x, y)) == text) {
                leftmost = std::min(leftmost, x);
                rightmost = std::max(rightmost, x);
            }
    ASSERT_GE(rightmost, 0);
    EXPECT_LT(rightmost, 6);
    EXPECT_EQ(leftmost, 0);
    // Near the end of the cycle the strip wraps back.
    const int cycle = line.StripWidth() - 146;
    for (int i = 6; i < cycle; ++i)
        line.Step();
    EXPECT_EQ(line.StripX(), 146 - line.StripWidth());
}

TEST(ScrollingText, ADisabledLineRepaintsWithoutMoving)
{
    TALScrollingText line;
    MakePlayerLine(line);
    line.setEnabled(false);
    line.Step();
    line.Step();
    EXPECT_EQ(line.StripX(), 0);
    line.setEnabled(true);
    line.Step();
    EXPECT_EQ(line.StripX(), -1);
}

// The line scrolls only while it can be seen moving, and each step repaints
// only the columns its text covers; the screen stays whole.
TEST(ScrollingText, StatusLineScrollsOnlyWhileItCanBeSeenMoving)
{
    QWidget host;
    host.resize(300, 40);
    auto* line = new TALScrollingText(&host);
    line->setGeometry(20, 10, 146, 11);
    line->SetText(QStringLiteral("Corvel-Ready"));
    EXPECT_FALSE(line->IsScrolling()); // not shown yet
    host.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&host));
    QTest::qWait(50); // the first paints are done
    EXPECT_TRUE(line->IsScrolling());
    line->hide();
    EXPECT_FALSE(line->IsScrolling());
    line->show();
    EXPECT_TRUE(line->IsScrolling());
    line->setEnabled(false);
    EXPECT_FALSE(line->IsScrolling());
    line->setEnabled(true);
    EXPECT_TRUE(line->IsScrolling());
    line->SetText(QString());
    EXPECT_FALSE(line->IsScrolling());
    line->SetText(QStringLiteral("Playing -a.mp3"));
    EXPECT_TRUE(line->IsScrolling());
    host.setEnabled(false); // disabled through its parent
    EXPECT_FALSE(line->IsScrolling());
    host.setEnabled(true);
    EXPECT_TRUE(line->IsScrolling());
}

TEST(ScrollingText, StatusLineRepaintsOnlyTheTextsColumnsAndStaysWhole)
{
    QWidget host;
    host.resize(300, 40);
    auto* line = new TALScrollingText(&host);
    line->setGeometry(20, 10, 146, 11);
    line->SetTextDirection(TALScrollingText::tdRightToLeft);
    line->SetSpeed(100000); // the test steps it
    line->SetEdgeFadeWidth(30);
    line->SetBackgroundColor(ColorFromBgr(11184810));
    line->SetFontColor(ColorFromBgr(5592405));
    line->SetText(QStringLiteral("ab"));
    line->Loaded();
    host.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&host));
    QTest::qWait(50); // the first paints are done
    const int text_width = line->StripWidth() - 2 * line->width();
    ASSERT_GT(text_width, 0);
    ASSERT_LT(text_width, 40);
    PaintLog log(line);
    int previous_left = line->StripX() + line->width();
    for (int step = 0; step < line->StripWidth() + 5; ++step) {
        line->Step();
        QCoreApplication::processEvents();
        // The text lies one widget width into the strip.
        const int text_left = line->StripX() + line->width();
        for (const QRegion& region : log.regions) {
            for (const QRect& painted : region) {
                EXPECT_LE(painted.width(), text_width + 4) << "step " << step;
                EXPECT_GE(painted.left(), std::max(0, std::min(previous_left, text_left) - 2)) << "step " << step;
            }
        }
        previous_left = text_left;
        log.regions.clear();
    }
    // After a whole cycle of partial repaints the screen shows the whole line.
    // (A grab is taken only here: Qt repaints a grabbed widget whole afterwards.)
    ASSERT_EQ(OnScreen(line), Whole(line));
    // A disabled line does not move and paints nothing.
    line->setEnabled(false);
    QCoreApplication::processEvents();
    log.regions.clear();
    const int x = line->StripX();
    line->Step();
    QCoreApplication::processEvents();
    EXPECT_EQ(line->StripX(), x);
    EXPECT_TRUE(log.regions.empty());
}

// Between the ramps a step moves the pixels already shown and draws only the
// column that comes in; what the screen shows stays what a whole redraw of
// every step shows, through the ramps and the wrap of the cycle.
TEST(ScrollingText, ScrolledStepsShowWhatWholeRedrawsShow)
{
    QWidget host;
    host.resize(300, 40);
    TALScrollingText* lines[2];
    for (int i = 0; i < 2; ++i) {
        lines[i] = new TALScrollingText(&host);
        lines[i]->move(0, 15 * i);
        MakePlayerLine(*lines[i]);
        lines[i]->SetSpeed(100000); // the test steps them
        lines[i]->SetEdgeFadeWidth(20); // a wide middle that scrolls
        lines[i]->SetText(QStringLiteral("Playing - Some Title.mp3"));
    }
    TALScrollingText& scrolled = *lines[0];
    TALScrollingText& redrawn = *lines[1];
    host.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&host));
    QTest::qWait(50);
    PaintLog log(&scrolled);
    int narrow_paints = 0, mismatches = 0;
    for (int step = 0; step < scrolled.StripWidth() + 10; ++step) {
        scrolled.Step();
        redrawn.Step();
        redrawn.repaint();
        QCoreApplication::processEvents();
        ASSERT_EQ(scrolled.StripX(), redrawn.StripX());
        if (OnScreen(&scrolled) != OnScreen(&redrawn))
            ++mismatches;
        for (const QRegion& region : log.regions)
            for (const QRect& painted : region)
                narrow_paints += painted.left() >= 20 && painted.right() < 146 - 20 && painted.width() <= 1;
        log.regions.clear();
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_GT(narrow_paints, 50) << "steps that drew only the incoming column";
}

} // namespace
