// The window layer: window handles for Qt widgets, so that modules loaded into a
// program (a helper object in the browser) can find the program's windows by class
// name and talk to them with messages, without linking the program's code.
//
// - A program registers a widget with a class name ("IEFrame", "ReBarWindow32")
//   and, optionally, a window procedure; the widget gets a handle (HWND) that
//   stays valid until the widget is destroyed or unregistered. Handles are never
//   reused, so a stale handle is recognised as such.
// - EnumWindows visits the registered top-level windows, EnumChildWindows the
//   registered descendants of a window (at every depth), both in the order of the
//   widget tree. GetClassNameA and IsWindowVisible read a window's facts.
// - Each window has a procedure chain: SetWindowProc replaces the procedure and
//   returns the previous one, which the new one passes messages on to through
//   CallWindowProcW/CallWindowProcA; SendMessageW/SendMessageA call the current
//   procedure. There is no queue: messages are plain calls.
// - The rebar's messages and REBARBANDINFO, a record of this layer's own layout
//   whose cbSize must equal sizeof(REBARBANDINFO).
//
// This layer is one shared library per process (libpelu_window.so), so that the
// program and every module it loads see the same windows.
//
// Thread: main thread only (the thread that owns the widgets), like the widgets.
#pragma once

#include <cstdint>

class QWidget;

namespace pelu::platform::window {

struct WindowHandle; // never defined: handles are numbers dressed as pointers
using HWND = WindowHandle*;
using UINT = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using WNDPROC = LRESULT (*)(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
// Returns false to stop the enumeration.
using WNDENUMPROC = bool (*)(HWND window, LPARAM data);

// The longest class name a window may have (longer names are cut).
inline constexpr int kMaxClassNameChars = 255;

// ---- registration ----------------------------------------------------------

// Gives `widget` a handle with `class_name` and `procedure` (null: DefWindowProc).
// A widget registered before keeps its handle, class and procedure. The handle
// goes when the widget is destroyed.
HWND RegisterWindow(QWidget* widget, const char* class_name, WNDPROC procedure = nullptr);
// Withdraws the handle; the widget stays. False for a handle that is not valid.
bool UnregisterWindow(HWND window);

// The handle of a registered widget, else null.
HWND WindowFromWidget(const QWidget* widget);
// The widget behind a valid handle, else null.
QWidget* WidgetFromWindow(HWND window);
bool IsWindow(HWND window);
// True when the window's widget is shown on the screen (it and all its parents).
bool IsWindowVisible(HWND window);

// Copies the class name into `buffer` (at most buffer_chars - 1 characters and a
// terminating zero) and returns the count copied; 0 for an invalid handle.
int GetClassNameA(HWND window, char* buffer, int buffer_chars);

// Window handles travel through automation interfaces as integers.
std::intptr_t HandleToInteger(HWND window);
HWND IntegerToHandle(std::intptr_t value);

// ---- enumeration -----------------------------------------------------------

// Calls `callback` for each registered top-level window; false when a callback
// stopped the enumeration.
bool EnumWindows(WNDENUMPROC callback, LPARAM data);
// Calls `callback` for each registered descendant of `parent`, depth first;
// false when a callback stopped it or `parent` is not a valid handle.
bool EnumChildWindows(HWND parent, WNDENUMPROC callback, LPARAM data);

// ---- procedures and messages -----------------------------------------------

// Replaces the window's procedure; returns the previous one (null, and nothing
// changes, for an invalid handle). `procedure` null restores DefWindowProc.
WNDPROC SetWindowProc(HWND window, WNDPROC procedure);
WNDPROC GetWindowProc(HWND window);

// Calls `procedure` (DefWindowProc when null). The two entries are the same on
// this platform: no message of this layer carries text that would need converting.
LRESULT CallWindowProcW(WNDPROC procedure, HWND window, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT CallWindowProcA(WNDPROC procedure, HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Calls the window's current procedure; 0 for an invalid handle.
LRESULT SendMessageW(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT SendMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// The procedure of last resort: answers 0 to everything.
LRESULT DefWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Asks the application's event loop to end with `exit_code`. Queued: the caller
// goes on, and the loop ends when control returns to it.
void PostQuitMessage(int exit_code);

constexpr WPARAM MAKEWPARAM(std::uint16_t low, std::uint16_t high)
{
    return static_cast<WPARAM>(static_cast<std::uint32_t>(high) << 16 | low);
}
constexpr std::uint16_t LOWORD(WPARAM value) { return static_cast<std::uint16_t>(value & 0xFFFF); }
constexpr std::uint16_t HIWORD(WPARAM value) { return static_cast<std::uint16_t>((value >> 16) & 0xFFFF); }

enum : UINT {
    // wParam: the command in the low word, the notification code in the high word;
    // lParam: the control that sent it, or 0.
    WM_COMMAND = 0x0111,
    WM_USER = 0x0400,
};

// ---- the rebar -------------------------------------------------------------

// A rebar is a toolbar area of rows of bands, each band holding one child window.
// Its messages (lParam points to a REBARBANDINFO where one is named):
enum : UINT {
    RB_INSERTBANDA = WM_USER + 1,   // wParam index (-1 appends); TRUE on success
    RB_DELETEBAND = WM_USER + 2,    // wParam index; TRUE on success
    RB_SETBANDINFOA = WM_USER + 6,  // wParam index; TRUE on success
    RB_INSERTBANDW = WM_USER + 10,
    RB_SETBANDINFOW = WM_USER + 11,
    RB_GETBANDCOUNT = WM_USER + 12, // the number of bands
    RB_GETROWCOUNT = WM_USER + 13,  // the number of rows
    RB_IDTOINDEX = WM_USER + 16,    // wParam band id; its index, or -1
    RB_GETBANDINFOW = WM_USER + 28, // wParam index; fills the members fMask names
    RB_GETBANDINFOA = WM_USER + 29,
};

// Which members of a REBARBANDINFO are valid (fMask).
enum : UINT {
    RBBIM_STYLE = 0x0001,
    RBBIM_COLORS = 0x0002,
    RBBIM_TEXT = 0x0004,
    RBBIM_IMAGE = 0x0008,
    RBBIM_CHILD = 0x0010,
    RBBIM_CHILDSIZE = 0x0020,
    RBBIM_SIZE = 0x0040,
    RBBIM_BACKGROUND = 0x0080,
    RBBIM_ID = 0x0100,
    RBBIM_IDEALSIZE = 0x0200,
    RBBIM_LPARAM = 0x0400,
    RBBIM_HEADERSIZE = 0x0800,
};

// Band styles (fStyle).
enum : UINT {
    RBBS_BREAK = 0x0001,           // the band starts a new row
    RBBS_FIXEDSIZE = 0x0002,
    RBBS_CHILDEDGE = 0x0004,       // an edge above and below the child
    RBBS_HIDDEN = 0x0008,
    RBBS_NOVERT = 0x0010,
    RBBS_FIXEDBMP = 0x0020,
    RBBS_VARIABLEHEIGHT = 0x0040,
    RBBS_GRIPPERALWAYS = 0x0080,   // a gripper even when the band is alone in its row
    RBBS_NOGRIPPER = 0x0100,
};

struct REBARBANDINFO {
    UINT cbSize = 0;         // must be sizeof(REBARBANDINFO)
    UINT fMask = 0;
    UINT fStyle = 0;
    std::uint32_t clrFore = 0;
    std::uint32_t clrBack = 0;
    char* lpText = nullptr;
    UINT cch = 0;
    int iImage = 0;
    HWND hwndChild = nullptr;
    UINT cxMinChild = 0;
    UINT cyMinChild = 0;
    UINT cx = 0;
    void* hbmBack = nullptr;
    UINT wID = 0;
    UINT cyChild = 0;
    UINT cyMaxChild = 0;
    UINT cyIntegral = 0;
    UINT cxIdeal = 0;
    LPARAM lParam = 0;
    UINT cxHeader = 0;
};

} // namespace pelu::platform::window
