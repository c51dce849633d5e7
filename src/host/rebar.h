// The browser's toolbar area ("ReBarWindow32"): rows of bands, each band holding
// one child window. Everything is driven by the rebar's window messages, which
// its window procedure answers, so a module loaded into the browser adds a band
// exactly as the browser adds its own:
//
//   RB_INSERTBANDA/W   insert at an index (-1 appends); the child is re-parented
//                      into the band and kept at its minimum size
//   RB_DELETEBAND      the child is hidden and left to its owner
//   RB_SETBANDINFOA/W, RB_GETBANDINFOA/W   the members fMask names
//   RB_GETBANDCOUNT, RB_GETROWCOUNT, RB_IDTOINDEX
//
// Every record must have cbSize == sizeof(REBARBANDINFO); others are refused (0).
// A band with RBBS_BREAK starts a row of its own; RBBS_GRIPPERALWAYS draws a
// gripper at its left; RBBS_CHILDEDGE leaves an edge above and below the child.
// A band whose child window is destroyed goes with it. A band narrower than its
// child clips it and shows a chevron at its right end that scrolls the rest of
// the child into view, so no band sets the window's minimum width.
//
// Thread: main thread only.
#pragma once

#include "platform/window/window.h"

#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <vector>

class QBoxLayout;
class QLabel;

namespace pelu::host {

class BandClip;

namespace win = pelu::platform::window;

inline constexpr char kRebarClass[] = "ReBarWindow32";

class Rebar : public QWidget {
    Q_OBJECT

public:
    explicit Rebar(QWidget* parent = nullptr);
    ~Rebar() override;

    win::HWND handle() const { return handle_; }
    int band_count() const { return static_cast<int>(bands_.size()); }
    int row_count() const;
    // The row a band sits in (0-based); -1 for a bad index.
    int row_of(int index) const;
    // A band's id and child as the rebar itself knows them. (A module's filter on
    // the rebar may redirect RB_GETBANDINFO for its own band, so the browser reads
    // its bands here.)
    win::UINT band_id(int index) const;
    // Every member set so far (fMask their union; no text), as inserted and then set.
    win::REBARBANDINFO band_info(int index) const;
    QWidget* band_child(int index) const;
    // The band's cell: the widget that holds its gripper, text and child.
    QWidget* band_cell(int index) const;
    bool has_gripper(int index) const;
    // The band is narrower than its child: the child is clipped, the chevron shows.
    bool is_clipped(int index) const;

    // Called after a band was inserted (with its index) or removed.
    std::function<void(int index)> on_band_inserted;
    std::function<void()> on_bands_changed;

    // The rebar's own window procedure.
    static win::LRESULT Procedure(win::HWND window, win::UINT message, win::WPARAM wparam, win::LPARAM lparam);

private:
    struct Band {
        win::REBARBANDINFO info{};   // the members set so far (lpText not kept)
        QString text;
        QPointer<QWidget> child;
        QWidget* cell = nullptr;     // owned by the rebar
        QLabel* label = nullptr;
        BandClip* clip = nullptr;    // inside the cell; holds the child
        QMetaObject::Connection child_gone;
    };

    win::LRESULT Handle(win::UINT message, win::WPARAM wparam, win::LPARAM lparam);
    bool Insert(int index, const win::REBARBANDINFO& info);
    bool Delete(int index);
    bool SetInfo(int index, const win::REBARBANDINFO& info);
    bool GetInfo(int index, win::REBARBANDINFO& info) const;
    void Apply(Band& band, const win::REBARBANDINFO& info);
    void Relayout();
    void ChildDestroyed(QWidget* cell);

    win::HWND handle_ = nullptr;
    QBoxLayout* rows_ = nullptr;
    std::vector<Band> bands_;
};

} // namespace pelu::host
