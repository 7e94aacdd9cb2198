#pragma once

#include <QByteArray>

// The least any program must do with a vault's bytes, as the benchmarks hold
// our figures against it: read them, flip their top bits, write them, and
// write, sync and rename them. Plain system calls, so that no slow loop or
// library layer flatters a ratio.
namespace floors {

// The whole file into a fresh buffer.
bool readInto(const QByteArray& path, QByteArray& buffer);

// Flips the top bit of every byte, sixteen at a time: the cipher's one pass
// as fast as this machine does it.
void decipherWide(QByteArray& buffer);

// Every byte of `data` to `fd`, again after an interruption.
bool writeAllTo(int fd, const QByteArray& data);

// The system calls of a safe save, with no formatting: a new file beside
// `target` in `folder`, written, synced, renamed over it, and the folder
// synced so that the rename itself survives a crash.
bool writeSyncRename(const QByteArray& folder, const QByteArray& target, const QByteArray& data);

} // namespace floors
