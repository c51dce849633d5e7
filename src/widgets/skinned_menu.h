// TSkinnedMenu: the band's popup menus, drawn in the band's dark design with a
// title band down their left edge (the main menu's "Digital Ember Extensions":
// white bold text, 18 pixels wide, shaded from a light grey), a silver border,
// a black frame, etched separators and checkable items. An item whose caption
// is "-" is a separator.
//
// Thread: main thread only.
#pragma once

#include <QMenu>

namespace pelu::widgets {

class TSkinnedMenu : public QMenu {
    Q_OBJECT
public:
    static constexpr int kTitleBandWidth = 18;

    explicit TSkinnedMenu(QWidget* parent = nullptr);

    QString TitleText() const { return title_text_; }
    // An empty title leaves no band.
    void SetTitleText(const QString& text);

    // Adds an item (a separator for "-"); returns the item's action.
    QAction* AddItem(const QString& caption, bool checkable = false, bool checked = false);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void ApplyStyle();
    QString title_text_;
};

} // namespace pelu::widgets
