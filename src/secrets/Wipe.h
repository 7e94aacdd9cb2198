#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// Secrets in memory: overwritten once done with, and a sealed vault's
// opened bytes kept out of swap until then. Below everything that holds a
// secret (the sealed form, the vault, the merge, the command line and the
// windows), so that each wipes what it holds with the same rules; it knows
// nothing of what the bytes are.
namespace secrets {

// Overwrites the array's whole allocation with zeros when the array holds it
// alone, then empties the array. Bytes shared with another array are left to
// it (overwriting them would change its text, and asking for them to write
// would copy them): wipe the last holder. Memory locked by lockOutOfSwap()
// in that allocation is unlocked once zeroed.
void wipe(QByteArray& secret);
// The same for text, a password as typed or decoded.
void wipe(QString& secret);

// Keeps the `size` bytes at `data` out of swap (mlock) until wipe() zeroes
// the array that holds them; call it before the first secret byte is
// written there. Nothing, quietly, when the user's locked-memory limit
// (RLIMIT_MEMLOCK) refuses: the bytes then stay in memory that may be
// swapped, as any other.
void lockOutOfSwap(const void* data, qsizetype size);

} // namespace secrets
