#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <vector>

// Reading and writing data.enc. Errors come back as values with a text a
// person can act on; the windows decide how to tell the user.
namespace vaultfile {

struct Result {
    bool ok = true;
    QString error;
    static Result failure(QString why) { return Result{false, std::move(why)}; }
};

// The largest vault file a start reads, and so the largest a save writes. A
// million entries of the usual kind (an address, a password, a site) take
// about 58 bytes each, 55 MiB in all; 256 MiB holds a million entries of 268
// bytes each, while a load (the file plus 24 bytes of records per entry) and a
// save (one more copy of the file) stay within a desktop's memory. A larger
// file is not one this program wrote.
inline constexpr qint64 kMaxVaultBytes = qint64(256) * 1024 * 1024;

struct ReadResult {
    bool ok = true;
    QByteArray data;
    QString error;
    bool tooLarge = false; // larger than kMaxVaultBytes: not read at all
};

// The whole file, or why it could not be read. A file larger than
// kMaxVaultBytes is refused before its bytes are read; running out of memory
// while reading is an error like any other.
ReadResult readAll(const QString& path);

// Replaces the file at `path` with `data` so that the old file stays whole
// until the new one is completely written: a failure at any point leaves the
// old bytes in place. The new file is its owner's alone (0600). Data larger
// than kMaxVaultBytes is refused: no start could read it back.
Result saveAtomically(const QString& path, const QByteArray& data);
// The same, for a file given as pieces to be written one after another: a
// large file is written from where its parts are held, not first copied
// into one buffer.
Result saveAtomically(const QString& path, const std::vector<QByteArrayView>& pieces);

// The system calls of a save, and the points between them. The product uses
// the real calls; tests put a failing disk or a kill at any of these points.
struct SaveHooks {
    ssize_t (*write)(int fd, const void* data, size_t size) = nullptr; // null: ::write
    int (*fsync)(int fd) = nullptr;                                    // null: ::fsync
    int (*rename)(const char* from, const char* to) = nullptr;         // null: ::rename
    // Called after each step: "created", "written", "synced", "closed",
    // "renamed", "folder synced".
    void (*step)(const char* name) = nullptr;
    // Largest single write; 0 lets the system take all it can.
    size_t chunk = 0;
};
SaveHooks& saveHooks();

// Creates the file holding `data`, readable by its owner only.
Result createFile(const QString& path, const QByteArray& data);

// Where the vault's bytes are: the file that `path` leads to through every
// link, of the file or of a folder above it. When nothing is there yet, the
// name in the folder it would be made in, that folder's links followed. In
// bytes: a folder whose name is not valid UTF-8 has no text form that leads
// back to it.
QByteArray realFilePath(const QString& path);
// The same as text.
QString realPath(const QString& path);

// Where a symbolic link at `path` that leads to nothing would have its file
// (the last link's target, when links lead to links); empty when `path` is
// no link, or leads to something.
QString missingLinkTarget(const QString& path);

// Refuses a vault that another user could read or replace: a file that
// belongs to someone else, or a folder that belongs to someone else and that
// others may write to. For a link, the file it leads to and that file's folder
// are held to the same rules as the link's own folder.
Result checkOwnership(const QString& path);

// True when the file system holding `folder` takes no writes: a CD, a stick
// with its write protection on, a read-only mount.
bool onReadOnlyFileSystem(const QString& folder);

// What identifies one state of a file on disk: a save by another program
// changes it, even one that replaces the file the way we do.
struct Stamp {
    bool exists = false;
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    qint64 modifiedNs = 0;
    friend bool operator==(const Stamp&, const Stamp&) = default;
};
Stamp stampOf(const QString& path);

// Removes what an interrupted save left beside the vault at the real path
// `realFile` (see realFilePath): its temporary files, which are never the
// vault itself. Only a holder of that file's lock may (see
// VaultLock::removeLeftovers): another program's save in progress writes
// such a file too. One that a save still holds is left alone in any case.
// Returns how many were removed.
int removeLeftovers(const QByteArray& realFile);

// The normal file a path names, its name compared ignoring case, as the file
// systems the vault comes from compare names: the path itself when that is a
// normal file, otherwise the path to a normal file in the same folder whose
// name differs only in case; empty when there is none. Folders, hidden files
// and anything that cannot be examined are not found. Names are compared as
// text, so `*` and `?` stand only for themselves.
QString findFileIgnoringCase(const QString& path);

// True when findFileIgnoringCase() finds a file.
bool FileExists(const QString& path);

// The last part of a path, after its last separator.
QString GetFileName(const QString& path);

} // namespace vaultfile
