#pragma once

#include <QByteArrayView>
#include <QString>

// A sealed vault put back from a backup holds the record of the day it was
// kept: other copies have seen its entries' marks since, some removed, and
// a merge would take the restore's entries for ones they removed. A restore
// puts the file back exactly, without a password, so it leaves a note in
// the vault's history folder instead: the sealed file's nonce, which no
// other save has. The first unlock that finds the file still bearing that
// nonce gives every entry a new mark (RecordKeeper::markAllAnew()), as a
// change made now.
namespace restorenote {

// Notes that `file`, just put back in the vault's place, is a restored one.
// Nothing is noted for a plain file, which carries no record.
void write(const QString& historyFolder, QByteArrayView file);

// Whether the vault file at `vaultPath` is still the restored file the note
// tells of (only its header is read).
bool pending(const QString& historyFolder, const QString& vaultPath);

} // namespace restorenote
