// The drop-down panel: opening, placement at the screen's edges, its own loop,
// outside and inside clicks, and closing.
#include "widgets/explorer_popup.h"

#include <gtest/gtest.h>

#include <QDialog>
#include <QGuiApplication>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>

using pelu::widgets::TExplorerPopup;

namespace {

struct PopupFixture : ::testing::Test {
    QWidget form;
    QWidget* anchor = nullptr;
    TExplorerPopup* panel = nullptr;
    QPushButton* inside = nullptr;
    int opens = 0, closes = 0;

    void SetUp() override
    {
        form.setGeometry(100, 100, 400, 60);
        anchor = new QWidget(&form);
        anchor->setGeometry(20, 10, 30, 20);
        panel = new TExplorerPopup(&form);
        panel->resize(200, 120);
        panel->SetUndockable(false);
        inside = new QPushButton(QStringLiteral("Inside"), panel);
        inside->setGeometry(10, 10, 80, 24);
        panel->OnOpen = [this](QObject*) { ++opens; };
        panel->OnClose = [this](QObject*) { ++closes; };
        form.show();
        QCoreApplication::processEvents();
    }

    // Runs `step` from inside the panel's loop, then makes sure the loop ends.
    void OpenAndRun(std::function<void()> step)
    {
        QTimer::singleShot(0, panel, [this, step] {
            step();
            panel->ClosePanel();
        });
        panel->OpenBelow(anchor);
    }
};

TEST_F(PopupFixture, OpensBelowTheAnchorAndClosesOnCommand)
{
    EXPECT_FALSE(panel->Visible());
    QRect geometry;
    bool visible_inside = false;
    OpenAndRun([&] {
        visible_inside = panel->Visible();
        geometry = panel->DropDownGeometry();
        EXPECT_EQ(closes, 0);
    });
    EXPECT_TRUE(visible_inside);
    const QPoint anchor_top_left = anchor->mapToGlobal(QPoint(0, 0));
    EXPECT_EQ(geometry.topLeft(), QPoint(anchor_top_left.x(), anchor_top_left.y() + anchor->height()));
    EXPECT_EQ(geometry.size(), QSize(200, 120));
    EXPECT_EQ(opens, 1);
    EXPECT_EQ(closes, 1);
    EXPECT_FALSE(panel->Visible());
    // Given back to the form it came from, hidden.
    EXPECT_EQ(panel->parentWidget(), &form);
    EXPECT_FALSE(panel->isVisible());
}

TEST_F(PopupFixture, OpeningAnOpenPanelDoesNothing)
{
    bool second_returned = false;
    OpenAndRun([&] {
        panel->OpenBelow(anchor); // returns at once
        second_returned = true;
        EXPECT_TRUE(panel->Visible());
    });
    EXPECT_TRUE(second_returned);
    EXPECT_EQ(opens, 1);
    EXPECT_EQ(closes, 1);
}

TEST_F(PopupFixture, ClosingAClosedPanelFiresNothing)
{
    panel->ClosePanel();
    EXPECT_EQ(closes, 0);
    OpenAndRun([] {});
    panel->ClosePanel();
    EXPECT_EQ(closes, 1);
}

TEST_F(PopupFixture, OpensAboveWhenTheBottomWouldLeaveTheScreen)
{
    const QRect screen = form.screen()->geometry();
    form.move(screen.left() + 50, screen.bottom() - 70);
    QCoreApplication::processEvents();
    QRect geometry;
    OpenAndRun([&] { geometry = panel->DropDownGeometry(); });
    const QPoint anchor_top_left = anchor->mapToGlobal(QPoint(0, 0));
    EXPECT_EQ(geometry.top(), anchor_top_left.y() - anchor->height() - panel->height());
    EXPECT_EQ(geometry.left(), anchor_top_left.x());
}

TEST_F(PopupFixture, MovesLeftWhenTheRightEdgeWouldLeaveTheScreen)
{
    const QRect screen = form.screen()->geometry();
    form.move(screen.right() - 120, screen.top() + 40);
    QCoreApplication::processEvents();
    QRect geometry;
    OpenAndRun([&] { geometry = panel->DropDownGeometry(); });
    EXPECT_EQ(geometry.right(), screen.right()); // ends at the screen's right edge
    EXPECT_EQ(geometry.top(), anchor->mapToGlobal(QPoint(0, 0)).y() + anchor->height());
}

TEST_F(PopupFixture, AnOutsideClickClosesAndIsStillDelivered)
{
    auto* outside = new QPushButton(QStringLiteral("Outside"), &form);
    outside->setGeometry(300, 10, 80, 24);
    outside->show();
    int outside_clicks = 0;
    QObject::connect(outside, &QPushButton::clicked, [&] { ++outside_clicks; });
    QTimer::singleShot(0, panel, [&] { QTest::mouseClick(outside, Qt::LeftButton); });
    // A safety net: the test must not hang if the click did not close the panel.
    QTimer::singleShot(2000, panel, [&] { panel->ClosePanel(); });
    panel->OpenBelow(anchor);
    EXPECT_EQ(closes, 1);
    EXPECT_FALSE(panel->Visible());
    EXPECT_EQ(outside_clicks, 1);
}

TEST_F(PopupFixture, APressOnTheAnchorsWindowItselfCloses)
{
    QTimer::singleShot(0, panel, [&] { QTest::mouseClick(&form, Qt::LeftButton, {}, QPoint(380, 50)); });
    bool still_open = false;
    QTimer::singleShot(2000, panel, [&] {
        still_open = panel->Visible();
        panel->ClosePanel();
    });
    panel->OpenBelow(anchor);
    EXPECT_FALSE(still_open);
}

// The keyboard: the open panel has it, Esc closes, and it goes back.
TEST_F(PopupFixture, TakesTheFocusEscClosesAndTheFocusReturns)
{
    auto* opener = new QPushButton(QStringLiteral("Open"), &form);
    opener->setGeometry(300, 10, 80, 24);
    opener->show();
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    opener->setFocus();
    bool had_focus = false;
    QTimer::singleShot(0, panel, [&] {
        had_focus = QTest::qWaitFor([&] { return inside->hasFocus(); }, 2000); // activation is asynchronous
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    });
    QTimer::singleShot(4000, panel, [&] { panel->ClosePanel(); });
    panel->OpenBelow(anchor);
    EXPECT_TRUE(had_focus);
    EXPECT_EQ(closes, 1);
    EXPECT_TRUE(QTest::qWaitFor([&] { return opener->hasFocus(); }, 2000));
}

TEST_F(PopupFixture, AnInsideClickDoesNotClose)
{
    int inside_clicks = 0;
    QObject::connect(inside, &QPushButton::clicked, [&] { ++inside_clicks; });
    bool still_open = false;
    OpenAndRun([&] {
        QTest::mouseClick(inside, Qt::LeftButton);
        QTest::mouseClick(panel, Qt::LeftButton, {}, QPoint(150, 100));
        // A right click outside does not close either.
        QTest::mouseClick(&form, Qt::RightButton, {}, QPoint(390, 50));
        still_open = panel->Visible();
    });
    EXPECT_TRUE(still_open);
    EXPECT_EQ(inside_clicks, 1);
    EXPECT_EQ(closes, 1);
}

TEST_F(PopupFixture, TimersRunAndMayCloseThePanelFromItsLoop)
{
    int ticks = 0;
    QTimer timer;
    timer.setInterval(5);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (++ticks == 4)
            panel->ClosePanel();
    });
    timer.start();
    panel->OpenBelow(anchor);
    EXPECT_EQ(ticks, 4);
    EXPECT_EQ(closes, 1);
}

TEST_F(PopupFixture, UndockableMakesRoomForTheGripWhileOpen)
{
    panel->SetUndockable(true);
    int height_open = 0, child_y_open = 0;
    OpenAndRun([&] {
        height_open = panel->height();
        child_y_open = inside->y();
    });
    EXPECT_EQ(height_open, 120 + TExplorerPopup::kGripHeight);
    EXPECT_EQ(child_y_open, 10 + TExplorerPopup::kGripHeight);
    EXPECT_EQ(panel->height(), 120);
    EXPECT_EQ(inside->y(), 10);
}

TEST_F(PopupFixture, DestroyingTheOpenPanelFromItsLoopEndsTheLoop)
{
    QTimer::singleShot(0, &form, [&] { delete panel; });
    panel->OpenBelow(anchor); // must return
    panel = nullptr;
    EXPECT_EQ(opens, 1);
    QCoreApplication::processEvents();
}

TEST_F(PopupFixture, AWindowManagerCloseClosesThePanelAndKeepsItAndItsControls)
{
    // Alt+F4 or close() on the drop-down window: as an outside click, never a delete.
    QPointer<TExplorerPopup> alive(panel);
    QPointer<QPushButton> child(inside);
    QTimer::singleShot(0, panel, [&] { panel->window()->close(); });
    QTimer::singleShot(2000, &form, [&] {
        if (alive)
            alive->ClosePanel(); // safety net
    });
    panel->OpenBelow(anchor);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); // the window frees itself
    ASSERT_TRUE(alive) << "the panel went with its window";
    ASSERT_TRUE(child);
    EXPECT_EQ(closes, 1);
    EXPECT_FALSE(panel->Visible());
    EXPECT_EQ(panel->parentWidget(), &form);
    EXPECT_EQ(inside->parentWidget(), panel);

    // It opens again as before.
    bool visible_again = false;
    OpenAndRun([&] { visible_again = panel->Visible() && inside->isVisible(); });
    EXPECT_TRUE(visible_again);
    EXPECT_EQ(opens, 2);
    EXPECT_EQ(closes, 2);
}

TEST_F(PopupFixture, PressesInItsOwnMenusAndDialogsLeaveItOpen)
{
    // A context menu of a control in the panel and dialogs opened while it is
    // open lie outside its rectangle; presses in them are not outside clicks.
    bool open_after_menu = false, open_after_dialog = false, open_after_form_dialog = false;
    int chosen = 0;
    OpenAndRun([&] {
        const QRect area(panel->mapToGlobal(QPoint(0, 0)), panel->size());
        const QPoint beside(area.right() + 40, area.top());

        QMenu menu(inside);
        QAction* item = menu.addAction(QStringLiteral("Item"));
        QObject::connect(item, &QAction::triggered, [&] { ++chosen; });
        QTimer::singleShot(0, &menu, [&] {
            QTest::mouseClick(&menu, Qt::LeftButton, {}, menu.actionGeometry(item).center());
        });
        menu.exec(beside);
        open_after_menu = panel->Visible();

        // A modal dialog of a control in the panel, and one of the form (as the
        // band's Load and Save dialogs may be).
        for (QWidget* owner : {static_cast<QWidget*>(inside), static_cast<QWidget*>(&form)}) {
            QDialog dialog(owner);
            dialog.setGeometry(beside.x(), area.bottom() + 40, 120, 60);
            auto* ok = new QPushButton(QStringLiteral("OK"), &dialog);
            ok->setGeometry(10, 10, 60, 24);
            QObject::connect(ok, &QPushButton::clicked, &dialog, &QDialog::accept);
            QTimer::singleShot(0, &dialog, [&] {
                QTest::mouseClick(&dialog, Qt::LeftButton, {}, QPoint(100, 50)); // on the dialog itself
                QTest::mouseClick(ok, Qt::LeftButton);
            });
            const int result = dialog.exec();
            EXPECT_EQ(result, QDialog::Accepted);
            (owner == inside ? open_after_dialog : open_after_form_dialog) = panel->Visible();
        }
    });
    EXPECT_EQ(chosen, 1);
    EXPECT_TRUE(open_after_menu);
    EXPECT_TRUE(open_after_dialog);
    EXPECT_TRUE(open_after_form_dialog);
    EXPECT_EQ(closes, 1);
}

TEST_F(PopupFixture, APressInAnotherWindowOfTheProgramStillCloses)
{
    QWidget other;
    other.setGeometry(600, 400, 100, 80);
    other.show();
    QCoreApplication::processEvents();
    bool closed_by_the_press = false;
    QTimer::singleShot(0, panel, [&] {
        QTest::mouseClick(&other, Qt::LeftButton, {}, QPoint(50, 40));
        closed_by_the_press = !panel->Visible();
    });
    QTimer::singleShot(2000, panel, [&] { panel->ClosePanel(); }); // safety net
    panel->OpenBelow(anchor);
    EXPECT_TRUE(closed_by_the_press);
    EXPECT_EQ(closes, 1);
}

} // namespace
