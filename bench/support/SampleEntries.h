#pragma once

#include "vault/Entry.h"

#include <QtGlobal>

#include <vector>

// Entries as a real vault holds them: e-mail addresses and handles of mixed
// case, passwords from a PIN to a long generated string, web addresses in
// every form people type them, the odd note and some empty locations. The
// same start value always gives the same entries, so runs compare.
std::vector<Entry> sampleEntries(int count, quint64 startValue);

// The entries' texts of one column: 0 username, 1 password, 2 location.
std::vector<QString> columnTexts(const std::vector<Entry>& entries, int column);

// What one of two copies of a vault changed apart does to it, as two
// computers change one vault before they sync. By default, the changes the
// merge benchmarks time.
struct SideChanges {
    int added = 500;
    int removed = 300;
    int edited = 200; // a new password, the entry in its place
};

// Side 0 or 1 of such a pair: `changes` spread over the whole vault. The two
// sides touch different entries, and neither adds beside an entry either
// touches, so merging both gives every change of each in place
// (mergedChanges). The base must hold at least 2 x (removed + edited) and
// 2 x added entries. With `origins`, each entry's origin: its index in the
// base (kept or edited), or -1 - n for the side's n-th added entry.
std::vector<Entry> changedCopy(const std::vector<Entry>& base, int side, SideChanges changes = {},
                               std::vector<int>* origins = nullptr);

// What a merge of changedCopy's two sides gives: the base with the changes
// of both, each where its side made it.
std::vector<Entry> mergedChanges(const std::vector<Entry>& base, SideChanges changes = {});
