#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <vector>

// The states of one vault that this computer read or wrote, the last few
// dozen, from which a merge takes its base (vaultmerge::chooseBase). They are
// kept in the user's own data folder, never beside the vault: a synced folder
// would carry them to other computers. A state is the vault file's bytes as
// they were, so a sealed vault's states are sealed too and nothing is kept in
// clear. Folders are the user's alone (0700), files too (0600).
class VaultHistory {
public:
    // The last states kept, and at most this many bytes of them (but the
    // newest two whatever their size): a vault of a million entries is
    // some 55 MiB a state.
    static constexpr int kKept = 40;
    static constexpr qint64 kKeptBytes = qint64(256) * 1024 * 1024;

    // The history of the vault at the real path `vaultFile`, under the
    // user's data folder for Keynook.
    VaultHistory(const QString& dataFolder, const QByteArray& vaultFile);

    const QString& folder() const { return m_folder; }

    // Keeps `file` as the newest state, read here (a change that came from
    // elsewhere) or written here, unless it is the newest already; the
    // oldest go beyond kKept. False when it could not be kept: a history is
    // a help, and a vault is used without one.
    bool record(const std::vector<QByteArrayView>& file, bool written);

    // Keeps a copy of the file at `path` among the backups, beside the
    // states, before the file is removed: a conflict copy once merged. The
    // last kKeptBackups are kept.
    bool keepBackup(const QString& path);
    static constexpr int kKeptBackups = 20;

    struct State {
        QString path;
        bool written = false;
    };
    // Oldest first.
    std::vector<State> states() const;

private:
    QString m_folder;
};
