#include "widgets/shell_views.h"

#include "widgets/theme.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>

namespace pelu::widgets {

namespace {
const char* kViewStyle =
    "QTreeView { background: #1b1d21; color: #d8dce2; border: 1px solid #101114; outline: 0; }"
    "QTreeView:focus { border: 1px solid #3fc1e8; }" // the focus mark in the skin's accent
    "QTreeView::item { min-height: 20px; }" // a pointer's target, not a 13 px line
    "QTreeView::item:hover { background: #2a2e35; }"
    "QTreeView::item:selected { background: #1f4e63; color: #ffffff; }"
    "QHeaderView::section { background: #24272c; color: #8a9099; border: 0;"
    " border-right: 1px solid #101114; border-bottom: 1px solid #101114; padding: 1px 4px; }";
}

TShellTree::TShellTree(QWidget* parent) : QTreeView(parent)
{
    model_.setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Drives);
    model_.setRootPath(QString());
    setModel(&model_);
    for (int column = 1; column < model_.columnCount(); ++column)
        hideColumn(column);
    setHeaderHidden(true);
    setPalette(DarkPalette());
    setStyleSheet(QString::fromLatin1(kViewStyle));
    setMouseTracking(true);
    setAccessibleName(QStringLiteral("Folders"));
    connect(selectionModel(), &QItemSelectionModel::currentChanged, this, [this](const QModelIndex& current) {
        const QString path = model_.filePath(current);
        if (list_)
            list_->SetFolder(path);
        if (OnChange)
            OnChange(this, path);
    });
}

QString TShellTree::Path() const
{
    return model_.filePath(currentIndex());
}

void TShellTree::SetPath(const QString& path)
{
    const QModelIndex index = model_.index(path);
    if (!index.isValid())
        return;
    setCurrentIndex(index);
    scrollTo(index);
    expand(index);
}

void TShellTree::mouseMoveEvent(QMouseEvent* event)
{
    QTreeView::mouseMoveEvent(event);
    if (OnMouseMove)
        OnMouseMove(this, event->position().toPoint());
}

TShellList::TShellList(QWidget* parent) : QTreeView(parent)
{
    model_.setFilter(QDir::AllDirs | QDir::Files | QDir::NoDotAndDotDot);
    model_.setNameFilters({QStringLiteral("*.mp3")});
    model_.setNameFilterDisables(false); // hide what does not match, do not grey it
    setModel(&model_);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSortingEnabled(true);
    sortByColumn(0, Qt::AscendingOrder);
    setPalette(DarkPalette());
    setStyleSheet(QString::fromLatin1(kViewStyle));
    setMouseTracking(true);
    setAccessibleName(QStringLiteral("Files"));
    connect(&model_, &QFileSystemModel::directoryLoaded, this, [this](const QString& path) {
        if (QDir::cleanPath(path) == QDir::cleanPath(folder_) && OnFillComplete)
            OnFillComplete(this);
    });
    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this](const QItemSelection& selected, const QItemSelection& deselected) {
                if (!OnSelectItem)
                    return;
                for (const QModelIndex& index : selected.indexes())
                    if (index.column() == 0)
                        OnSelectItem(this, model_.filePath(index), true);
                for (const QModelIndex& index : deselected.indexes())
                    if (index.column() == 0)
                        OnSelectItem(this, model_.filePath(index), false);
            });
}

void TShellList::SetFolder(const QString& path)
{
    const bool changed = QDir::cleanPath(path) != QDir::cleanPath(folder_);
    folder_ = path;
    setRootIndex(model_.setRootPath(path));
    if (changed && OnFolderChange)
        OnFolderChange(this, path);
}

bool TShellList::OpenFolderAt(const QModelIndex& index)
{
    if (!index.isValid() || !model_.isDir(index))
        return false;
    SetFolder(model_.filePath(index));
    return true;
}

void TShellList::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (!OpenFolderAt(currentIndex()) && OnDblClickOpen && !SelectedPaths().isEmpty()) {
            bool handled = false;
            OnDblClickOpen(this, handled);
        }
        return;
    case Qt::Key_Backspace:
        if (QDir folder(folder_); folder.cdUp())
            SetFolder(folder.absolutePath());
        return;
    default: QTreeView::keyPressEvent(event);
    }
}

QString TShellList::FileFilter() const
{
    return model_.nameFilters().join(QLatin1Char(';'));
}

void TShellList::SetFileFilter(const QString& pattern)
{
    model_.setNameFilters(pattern.split(QLatin1Char(';'), Qt::SkipEmptyParts));
}

QStringList TShellList::Paths() const
{
    QStringList paths;
    const QModelIndex root = rootIndex();
    for (int row = 0; row < model_.rowCount(root); ++row) {
        const QModelIndex index = model_.index(row, 0, root);
        if (!model_.isDir(index))
            paths << model_.filePath(index);
    }
    return paths;
}

QStringList TShellList::SelectedPaths() const
{
    QStringList paths;
    const QModelIndex root = rootIndex();
    for (int row = 0; row < model_.rowCount(root); ++row) {
        const QModelIndex index = model_.index(row, 0, root);
        if (!model_.isDir(index) && selectionModel()->isSelected(index))
            paths << model_.filePath(index);
    }
    return paths;
}

bool TShellList::SelectPath(const QString& path, bool selected)
{
    const QModelIndex index = model_.index(path);
    if (!index.isValid() || index.parent() != rootIndex())
        return false;
    selectionModel()->select(index, (selected ? QItemSelectionModel::Select : QItemSelectionModel::Deselect)
                                        | QItemSelectionModel::Rows);
    return true;
}

void TShellList::ClearSelection()
{
    clearSelection();
}

void TShellList::Refresh()
{
    // The model watches the folder; a new root path makes it read it again.
    const QString folder = folder_;
    model_.setRootPath(QString());
    SetFolder(folder);
}

void TShellList::mouseDoubleClickEvent(QMouseEvent* event)
{
    // A folder is opened, never added: the owner hears of files only.
    const QModelIndex index = indexAt(event->position().toPoint());
    if (OpenFolderAt(index))
        return;
    bool handled = false;
    if (index.isValid() && OnDblClickOpen)
        OnDblClickOpen(this, handled);
    if (!handled)
        QTreeView::mouseDoubleClickEvent(event);
}

void TShellList::mouseMoveEvent(QMouseEvent* event)
{
    QTreeView::mouseMoveEvent(event);
    if (OnMouseMove)
        OnMouseMove(this, event->position().toPoint());
}

} // namespace pelu::widgets
