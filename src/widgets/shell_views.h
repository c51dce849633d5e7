// The file locator's two views on QFileSystemModel: TShellTree, the folder tree,
// and TShellList, the report-view file list filtered to "*.mp3" (any letter
// case, as the platform's file list matched it; the owner compares extensions
// itself) with several files selectable at once. Choosing a folder in the tree
// fills the list bound to it. Both take type-ahead (TShellView): the letters
// typed select the first row starting with them and show in a small label
// until a pause or Esc. TPlacesBar is the row of places above them (home,
// music, desktop, mounted volumes) that opens a place in the list with one
// click.
//
// Thread: main thread only (QFileSystemModel gathers file facts on a thread of
// its own and reports back through queued signals).
#pragma once

#include <QElapsedTimer>
#include <QFileSystemModel>
#include <QList>
#include <QPointer>
#include <QTimer>
#include <QTreeView>

#include <functional>

class QLabel;

namespace pelu::widgets {

class TShellList;
class TToolbarButton;

// A place the locator offers in its places row.
struct LocatorPlace {
    QString name;
    QString path;
    bool operator==(const LocatorPlace&) const = default;
};

// A mounted volume as the places row needs it (QStorageInfo's facts).
struct MountedVolume {
    QString root_path;
    QString name; // the volume's label; may be empty
    bool ready = false;
};

// The volumes mounted now below /media, /mnt or /run/media (the mount table;
// only those are asked for their label and state).
QList<MountedVolume> MountedVolumes();

// Home, then Music and Desktop when they are folders other than the home
// (QStandardPaths), then each ready volume mounted below /media, /mnt or
// /run/media, named by its label or else by its folder's name. Volumes
// elsewhere (the root, /boot, pseudo file systems) are the system's, not
// places for music.
QList<LocatorPlace> LocatorPlaces(const QList<MountedVolume>& volumes);

// The views' shared type-ahead.
class TShellView : public QTreeView {
    Q_OBJECT
public:
    // How long typing may pause before the next letter starts a new search.
    static constexpr int kTypeAheadPauseMs = 1000;

    explicit TShellView(QWidget* parent = nullptr);

    // The letters typed so far; empty once the search has ended.
    QString TypedPrefix() const { return prefix_; }
    void keyboardSearch(const QString& search) override;

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void EndTypeAhead();
    void PlaceTypedLabel();

    QString prefix_;
    QElapsedTimer typed_;
    QTimer pause_;
    QLabel* typed_label_;
};

class TShellTree : public TShellView {
    Q_OBJECT
public:
    using PathNotify = std::function<void(QObject* sender, const QString& path)>;
    using MouseNotify = std::function<void(QObject* sender, QPoint pos)>;

    explicit TShellTree(QWidget* parent = nullptr);

    void SetShellList(TShellList* list) { list_ = list; }
    QString Path() const;
    void SetPath(const QString& path);

    PathNotify OnChange;
    MouseNotify OnMouseMove;

protected:
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    QFileSystemModel model_;
    QPointer<TShellList> list_;
};

class TShellList : public TShellView {
    Q_OBJECT
public:
    using Notify = std::function<void(QObject* sender)>;
    using SelectNotify = std::function<void(QObject* sender, const QString& path, bool selected)>;
    using DblClickOpen = std::function<void(QObject* sender, bool& handled)>;
    using MouseNotify = std::function<void(QObject* sender, QPoint pos)>;

    explicit TShellList(QWidget* parent = nullptr);

    QString Folder() const { return folder_; }
    void SetFolder(const QString& path);
    QString FileFilter() const;
    void SetFileFilter(const QString& pattern);

    // Full paths of the selected files, in list order.
    QStringList SelectedPaths() const;
    // Paths of every file in the list, in list order.
    QStringList Paths() const;
    bool SelectPath(const QString& path, bool selected = true);
    void ClearSelection();
    void Refresh();

    Notify OnFillComplete;     // the folder's entries are all listed
    SelectNotify OnSelectItem; // an item became selected or deselected
    DblClickOpen OnDblClickOpen; // a file was double clicked (a folder opens instead)
    MouseNotify OnMouseMove;
    std::function<void(QObject* sender, const QString& folder)> OnFolderChange; // the list shows another folder

protected:
    // A double click (or Enter) on a folder opens it in the list; on a file it
    // is the owner's OnDblClickOpen. Backspace goes up one folder.
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    // True when it opened a folder.
    bool OpenFolderAt(const QModelIndex& index);

    QFileSystemModel model_;
    QString folder_;
};

class TPlacesBar : public QWidget {
    Q_OBJECT
public:
    using PlaceNotify = std::function<void(QObject* sender, const QString& path)>;

    explicit TPlacesBar(QWidget* parent = nullptr);

    void SetShellList(TShellList* list) { list_ = list; }
    QList<LocatorPlace> Places() const { return places_; }
    // One button per place, left to right.
    void SetPlaces(const QList<LocatorPlace>& places);
    // The places of now (volumes come and go); done whenever the bar is shown.
    void Refresh();
    // Opens place `index` as a click on its button does.
    void OpenPlace(int index);
    TToolbarButton* Button(int index) const { return buttons_.value(index); }

    PlaceNotify OnPlace; // a place was opened (after the list shows it)

protected:
    void showEvent(QShowEvent* event) override;

private:
    QPointer<TShellList> list_;
    QList<LocatorPlace> places_;
    QList<TToolbarButton*> buttons_;
};

} // namespace pelu::widgets
