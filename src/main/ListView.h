#pragma once

#include <QTreeView>

class EntryModel;

// The entry list: a report view over the entries. Sorted mode starts off
// (rows stand in the order they were added); once on, it stays on, and rows
// added later take their sorted place.
class ListView : public QTreeView {
    Q_OBJECT

public:
    ListView(EntryModel* entries, QWidget* parent);

    EntryModel& entries() const { return *m_entries; }
    int rowCount() const;

    // The first selected row, top to bottom; -1 when no row is selected.
    int firstSelectedRow() const;

    // The sort settings are the model's: sorted mode (off until the first
    // sort, then on for good), the column, and one order for the whole list.
    bool sorted() const;
    int sortKey() const;
    Qt::SortOrder sortOrder() const;
    // Sorts by the column in the order given; sorted mode stays on from here.
    void sortBy(int column, Qt::SortOrder order);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    // The header's arrow shows the model's sort settings and nothing else:
    // the header turns its arrow by itself at every click, even on an empty
    // list that does not sort.
    void showSortIndicator();

    EntryModel* m_entries;
};
