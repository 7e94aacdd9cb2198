#include "cli/Cli.h"

#include "cli/Clipboard.h"
#include "cli/CommandTable.h"
#include "cli/Completion.h"
#include "cli/Listing.h"
#include "cli/PasswordGenerator.h"
#include "cli/Terminal.h"
#include "interchange/Input.h"
#include "interchange/Interchange.h"
#include "platform/VersionRecord.h"
#include "seal/SealedVault.h"
#include "secrets/Wipe.h"
#include "sync/CopyMerge.h"
#include "sync/RecordKeeper.h"
#include "sync/VaultCopy.h"
#include "sync/VaultMerge.h"
#include "vault/Ansi.h"
#include "vault/EntrySort.h"
#include "vault/RestoreNote.h"
#include "vault/VaultFile.h"
#include "vault/VaultFormat.h"
#include "vault/VaultHistory.h"
#include "vault/VaultLocation.h"
#include "vault/VaultSession.h"

#include "VersionInfo.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QStandardPaths>
#include <QStringDecoder>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <numeric>
#include <optional>
#include <unistd.h>
#include <utility>
#include <vector>
namespace cli {

namespace {

const QString& kProgram = programName();

// Ends the command: what went wrong, in words for the person who typed it,
// and the exit status that tells a script what kind of failure it was.
struct Failed {
    int status;
    QString message;
    bool named = true; // told after the program's name, as every failure but the usage
};

[[noreturn]] void fail(int status, const QString& message) {
    throw Failed{status, message};
}

void writeTo(FILE* stream, const QByteArray& bytes) {
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
}

// Data, for a script or a pipe.
void output(const QByteArray& bytes) {
    writeTo(stdout, bytes);
}

// What happened, for the person: never data, so a pipe takes the data alone.
void tell(const QString& message) {
    writeTo(stderr, (message + QLatin1Char('\n')).toUtf8());
}

QString quoted(const QString& text) {
    return QLatin1Char('"') + listing::oneLine(text, listing::kMaxCellWidth) + QLatin1Char('"');
}

// ---------------------------------------------------------------------------
// Commands and their options

// Where a word stands on the command line, the program's name not counted:
// said instead of the word, which may be a password typed in the wrong place.
QString argumentAt(qsizetype position) {
    const qsizetype lastTwo = position % 100;
    const qsizetype last = position % 10;
    const char* suffix = lastTwo >= 11 && lastTwo <= 13 ? "th"
                         : last == 1                    ? "st"
                         : last == 2                    ? "nd"
                         : last == 3                    ? "rd"
                                                        : "th";
    return QStringLiteral("the %1%2 argument").arg(position).arg(QLatin1String(suffix));
}

QString entriesCount(size_t n) {
    return n == 1 ? QStringLiteral("1 entry") : QStringLiteral("%1 entries").arg(n);
}

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

// What was asked for: the parsed command, or a help or version text that
// answers it already.
struct Request {
    Parsed parsed;
    std::optional<QString> answer;
};

// The usage, for a command line that names no command: what a person who
// typed the program's name alone wants to see.
[[noreturn]] void failWithUsage() {
    throw Failed{UserError, programHelp().chopped(1), false};
}

Request parse(const QStringList& arguments) {
    Request request;
    Parsed& p = request.parsed;
    const QString seeHelp = QStringLiteral("see `%1 --help`").arg(kProgram);
    qsizetype i = 1;
    // --vault and --password-stdin may stand before or after the command.
    auto takeGlobal = [&](const QString& name, const std::optional<QString>& inlineValue) {
        if (name == QLatin1String("--password-stdin")) {
            if (inlineValue)
                fail(UserError, QStringLiteral("--password-stdin takes no value"));
            p.passwordStdin = true;
            return true;
        }
        if (name == QLatin1String("--vault")) {
            if (!p.vaultPath.isEmpty())
                fail(UserError, QStringLiteral("--vault is given twice"));
            if (inlineValue) {
                p.vaultPath = *inlineValue;
            } else if (i + 1 < arguments.size()) {
                p.vaultPath = arguments[++i];
            } else {
                fail(UserError, QStringLiteral("--vault needs the path of a vault file"));
            }
            if (p.vaultPath.isEmpty())
                fail(UserError, QStringLiteral("--vault needs the path of a vault file"));
            return true;
        }
        return false;
    };
    auto split = [](const QString& arg) {
        const qsizetype eq = arg.indexOf(QLatin1Char('='));
        return eq < 0 ? std::pair(arg, std::optional<QString>())
                      : std::pair(arg.left(eq), std::optional<QString>(arg.mid(eq + 1)));
    };
    for (; i < arguments.size() && arguments[i].startsWith(QLatin1Char('-')); ++i) {
        const QString& arg = arguments[i];
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            request.answer = programHelp();
            return request;
        }
        if (arg == QLatin1String("--version")) {
            request.answer = VersionRecord::ofBuild().productName + QLatin1Char(' ') +
                             QStringLiteral(KEYNOOK_VERSION) + QLatin1Char('\n');
            return request;
        }
        const auto [name, inlineValue] = split(arg);
        if (!takeGlobal(name, inlineValue))
            fail(UserError, QStringLiteral("%1 is not an option; the options before the command "
                                           "are --vault, --password-stdin, --help and --version; "
                                           "%2")
                                .arg(argumentAt(i), seeHelp));
    }
    if (i >= arguments.size())
        failWithUsage();
    p.command = commandNamed(arguments[i]);
    if (!p.command) {
        QStringList names;
        for (const Command& c : commands())
            names << c.name;
        fail(UserError, QStringLiteral("%1 is not a command; the commands are %2; %3")
                            .arg(argumentAt(i), listed(names, QStringLiteral("and")), seeHelp));
    }
    const Command& c = *p.command;
    const QString seeCommandHelp = QStringLiteral("see `%1 %2 --help`").arg(kProgram, c.name);
    // Help first, whatever else is wrong with the line.
    for (qsizetype k = i + 1; k < arguments.size() && arguments[k] != QLatin1String("--"); ++k) {
        if (arguments[k] == QLatin1String("--help") || arguments[k] == QLatin1String("-h")) {
            request.answer = commandHelp(c);
            return request;
        }
    }
    bool optionsEnded = false;
    for (++i; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        if (!optionsEnded && arg == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        // A lone "-" is an argument: standard input or output.
        if (optionsEnded || !arg.startsWith(QLatin1Char('-')) || arg == QLatin1String("-")) {
            p.arguments.append(arg);
            continue;
        }
        const auto [name, inlineValue] = split(arg);
        if (takeGlobal(name, inlineValue))
            continue;
        const Option* option = optionOf(c, name);
        if (!option) {
            // Options alone first, then those that take a value.
            QStringList options;
            for (const bool valued : {false, true})
                for (const Option& o : c.options)
                    if (o.takesValue() == valued)
                        options << o.name;
            options << QStringLiteral("--vault") << QStringLiteral("--password-stdin")
                    << QStringLiteral("--help");
            fail(UserError, QStringLiteral("%1 is not an option of %2; its options are %3; %4")
                                .arg(argumentAt(i), c.name, listed(options, QStringLiteral("and")),
                                     seeCommandHelp));
        }
        if (!option->takesValue()) {
            if (inlineValue)
                fail(UserError, QStringLiteral("%1 takes no value").arg(name));
            if (p.flags.contains(name))
                fail(UserError, QStringLiteral("%1 is given twice").arg(name));
            p.flags.insert(name);
            continue;
        }
        if (p.values.contains(name))
            fail(UserError, QStringLiteral("%1 is given twice").arg(name));
        if (inlineValue) {
            p.values.insert(name, *inlineValue);
        } else if (i + 1 < arguments.size()) {
            p.values.insert(name, arguments[++i]);
        } else {
            fail(UserError, QStringLiteral("%1 needs a value; %2").arg(name, seeCommandHelp));
        }
        // What was given is not repeated: a password typed in the wrong
        // place must not end up in a message, or in a log that keeps it.
        if (option->kind == Kind::Choice && !option->choices.contains(p.values.value(name)))
            fail(UserError, QStringLiteral("the value given to %1 is not one it takes; %1 takes %2")
                                .arg(name, listed(option->choices, QStringLiteral("or"))));
    }
    for (const Option& a : c.options)
        for (const Option& b : c.options)
            if (&a < &b && !a.oneOf.isEmpty() && a.oneOf == b.oneOf &&
                (p.flags.contains(a.name) || p.values.contains(a.name)) &&
                (p.flags.contains(b.name) || p.values.contains(b.name)))
                fail(UserError, QStringLiteral("%1 and %2 are one or the other; choose one")
                                    .arg(a.name, b.name));
    if (p.arguments.size() > c.maxArguments)
        fail(UserError,
             c.maxArguments == 0
                 ? QStringLiteral("%1 takes no text, only options; %2").arg(c.name, seeCommandHelp)
                 : QStringLiteral("%1 takes %2; %3").arg(c.name, c.wants, seeCommandHelp));
    if (p.arguments.size() < c.minArguments)
        fail(UserError, QStringLiteral("%1 needs %2; %3").arg(c.name, c.wants, seeCommandHelp));
    if (c.argumentKind == Kind::Choice)
        for (const QString& a : p.arguments)
            if (!c.argumentChoices.contains(a))
                fail(UserError,
                     QStringLiteral("%1 takes %2; %3").arg(c.name, c.wants, seeCommandHelp));
    return request;
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

// A whole number from `least` to `most`, or a failure that says what the
// option takes (never what it was given).
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

int lengthOf(const QString& option, const QString& text) {
    return numberOf(option, text, passwordgenerator::kMinLength, passwordgenerator::kMaxLength,
                    QStringLiteral("number of characters"));
}

// The longest a copied field waits on the clipboard before it is cleared.
constexpr int kMaxTimeout = 24 * 60 * 60;
constexpr int kDefaultTimeout = 30;

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
    explicit Secrets(bool fromStandardInput) : m_fromStandardInput(fromStandardInput) {}

    Terminal* terminal() {
        if (!m_terminalOpened) {
            m_terminal = Terminal::open();
            m_terminalOpened = true;
        }
        return m_terminal.get();
    }

    // Fails at once when no secret can be had, before anything is touched.
    void requireSource() {
        if (!m_fromStandardInput && !terminal())
            fail(UserError,
                 QStringLiteral("there is no terminal to ask for the master password on; "
                                "pass --password-stdin and give it as the first line of "
                                "standard input"));
    }

    SecretText master(const QString& prompt = QStringLiteral("Master password: ")) {
        return once(prompt, QStringLiteral("the master password"));
    }
    bool fromStandardInput() const { return m_fromStandardInput; }

    // A new secret: asked twice on a terminal, so that a typing mistake is
    // caught before it is stored.
    SecretText fresh(const QString& prompt, const QString& again, const QString& what) {
        SecretText first = once(prompt, what);
        if (m_fromStandardInput)
            return first;
        const SecretText second = once(again, what);
        if (second.text() != first.text())
            fail(UserError, QStringLiteral("the two passwords typed differ; nothing was changed"));
        return first;
    }

private:
    SecretText once(const QString& prompt, const QString& what) {
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
            fail(
                UserError,
                m_fromStandardInput
                    ? QStringLiteral("line %1 of standard input is not UTF-8 text").arg(m_linesRead)
                    : QStringLiteral("what was typed for %1 is not UTF-8 text; is "
                                     "the terminal set to UTF-8?")
                          .arg(what));
        return text;
    }

    bool m_fromStandardInput;
    int m_linesRead = 0;
    bool m_terminalOpened = false;
    std::unique_ptr<Terminal> m_terminal;
};

// ---------------------------------------------------------------------------
// The vault

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

std::vector<int> fileOrder(size_t count) {
    std::vector<int> order(count);
    std::iota(order.begin(), order.end(), 0);
    return order;
}

// An entry as a message names it: never by its password.
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

class Run {
public:
    explicit Run(const Parsed& p) : m_p(p), m_secrets(p.passwordStdin) {}

    int command() {
        const QString& name = m_p.command->name;
        if (name == QLatin1String("generate"))
            return generate();
        if (name == QLatin1String("completion")) {
            output(completion::script(m_p.arguments.at(0)).toUtf8());
            return Success;
        }
        // git's files, not a vault of ours; a password only for sealed ones.
        if (name == QLatin1String("git-merge"))
            return gitMerge();
        checkOptions();
        // Neither needs a password: backups asks for one only to count the
        // entries of sealed files, and a restore reads nothing of the vault.
        if (name == QLatin1String("backups"))
            return backups();
        if (name == QLatin1String("restore")) {
            if (!m_p.has(QStringLiteral("--yes")) && !m_secrets.terminal())
                fail(UserError, QStringLiteral("restore asks before it replaces the vault, and "
                                               "there is no terminal to ask on; add --yes"));
            return restore();
        }
        m_secrets.requireSource();
        if (name == QLatin1String("remove") && !m_p.has(QStringLiteral("--yes")) &&
            !m_secrets.terminal())
            fail(UserError, QStringLiteral("remove asks before it removes an entry, and there "
                                           "is no terminal to ask on; add --yes"));
        if (name == QLatin1String("init"))
            return init();
        if (name == QLatin1String("list"))
            return list();
        if (name == QLatin1String("show"))
            return show();
        if (name == QLatin1String("get"))
            return get();
        if (name == QLatin1String("clip"))
            return clip();
        if (name == QLatin1String("add"))
            return add();
        if (name == QLatin1String("edit"))
            return edit();
        if (name == QLatin1String("remove"))
            return remove();
        if (name == QLatin1String("passwd"))
            return passwd();
        if (name == QLatin1String("seal"))
            return seal();
        if (name == QLatin1String("unseal"))
            return unseal();
        if (name == QLatin1String("export"))
            return exportEntries();
        if (name == QLatin1String("import"))
            return importEntries();
        if (name == QLatin1String("merge"))
            return merge();
        return check();
    }

private:
    // Every failure of the session, told with what the session knows of the
    // vault's form.
    [[noreturn]] void failWith(const VaultSession::Status& status) const {
        cli::failWith(status, m_session && m_session->sealed());
    }

    // What the options say, checked before the vault is opened or anything
    // is asked.
    void checkOptions() {
        const QString& name = m_p.command->name;
        if (name == QLatin1String("export"))
            exportFormat();
        else if (name == QLatin1String("import"))
            importFormat();
        else if (name != QLatin1String("get"))
            formatNamed(m_p.value(QStringLiteral("--format")));
        if (const auto sort = m_p.value(QStringLiteral("--sort")))
            fieldNamed(QStringLiteral("--sort"), *sort);
        if (const auto field = m_p.value(QStringLiteral("--field")))
            fieldNamed(QStringLiteral("--field"), *field);
        if (const auto timeout = m_p.value(QStringLiteral("--timeout")))
            numberOf(QStringLiteral("--timeout"), *timeout, 0, kMaxTimeout,
                     QStringLiteral("number of seconds"));
        const bool generating = m_p.value(QStringLiteral("--generate")).has_value() ||
                                m_p.value(QStringLiteral("--words")).has_value();
        for (const Option& o : m_p.command->options)
            if ((!o.group.isEmpty() || o.name == QLatin1String("--show-password")) &&
                given(o.name) && !generating)
                fail(UserError, QStringLiteral("%1 goes with --generate or --words").arg(o.name));
        if (generating)
            recipe();
    }

    bool given(const QString& option) const {
        return m_p.has(option) || m_p.value(option).has_value();
    }

    // How a new password is to be made, from the generator options: for
    // `generate`, and for `add` and `edit` with --generate or --words.
    passwordgenerator::Recipe recipe() const {
        namespace pg = passwordgenerator;
        pg::Recipe r;
        if (const auto words = m_p.value(QStringLiteral("--words")))
            r.words = numberOf(QStringLiteral("--words"), *words, pg::kMinWords, pg::kMaxWords,
                               QStringLiteral("number of words"));
        const QString lengthOption = m_p.command->name == QLatin1String("generate")
                                         ? QStringLiteral("--length")
                                         : QStringLiteral("--generate");
        if (const auto length = m_p.value(lengthOption))
            r.length = lengthOf(lengthOption, *length);
        if (const auto kinds = m_p.value(QStringLiteral("--classes"))) {
            r.kinds = pg::kindsNamed(*kinds);
            if (r.kinds.isEmpty())
                fail(UserError, QStringLiteral("the value given to --classes is not a list of "
                                               "kinds; --classes takes upper, lower, digits and "
                                               "symbols, separated by commas"));
        }
        if (m_p.has(QStringLiteral("--no-symbols")))
            r.kinds.removeAll(QStringLiteral("symbols"));
        if (r.kinds.isEmpty())
            fail(UserError, QStringLiteral("--no-symbols leaves no kind of character to draw "
                                           "from"));
        if (const auto set = m_p.value(QStringLiteral("--characters"))) {
            for (const QString& kinds :
                 {QStringLiteral("--classes"), QStringLiteral("--no-symbols")})
                if (given(kinds))
                    fail(UserError, QStringLiteral("--characters and %1 both say what to draw "
                                                   "from; choose one")
                                        .arg(kinds));
            if (set->isEmpty())
                fail(UserError, QStringLiteral("--characters needs the characters to draw from"));
            r.characters = *set;
        }
        r.noLookAlikes = m_p.has(QStringLiteral("--no-look-alikes"));
        if (const auto separator = m_p.value(QStringLiteral("--separator")))
            r.separator = *separator;
        if (const auto list = m_p.value(QStringLiteral("--word-list")))
            r.wordList = *list;
        const QStringList forCharacters = {
            QStringLiteral("--classes"), QStringLiteral("--characters"),
            QStringLiteral("--no-symbols"), QStringLiteral("--no-look-alikes")};
        const QStringList forWords = {QStringLiteral("--separator"), QStringLiteral("--word-list")};
        for (const QString& o : r.words > 0 ? forCharacters : forWords)
            if (given(o))
                fail(UserError, r.words > 0
                                    ? QStringLiteral("%1 goes with characters, not --words").arg(o)
                                    : QStringLiteral("%1 goes with --words").arg(o));
        return r;
    }

    // A new password as the recipe makes it; how strong it is goes to
    // standard error, never the password.
    SecretText made() const {
        passwordgenerator::Made m = passwordgenerator::generate(recipe());
        if (!m.error.isEmpty())
            fail(UserError, m.error + QStringLiteral("; nothing was made or changed"));
        tell(QStringLiteral("Generated %1: %2 bits of entropy.").arg(m.how).arg(m.bits, 0, 'f', 1));
        return SecretText(std::move(m.password));
    }

    QString vaultPath() const {
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

    // Opens and locks the vault, asks for its master password and reads its
    // entries. A command that changes nothing takes the lock as well: a
    // save replaces the file by renaming a new one over it, and the lock
    // keeps a reader from meeting a vault that is half way there.
    // Nothing after this needs the master password as text: it is wiped,
    // and saves write the master line as it was read.
    void open(bool forChange, bool withEntries = true) {
        openLocked(forChange);
        unlock();
        if (withEntries) {
            if (const VaultSession::Status loaded = m_session->loadEntries(m_entries); !loaded.ok())
                failWith(loaded);
        }
    }

    // The vault opened and locked, before any password is asked: what can
    // be refused without one is refused here.
    void openLocked(bool forChange) {
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

    // A sealed vault is opened with the password here (its key takes about
    // half a second to derive).
    // The master password is given back only when `keep` asks for it.
    SecretText unlock(bool keep = false) {
        SecretText master = m_secrets.master();
        if (const VaultSession::Status unlocked = m_session->unlock(master.text()); !unlocked.ok())
            failWith(unlocked);
        m_session->forgetStoredPassword();
        markRestoredAnew();
        mergeConflictCopies(master.text());
        return keep ? std::move(master) : SecretText();
    }

    // A sealed vault put back by restore is a change made now: its entries
    // get new marks before anything merges with it.
    void markRestoredAnew() {
        if (m_session->sealed() && m_history->untrusted().isEmpty() &&
            restorenote::pending(m_history->folder(), m_session->path()))
            m_keeper->markAllAnew();
    }

    // A copy's path as it is told, its control characters escaped: anyone
    // who can put a file beside the vault chooses its name.
    static QString shownPath(const QString& path) {
        return vaultlocation::displayName(QDir::toNativeSeparators(path));
    }

    // The copies a sync engine left beside the vault when two computers
    // changed it apart are merged into it when it is opened; each is told.
    void mergeConflictCopies(QStringView master) {
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

    // A vault file that lost what this computer last saw in it (emptied by
    // a sync tool or a disk fault) is no vault never used: nothing is created
    // or written over it, and the person is told how to put it back.
    void refuseLostVault() const {
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

    // Keeps the vault as it is on disk among the backups, before `why`
    // rewrites it; without a backup nothing is written.
    void keepBackup(VaultHistory::Why why) const {
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
    void save(const File& file, std::optional<VaultHistory::Why> backup = std::nullopt) {
        refuseChangeFromOutside();
        if (backup)
            keepBackup(*backup);
        if (const VaultSession::Status saved = m_session->save(file); !saved.ok())
            failWith(saved);
    }

    // The same for a merge: a sealed vault's record is the merge's, which
    // knows where every entry came from.
    void saveMerged(const QByteArray& file, const QByteArray& record, VaultHistory::Why backup) {
        refuseChangeFromOutside();
        keepBackup(backup);
        if (const VaultSession::Status saved = m_session->saveWithRecord(file, record); !saved.ok())
            failWith(saved);
    }

    // Writing now would throw away unseen what another program wrote since
    // the vault was read.
    void refuseChangeFromOutside() const {
        if (m_session->changedOutside())
            fail(VaultError, QStringLiteral("the vault file was changed by another program after "
                                            "%1 read it; nothing was written, so that change "
                                            "stays. Run the command again.")
                                 .arg(kProgram));
    }

    void saveEntries(std::optional<VaultHistory::Why> backup = std::nullopt) {
        save(vaultformat::savedPiecesWithLine(m_session->masterLineAsRead(), m_entries,
                                              fileOrder(m_entries.size())),
             backup);
    }

    SecretText newMaster() {
        SecretText master = m_secrets.fresh(QStringLiteral("New master password: "),
                                            QStringLiteral("Repeat the new master password: "),
                                            QStringLiteral("the new master password"));
        // As the window demands, counting characters, not UTF-16 units.
        if (!vaultformat::longEnoughForMaster(master.text()))
            fail(UserError, QStringLiteral("the master password needs at least %1 characters; "
                                           "nothing was changed")
                                .arg(vaultformat::kMinMasterCharacters));
        return master;
    }

    SecretText newEntryPassword() {
        if (given(QStringLiteral("--generate")) || given(QStringLiteral("--words")))
            return made();
        SecretText password = m_secrets.fresh(QStringLiteral("Password for the entry: "),
                                              QStringLiteral("Repeat the password: "),
                                              QStringLiteral("the entry's password"));
        if (password.text().isEmpty())
            fail(UserError, QStringLiteral("you must enter a password; nothing was changed"));
        return password;
    }

    void showGenerated(const SecretText& password) {
        if (m_p.has(QStringLiteral("--show-password"))) {
            QByteArray utf8 = password.text().toUtf8();
            output(utf8);
            output("\n");
            secrets::wipe(utf8);
        }
    }

    std::vector<int> matches() const {
        const QString text = m_p.arguments.at(0).toCaseFolded();
        const bool exact = m_p.has(QStringLiteral("--exact"));
        std::vector<int> found;
        // Folded from the entries' bytes, without a string made per field.
        std::vector<char16_t> folded;
        for (size_t s = 0; s < m_entries.size(); ++s) {
            for (const int field : {EntryStore::Username, EntryStore::Location}) {
                folded.clear();
                m_entries.appendFolded(s, field, folded);
                const QStringView f(folded.data(), static_cast<qsizetype>(folded.size()));
                if (exact ? f == text : f.contains(text)) {
                    found.push_back(static_cast<int>(s));
                    break;
                }
            }
        }
        return found;
    }

    QString noMatch() const {
        return QStringLiteral("no entry's username or location %1 %2")
            .arg(m_p.has(QStringLiteral("--exact")) ? QStringLiteral("is")
                                                    : QStringLiteral("contains"),
                 quoted(m_p.arguments.at(0)));
    }

    // The one entry the text names; none or several is the user's to
    // resolve, with the candidates named.
    int oneMatch() const {
        const std::vector<int> found = matches();
        if (found.empty())
            fail(UserError, noMatch());
        if (found.size() > 1) {
            constexpr size_t kNamed = 20;
            QString message =
                QStringLiteral("%1 entries match %2; name one alone with a longer text or "
                               "--exact:")
                    .arg(found.size())
                    .arg(quoted(m_p.arguments.at(0)));
            for (size_t k = 0; k < found.size() && k < kNamed; ++k)
                message += QStringLiteral("\n  ") + named(m_entries, found[k]);
            if (found.size() > kNamed)
                message += QStringLiteral("\n  and %1 more").arg(found.size() - kNamed);
            fail(UserError, message);
        }
        return found.front();
    }

    void show(const std::vector<int>& rows) {
        output(listing::render(m_entries, rows, formatNamed(m_p.value(QStringLiteral("--format"))),
                               m_p.has(QStringLiteral("--show-passwords"))));
    }

    int init() {
        const QString path = vaultPath();
        // A new vault is made in a folder that is there: a misspelt path is
        // not a reason to make folders.
        const QString folder = QFileInfo(path).absolutePath();
        if (!QFileInfo(folder).isDir())
            fail(UserError, QStringLiteral("there is no folder %1 to make the vault in; create it "
                                           "first, or name another vault file")
                                .arg(QDir::toNativeSeparators(folder)));
        startSession(path);
        if (const VaultSession::Status opened = m_session->open(); !opened.ok())
            failWith(opened);
        refuseLostVault();
        // Nothing of a sealed vault is read before its password opens it, but
        // only a vault with a master password is ever sealed.
        if (m_session->hasMasterPassword())
            fail(UserError, QStringLiteral("the vault at %1 %2 a master password already; "
                                           "change it with `%3 passwd`")
                                .arg(QDir::toNativeSeparators(path),
                                     m_session->sealed() ? QStringLiteral("is sealed, and has")
                                                         : QStringLiteral("has"),
                                     kProgram));
        const SecretText master = newMaster();
        EntryStore kept;
        if (const VaultSession::Status created = m_session->createMaster(master.text(), kept);
            !created.ok())
            failWith(created);
        tell(QStringLiteral("Created the master password of %1.")
                 .arg(QDir::toNativeSeparators(path)) +
             (kept.empty() ? QString()
                           : QStringLiteral(" The file's %1 kept.")
                                 .arg(entriesCount(kept.size()) +
                                      (kept.size() == 1 ? QStringLiteral(" was")
                                                        : QStringLiteral(" were")))));
        return Success;
    }

    int list() {
        open(false);
        std::vector<int> order;
        const bool reverse = m_p.has(QStringLiteral("--reverse"));
        if (const auto sort = m_p.value(QStringLiteral("--sort"))) {
            order = entrysort::sortedSlots(m_entries, fieldNamed(QStringLiteral("--sort"), *sort),
                                           !reverse);
        } else {
            order = fileOrder(m_entries.size());
            if (reverse)
                std::reverse(order.begin(), order.end());
        }
        show(order);
        return Success;
    }

    int show() {
        open(false);
        const std::vector<int> found = matches();
        if (found.empty())
            fail(UserError, noMatch());
        show(found);
        return Success;
    }

    // The field --field names, or the password: what a person looks an
    // entry up for.
    int fieldAsked() const {
        const auto name = m_p.value(QStringLiteral("--field"));
        return name ? fieldNamed(QStringLiteral("--field"), *name) : int(EntryStore::Password);
    }

    int get() {
        open(false);
        const int slot = oneMatch();
        if (m_p.value(QStringLiteral("--format")) == QLatin1String("json")) {
            std::vector<int> fields = {EntryStore::Username, EntryStore::Password,
                                       EntryStore::Location};
            if (m_p.value(QStringLiteral("--field")))
                fields = {fieldAsked()};
            output(listing::renderObject(m_entries, slot, fields));
            return Success;
        }
        output(m_entries.field(static_cast<size_t>(slot), fieldAsked()).toUtf8() + '\n');
        return Success;
    }

    int clip() {
        const int seconds =
            m_p.value(QStringLiteral("--timeout"))
                ? numberOf(QStringLiteral("--timeout"), *m_p.value(QStringLiteral("--timeout")), 0,
                           kMaxTimeout, QStringLiteral("number of seconds"))
                : kDefaultTimeout;
        open(false);
        const int slot = oneMatch();
        const int field = fieldAsked();
        const SecretText text(m_entries.field(static_cast<size_t>(slot), field));
        const QString name = named(m_entries, slot);
        // The clipboard's process holds no lock: the vault is let go first.
        m_session.reset();
        m_entries = EntryStore();
        qint64 process = 0;
        if (const QString why =
                clipboard::offer(text.text(), field == EntryStore::Password, seconds, &process);
            !why.isEmpty())
            fail(UserError, QStringLiteral("nothing was put on the clipboard: %1").arg(why));
        static const char* const fields[] = {"username", "password", "location"};
        const QString copied = QStringLiteral("Copied the %1 of %2 to the clipboard")
                                   .arg(QLatin1String(fields[field]), name);
        if (seconds == 0)
            tell(copied + QStringLiteral(" (process %1 keeps it on offer until something else is "
                                         "copied).")
                              .arg(process));
        else
            tell(copied + QStringLiteral("; it is cleared in %1 unless something else is copied "
                                         "first (process %2 keeps it on offer until then).")
                              .arg(seconds == 1 ? QStringLiteral("1 second")
                                                : QStringLiteral("%1 seconds").arg(seconds))
                              .arg(process));
        return Success;
    }

    int add() {
        const QString username = m_p.value(QStringLiteral("--username")).value_or(QString());
        if (username.isEmpty())
            fail(UserError, QStringLiteral("you must enter a username: --username U"));
        open(true);
        const SecretText password = newEntryPassword();
        m_entries.append(Entry{username, password.text(),
                               m_p.value(QStringLiteral("--location")).value_or(QString())});
        saveEntries();
        tell(QStringLiteral("Added %1. The vault holds %2.")
                 .arg(named(m_entries, static_cast<int>(m_entries.size() - 1)),
                      entriesCount(m_entries.size())));
        showGenerated(password);
        return Success;
    }

    int edit() {
        const auto username = m_p.value(QStringLiteral("--username"));
        const auto location = m_p.value(QStringLiteral("--location"));
        const bool newPassword = m_p.has(QStringLiteral("--password")) ||
                                 given(QStringLiteral("--generate")) ||
                                 given(QStringLiteral("--words"));
        if (!username && !location && !newPassword)
            fail(UserError, QStringLiteral("nothing to change: give --username, --location, "
                                           "--password, --generate or --words"));
        if (username && username->isEmpty())
            fail(UserError, QStringLiteral("you must enter a username; nothing was changed"));
        open(true);
        const int slot = oneMatch();
        // Outlives the entry that shares it, so that it is the last holder.
        const SecretText password = newPassword ? newEntryPassword() : SecretText();
        Entry entry = m_entries.entry(static_cast<size_t>(slot));
        if (username)
            entry.username = *username;
        if (location)
            entry.location = *location;
        if (newPassword)
            entry.password = password.text();
        m_entries.replace(static_cast<size_t>(slot), entry);
        saveEntries();
        tell(QStringLiteral("Changed %1.").arg(named(m_entries, slot)));
        showGenerated(password);
        return Success;
    }

    int remove() {
        open(true);
        const int slot = oneMatch();
        const QString name = named(m_entries, slot);
        if (!m_p.has(QStringLiteral("--yes"))) {
            Terminal* t = m_secrets.terminal();
            std::optional<QByteArray> answer =
                t ? t->readAnswer(QStringLiteral("Remove %1? [y/N] ").arg(name)) : std::nullopt;
            const QString a = answer ? QString::fromUtf8(*answer).trimmed().toLower() : QString();
            // Declining is an answer, not a mistake.
            if (a != QLatin1String("y") && a != QLatin1String("yes")) {
                tell(QStringLiteral("Nothing was removed."));
                return Success;
            }
        }
        m_entries.erase(static_cast<size_t>(slot));
        saveEntries();
        tell(QStringLiteral("Removed %1. The vault holds %2.")
                 .arg(name, entriesCount(m_entries.size())));
        return Success;
    }

    int generate() {
        const SecretText password = made();
        QByteArray utf8 = password.text().toUtf8() + '\n';
        output(utf8);
        secrets::wipe(utf8);
        return Success;
    }

    // Only the first line changes: every byte after it, odd lines and all,
    // stays as it was.
    int passwd() {
        openLocked(true);
        // Kept until the new one is compared with it.
        const SecretText current = unlock(true);
        const SecretText master = newMaster();
        if (master.text() == current.text())
            fail(UserError, QStringLiteral("the new master password is the one the vault has "
                                           "already; nothing was changed"));
        refuseChangeFromOutside();
        keepBackup(VaultHistory::Why::Password);
        if (const VaultSession::Status changed = m_session->changeMaster(master.text());
            !changed.ok())
            failWith(changed);
        tell(m_session->sealed()
                 ? QStringLiteral("Changed the master password. The vault is sealed under a new "
                                  "key made from it: the old password opens nothing.")
                 : QStringLiteral("Changed the master password."));
        return Success;
    }

    int seal() {
        openLocked(true);
        const QString path = QDir::toNativeSeparators(m_session->path());
        if (m_session->sealed())
            fail(UserError, QStringLiteral("the vault at %1 is sealed already; nothing was "
                                           "changed")
                                .arg(path));
        // Only the vault's own master password seals it: a sealed vault opens
        // only with the password its first line holds. Checked before the
        // backup, which a mistyped password must not cost.
        const SecretText master = m_secrets.master();
        if (!m_session->verify(master.text()))
            failWith({VaultSession::Failure::WrongPassword, {}});
        keepBackup(VaultHistory::Why::Seal);
        const sealedvault::SealParams params = sealedvault::SealParams::defaults();
        if (const VaultSession::Status sealed = m_session->seal(master.text(), params);
            !sealed.ok())
            failWith(sealed);
        tell(QStringLiteral("Sealed the vault at %1 under a key made from its master password "
                            "(%2). Every change keeps it sealed; `%3 unseal` turns it back into "
                            "the plain form.")
                 .arg(path, keyCost(params), kProgram));
        // Only now that the sealed vault is on disk: what this computer kept
        // of it in the plain form, the backup just made included, is sealed
        // or wiped.
        tellSealedKept(m_history->sealKept(m_session->key(), master.text()));
        tell(QStringLiteral("Warning: a sealed vault opens with its master password and nothing "
                            "else. If the master password is forgotten, nobody can read the "
                            "vault again, Keynook included."));
        return Success;
    }

    void tellSealedKept(const VaultHistory::SealedKept& kept) const {
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

    int unseal() {
        openLocked(true);
        const QString path = QDir::toNativeSeparators(m_session->path());
        if (!m_session->sealed())
            fail(UserError,
                 QStringLiteral("the vault at %1 is not sealed; nothing was changed").arg(path));
        unlock();
        keepBackup(VaultHistory::Why::Unseal);
        if (const VaultSession::Status unsealed = m_session->unseal(); !unsealed.ok())
            failWith(unsealed);
        tell(QStringLiteral("Unsealed the vault at %1: it is in the plain form again, whose "
                            "cipher only hides the text from a glance. Anyone with the file can "
                            "read it.")
                 .arg(path));
        return Success;
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

    int backups() {
        const QString path = vaultPath();
        const std::unique_ptr<VaultHistory> history = historyOf(path);
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
        if (anySealed && (m_secrets.fromStandardInput() || m_secrets.terminal()))
            master = m_secrets.master(
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
            for (int c = 0; c < 5; ++c) {
                qsizetype width = 0;
                for (const QString& cell : columns[c])
                    width = std::max(width, cell.size());
                text += c == 4 ? columns[c][line] : columns[c][line].leftJustified(width + 2);
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

    int restore() {
        bool isNumber = false;
        const int number = m_p.arguments.at(0).toInt(&isNumber);
        if (!isNumber || number < 1)
            fail(UserError, QStringLiteral("restore takes the number of one backup, as `%1 "
                                           "backups` lists them")
                                .arg(kProgram));
        const QString path = vaultPath();
        startSession(path);
        if (const VaultSession::Status opened = m_session->open(); !opened.ok())
            failWith(opened);
        if (m_session->readOnly())
            failWith({VaultSession::Failure::ReadOnly, {}});
        // Numbered as `backups` numbers them, against the vault as it is now,
        // under the lock.
        const vaultfile::ReadResult now = vaultfile::readAll(path);
        if (!now.ok)
            failWith(
                {now.tooLarge ? VaultSession::Failure::TooLarge : VaultSession::Failure::Unreadable,
                 now.error});
        if (const QString why = m_history->untrusted(); !why.isEmpty())
            fail(VaultError, QStringLiteral("this computer's history of the vault is not used, "
                                            "as %1; nothing was restored")
                                 .arg(why));
        const std::vector<VaultHistory::Restorable> rows = m_history->restorable(now.data);
        if (static_cast<size_t>(number) > rows.size())
            fail(UserError,
                 QStringLiteral("there is no number %1: `%2 backups` lists %3")
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
        if (!m_p.has(QStringLiteral("--yes"))) {
            Terminal* t = m_secrets.terminal();
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
        refuseChangeFromOutside();
        if (keepsNow)
            keepBackup(VaultHistory::Why::Restore);
        if (const VaultSession::Status put = m_session->putBack(backup.data); !put.ok())
            failWith(put);
        restorenote::write(m_history->folder(), backup.data);
        QString told =
            QStringLiteral("Restored %1 as the vault at %2; it is %3, as it was then.")
                .arg(named, QDir::toNativeSeparators(path),
                     sealedvault::isSealed(backup.data) ? QStringLiteral("sealed")
                                                        : QStringLiteral("in the plain form"));
        // Where the vault as it was now stands, to undo this.
        const std::vector<VaultHistory::Restorable> after = m_history->restorable(backup.data);
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

    int check() {
        open(false, false);
        // Under the lock, nobody that keeps to it has written since the
        // vault was opened; the entries are read from these same bytes.
        const vaultfile::ReadResult read = vaultfile::readAll(m_session->path());
        if (!read.ok)
            failWith({read.tooLarge ? VaultSession::Failure::TooLarge
                                    : VaultSession::Failure::Unreadable,
                      read.error});
        if (m_session->changedOutside())
            fail(VaultError, QStringLiteral("the vault file was changed by another program while "
                                            "it was being checked; run the command again"));
        // A sealed vault's lines are those of the bytes it seals.
        QByteArray file;
        if (const VaultSession::Status opened = m_session->plainOf(read.data, file); !opened.ok())
            failWith(opened);
        m_entries = EntryStore::fromFile(file);
        const bool sealed = m_session->sealed();
        if (sealed)
            m_entries.wipeWhenFreed();
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
        // What a save writes: the master line as it is, as saveEntries() does.
        QByteArray saved = vaultformat::savedPiecesWithLine(vaultformat::masterLineOf(file),
                                                            m_entries, fileOrder(m_entries.size()))
                               .joined();
        QString report =
            QStringLiteral("Vault: %1\nSealed: %2\nEntries: %3\nLines that are not entries: %4\n")
                .arg(QDir::toNativeSeparators(m_session->path()),
                     sealed ? QStringLiteral("yes, under a key from the master password (%1)")
                                  .arg(keyCost(m_session->sealParams()))
                            : QStringLiteral("no"))
                .arg(m_entries.size())
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

    // Where an export goes: a file's path, or empty for standard output.
    QString exportTarget() const {
        const QString target = m_p.arguments.value(0);
        return target == QLatin1String("-") ? QString() : target;
    }

    struct ExportFormat {
        interchange::Format format;
        interchange::Layout layout;
    };

    ExportFormat exportFormat() const {
        const auto format = m_p.value(QStringLiteral("--format"));
        const auto layoutName = m_p.value(QStringLiteral("--layout"));
        interchange::Format f = interchange::Format::Csv;
        if (format == QStringLiteral("json"))
            f = interchange::Format::Json;
        else if (format == QStringLiteral("xml"))
            f = interchange::Format::KeePassXml;
        else if (format && *format != QLatin1String("csv"))
            fail(UserError, QStringLiteral("the value given to --format is not a format export "
                                           "writes; --format takes csv, json or xml for export"));
        else if (!format && exportTarget().endsWith(QLatin1String(".json"), Qt::CaseInsensitive))
            f = interchange::Format::Json;
        else if (!format && exportTarget().endsWith(QLatin1String(".xml"), Qt::CaseInsensitive))
            f = interchange::Format::KeePassXml;
        const QString shownAs = formatName(f, interchange::Layout::Keynook);
        interchange::Layout layout = interchange::Layout::Keynook;
        if (layoutName) {
            const auto layoutIs = interchange::layoutNamed(*layoutName);
            if (!layoutIs)
                fail(UserError, QStringLiteral("the value given to --layout is not a layout; "
                                               "--layout takes %1")
                                    .arg(interchange::layoutNames()));
            layout = *layoutIs;
            if (f != interchange::Format::Csv)
                fail(UserError,
                     QStringLiteral("--layout names CSV columns; %1 has one layout").arg(shownAs));
        }
        if (f != interchange::Format::Csv && m_p.has(QStringLiteral("--spreadsheet-safe")))
            fail(UserError, QStringLiteral("--spreadsheet-safe guards CSV cells; %1 is not "
                                           "opened as a spreadsheet")
                                .arg(shownAs));
        return {f, layout};
    }

    std::optional<interchange::Format> importFormat() const {
        const auto format = m_p.value(QStringLiteral("--format"));
        if (!format || *format == QLatin1String("auto"))
            return std::nullopt;
        if (*format == QLatin1String("csv"))
            return interchange::Format::Csv;
        if (*format == QLatin1String("json"))
            return interchange::Format::Json;
        if (*format == QLatin1String("xml"))
            return interchange::Format::KeePassXml;
        if (*format == QLatin1String("bitwarden"))
            return interchange::Format::BitwardenJson;
        fail(UserError, QStringLiteral("the value given to --format is not a format import "
                                       "reads; --format takes auto, csv, json, xml or bitwarden "
                                       "for import"));
    }

    // The export file is new, and its owner's alone from the start: it holds
    // every password in plain text, so it never replaces a file (a link
    // put there included) nor is readable by others for a moment.
    static void writeNewFile(const QString& path, const QByteArray& bytes) {
        const QString shown = QDir::toNativeSeparators(path);
        const int fd = ::open(QFile::encodeName(path).constData(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST)
                fail(UserError, QStringLiteral("%1 exists already, and export never replaces a "
                                               "file: choose another name, or remove it first")
                                    .arg(shown));
            fail(UserError, QStringLiteral("%1 could not be created: %2")
                                .arg(shown, QString::fromLocal8Bit(std::strerror(errno))));
        }
        qsizetype done = 0;
        int error = 0;
        while (done < bytes.size() && error == 0) {
            const ssize_t n =
                ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
            if (n > 0)
                done += n;
            else if (n < 0 && errno != EINTR)
                error = errno;
            else if (n == 0)
                error = EIO;
        }
        if (error == 0 && ::fsync(fd) != 0)
            error = errno;
        if (::close(fd) != 0 && error == 0)
            error = errno;
        if (error != 0) {
            // Half an export is of no use to anyone, and still holds secrets.
            ::unlink(QFile::encodeName(path).constData());
            fail(UserError, QStringLiteral("%1 could not be written, and was removed: %2")
                                .arg(shown, QString::fromLocal8Bit(std::strerror(error))));
        }
    }

    int exportEntries() {
        const ExportFormat how = exportFormat();
        const QString target = exportTarget();
        // Refused before the master password is asked for.
        if (!target.isEmpty() && (QFileInfo::exists(target) || QFileInfo(target).isSymLink()))
            fail(UserError, QStringLiteral("%1 exists already, and export never replaces a file: "
                                           "choose another name, or remove it first")
                                .arg(QDir::toNativeSeparators(target)));
        open(false);
        const interchange::Cells cells = m_p.has(QStringLiteral("--spreadsheet-safe"))
                                             ? interchange::Cells::SpreadsheetSafe
                                             : interchange::Cells::Exact;
        const interchange::ExportResult exported =
            how.format == interchange::Format::Json ? interchange::exportJson(m_entries)
            : how.format == interchange::Format::KeePassXml
                ? interchange::exportKeePassXml(m_entries)
                : interchange::exportCsv(m_entries, how.layout, cells);
        if (!exported.ok())
            fail(UserError, QStringLiteral("nothing was exported: ") + exported.error);
        const QString as = formatName(how.format, how.layout);
        if (target.isEmpty()) {
            output(exported.bytes);
            tell(QStringLiteral("Exported %1 as %2.").arg(entriesCount(m_entries.size()), as));
        } else {
            writeNewFile(target, exported.bytes);
            tell(QStringLiteral("Exported %1 to %2 as %3. It holds every password in plain text: "
                                "keep it private, and delete it once it has served.")
                     .arg(entriesCount(m_entries.size()), QDir::toNativeSeparators(target), as));
        }
        exportWarnings(exported, how.layout, cells);
        return Success;
    }

    // What the manager importing an export will not take as it is, and what
    // a spreadsheet opening it would run.
    void exportWarnings(const interchange::ExportResult& exported, interchange::Layout layout,
                        interchange::Cells cells) const {
        if (const size_t n = exported.notWebAddresses.size(); n > 0) {
            constexpr size_t kNamed = 5;
            QStringList names;
            for (size_t k = 0; k < n && k < kNamed; ++k)
                names << named(m_entries, static_cast<int>(exported.notWebAddresses[k]));
            if (n > kNamed)
                names << QStringLiteral("and %1 more").arg(n - kNamed);
            tell(QStringLiteral("Warning: the import of %1 passes over entries whose location is "
                                "not a web address (http or https): it will leave out %2: %3.")
                     .arg(QString::fromUtf8(interchange::layoutTable(layout).shownAs),
                          entriesCount(n), names.join(QStringLiteral("; "))));
        }
        if (const qsizetype n = exported.formulaCells; n > 0) {
            const QString count =
                n == 1 ? QStringLiteral("1 cell") : QStringLiteral("%1 cells").arg(n);
            tell(
                cells == interchange::Cells::SpreadsheetSafe
                    ? QStringLiteral("%1 that started with =, +, -, @, a tab or a carriage return "
                                     "%2 written with a ' before %3, so that a spreadsheet shows "
                                     "%3 as text; the file no longer holds %4 exactly.")
                          .arg(count, n == 1 ? QStringLiteral("was") : QStringLiteral("were"),
                               n == 1 ? QStringLiteral("it") : QStringLiteral("them"),
                               n == 1 ? QStringLiteral("that cell") : QStringLiteral("those"))
                    : QStringLiteral("Warning: %1 %2 with =, +, -, @, a tab or a carriage "
                                     "return, which a spreadsheet opening the file may run as a "
                                     "formula. The export is exact; --spreadsheet-safe writes "
                                     "such cells with a ' before them.")
                          .arg(count, n == 1 ? QStringLiteral("starts") : QStringLiteral("start")));
        }
    }

    int importEntries() {
        // The file is read and judged before the vault is opened: a file
        // that cannot be taken whole changes nothing and asks for nothing.
        const QString source = m_p.arguments.at(0);
        // "-" is standard input, as `export -` writes standard output; it
        // cannot carry the master password's line too.
        const bool fromInput = source == QLatin1String("-");
        if (fromInput && m_p.passwordStdin)
            fail(UserError, QStringLiteral("import - reads the file from standard input, which "
                                           "then cannot give --password-stdin's master password "
                                           "too; type it on the terminal, or import a file"));
        const QString shown =
            fromInput ? QStringLiteral("standard input") : QDir::toNativeSeparators(source);
        // No vault holds more than a vault file does: a larger input is
        // refused at that size, and read no further (a device such as
        // /dev/zero never ends).
        const interchange::Input input = interchange::readInput(
            fromInput ? QStringLiteral("/dev/stdin") : source, vaultfile::kMaxVaultBytes);
        if (input.tooLarge)
            fail(UserError, QStringLiteral("%1 is larger than any vault holds (%2 MiB), so it was "
                                           "not read past that; nothing was imported")
                                .arg(shown)
                                .arg(vaultfile::kMaxVaultBytes / (1024 * 1024)));
        if (!input.ok())
            fail(UserError, QStringLiteral("%1 could not be read: %2").arg(shown, input.error));
        interchange::EncodedImport imported =
            interchange::importEncoded(input.bytes, importFormat());
        if (!imported.ok())
            fail(UserError, QStringLiteral("%1 was not imported, and nothing was changed: %2")
                                .arg(shown, imported.error));
        if (m_p.has(QStringLiteral("--strict")) && imported.dropsAnything())
            fail(UserError, QStringLiteral("%1 was not imported, and nothing was changed: with "
                                           "--strict nothing may be left out, and the file holds "
                                           "what Keynook does not keep: %2")
                                .arg(shown, notKept(imported).join(QStringLiteral(", "))));

        const bool dryRun = m_p.has(QStringLiteral("--dry-run"));
        open(!dryRun);
        const interchange::Addition plan = interchange::planAddition(m_entries, imported);
        const size_t holds = m_entries.size() + static_cast<size_t>(plan.added);
        if (!dryRun) {
            interchange::add(m_entries, std::move(imported.entries), plan);
            if (plan.added > 0)
                saveEntries(VaultHistory::Why::Import);
        }
        tell(importSummary(shown, imported, plan, holds, dryRun));
        return Success;
    }

    // What a file held that an import leaves out.
    static QStringList notKept(const interchange::ImportReport& imported) {
        return cellsNotKept(imported) + itemsSkipped(imported);
    }

    static QStringList cellsNotKept(const interchange::ImportReport& imported) {
        QStringList parts;
        for (const interchange::NotKept& n : imported.notKept)
            parts << n.counted();
        return parts;
    }

    // The items of a file that an import skips whole for what they are.
    static QStringList itemsSkipped(const interchange::ImportReport& imported) {
        QStringList parts;
        if (const qsizetype n = imported.skippedNotLogins; n > 0)
            parts << (n == 1 ? QStringLiteral("1 item that is not a login")
                             : QStringLiteral("%1 items that are not logins").arg(n));
        if (const qsizetype n = imported.skippedHistory; n > 0)
            parts << (n == 1
                          ? QStringLiteral("1 older version of an entry (its history)")
                          : QStringLiteral("%1 older versions of entries (their history)").arg(n));
        if (const qsizetype n = imported.skippedRecycled; n > 0)
            parts << (n == 1 ? QStringLiteral("1 entry in the recycle bin")
                             : QStringLiteral("%1 entries in the recycle bin").arg(n));
        return parts;
    }

    // "CSV in the keepassxc layout", "KeePass XML".
    static QString formatName(interchange::Format format, interchange::Layout layout) {
        switch (format) {
        case interchange::Format::Json:
            return QStringLiteral("JSON");
        case interchange::Format::KeePassXml:
            return QStringLiteral("KeePass XML");
        case interchange::Format::BitwardenJson:
            return QStringLiteral("Bitwarden JSON");
        case interchange::Format::Csv:
            break;
        }
        return QStringLiteral("CSV in the %1 layout").arg(interchange::layoutName(layout));
    }

    // What an import did, or would do with --dry-run.
    static QString importSummary(const QString& shown, const interchange::ImportReport& imported,
                                 const interchange::Addition& plan, size_t holds, bool dryRun) {
        const QString from = formatName(imported.format, imported.layout);
        QString text = (dryRun ? QStringLiteral("Would import %1 from %2 (%3).")
                               : QStringLiteral("Imported %1 from %2 (%3)."))
                           .arg(entriesCount(static_cast<size_t>(plan.added)), shown, from);
        const auto ofThem = [](qsizetype n, const char* one, const char* many) {
            return QStringLiteral(" %1 of them %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
        };
        if (plan.repeated > 0)
            text += ofThem(plan.repeated, "repeats an entry before it in the file.",
                           "repeat an entry before them in the file.");
        if (plan.repeatedButForNotKept > 0)
            text += ofThem(plan.repeatedButForNotKept,
                           "differs from an entry before it in the file only in what is not kept.",
                           "differ from an entry before them in the file only in what is not "
                           "kept.");
        if (plan.inVault > 0)
            text += QStringLiteral(" Skipped %1 already in the vault.")
                        .arg(entriesCount(static_cast<size_t>(plan.inVault)));
        if (plan.inVaultButForNotKept > 0)
            text += QStringLiteral(" Skipped %1 that the vault holds but for what is not kept.")
                        .arg(entriesCount(static_cast<size_t>(plan.inVaultButForNotKept)));
        if (const qsizetype n = imported.skippedEmpty; n > 0)
            text +=
                QStringLiteral(" Skipped %1 with no username, password or location.")
                    .arg(n == 1 ? QStringLiteral("1 record") : QStringLiteral("%1 records").arg(n));
        for (const QString& skipped : itemsSkipped(imported))
            text += QStringLiteral(" Skipped %1.").arg(skipped);
        const QStringList lost = cellsNotKept(imported);
        if (!lost.isEmpty())
            text += QStringLiteral(" Not kept: %1.").arg(lost.join(QStringLiteral(", ")));
        text += dryRun ? QStringLiteral(" The vault would hold %1. Nothing was written "
                                        "(--dry-run).")
                             .arg(entriesCount(holds))
                       : QStringLiteral(" The vault holds %1.").arg(entriesCount(holds));
        return text;
    }

    // The session on the vault at `path`, every state of which that it reads
    // or writes is kept in this computer's history of the vault: the base of
    // later merges.
    void startSession(const QString& path) {
        m_session = std::make_unique<VaultSession>(path);
        m_history = historyOf(path);
        m_history->follow(*m_session);
        m_keeper = std::make_unique<RecordKeeper>();
        m_session->keepRecordWith(m_keeper.get());
    }

    static std::unique_ptr<VaultHistory> historyOf(const QString& path) {
        return std::make_unique<VaultHistory>(
            QStandardPaths::writableLocation(QStandardPaths::AppDataLocation),
            vaultfile::realFilePath(path));
    }

    // A file to merge, as read; refused when it is no vault Keynook wrote.
    // An empty file is no vault, but git gives one as the base of a file
    // that both branches added (`mayBeEmpty`).
    static QByteArray readCopy(const QString& path, bool mayBeEmpty = false) {
        const QString shown = QDir::toNativeSeparators(path);
        vaultfile::ReadResult read = vaultfile::readAll(path);
        if (read.tooLarge)
            fail(UserError, QStringLiteral("%1 is larger than any vault Keynook writes; nothing "
                                           "was merged")
                                .arg(shown));
        if (!read.ok)
            fail(UserError, QStringLiteral("%1 could not be read: %2; nothing was merged")
                                .arg(shown, read.error));
        if (!(mayBeEmpty && read.data.isEmpty()))
            if (const QString why = VaultHistory::notRestorable(read.data); !why.isEmpty()) {
                secrets::wipe(read.data);
                fail(UserError, QStringLiteral("%1 is not a vault Keynook wrote (%2); nothing was "
                                               "merged")
                                    .arg(shown, why));
            }
        return std::move(read.data);
    }

    // Another copy in the plain form. One the password does not open is
    // not merged, and nothing is written.
    static vaultcopy::Opened openCopy(const QString& shown, QByteArray bytes, QStringView password,
                                      const sealedvault::SealKey* known) {
        vaultcopy::Opened o = vaultcopy::open(std::move(bytes), password, known);
        switch (o.outcome) {
        case vaultcopy::Outcome::Ok:
            return o;
        case vaultcopy::Outcome::WrongPassword:
            fail(UserError, QStringLiteral("%1 is sealed, and the master password does not open "
                                           "it (it was sealed under another password, or its key "
                                           "header was changed); it was left as it is, and "
                                           "nothing was merged")
                                .arg(shown));
        case vaultcopy::Outcome::Damaged:
            fail(VaultError, QStringLiteral("%1 is a sealed vault that is damaged, or was changed "
                                            "outside Keynook (%2); it was left as it is, and "
                                            "nothing was merged")
                                 .arg(shown, o.why));
        case vaultcopy::Outcome::Refused:
            fail(VaultError, QStringLiteral("%1 cannot be opened on this computer (%2); nothing "
                                            "was merged")
                                 .arg(shown, o.why));
        }
        return o;
    }

    static QString namedCopy(const vaultmerge::Named& n) {
        const QString user = listing::oneLine(n.username, listing::kMaxCellWidth);
        return n.location.isEmpty() ? user + QStringLiteral(" (no location)")
                                    : user + QStringLiteral(" at ") +
                                          listing::oneLine(n.location, listing::kMaxCellWidth);
    }

    // What one merge brought, for the person.
    static QString merged(const QString& shown, const vaultmerge::Report& r) {
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

    [[noreturn]] static void masterConflict(const QString& shown, const QString& where) {
        fail(UserError, QStringLiteral("%1 and %2 each hold another master password, and the "
                                       "base does not tell which one is new; nothing was merged "
                                       "or written. Change one of them to the other's password "
                                       "and merge again.")
                            .arg(shown, where));
    }

    int merge() {
        openLocked(true);
        // Kept past the unlock: a sealed copy under another salt needs it.
        const SecretText master = m_secrets.master();
        if (const VaultSession::Status unlocked = m_session->unlock(master.text()); !unlocked.ok())
            failWith(unlocked);
        m_session->forgetStoredPassword();
        markRestoredAnew();
        QByteArray ours;
        if (const VaultSession::Status opened = m_session->plainNow(ours); !opened.ok())
            failWith(opened);
        const bool sealed = m_session->sealed();
        const sealedvault::SealKey* key = sealed ? &m_session->key() : nullptr;
        // A base is only for plain copies: sealed ones carry what they saw.
        std::optional<vaultcopy::Opened> given;
        if (const auto basePath = m_p.value(QStringLiteral("--base")); basePath && !sealed)
            given = openCopy(QDir::toNativeSeparators(*basePath), readCopy(*basePath),
                             master.text(), key);
        record::Record oursRecord;
        if (sealed)
            oursRecord = m_keeper->last() ? *m_keeper->last() : RecordKeeper::read(ours, {});
        QStringList told;
        bool changed = false;
        for (const QString& path : m_p.arguments) {
            const QString shown = QDir::toNativeSeparators(path);
            vaultcopy::Opened copy = openCopy(shown, readCopy(path), master.text(), key);
            if (copy.sealed && !sealed) {
                secrets::wipe(copy.plain);
                fail(UserError, QStringLiteral("%1 is sealed and the vault is not; nothing was "
                                               "merged. Seal the vault (%2 seal) and merge it "
                                               "then.")
                                    .arg(shown, kProgram));
            }
            copymerge::Merged r;
            if (given) {
                vaultmerge::Result three = vaultmerge::merge(given->plain, ours, copy.plain);
                r.outcome = three.outcome;
                r.file = std::move(three.file);
                r.report = std::move(three.report);
                r.changed = !r.report.unchanged();
            } else {
                r = copymerge::mergeCopy(ours, sealed ? &oursRecord : nullptr, copy.plain,
                                         copy.record);
            }
            secrets::wipe(copy.plain);
            if (r.outcome == vaultmerge::Outcome::MasterConflict)
                masterConflict(shown, QStringLiteral("the vault"));
            changed = changed || r.changed;
            told << merged(shown, r.report);
            secrets::wipe(ours);
            ours = std::move(r.file);
            if (sealed)
                oursRecord = RecordKeeper::read(ours, r.record);
        }

        if (changed)
            saveMerged(ours, sealed ? record::encode(oursRecord) : QByteArray(),
                       VaultHistory::Why::Merge);
        for (const QString& line : told)
            tell(line);
        tell(QStringLiteral("The vault holds %1.")
                 .arg(entriesCount(EntryStore::fromFile(ours).size())));
        // The last holder of each opened state wipes it.
        secrets::wipe(ours);
        return Success;
    }

    int gitMerge() {
        const QString basePath = m_p.arguments.at(0);
        const QString oursPath = m_p.arguments.at(1);
        const QString theirsPath = m_p.arguments.at(2);
        QByteArray base = readCopy(basePath, true);
        QByteArray ours = readCopy(oursPath);
        QByteArray theirs = readCopy(theirsPath);
        // A password only when a file needs one: plain files merge unasked.
        SecretText master;
        if (sealedvault::isSealed(base) || sealedvault::isSealed(ours) ||
            sealedvault::isSealed(theirs)) {
            m_secrets.requireSource();
            master = m_secrets.master();
        }
        // Ours first: the others were most likely sealed under its key.
        // git's files have names of its own making: they are named by role.
        vaultcopy::Opened o =
            openCopy(QStringLiteral("Our version"), std::move(ours), master.text(), nullptr);
        vaultcopy::Opened b =
            openCopy(QStringLiteral("The base version"), std::move(base), master.text(), &o.key);
        vaultcopy::Opened t =
            openCopy(QStringLiteral("Their version"), std::move(theirs), master.text(), &o.key);
        // The form is a change like any other: the side that sealed or
        // unsealed since the base is followed.
        const bool sealedResult = o.sealed == t.sealed   ? o.sealed
                                  : b.sealed == o.sealed ? t.sealed
                                                         : o.sealed;
        const sealedvault::SealKey& key =
            !o.key.isNull() && o.sealed == sealedResult ? o.key : t.key;
        // Copies that both carry what they saw merge exactly, with no base;
        // others merge with git's base.
        copymerge::Merged r;
        if (o.sealed && t.sealed && !o.record.isEmpty() && !t.record.isEmpty()) {
            r = copymerge::mergeSealed(o.plain, o.record, t.plain, t.record);
        } else {
            vaultmerge::Result three = vaultmerge::merge(b.plain, o.plain, t.plain);
            r.outcome = three.outcome;
            r.file = std::move(three.file);
            r.report = std::move(three.report);
        }
        for (QByteArray* plain : {&o.plain, &b.plain, &t.plain})
            secrets::wipe(*plain);
        if (r.outcome == vaultmerge::Outcome::MasterConflict)
            masterConflict(QStringLiteral("Ours"), QStringLiteral("theirs"));
        if (sealedResult && r.record.isEmpty())
            r.record = record::encode(RecordKeeper::read(r.file, {}));
        QByteArray result =
            sealedResult ? sealedvault::sealWithRecord(r.file, r.record, key) : r.file;
        secrets::wipe(r.file);
        if (result.isEmpty())
            fail(VaultError, QStringLiteral("the merged vault could not be sealed; nothing was "
                                            "written"));
        if (const vaultfile::Result saved = vaultfile::saveAtomically(oursPath, result); !saved.ok)
            fail(VaultError, QStringLiteral("the merged vault could not be written to %1: %2")
                                 .arg(QDir::toNativeSeparators(oursPath), saved.error));
        tell(merged(QStringLiteral("the other branch's vault"), r.report));
        return Success;
    }

    const Parsed& m_p;
    Secrets m_secrets;
    std::unique_ptr<VaultSession> m_session;
    std::unique_ptr<VaultHistory> m_history;
    std::unique_ptr<RecordKeeper> m_keeper;
    EntryStore m_entries;
};

} // namespace

int run(const QStringList& arguments) {
    try {
        const Request request = parse(arguments);
        if (request.answer) {
            output(request.answer->toUtf8());
            return Success;
        }
        Run run(request.parsed);
        const int status = run.command();
        std::fflush(stdout);
        if (std::ferror(stdout)) {
            tell(kProgram + QStringLiteral(": the output could not be written"));
            return UserError;
        }
        return status;
    } catch (const Failed& failed) {
        std::fflush(stdout);
        tell(failed.named ? kProgram + QStringLiteral(": ") + failed.message : failed.message);
        return failed.status;
    }
}

} // namespace cli
