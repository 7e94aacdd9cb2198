#include "main/ListView.h"

#include "main/EntryModel.h"

#include <QHeaderView>

ListView::ListView(EntryModel* entries, QWidget* parent) : QTreeView(parent), m_entries(entries) {
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    header()->setStretchLastSection(false);
    header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header()->setSectionsClickable(true);
    header()->setSortIndicatorShown(false);
    setModel(m_entries);
}

int ListView::rowCount() const {
    return m_entries->rowCount();
}

int ListView::firstSelectedRow() const {
    int first = -1;
    for (const QModelIndex& index : selectionModel()->selectedRows())
        if (first < 0 || index.row() < first)
            first = index.row();
    return first;
}

void ListView::setSortSettings(bool sorted, int column, Qt::SortOrder order) {
    m_sorted = sorted;
    m_sortKey = column;
    m_sortOrder = order;
    if (!m_sorted)
        return;
    m_entries->sortBy(m_sortKey, m_sortOrder);
    header()->setSortIndicatorShown(true);
    header()->setSortIndicator(m_sortKey, m_sortOrder);
}
