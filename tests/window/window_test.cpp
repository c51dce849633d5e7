#include "platform/window/window.h"

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace pelu::platform::window {
namespace {

std::string class_name(HWND window)
{
    char buffer[kMaxClassNameChars + 1];
    const int n = GetClassNameA(window, buffer, sizeof buffer);
    return std::string(buffer, static_cast<std::size_t>(n));
}

bool collect(HWND window, LPARAM data)
{
    reinterpret_cast<std::vector<HWND>*>(data)->push_back(window);
    return true;
}

TEST(WindowHandles, LiveAsLongAsTheWidgetAndAreNeverReused)
{
    auto frame = std::make_unique<QWidget>();
    const HWND handle = RegisterWindow(frame.get(), "IEFrame");
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(RegisterWindow(frame.get(), "Other"), handle); // first registration holds
    EXPECT_EQ(class_name(handle), "IEFrame");
    EXPECT_EQ(WidgetFromWindow(handle), frame.get());
    EXPECT_EQ(WindowFromWidget(frame.get()), handle);
    EXPECT_EQ(IntegerToHandle(HandleToInteger(handle)), handle);

    // A short buffer gets a cut, terminated name.
    char small[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(GetClassNameA(handle, small, sizeof small), 3);
    EXPECT_STREQ(small, "IEF");
    EXPECT_EQ(GetClassNameA(handle, small, 0), 0);

    frame.reset();
    EXPECT_FALSE(IsWindow(handle));
    EXPECT_EQ(WidgetFromWindow(handle), nullptr);
    EXPECT_EQ(GetClassNameA(handle, small, sizeof small), 0);
    EXPECT_EQ(SendMessageW(handle, WM_COMMAND, 1, 0), 0);

    // A new widget, even at the same address, gets a new handle.
    QWidget again;
    const HWND second = RegisterWindow(&again, "IEFrame");
    EXPECT_NE(second, handle);
    EXPECT_TRUE(UnregisterWindow(second));
    EXPECT_FALSE(UnregisterWindow(second));
    EXPECT_EQ(WindowFromWidget(&again), nullptr);
    EXPECT_EQ(RegisterWindow(nullptr, "IEFrame"), nullptr);

    // Class names longer than the limit are cut to it.
    QWidget long_name;
    const std::string name(300, 'N');
    EXPECT_EQ(class_name(RegisterWindow(&long_name, name.c_str())), std::string(kMaxClassNameChars, 'N'));
}

TEST(WindowEnumeration, TopLevelsAndDescendantsInTreeOrder)
{
    QWidget frame;
    auto* toolbar_area = new QWidget(&frame);
    auto* unregistered = new QWidget(toolbar_area);
    auto* deep = new QWidget(unregistered);
    auto* later = new QWidget(&frame);
    QWidget other_frame;
    const HWND frame_handle = RegisterWindow(&frame, "IEFrame");
    const HWND other_handle = RegisterWindow(&other_frame, "IEFrame");
    // Registered out of tree order: enumeration follows the tree, not registration.
    const HWND later_handle = RegisterWindow(later, "Static");
    const HWND deep_handle = RegisterWindow(deep, "Edit");
    const HWND rebar_handle = RegisterWindow(toolbar_area, "ReBarWindow32");

    std::vector<HWND> tops;
    EXPECT_TRUE(EnumWindows(&collect, reinterpret_cast<LPARAM>(&tops)));
    // Child windows are never top-level; other tests' windows are gone by now.
    EXPECT_EQ(tops, (std::vector<HWND>{frame_handle, other_handle}));

    std::vector<HWND> children;
    EXPECT_TRUE(EnumChildWindows(frame_handle, &collect, reinterpret_cast<LPARAM>(&children)));
    EXPECT_EQ(children, (std::vector<HWND>{rebar_handle, deep_handle, later_handle}));

    // A callback that answers false ends the walk.
    std::vector<HWND> first_only;
    auto stop_after_first = [](HWND window, LPARAM data) {
        reinterpret_cast<std::vector<HWND>*>(data)->push_back(window);
        return false;
    };
    EXPECT_FALSE(EnumChildWindows(frame_handle, stop_after_first, reinterpret_cast<LPARAM>(&first_only)));
    EXPECT_EQ(first_only, std::vector<HWND>{rebar_handle});

    EXPECT_FALSE(EnumChildWindows(nullptr, &collect, reinterpret_cast<LPARAM>(&children)));

    // A window destroyed by a callback is not visited afterwards.
    static QWidget* victim;
    victim = later;
    std::vector<HWND> seen;
    auto destroy_later = [](HWND window, LPARAM data) {
        reinterpret_cast<std::vector<HWND>*>(data)->push_back(window);
        delete victim;
        victim = nullptr;
        return true;
    };
    EXPECT_TRUE(EnumChildWindows(frame_handle, destroy_later, reinterpret_cast<LPARAM>(&seen)));
    EXPECT_EQ(seen, (std::vector<HWND>{rebar_handle, deep_handle}));
}

TEST(WindowEnumeration, VisibilityFollowsTheParents)
{
    QWidget frame;
    auto* child = new QWidget(&frame);
    const HWND frame_handle = RegisterWindow(&frame, "IEFrame");
    const HWND child_handle = RegisterWindow(child, "ReBarWindow32");
    EXPECT_FALSE(IsWindowVisible(frame_handle));
    EXPECT_FALSE(IsWindowVisible(child_handle));
    frame.show();
    EXPECT_TRUE(IsWindowVisible(frame_handle));
    EXPECT_TRUE(IsWindowVisible(child_handle));
    child->hide();
    EXPECT_FALSE(IsWindowVisible(child_handle));
    frame.hide();
    EXPECT_FALSE(IsWindowVisible(frame_handle));
}

// A chain of two procedures: the outer one rewrites and passes on.
std::vector<std::string> g_calls;
WNDPROC g_previous = nullptr;

LRESULT base_procedure(HWND, UINT message, WPARAM wparam, LPARAM lparam)
{
    g_calls.push_back("base " + std::to_string(message) + " " + std::to_string(wparam) + " " + std::to_string(lparam));
    return static_cast<LRESULT>(wparam) + lparam;
}

LRESULT filter_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    g_calls.push_back("filter");
    if (message == WM_COMMAND)
        lparam = 1000;
    return CallWindowProcW(g_previous, window, message, wparam, lparam);
}

TEST(WindowProcedures, ReplaceCallPreviousAndRestore)
{
    g_calls.clear();
    QWidget frame;
    const HWND handle = RegisterWindow(&frame, "IEFrame", &base_procedure);
    EXPECT_EQ(GetWindowProc(handle), &base_procedure);
    EXPECT_EQ(SendMessageW(handle, WM_USER, 2, 3), 5);

    g_previous = SetWindowProc(handle, &filter_procedure);
    EXPECT_EQ(g_previous, &base_procedure);
    EXPECT_EQ(SendMessageW(handle, WM_COMMAND, 7, 3), 1007);
    EXPECT_EQ(SendMessageA(handle, WM_USER, 1, 1), 2);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"base 1024 2 3", "filter", "base 273 7 1000", "filter",
                                                  "base 1024 1 1"}));

    // Putting the previous procedure back takes the filter out of the chain.
    EXPECT_EQ(SetWindowProc(handle, g_previous), &filter_procedure);
    g_calls.clear();
    EXPECT_EQ(SendMessageW(handle, WM_COMMAND, 7, 3), 10);
    EXPECT_EQ(g_calls, std::vector<std::string>{"base 273 7 3"});

    // Without a procedure of its own a window answers 0.
    QWidget plain;
    const HWND plain_handle = RegisterWindow(&plain, "Static");
    EXPECT_EQ(GetWindowProc(plain_handle), &DefWindowProc);
    EXPECT_EQ(SendMessageW(plain_handle, WM_COMMAND, 1, 2), 0);
    EXPECT_EQ(SetWindowProc(nullptr, &base_procedure), nullptr);
    EXPECT_EQ(CallWindowProcA(nullptr, plain_handle, WM_USER, 1, 2), 0);
}

TEST(WindowMessages, CommandWordsAndQuitMessage)
{
    EXPECT_EQ(MAKEWPARAM(0xA032, 1), 0x1A032u);
    EXPECT_EQ(LOWORD(0x1A032), 0xA032);
    EXPECT_EQ(HIWORD(0x1A032), 1);

    // The quit request is queued: the caller goes on, then the loop ends with its code.
    bool went_on = false;
    QTimer::singleShot(0, [&] {
        PostQuitMessage(3);
        went_on = true;
    });
    EXPECT_EQ(QApplication::exec(), 3);
    EXPECT_TRUE(went_on);
}

} // namespace
} // namespace pelu::platform::window
