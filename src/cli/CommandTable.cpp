#include "cli/CommandTable.h"

#include "cli/Commands.h"
#include "interchange/Interchange.h"
#include "interchange/Layouts.h"

#include <algorithm>

namespace cli {

QStringList exportFormatWords() {
    QStringList words;
    for (const interchange::FormatRow& row : interchange::formats())
        if (row.ending)
            words << QString::fromLatin1(row.word);
    return words;
}
QStringList importFormatWords() {
    QStringList words = {QStringLiteral("auto")};
    for (const interchange::FormatRow& row : interchange::formats())
        words << QString::fromLatin1(row.word);
    return words;
}

namespace {

const QString kGeneratorOptions = QStringLiteral("generator options");

Option flag(const char* name, const char* help, const QString& oneOf = {}) {
    Option o;
    o.name = QLatin1String(name);
    o.help = QString::fromUtf8(help);
    o.oneOf = oneOf;
    return o;
}

Option valued(const char* name, const char* value, Kind kind, const char* help,
              const QString& oneOf = {}) {
    Option o = flag(name, help, oneOf);
    o.value = QLatin1String(value);
    o.kind = kind;
    return o;
}

Option choice(const char* name, const char* value, const QStringList& choices, const char* help) {
    Option o = valued(name, value, Kind::Choice, help);
    o.choices = choices;
    return o;
}

Option required(Option o) {
    o.required = true;
    return o;
}

// As --layout names them, from interchange's table of layouts.
QStringList layoutNames() {
    QStringList names;
    for (const interchange::LayoutTable& table : interchange::layouts())
        names << QString::fromUtf8(table.name);
    return names;
}

// Each layout as its manager is called, for completions that describe
// every value.
Option withLayoutsShown(Option o) {
    for (const interchange::LayoutTable& table : interchange::layouts())
        o.choiceHelp << QString::fromUtf8(table.shownAs);
    return o;
}

const QStringList kFields = {QStringLiteral("username"), QStringLiteral("password"),
                             QStringLiteral("location")};
const Option kExact = flag("--exact", "the whole username or location is TEXT, ignoring case");
const Option kShowPasswords = flag("--show-passwords", "show passwords instead of ********");

// How a new password is made: by `generate`, and by `add` and `edit` with
// --generate or --words.
std::vector<Option> generatorOptions() {
    std::vector<Option> options = {
        flag("--no-symbols", "letters and digits only"),
        valued("--classes", "LIST", Kind::Text,
               "the kinds of character: upper, lower, digits or symbols,\n"
               "separated by commas (all four unless told), each at\n"
               "least once"),
        valued("--characters", "SET", Kind::Text,
               "draw from exactly these characters instead of kinds"),
        flag("--no-look-alikes", "leave out characters easily taken for others: I l 1 O 0 o"),
        valued("--separator", "S", Kind::Text, "with --words: what stands between words (-)"),
        valued("--word-list", "FILE", Kind::File,
               "with --words: the words to choose from, one a line (by\n"
               "default the plain lowercase words of 3 to 8 letters in\n"
               "/usr/share/dict/words)"),
    };
    for (Option& o : options)
        o.group = kGeneratorOptions;
    return options;
}

std::vector<Option> operator+(std::vector<Option> a, const std::vector<Option>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Command command(const char* name, int (&run)(Context&), const char* summary) {
    return Command(QLatin1String(name), run, QString::fromUtf8(summary));
}

// A command that looks for the one entry (or the entries) that TEXT names.
Command lookingFor(const char* name, int (&run)(Context&), const char* summary) {
    Command c = command(name, run, summary);
    c.arguments = QStringLiteral("TEXT");
    c.argumentKind = Kind::Text;
    c.minArguments = 1;
    c.maxArguments = 1;
    c.wants = QStringLiteral("one text to look for");
    return c;
}

std::vector<Command> makeCommands() {
    std::vector<Command> all;
    {
        Command c = command("init", initVault, "create the master password of a new vault");
        c.help = QStringLiteral(
            "Creates the master password of a vault that has none: a new vault, or one\n"
            "never used. Entries already in the file are kept. A vault with a master\n"
            "password is left alone: change its password with `passwd`.\n"
            "\n"
            "On a terminal the new master password is asked twice; with --password-stdin\n"
            "it is the first line of standard input. It needs at least 4 characters.\n");
        all.push_back(c);
    }
    {
        Command c = command("list", listEntries, "show every entry");
        c.options = {
            choice("--sort", "FIELD", kFields, "sort by username, password or location"),
            flag("--reverse", "the other way round (descending with --sort)"),
            kShowPasswords,
            choice("--format", "FORMAT",
                   {QStringLiteral("table"), QStringLiteral("tsv"), QStringLiteral("json")},
                   "table (the default): aligned columns for people, every\n"
                   "field on one line (a line break shows as \u21b5) and cut\n"
                   "with \u2026 after 40 columns;\n"
                   "tsv: a header and one line per entry, fields separated\n"
                   "by tabs, with \\t, \\n, \\r and \\\\ for tab, line feed,\n"
                   "carriage return and backslash in a field;\n"
                   "json: an array of objects with the keys username,\n"
                   "password (only with --show-passwords) and location"),
        };
        c.help = QStringLiteral(
            "Shows every entry, in the order of the file, or sorted by a field as the\n"
            "window sorts its list: ignoring case, entries with equal texts in the order\n"
            "of the file.\n");
        all.push_back(c);
    }
    {
        Command c = lookingFor("show", showEntries,
                               "show the entries whose username or location contains TEXT");
        Option format = all.back().options.back();
        format.help = QStringLiteral("table, tsv or json, as for `list`");
        c.options = {kExact, kShowPasswords, format};
        c.help =
            QStringLiteral("Shows the entries whose username or location contains TEXT, ignoring\n"
                           "case, in the order of the file.\n");
        all.push_back(c);
    }
    {
        Command c =
            lookingFor("get", getField, "print one field of the one entry that matches TEXT");
        c.options = {
            choice("--field", "FIELD", kFields, "username, password (the default) or location"),
            choice("--format", "FORMAT", {QStringLiteral("text"), QStringLiteral("json")},
                   "text (the default): the field and a line feed;\n"
                   "json: an object with the field named by --field, or\n"
                   "without it all three, keyed username, password and\n"
                   "location"),
            kExact,
        };
        c.help = QStringLiteral(
            "Prints one field of the one entry whose username or location contains TEXT,\n"
            "ignoring case: its password unless --field names another. For scripts. When\n"
            "no entry or several match, it fails and names the ones that match (never\n"
            "their passwords).\n");
        all.push_back(c);
    }
    {
        Command c = lookingFor("clip", clipField,
                               "put a field of the one entry that matches TEXT on the "
                               "clipboard");
        c.options = {
            choice("--field", "FIELD", kFields, "username, password (the default) or location"),
            valued("--timeout", "N", Kind::Number,
                   "clear the clipboard after N seconds (30); 0 leaves it\n"
                   "until something else is copied"),
            kExact,
        };
        c.help = QStringLiteral(
            "Puts one field of the one entry whose username or location contains TEXT,\n"
            "ignoring case, on the clipboard of the X display (a Wayland desktop's too,\n"
            "through its X server): its password unless --field names another. A\n"
            "password is marked as a secret, which clipboard managers leave out of their\n"
            "history. After 30 seconds the clipboard is cleared, unless something else\n"
            "was copied meanwhile. The command returns at once; a process of its own\n"
            "keeps the text on offer until then, holding no lock on the vault.\n");
        all.push_back(c);
    }
    {
        Command c = command("add", addEntry, "add an entry");
        c.options =
            std::vector<Option>{
                required(valued("--username", "U", Kind::Text, "the entry's username (needed)")),
                valued("--location", "L", Kind::Text, "where it is used: a website or a place"),
                valued("--generate", "N", Kind::Number,
                       "store a new random password of N characters instead",
                       QStringLiteral("new")),
                valued("--words", "N", Kind::Number, "store a new passphrase of N words instead",
                       QStringLiteral("new")),
            } +
            generatorOptions() +
            std::vector<Option>{
                flag("--show-password", "with --generate or --words: print the new "
                                        "password"),
            };
        c.help = QStringLiteral(
            "Adds an entry at the end of the list. Its password is asked twice on the\n"
            "terminal, or is the line after the master password with --password-stdin;\n"
            "or it is made with --generate or --words, with the generator options of\n"
            "`generate`.\n");
        all.push_back(c);
    }
    {
        Command c = lookingFor("edit", editEntry, "change the one entry that matches TEXT");
        c.options =
            std::vector<Option>{
                kExact,
                valued("--username", "U", Kind::Text, "the new username"),
                valued("--location", "L", Kind::Text, "the new location (an empty one clears it)"),
                flag("--password",
                     "a new password: asked twice on the terminal, or the line\n"
                     "after the master password with --password-stdin",
                     QStringLiteral("new")),
                valued("--generate", "N", Kind::Number, "a new random password of N characters",
                       QStringLiteral("new")),
                valued("--words", "N", Kind::Number, "a new passphrase of N words",
                       QStringLiteral("new")),
            } +
            generatorOptions() +
            std::vector<Option>{
                flag("--show-password", "with --generate or --words: print the new "
                                        "password"),
            };
        c.help = QStringLiteral("Changes the one entry whose username or location contains TEXT, "
                                "ignoring\ncase; it keeps its place in the list.\n");
        all.push_back(c);
    }
    {
        Command c = lookingFor("remove", removeEntry, "remove the one entry that matches TEXT");
        c.options = {
            flag("--yes", "remove without asking (needed where there is no terminal)"),
            kExact,
        };
        c.help = QStringLiteral(
            "Removes the one entry whose username or location contains TEXT, ignoring\n"
            "case, after asking on the terminal.\n");
        all.push_back(c);
    }
    {
        Command c =
            command("generate", generatePassword, "print a new random password or passphrase");
        c.options =
            std::vector<Option>{
                valued("--length", "N", Kind::Number, "how many characters, 4 to 1024 (20)",
                       QStringLiteral("size")),
                valued("--words", "N", Kind::Number, "a passphrase of N words, 1 to 64, instead",
                       QStringLiteral("size")),
            } +
            generatorOptions();
        c.help = QStringLiteral(
            "Prints a new password from the system's secure random source: letters,\n"
            "digits and symbols, at least one of each, or only the kinds or characters\n"
            "asked for; or with --words, a passphrase of words chosen from a word list.\n"
            "How much guessing it would take (its entropy, in bits) goes to standard\n"
            "error. The vault is not opened.\n");
        all.push_back(c);
    }
    {
        Command c = command("passwd", changeMaster, "change the master password");
        c.help = QStringLiteral(
            "Changes the master password. The current one comes first, then the new one:\n"
            "asked twice on the terminal, or the second line of standard input with\n"
            "--password-stdin. It needs at least 4 characters, and must differ from the\n"
            "current one. Only the vault's first line changes; every entry line stays as\n"
            "it is. A sealed vault stays sealed, under a new key made from the new\n"
            "password.\n");
        all.push_back(c);
    }
    {
        Command c = command("seal", sealVault, "encrypt the vault under its master password");
        c.help = QStringLiteral(
            "Seals the vault: encrypts it under a key made from its master password\n"
            "(Argon2id, about half a second each time the vault is opened), so that the\n"
            "file tells nothing to anyone without the password. The entries and the\n"
            "master password stay as they are, and every later change keeps the vault\n"
            "sealed. The master password is asked once, on the terminal or as the first\n"
            "line of standard input with --password-stdin.\n"
            "\n"
            "A sealed vault opens with its master password and nothing else: if it is\n"
            "forgotten, nobody can read the vault again, Keynook included.\n");
        all.push_back(c);
    }
    {
        Command c = command("unseal", unsealVault, "turn a sealed vault back into the plain form");
        c.help = QStringLiteral(
            "Turns a sealed vault back into the plain form: the same bytes, no longer\n"
            "encrypted. The plain form's cipher only hides the text from a glance;\n"
            "anyone with the file can read it. Asks for the master password.\n");
        all.push_back(c);
    }
    {
        Command c = command("check", checkVault, "report on the vault file's form and lines");
        c.help = QStringLiteral(
            "Reports on the vault file: whether it is sealed (and the cost of its key),\n"
            "how many entries it holds, which lines are not entries (blank lines, lines\n"
            "with fewer or more than three fields), how many fields are stored with the\n"
            "escape for text the plain layout cannot hold, and whether a save would\n"
            "write the vault's bytes back byte for byte. Changes nothing.\n");
        all.push_back(c);
    }
    {
        Command c = command("export", exportEntries,
                            "write every entry to a CSV, JSON or KeePass XML file");
        c.arguments = QStringLiteral("[FILE|-]");
        c.argumentKind = Kind::File;
        c.maxArguments = 1;
        c.wants = QStringLiteral("at most one file to write, or - for standard output");
        c.options = {
            choice("--format", "FORMAT", exportFormatWords(),
                   "csv (the default, json for a FILE named *.json, xml\n"
                   "for one named *.xml): UTF-8 with a header line;\n"
                   "json: an array of objects with the keys username,\n"
                   "password and location;\n"
                   "xml: KeePass 2 XML, which KeePassXC and KeePass\n"
                   "import (keepassxc-cli import FILE NEW.kdbx): one\n"
                   "group, each entry titled with its web address's host\n"
                   "or its location, with its username, password and\n"
                   "location as URL"),
            withLayoutsShown(choice("--layout", "LAYOUT", layoutNames(),
                                    "the CSV columns another manager imports: keynook (the\n"
                                    "default: username,password,location), chrome (Chrome\n"
                                    "and Edge), firefox, keepassxc, bitwarden, lastpass or\n"
                                    "1password. Chrome and Firefox pass over entries whose\n"
                                    "location is not a web address (http or https): a\n"
                                    "warning names them")),
            flag("--spreadsheet-safe", "a cell that starts with =, +, -, @, a tab or a carriage\n"
                                       "return, which a spreadsheet may run as a formula, is\n"
                                       "written with a ' before it. Without it every cell is\n"
                                       "exact, and a warning counts such cells"),
        };
        c.help = QStringLiteral(
            "Writes every entry, in the order of the file, to FILE, or to standard output\n"
            "when FILE is - or left out. FILE must not exist yet: it is created readable\n"
            "by its owner alone. The export holds every password in plain text. XML 1.0\n"
            "cannot hold control characters other than tab, line feed and carriage\n"
            "return: an entry with one is named, and nothing is exported as XML.\n");
        all.push_back(c);
    }
    {
        Command c = command("import", importEntries, "add the entries of a CSV, JSON or XML file");
        c.arguments = QStringLiteral("FILE|-");
        c.argumentKind = Kind::File;
        c.minArguments = 1;
        c.maxArguments = 1;
        c.wants = QStringLiteral("one file to import, or - for standard input");
        c.options = {
            choice("--format", "FORMAT", importFormatWords(),
                   "auto (the default: from the file's content), csv,\n"
                   "json (as `export` writes it), xml (KeePass 2 XML) or\n"
                   "bitwarden (Bitwarden's JSON export)"),
            flag("--dry-run", "report what the import would do, and write nothing"),
            flag("--strict", "refuse the whole file when anything but empty cells\n"
                             "would be left out"),
        };
        c.help = QStringLiteral(
            "Adds the entries of FILE (standard input for -) at the end of the list, in\n"
            "one save: CSV as Keynook, Chrome, Edge, Firefox, KeePassXC, Bitwarden,\n"
            "LastPass or 1Password export it (told apart by the names in the header\n"
            "line), JSON as `export` writes it, KeePass 2 XML as KeePassXC and KeePass\n"
            "export it unencrypted (keepassxc-cli export --format xml), or Bitwarden's\n"
            "unencrypted JSON export. A file with anything wrong in it is refused whole,\n"
            "naming the line, and nothing is changed. Each entry (username, password and\n"
            "location: the web address, or the title where there is none) is added as\n"
            "many times as the file holds it beyond what the vault holds already, so a\n"
            "file imported twice adds nothing the second time. Standard input cannot\n"
            "carry the file and --password-stdin's lines both.\n"
            "\n"
            "The report counts what was added, what the vault held already, what the\n"
            "file repeats, and everything the file held that Keynook does not keep\n"
            "(\"Not kept: 12 notes, 3 TOTP secrets, 40 groups\"). Items that are not\n"
            "logins, KeePass's entry history and recycle bin are skipped and counted.\n");
        all.push_back(c);
    }
    {
        Command c = command("merge", mergeCopies, "merge other copies of the vault into it");
        c.arguments = QStringLiteral("FILE...");
        c.argumentKind = Kind::File;
        c.minArguments = 1;
        c.maxArguments = 1000;
        c.wants = QStringLiteral("the files of the copies to merge");
        c.options = {
            valued("--base", "FILE", Kind::File,
                   "for a plain vault: the vault as both last had it in common;\n"
                   "without it, every entry of both is kept, so that what one\n"
                   "side deleted may come back. A sealed vault needs none"),
        };
        c.help = QStringLiteral(
            "Merges other copies of the vault into it, in one save: copies changed on\n"
            "another computer, or kept by a sync tool beside the vault when both\n"
            "computers changed it. A sealed vault and its copies carry what they have\n"
            "seen and merge exactly: what either side added or edited is kept, what\n"
            "one side deleted is deleted, nothing comes back. A plain vault keeps\n"
            "every entry of both, unless --base gives their common past; nothing of\n"
            "this vault is ever lost. A master password changed in one copy alone is\n"
            "taken; changed on both sides to different ones, nothing is merged. Each\n"
            "copy is reported; the copies are left as they are. A sealed copy opens\n"
            "with the vault's master password; one it does not open is left out,\n"
            "with a message.\n");
        all.push_back(c);
    }
    {
        Command c = command("git-merge", gitMerge, "merge three vault files for git");
        c.arguments = QStringLiteral("BASE OURS THEIRS");
        c.argumentKind = Kind::File;
        c.minArguments = 3;
        c.maxArguments = 3;
        c.wants = QStringLiteral("three files: BASE, OURS and THEIRS");
        c.help = QStringLiteral(
            "A merge driver for git: merges the vault files BASE, OURS and THEIRS as\n"
            "`merge` does and writes the result into OURS (status 0), or leaves the\n"
            "conflict to you with a message (status 1). --vault is not used. Sealed\n"
            "files ask for the master password on the terminal (or the first line of\n"
            "standard input with --password-stdin). To have git use it for data.enc:\n"
            "\n"
            "  echo 'data.enc merge=keynook' >> .gitattributes\n"
            "  git config merge.keynook.driver 'keynook-cli git-merge %O %A %B'\n"
            "\n"
            "No backup is kept: OURS is a temporary file of git's, which has every\n"
            "version of the vault already.\n");
        all.push_back(c);
    }
    {
        Command c = command("backups", listBackups,
                            "list what this computer kept of the vault, to restore");
        c.help = QStringLiteral(
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
            "last 10 backups, the last 20 conflict copies and the last 40 versions.\n");
        all.push_back(c);
    }
    {
        Command c =
            command("restore", restoreBackup, "put what `backups` lists as N back as the vault");
        c.arguments = QStringLiteral("N");
        c.argumentKind = Kind::Number;
        c.minArguments = 1;
        c.maxArguments = 1;
        c.wants = QStringLiteral("the number of one backup, as `backups` lists them");
        c.options = {flag("--yes", "restore without asking (needed where there is no terminal)")};
        c.help = QStringLiteral(
            "Puts number N of `backups` back as the vault, exactly as it was kept (a\n"
            "sealed one sealed, under the master password it had then), in one save,\n"
            "after asking on the terminal. The vault as it is now is kept as a backup\n"
            "first, so that a restore can be undone the same way. A file that is not\n"
            "a vault Keynook wrote is refused. No password is asked.\n");
        all.push_back(c);
    }
    {
        Command c = command("completion", printCompletion,
                            "print the shell completion for bash, zsh or fish");
        c.arguments = QStringLiteral("bash|zsh|fish");
        c.argumentKind = Kind::Choice;
        c.argumentChoices = {QStringLiteral("bash"), QStringLiteral("zsh"), QStringLiteral("fish")};
        c.minArguments = 1;
        c.maxArguments = 1;
        c.wants = QStringLiteral("the name of one shell: bash, zsh or fish");
        c.help = QStringLiteral(
            "Prints what completes keynook-cli's commands, options and their values in\n"
            "the shell named. An installed Keynook puts it where each shell looks; to\n"
            "try it in the shell at hand:\n"
            "\n"
            "  source <(keynook-cli completion bash)\n"
            "  source <(keynook-cli completion zsh)\n"
            "  keynook-cli completion fish | source\n");
        all.push_back(c);
    }
    return all;
}

QString escapedForRoff(const QString& text) {
    QString out = text;
    out.replace(QLatin1Char('\\'), QStringLiteral("\\e"));
    out.replace(QLatin1Char('-'), QStringLiteral("\\-"));
    return out;
}

// A usage as pieces: bold for what is typed as it stands, italic for what
// stands for a value, roman for the brackets and bars between them.
struct Piece {
    enum Style { Roman, Bold, Italic } style;
    QString text;
};

void appendValue(std::vector<Piece>& out, const QString& value, Kind kind,
                 const QStringList& choices) {
    if (kind == Kind::Choice && !choices.isEmpty()) {
        for (qsizetype i = 0; i < choices.size(); ++i) {
            if (i > 0)
                out.push_back({Piece::Roman, QStringLiteral("|")});
            out.push_back({Piece::Bold, choices[i]});
        }
        return;
    }
    out.push_back({Piece::Italic, value});
}

void appendOption(std::vector<Piece>& out, const Option& o) {
    out.push_back({Piece::Bold, o.name});
    if (o.takesValue()) {
        out.push_back({Piece::Roman, QStringLiteral(" ")});
        appendValue(out, o.value, o.kind, o.choices);
    }
}

// The command's arguments: words in capitals stand for values, the rest
// (brackets, bars, dots, a lone dash) is typed or read as it stands.
void appendArguments(std::vector<Piece>& out, const Command& c) {
    if (c.argumentKind == Kind::Choice) {
        appendValue(out, {}, c.argumentKind, c.argumentChoices);
        return;
    }
    QString word;
    auto flush = [&] {
        if (!word.isEmpty())
            out.push_back({Piece::Italic, word});
        word.clear();
    };
    for (const QChar ch : c.arguments) {
        if (ch.isUpper()) {
            word += ch;
            continue;
        }
        flush();
        out.push_back({ch == QLatin1Char('-') ? Piece::Bold : Piece::Roman, QString(ch)});
    }
    flush();
}

// Each piece list is one group of the usage: the command and its arguments,
// then one group per option (or choice of options, or option group), so
// that a long usage breaks between groups.
std::vector<std::vector<Piece>> usageGroups(const Command& c) {
    std::vector<std::vector<Piece>> groups;
    std::vector<Piece> head = {{Piece::Bold, c.name}};
    if (!c.arguments.isEmpty()) {
        head.push_back({Piece::Roman, QStringLiteral(" ")});
        appendArguments(head, c);
    }
    groups.push_back(head);
    QStringList done;
    for (const Option& o : c.options) {
        std::vector<Piece> g;
        if (!o.group.isEmpty()) {
            if (done.contains(o.group))
                continue;
            done << o.group;
            g.push_back({Piece::Roman, QStringLiteral("[")});
            g.push_back({Piece::Italic, o.group});
            g.push_back({Piece::Roman, QStringLiteral("]")});
        } else if (!o.oneOf.isEmpty()) {
            if (done.contains(o.oneOf))
                continue;
            done << o.oneOf;
            g.push_back({Piece::Roman, QStringLiteral("[")});
            bool first = true;
            for (const Option& alternative : c.options) {
                if (alternative.oneOf != o.oneOf)
                    continue;
                if (!first)
                    g.push_back({Piece::Roman, QStringLiteral(" | ")});
                first = false;
                appendOption(g, alternative);
            }
            g.push_back({Piece::Roman, QStringLiteral("]")});
        } else {
            if (!o.required)
                g.push_back({Piece::Roman, QStringLiteral("[")});
            appendOption(g, o);
            if (!o.required)
                g.push_back({Piece::Roman, QStringLiteral("]")});
        }
        groups.push_back(g);
    }
    return groups;
}

QString plain(const std::vector<Piece>& pieces) {
    QString out;
    for (const Piece& p : pieces)
        out += p.text;
    return out;
}

QString roff(const std::vector<Piece>& pieces) {
    QString out;
    for (const Piece& p : pieces) {
        const QString text = escapedForRoff(p.text);
        switch (p.style) {
        case Piece::Roman:
            out += text;
            break;
        case Piece::Bold:
            out += QStringLiteral("\\fB") + text + QStringLiteral("\\fR");
            break;
        case Piece::Italic:
            out += QStringLiteral("\\fI") + text + QStringLiteral("\\fR");
            break;
        }
    }
    return out;
}

QString optionLines(const std::vector<Option>& options) {
    int width = 0;
    for (const Option& o : options)
        width = std::max<int>(width, (o.name + QLatin1Char(' ') + o.value).trimmed().size());
    QString text;
    for (const Option& o : options) {
        const QString head = (o.name + QLatin1Char(' ') + o.value).trimmed();
        const QStringList lines = o.help.split(QLatin1Char('\n'));
        text += QStringLiteral("  ") + head.leftJustified(width + 2) + lines.first() +
                QLatin1Char('\n');
        for (qsizetype i = 1; i < lines.size(); ++i)
            text += QString(width + 4, QLatin1Char(' ')) + lines[i] + QLatin1Char('\n');
    }
    return text;
}

const QString kGlobalUsage = QStringLiteral("[--vault PATH] [--password-stdin]");

} // namespace

const QString& programName() {
    static const QString name = QStringLiteral("keynook-cli");
    return name;
}

const std::vector<Command>& commands() {
    static const std::vector<Command> all = makeCommands();
    return all;
}

const std::vector<Option>& globalOptions() {
    static const std::vector<Option> all = {
        valued("--vault", "PATH", Kind::File,
               "the vault file (data.enc) to use; by default $KEYNOOK_VAULT,\n"
               "or else the one the window uses: beside the program, or for\n"
               "an installed copy ~/.local/share/Keynook/data.enc"),
        flag("--password-stdin", "read the master password from the first line of standard\n"
                                 "input, and any other secret the command needs from the\n"
                                 "lines after it; otherwise they are asked on the terminal"),
    };
    return all;
}

const Command* commandNamed(const QString& name) {
    for (const Command& c : commands())
        if (c.name == name)
            return &c;
    return nullptr;
}

const Option* optionOf(const Command& command, const QString& name) {
    for (const Option& o : command.options)
        if (o.name == name)
            return &o;
    return nullptr;
}

const Option* globalOption(const QString& name) {
    for (const Option& o : globalOptions())
        if (o.name == name)
            return &o;
    return nullptr;
}

QString listed(const QStringList& words, const QString& last) {
    if (words.size() < 2)
        return words.value(0);
    return words.first(words.size() - 1).join(QStringLiteral(", ")) + QLatin1Char(' ') + last +
           QLatin1Char(' ') + words.last();
}

QString usage(const Command& command) {
    // The first line follows "Usage: keynook-cli [--vault PATH] ...", the
    // others are indented under it: none much past 80 columns.
    constexpr qsizetype kFirstWidth = 32;
    constexpr qsizetype kWidth = 68;
    QString text;
    QString line;
    for (const std::vector<Piece>& group : usageGroups(command)) {
        const QString g = plain(group);
        const qsizetype width = text.isEmpty() ? kFirstWidth : kWidth;
        if (!line.isEmpty() && line.size() + 1 + g.size() > width) {
            text += line + QLatin1Char('\n');
            line.clear();
        }
        line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + g;
    }
    return text + line;
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
            .arg(programName(), kGlobalUsage);
    for (const Command& c : commands()) {
        // Arguments too long for the column are told by the command's help.
        QString listed = c.arguments.isEmpty() ? c.name : c.name + QLatin1Char(' ') + c.arguments;
        if (listed.size() > 16)
            listed = c.name + QStringLiteral(" ...");
        text += QStringLiteral("  %1%2\n").arg(listed.leftJustified(17), c.summary);
    }
    text += QStringLiteral("\nOptions:\n") + optionLines(globalOptions()) +
            QStringLiteral(
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
    QString shown = usage(c);
    shown.replace(QLatin1Char('\n'), QStringLiteral("\n           "));
    QString text =
        QStringLiteral("Usage: %1 %2 %3\n\n%4").arg(programName(), kGlobalUsage, shown, c.help);
    if (!c.options.empty())
        text += QLatin1Char('\n') + optionLines(c.options);
    return text;
}

QString manSynopsis() {
    std::vector<Piece> line = {{Piece::Bold, programName()}};
    for (const Option& o : globalOptions()) {
        line.push_back({Piece::Roman, QStringLiteral(" [")});
        appendOption(line, o);
        line.push_back({Piece::Roman, QStringLiteral("]")});
    }
    line.push_back({Piece::Roman, QStringLiteral(" ")});
    line.push_back({Piece::Italic, QStringLiteral("command")});
    line.push_back({Piece::Roman, QStringLiteral(" [")});
    line.push_back({Piece::Italic, QStringLiteral("options")});
    line.push_back({Piece::Roman, QStringLiteral("]")});
    return roff(line);
}

QString manUsage(const Command& command) {
    std::vector<Piece> all;
    for (const std::vector<Piece>& group : usageGroups(command)) {
        if (!all.empty())
            all.push_back({Piece::Roman, QStringLiteral(" ")});
        all.insert(all.end(), group.begin(), group.end());
    }
    return roff(all);
}

} // namespace cli
