#pragma once

#include <QSortFilterProxyModel>
#include <QTreeView>

class EntryModel;

// Orders the entries for the list: by one column's text, ignoring case, and
// stable, so equal texts keep their order.
class EntrySortProxy : public QSortFilterProxyModel {
    Q_OBJECT

public:
    explicit EntrySortProxy(EntryModel* entries, QObject* parent);

protected:
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

private:
    EntryModel* m_entries;
};

// The entry list: a report view over the entries with the list's own sort
// settings. Sorted mode starts off (rows stand in the order they were added);
// once on, it stays on, and rows added later take their sorted place.
class ListView : public QTreeView {
    Q_OBJECT

public:
    ListView(EntryModel* entries, QWidget* parent);

    EntryModel& entries() const { return *m_entries; }
    int rowCount() const;

    // Display position (0-based) of the first selected row, top to bottom;
    // -1 when no row is selected.
    int firstSelectedRow() const;
    int sourceRow(int displayRow) const;
    int displayRow(int sourceRow) const;

    bool sorted() const { return m_sorted; }
    int sortKey() const { return m_sortKey; }
    Qt::SortOrder sortOrder() const { return m_sortOrder; }
    // Changes the sort settings; the rows re-sort once for the change.
    void setSortSettings(bool sorted, int column, Qt::SortOrder order);

private:
    EntryModel* m_entries;
    EntrySortProxy* m_proxy;
    bool m_sorted = false;
    int m_sortKey = 0;
    Qt::SortOrder m_sortOrder = Qt::AscendingOrder;
};
