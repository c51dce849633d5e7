// TElTree: the playlist's tree list. Each row has a text, six column texts and
// an image index into the form's image list; the header shows three sections
// ("Artist" = column text 1, "MP3 Song Title:" = the row text, "Track Time" =
// column text 0). Rows are 18 pixels high, selected whole, several at a time;
// rows can be dragged onto other rows (the owner decides what a drop does).
//
// Thread: main thread only.
#pragma once

#include "widgets/picture.h"

#include <QIcon>
#include <QStringList>
#include <QTreeWidget>
#include <QUrl>

#include <functional>
#include <iterator>

namespace pelu::widgets {

class TElTree : public QTreeWidget {
    Q_OBJECT
public:
    static constexpr int kColumnTexts = 6;
    static constexpr int kRowHeight = 18;
    static constexpr const char* kRowMimeType = "application/x-pelu-playlist-rows";

    using Notify = std::function<void(QObject* sender)>;
    using DragOver = std::function<bool(QObject* sender, int row_under_point)>;
    using DragDrop = std::function<void(QObject* sender, int row_under_point)>;
    using MouseNotify = std::function<void(QObject* sender, QPoint pos)>;
    using DropUrls = std::function<void(QObject* sender, const QList<QUrl>& urls)>;

    explicit TElTree(QWidget* parent = nullptr);

    // The row images (image index i shows picture i; an index without a
    // picture shows none).
    void SetImages(QList<TPicture> images);

    int RowCount() const { return topLevelItemCount(); }
    int AddRow(const QString& text, const QStringList& column_texts, int image_index);
    // Appends rows given as anything with `text`, `columns` and `image_index`,
    // in one change of the model: a row added alone costs the tree about a
    // hundred bytes more than one of a batch, for as long as it stays.
    template <class Rows>
    void AddRows(const Rows& rows)
    {
        QList<QTreeWidgetItem*> items;
        items.reserve(qsizetype(std::size(rows)));
        for (const auto& row : rows)
            items << NewRowItem(row.text, row.columns, row.image_index);
        addTopLevelItems(items);
    }
    void RemoveRow(int row);
    void Clear();
    // Moves row `from` so that it ends up at index `to`.
    void MoveRow(int from, int to);

    QString RowText(int row) const;
    void SetRowText(int row, const QString& text);
    QStringList ColumnTexts(int row) const;
    QString ColumnText(int row, int column) const;
    void SetColumnText(int row, int column, const QString& text);
    int ImageIndex(int row) const;
    void SetImageIndex(int row, int index);

    bool IsRowSelected(int row) const;
    void SetRowSelected(int row, bool selected);
    void DeselectAll();
    int FocusedRow() const;
    void SetFocusedRow(int row);
    QList<int> SelectedRows() const;
    // A hidden row keeps its place, texts and key; it is only not shown.
    void SetRowHidden(int row, bool hidden);
    bool IsRowHidden(int row) const;
    int RowAt(QPoint viewport_pos) const;

    // No repaint between the two (adding many files at once).
    void BeginUpdate();
    void EndUpdate();

    Notify OnItemSelectedChange;
    Notify OnDblClick;
    DragOver OnDragOver; // accept or refuse; unassigned accepts
    DragDrop OnDragDrop; // unassigned moves the focused row to the row under the point
    // Files and folders dropped from outside (a file manager's text/uri-list);
    // unassigned, such a drop is handled as any other drop.
    DropUrls OnDropUrls;
    MouseNotify OnMouseMove;

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QList<QTreeWidgetItem*>& items) const override;

private:
    class RowItem;
    static QTreeWidgetItem* NewRowItem(const QString& text, const QStringList& column_texts, int image_index);
    bool IsOutsideDrop(const QMimeData* data) const;
    QTreeWidgetItem* Row(int row) const { return topLevelItem(row); }

    QList<TPicture> images_;
    QList<QIcon> icons_; // one per picture (null where the picture is not set)
    int update_depth_ = 0;
};

} // namespace pelu::widgets
