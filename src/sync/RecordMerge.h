#pragma once

#include "sync/Record.h"
#include "sync/VaultMerge.h"

#include <QByteArray>
#include <QByteArrayView>

// Merging two copies of a vault that each carry the record of what they
// have seen (record::Record): no base, no history, no guess. An entry both
// hold stays; an entry one holds whose mark the other has not seen is new
// there and stays; an entry one holds whose mark the other has seen, but no
// longer holds, was removed there and goes. So the merge gives the same
// entries whichever copy is ours, merging a copy twice changes nothing, and
// copies of any number of computers merge in any order to the same entries.
//
// The master password is a value with a mark too: changed on one side, the
// change is taken; changed on both to different passwords, nothing is
// merged (MasterConflict).
//
// The merged order is ours, with each entry new from theirs after the entry
// that precedes it in theirs (at the end when none is in the merge); lines
// are written as their copy holds them.
namespace recordmerge {

struct Side {
    const record::Lines& lines; // record::linesOf() the copy's plain file
    const record::Record& record;
};

struct Result {
    vaultmerge::Outcome outcome = vaultmerge::Outcome::Merged;
    QByteArray file; // the merged plain file, when Merged
    record::Record record;
    vaultmerge::Report report;
};

// The records must fit their files (record::decode, record::startFor).
Result merge(const Side& ours, const Side& theirs);

} // namespace recordmerge
