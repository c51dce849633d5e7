#include "widgets/playlist_tree.h"

#include "widgets/theme.h"

#include <QDragEnterEvent>
#include <QHeaderView>
#include <QMimeData>
#include <QPainter>

namespace pelu::widgets {

namespace {
// Section order on screen: Artist, title (the tree column), time.
constexpr int kArtistSection = 0;
constexpr int kTitleSection = 1;
constexpr int kTimeSection = 2;
constexpr int kColumnTextsRole = Qt::UserRole + 1;
constexpr int kImageIndexRole = Qt::UserRole + 2;
} // namespace

TElTree::TElTree(QWidget* parent) : QTreeWidget(parent)
{
    setColumnCount(3);
    setHeaderLabels({QStringLiteral("Artist"), QStringLiteral("MP3 Song Title:"), QStringLiteral("Track Time")});
    header()->resizeSection(kArtistSection, 60);
    header()->resizeSection(kTitleSection, 233);
    header()->resizeSection(kTimeSection, 60);
    header()->setStretchLastSection(true);
    header()->setSectionsMovable(false);
    setRootIsDecorated(false);
    setIndentation(0);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setAllColumnsShowFocus(true);
    setMouseTracking(true); // hot tracking
    setAttribute(Qt::WA_Hover);
    setDragEnabled(true);
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    setDropIndicatorShown(true);
    setDragDropMode(QAbstractItemView::DragDrop);
    setDefaultDropAction(Qt::MoveAction);
    setIconSize(QSize(16, 16));
    setPalette(DarkPalette());
    setFont(FontFromHeight(QStringLiteral("Tahoma"), -11));
    setAccessibleName(QStringLiteral("Playlist"));
    setStyleSheet(QStringLiteral(
        "QTreeView { background: #1b1d21; alternate-background-color: #202328; color: #d8dce2;"
        " border: 1px solid #101114; outline: 0; }"
        "QTreeView:focus { border: 1px solid #3fc1e8; }" // the focus mark in the skin's accent
        "QTreeView::item { height: %1px; }"
        "QTreeView::item:hover { background: #2a2e35; }"
        "QTreeView::item:selected { background: #1f4e63; color: #ffffff; }"
        "QHeaderView::section { background: #24272c; color: #8a9099; border: 0;"
        " border-right: 1px solid #101114; border-bottom: 1px solid #101114; padding: 1px 4px; }")
                      .arg(kRowHeight));
    setAlternatingRowColors(true);
    connect(this, &QTreeWidget::itemSelectionChanged, this, [this] {
        if (OnItemSelectedChange && update_depth_ == 0)
            OnItemSelectedChange(this);
    });
}

void TElTree::SetImages(QList<TPicture> images)
{
    // As an image list does, the colour of each picture's bottom-left pixel is
    // its transparent colour.
    for (TPicture& picture : images)
        if (picture.IsSet())
            picture = picture.WithTransparentColor(QColor(picture.x1().pixel(0, picture.height() - 1)), 24);
    images_ = std::move(images);
    for (int i = 0; i < RowCount(); ++i)
        ApplyImage(Row(i));
}

int TElTree::AddRow(const QString& text, const QStringList& column_texts, int image_index)
{
    auto* item = new QTreeWidgetItem;
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled);
    QStringList columns = column_texts.mid(0, kColumnTexts);
    while (columns.size() < kColumnTexts)
        columns << QString();
    item->setData(0, kColumnTextsRole, columns);
    item->setText(kTitleSection, text);
    item->setText(kArtistSection, columns.at(1));
    item->setText(kTimeSection, columns.at(0));
    item->setTextAlignment(kTimeSection, Qt::AlignRight | Qt::AlignVCenter);
    item->setData(0, kImageIndexRole, image_index);
    item->setSizeHint(0, QSize(0, kRowHeight));
    addTopLevelItem(item);
    ApplyImage(item);
    return RowCount() - 1;
}

void TElTree::RemoveRow(int row)
{
    delete takeTopLevelItem(row);
}

void TElTree::Clear()
{
    clear();
}

void TElTree::MoveRow(int from, int to)
{
    if (from < 0 || from >= RowCount() || to < 0 || to >= RowCount() || from == to)
        return;
    const bool was_selected = IsRowSelected(from);
    const bool was_focused = FocusedRow() == from;
    QTreeWidgetItem* item = takeTopLevelItem(from);
    insertTopLevelItem(to, item);
    item->setSelected(was_selected);
    if (was_focused)
        setCurrentItem(item, 0, QItemSelectionModel::NoUpdate);
}

QString TElTree::RowText(int row) const
{
    auto* item = Row(row);
    return item ? item->text(kTitleSection) : QString();
}

void TElTree::SetRowText(int row, const QString& text)
{
    if (auto* item = Row(row))
        item->setText(kTitleSection, text);
}

QStringList TElTree::ColumnTexts(int row) const
{
    auto* item = Row(row);
    return item ? item->data(0, kColumnTextsRole).toStringList() : QStringList();
}

QString TElTree::ColumnText(int row, int column) const
{
    const QStringList columns = ColumnTexts(row);
    return column >= 0 && column < columns.size() ? columns.at(column) : QString();
}

void TElTree::SetColumnText(int row, int column, const QString& text)
{
    auto* item = Row(row);
    if (!item || column < 0 || column >= kColumnTexts)
        return;
    QStringList columns = item->data(0, kColumnTextsRole).toStringList();
    columns[column] = text;
    item->setData(0, kColumnTextsRole, columns);
    if (column == 0)
        item->setText(kTimeSection, text);
    else if (column == 1)
        item->setText(kArtistSection, text);
}

int TElTree::ImageIndex(int row) const
{
    auto* item = Row(row);
    return item ? item->data(0, kImageIndexRole).toInt() : -1;
}

void TElTree::SetImageIndex(int row, int index)
{
    if (auto* item = Row(row)) {
        item->setData(0, kImageIndexRole, index);
        ApplyImage(item);
    }
}

void TElTree::ApplyImage(QTreeWidgetItem* item)
{
    const int index = item->data(0, kImageIndexRole).toInt();
    if (index >= 0 && index < images_.size() && images_.at(index).IsSet()) {
        const TPicture& picture = images_.at(index);
        QIcon icon;
        icon.addPixmap(QPixmap::fromImage(picture.x1()));
        if (!picture.x2().isNull())
            icon.addPixmap(QPixmap::fromImage(picture.x2()));
        item->setIcon(kTitleSection, icon);
    } else {
        item->setIcon(kTitleSection, QIcon());
    }
}

bool TElTree::IsRowSelected(int row) const
{
    auto* item = Row(row);
    return item && item->isSelected();
}

void TElTree::SetRowSelected(int row, bool selected)
{
    if (auto* item = Row(row))
        item->setSelected(selected);
}

void TElTree::DeselectAll()
{
    clearSelection();
}

int TElTree::FocusedRow() const
{
    return currentItem() ? indexOfTopLevelItem(currentItem()) : -1;
}

void TElTree::SetFocusedRow(int row)
{
    if (auto* item = Row(row))
        setCurrentItem(item, 0, QItemSelectionModel::NoUpdate);
}

QList<int> TElTree::SelectedRows() const
{
    QList<int> rows;
    for (int i = 0; i < RowCount(); ++i)
        if (Row(i)->isSelected())
            rows << i;
    return rows;
}

void TElTree::SetRowHidden(int row, bool hidden)
{
    if (QTreeWidgetItem* item = Row(row))
        item->setHidden(hidden);
}

bool TElTree::IsRowHidden(int row) const
{
    const QTreeWidgetItem* item = Row(row);
    return item && item->isHidden();
}

int TElTree::RowAt(QPoint viewport_pos) const
{
    auto* item = itemAt(viewport_pos);
    return item ? indexOfTopLevelItem(item) : -1;
}

void TElTree::BeginUpdate()
{
    if (update_depth_++ == 0)
        setUpdatesEnabled(false);
}

void TElTree::EndUpdate()
{
    if (update_depth_ > 0 && --update_depth_ == 0) {
        setUpdatesEnabled(true);
        viewport()->update();
    }
}

QStringList TElTree::mimeTypes() const
{
    return {QString::fromLatin1(kRowMimeType)};
}

QMimeData* TElTree::mimeData(const QList<QTreeWidgetItem*>& items) const
{
    auto* data = new QMimeData;
    QStringList rows;
    for (auto* item : items)
        rows << QString::number(indexOfTopLevelItem(item));
    data->setData(QString::fromLatin1(kRowMimeType), rows.join(QLatin1Char(',')).toLatin1());
    return data;
}

void TElTree::dragEnterEvent(QDragEnterEvent* event)
{
    event->acceptProposedAction();
}

void TElTree::dragMoveEvent(QDragMoveEvent* event)
{
    if (IsOutsideDrop(event->mimeData())) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
        return;
    }
    const int row = RowAt(event->position().toPoint());
    if (!OnDragOver || OnDragOver(this, row))
        event->acceptProposedAction();
    else
        event->ignore();
}

bool TElTree::IsOutsideDrop(const QMimeData* data) const
{
    return OnDropUrls && data && data->hasUrls() && !data->hasFormat(QString::fromLatin1(kRowMimeType));
}

void TElTree::dropEvent(QDropEvent* event)
{
    if (IsOutsideDrop(event->mimeData())) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
        OnDropUrls(this, event->mimeData()->urls());
        return;
    }
    const int row = RowAt(event->position().toPoint());
    // The tree never moves rows by itself: the drop is the owner's to handle.
    event->setDropAction(Qt::CopyAction);
    event->accept();
    if (OnDragDrop)
        OnDragDrop(this, row);
    else if (row >= 0)
        MoveRow(FocusedRow(), row);
}

void TElTree::mouseDoubleClickEvent(QMouseEvent* event)
{
    QTreeWidget::mouseDoubleClickEvent(event);
    if (OnDblClick)
        OnDblClick(this);
}

void TElTree::mouseMoveEvent(QMouseEvent* event)
{
    QTreeWidget::mouseMoveEvent(event);
    if (OnMouseMove)
        OnMouseMove(this, event->position().toPoint());
}

} // namespace pelu::widgets
