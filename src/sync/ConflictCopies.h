#pragma once

#include "vault/VaultFile.h"

#include <QByteArray>
#include <QString>

#include <vector>

// The copies that sync engines leave beside a file that two computers
// changed before they had synced: the engine keeps one version under the
// file's name and renames the other after a pattern of its own. One table of
// those patterns, by engine; nothing here merges a copy.
//
// A name is only a claim: anyone who can put a file in the folder (another
// program, or another computer's user through the engine, which carries
// symbolic links too) can give it a copy's name. A file is taken as a copy
// only through read(), which every caller uses before merging one.
namespace conflictcopies {

struct Found {
    QString path;
    QString engine; // "Syncthing", "Nextcloud", "Dropbox"
};

// The engine whose conflict copy of the file named `fileName` a file named
// `name` is, or empty: `data.sync-conflict-20261207-153012-ABCDEFG.enc`,
// `data (conflicted copy 2026-12-07 153012).enc`,
// `data (conflicted copy Ann Smith 2026-12-07 153012).enc`,
// `data_conflict-20261207-153012.enc`,
// `data (Ann's MacBook (2)'s conflicted copy 2026-12-07).enc` for `data.enc`.
QString engineOf(const QString& fileName, const QString& name);

// The files beside the file at `file` named as its conflict copies, sorted
// by name: candidates, to be read with read().
std::vector<Found> find(const QString& file);

// Which file was read: a later step removes the copy only while the name
// still holds this file, unchanged (removeIfUnchanged()).
struct Identity {
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = -1;
    qint64 modifiedNs = 0; // mtime, in nanoseconds
    qint64 changedNs = 0;  // ctime: any write, rename or new link moves it
    friend bool operator==(const Identity&, const Identity&) = default;
};

enum class Verdict {
    Taken,
    Link,       // a symbolic link, wherever it points
    NotAFile,   // a folder, a pipe, a socket or a device
    NotOurs,    // owned by another user
    OtherNames, // hard links: an engine's copy is a new file with one name
    TooLarge,   // larger than a vault can be
    Unreadable, // it could not be opened or read
    Changed,    // it changed while it was read
    NotAVault,  // not a vault Keynook would open (VaultHistory::notRestorable())
};

struct Candidate {
    Verdict verdict = Verdict::Taken;
    // Why the file was left, for a person ("it is a symbolic link"); empty
    // when it was taken.
    QString why;
    // The file's bytes when it was taken. A plain copy holds the vault's
    // secrets: wipe them when done (secrets::wipe).
    QByteArray bytes;
    Identity identity;
    bool taken() const { return verdict == Verdict::Taken; }
};

// The file at `path` as a conflict copy, or why it is not one. It is opened
// without following a link and without waiting on a pipe, and taken only
// when it is a regular file of the user running this, with no other name, of
// at most `maxBytes`, unchanged while read, and a vault Keynook would open
// (VaultHistory::notRestorable()). The bytes come from the file that was
// checked, never from whatever the name points to a moment later.
Candidate read(const QString& path, qint64 maxBytes = vaultfile::kMaxVaultBytes);

// Removes the file at `path` when it is still the file `identity` tells of,
// not a link, and unchanged; false, leaving whatever is there, otherwise.
bool removeIfUnchanged(const QString& path, const Identity& identity);

} // namespace conflictcopies
