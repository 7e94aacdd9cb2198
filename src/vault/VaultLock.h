#pragma once

#include <QByteArray>
#include <QString>

// The lock that keeps every other Keynook (a window or keynook-cli) off one
// vault file while this one uses it. It lives beside the file every name of
// the vault leads to, as `.NAME.lock`, so a vault reached through a link and
// by its own name has one lock.
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
    // vaultfile::realFilePath).
    explicit VaultLock(const QByteArray& vaultFile);
    ~VaultLock(); // lets go, and removes the file
    VaultLock(const VaultLock&) = delete;
    VaultLock& operator=(const VaultLock&) = delete;

    Result tryLock();
    bool isLocked() const { return m_fd >= 0; }
    const QByteArray& path() const { return m_path; }

    // The lock file's name for a vault at the real path `vaultFile`.
    static QByteArray pathFor(const QByteArray& vaultFile);

private:
    QByteArray m_path;
    int m_fd = -1;
    quint64 m_device = 0;
    quint64 m_inode = 0;
};
