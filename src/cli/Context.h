#pragma once

#include "cli/Cli.h"
#include "cli/CommandTable.h"
#include "cli/Listing.h"
#include "seal/SealedVault.h"
#include "secrets/Wipe.h"
#include "vault/EntryStore.h"
#include "vault/VaultHistory.h"
#include "vault/VaultSession.h"

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <memory>
#include <optional>
#include <utility>
#include <vector>

class RecordKeeper;
class Terminal;
namespace vaultmerge {
struct Report;
}

// What every command of keynook-cli shares: how it fails and what it writes,
// where its secrets come from, and the vault it opens. The commands
// themselves are in files by what they work on (Commands.h).
namespace cli {

inline const QString& kProgram = programName();

// ---------------------------------------------------------------------------
// Failures and output

// Ends the command: what went wrong, in words for the person who typed it,
// and the exit status that tells a script what kind of failure it was.
struct Failed {
    int status;
    QString message;
    bool named = true; // told after the program's name, as every failure but the usage
};

[[noreturn]] void fail(int status, const QString& message);

// Data, for a script or a pipe.
void output(const QByteArray& bytes);

// What happened, for the person: never data, so a pipe takes the data alone.
void tell(const QString& message);

// ---------------------------------------------------------------------------
// Words of the messages

QString quoted(const QString& text);
QString entriesCount(size_t n);

// An entry as a message names it: never by its password.
QString named(const EntryStore& entries, int slot);

// A copy's path as it is told, its control characters escaped: anyone
// who can put a file beside the vault chooses its name.
QString shownPath(const QString& path);

// What one merge brought, for the person.
QString merged(const QString& shown, const vaultmerge::Report& r);

// The entries' slots in the order of the file.
std::vector<int> fileOrder(size_t count);

// Why the file at `path` is plainly not a Keynook vault ("it is CSV in the
// chrome layout; ...", "it is a KeePass database; ...", or why it is in no
// vault's form); empty when it may be one. Asked only once a plain vault
// refused its master password or `init` found one, so that a file given by
// mistake is not called a vault with a wrong password.
// (InterchangeCommands.cpp)
QString notAVault(const QString& path);

// ---------------------------------------------------------------------------
// Values of options

int fieldNamed(const QString& option, const QString& name);
listing::Format formatNamed(const std::optional<QString>& name);

// A whole number from `least` to `most`, or a failure that says what the
// option takes (never what it was given).
int numberOf(const QString& option, const QString& text, int least, int most, const QString& what);

// ---------------------------------------------------------------------------
// Secrets

// A password as text, wiped when it goes: on every way out of a command,
// a failure's exception included. Text it shares with another holder (the
// session's stored password, an entry being encoded) is that holder's to
// wipe; a copy is never made.
class SecretText {
public:
    SecretText() = default;
    explicit SecretText(QString text) : m_text(std::move(text)) {}
    ~SecretText() { secrets::wipe(m_text); }
    SecretText(SecretText&& other) noexcept : m_text(std::exchange(other.m_text, QString())) {}
    SecretText& operator=(SecretText&& other) noexcept {
        if (this != &other) {
            secrets::wipe(m_text);
            m_text = std::exchange(other.m_text, QString());
        }
        return *this;
    }

    const QString& text() const { return m_text; }

private:
    QString m_text;
};

// Where secrets come from: lines of standard input with --password-stdin,
// otherwise the terminal, with echo off. Never the command line or the
// environment, which other users and programs can read.
class Secrets {
public:
    explicit Secrets(bool fromStandardInput);
    ~Secrets();

    Terminal* terminal();

    // Fails at once when no secret can be had, before anything is touched.
    void requireSource();

    SecretText master(const QString& prompt = QStringLiteral("Master password: "));
    bool fromStandardInput() const { return m_fromStandardInput; }

    // A new secret: asked twice on a terminal, so that a typing mistake is
    // caught before it is stored.
    SecretText fresh(const QString& prompt, const QString& again, const QString& what);

private:
    SecretText once(const QString& prompt, const QString& what);

    bool m_fromStandardInput;
    int m_linesRead = 0;
    bool m_terminalOpened = false;
    std::unique_ptr<Terminal> m_terminal;
};

// ---------------------------------------------------------------------------
// One run of a command

// What the command line asked: the command, its arguments and options.
struct Parsed {
    QString vaultPath;
    bool passwordStdin = false;
    const Command* command = nullptr;
    QStringList arguments;
    QHash<QString, QString> values;
    QSet<QString> flags;

    bool has(const QString& flag) const { return flags.contains(flag); }
    std::optional<QString> value(const QString& option) const {
        const auto it = values.find(option);
        return it == values.end() ? std::nullopt : std::optional<QString>(*it);
    }
};

// What a command works with: the command line parsed, the source of its
// secrets and, once opened, the vault's session, this computer's history
// of it and its entries.
class Context {
public:
    explicit Context(const Parsed& parsed);
    ~Context();
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    // What the command line asked.
    const Command& command() const { return *m_p.command; }
    const QStringList& arguments() const { return m_p.arguments; }
    bool has(const QString& flag) const { return m_p.has(flag); }
    std::optional<QString> value(const QString& option) const { return m_p.value(option); }
    bool given(const QString& option) const { return has(option) || value(option).has_value(); }
    bool passwordStdin() const { return m_p.passwordStdin; }

    Secrets& secrets() { return m_secrets; }

    // The vault file the command line or the environment names, or the
    // window's.
    QString vaultPath() const;

    // Opens and locks the vault, asks for its master password and reads its
    // entries. A command that changes nothing takes the lock as well: a
    // save replaces the file by renaming a new one over it, and the lock
    // keeps a reader from meeting a vault that is half way there.
    // Nothing after this needs the master password as text: it is wiped,
    // and saves write the master line as it was read.
    void open(bool forChange, bool withEntries = true);

    // The vault opened and locked, before any password is asked: what can
    // be refused without one is refused here.
    void openLocked(bool forChange);

    // A sealed vault is opened with the password here (its key takes about
    // half a second to derive).
    // The master password is given back only when `keep` asks for it.
    SecretText unlock(bool keep = false);

    // A sealed vault put back by restore is a change made now: its entries
    // get new marks before anything merges with it.
    void markRestoredAnew();

    // A vault file that lost what this computer last saw in it (emptied by
    // a sync tool or a disk fault) is no vault never used: nothing is created
    // or written over it, and the person is told how to put it back.
    void refuseLostVault() const;

    // Keeps the vault as it is on disk among the backups, before `why`
    // rewrites it; without a backup nothing is written.
    void keepBackup(VaultHistory::Why why) const;

    // Replaces the vault with its entries as they are now, unless another
    // program changed it since it was read: writing then would throw that
    // change away unseen. A rewrite other than an entry's change keeps the
    // old file first.
    void saveEntries(std::optional<VaultHistory::Why> backup = std::nullopt);

    // The same for a merge: a sealed vault's record is the merge's, which
    // knows where every entry came from.
    void saveMerged(const QByteArray& file, const QByteArray& record, VaultHistory::Why backup);

    // Writing now would throw away unseen what another program wrote since
    // the vault was read.
    void refuseChangeFromOutside() const;

    // The session on the vault at `path`, every state of which that it reads
    // or writes is kept in this computer's history of the vault: the base of
    // later merges.
    void startSession(const QString& path);

    // Lets go of the vault, its lock with it, and of its entries.
    void letGo();

    static std::unique_ptr<VaultHistory> historyOf(const QString& path);

    // Fails with what the vault file is, when it is plainly no vault.
    void refuseNotAVault() const;
    // Every failure of the session, told with what the session knows of the
    // vault's form.
    [[noreturn]] void failWith(const VaultSession::Status& status) const;

    VaultSession& session() { return *m_session; }
    VaultHistory& history() { return *m_history; }
    RecordKeeper& keeper() { return *m_keeper; }
    EntryStore& entries() { return m_entries; }
    const EntryStore& entries() const { return m_entries; }

private:
    // The copies a sync engine left beside the vault when two computers
    // changed it apart are merged into it when it is opened; each is told.
    void mergeConflictCopies(QStringView master);

    template <class File>
    void save(const File& file, std::optional<VaultHistory::Why> backup = std::nullopt);

    const Parsed& m_p;
    Secrets m_secrets;
    std::unique_ptr<VaultSession> m_session;
    std::unique_ptr<VaultHistory> m_history;
    std::unique_ptr<RecordKeeper> m_keeper;
    EntryStore m_entries;
};

} // namespace cli
