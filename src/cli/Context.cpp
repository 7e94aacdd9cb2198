#include "cli/Context.h"
#include "secrets/Wipe.h"

#include "cli/Terminal.h"
#include "sync/ConflictCopies.h"
#include "sync/CopyMerge.h"
#include "sync/RecordKeeper.h"
#include "sync/VaultMerge.h"
#include "vault/RestoreNote.h"
#include "vault/VaultFile.h"
#include "vault/VaultFormat.h"
#include "vault/VaultLocation.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringDecoder>

#include <cstdio>
#include <numeric>

namespace cli {

namespace {

void writeTo(FILE* stream, const QByteArray& bytes) {
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
}

} // namespace

[[noreturn]] void fail(int status, const QString& message) {
    throw Failed{status, message};
}

void output(const QByteArray& bytes) {
    writeTo(stdout, bytes);
}

void tell(const QString& message) {
    writeTo(stderr, (message + QLatin1Char('\n')).toUtf8());
}

QString quoted(const QString& text) {
    return QLatin1Char('"') + listing::oneLine(text, listing::kMaxCellWidth) + QLatin1Char('"');
}

QString entriesCount(size_t n) {
    return n == 1 ? QStringLiteral("1 entry") : QStringLiteral("%1 entries").arg(n);
}

QString named(const EntryStore& entries, int slot) {
    const QString user =
        listing::oneLine(entries.fieldStart(static_cast<size_t>(slot), EntryStore::Username, 80),
                         listing::kMaxCellWidth);
    const QString location =
        entries.fieldStart(static_cast<size_t>(slot), EntryStore::Location, 80);
    return location.isEmpty()
               ? user + QStringLiteral(" (no location)")
               : user + QStringLiteral(" at ") + listing::oneLine(location, listing::kMaxCellWidth);
}

QString shownPath(const QString& path) {
    return vaultlocation::displayName(QDir::toNativeSeparators(path));
}

namespace {

QString namedCopy(const vaultmerge::Named& n) {
    const QString user = listing::oneLine(n.username, listing::kMaxCellWidth);
    return n.location.isEmpty() ? user + QStringLiteral(" (no location)")
                                : user + QStringLiteral(" at ") +
                                      listing::oneLine(n.location, listing::kMaxCellWidth);
}

} // namespace

QString merged(const QString& shown, const vaultmerge::Report& r) {
    QString text = QStringLiteral("Merged %1:").arg(shown);
    if (r.unchanged())
        text += QStringLiteral(" nothing new.");
    if (!r.fromTheirs.empty())
        text += QStringLiteral(" %1 added from it.").arg(entriesCount(r.fromTheirs.size()));
    if (!r.removedByTheirs.empty())
        text += QStringLiteral(" %1 removed, as it removed them.")
                    .arg(entriesCount(r.removedByTheirs.size()));
    if (r.masterFromTheirs)
        text += QStringLiteral(" Its master password, changed since the base, was taken.");
    for (const vaultmerge::Report::BothEdited& e : r.editedOnBoth)
        text += QStringLiteral(" Both versions of %1 were kept: each side changed it.")
                    .arg(namedCopy(e.ours));
    if (r.twoWay && r.oursOnly > 0)
        text += QStringLiteral(" Plain vaults merge by keeping every entry either copy "
                               "holds (%1 not in it), so what one computer removed or "
                               "edited may be back; a sealed vault (%2 seal) merges "
                               "exactly.")
                    .arg(entriesCount(r.oursOnly), kProgram);
    return text;
}

std::vector<int> fileOrder(size_t count) {
    std::vector<int> order(count);
    std::iota(order.begin(), order.end(), 0);
    return order;
}

int fieldNamed(const QString& option, const QString& name) {
    if (name == QLatin1String("username"))
        return EntryStore::Username;
    if (name == QLatin1String("password"))
        return EntryStore::Password;
    if (name == QLatin1String("location"))
        return EntryStore::Location;
    fail(UserError, QStringLiteral("the value given to %1 is not a field; %1 takes username, "
                                   "password or location")
                        .arg(option));
}

listing::Format formatNamed(const std::optional<QString>& name) {
    if (!name || *name == QLatin1String("table"))
        return listing::Format::Table;
    if (*name == QLatin1String("tsv"))
        return listing::Format::Tsv;
    if (*name == QLatin1String("json"))
        return listing::Format::Json;
    fail(UserError, QStringLiteral("the value given to --format is not a format; --format takes "
                                   "table, tsv or json"));
}

int numberOf(const QString& option, const QString& text, int least, int most, const QString& what) {
    bool ok = false;
    const int n = text.toInt(&ok);
    if (!ok || n < least || n > most)
        fail(UserError, QStringLiteral("the value given to %1 is not a %2 from %3 to %4")
                            .arg(option, what)
                            .arg(least)
                            .arg(most));
    return n;
}

// ---------------------------------------------------------------------------
// Secrets

Secrets::Secrets(bool fromStandardInput) : m_fromStandardInput(fromStandardInput) {}

Secrets::~Secrets() = default;

Terminal* Secrets::terminal() {
    if (!m_terminalOpened) {
        m_terminal = Terminal::open();
        m_terminalOpened = true;
    }
    return m_terminal.get();
}

void Secrets::requireSource() {
    if (!m_fromStandardInput && !terminal())
        fail(UserError, QStringLiteral("there is no terminal to ask for the master password on; "
                                       "pass --password-stdin and give it as the first line of "
                                       "standard input"));
}

SecretText Secrets::master(const QString& prompt) {
    return once(prompt, QStringLiteral("the master password"));
}

SecretText Secrets::fresh(const QString& prompt, const QString& again, const QString& what) {
    SecretText first = once(prompt, what);
    if (m_fromStandardInput)
        return first;
    const SecretText second = once(again, what);
    if (second.text() != first.text())
        fail(UserError, QStringLiteral("the two passwords typed differ; nothing was changed"));
    return first;
}

SecretText Secrets::once(const QString& prompt, const QString& what) {
    std::optional<QByteArray> line;
    if (m_fromStandardInput) {
        ++m_linesRead;
        line = readStandardInputLine();
        if (!line)
            fail(UserError, QStringLiteral("standard input ended before %1 (line %2)")
                                .arg(what)
                                .arg(m_linesRead));
    } else {
        Terminal* t = terminal();
        if (!t)
            fail(UserError, QStringLiteral("there is no terminal to ask for %1 on; pass "
                                           "--password-stdin and give it on standard input")
                                .arg(what));
        line = t->readSecret(prompt);
        if (!line)
            fail(UserError, QStringLiteral("nothing was typed for %1").arg(what));
    }
    // The exact text, a byte order mark at its start included.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    SecretText text(decoder(*line));
    secrets::wipe(*line);
    if (decoder.hasError())
        fail(UserError,
             m_fromStandardInput
                 ? QStringLiteral("line %1 of standard input is not UTF-8 text").arg(m_linesRead)
                 : QStringLiteral("what was typed for %1 is not UTF-8 text; is "
                                  "the terminal set to UTF-8?")
                       .arg(what));
    return text;
}

// ---------------------------------------------------------------------------
// The vault

namespace {

QString failureText(const VaultSession::Status& status, bool sealed) {
    using F = VaultSession::Failure;
    const QString why = status.why.isEmpty() ? QString() : QStringLiteral(": ") + status.why;
    switch (status.failure) {
    case F::None:
        return {};
    case F::NotOwned:
        return QStringLiteral("the vault is not used: another user could read or replace it") + why;
    case F::LockNotPlain:
        return QStringLiteral("the vault's lock file is not one Keynook made, so the vault "
                              "was left alone") +
               why;
    case F::Locked:
        return QStringLiteral("the vault is open in another Keynook (%1); close it and try again")
            .arg(status.why.isEmpty() ? QStringLiteral("a window or %1").arg(kProgram)
                                      : status.why);
    case F::LockFailed:
        return QStringLiteral("the vault could not be locked, so it was left alone") + why;
    case F::NewOnReadOnly:
        return QStringLiteral("the vault has no master password yet and is on a medium that "
                              "cannot be written to");
    case F::CannotCreate:
        return QStringLiteral("the vault file could not be created") + why;
    case F::LinkToNothing:
        return QStringLiteral("the vault is a link to %1, which does not exist (a sync tool may "
                              "not have brought it yet); nothing was created. Run the command "
                              "again once it is there, or `%2 --vault %3 init` to make a new "
                              "vault there")
            .arg(status.why, kProgram, vaultlocation::shellWord(status.why));
    case F::Unreadable:
        return QStringLiteral("the vault file could not be read") + why;
    case F::TooLarge:
        return QStringLiteral("the vault file is larger than any vault Keynook writes; it was "
                              "left as it is") +
               why;
    case F::OutOfMemory:
        return QStringLiteral("there is not enough memory to read the vault");
    case F::ReadOnly:
        return QStringLiteral("the vault is on a medium that cannot be written to, so nothing "
                              "was changed");
    case F::CannotSave:
        return QStringLiteral("the change could not be saved; the vault file was left as it "
                              "was") +
               why;
    case F::WrongPassword:
        // A sealed file's key header can be rewritten with its unkeyed
        // checksum made right; without the key that reads as a wrong password.
        if (sealed)
            return QStringLiteral("the password does not open this sealed vault, either because "
                                  "it is not the vault's master password or because the file's "
                                  "key header was changed; nothing was read or changed");
        return QStringLiteral("wrong master password; nothing was read or changed");
    case F::Damaged:
        return QStringLiteral("the sealed vault is damaged, or was changed outside Keynook; it "
                              "was left as it is") +
               why;
    case F::SealRefused:
        return QStringLiteral("the sealed vault cannot be opened on this computer") + why;
    }
    return {};
}

[[noreturn]] void failWith(const VaultSession::Status& status, bool sealed) {
    using F = VaultSession::Failure;
    fail(status.failure == F::Locked          ? VaultLocked
         : status.failure == F::WrongPassword ? UserError
                                              : VaultError,
         failureText(status, sealed));
}

} // namespace

Context::Context(const Parsed& parsed) : m_p(parsed), m_secrets(parsed.passwordStdin) {}

Context::~Context() = default;

QString Context::vaultPath() const {
    // The same choice as the window's.
    const vaultlocation::NamedVault named =
        vaultlocation::namedVaultFile(m_p.vaultPath, qEnvironmentVariable("KEYNOOK_VAULT"));
    if (!named.error.isEmpty())
        fail(UserError, named.error);
    if (!named.path.isEmpty())
        return named.path;
    return vaultlocation::vaultPath(vaultlocation::chooseVaultFolder(
        vaultlocation::runningProgramFolder(),
        QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)));
}

void Context::open(bool forChange, bool withEntries) {
    openLocked(forChange);
    unlock();
    if (withEntries) {
        if (const VaultSession::Status loaded = m_session->loadEntries(m_entries); !loaded.ok())
            failWith(loaded);
    }
}

void Context::openLocked(bool forChange) {
    const QString path = vaultPath();
    // A link to nothing is told as such by the session's open.
    if (!QFileInfo::exists(path) && vaultfile::missingLinkTarget(path).isEmpty())
        fail(UserError, QStringLiteral("there is no vault at %1; create one with `%2 init`")
                            .arg(QDir::toNativeSeparators(path), kProgram));
    startSession(path);
    if (const VaultSession::Status opened = m_session->open(); !opened.ok())
        failWith(opened);
    if (forChange && m_session->readOnly())
        failWith({VaultSession::Failure::ReadOnly, {}});
    refuseLostVault();
    if (!m_session->hasMasterPassword())
        fail(UserError, QStringLiteral("the vault at %1 has no master password yet; set one "
                                       "with `%2 init`")
                            .arg(QDir::toNativeSeparators(path), kProgram));
}

SecretText Context::unlock(bool keep) {
    SecretText master = m_secrets.master();
    if (const VaultSession::Status unlocked = m_session->unlock(master.text()); !unlocked.ok()) {
        if (unlocked.failure == VaultSession::Failure::WrongPassword && !m_session->sealed())
            refuseNotAVault();
        failWith(unlocked);
    }
    m_session->forgetStoredPassword();
    markRestoredAnew();
    mergeConflictCopies(master.text());
    return keep ? std::move(master) : SecretText();
}

void Context::markRestoredAnew() {
    if (m_session->sealed() && m_history->untrusted().isEmpty() &&
        restorenote::pending(m_history->folder(), m_session->path()))
        m_keeper->markAllAnew();
}

void Context::mergeConflictCopies(QStringView master) {
    const copymerge::Outcome o =
        copymerge::mergeConflictCopies(*m_session, *m_history, *m_keeper, master, true);
    for (const copymerge::Taken& m : o.merged) {
        tell(merged(QStringLiteral("the %1 conflict copy %2").arg(m.engine, shownPath(m.path)),
                    m.report));
        if (m.report.masterFromTheirs)
            tell(QStringLiteral("The vault's master password is now the one set on the other "
                                "computer."));
    }
    for (const copymerge::Left& l : o.left)
        tell(QStringLiteral("The %1 conflict copy %2 was not merged (%3); it was left as it "
                            "is.")
                 .arg(l.engine, shownPath(l.path), l.why));
}

void Context::refuseLostVault() const {
    const std::optional<VaultHistory::Lost>& lost = m_history->lost();
    if (!lost)
        return;
    fail(VaultError,
         lost->found(QFileInfo(m_session->path()).fileName()) +
             QStringLiteral("; a sync tool or a disk fault may have emptied it, so it is not "
                            "taken for a new vault, and nothing was created or changed. ") +
             (lost->restoreNumber > 0
                  ? QStringLiteral("`%1 restore %2` puts back the vault as this computer "
                                   "last saw it; `%1 backups` lists everything that can be "
                                   "restored.")
                        .arg(kProgram)
                        .arg(lost->restoreNumber)
                  : QStringLiteral("`%1 backups` lists what can be restored.").arg(kProgram)));
}

void Context::keepBackup(VaultHistory::Why why) const {
    QString error;
    if (!m_history->keepVaultBackup(m_session->path(), why, &error))
        fail(VaultError, QStringLiteral("no backup of the vault could be kept, so nothing was "
                                        "changed: %1")
                             .arg(error));
}

// Replaces the vault with `file`, unless another program changed it
// since it was read: writing then would throw that change away unseen.
// A rewrite other than an entry's change keeps the old file first.
template <class File>
void Context::save(const File& file, std::optional<VaultHistory::Why> backup) {
    refuseChangeFromOutside();
    if (backup)
        keepBackup(*backup);
    if (const VaultSession::Status saved = m_session->save(file); !saved.ok())
        failWith(saved);
}

void Context::saveMerged(const QByteArray& file, const QByteArray& record,
                         VaultHistory::Why backup) {
    refuseChangeFromOutside();
    keepBackup(backup);
    if (const VaultSession::Status saved = m_session->saveWithRecord(file, record); !saved.ok())
        failWith(saved);
}

void Context::refuseChangeFromOutside() const {
    if (m_session->changedOutside())
        fail(VaultError, QStringLiteral("the vault file was changed by another program after "
                                        "%1 read it; nothing was written, so that change "
                                        "stays. Run the command again.")
                             .arg(kProgram));
}

void Context::saveEntries(std::optional<VaultHistory::Why> backup) {
    save(vaultformat::savedPiecesWithLine(m_session->masterLineAsRead(), m_entries,
                                          fileOrder(m_entries.size())),
         backup);
}

void Context::startSession(const QString& path) {
    m_session = std::make_unique<VaultSession>(path);
    m_history = historyOf(path);
    m_history->follow(*m_session);
    m_keeper = std::make_unique<RecordKeeper>();
    m_session->keepRecordWith(m_keeper.get());
}

void Context::letGo() {
    m_session.reset();
    m_entries = EntryStore();
}

std::unique_ptr<VaultHistory> Context::historyOf(const QString& path) {
    return std::make_unique<VaultHistory>(
        QStandardPaths::writableLocation(QStandardPaths::AppDataLocation),
        vaultfile::realFilePath(path));
}

void Context::refuseNotAVault() const {
    const QString path = vaultPath();
    if (const QString why = notAVault(path); !why.isEmpty())
        fail(UserError,
             QStringLiteral("%1 is not a Keynook vault: %2. Nothing was read or changed.")
                 .arg(QDir::toNativeSeparators(path), why));
}

void Context::failWith(const VaultSession::Status& status) const {
    cli::failWith(status, m_session && m_session->sealed());
}

} // namespace cli
