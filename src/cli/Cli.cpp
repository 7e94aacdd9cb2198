#include "cli/Cli.h"

#include "cli/Listing.h"
#include "cli/PasswordGenerator.h"
#include "cli/Terminal.h"
#include "platform/VersionRecord.h"
#include "sync/CopyMerge.h"
#include "sync/VaultCopy.h"
#include "sync/VaultHistory.h"
#include "sync/VaultMerge.h"
#include "vault/Ansi.h"
#include "vault/EntrySort.h"
#include "vault/Interchange.h"
#include "vault/SealedVault.h"
#include "vault/VaultFile.h"
#include "vault/VaultFormat.h"
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

const QString kProgram = QStringLiteral("keynook-cli");

// Ends the command: what went wrong, in words for the person who typed it,
// and the exit status that tells a script what kind of failure it was.
struct Failed {
    int status;
    QString message;
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

struct Command {
    QString name;
    QString listed;  // as --help lists it: the name and its arguments
    QString summary; // what it does, in one line of --help
    int minArguments;
    int maxArguments;
    QStringList flags;  // options alone
    QStringList valued; // options followed by a value
    QString usage;
    QString help;
};

const QString kGlobalUsage = QStringLiteral("[--vault PATH] [--password-stdin]");

const std::vector<Command>& commands() {
    static const std::vector<Command> all = {
        {QStringLiteral("init"),
         QStringLiteral("init"),
         QStringLiteral("create the master password of a new vault"),
         0,
         0,
         {},
         {},
         QStringLiteral("init"),
         QStringLiteral(
             "Creates the master password of a vault that has none: a new vault, or one\n"
             "never used. Entries already in the file are kept. A vault with a master\n"
             "password is left alone: change its password with `passwd`.\n"
             "\n"
             "On a terminal the new master password is asked twice; with --password-stdin\n"
             "it is the first line of standard input. It needs at least 4 characters.\n")},
        {QStringLiteral("list"),
         QStringLiteral("list"),
         QStringLiteral("show every entry"),
         0,
         0,
         {QStringLiteral("--reverse"), QStringLiteral("--show-passwords")},
         {QStringLiteral("--sort"), QStringLiteral("--format")},
         QStringLiteral("list [--sort username|password|location] [--reverse]\n"
                        "[--show-passwords] [--format table|tsv|json]"),
         QStringLiteral(
             "Shows every entry, in the order of the file, or sorted by a field as the\n"
             "window sorts its list: ignoring case, entries with equal texts in the order\n"
             "of the file.\n"
             "\n"
             "  --sort FIELD      sort by username, password or location\n"
             "  --reverse         the other way round (descending with --sort)\n"
             "  --show-passwords  show passwords instead of ********\n"
             "  --format FORMAT   table (the default): aligned columns for people, every\n"
             "                    field on one line (a line break shows as \u21b5) and cut\n"
             "                    with \u2026 after 40 columns;\n"
             "                    tsv: a header and one line per entry, fields separated\n"
             "                    by tabs, with \\t, \\n, \\r and \\\\ for tab, line feed,\n"
             "                    carriage return and backslash in a field;\n"
             "                    json: an array of objects with the keys username,\n"
             "                    password (only with --show-passwords) and location\n")},
        {QStringLiteral("show"),
         QStringLiteral("show TEXT"),
         QStringLiteral("show the entries whose username or location contains TEXT"),
         1,
         1,
         {QStringLiteral("--show-passwords"), QStringLiteral("--exact")},
         {QStringLiteral("--format")},
         QStringLiteral("show TEXT [--exact] [--show-passwords]\n[--format table|tsv|json]"),
         QStringLiteral("Shows the entries whose username or location contains TEXT, ignoring\n"
                        "case, in the order of the file. The options are those of `list`.\n"
                        "\n"
                        "  --exact  the whole username or location is TEXT, ignoring case\n")},
        {QStringLiteral("get"),
         QStringLiteral("get TEXT"),
         QStringLiteral("print one field of the one entry that matches TEXT"),
         1,
         1,
         {QStringLiteral("--exact")},
         {QStringLiteral("--field")},
         QStringLiteral("get TEXT --field username|password|location [--exact]"),
         QStringLiteral(
             "Prints one field of the one entry whose username or location contains TEXT,\n"
             "ignoring case, and a line feed: for scripts. When no entry or several match,\n"
             "it fails and names the ones that match (never their passwords).\n"
             "\n"
             "  --field FIELD  username, password or location\n"
             "  --exact        the whole username or location is TEXT, ignoring case\n")},
        {QStringLiteral("add"),
         QStringLiteral("add"),
         QStringLiteral("add an entry"),
         0,
         0,
         {QStringLiteral("--no-symbols"), QStringLiteral("--show-password")},
         {QStringLiteral("--username"), QStringLiteral("--location"), QStringLiteral("--generate")},
         QStringLiteral("add --username U [--location L]\n"
                        "[--generate N [--no-symbols] [--show-password]]"),
         QStringLiteral(
             "Adds an entry at the end of the list. Its password is asked twice on the\n"
             "terminal, or is the line after the master password with --password-stdin.\n"
             "\n"
             "  --username U      the entry's username (needed)\n"
             "  --location L      where it is used: a website or a place\n"
             "  --generate N      store a new random password of N characters instead\n"
             "  --no-symbols      with --generate: letters and digits only\n"
             "  --show-password   with --generate: print the new password\n")},
        {QStringLiteral("edit"),
         QStringLiteral("edit TEXT"),
         QStringLiteral("change the one entry that matches TEXT"),
         1,
         1,
         {QStringLiteral("--password"), QStringLiteral("--no-symbols"),
          QStringLiteral("--show-password"), QStringLiteral("--exact")},
         {QStringLiteral("--username"), QStringLiteral("--location"), QStringLiteral("--generate")},
         QStringLiteral("edit TEXT [--exact] [--username U] [--location L]\n"
                        "[--password | --generate N [--no-symbols] [--show-password]]"),
         QStringLiteral(
             "Changes the one entry whose username or location contains TEXT, ignoring\n"
             "case; it keeps its place in the list.\n"
             "\n"
             "  --username U      the new username\n"
             "  --location L      the new location (an empty one clears it)\n"
             "  --password        a new password: asked twice on the terminal, or the line\n"
             "                    after the master password with --password-stdin\n"
             "  --generate N      a new random password of N characters\n"
             "  --no-symbols      with --generate: letters and digits only\n"
             "  --show-password   with --generate: print the new password\n"
             "  --exact           the whole username or location is TEXT, ignoring case\n")},
        {QStringLiteral("remove"),
         QStringLiteral("remove TEXT"),
         QStringLiteral("remove the one entry that matches TEXT"),
         1,
         1,
         {QStringLiteral("--yes"), QStringLiteral("--exact")},
         {},
         QStringLiteral("remove TEXT [--yes] [--exact]"),
         QStringLiteral("Removes the one entry whose username or location contains TEXT, ignoring\n"
                        "case, after asking on the terminal.\n"
                        "\n"
                        "  --yes    remove without asking (needed where there is no terminal)\n"
                        "  --exact  the whole username or location is TEXT, ignoring case\n")},
        {QStringLiteral("generate"),
         QStringLiteral("generate"),
         QStringLiteral("print a new random password"),
         0,
         0,
         {QStringLiteral("--no-symbols")},
         {QStringLiteral("--length")},
         QStringLiteral("generate [--length N] [--no-symbols]"),
         QStringLiteral("Prints a new password from the system's secure random source: letters,\n"
                        "digits and symbols, at least one of each. The vault is not opened.\n"
                        "\n"
                        "  --length N    how many characters, 4 to 1024 (default 20)\n"
                        "  --no-symbols  letters and digits only\n")},
        {QStringLiteral("passwd"),
         QStringLiteral("passwd"),
         QStringLiteral("change the master password"),
         0,
         0,
         {},
         {},
         QStringLiteral("passwd"),
         QStringLiteral(
             "Changes the master password. The current one comes first, then the new one:\n"
             "asked twice on the terminal, or the second line of standard input with\n"
             "--password-stdin. It needs at least 4 characters. Only the vault's first\n"
             "line changes; every entry line stays as it is. A sealed vault stays sealed,\n"
             "under a new key made from the new password.\n")},
        {QStringLiteral("seal"),
         QStringLiteral("seal"),
         QStringLiteral("encrypt the vault under its master password"),
         0,
         0,
         {},
         {},
         QStringLiteral("seal"),
         QStringLiteral(
             "Seals the vault: encrypts it under a key made from its master password\n"
             "(Argon2id, about half a second each time the vault is opened), so that the\n"
             "file tells nothing to anyone without the password. The entries and the\n"
             "master password stay as they are, and every later change keeps the vault\n"
             "sealed. The master password is asked once, on the terminal or as the first\n"
             "line of standard input with --password-stdin.\n"
             "\n"
             "A sealed vault opens with its master password and nothing else: if it is\n"
             "forgotten, nobody can read the vault again, Keynook included.\n")},
        {QStringLiteral("unseal"),
         QStringLiteral("unseal"),
         QStringLiteral("turn a sealed vault back into the plain form"),
         0,
         0,
         {},
         {},
         QStringLiteral("unseal"),
         QStringLiteral("Turns a sealed vault back into the plain form: the same bytes, no longer\n"
                        "encrypted. The plain form's cipher only hides the text from a glance;\n"
                        "anyone with the file can read it. Asks for the master password.\n")},
        {QStringLiteral("check"),
         QStringLiteral("check"),
         QStringLiteral("report on the vault file's form and lines"),
         0,
         0,
         {},
         {},
         QStringLiteral("check"),
         QStringLiteral(
             "Reports on the vault file: whether it is sealed (and the cost of its key),\n"
             "how many entries it holds, which lines are not entries (blank lines, lines\n"
             "with fewer or more than three fields), how many fields are stored with the\n"
             "escape for text the plain layout cannot hold, and whether a save would\n"
             "write the vault's bytes back byte for byte. Changes nothing.\n")},
        {QStringLiteral("export"),
         QStringLiteral("export [FILE]"),
         QStringLiteral("write every entry to a CSV or JSON file"),
         0,
         1,
         {},
         {QStringLiteral("--format"), QStringLiteral("--layout")},
         QStringLiteral("export [FILE|-] [--format csv|json]\n"
                        "[--layout keynook|chrome|firefox|keepassxc|bitwarden]"),
         QStringLiteral(
             "Writes every entry, in the order of the file, to FILE, or to standard output\n"
             "when FILE is - or left out. FILE must not exist yet: it is created readable\n"
             "by its owner alone. The export holds every password in plain text.\n"
             "\n"
             "  --format FORMAT  csv (the default, or json for a FILE named *.json): UTF-8\n"
             "                   with a header line;\n"
             "                   json: an array of objects with the keys username,\n"
             "                   password and location\n"
             "  --layout LAYOUT  the CSV columns another manager imports: keynook (the\n"
             "                   default: username,password,location), chrome (Chrome\n"
             "                   and Edge), firefox, keepassxc or bitwarden\n")},
        {QStringLiteral("import"),
         QStringLiteral("import FILE"),
         QStringLiteral("add the entries of a CSV or JSON file"),
         1,
         1,
         {},
         {QStringLiteral("--format")},
         QStringLiteral("import FILE [--format auto|csv|json]"),
         QStringLiteral(
             "Adds the entries of FILE at the end of the list, in one save: CSV in\n"
             "Keynook's layout or as Chrome, Edge, Firefox, KeePassXC or Bitwarden\n"
             "export it (told apart by the header line), or JSON as `export` writes it.\n"
             "A file with anything wrong in it is refused whole, naming the line, and\n"
             "nothing is changed. Entries already in the vault with the same username,\n"
             "password and location are skipped, as are records with every field\n"
             "empty; the counts are reported.\n"
             "\n"
             "  --format FORMAT  auto (the default: from the file's content), csv or json\n")},
        {QStringLiteral("merge"),
         QStringLiteral("merge FILE..."),
         QStringLiteral("merge other copies of the vault into it"),
         1,
         1000,
         {},
         {QStringLiteral("--base")},
         QStringLiteral("merge FILE... [--base FILE]"),
         QStringLiteral(
             "Merges other copies of the vault into it, in one save: copies changed on\n"
             "another computer, or kept by a sync tool beside the vault when both\n"
             "computers changed it. What either side added or edited is kept; what one\n"
             "side deleted and the other left alone is deleted; when both edited one\n"
             "entry, both versions are kept. A master password changed in a copy is\n"
             "taken when the vault's is the base's; changed on both sides to different\n"
             "ones, nothing is merged. Each copy is reported; the copies are left as\n"
             "they are. A sealed copy opens with the vault's master password; one it\n"
             "does not open is left out, with a message.\n"
             "\n"
             "  --base FILE  the vault as both last had it in common; without it, every\n"
             "               entry of both is kept, so that what one side deleted comes\n"
             "               back\n")},
        {QStringLiteral("git-merge"),
         QStringLiteral("git-merge ..."),
         QStringLiteral("merge three vault files for git"),
         3,
         3,
         {},
         {},
         QStringLiteral("git-merge BASE OURS THEIRS"),
         QStringLiteral("A merge driver for git: merges the vault files BASE, OURS and THEIRS as\n"
                        "`merge` does and writes the result into OURS (status 0), or leaves the\n"
                        "conflict to you with a message (status 1). --vault is not used. Sealed\n"
                        "files ask for the master password on the terminal (or the first line of\n"
                        "standard input with --password-stdin). To have git use it for data.enc:\n"
                        "\n"
                        "  echo 'data.enc merge=keynook' >> .gitattributes\n"
                        "  git config merge.keynook.driver 'keynook-cli git-merge %O %A %B'\n"
                        "\n"
                        "No backup is kept: OURS is a temporary file of git's, which has every\n"
                        "version of the vault already.\n")},
        {QStringLiteral("backups"),
         QStringLiteral("backups"),
         QStringLiteral("list what this computer kept of the vault, to restore"),
         0,
         0,
         {},
         {},
         QStringLiteral("backups"),
         QStringLiteral(
             "Lists what this computer kept of the vault, newest first, each numbered for\n"
             "`restore`: the backups made before the vault was rewritten (by a merge,\n"
             "an import, sealing, unsealing, a new master password or a restore, from\n"
             "here or from the window), the conflict copies merged into it, and the\n"
             "versions of the vault Keynook read or saved here. Each shows when it was\n"
             "kept, why, its size, and how many entries it holds (\"not a vault\" for a\n"
             "file `restore` refuses). What equals the vault as it is now is left out.\n"
             "\n"
             "The entries of sealed ones are counted with the master password, asked\n"
             "only when there are some: on the terminal (an empty answer lists them\n"
             "without counts) or as the first line of standard input with\n"
             "--password-stdin; with neither they are listed without counts. Nothing is\n"
             "changed, and the vault is not locked, so this works while a window has\n"
             "it open.\n"
             "\n"
             "They are kept in ~/.local/share/Keynook/seen/, readable by you alone: the\n"
             "last 10 backups, the last 20 conflict copies and the last 40 versions.\n")},
        {QStringLiteral("restore"),
         QStringLiteral("restore N"),
         QStringLiteral("put what `backups` lists as N back as the vault"),
         1,
         1,
         {QStringLiteral("--yes")},
         {},
         QStringLiteral("restore N [--yes]"),
         QStringLiteral("Puts number N of `backups` back as the vault, exactly as it was kept (a\n"
                        "sealed one sealed, under the master password it had then), in one save,\n"
                        "after asking on the terminal. The vault as it is now is kept as a backup\n"
                        "first, so that a restore can be undone the same way. A file that is not\n"
                        "a vault Keynook wrote is refused. No password is asked.\n"
                        "\n"
                        "  --yes  restore without asking (needed where there is no terminal)\n")},
    };
    return all;
}

const Command* commandNamed(const QString& name) {
    for (const Command& c : commands())
        if (c.name == name)
            return &c;
    return nullptr;
}

QString programHelp() {
    QString text =
        QStringLiteral("Usage: %1 %2 COMMAND [options]\n"
                       "\n"
                       "The entries of a Keynook vault from a terminal or a script. It uses the\n"
                       "vault the Keynook window uses, and the same lock: while the window has\n"
                       "the vault open, a command refuses it (exit status 2).\n"
                       "\n"
                       "Commands:\n")
            .arg(kProgram, kGlobalUsage);
    for (const Command& c : commands())
        text += QStringLiteral("  %1%2\n").arg(c.listed, -15).arg(c.summary);
    text += QStringLiteral(
        "\n"
        "Options:\n"
        "  --vault PATH      the vault file (data.enc) to use; by default the one the\n"
        "                    window uses: beside the program, or for an installed copy\n"
        "                    ~/.local/share/Keynook/data.enc\n"
        "  --password-stdin  read the master password from the first line of standard\n"
        "                    input, and any other secret the command needs from the\n"
        "                    lines after it; otherwise they are asked on the terminal\n"
        "  --help            this text; `keynook-cli COMMAND --help` tells about one\n"
        "  --version         the program's name and version\n"
        "\n"
        "Secrets are never taken from the command line.\n"
        "\n"
        "Exit status: 0 done; 1 a mistake in what was asked (a wrong master password,\n"
        "no entry or several found, bad input, an unknown option); 2 the vault is open\n"
        "in another running Keynook; 3 the vault could not be read or written.\n");
    return text;
}

QString commandHelp(const Command& c) {
    // The command's options go on lines of their own, under the command.
    QString usage = c.usage;
    usage.replace(QLatin1Char('\n'), QStringLiteral("\n           "));
    return QStringLiteral("Usage: %1 %2 %3\n\n%4").arg(kProgram, kGlobalUsage, usage, c.help);
}

// "a, b or c": the words a message offers in place of one it did not take.
QString listed(const QStringList& words, const QString& last) {
    if (words.size() < 2)
        return words.value(0);
    return words.first(words.size() - 1).join(QStringLiteral(", ")) + QLatin1Char(' ') + last +
           QLatin1Char(' ') + words.last();
}

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
        fail(UserError, QStringLiteral("no command given; %1").arg(seeHelp));
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
        if (c.flags.contains(name)) {
            if (inlineValue)
                fail(UserError, QStringLiteral("%1 takes no value").arg(name));
            if (p.flags.contains(name))
                fail(UserError, QStringLiteral("%1 is given twice").arg(name));
            p.flags.insert(name);
        } else if (c.valued.contains(name)) {
            if (p.values.contains(name))
                fail(UserError, QStringLiteral("%1 is given twice").arg(name));
            if (inlineValue) {
                p.values.insert(name, *inlineValue);
            } else if (i + 1 < arguments.size()) {
                p.values.insert(name, arguments[++i]);
            } else {
                fail(UserError, QStringLiteral("%1 needs a value; %2").arg(name, seeCommandHelp));
            }
        } else {
            const QStringList options =
                c.flags + c.valued +
                QStringList{QStringLiteral("--vault"), QStringLiteral("--password-stdin"),
                            QStringLiteral("--help")};
            fail(UserError, QStringLiteral("%1 is not an option of %2; its options are %3; %4")
                                .arg(argumentAt(i), c.name, listed(options, QStringLiteral("and")),
                                     seeCommandHelp));
        }
    }
    // What was given is not repeated: a password typed in the wrong place
    // must not end up in a message, or in a log that keeps it.
    const QString oneNumber =
        QStringLiteral("%1 takes the number of one backup, as `backups` lists them; %2");
    if (p.arguments.size() > c.maxArguments)
        fail(UserError, (c.maxArguments == 0 ? QStringLiteral("%1 takes no text, only options; %2")
                         : c.name == QLatin1String("git-merge")
                             ? QStringLiteral("%1 takes three files: BASE, OURS and THEIRS; %2")
                         : c.name == QLatin1String("restore")
                             ? oneNumber
                             : QStringLiteral("%1 takes one text to look for; %2"))
                            .arg(c.name, seeCommandHelp));
    if (p.arguments.size() < c.minArguments)
        fail(UserError, (c.name == QLatin1String("merge")
                             ? QStringLiteral("%1 needs the files of the copies to merge; %2")
                         : c.name == QLatin1String("git-merge")
                             ? QStringLiteral("%1 takes three files: BASE, OURS and THEIRS; %2")
                         : c.name == QLatin1String("restore")
                             ? oneNumber
                             : QStringLiteral("%1 needs the text to look for; %2"))
                            .arg(c.name, seeCommandHelp));
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

int lengthOf(const QString& option, const QString& text) {
    bool ok = false;
    const int n = text.toInt(&ok);
    if (!ok || n < passwordgenerator::kMinLength || n > passwordgenerator::kMaxLength)
        fail(UserError, QStringLiteral("the value given to %1 is not a number of characters "
                                       "from %2 to %3")
                            .arg(option)
                            .arg(passwordgenerator::kMinLength)
                            .arg(passwordgenerator::kMaxLength));
    return n;
}

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
    ~SecretText() { sealedvault::wipe(m_text); }
    SecretText(SecretText&& other) noexcept : m_text(std::exchange(other.m_text, QString())) {}
    SecretText& operator=(SecretText&& other) noexcept {
        if (this != &other) {
            sealedvault::wipe(m_text);
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
        sealedvault::wipe(*line);
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
        else
            formatNamed(m_p.value(QStringLiteral("--format")));
        if (const auto sort = m_p.value(QStringLiteral("--sort")))
            fieldNamed(QStringLiteral("--sort"), *sort);
        if (const auto field = m_p.value(QStringLiteral("--field")))
            fieldNamed(QStringLiteral("--field"), *field);
        else if (m_p.command->name == QLatin1String("get"))
            fail(UserError, QStringLiteral("get needs --field username, password or location"));
        const bool generating = m_p.value(QStringLiteral("--generate")).has_value();
        if (generating)
            lengthOf(QStringLiteral("--generate"), *m_p.value(QStringLiteral("--generate")));
        for (const QString& needsGenerate :
             {QStringLiteral("--no-symbols"), QStringLiteral("--show-password")})
            if (m_p.has(needsGenerate) && !generating)
                fail(UserError, QStringLiteral("%1 goes with --generate").arg(needsGenerate));
        if (generating && m_p.has(QStringLiteral("--password")))
            fail(UserError, QStringLiteral("--password and --generate both give a new password; "
                                           "choose one"));
    }

    QString vaultPath() const {
        if (!m_p.vaultPath.isEmpty()) {
            const QFileInfo named(m_p.vaultPath);
            if (named.isDir())
                fail(UserError, QStringLiteral("--vault names the vault file, and %1 is a folder")
                                    .arg(QDir::toNativeSeparators(m_p.vaultPath)));
            return named.absoluteFilePath();
        }
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
        if (!QFileInfo::exists(path))
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
    void unlock() {
        const SecretText master = m_secrets.master();
        if (const VaultSession::Status unlocked = m_session->unlock(master.text()); !unlocked.ok())
            failWith(unlocked);
        m_session->forgetStoredPassword();
        mergeConflictCopies(master.text());
    }

    // The copies a sync engine left beside the vault when two computers
    // changed it apart are merged into it when it is opened; each is told.
    void mergeConflictCopies(QStringView master) {
        const copymerge::Outcome o =
            copymerge::mergeConflictCopies(*m_session, *m_history, master, true);
        for (const copymerge::Merged& m : o.merged) {
            tell(merged(QStringLiteral("the %1 conflict copy %2")
                            .arg(m.engine, QDir::toNativeSeparators(m.path)),
                        m.report));
            if (m.report.masterFromTheirs)
                tell(QStringLiteral("The vault's master password is now the one set on the other "
                                    "computer."));
        }
        for (const copymerge::Left& l : o.left)
            tell(QStringLiteral("The %1 conflict copy %2 was not merged (%3); it was left as it "
                                "is.")
                     .arg(l.engine, QDir::toNativeSeparators(l.path), l.why));
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
        if (const auto length = m_p.value(QStringLiteral("--generate")))
            return SecretText(
                passwordgenerator::generate(lengthOf(QStringLiteral("--generate"), *length),
                                            !m_p.has(QStringLiteral("--no-symbols"))));
        SecretText password = m_secrets.fresh(QStringLiteral("Password for the entry: "),
                                              QStringLiteral("Repeat the password: "),
                                              QStringLiteral("the entry's password"));
        if (password.text().isEmpty())
            fail(UserError, QStringLiteral("you must enter a password; nothing was changed"));
        return password;
    }

    void showGenerated(const SecretText& password) {
        if (m_p.value(QStringLiteral("--generate")) && m_p.has(QStringLiteral("--show-password"))) {
            QByteArray utf8 = password.text().toUtf8();
            output(utf8);
            output("\n");
            sealedvault::wipe(utf8);
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

    int get() {
        open(false);
        const int slot = oneMatch();
        const int field =
            fieldNamed(QStringLiteral("--field"), *m_p.value(QStringLiteral("--field")));
        output(m_entries.field(static_cast<size_t>(slot), field).toUtf8() + '\n');
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
        const bool newPassword =
            m_p.has(QStringLiteral("--password")) || m_p.value(QStringLiteral("--generate"));
        if (!username && !location && !newPassword)
            fail(UserError, QStringLiteral("nothing to change: give --username, --location, "
                                           "--password or --generate"));
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
            if (a != QLatin1String("y") && a != QLatin1String("yes"))
                fail(UserError, QStringLiteral("nothing was removed"));
        }
        m_entries.erase(static_cast<size_t>(slot));
        saveEntries();
        tell(QStringLiteral("Removed %1. The vault holds %2.")
                 .arg(name, entriesCount(m_entries.size())));
        return Success;
    }

    int generate() {
        const int length =
            m_p.value(QStringLiteral("--length"))
                ? lengthOf(QStringLiteral("--length"), *m_p.value(QStringLiteral("--length")))
                : passwordgenerator::kDefaultLength;
        output(
            passwordgenerator::generate(length, !m_p.has(QStringLiteral("--no-symbols"))).toUtf8() +
            '\n');
        return Success;
    }

    // Only the first line changes: every byte after it, odd lines and all,
    // stays as it was.
    int passwd() {
        open(true, false);
        const SecretText master = newMaster();
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
        tell(QStringLiteral("Warning: a sealed vault opens with its master password and nothing "
                            "else. If the master password is forgotten, nobody can read the "
                            "vault again, Keynook included."));
        return Success;
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
            files.push_back(vaultfile::readAll(r.path).data);
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
        const vaultfile::ReadResult backup = vaultfile::readAll(chosen.path);
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
            if (a != QLatin1String("y") && a != QLatin1String("yes"))
                fail(UserError, QStringLiteral("nothing was restored"));
        }
        refuseChangeFromOutside();
        if (keepsNow)
            keepBackup(VaultHistory::Why::Restore);
        if (const VaultSession::Status put = m_session->putBack(backup.data); !put.ok())
            failWith(put);
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
        sealedvault::wipe(saved);
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
        else if (format && *format != QLatin1String("csv"))
            fail(UserError, QStringLiteral("the value given to --format is not a format export "
                                           "writes; --format takes csv or json for export"));
        else if (!format && exportTarget().endsWith(QLatin1String(".json"), Qt::CaseInsensitive))
            f = interchange::Format::Json;
        interchange::Layout layout = interchange::Layout::Keynook;
        if (layoutName) {
            const auto named = interchange::layoutNamed(*layoutName);
            if (!named)
                fail(UserError, QStringLiteral("the value given to --layout is not a layout; "
                                               "--layout takes keynook, chrome, firefox, "
                                               "keepassxc or bitwarden"));
            layout = *named;
            if (f == interchange::Format::Json)
                fail(UserError, QStringLiteral("--layout names CSV columns; JSON has one layout"));
        }
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
        fail(UserError, QStringLiteral("the value given to --format is not a format import "
                                       "reads; --format takes auto, csv or json for import"));
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
        const interchange::ExportResult exported =
            how.format == interchange::Format::Json ? interchange::exportJson(m_entries)
                                                    : interchange::exportCsv(m_entries, how.layout);
        if (!exported.ok())
            fail(UserError, QStringLiteral("nothing was exported: ") + exported.error);
        const QString as =
            how.format == interchange::Format::Json
                ? QStringLiteral("JSON")
                : QStringLiteral("CSV in the %1 layout").arg(interchange::layoutName(how.layout));
        if (target.isEmpty()) {
            output(exported.bytes);
            tell(QStringLiteral("Exported %1 as %2.").arg(entriesCount(m_entries.size()), as));
            return Success;
        }
        writeNewFile(target, exported.bytes);
        tell(QStringLiteral("Exported %1 to %2 as %3. It holds every password in plain text: keep "
                            "it private, and delete it once it has served.")
                 .arg(entriesCount(m_entries.size()), QDir::toNativeSeparators(target), as));
        return Success;
    }

    int importEntries() {
        // The file is read and judged before the vault is opened: a file
        // that cannot be taken whole changes nothing and asks for nothing.
        const QString source = m_p.arguments.at(0);
        const QString shown = QDir::toNativeSeparators(source);
        // No vault could hold more than the vault reader takes: a larger
        // file is refused before it is read.
        const vaultfile::ReadResult read = vaultfile::readAll(source);
        if (read.tooLarge)
            fail(UserError,
                 QStringLiteral("%1 is larger than any vault Keynook writes; nothing was "
                                "imported")
                     .arg(shown));
        if (!read.ok)
            fail(UserError, QStringLiteral("%1 could not be read: %2").arg(shown, read.error));
        const QByteArray& bytes = read.data;
        interchange::EncodedImport imported = interchange::importEncoded(bytes, importFormat());
        if (!imported.ok())
            fail(UserError, QStringLiteral("%1 was not imported, and nothing was changed: %2")
                                .arg(shown, imported.error));

        open(true);
        // Exactly the same username, password and location: the entry is
        // there already (an import run twice, or a file listing it twice).
        const size_t before = m_entries.size();
        const qsizetype duplicates = m_entries.appendAbsent(std::move(imported.entries));
        const size_t added = m_entries.size() - before;
        if (added > 0)
            saveEntries(VaultHistory::Why::Import);
        const QString from = imported.format == interchange::Format::Json
                                 ? QStringLiteral("JSON")
                                 : QStringLiteral("CSV in the %1 layout")
                                       .arg(interchange::layoutName(imported.layout));
        QString report =
            QStringLiteral("Imported %1 from %2 (%3).").arg(entriesCount(added), shown, from);
        if (duplicates > 0)
            report += QStringLiteral(" Skipped %1 already in the vault.")
                          .arg(entriesCount(static_cast<size_t>(duplicates)));
        if (imported.skippedEmpty > 0)
            report += QStringLiteral(" Skipped %1 with every field empty.")
                          .arg(imported.skippedEmpty == 1
                                   ? QStringLiteral("1 record")
                                   : QStringLiteral("%1 records").arg(imported.skippedEmpty));
        if (imported.skippedNotLogins > 0)
            report += QStringLiteral(" Skipped %1 that %2 not logins.")
                          .arg(imported.skippedNotLogins == 1
                                   ? QStringLiteral("1 item")
                                   : QStringLiteral("%1 items").arg(imported.skippedNotLogins),
                               imported.skippedNotLogins == 1 ? QStringLiteral("is")
                                                              : QStringLiteral("are"));
        tell(report + QStringLiteral(" The vault holds %1.").arg(entriesCount(m_entries.size())));
        return Success;
    }

    // The session on the vault at `path`, every state of which that it reads
    // or writes is kept in this computer's history of the vault: the base of
    // later merges.
    void startSession(const QString& path) {
        m_session = std::make_unique<VaultSession>(path);
        m_history = historyOf(path);
        m_history->follow(*m_session);
    }

    static std::unique_ptr<VaultHistory> historyOf(const QString& path) {
        return std::make_unique<VaultHistory>(
            QStandardPaths::writableLocation(QStandardPaths::AppDataLocation),
            vaultfile::realFilePath(path));
    }

    // A file to merge, as read; refused when it is no vault Keynook wrote.
    static QByteArray readCopy(const QString& path) {
        const QString shown = QDir::toNativeSeparators(path);
        vaultfile::ReadResult read = vaultfile::readAll(path);
        if (read.tooLarge)
            fail(UserError, QStringLiteral("%1 is larger than any vault Keynook writes; nothing "
                                           "was merged")
                                .arg(shown));
        if (!read.ok)
            fail(UserError, QStringLiteral("%1 could not be read: %2; nothing was merged")
                                .arg(shown, read.error));
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
            text += QStringLiteral(" No base was given, so entries that only one side "
                                   "holds were all kept (%1 not in it): what one side removed "
                                   "is back.")
                        .arg(entriesCount(r.oursOnly));
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
        QByteArray ours;
        if (const VaultSession::Status opened = m_session->plainNow(ours); !opened.ok())
            failWith(opened);
        const sealedvault::SealKey* key = m_session->sealed() ? &m_session->key() : nullptr;
        std::optional<vaultcopy::Opened> given;
        if (const auto basePath = m_p.value(QStringLiteral("--base")))
            given = openCopy(QDir::toNativeSeparators(*basePath), readCopy(*basePath),
                             master.text(), key);
        // Without a base given, each copy's is the newest state this computer
        // saw that cannot make the merge drop an entry added here.
        copymerge::States states;
        if (!given)
            copymerge::openStates(*m_history, key, states);
        std::vector<vaultmerge::Seen>& seen = states.seen;
        QStringList told;
        bool changed = false;
        for (const QString& path : m_p.arguments) {
            const QString shown = QDir::toNativeSeparators(path);
            vaultcopy::Opened copy = openCopy(shown, readCopy(path), master.text(), key);
            std::optional<QByteArrayView> base;
            if (given)
                base = given->plain;
            else if (const auto chosen = vaultmerge::chooseBase(seen, copy.plain))
                base = seen[*chosen].plain;
            vaultmerge::Result r = vaultmerge::merge(base, ours, copy.plain);
            sealedvault::wipe(copy.plain);
            if (r.outcome == vaultmerge::Outcome::MasterConflict)
                masterConflict(shown, QStringLiteral("the vault"));
            changed = changed || !r.report.unchanged();
            told << merged(shown, r.report);
            sealedvault::wipe(ours);
            ours = r.file;
            // The merge is the next state of ours, for the next copy's base.
            if (!given) {
                states.plain.push_back(std::move(r.file));
                seen.push_back({states.plain.back(), true});
            }
        }

        if (changed)
            save(ours, VaultHistory::Why::Merge);
        for (const QString& line : told)
            tell(line);
        tell(QStringLiteral("The vault holds %1.")
                 .arg(entriesCount(EntryStore::fromFile(ours).size())));
        // The last holder of each opened state wipes it.
        sealedvault::wipe(ours);
        return Success;
    }

    int gitMerge() {
        const QString basePath = m_p.arguments.at(0);
        const QString oursPath = m_p.arguments.at(1);
        const QString theirsPath = m_p.arguments.at(2);
        QByteArray base = readCopy(basePath);
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
        vaultmerge::Result r = vaultmerge::merge(b.plain, o.plain, t.plain);
        for (QByteArray* plain : {&o.plain, &b.plain, &t.plain})
            sealedvault::wipe(*plain);
        if (r.outcome == vaultmerge::Outcome::MasterConflict)
            masterConflict(QStringLiteral("Ours"), QStringLiteral("theirs"));
        // The merge keeps our file's form, and a sealed one its key.
        QByteArray result = o.sealed ? sealedvault::seal(r.file, o.key) : r.file;
        sealedvault::wipe(r.file);
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
        tell(kProgram + QStringLiteral(": ") + failed.message);
        return failed.status;
    }
}

} // namespace cli
