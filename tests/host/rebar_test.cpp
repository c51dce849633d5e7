// The browser's toolbar area, driven by its band messages.
#include "host/rebar.h"

#include <QApplication>
#include <QLabel>
#include <QLayout>
#include <QToolButton>

#include <gtest/gtest.h>

#include <cstring>

namespace pelu::host {
namespace {

win::LRESULT send(Rebar& rebar, win::UINT message, win::WPARAM wparam, const void* lparam = nullptr)
{
    return win::SendMessageW(rebar.handle(), message, wparam, reinterpret_cast<win::LPARAM>(lparam));
}

win::REBARBANDINFO band(win::UINT id, win::HWND child, win::UINT style, win::UINT min_width, win::UINT min_height)
{
    win::REBARBANDINFO info{};
    info.cbSize = sizeof info;
    info.fMask = win::RBBIM_ID | win::RBBIM_STYLE | win::RBBIM_CHILDSIZE | (child ? win::UINT{win::RBBIM_CHILD} : win::UINT{0});
    info.wID = id;
    info.hwndChild = child;
    info.fStyle = style;
    info.cxMinChild = min_width;
    info.cyMinChild = min_height;
    info.cyMaxChild = min_height;
    return info;
}

struct RebarTest : ::testing::Test {
    QWidget frame;
    Rebar* rebar = new Rebar(&frame);
    QWidget* make_child(const char* class_name = "Static")
    {
        auto* child = new QWidget(&frame);
        win::RegisterWindow(child, class_name);
        return child;
    }
    void lay_out()
    {
        frame.resize(1200, 200);
        rebar->resize(1200, rebar->sizeHint().height());
        frame.show();
        QApplication::processEvents();
        rebar->layout()->activate();
        QApplication::processEvents();
    }
};

TEST_F(RebarTest, RecordsOfAnotherSizeOrStrangeChildrenAreRefused)
{
    QWidget* child = make_child();
    win::REBARBANDINFO info = band(7, win::WindowFromWidget(child), 0, 10, 10);
    info.cbSize = 80; // another layout's size
    EXPECT_EQ(send(*rebar, win::RB_INSERTBANDA, static_cast<win::WPARAM>(-1), &info), 0);
    EXPECT_EQ(send(*rebar, win::RB_INSERTBANDA, static_cast<win::WPARAM>(-1), nullptr), 0);
    // A child handle that names no window.
    QWidget gone;
    win::HWND stale = win::RegisterWindow(&gone, "Static");
    win::UnregisterWindow(stale);
    info = band(7, stale, 0, 10, 10);
    EXPECT_EQ(send(*rebar, win::RB_INSERTBANDW, static_cast<win::WPARAM>(-1), &info), 0);
    EXPECT_EQ(send(*rebar, win::RB_GETBANDCOUNT, 0), 0);
    // Asking about bands that do not exist.
    win::REBARBANDINFO reader{};
    reader.cbSize = sizeof reader;
    reader.fMask = win::RBBIM_ID;
    EXPECT_EQ(send(*rebar, win::RB_GETBANDINFOW, 0, &reader), 0);
    EXPECT_EQ(send(*rebar, win::RB_SETBANDINFOW, 3, &reader), 0);
    EXPECT_EQ(send(*rebar, win::RB_DELETEBAND, 0), 0);
    EXPECT_EQ(send(*rebar, win::RB_IDTOINDEX, 7), -1);
}

TEST_F(RebarTest, BandsGoWhereTheIndexSaysAndABreakStartsARow)
{
    QWidget* navigation = make_child("ToolbarWindow32");
    QWidget* player = make_child("TBandForm");
    player->setFixedSize(804, 28);
    QWidget* other = make_child();

    auto nav_info = band(1, win::WindowFromWidget(navigation), win::RBBS_NOGRIPPER, 200, 24);
    auto player_info = band(673, win::WindowFromWidget(player), 0xA5, 804, 28);
    auto other_info = band(9, win::WindowFromWidget(other), 0, 50, 20);
    ASSERT_EQ(send(*rebar, win::RB_INSERTBANDW, static_cast<win::WPARAM>(-1), &nav_info), 1);
    ASSERT_EQ(send(*rebar, win::RB_INSERTBANDA, static_cast<win::WPARAM>(-1), &player_info), 1);
    // Index 0 puts it first; an index past the end appends.
    ASSERT_EQ(send(*rebar, win::RB_INSERTBANDW, 0, &other_info), 1);
    EXPECT_EQ(send(*rebar, win::RB_GETBANDCOUNT, 0), 3);
    EXPECT_EQ(send(*rebar, win::RB_IDTOINDEX, 9), 0);
    EXPECT_EQ(send(*rebar, win::RB_IDTOINDEX, 1), 1);
    EXPECT_EQ(send(*rebar, win::RB_IDTOINDEX, 673), 2);

    // The player's band (RBBS_BREAK) has a row of its own, with a gripper.
    EXPECT_EQ(send(*rebar, win::RB_GETROWCOUNT, 0), 2);
    EXPECT_EQ(rebar->row_of(0), 0);
    EXPECT_EQ(rebar->row_of(1), 0);
    EXPECT_EQ(rebar->row_of(2), 1);
    EXPECT_TRUE(rebar->has_gripper(2));
    EXPECT_FALSE(rebar->has_gripper(1)); // RBBS_NOGRIPPER
    EXPECT_TRUE(rebar->has_gripper(0));  // several bands: grippers unless refused

    lay_out();
    EXPECT_TRUE(rebar->band_cell(2)->isAncestorOf(player));
    EXPECT_EQ(player->size(), QSize(804, 28));
    EXPECT_FALSE(rebar->is_clipped(2));
    EXPECT_TRUE(player->isVisible());
    // Its row lies below the first one, at the form's size plus the edges.
    const QRect first_row = rebar->band_cell(1)->geometry();
    const QRect player_row = rebar->band_cell(2)->geometry();
    EXPECT_GE(player_row.top(), first_row.bottom());
    EXPECT_GE(player_row.height(), 28);
    EXPECT_LE(player_row.height(), 28 + 2 * 2);
    // The gripper sits left of the form.
    EXPECT_GT(player->mapTo(rebar->band_cell(2), QPoint(0, 0)).x(), 0);
}

// A window narrower than a band: the band keeps its size, clipped, and its
// chevron (or the focus moving along it) brings the rest into view.
TEST_F(RebarTest, ANarrowRebarClipsTheBandAndTheChevronShowsTheRest)
{
    QWidget* player = make_child("TBandForm");
    player->setFixedSize(804, 28);
    auto* last = new QWidget(player); // a control at the band's right end
    last->setGeometry(780, 2, 20, 20);
    last->setFocusPolicy(Qt::StrongFocus);
    auto info = band(673, win::WindowFromWidget(player), 0xA5, 804, 28);
    ASSERT_EQ(send(*rebar, win::RB_INSERTBANDW, static_cast<win::WPARAM>(-1), &info), 1);
    lay_out();
    EXPECT_FALSE(rebar->is_clipped(0));
    EXPECT_LT(rebar->minimumSizeHint().width(), 100);

    frame.resize(400, 200);
    rebar->resize(400, rebar->sizeHint().height());
    rebar->layout()->activate();
    QApplication::processEvents();
    QWidget* cell = rebar->band_cell(0);
    EXPECT_LE(cell->width(), 400);
    EXPECT_EQ(player->size(), QSize(804, 28));
    ASSERT_TRUE(rebar->is_clipped(0));
    auto* chevron = cell->findChild<QToolButton*>("bandChevron");
    ASSERT_TRUE(chevron && chevron->isVisible());
    EXPECT_GE(chevron->mapTo(cell, QPoint(chevron->width(), 0)).x(), cell->width() - 4); // at the right end
    auto right_end = [&] { return player->mapTo(cell, QPoint(player->width(), 0)).x(); };
    auto left_end = [&] { return player->mapTo(cell, QPoint(0, 0)).x(); };
    EXPECT_GT(right_end(), cell->width());

    // Pressed until the end shows, then once more back to the start.
    int presses = 0;
    while (right_end() > chevron->mapTo(cell, QPoint(0, 0)).x() && presses < 10) {
        chevron->click();
        ++presses;
    }
    EXPECT_LE(right_end(), chevron->mapTo(cell, QPoint(0, 0)).x());
    EXPECT_GE(presses, 1);
    EXPECT_LE(presses, 3);
    chevron->click();
    const int start = left_end();
    EXPECT_GT(start, 0);
    EXPECT_LT(start, 20);

    // The keyboard reaching the hidden control brings it into view.
    QApplication::setActiveWindow(&frame);
    last->clearFocus();
    last->setFocus(Qt::TabFocusReason);
    QApplication::processEvents();
    EXPECT_LE(last->mapTo(cell, QPoint(last->width(), 0)).x(), chevron->mapTo(cell, QPoint(0, 0)).x());

    // Room again: the whole band, no chevron.
    frame.resize(1200, 200);
    rebar->resize(1200, rebar->sizeHint().height());
    rebar->layout()->activate();
    QApplication::processEvents();
    EXPECT_FALSE(rebar->is_clipped(0));
    EXPECT_FALSE(chevron->isVisible());
    EXPECT_EQ(left_end(), start);
}

TEST_F(RebarTest, GetAndSetTouchOnlyTheMembersTheMaskNames)
{
    QWidget* child = make_child();
    auto info = band(5, win::WindowFromWidget(child), win::RBBS_CHILDEDGE, 120, 22);
    info.fMask |= win::RBBIM_TEXT | win::RBBIM_LPARAM | win::RBBIM_SIZE;
    char text[] = "Links";
    info.lpText = text;
    info.lParam = 42;
    info.cx = 300;
    ASSERT_EQ(send(*rebar, win::RB_INSERTBANDW, static_cast<win::WPARAM>(-1), &info), 1);

    win::REBARBANDINFO reader{};
    reader.cbSize = sizeof reader;
    reader.fMask = win::RBBIM_ID | win::RBBIM_CHILD | win::RBBIM_LPARAM;
    reader.fStyle = 0xDEAD;
    reader.cxMinChild = 0xBEEF;
    ASSERT_EQ(send(*rebar, win::RB_GETBANDINFOW, 0, &reader), 1);
    EXPECT_EQ(reader.wID, 5u);
    EXPECT_EQ(reader.hwndChild, win::WindowFromWidget(child));
    EXPECT_EQ(reader.lParam, 42);
    EXPECT_EQ(reader.fStyle, 0xDEADu);
    EXPECT_EQ(reader.cxMinChild, 0xBEEFu);

    // Text into a short buffer is cut and terminated.
    char buffer[4] = {'x', 'x', 'x', 'x'};
    reader.fMask = win::RBBIM_TEXT | win::RBBIM_CHILDSIZE | win::RBBIM_STYLE;
    reader.lpText = buffer;
    reader.cch = sizeof buffer;
    ASSERT_EQ(send(*rebar, win::RB_GETBANDINFOA, 0, &reader), 1);
    EXPECT_STREQ(buffer, "Lin");
    EXPECT_EQ(reader.cxMinChild, 120u);
    EXPECT_EQ(reader.cyMinChild, 22u);
    EXPECT_EQ(reader.fStyle, win::RBBS_CHILDEDGE);
    EXPECT_EQ(rebar->band_cell(0)->findChild<QLabel*>()->text(), "Links");

    // Setting the style alone leaves the rest; a break on the first band adds no row.
    win::REBARBANDINFO setter{};
    setter.cbSize = sizeof setter;
    setter.fMask = win::RBBIM_STYLE;
    setter.fStyle = win::RBBS_BREAK | win::RBBS_GRIPPERALWAYS;
    ASSERT_EQ(send(*rebar, win::RB_SETBANDINFOW, 0, &setter), 1);
    EXPECT_TRUE(rebar->has_gripper(0));
    EXPECT_EQ(send(*rebar, win::RB_GETROWCOUNT, 0), 1);
    EXPECT_EQ(send(*rebar, win::RB_IDTOINDEX, 5), 0);
    reader.fMask = win::RBBIM_LPARAM;
    send(*rebar, win::RB_GETBANDINFOW, 0, &reader);
    EXPECT_EQ(reader.lParam, 42);

    // A hidden band takes no row.
    setter.fStyle = win::RBBS_HIDDEN;
    send(*rebar, win::RB_SETBANDINFOW, 0, &setter);
    EXPECT_EQ(send(*rebar, win::RB_GETROWCOUNT, 0), 0);
}

TEST_F(RebarTest, DeletingABandLeavesItsChildAndAGoneChildTakesItsBand)
{
    QWidget* keep = make_child();
    QPointer<QWidget> doomed = make_child();
    auto keep_info = band(1, win::WindowFromWidget(keep), 0, 10, 10);
    auto doomed_info = band(2, win::WindowFromWidget(doomed), win::RBBS_BREAK, 10, 10);
    send(*rebar, win::RB_INSERTBANDW, static_cast<win::WPARAM>(-1), &keep_info);
    send(*rebar, win::RB_INSERTBANDW, static_cast<win::WPARAM>(-1), &doomed_info);
    lay_out();

    int changes = 0;
    rebar->on_bands_changed = [&] { ++changes; };
    ASSERT_EQ(send(*rebar, win::RB_DELETEBAND, 0), 1);
    EXPECT_EQ(send(*rebar, win::RB_GETBANDCOUNT, 0), 1);
    EXPECT_FALSE(keep->isVisible());
    EXPECT_EQ(keep->parentWidget(), rebar); // hidden, alive, with the rebar
    EXPECT_EQ(send(*rebar, win::RB_IDTOINDEX, 2), 0);

    delete doomed.data();
    EXPECT_EQ(send(*rebar, win::RB_GETBANDCOUNT, 0), 0);
    EXPECT_EQ(send(*rebar, win::RB_GETROWCOUNT, 0), 0);
    EXPECT_EQ(changes, 2);
    QApplication::processEvents(); // the empty cell goes later
}

TEST(RebarLifetime, AGoneRebarAnswersNothing)
{
    auto* rebar = new Rebar;
    const win::HWND handle = rebar->handle();
    EXPECT_EQ(win::SendMessageW(handle, win::RB_GETBANDCOUNT, 0, 0), 0);
    QWidget child;
    win::RegisterWindow(&child, "Static");
    auto info = band(1, win::WindowFromWidget(&child), 0, 10, 10);
    win::SendMessageW(handle, win::RB_INSERTBANDW, static_cast<win::WPARAM>(-1), reinterpret_cast<win::LPARAM>(&info));
    EXPECT_EQ(win::SendMessageW(handle, win::RB_GETBANDCOUNT, 0, 0), 1);
    child.setParent(nullptr); // the child belongs elsewhere
    delete rebar;
    EXPECT_FALSE(win::IsWindow(handle));
    EXPECT_EQ(win::SendMessageW(handle, win::RB_GETBANDCOUNT, 0, 0), 0);
}

} // namespace
} // namespace pelu::host
