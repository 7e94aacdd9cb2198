#pragma once

#include <QByteArray>
#include <QString>

// The lock that keeps every other Keynook (a window or keynook-cli) off one
// vault file while this one uses it. It is named after the file every name of
// the vault leads to, so a vault reached through a link and by its own name
// has one lock. It lives in the user's own data folder, never beside the
// vault: a sync engine carries every file of a synced folder to the other
// computers, where a lock file arriving would replace the one a program there
// holds (and no longer keep two programs there apart) or name a holder that
// runs elsewhere.
//
// Holding it is holding the system's lock (flock) on that file, which the
// system lets go of when the holder ends, however it ends. So a lock file
// that nobody holds is free whatever it holds: empty (a program killed at
// its first write, a power cut right after start), cut short, or written by
// something else. What the file says (process, program, computer) only
// names the holder in a message, in the layout the earlier lock used, so
// that a Keynook from before reads it too.
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
    // vaultfile::realFilePath), kept in `folder` (see defaultFolder()).
    VaultLock(const QByteArray& vaultFile, const QString& folder);
    ~VaultLock(); // lets go, and removes the file
    VaultLock(const VaultLock&) = delete;
    VaultLock& operator=(const VaultLock&) = delete;

    Result tryLock();
    bool isLocked() const { return m_fd >= 0; }
    const QByteArray& path() const { return m_path; }

    // The lock file's name, in `folder`, for a vault at the real path
    // `vaultFile`.
    static QByteArray pathFor(const QByteArray& vaultFile, const QString& folder);
    // Where every Keynook of this user keeps its locks: a folder of the
    // user's own data folder, the same for the window and keynook-cli
    // whatever they are called.
    static QString defaultFolder();
    // The name a Keynook from before gave its lock, beside the vault.
    static QByteArray besideVault(const QByteArray& vaultFile);

private:
    // Held when a Keynook from before, which locks beside the vault, has the
    // vault open on this computer; removes such a lock file that nobody
    // holds and that this computer wrote.
    Result checkEarlierLock() const;
    void letGo();

    QByteArray m_vaultFile;
    QByteArray m_path;
    int m_fd = -1;
    quint64 m_device = 0;
    quint64 m_inode = 0;
};
