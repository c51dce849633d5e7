#include "platform/window/window.h"

#include <QCoreApplication>
#include <QHash>
#include <QMetaObject>
#include <QPointer>
#include <QWidget>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace pelu::platform::window {
namespace {

struct Entry {
    QPointer<QWidget> widget;
    const QWidget* widget_key = nullptr; // the reverse map's key, valid while dying
    std::string class_name;
    WNDPROC procedure = nullptr;
    QMetaObject::Connection on_destroyed;
};

// The process's windows. Handles count up from a base that keeps them clear of
// small integers (0 is "no window") and are never given out twice.
struct Table {
    std::map<std::uintptr_t, Entry> entries;
    QHash<const QWidget*, std::uintptr_t> by_widget;
    std::uintptr_t next_handle = 0x10010;
};

// Never destroyed, like a windowing system's own table: a library's static
// object may take its procedure out of a window during static destruction,
// whatever the order in which the libraries' statics go.
Table& table()
{
    static Table* instance = new Table;
    return *instance;
}

std::uintptr_t key_of(HWND window) { return reinterpret_cast<std::uintptr_t>(window); }
HWND handle_of(std::uintptr_t key) { return reinterpret_cast<HWND>(key); }

Entry* find(HWND window)
{
    auto& entries = table().entries;
    auto it = entries.find(key_of(window));
    if (it == entries.end() || !it->second.widget)
        return nullptr;
    return &it->second;
}

void forget(std::uintptr_t key)
{
    Table& t = table();
    auto it = t.entries.find(key);
    if (it == t.entries.end())
        return;
    QObject::disconnect(it->second.on_destroyed);
    t.by_widget.remove(it->second.widget_key);
    t.entries.erase(it);
}

// Depth-first over the widget tree below `parent`, collecting registered widgets.
void collect_descendants(const QWidget* parent, std::vector<std::uintptr_t>& out)
{
    const Table& t = table();
    for (QObject* child : parent->children()) {
        auto* widget = qobject_cast<QWidget*>(child);
        if (!widget)
            continue;
        auto it = t.by_widget.constFind(widget);
        if (it != t.by_widget.constEnd())
            out.push_back(it.value());
        collect_descendants(widget, out);
    }
}

// Calls back over a snapshot, skipping windows that went away meanwhile.
bool run_enumeration(const std::vector<std::uintptr_t>& handles, WNDENUMPROC callback, LPARAM data)
{
    for (std::uintptr_t key : handles) {
        if (!find(handle_of(key)))
            continue;
        if (!callback(handle_of(key), data))
            return false;
    }
    return true;
}

} // namespace

HWND RegisterWindow(QWidget* widget, const char* class_name, WNDPROC procedure)
{
    if (!widget)
        return nullptr;
    Table& t = table();
    if (auto it = t.by_widget.constFind(widget); it != t.by_widget.constEnd())
        return handle_of(it.value());
    const std::uintptr_t key = t.next_handle;
    t.next_handle += 4;
    Entry entry;
    entry.widget = widget;
    entry.widget_key = widget;
    entry.class_name = class_name ? class_name : "";
    if (entry.class_name.size() > kMaxClassNameChars)
        entry.class_name.resize(kMaxClassNameChars);
    entry.procedure = procedure;
    // The handle dies with the widget, as a window's does.
    entry.on_destroyed = QObject::connect(widget, &QObject::destroyed, [key] { forget(key); });
    t.entries.emplace(key, std::move(entry));
    t.by_widget.insert(widget, key);
    return handle_of(key);
}

bool UnregisterWindow(HWND window)
{
    if (!find(window))
        return false;
    forget(key_of(window));
    return true;
}

HWND WindowFromWidget(const QWidget* widget)
{
    const Table& t = table();
    auto it = t.by_widget.constFind(widget);
    return it == t.by_widget.constEnd() ? nullptr : handle_of(it.value());
}

QWidget* WidgetFromWindow(HWND window)
{
    Entry* entry = find(window);
    return entry ? entry->widget.data() : nullptr;
}

bool IsWindow(HWND window) { return find(window) != nullptr; }

bool IsWindowVisible(HWND window)
{
    Entry* entry = find(window);
    return entry && entry->widget->isVisible();
}

int GetClassNameA(HWND window, char* buffer, int buffer_chars)
{
    Entry* entry = find(window);
    if (!entry || !buffer || buffer_chars <= 0)
        return 0;
    const std::size_t count = std::min(entry->class_name.size(), static_cast<std::size_t>(buffer_chars - 1));
    std::memcpy(buffer, entry->class_name.data(), count);
    buffer[count] = '\0';
    return static_cast<int>(count);
}

std::intptr_t HandleToInteger(HWND window) { return static_cast<std::intptr_t>(key_of(window)); }
HWND IntegerToHandle(std::intptr_t value) { return handle_of(static_cast<std::uintptr_t>(value)); }

bool EnumWindows(WNDENUMPROC callback, LPARAM data)
{
    if (!callback)
        return false;
    std::vector<std::uintptr_t> handles;
    for (const auto& [key, entry] : table().entries) {
        if (entry.widget && entry.widget->isWindow())
            handles.push_back(key); // ascending: the order of registration
    }
    return run_enumeration(handles, callback, data);
}

bool EnumChildWindows(HWND parent, WNDENUMPROC callback, LPARAM data)
{
    Entry* entry = find(parent);
    if (!entry || !callback)
        return false;
    std::vector<std::uintptr_t> handles;
    collect_descendants(entry->widget, handles);
    return run_enumeration(handles, callback, data);
}

WNDPROC SetWindowProc(HWND window, WNDPROC procedure)
{
    Entry* entry = find(window);
    if (!entry)
        return nullptr;
    WNDPROC previous = entry->procedure ? entry->procedure : &DefWindowProc;
    entry->procedure = procedure;
    return previous;
}

WNDPROC GetWindowProc(HWND window)
{
    Entry* entry = find(window);
    if (!entry)
        return nullptr;
    return entry->procedure ? entry->procedure : &DefWindowProc;
}

LRESULT CallWindowProcW(WNDPROC procedure, HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    return (procedure ? procedure : &DefWindowProc)(window, message, wparam, lparam);
}

LRESULT CallWindowProcA(WNDPROC procedure, HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    return CallWindowProcW(procedure, window, message, wparam, lparam);
}

LRESULT SendMessageW(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    Entry* entry = find(window);
    if (!entry)
        return 0;
    return CallWindowProcW(entry->procedure, window, message, wparam, lparam);
}

LRESULT SendMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    return SendMessageW(window, message, wparam, lparam);
}

LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM) { return 0; }

void PostQuitMessage(int exit_code)
{
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, [exit_code] { QCoreApplication::exit(exit_code); }, Qt::QueuedConnection);
}

} // namespace pelu::platform::window
