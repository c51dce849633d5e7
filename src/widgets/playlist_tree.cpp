#include "widgets/playlist_tree.h"

#include "widgets/theme.h"

#include <QDragEnterEvent>
#include <QHeaderView>
#include <QMimeData>
#include <QPainter>

#include <algorithm>

namespace pelu::widgets {

namespace {
// Section order on screen: Artist, title (the tree column), time.
constexpr int kArtistSection = 0;
constexpr int kTitleSection = 1;
constexpr int kTimeSection = 2;
constexpr int kColumnTextsRole = Qt::UserRole + 1;
constexpr int kImageIndexRole = Qt::UserRole + 2;
constexpr int kRowItemType = QTreeWidgetItem::UserType + 1;
} // namespace

// A playlist row holds its texts once and answers the view's questions from
// them: a plain item keeps a variant per role and column (display texts,
// alignment, size, icon, the column texts again), several times the bytes of
// the row itself, which for lists of a hundred thousand rows is hundreds of
// megabytes. Roles a row does not own (set by others) go to the plain item.
class TElTree::RowItem final : public QTreeWidgetItem {
public:
    RowItem(QString text, QStringList columns, int image_index)
        : QTreeWidgetItem(kRowItemType), text_(std::move(text)), image_index_(image_index)
    {
        SetColumns(std::move(columns));
        setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled);
    }

    static RowItem* Of(QTreeWidgetItem* item)
    {
        return item && item->type() == kRowItemType ? static_cast<RowItem*>(item) : nullptr;
    }

    const QString& Text() const { return text_; }
    // Always kColumnTexts texts.
    QStringList Columns() const
    {
        if (columns_.size() == kColumnTexts)
            return columns_;
        if (columns_.isEmpty()) {
            static const QStringList no_texts(kColumnTexts); // shared by every such row's copies
            return no_texts;
        }
        QStringList padded = columns_;
        while (padded.size() < kColumnTexts)
            padded << QString();
        return padded;
    }
    QString Column(int column) const { return columns_.value(column); }
    int ImageIndex() const { return image_index_; }

    void SetText(const QString& text)
    {
        text_ = text;
        emitDataChanged();
    }
    void SetColumn(int column, const QString& text)
    {
        QStringList columns = Columns();
        columns[column] = text;
        SetColumns(std::move(columns));
        emitDataChanged();
    }
    void SetColumnTexts(const QStringList& columns)
    {
        SetColumns(columns.mid(0, kColumnTexts));
        emitDataChanged();
    }
    void SetImageIndex(int index)
    {
        image_index_ = index;
        emitDataChanged();
    }

    QVariant data(int column, int role) const override
    {
        switch (role) {
        case Qt::DisplayRole:
        case Qt::EditRole:
            if (column == kTitleSection)
                return text_;
            if (column == kArtistSection)
                return Column(1);
            if (column == kTimeSection)
                return Column(0);
            break;
        case Qt::TextAlignmentRole:
            if (column == kTimeSection)
                return int(Qt::AlignRight | Qt::AlignVCenter);
            break;
        case Qt::DecorationRole:
            if (column == kTitleSection) {
                const auto* tree = qobject_cast<const TElTree*>(treeWidget());
                if (tree && image_index_ >= 0 && image_index_ < tree->icons_.size() &&
                    !tree->icons_.at(image_index_).isNull())
                    return tree->icons_.at(image_index_);
            }
            break;
        case Qt::SizeHintRole:
            if (column == 0)
                return QSize(0, kRowHeight);
            break;
        case kColumnTextsRole:
            if (column == 0)
                return Columns();
            break;
        case kImageIndexRole:
            if (column == 0)
                return image_index_;
            break;
        default:
            break;
        }
        return QTreeWidgetItem::data(column, role);
    }

    void setData(int column, int role, const QVariant& value) override
    {
        if ((role == Qt::DisplayRole || role == Qt::EditRole) && column == kTitleSection)
            SetText(value.toString());
        else if ((role == Qt::DisplayRole || role == Qt::EditRole) && column == kArtistSection)
            SetColumn(1, value.toString());
        else if ((role == Qt::DisplayRole || role == Qt::EditRole) && column == kTimeSection)
            SetColumn(0, value.toString());
        else if (role == kColumnTextsRole && column == 0)
            SetColumnTexts(value.toStringList());
        else if (role == kImageIndexRole && column == 0)
            SetImageIndex(value.toInt());
        else
            QTreeWidgetItem::setData(column, role, value);
    }

private:
    void SetColumns(QStringList columns)
    {
        // Rows without any column text (the smallest records a list can
        // hold) keep no list at all.
        if (std::all_of(columns.cbegin(), columns.cend(), [](const QString& c) { return c.isNull(); }))
            columns_ = QStringList();
        else
            columns_ = std::move(columns);
    }

    QString text_;
    QStringList columns_; // kColumnTexts texts, or none when all are empty
    int image_index_;
};

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
    // One icon per picture, shared by every row that shows it.
    icons_.clear();
    for (const TPicture& picture : images_) {
        QIcon icon;
        if (picture.IsSet()) {
            icon.addPixmap(QPixmap::fromImage(picture.x1()));
            if (!picture.x2().isNull())
                icon.addPixmap(QPixmap::fromImage(picture.x2()));
        }
        icons_ << icon;
    }
    viewport()->update();
}

QTreeWidgetItem* TElTree::NewRowItem(const QString& text, const QStringList& column_texts, int image_index)
{
    return new RowItem(text, column_texts.mid(0, kColumnTexts), image_index);
}

int TElTree::AddRow(const QString& text, const QStringList& column_texts, int image_index)
{
    addTopLevelItems({NewRowItem(text, column_texts, image_index)});
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
    const RowItem* item = RowItem::Of(Row(row));
    return item ? item->Text() : QString();
}

void TElTree::SetRowText(int row, const QString& text)
{
    if (RowItem* item = RowItem::Of(Row(row)))
        item->SetText(text);
}

QStringList TElTree::ColumnTexts(int row) const
{
    const RowItem* item = RowItem::Of(Row(row));
    return item ? item->Columns() : QStringList();
}

QString TElTree::ColumnText(int row, int column) const
{
    const RowItem* item = RowItem::Of(Row(row));
    return item ? item->Column(column) : QString();
}

void TElTree::SetColumnText(int row, int column, const QString& text)
{
    RowItem* item = RowItem::Of(Row(row));
    if (item && column >= 0 && column < kColumnTexts)
        item->SetColumn(column, text);
}

int TElTree::ImageIndex(int row) const
{
    const RowItem* item = RowItem::Of(Row(row));
    return item ? item->ImageIndex() : -1;
}

void TElTree::SetImageIndex(int row, int index)
{
    if (RowItem* item = RowItem::Of(Row(row)))
        item->SetImageIndex(index);
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
    auto* mime = new QMimeData;
    QStringList rows;
    for (auto* item : items)
        rows << QString::number(indexOfTopLevelItem(item));
    mime->setData(QString::fromLatin1(kRowMimeType), rows.join(QLatin1Char(',')).toLatin1());
    return mime;
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

bool TElTree::IsOutsideDrop(const QMimeData* mime) const
{
    return OnDropUrls && mime && mime->hasUrls() && !mime->hasFormat(QString::fromLatin1(kRowMimeType));
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
