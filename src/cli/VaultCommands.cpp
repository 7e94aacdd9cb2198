// The commands on the vault as a whole: init, passwd, seal, unseal and
// check, and backups and restore, which list and put back what this
// computer kept of it.
#include "cli/Commands.h"
#include "cli/Context.h"
#include "cli/Terminal.h"
#include "secrets/Wipe.h"
#include "vault/Ansi.h"
#include "vault/RestoreNote.h"
#include "vault/VaultFile.h"
#include "vault/VaultFormat.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace cli {

namespace {

// What a sealed vault's key costs to make, and so to guess with.
QString keyCost(const sealedvault::SealParams& params) {
    constexpr quint64 kKiB = 1024;
    constexpr quint64 kMiB = 1024 * kKiB;
    const QString memory = params.memLimit % kMiB == 0
                               ? QStringLiteral("%1 MiB").arg(params.memLimit / kMiB)
                               : QStringLiteral("%1 KiB").arg(params.memLimit / kKiB);
    return QStringLiteral("Argon2id, %1 %2 over %3")
        .arg(params.opsLimit)
        .arg(params.opsLimit == 1 ? QStringLiteral("pass") : QStringLiteral("passes"), memory);
}

// Why a file was kept, as `backups` shows it.
QString keptWhy(VaultHistory::Why why) {
    using W = VaultHistory::Why;
    switch (why) {
    case W::Merge:
        return QStringLiteral("before merge");
    case W::CopiesMerge:
        return QStringLiteral("before merging conflict copies");
    case W::Import:
        return QStringLiteral("before import");
    case W::Seal:
        return QStringLiteral("before seal");
    case W::Unseal:
        return QStringLiteral("before unseal");
    case W::Password:
        return QStringLiteral("before password change");
    case W::Restore:
        return QStringLiteral("before restore");
    case W::Overwritten:
        return QStringLiteral("another copy's change, saved over");
    case W::ConflictCopy:
        return QStringLiteral("conflict copy");
    case W::Saved:
        return QStringLiteral("saved here");
    case W::Read:
        return QStringLiteral("read here");
    }
    return {};
}

QString sizeText(qint64 bytes) {
    if (bytes < 1024)
        return QStringLiteral("%1 B").arg(bytes);
    if (bytes < 1024 * 1024)
        return QStringLiteral("%1 KiB").arg(double(bytes) / 1024, 0, 'f', 1);
    return QStringLiteral("%1 MiB").arg(double(bytes) / (1024 * 1024), 0, 'f', 1);
}

QString keptText(const VaultHistory::Restorable& r) {
    return r.kept.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

SecretText newMaster(Context& c) {
    SecretText master = c.secrets().fresh(QStringLiteral("New master password: "),
                                          QStringLiteral("Repeat the new master password: "),
                                          QStringLiteral("the new master password"));
    // As the window demands, counting characters, not UTF-16 units.
    if (!vaultformat::longEnoughForMaster(master.text()))
        fail(UserError, QStringLiteral("the master password needs at least %1 characters; "
                                       "nothing was changed")
                            .arg(vaultformat::kMinMasterCharacters));
    return master;
}

void tellSealedKept(const VaultHistory::SealedKept& kept) {
    const auto files = [](int n) {
        return n == 1 ? QStringLiteral("1 file") : QStringLiteral("%1 files").arg(n);
    };
    if (kept.sealed > 0)
        tell(QStringLiteral("This computer's earlier copies of the vault (%1) are sealed "
                            "under the same key, and `%2 backups` still lists them.")
                 .arg(files(kept.sealed), kProgram));
    if (kept.wiped > 0)
        tell(QStringLiteral("Overwrote and removed %1 of this computer's history of the "
                            "vault in the plain form, under an earlier master password or "
                            "holding no vault.")
                 .arg(files(kept.wiped)));
    if (!kept.untrusted.isEmpty())
        tell(QStringLiteral("Warning: this computer's history of the vault was left as it "
                            "is, and may hold the vault in the plain form: %1.")
                 .arg(kept.untrusted));
    for (const QString& left : kept.left)
        tell(QStringLiteral("Warning: %1 could not be removed, and holds the vault in the "
                            "plain form.")
                 .arg(shownPath(left)));
}

// How many entries each file holds, for `backups`: a sealed one is
// opened with `password` (a key derived once for each salt that it
// opens, and tried on every later file; a salt it does not open is not
// tried again), or not counted without it.
class EntryCounter {
public:
    explicit EntryCounter(QStringView password) : m_password(password) {}

    QString count(QByteArray file) {
        if (!sealedvault::isSealed(file)) {
            if (!VaultHistory::notRestorable(file).isEmpty())
                return QStringLiteral("not a vault");
            return QString::number(EntryStore::fromFile(std::move(file)).size());
        }
        if (!VaultHistory::notRestorable(file).isEmpty())
            return QStringLiteral("not a vault");
        for (const sealedvault::SealKey& key : m_keys) {
            sealedvault::Unsealed u = sealedvault::unsealWithKey(file, key);
            if (u.outcome != sealedvault::Outcome::WrongPassword)
                return counted(std::move(u));
        }
        const QByteArray salt =
            file.sliced(sealedvault::layout::kSaltAt, sealedvault::layout::kSaltSize);
        if (m_password.isEmpty() || m_notOpened.contains(salt)) {
            ++m_uncounted;
            return QStringLiteral("sealed");
        }
        sealedvault::Unsealed u = sealedvault::unseal(std::move(file), m_password);
        if (u.outcome == sealedvault::Outcome::WrongPassword) {
            m_notOpened.insert(salt);
            ++m_uncounted;
            return QStringLiteral("sealed");
        }
        if (u.ok())
            m_keys.push_back(std::exchange(u.key, sealedvault::SealKey()));
        return counted(std::move(u));
    }
    int uncounted() const { return m_uncounted; }

private:
    static QString counted(sealedvault::Unsealed u) {
        if (!u.ok())
            return QStringLiteral("not a vault");
        EntryStore entries = EntryStore::fromFile(std::move(u.plain));
        entries.wipeWhenFreed();
        return QString::number(entries.size());
    }

    QStringView m_password;
    std::vector<sealedvault::SealKey> m_keys;
    QSet<QByteArray> m_notOpened;
    int m_uncounted = 0;
};

} // namespace

int initVault(Context& c) {
    c.secrets().requireSource();
    const QString path = c.vaultPath();
    // A new vault is made in a folder that is there: a misspelt path is
    // not a reason to make folders.
    const QString folder = QFileInfo(path).absolutePath();
    if (!QFileInfo(folder).isDir())
        fail(UserError, QStringLiteral("there is no folder %1 to make the vault in; create it "
                                       "first, or name another vault file")
                            .arg(QDir::toNativeSeparators(folder)));
    c.startSession(path);
    if (const VaultSession::Status opened = c.session().open(); !opened.ok())
        c.failWith(opened);
    c.refuseLostVault();
    // Nothing of a sealed vault is read before its password opens it, but
    // only a vault with a master password is ever sealed.
    if (c.session().hasMasterPassword() && !c.session().sealed())
        c.refuseNotAVault();
    if (c.session().hasMasterPassword())
        fail(UserError, QStringLiteral("the vault at %1 %2 a master password already; "
                                       "change it with `%3 passwd`")
                            .arg(QDir::toNativeSeparators(path),
                                 c.session().sealed() ? QStringLiteral("is sealed, and has")
                                                      : QStringLiteral("has"),
                                 kProgram));
    const SecretText master = newMaster(c);
    EntryStore kept;
    if (const VaultSession::Status created = c.session().createMaster(master.text(), kept);
        !created.ok())
        c.failWith(created);
    tell(QStringLiteral("Created the master password of %1.").arg(QDir::toNativeSeparators(path)) +
         (kept.empty()
              ? QString()
              : QStringLiteral(" The file's %1 kept.")
                    .arg(entriesCount(kept.size()) +
                         (kept.size() == 1 ? QStringLiteral(" was") : QStringLiteral(" were")))));
    return Success;
}

// Only the first line changes: every byte after it, odd lines and all,
// stays as it was.
int changeMaster(Context& c) {
    c.secrets().requireSource();
    c.openLocked(true);
    // Kept until the new one is compared with it.
    const SecretText current = c.unlock(true);
    const SecretText master = newMaster(c);
    if (master.text() == current.text())
        fail(UserError, QStringLiteral("the new master password is the one the vault has "
                                       "already; nothing was changed"));
    c.refuseChangeFromOutside();
    c.keepBackup(VaultHistory::Why::Password);
    if (const VaultSession::Status changed = c.session().changeMaster(master.text()); !changed.ok())
        c.failWith(changed);
    tell(c.session().sealed()
             ? QStringLiteral("Changed the master password. The vault is sealed under a new "
                              "key made from it: the old password opens nothing.")
             : QStringLiteral("Changed the master password."));
    return Success;
}

int sealVault(Context& c) {
    c.secrets().requireSource();
    c.openLocked(true);
    const QString path = QDir::toNativeSeparators(c.session().path());
    if (c.session().sealed())
        fail(UserError, QStringLiteral("the vault at %1 is sealed already; nothing was "
                                       "changed")
                            .arg(path));
    // Only the vault's own master password seals it: a sealed vault opens
    // only with the password its first line holds. Checked before the
    // backup, which a mistyped password must not cost.
    const SecretText master = c.secrets().master();
    if (!c.session().verify(master.text()))
        c.failWith({VaultSession::Failure::WrongPassword, {}});
    c.keepBackup(VaultHistory::Why::Seal);
    const sealedvault::SealParams params = sealedvault::SealParams::defaults();
    if (const VaultSession::Status sealed = c.session().seal(master.text(), params); !sealed.ok())
        c.failWith(sealed);
    tell(QStringLiteral("Sealed the vault at %1 under a key made from its master password "
                        "(%2). Every change keeps it sealed; `%3 unseal` turns it back into "
                        "the plain form.")
             .arg(path, keyCost(params), kProgram));
    // Only now that the sealed vault is on disk: what this computer kept
    // of it in the plain form, the backup just made included, is sealed
    // or wiped.
    tellSealedKept(c.history().sealKept(c.session().key(), master.text()));
    tell(QStringLiteral("Warning: a sealed vault opens with its master password and nothing "
                        "else. If the master password is forgotten, nobody can read the "
                        "vault again, Keynook included."));
    return Success;
}

int unsealVault(Context& c) {
    c.secrets().requireSource();
    c.openLocked(true);
    const QString path = QDir::toNativeSeparators(c.session().path());
    if (!c.session().sealed())
        fail(UserError,
             QStringLiteral("the vault at %1 is not sealed; nothing was changed").arg(path));
    c.unlock();
    c.keepBackup(VaultHistory::Why::Unseal);
    if (const VaultSession::Status unsealed = c.session().unseal(); !unsealed.ok())
        c.failWith(unsealed);
    tell(QStringLiteral("Unsealed the vault at %1: it is in the plain form again, whose "
                        "cipher only hides the text from a glance. Anyone with the file can "
                        "read it.")
             .arg(path));
    return Success;
}

// No password is needed: one is asked only to count the entries of sealed
// files. The vault is not locked, so this works while a window has it open.
int listBackups(Context& c) {
    const QString path = c.vaultPath();
    const std::unique_ptr<VaultHistory> history = Context::historyOf(path);
    if (const QString why = history->untrusted(); !why.isEmpty()) {
        tell(QStringLiteral("This computer's history of the vault at %1 is not used, so "
                            "nothing is listed: %2.")
                 .arg(QDir::toNativeSeparators(path), why));
        return Success;
    }
    // What the vault holds now is left out: restoring it changes nothing.
    const vaultfile::ReadResult now = vaultfile::readAll(path);
    const std::vector<VaultHistory::Restorable> rows =
        history->restorable(now.ok ? QByteArrayView(now.data) : QByteArrayView());
    if (rows.empty()) {
        tell(QStringLiteral("This computer has kept nothing of the vault at %1 that differs "
                            "from it.")
                 .arg(QDir::toNativeSeparators(path)));
        return Success;
    }
    std::vector<QByteArray> files;
    bool anySealed = false;
    for (const VaultHistory::Restorable& r : rows) {
        files.push_back(VaultHistory::readKept(r.path).data);
        anySealed = anySealed || sealedvault::isSealed(files.back());
    }
    // Asked only when it counts something, and only where it can be.
    SecretText master;
    if (anySealed && (c.secrets().fromStandardInput() || c.secrets().terminal()))
        master = c.secrets().master(
            QStringLiteral("Master password, to count the entries of sealed ones (Enter to "
                           "skip): "));
    EntryCounter counter(master.text());
    QStringList columns[5] = {{QStringLiteral("N")},
                              {QStringLiteral("Kept")},
                              {QStringLiteral("Why")},
                              {QStringLiteral("Size")},
                              {QStringLiteral("Entries")}};
    for (size_t i = 0; i < rows.size(); ++i) {
        columns[0] << QString::number(i + 1);
        columns[1] << keptText(rows[i]);
        columns[2] << keptWhy(rows[i].why);
        columns[3] << sizeText(rows[i].size);
        columns[4] << counter.count(std::move(files[i]));
    }
    QString table;
    for (qsizetype line = 0; line < columns[0].size(); ++line) {
        QString text;
        for (int column = 0; column < 5; ++column) {
            qsizetype width = 0;
            for (const QString& cell : columns[column])
                width = std::max(width, cell.size());
            text += column == 4 ? columns[column][line]
                                : columns[column][line].leftJustified(width + 2);
        }
        table += text + QLatin1Char('\n');
    }
    output(table.toUtf8());
    if (counter.uncounted() > 0)
        tell(master.text().isEmpty()
                 ? QStringLiteral("The entries of sealed ones are counted with the master "
                                  "password: give it on the terminal or with "
                                  "--password-stdin.")
                 : QStringLiteral("%1 sealed under another password than the one given, "
                                  "and not counted.")
                       .arg(counter.uncounted() == 1
                                ? QStringLiteral("1 is")
                                : QStringLiteral("%1 are").arg(counter.uncounted())));
    tell(QStringLiteral("`%1 restore N` puts number N back as the vault.").arg(kProgram));
    return Success;
}

// A restore reads nothing of the vault, and asks for no password.
int restoreBackup(Context& c) {
    if (!c.has(QStringLiteral("--yes")) && !c.secrets().terminal())
        fail(UserError, QStringLiteral("restore asks before it replaces the vault, and "
                                       "there is no terminal to ask on; add --yes"));
    bool isNumber = false;
    const int number = c.arguments().at(0).toInt(&isNumber);
    if (!isNumber || number < 1)
        fail(UserError, QStringLiteral("restore takes the number of one backup, as `%1 "
                                       "backups` lists them")
                            .arg(kProgram));
    const QString path = c.vaultPath();
    c.startSession(path);
    if (const VaultSession::Status opened = c.session().open(); !opened.ok())
        c.failWith(opened);
    if (c.session().readOnly())
        c.failWith({VaultSession::Failure::ReadOnly, {}});
    // Numbered as `backups` numbers them, against the vault as it is now,
    // under the lock.
    const vaultfile::ReadResult now = vaultfile::readAll(path);
    if (!now.ok)
        c.failWith(
            {now.tooLarge ? VaultSession::Failure::TooLarge : VaultSession::Failure::Unreadable,
             now.error});
    if (const QString why = c.history().untrusted(); !why.isEmpty())
        fail(VaultError, QStringLiteral("this computer's history of the vault is not used, "
                                        "as %1; nothing was restored")
                             .arg(why));
    const std::vector<VaultHistory::Restorable> rows = c.history().restorable(now.data);
    if (static_cast<size_t>(number) > rows.size())
        fail(UserError, QStringLiteral("there is no number %1: `%2 backups` lists %3")
                            .arg(number)
                            .arg(kProgram)
                            .arg(rows.empty()       ? QStringLiteral("nothing to restore")
                                 : rows.size() == 1 ? QStringLiteral("1")
                                                    : QStringLiteral("1 to %1").arg(rows.size())));
    const VaultHistory::Restorable& chosen = rows[static_cast<size_t>(number) - 1];
    const QString named = QStringLiteral("number %1 (kept %2, %3)")
                              .arg(number)
                              .arg(keptText(chosen), keptWhy(chosen.why));
    const vaultfile::ReadResult backup = VaultHistory::readKept(chosen.path);
    if (!backup.ok)
        fail(VaultError, QStringLiteral("%1 could not be read: %2; the vault was left as it is")
                             .arg(named, backup.error));
    if (const QString why = VaultHistory::notRestorable(backup.data); !why.isEmpty())
        fail(UserError, QStringLiteral("%1 is not a vault Keynook wrote (%2), so it was not "
                                       "restored; the vault was left as it is")
                            .arg(named, why));
    // A vault emptied by accident holds nothing to keep.
    const bool keepsNow =
        sealedvault::isSealed(now.data) || !vaultformat::masterLineOf(now.data).isEmpty();
    if (!c.has(QStringLiteral("--yes"))) {
        Terminal* t = c.secrets().terminal();
        std::optional<QByteArray> answer =
            t ? t->readAnswer(QStringLiteral("Put %1 back as the vault%2? [y/N] ")
                                  .arg(named, keepsNow ? QStringLiteral(", keeping the vault "
                                                                        "as it is now as a "
                                                                        "backup")
                                                       : QString()))
              : std::nullopt;
        const QString a = answer ? QString::fromUtf8(*answer).trimmed().toLower() : QString();
        if (a != QLatin1String("y") && a != QLatin1String("yes")) {
            tell(QStringLiteral("Nothing was restored."));
            return Success;
        }
    }
    c.refuseChangeFromOutside();
    if (keepsNow)
        c.keepBackup(VaultHistory::Why::Restore);
    if (const VaultSession::Status put = c.session().putBack(backup.data); !put.ok())
        c.failWith(put);
    restorenote::write(c.history().folder(), backup.data);
    QString told =
        QStringLiteral("Restored %1 as the vault at %2; it is %3, as it was then.")
            .arg(named, QDir::toNativeSeparators(path),
                 sealedvault::isSealed(backup.data) ? QStringLiteral("sealed")
                                                    : QStringLiteral("in the plain form"));
    // Where the vault as it was now stands, to undo this.
    const std::vector<VaultHistory::Restorable> after = c.history().restorable(backup.data);
    const QByteArray digest = QCryptographicHash::hash(now.data, QCryptographicHash::Sha256);
    for (size_t i = 0; keepsNow && i < after.size(); ++i)
        if (after[i].digest == digest) {
            told += QStringLiteral(" `%1 restore %2` puts back the vault as it was before.")
                        .arg(kProgram)
                        .arg(i + 1);
            break;
        }
    tell(told);
    return Success;
}

int checkVault(Context& c) {
    c.secrets().requireSource();
    c.open(false, false);
    // Under the lock, nobody that keeps to it has written since the
    // vault was opened; the entries are read from these same bytes.
    const vaultfile::ReadResult read = vaultfile::readAll(c.session().path());
    if (!read.ok)
        c.failWith(
            {read.tooLarge ? VaultSession::Failure::TooLarge : VaultSession::Failure::Unreadable,
             read.error});
    if (c.session().changedOutside())
        fail(VaultError, QStringLiteral("the vault file was changed by another program while "
                                        "it was being checked; run the command again"));
    // A sealed vault's lines are those of the bytes it seals.
    QByteArray file;
    if (const VaultSession::Status opened = c.session().plainOf(read.data, file); !opened.ok())
        c.failWith(opened);
    c.entries() = EntryStore::fromFile(file);
    const bool sealed = c.session().sealed();
    if (sealed)
        c.entries().wipeWhenFreed();
    std::vector<QByteArrayView> lines;
    vaultformat::forEachLine(file, [&](QByteArrayView line) { lines.push_back(line); });
    // The empty line a save ends the file with is no odd line.
    if (lines.size() > 1 && lines.back().isEmpty())
        lines.pop_back();
    QStringList odd;
    qsizetype escaped = 0;
    for (size_t n = 1; n < lines.size(); ++n) {
        const QByteArrayView line = lines[n];
        if (vaultformat::isSkippedLine(line)) {
            odd << QStringLiteral("line %1: blank").arg(n + 1);
            continue;
        }
        int fields = 0;
        for (qsizetype start = 0;;) {
            const qsizetype sep = vaultformat::findCipheredSeparator(line, start);
            const QByteArrayView piece =
                sep < 0 ? line.sliced(start) : line.sliced(start, sep - start);
            // Escaped pieces past the third are ignored by reading.
            if (++fields <= 3 &&
                vaultformat::decodeCipheredField(piece) != ansi::decodeCiphered(piece))
                ++escaped;
            if (sep < 0)
                break;
            start = sep + 3;
        }
        if (fields != 3)
            odd << QStringLiteral("line %1: %2 field%3%4")
                       .arg(n + 1)
                       .arg(fields)
                       .arg(fields == 1 ? QString() : QStringLiteral("s"))
                       .arg(fields > 3 ? QStringLiteral(" (those after the third are ignored)")
                                       : QStringLiteral(" (the missing ones read as empty)"));
    }
    // What a save writes: the master line as it is, as Context::saveEntries() does.
    QByteArray saved = vaultformat::savedPiecesWithLine(vaultformat::masterLineOf(file),
                                                        c.entries(), fileOrder(c.entries().size()))
                           .joined();
    QString report =
        QStringLiteral("Vault: %1\nSealed: %2\nEntries: %3\nLines that are not entries: %4\n")
            .arg(QDir::toNativeSeparators(c.session().path()),
                 sealed ? QStringLiteral("yes, under a key from the master password (%1)")
                              .arg(keyCost(c.session().sealParams()))
                        : QStringLiteral("no"))
            .arg(c.entries().size())
            .arg(odd.size());
    constexpr qsizetype kShown = 50;
    for (qsizetype k = 0; k < odd.size() && k < kShown; ++k)
        report += QStringLiteral("  ") + odd[k] + QLatin1Char('\n');
    if (odd.size() > kShown)
        report += QStringLiteral("  and %1 more\n").arg(odd.size() - kShown);
    report += QStringLiteral("Fields stored with the escape: %1\n").arg(escaped);
    if (saved == file) {
        report += sealed ? QStringLiteral("A save seals the same bytes again, byte for byte "
                                          "(with a fresh nonce).\n")
                         : QStringLiteral("A save writes the file back byte for byte.\n");
    } else if (saved == file + "\r\n") {
        // As `init` and the window leave a new vault: the master line
        // alone, without the empty line a save ends the file with.
        report += sealed ? QStringLiteral("A save seals every line again byte for byte, and "
                                          "adds the empty line that ends every saved vault.\n")
                         : QStringLiteral("A save writes every line back byte for byte, and "
                                          "adds the empty line that ends every saved vault.\n");
    } else {
        qsizetype at = 0;
        while (at < saved.size() && at < file.size() && saved[at] == file[at])
            ++at;
        // Every CR ends a line (an LF after it belongs to that end).
        const qsizetype line = file.first(at).count('\r') + 1;
        report += (sealed ? QStringLiteral("A save would not seal the same bytes again: they "
                                           "differ from line %1 on.\n")
                          : QStringLiteral("A save would not write the file back as it is: "
                                           "it differs from line %1 on.\n"))
                      .arg(line);
    }
    secrets::wipe(saved);
    output(report.toUtf8());
    return Success;
}

} // namespace cli
