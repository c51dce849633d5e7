// Edits of the playlist's rows that touch many rows at once: deleting the
// marked rows, renumbering a range, finding the current row by its key. Each
// is one pass over the rows, so deleting thousands of scattered rows of a
// long list costs about as much as walking it once (removing rows one by one
// shifts every row after each, which grows with the square of the list).
//
// Thread: main thread (the tree is a widget).
#pragma once

#include <QString>

namespace pelu::widgets {
class TElTree;
}

namespace pelu::player {

// Removes every selected row and every row whose deletion mark holds
// "delete" already, as marking the selected rows and removing the marked ones
// would, in one pass. The focused row keeps the focus when it stays. Returns
// the index of the first row removed, or -1.
int DeleteSelectedRows(widgets::TElTree& tree);

// Rewrites the text of rows [first_row, end_row) as "<index + 1>. <name>".
void RenumberRows(widgets::TElTree& tree, int first_row, int end_row);

// The index of the last row whose key is `key`; `fallback` when none is.
int LastRowWithKey(const widgets::TElTree& tree, const QString& key, int fallback);

} // namespace pelu::player
