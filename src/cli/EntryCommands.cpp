// The commands on the vault's entries: list, show, get, clip, add, edit and
// remove, and generate, which makes the new passwords add and edit store.
#include "cli/Clipboard.h"
#include "cli/Commands.h"
#include "cli/Context.h"
#include "cli/Listing.h"
#include "cli/PasswordGenerator.h"
#include "cli/Terminal.h"
#include "secrets/Wipe.h"
#include "vault/EntrySort.h"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

namespace cli {

namespace {

// The longest a copied field waits on the clipboard before it is cleared.
constexpr int kMaxTimeout = 24 * 60 * 60;
constexpr int kDefaultTimeout = 30;

int lengthOf(const QString& option, const QString& text) {
    return numberOf(option, text, passwordgenerator::kMinLength, passwordgenerator::kMaxLength,
                    QStringLiteral("number of characters"));
}

// How a new password is to be made, from the generator options: for
// `generate`, whose --length gives the number of characters, and for `add`
// and `edit` with --generate or --words, where --generate gives it.
passwordgenerator::Recipe recipe(const Context& c, const QString& lengthOption) {
    namespace pg = passwordgenerator;
    pg::Recipe r;
    if (const auto words = c.value(QStringLiteral("--words")))
        r.words = numberOf(QStringLiteral("--words"), *words, pg::kMinWords, pg::kMaxWords,
                           QStringLiteral("number of words"));
    if (const auto length = c.value(lengthOption))
        r.length = lengthOf(lengthOption, *length);
    if (const auto kinds = c.value(QStringLiteral("--classes"))) {
        r.kinds = pg::kindsNamed(*kinds);
        if (r.kinds.isEmpty())
            fail(UserError, QStringLiteral("the value given to --classes is not a list of "
                                           "kinds; --classes takes upper, lower, digits and "
                                           "symbols, separated by commas"));
    }
    if (c.has(QStringLiteral("--no-symbols")))
        r.kinds.removeAll(QStringLiteral("symbols"));
    if (r.kinds.isEmpty())
        fail(UserError, QStringLiteral("--no-symbols leaves no kind of character to draw "
                                       "from"));
    if (const auto set = c.value(QStringLiteral("--characters"))) {
        for (const QString& kinds : {QStringLiteral("--classes"), QStringLiteral("--no-symbols")})
            if (c.given(kinds))
                fail(UserError, QStringLiteral("--characters and %1 both say what to draw "
                                               "from; choose one")
                                    .arg(kinds));
        if (set->isEmpty())
            fail(UserError, QStringLiteral("--characters needs the characters to draw from"));
        r.characters = *set;
    }
    r.noLookAlikes = c.has(QStringLiteral("--no-look-alikes"));
    if (const auto separator = c.value(QStringLiteral("--separator")))
        r.separator = *separator;
    if (const auto list = c.value(QStringLiteral("--word-list")))
        r.wordList = *list;
    const QStringList forCharacters = {QStringLiteral("--classes"), QStringLiteral("--characters"),
                                       QStringLiteral("--no-symbols"),
                                       QStringLiteral("--no-look-alikes")};
    const QStringList forWords = {QStringLiteral("--separator"), QStringLiteral("--word-list")};
    for (const QString& o : r.words > 0 ? forCharacters : forWords)
        if (c.given(o))
            fail(UserError, r.words > 0
                                ? QStringLiteral("%1 goes with characters, not --words").arg(o)
                                : QStringLiteral("%1 goes with --words").arg(o));
    return r;
}

// A new password as the recipe makes it; how strong it is goes to
// standard error, never the password.
SecretText made(const Context& c, const QString& lengthOption) {
    passwordgenerator::Made m = passwordgenerator::generate(recipe(c, lengthOption));
    if (!m.error.isEmpty())
        fail(UserError, m.error + QStringLiteral("; nothing was made or changed"));
    tell(QStringLiteral("Generated %1: %2 bits of entropy.").arg(m.how).arg(m.bits, 0, 'f', 1));
    return SecretText(std::move(m.password));
}

bool generating(const Context& c) {
    return c.given(QStringLiteral("--generate")) || c.given(QStringLiteral("--words"));
}

// What add's and edit's generator options say, checked before the vault is
// opened or anything is asked: they make sense only with --generate or
// --words.
void checkGeneratorOptions(const Context& c) {
    for (const Option& o : c.command().options)
        if ((!o.group.isEmpty() || o.name == QLatin1String("--show-password")) && c.given(o.name) &&
            !generating(c))
            fail(UserError, QStringLiteral("%1 goes with --generate or --words").arg(o.name));
    if (generating(c))
        recipe(c, QStringLiteral("--generate"));
}

SecretText newEntryPassword(Context& c) {
    if (generating(c))
        return made(c, QStringLiteral("--generate"));
    SecretText password = c.secrets().fresh(QStringLiteral("Password for the entry: "),
                                            QStringLiteral("Repeat the password: "),
                                            QStringLiteral("the entry's password"));
    if (password.text().isEmpty())
        fail(UserError, QStringLiteral("you must enter a password; nothing was changed"));
    return password;
}

void showGenerated(const Context& c, const SecretText& password) {
    if (c.has(QStringLiteral("--show-password"))) {
        QByteArray utf8 = password.text().toUtf8();
        output(utf8);
        output("\n");
        secrets::wipe(utf8);
    }
}

std::vector<int> matches(const Context& c) {
    const QString text = c.arguments().at(0).toCaseFolded();
    const bool exact = c.has(QStringLiteral("--exact"));
    const EntryStore& entries = c.entries();
    std::vector<int> found;
    // Folded from the entries' bytes, without a string made per field.
    std::vector<char16_t> folded;
    for (size_t s = 0; s < entries.size(); ++s) {
        for (const int field : {EntryStore::Username, EntryStore::Location}) {
            folded.clear();
            entries.appendFolded(s, field, folded);
            const QStringView f(folded.data(), static_cast<qsizetype>(folded.size()));
            if (exact ? f == text : f.contains(text)) {
                found.push_back(static_cast<int>(s));
                break;
            }
        }
    }
    return found;
}

QString noMatch(const Context& c) {
    return QStringLiteral("no entry's username or location %1 %2")
        .arg(c.has(QStringLiteral("--exact")) ? QStringLiteral("is") : QStringLiteral("contains"),
             quoted(c.arguments().at(0)));
}

// The one entry the text names; none or several is the user's to
// resolve, with the candidates named.
int oneMatch(const Context& c) {
    const std::vector<int> found = matches(c);
    if (found.empty())
        fail(UserError, noMatch(c));
    if (found.size() > 1) {
        constexpr size_t kNamed = 20;
        QString message =
            QStringLiteral("%1 entries match %2; name one alone with a longer text or "
                           "--exact:")
                .arg(found.size())
                .arg(quoted(c.arguments().at(0)));
        for (size_t k = 0; k < found.size() && k < kNamed; ++k)
            message += QStringLiteral("\n  ") + named(c.entries(), found[k]);
        if (found.size() > kNamed)
            message += QStringLiteral("\n  and %1 more").arg(found.size() - kNamed);
        fail(UserError, message);
    }
    return found.front();
}

void showRows(const Context& c, const std::vector<int>& rows, listing::Format format) {
    output(listing::render(c.entries(), rows, format, c.has(QStringLiteral("--show-passwords"))));
}

// The field --field names, or the password: what a person looks an
// entry up for.
int fieldAsked(const Context& c) {
    const auto name = c.value(QStringLiteral("--field"));
    return name ? fieldNamed(QStringLiteral("--field"), *name) : int(EntryStore::Password);
}

} // namespace

int listEntries(Context& c) {
    const listing::Format format = formatNamed(c.value(QStringLiteral("--format")));
    const auto sort = c.value(QStringLiteral("--sort"));
    const int sortField = sort ? fieldNamed(QStringLiteral("--sort"), *sort) : 0;
    c.secrets().requireSource();
    c.open(false);
    std::vector<int> order;
    const bool reverse = c.has(QStringLiteral("--reverse"));
    if (sort) {
        order = entrysort::sortedSlots(c.entries(), sortField, !reverse);
    } else {
        order = fileOrder(c.entries().size());
        if (reverse)
            std::reverse(order.begin(), order.end());
    }
    showRows(c, order, format);
    return Success;
}

int showEntries(Context& c) {
    const listing::Format format = formatNamed(c.value(QStringLiteral("--format")));
    c.secrets().requireSource();
    c.open(false);
    const std::vector<int> found = matches(c);
    if (found.empty())
        fail(UserError, noMatch(c));
    showRows(c, found, format);
    return Success;
}

int getField(Context& c) {
    const int field = fieldAsked(c);
    c.secrets().requireSource();
    c.open(false);
    const int slot = oneMatch(c);
    if (c.value(QStringLiteral("--format")) == QLatin1String("json")) {
        std::vector<int> fields = {EntryStore::Username, EntryStore::Password,
                                   EntryStore::Location};
        if (c.value(QStringLiteral("--field")))
            fields = {field};
        output(listing::renderObject(c.entries(), slot, fields));
        return Success;
    }
    output(c.entries().field(static_cast<size_t>(slot), field).toUtf8() + '\n');
    return Success;
}

int clipField(Context& c) {
    const int field = fieldAsked(c);
    const int seconds =
        c.value(QStringLiteral("--timeout"))
            ? numberOf(QStringLiteral("--timeout"), *c.value(QStringLiteral("--timeout")), 0,
                       kMaxTimeout, QStringLiteral("number of seconds"))
            : kDefaultTimeout;
    c.secrets().requireSource();
    c.open(false);
    const int slot = oneMatch(c);
    const SecretText text(c.entries().field(static_cast<size_t>(slot), field));
    const QString name = named(c.entries(), slot);
    // The clipboard's process holds no lock: the vault is let go first.
    c.letGo();
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

int addEntry(Context& c) {
    checkGeneratorOptions(c);
    c.secrets().requireSource();
    const QString username = c.value(QStringLiteral("--username")).value_or(QString());
    if (username.isEmpty())
        fail(UserError, QStringLiteral("you must enter a username: --username U"));
    c.open(true);
    EntryStore& entries = c.entries();
    const SecretText password = newEntryPassword(c);
    entries.append(Entry{username, password.text(),
                         c.value(QStringLiteral("--location")).value_or(QString())});
    c.saveEntries();
    tell(QStringLiteral("Added %1. The vault holds %2.")
             .arg(named(entries, static_cast<int>(entries.size() - 1)),
                  entriesCount(entries.size())));
    showGenerated(c, password);
    return Success;
}

int editEntry(Context& c) {
    checkGeneratorOptions(c);
    c.secrets().requireSource();
    const auto username = c.value(QStringLiteral("--username"));
    const auto location = c.value(QStringLiteral("--location"));
    const bool newPassword = c.has(QStringLiteral("--password")) || generating(c);
    if (!username && !location && !newPassword)
        fail(UserError, QStringLiteral("nothing to change: give --username, --location, "
                                       "--password, --generate or --words"));
    if (username && username->isEmpty())
        fail(UserError, QStringLiteral("you must enter a username; nothing was changed"));
    c.open(true);
    EntryStore& entries = c.entries();
    const int slot = oneMatch(c);
    // Outlives the entry that shares it, so that it is the last holder.
    const SecretText password = newPassword ? newEntryPassword(c) : SecretText();
    Entry entry = entries.entry(static_cast<size_t>(slot));
    if (username)
        entry.username = *username;
    if (location)
        entry.location = *location;
    if (newPassword)
        entry.password = password.text();
    entries.replace(static_cast<size_t>(slot), entry);
    c.saveEntries();
    tell(QStringLiteral("Changed %1.").arg(named(entries, slot)));
    showGenerated(c, password);
    return Success;
}

int removeEntry(Context& c) {
    c.secrets().requireSource();
    if (!c.has(QStringLiteral("--yes")) && !c.secrets().terminal())
        fail(UserError, QStringLiteral("remove asks before it removes an entry, and there "
                                       "is no terminal to ask on; add --yes"));
    c.open(true);
    EntryStore& entries = c.entries();
    const int slot = oneMatch(c);
    const QString name = named(entries, slot);
    if (!c.has(QStringLiteral("--yes"))) {
        Terminal* t = c.secrets().terminal();
        std::optional<QByteArray> answer =
            t ? t->readAnswer(QStringLiteral("Remove %1? [y/N] ").arg(name)) : std::nullopt;
        const QString a = answer ? QString::fromUtf8(*answer).trimmed().toLower() : QString();
        // Declining is an answer, not a mistake.
        if (a != QLatin1String("y") && a != QLatin1String("yes")) {
            tell(QStringLiteral("Nothing was removed."));
            return Success;
        }
    }
    entries.erase(static_cast<size_t>(slot));
    c.saveEntries();
    tell(QStringLiteral("Removed %1. The vault holds %2.").arg(name, entriesCount(entries.size())));
    return Success;
}

// The vault is not opened, and nothing is asked: the options are checked
// as the recipe is made.
int generatePassword(Context& c) {
    const SecretText password = made(c, QStringLiteral("--length"));
    QByteArray utf8 = password.text().toUtf8() + '\n';
    output(utf8);
    secrets::wipe(utf8);
    return Success;
}

} // namespace cli
