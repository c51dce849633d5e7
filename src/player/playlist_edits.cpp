#include "player/playlist_edits.h"

#include "playlist/playlist_rows.h"
#include "widgets/playlist_tree.h"

#include <QAbstractItemModel>
#include <QSignalBlocker>
#include <QTreeWidgetItem>

#include <algorithm>
#include <vector>

namespace pelu::player {

int DeleteSelectedRows(widgets::TElTree& tree)
{
    // A selected row is marked and every marked row removed: in one pass,
    // the rows to remove are the selected ones and those marked already (a
    // list saved while a deletion ran).
    std::vector<bool> doomed(std::size_t(tree.RowCount()), false);
    int first_removed = -1;
    for (int i = 0; i < tree.RowCount(); ++i) {
        if (tree.IsRowSelected(i) || tree.ColumnText(i, kColumnDeleteMark).contains(QLatin1String(kDeleteMark))) {
            doomed[std::size_t(i)] = true;
            if (first_removed < 0)
                first_removed = i;
        }
    }
    if (first_removed < 0)
        return -1;
    QTreeWidgetItem* focused = tree.currentItem();
    // All rows leave the tree together and the kept ones come back together:
    // two changes of the model instead of one per row removed, each of which
    // would shift every row after it.
    const QList<QTreeWidgetItem*> rows = tree.invisibleRootItem()->takeChildren();
    QList<QTreeWidgetItem*> kept;
    kept.reserve(rows.size());
    bool focus_kept = false;
    for (qsizetype i = 0; i < rows.size(); ++i) {
        if (doomed[std::size_t(i)]) {
            delete rows[i];
        } else {
            focus_kept = focus_kept || rows[i] == focused;
            kept.append(rows[i]);
        }
    }
    tree.invisibleRootItem()->addChildren(kept);
    if (focus_kept)
        tree.setCurrentItem(focused, 0, QItemSelectionModel::NoUpdate);
    return first_removed;
}

void RenumberRows(widgets::TElTree& tree, int first_row, int end_row)
{
    first_row = std::max(0, first_row);
    end_row = std::min(end_row, tree.RowCount());
    if (first_row >= end_row)
        return;
    {
        // One change notice for the range instead of one per row: the view
        // looks each row up on every notice, which for rows out of sight
        // means walking its rows, so that per-row notices grow with the
        // square of the list.
        const QSignalBlocker quiet(tree.model());
        for (int i = first_row; i < end_row; ++i)
            tree.SetRowText(i, RowText(i + 1, tree.ColumnText(i, kColumnPath)));
    }
    QAbstractItemModel* model = tree.model();
    emit model->dataChanged(model->index(first_row, 0), model->index(end_row - 1, model->columnCount() - 1));
}

int LastRowWithKey(const widgets::TElTree& tree, const QString& key, int fallback)
{
    for (int i = tree.RowCount() - 1; i >= 0; --i)
        if (tree.ColumnText(i, kColumnKey) == key)
            return i;
    return fallback;
}

} // namespace pelu::player
