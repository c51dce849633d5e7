// The picture slider (volume and equalizer bands) and the seek slider: thumb
// place, jumps, drags beyond the ends, keys, and one OnTrackEnd per release.
#include "widgets/bitmap_slider.h"
#include "widgets/seek_slider.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QTest>
#include <QWheelEvent>

#include "paint_probe.h"

using pelu::widgets::TMMBitmapList;
using pelu::widgets::TMMBitmapSlider;
using pelu::widgets::TMMSlider;
using pelu::widgets::TPicture;

namespace {

TPicture Solid(QSize size, QColor color)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(color);
    return TPicture(image);
}

struct Counts {
    int change = 0, track = 0, track_end = 0;
};

template <typename Slider>
void Count(Slider& slider, Counts& counts)
{
    slider.OnChange = [&counts](QObject*) { ++counts.change; };
    slider.OnTrack = [&counts](QObject*) { ++counts.track; };
    slider.OnTrackEnd = [&counts](QObject*) { ++counts.track_end; };
}

// An equalizer band: 11 x 68 track, 11 x 6 thumb, -16..16, vertical.
struct BandSlider : ::testing::Test {
    TMMBitmapList list;
    TMMBitmapSlider slider;
    Counts counts;
    void SetUp() override
    {
        list.SetBitmaps({Solid({11, 6}, Qt::white), TPicture(), Solid({11, 68}, Qt::darkGray)});
        slider.SetOrientation(TMMBitmapSlider::orVertical);
        slider.SetMinValue(-16);
        slider.SetMaxValue(16);
        slider.SetAutoSize(true);
        slider.SetBitmapList(&list);
        slider.SetBitmapIndex(2);
        slider.SetBitmapBackIndex(2);
        slider.SetBitmapThumbIndex(0);
        slider.SetTransparentMode(TMMBitmapSlider::tmFixed);
        slider.show();
        Count(slider, counts);
    }
};

TEST_F(BandSlider, TakesItsPictureSizeAndPlacesTheThumb)
{
    EXPECT_EQ(slider.size(), QSize(11, 68));
    EXPECT_EQ(slider.ThumbSize(), QSize(11, 6));
    // Scale (68 - 6 - 4) / 32; the minimum at the bottom, the maximum at the top.
    slider.SetPosition(-16);
    EXPECT_EQ(slider.ThumbRect().top(), 68 - 0 - 6 - 2);
    slider.SetPosition(16);
    EXPECT_EQ(slider.ThumbRect().top(), 2);
    slider.SetPosition(0);
    EXPECT_EQ(slider.ThumbRect().top(), 68 - 29 - 6 - 2);
    slider.SetZeroPosition(TMMBitmapSlider::zpTopRight);
    EXPECT_EQ(slider.ThumbRect().top(), 29 + 2);
}

TEST_F(BandSlider, ClickingAboveTheThumbJumpsThereWithOneTrackAndOneTrackEnd)
{
    ASSERT_EQ(slider.Position(), 0);
    QTest::mousePress(&slider, Qt::LeftButton, {}, QPoint(5, 10));
    // L = 62 - (10 - 3) = 55; 55 / 62 * 32 = 28.4 -> 28; -16 + 28 = 12.
    EXPECT_EQ(slider.Position(), 12);
    EXPECT_EQ(counts.track, 1);
    EXPECT_EQ(counts.change, 1);
    EXPECT_EQ(counts.track_end, 0);
    QTest::mouseRelease(&slider, Qt::LeftButton, {}, QPoint(5, 10));
    EXPECT_EQ(counts.track, 1);
    EXPECT_EQ(counts.track_end, 1);
}

TEST_F(BandSlider, DraggingBeyondEitherEndStopsThere)
{
    const QPoint thumb = slider.ThumbRect().center();
    QTest::mousePress(&slider, Qt::LeftButton, {}, thumb);
    EXPECT_TRUE(slider.Dragging());
    EXPECT_EQ(counts.track, 1); // a press on the thumb reports too
    QTest::mouseMove(&slider, QPoint(thumb.x(), -200));
    EXPECT_EQ(slider.Position(), 16);
    QTest::mouseMove(&slider, QPoint(thumb.x(), -300));
    EXPECT_EQ(slider.Position(), 16);
    QTest::mouseRelease(&slider, Qt::LeftButton, {}, QPoint(thumb.x(), -300));
    EXPECT_EQ(slider.Position(), 16);
    EXPECT_EQ(counts.track_end, 1);

    const QPoint top_thumb = slider.ThumbRect().center();
    QTest::mousePress(&slider, Qt::LeftButton, {}, top_thumb);
    QTest::mouseMove(&slider, QPoint(top_thumb.x(), 400));
    QTest::mouseRelease(&slider, Qt::LeftButton, {}, QPoint(top_thumb.x(), 400));
    EXPECT_EQ(slider.Position(), -16);
    EXPECT_EQ(counts.track_end, 2);
}

TEST_F(BandSlider, SamePositionFiresNoChangeAndRangeChangesClamp)
{
    slider.SetPosition(5);
    EXPECT_EQ(counts.change, 1);
    slider.SetPosition(5);
    EXPECT_EQ(counts.change, 1);
    slider.SetPosition(40);
    EXPECT_EQ(slider.Position(), 16);
    slider.SetMaxValue(10);
    EXPECT_EQ(slider.Position(), 10);
    slider.SetMargin(99);
    EXPECT_EQ(slider.Margin(), 25);
    slider.SetSensitivity(-200);
    EXPECT_EQ(slider.Sensitivity(), -96);
}

TEST_F(BandSlider, KeysStepAndTheReleaseEndsTheTracking)
{
    slider.setFocus();
    QTest::keyPress(&slider, Qt::Key_Up);
    EXPECT_EQ(slider.Position(), 1);
    QTest::keyRelease(&slider, Qt::Key_Up);
    EXPECT_EQ(counts.track, 1);
    EXPECT_EQ(counts.track_end, 1);
}

TEST_F(BandSlider, EachWheelNotchStepsOnceAndEndsItsMove)
{
    auto wheel = [&](int units) {
        QWheelEvent event(QPointF(2, 2), slider.mapToGlobal(QPointF(2, 2)), QPoint(), QPoint(0, units), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(&slider, &event);
    };
    wheel(60); // half a notch, as a touchpad sends it
    EXPECT_EQ(slider.Position(), 0);
    wheel(60);
    EXPECT_EQ(slider.Position(), 1);
    EXPECT_EQ(counts.track, 1);
    EXPECT_EQ(counts.track_end, 1);
    wheel(-240);
    EXPECT_EQ(slider.Position(), -1);
    EXPECT_EQ(counts.track_end, 2);
    slider.SetPosition(-16);
    wheel(-120); // at the end: no move, nothing to end
    EXPECT_EQ(counts.track_end, 2);
}

TEST(BitmapSlider, WithoutPicturesItDrawsPlainAndStillWorks)
{
    TMMBitmapSlider slider;
    slider.SetOrientation(TMMBitmapSlider::orVertical);
    slider.resize(18, 112);
    slider.SetMaxValue(63);
    TMMBitmapList empty;
    slider.SetBitmapList(&empty);
    slider.SetBitmapThumbIndex(3);
    EXPECT_FALSE(slider.grab().isNull());
    Counts counts;
    Count(slider, counts);
    QTest::mouseClick(&slider, Qt::LeftButton, {}, QPoint(9, 1)); // above the top: clamped
    EXPECT_EQ(slider.Position(), 63);
    EXPECT_EQ(counts.track, 1);
    EXPECT_EQ(counts.track_end, 1);
}

// The seek slider with the player's geometry: 174 x 7, a one-pixel bevel,
// thumb 9 x 4, range 0..duration.
struct SeekSlider : ::testing::Test {
    QWidget form;
    TMMSlider* slider = nullptr;
    Counts counts;
    void SetUp() override
    {
        slider = new TMMSlider(&form);
        slider->setGeometry(0, 0, 174, 7);
        pelu::widgets::TBevelStyle bevel;
        bevel.inner = pelu::widgets::bvLowered;
        slider->SetBevel(bevel);
        slider->SetThumbWidth(9);
        slider->SetThumbHeight(4);
        slider->SetGrooveSize(0);
        slider->SetMaxValue(163000);
        form.show();
        Count(*slider, counts);
    }
};

TEST_F(SeekSlider, ThumbPlaceFollowsThePosition)
{
    EXPECT_EQ(slider->TrackRect(), QRect(1, 1, 172, 5));
    EXPECT_EQ(slider->ThumbRect().left(), 1);
    slider->SetPosition(163000);
    EXPECT_EQ(slider->ThumbRect().left(), 1 + 163);
    slider->SetPosition(81500);
    EXPECT_EQ(slider->ThumbRect().left(), 1 + 82); // 81.5 rounds to even
    slider->SetMaxValue(0);
    EXPECT_EQ(slider->Position(), 0);
    EXPECT_EQ(slider->ThumbRect().left(), 1); // min = max: at the start
}

TEST_F(SeekSlider, ClickingRightOfTheThumbJumpsAndTakesFocus)
{
    QTest::mousePress(slider, Qt::LeftButton, {}, QPoint(101, 3));
    EXPECT_EQ(form.focusWidget(), slider);
    // (101 - 1 - 4) / 163 * 163000 = 96000.
    EXPECT_EQ(slider->Position(), 96000);
    EXPECT_EQ(counts.track, 1);
    QTest::mouseRelease(slider, Qt::LeftButton, {}, QPoint(101, 3));
    EXPECT_EQ(counts.track, 1);
    EXPECT_EQ(counts.track_end, 1);
}

TEST_F(SeekSlider, DraggingBeyondEitherEndStopsThere)
{
    slider->SetPosition(50000);
    const QPoint thumb = slider->ThumbRect().center();
    QTest::mousePress(slider, Qt::LeftButton, {}, thumb);
    EXPECT_TRUE(slider->Dragging());
    QTest::mouseMove(slider, thumb + QPoint(10, 0));
    EXPECT_EQ(slider->Position(), 60000); // MulDiv(10, 163000, 163)
    QTest::mouseMove(slider, thumb + QPoint(500, 0));
    EXPECT_EQ(slider->Position(), 163000);
    QTest::mouseMove(slider, thumb + QPoint(-500, 0));
    EXPECT_EQ(slider->Position(), 0);
    QTest::mouseRelease(slider, Qt::LeftButton, {}, thumb + QPoint(-500, 0));
    EXPECT_EQ(slider->Position(), 0);
    EXPECT_EQ(counts.track, 4);
    EXPECT_EQ(counts.track_end, 1);
}

TEST_F(SeekSlider, KeysMoveByLineAndPageAndEachReleaseEndsTracking)
{
    slider->setFocus();
    slider->SetPosition(1000);
    counts = {};
    QTest::keyClick(slider, Qt::Key_PageUp);
    EXPECT_EQ(slider->Position(), 1005);
    QTest::keyClick(slider, Qt::Key_Right);
    EXPECT_EQ(slider->Position(), 1006);
    QTest::keyClick(slider, Qt::Key_Down);
    QTest::keyClick(slider, Qt::Key_Left);
    EXPECT_EQ(slider->Position(), 1004);
    QTest::keyClick(slider, Qt::Key_PageDown);
    EXPECT_EQ(slider->Position(), 999);
    EXPECT_EQ(counts.track, 5);
    EXPECT_EQ(counts.track_end, 5);
    QTest::keyClick(slider, Qt::Key_End);
    EXPECT_EQ(slider->Position(), 163000);
    QTest::keyClick(slider, Qt::Key_Up); // at the maximum: no move, no track
    EXPECT_EQ(counts.track, 6);
    EXPECT_EQ(counts.track_end, 6);
    QTest::keyClick(slider, Qt::Key_Home);
    EXPECT_EQ(slider->Position(), 0);
    QTest::keyClick(slider, Qt::Key_PageDown);
    EXPECT_EQ(slider->Position(), 0);
    EXPECT_EQ(counts.track, 7);
    EXPECT_EQ(counts.track_end, 7);
    // Vertical: Home goes to the maximum, End to the minimum.
    slider->SetOrientation(TMMSlider::orVertical);
    QTest::keyClick(slider, Qt::Key_Home);
    EXPECT_EQ(slider->Position(), 163000);
    QTest::keyClick(slider, Qt::Key_End);
    EXPECT_EQ(slider->Position(), 0);
}

TEST_F(SeekSlider, AutoRepeatedKeysTrackButOnlyTheRealReleaseEnds)
{
    slider->setFocus();
    QTest::keyPress(slider, Qt::Key_Right);
    QKeyEvent repeat_release(QEvent::KeyRelease, Qt::Key_Right, Qt::NoModifier, QString(), true);
    QApplication::sendEvent(slider, &repeat_release);
    QKeyEvent repeat_press(QEvent::KeyPress, Qt::Key_Right, Qt::NoModifier, QString(), true);
    QApplication::sendEvent(slider, &repeat_press);
    EXPECT_EQ(slider->Position(), 2);
    EXPECT_EQ(counts.track_end, 0);
    QTest::keyRelease(slider, Qt::Key_Right);
    EXPECT_EQ(counts.track, 2);
    EXPECT_EQ(counts.track_end, 1);
}

TEST_F(SeekSlider, SamePositionFiresNoChange)
{
    slider->SetPosition(10);
    slider->SetPosition(10);
    EXPECT_EQ(counts.change, 1);
    EXPECT_EQ(counts.track, 0); // programmatic moves are not tracking
}

// While a title plays the position moves every 500 ms; the slider repaints
// only when the thumb moves a pixel, and then only the span it moved over.
TEST_F(SeekSlider, APositionThatLeavesTheThumbInPlaceRepaintsNothing)
{
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    QTest::qWait(50);
    pelu::widgets::test::PaintLog log(slider);
    int moves = 0;
    for (int position = 0; position <= 20000; position += 500) {
        const QRect before = slider->ThumbRect();
        slider->SetPosition(position);
        QCoreApplication::processEvents();
        const QRect after = slider->ThumbRect();
        if (after == before) {
            EXPECT_TRUE(log.regions.empty()) << "position " << position;
        } else {
            ++moves;
            ASSERT_FALSE(log.regions.empty()) << "position " << position;
            for (const QRegion& region : log.regions)
                EXPECT_TRUE(before.united(after).contains(region.boundingRect())) << "position " << position;
        }
        log.regions.clear();
    }
    // 1 ms of the 163 s range is 172/163000 pixel: 20 s move the thumb about 21 pixels.
    EXPECT_GT(moves, 15);
    EXPECT_LT(moves, 30);
    EXPECT_EQ(pelu::widgets::test::OnScreen(slider), pelu::widgets::test::Whole(slider));
}

} // namespace
