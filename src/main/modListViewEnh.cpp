#include "main/modListViewEnh.h"

#include "main/ListView.h"

bool EnhListView_SortColumns(ListView* list, int columnHeader) {
    if (!list)
        return false;
    if (list->rowCount() == 0)
        return true;
    const int column = columnHeader - 1;
    if (column < 0 || column >= list->model()->columnCount()) {
        // Sorted mode is switched on before the column is looked at.
        list->sortBy(list->sortKey(), list->sortOrder());
        return false;
    }
    const Qt::SortOrder flipped =
        list->sortOrder() == Qt::AscendingOrder ? Qt::DescendingOrder : Qt::AscendingOrder;
    list->sortBy(column, flipped);
    return true;
}
