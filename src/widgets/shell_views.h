// The file locator's two views on QFileSystemModel: TShellTree, the folder tree,
// and TShellList, the report-view file list filtered to "*.mp3" (any letter
// case, as the platform's file list matched it; the owner compares extensions
// itself) with several files selectable at once. Choosing a folder in the tree
// fills the list bound to it.
//
// Thread: main thread only (QFileSystemModel gathers file facts on a thread of
// its own and reports back through queued signals).
#pragma once

#include <QFileSystemModel>
#include <QPointer>
#include <QTreeView>

#include <functional>

namespace pelu::widgets {

class TShellList;

class TShellTree : public QTreeView {
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

class TShellList : public QTreeView {
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

} // namespace pelu::widgets
