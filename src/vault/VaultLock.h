#pragma once

#include <QByteArray>
#include <QString>

// The lock that keeps every other Keynook (a window or keynook-cli) off one
// vault file while this one uses it, however each reached the file.
//
// It is a file beside the vault, in the folder every link to the vault leads
// to, held with the system's lock (flock), which is on the file and not on a
// name of it. Every writer has to reach that folder to save, so every writer
// finds that one file: by the vault's name, through a link to it or to a
// folder above it, through a bind mount of its folder (another path, the same
// file), from another environment or another mount or user namespace, and on
// a network file system even from another computer. A lock kept elsewhere and
// named after the vault would need every writer to agree on where and on the
// name, and they need not: the user's data folder follows XDG_DATA_HOME, the
// real path differs through a bind mount, and while the device and inode of
// the vault's folder name it through any path, no folder to keep such a lock
// in is shared by every environment of one user (/tmp is private to a
// service or a sandbox, cron has no runtime folder).
//
// A vault often sits in a folder that a sync engine carries to other
// computers. A lock file carried there would replace the one a program there
// holds (whose flock stays on the replaced file) or name a holder that runs
// elsewhere, so its name is one each engine takes for a temporary file it
// never carries, as the save's temporary files are named (see
// vaultfile::saveAtomically): ~syncthing~.NAME.lock.tmp, which is not the
// name of a save's leftover either (see vaultfile::removeLeftovers).
//
// Holding it is holding flock on that file, which the system lets go of when
// the holder ends, however it ends. So a lock file that nobody holds is free
// whatever it holds: empty (a program killed at its first write, a power cut
// right after start), cut short, or written by something else. What the file
// says (process, program, computer) only names the holder in a message, in
// the layout the earlier locks used, so that a Keynook from before reads it
// too. The holder removes the file when it lets go.
class VaultLock {
public:
    enum class Outcome {
        Taken,
        Held,     // another running program holds it
        NotPlain, // something other than a plain file bears the lock's name
        Failed,   // the system refused (no room, no right to write there)
    };
    struct Result {
        Outcome outcome = Outcome::Taken;
        // Held: who holds it, as far as the file tells ("keynook-cli,
        // process 4242"), or empty. NotPlain and Failed: the reason.
        QString why;
    };

    // The lock of the vault at `vaultFile`, a real path (see
    // vaultfile::realFilePath). `dataFolder` is where the Keynook before
    // this one kept its locks (see dataFolder()), whose lock is taken too.
    VaultLock(const QByteArray& vaultFile, const QString& dataFolder);
    ~VaultLock(); // lets go, and removes the files
    VaultLock(const VaultLock&) = delete;
    VaultLock& operator=(const VaultLock&) = delete;

    Result tryLock();
    bool isLocked() const { return m_own.fd >= 0 || m_inDataFolder.fd >= 0; }
    const QByteArray& path() const { return m_own.path; }

    // Removes what interrupted saves left beside the vault (see
    // vaultfile::removeLeftovers), and only while this holds the lock beside
    // it, which every Keynook of this kind holds while it saves there.
    // Returns how many were removed.
    int removeLeftovers() const;

    // The lock file beside the vault at the real path `vaultFile`.
    static QByteArray pathFor(const QByteArray& vaultFile);
    // Where the Keynook before this one locked that vault: a file named after
    // its real path, in `folder`.
    static QByteArray dataFolderPathFor(const QByteArray& vaultFile, const QString& folder);
    // That Keynook's folder of locks, in the user's data folder of this
    // environment; empty when there is none.
    static QString dataFolder();
    // Where the Keynooks before that locked it: `.NAME.lock` beside it.
    static QByteArray dotLockPathFor(const QByteArray& vaultFile);

private:
    struct File {
        QByteArray path;
        int fd = -1;
        quint64 device = 0;
        quint64 inode = 0;
    };
    static Result take(File& file, const QByteArray& words);
    Result takeInDataFolder(const QByteArray& words);
    static void letGo(File& file);
    // Held when a Keynook that locks with `.NAME.lock` has the vault open on
    // this computer; removes such a lock file that nobody holds and that
    // this computer wrote.
    Result checkDotLock() const;
    void letGo();

    QByteArray m_vaultFile;
    File m_own;          // beside the vault
    File m_inDataFolder; // where the Keynook before this one looks
};
