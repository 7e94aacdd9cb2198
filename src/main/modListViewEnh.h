#pragma once

class ListView;

// Sorts a list by a column: a click on a column header calls it with the
// header's 1-based index. Switches the list into sorted mode, sorts by that
// column and flips the one sort order the whole list shares, so the first
// click sorts descending. An empty list is left as it is. Returns false when
// the settings could not be applied (the ones already applied stay).
bool EnhListView_SortColumns(ListView* list, int columnHeader);
