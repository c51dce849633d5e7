#include "widgets/shell_views.h"

#include "widgets/theme.h"
#include "widgets/toolbar_button.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QStandardPaths>
#include <QStorageInfo>

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

namespace {
// Where the desktop mounts disks, sticks and shares.
bool IsPlaceMount(const QString& root)
{
    return root.startsWith(QLatin1String("/media/")) || root.startsWith(QLatin1String("/mnt/")) ||
           root.startsWith(QLatin1String("/run/media/"));
}

// A mount point as the mount table writes it: space, tab, newline and
// backslash as three octal digits after a backslash.
QString UnescapeMountPoint(const QByteArray& field)
{
    QByteArray out;
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            bool ok = false;
            const int value = field.mid(i + 1, 3).toInt(&ok, 8);
            if (ok && value < 256) {
                out.append(char(value));
                i += 3;
                continue;
            }
        }
        out.append(field[i]);
    }
    return QFile::decodeName(out);
}
} // namespace

QList<MountedVolume> MountedVolumes()
{
    // Only the mounts that could be places are asked about: a statfs of every
    // mount (QStorageInfo::mountedVolumes) would also wait on network file
    // systems that have nothing to do with the locator.
    QList<MountedVolume> volumes;
    QFile table(QStringLiteral("/proc/self/mounts"));
    if (!table.open(QIODevice::ReadOnly))
        return volumes;
    for (const QByteArray& line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 2)
            continue;
        const QString root = UnescapeMountPoint(fields[1]);
        if (!IsPlaceMount(root))
            continue;
        const QStorageInfo info(root);
        if (info.isValid() && QDir::cleanPath(info.rootPath()) == QDir::cleanPath(root))
            volumes.append({root, info.name(), info.isReady()});
    }
    return volumes;
}

QList<LocatorPlace> LocatorPlaces(const QList<MountedVolume>& volumes)
{
    const QString home = QDir::homePath();
    QList<LocatorPlace> places{{QStringLiteral("Home"), home}};
    auto add_folder = [&](const QString& name, QStandardPaths::StandardLocation location) {
        const QString path = QStandardPaths::writableLocation(location);
        if (!path.isEmpty() && QFileInfo(path).isDir() && QDir(path) != QDir(home))
            places.append({name, path});
    };
    add_folder(QStringLiteral("Music"), QStandardPaths::MusicLocation);
    add_folder(QStringLiteral("Desktop"), QStandardPaths::DesktopLocation);
    for (const MountedVolume& volume : volumes) {
        const QString root = QDir::cleanPath(volume.root_path);
        if (!volume.ready || !IsPlaceMount(root))
            continue;
        places.append({volume.name.isEmpty() ? QFileInfo(root).fileName() : volume.name, root});
    }
    return places;
}

TShellView::TShellView(QWidget* parent) : QTreeView(parent), typed_label_(new QLabel(this))
{
    typed_label_->setObjectName(QStringLiteral("TypedPrefix"));
    typed_label_->setStyleSheet(QStringLiteral(
        "QLabel { background: #24272c; color: #ffffff; border: 1px solid #3fc1e8; padding: 1px 4px; }"));
    typed_label_->setFont(FontFromHeight(QStringLiteral("Tahoma"), -11));
    typed_label_->hide();
    pause_.setSingleShot(true);
    pause_.setInterval(kTypeAheadPauseMs);
    connect(&pause_, &QTimer::timeout, this, [this] { EndTypeAhead(); });
}

void TShellView::keyboardSearch(const QString& search)
{
    if (search.isEmpty() || !model()) {
        EndTypeAhead();
        return;
    }
    const bool fresh = prefix_.isEmpty() || !typed_.isValid() || typed_.elapsed() > kTypeAheadPauseMs;
    prefix_ = fresh ? search : prefix_ + search;
    typed_.start();
    pause_.start();
    // The same letter again and again steps through the rows starting with it.
    const bool same_letter = prefix_.size() > 1 && prefix_.count(prefix_.front()) == prefix_.size();
    const QString wanted = same_letter ? QString(prefix_.front()) : prefix_;
    const QModelIndex current = currentIndex();
    QModelIndex start = current.isValid() ? current.siblingAtColumn(0) : model()->index(0, 0, rootIndex());
    if (start.isValid() && current.isValid() && (fresh || same_letter)) {
        // A new search begins after the present row, so that typing its first
        // letter again finds the next one.
        const int rows = model()->rowCount(start.parent());
        start = model()->index((start.row() + 1) % std::max(1, rows), 0, start.parent());
    }
    if (start.isValid()) {
        const QModelIndexList found =
            model()->match(start, Qt::DisplayRole, wanted, 1, Qt::MatchStartsWith | Qt::MatchWrap);
        if (!found.isEmpty()) {
            setCurrentIndex(found.first());
            scrollTo(found.first());
        }
    }
    typed_label_->setText(prefix_);
    typed_label_->adjustSize();
    PlaceTypedLabel();
    typed_label_->show();
    typed_label_->raise();
}

void TShellView::EndTypeAhead()
{
    pause_.stop();
    prefix_.clear();
    typed_label_->hide();
}

void TShellView::PlaceTypedLabel()
{
    // In the lower right corner, over the rows, clear of the frame.
    const QRect area = viewport()->geometry();
    typed_label_->move(std::max(area.left(), area.right() - typed_label_->width() - 2),
                       std::max(area.top(), area.bottom() - typed_label_->height() - 2));
}

bool TShellView::event(QEvent* event)
{
    // While letters are being typed, Esc ends the search (and does not close
    // the panel the view sits in).
    if (event->type() == QEvent::ShortcutOverride && !prefix_.isEmpty() &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        event->accept();
        return true;
    }
    return QTreeView::event(event);
}

void TShellView::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape && !prefix_.isEmpty()) {
        EndTypeAhead();
        event->accept();
        return;
    }
    QTreeView::keyPressEvent(event);
}

void TShellView::resizeEvent(QResizeEvent* event)
{
    QTreeView::resizeEvent(event);
    PlaceTypedLabel();
}

TShellTree::TShellTree(QWidget* parent) : TShellView(parent)
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
    TShellView::mouseMoveEvent(event);
    if (OnMouseMove)
        OnMouseMove(this, event->position().toPoint());
}

TShellList::TShellList(QWidget* parent) : TShellView(parent)
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
    default: TShellView::keyPressEvent(event);
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
        TShellView::mouseDoubleClickEvent(event);
}

void TShellList::mouseMoveEvent(QMouseEvent* event)
{
    TShellView::mouseMoveEvent(event);
    if (OnMouseMove)
        OnMouseMove(this, event->position().toPoint());
}

TPlacesBar::TPlacesBar(QWidget* parent) : QWidget(parent)
{
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(4);
    row->addStretch(1);
    setAccessibleName(QStringLiteral("Places"));
}

void TPlacesBar::SetPlaces(const QList<LocatorPlace>& places)
{
    if (places == places_ && !buttons_.isEmpty())
        return;
    places_ = places;
    qDeleteAll(buttons_);
    buttons_.clear();
    auto* row = static_cast<QHBoxLayout*>(layout());
    for (int i = 0; i < places_.size(); ++i) {
        auto* button = new TToolbarButton(places_[i].name, this);
        button->setObjectName(QStringLiteral("Place%1").arg(i));
        button->setToolTip(places_[i].path);
        button->setAccessibleName(places_[i].name);
        button->OnClick = [this, i](QObject*) { OpenPlace(i); };
        row->insertWidget(i, button);
        buttons_ << button;
    }
}

void TPlacesBar::Refresh()
{
    SetPlaces(LocatorPlaces(MountedVolumes()));
}

void TPlacesBar::OpenPlace(int index)
{
    if (index < 0 || index >= places_.size())
        return;
    const QString path = places_[index].path;
    if (list_)
        list_->SetFolder(path);
    if (OnPlace)
        OnPlace(this, path);
}

void TPlacesBar::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    Refresh();
}

} // namespace pelu::widgets
