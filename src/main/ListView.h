#pragma once

#include <QTreeView>

class EntryModel;

// The entry list: a report view over the entries with the list's own sort
// settings. Sorted mode starts off (rows stand in the order they were added);
// once on, it stays on, and rows added later take their sorted place.
class ListView : public QTreeView {
    Q_OBJECT

public:
    ListView(EntryModel* entries, QWidget* parent);

    EntryModel& entries() const { return *m_entries; }
    int rowCount() const;

    // The first selected row, top to bottom; -1 when no row is selected.
    int firstSelectedRow() const;

    bool sorted() const { return m_sorted; }
    int sortKey() const { return m_sortKey; }
    Qt::SortOrder sortOrder() const { return m_sortOrder; }
    // Changes the sort settings; the rows re-sort once for the change.
    void setSortSettings(bool sorted, int column, Qt::SortOrder order);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    // The header's arrow shows the list's own sort settings and nothing else:
    // the header turns its arrow by itself at every click, even on an empty
    // list that does not sort.
    void showSortIndicator();

    EntryModel* m_entries;
    bool m_sorted = false;
    int m_sortKey = 0;
    Qt::SortOrder m_sortOrder = Qt::AscendingOrder;
};
