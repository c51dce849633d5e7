// The picture button: its pictures by the mouse and the order of its events.
#include "widgets/image_button.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QEnterEvent>
#include <QTest>

using pelu::widgets::TImageButton;
using pelu::widgets::TPicture;

namespace {

TPicture Solid(QSize size, QColor color)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(color);
    return TPicture(image);
}

struct ButtonFixture : ::testing::Test {
    QWidget form;
    TImageButton* button = nullptr;
    TPicture normal = Solid({17, 14}, Qt::darkGray);
    TPicture down = Solid({17, 14}, Qt::blue);
    TPicture up = Solid({17, 14}, Qt::cyan);
    QStringList events;

    void SetUp() override
    {
        form.resize(200, 100);
        button = new TImageButton(&form);
        button->move(20, 20);
        button->SetBitmap(normal);
        button->SetBitmapDown(down);
        button->SetBitmapUp(up);
        button->OnMouseDown = [this](QObject*, Qt::MouseButton, Qt::KeyboardModifiers, QPoint) { events << "down"; };
        button->OnMouseUp = [this](QObject*, Qt::MouseButton, Qt::KeyboardModifiers, QPoint) { events << "up"; };
        button->OnClick = [this](QObject*) { events << "click"; };
        form.show();
        QCoreApplication::processEvents();
    }

    QColor Shown() { return QColor(button->grab().toImage().pixel(5, 5)); }
    void Leave()
    {
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(button, &leave);
    }
};

TEST_F(ButtonFixture, SizesItselfToItsPicture)
{
    EXPECT_EQ(button->size(), QSize(17, 14));
    button->SetBitmap(Solid({36, 14}, Qt::gray));
    EXPECT_EQ(button->size(), QSize(36, 14));
    TImageButton fresh;
    EXPECT_EQ(fresh.size(), QSize(50, 50));
}

TEST_F(ButtonFixture, PressAndReleaseOverItFireDownClickUpInOrder)
{
    QTest::mousePress(button, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_EQ(events, QStringList{"down"});
    EXPECT_EQ(Shown(), QColor(Qt::blue)); // pressed picture while held
    QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(6, 6));
    EXPECT_EQ(events, (QStringList{"down", "click", "up"}));
    EXPECT_EQ(Shown(), QColor(Qt::cyan)); // released picture, also on a repaint
    Leave();
    EXPECT_EQ(Shown(), QColor(Qt::darkGray)); // leaving restores the normal picture
}

TEST_F(ButtonFixture, ReleasingAwayFromItShowsNormalAndFiresNoClick)
{
    QTest::mousePress(button, Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(60, 5));
    EXPECT_EQ(events, (QStringList{"down", "up"}));
    EXPECT_EQ(Shown(), QColor(Qt::darkGray));
}

TEST_F(ButtonFixture, OtherButtonsAndDisabledButtonsFireNothing)
{
    QTest::mouseClick(button, Qt::RightButton, {}, QPoint(5, 5));
    EXPECT_TRUE(events.isEmpty());
    button->setEnabled(false);
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_TRUE(events.isEmpty());
    EXPECT_EQ(Shown(), QColor(Qt::darkGray)); // no disabled picture: the current one
    button->SetBitmapDisabled(Solid({20, 10}, Qt::red));
    EXPECT_EQ(Shown(), QColor(Qt::red));
    EXPECT_EQ(button->size(), QSize(20, 10));
}

TEST_F(ButtonFixture, HoverPictureWhileTheMouseIsOver)
{
    int enters = 0;
    button->OnMouseEnter = [&](QObject*) { ++enters; };
    // The player's buttons have no hover picture: entering changes nothing.
    QEnterEvent enter(QPointF(3, 3), QPointF(23, 23), QPointF(123, 123));
    QApplication::sendEvent(button, &enter);
    EXPECT_EQ(Shown(), QColor(Qt::darkGray));
    button->SetBitmapOver(Solid({17, 14}, Qt::green));
    QApplication::sendEvent(button, &enter);
    EXPECT_EQ(Shown(), QColor(Qt::green));
    Leave();
    EXPECT_EQ(Shown(), QColor(Qt::darkGray));
    EXPECT_EQ(enters, 2);
}

TEST_F(ButtonFixture, KeyboardClickAndAccessibleName)
{
    EXPECT_NE(button->focusPolicy() & Qt::TabFocus, 0);
    EXPECT_FALSE(button->accessibleName().isEmpty());
    button->setFocus();
    QTest::keyClick(button, Qt::Key_Space);
    EXPECT_EQ(events, QStringList{"click"});
}

TEST(ImageButton, WithoutPicturesItStillPaints)
{
    TImageButton button;
    const QImage shot = button.grab().toImage();
    EXPECT_EQ(shot.size(), QSize(50, 50));
}

} // namespace
