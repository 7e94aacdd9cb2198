#pragma once

#include "vault/EntryStore.h"

#include <vector>

// The one order of entries by a field that the window's list and the command
// line both show: the field's text with every character case-folded, compared
// unit by unit; entries whose folded texts are equal keep the order of their
// slots, in either direction.
namespace entrysort {

// Below zero when slot `a` stands above slot `b` in ascending order by
// `field`, zero when their folded texts are equal, above zero otherwise.
int compareFolded(const EntryStore& entries, size_t a, size_t b, int field);

// Whether slot `a` stands above slot `b`, given compareFolded()'s `c` for
// them: by the texts in the direction asked, equal texts by their slots.
inline bool standsAbove(int c, size_t a, size_t b, bool ascending) {
    if (c != 0)
        return ascending ? c < 0 : c > 0;
    return a < b;
}

// Every slot of `entries`, in the order of `field` (EntryStore::Field).
std::vector<int> sortedSlots(const EntryStore& entries, int field, bool ascending);

} // namespace entrysort
