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
