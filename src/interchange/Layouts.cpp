#include "interchange/Layouts.h"

#include <QStringList>

#include <algorithm>

namespace interchange {

namespace {

Column kept(const char* name, Role role, const char* value = nullptr) {
    return {.name = name, .role = role, .value = value};
}

Column notKept(const char* name, const char* one, const char* many, const char* unset = nullptr,
               const char* value = nullptr) {
    return {.name = name,
            .role = Role::NotKept,
            .one = one,
            .many = many,
            .unset = unset,
            .value = value};
}

// The manager's identities and times, which mean nothing outside it.
Column bookkeeping(const char* name) {
    return {.name = name, .role = Role::Bookkeeping};
}

// A column that not every version of the manager's export writes.
Column notAlways(Column c) {
    c.required = false;
    return c;
}

// A column Keynook's export leaves out.
Column unwritten(Column c) {
    c.exported = false;
    return c;
}

// What each manager's export writes, as its documentation and its files
// show it. Export writes what each manager's import takes: the columns of
// an older version where that is all it needs, the columns we have no
// field for empty, except where the importer needs a value (Bitwarden's
// item type and reprompt flag, LastPass's favourite mark). Firefox fills
// its guid and its times itself when they are empty, and a made-up guid
// would make two exports of one vault differ. A value that means nothing
// set (a favourite mark's "0", KeePassXC's root group) is no loss.
std::vector<LayoutTable> makeLayouts() {
    using R = Role;
    return {
        {Layout::Keynook,
         "keynook",
         "Keynook",
         {kept("username", R::Username), kept("password", R::Password),
          kept("location", R::Address)}},
        // Chrome 115 added the note column.
        {Layout::Chrome,
         "chrome",
         "Chrome or Edge",
         {kept("name", R::Title), kept("url", R::Address), kept("username", R::Username),
          kept("password", R::Password), notAlways(unwritten(notKept("note", "note", "notes")))},
         true},
        {Layout::Firefox,
         "firefox",
         "Firefox",
         {kept("url", R::Address), kept("username", R::Username), kept("password", R::Password),
          notAlways(notKept("httpRealm", "HTTP realm", "HTTP realms")),
          notAlways(notKept("formActionOrigin", "form address", "form addresses")),
          notAlways(bookkeeping("guid")), notAlways(bookkeeping("timeCreated")),
          notAlways(bookkeeping("timeLastUsed")), notAlways(bookkeeping("timePasswordChanged"))},
         true},
        // Version 2.7 added the last four columns. Its recycle bin is a
        // group like any other, right under the root.
        {Layout::KeePassXC,
         "keepassxc",
         "KeePassXC",
         {notKept("Group", "group", "groups", "Root"), kept("Title", R::Title),
          kept("Username", R::Username), kept("Password", R::Password), kept("URL", R::Address),
          notKept("Notes", "note", "notes"),
          notAlways(unwritten(notKept("TOTP", "TOTP secret", "TOTP secrets"))),
          notAlways(unwritten(notKept("Icon", "icon", "icons", "0"))),
          notAlways(unwritten(bookkeeping("Last Modified"))),
          notAlways(unwritten(bookkeeping("Created")))},
         false,
         nullptr,
         false,
         "Recycle Bin"},
        // An organisation's export has collections where a personal one has
        // folder and favorite; exports before 2021 have no reprompt. An
        // item's URIs share one cell, separated by commas.
        {Layout::Bitwarden,
         "bitwarden",
         "Bitwarden",
         {notAlways(notKept("folder", "folder", "folders")),
          notAlways(notKept("favorite", "favourite mark", "favourite marks", "0")),
          kept("type", R::Kind, "login"), kept("name", R::Title), notKept("notes", "note", "notes"),
          notKept("fields", "entry's custom fields", "entries' custom fields"),
          notAlways(notKept("reprompt", "master password re-prompt", "master password re-prompts",
                            "0", "0")),
          kept("login_uri", R::Address), kept("login_username", R::Username),
          kept("login_password", R::Password), notKept("login_totp", "TOTP secret", "TOTP secrets"),
          notAlways(
              unwritten(notKept("collections", "entry's collections", "entries' collections")))},
         false,
         nullptr,
         true},
        // Exports before TOTP came have no totp column. A secure note is a
        // record with the address http://sn.
        {Layout::LastPass,
         "lastpass",
         "LastPass",
         {kept("url", R::Address), kept("username", R::Username), kept("password", R::Password),
          notAlways(notKept("totp", "TOTP secret", "TOTP secrets")),
          notKept("extra", "note", "notes"), kept("name", R::Title),
          notKept("grouping", "group", "groups"),
          notKept("fav", "favourite mark", "favourite marks", "0", "0")},
         false,
         "http://sn"},
        {Layout::OnePassword,
         "1password",
         "1Password",
         {kept("Title", R::Title), kept("Url", R::Address), kept("Username", R::Username),
          kept("Password", R::Password), notKept("OTPAuth", "TOTP secret", "TOTP secrets"),
          notKept("Favorite", "favourite mark", "favourite marks", "false", "false"),
          notKept("Archived", "archive mark", "archive marks", "false", "false"),
          notKept("Tags", "entry's tags", "entries' tags"), notKept("Notes", "note", "notes")}},
    };
}

// A header's name as it is compared: without the spaces and tabs around it,
// ASCII letters in lower case.
QByteArray folded(QByteArrayView name) {
    QByteArray f = name.trimmed().toByteArray();
    for (char& c : f)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + ('a' - 'A'));
    return f;
}

QString quotedName(QByteArrayView name) {
    return QLatin1Char('"') + QString::fromUtf8(name) + QLatin1Char('"');
}

// "a, b and c".
QString joined(const QStringList& words) {
    if (words.size() < 2)
        return words.value(0);
    return words.first(words.size() - 1).join(QStringLiteral(", ")) + QStringLiteral(" and ") +
           words.last();
}

const QString& layoutsText() {
    static const QString text = [] {
        QString t = QStringLiteral("The layouts Keynook reads, by their header's columns:");
        for (const LayoutTable& table : layouts()) {
            QStringList required, optional;
            for (const Column& c : table.columns)
                (c.required ? required : optional).append(QString::fromUtf8(c.name));
            t += QStringLiteral("\n  %1: %2")
                     .arg(QString::fromUtf8(table.shownAs), required.join(QLatin1Char(',')));
            if (!optional.isEmpty())
                t += QStringLiteral(" (and any of: %1)").arg(optional.join(QLatin1Char(',')));
        }
        return t;
    }();
    return text;
}

// How well the header fits a table.
struct Fit {
    const LayoutTable* table = nullptr;
    std::vector<const Column*> columns;
    QStringList unknown;
    QStringList missing;
    int known = 0;
    int required = 0;
};

Fit fitOf(const LayoutTable& table, const std::vector<QByteArray>& names,
          const std::vector<QByteArrayView>& header) {
    Fit f;
    f.table = &table;
    for (size_t k = 0; k < names.size(); ++k) {
        const auto it = std::find_if(table.columns.begin(), table.columns.end(),
                                     [&](const Column& c) { return folded(c.name) == names[k]; });
        f.columns.push_back(it == table.columns.end() ? nullptr : &*it);
        if (it == table.columns.end())
            f.unknown << quotedName(header[k].trimmed());
        else
            ++f.known;
    }
    for (const Column& c : table.columns) {
        if (!c.required)
            continue;
        ++f.required;
        if (std::find(f.columns.begin(), f.columns.end(), &c) == f.columns.end())
            f.missing << quotedName(c.name);
    }
    return f;
}

} // namespace

const std::vector<LayoutTable>& layouts() {
    static const std::vector<LayoutTable> all = makeLayouts();
    return all;
}

const LayoutTable& layoutTable(Layout layout) {
    return layouts()[static_cast<size_t>(layout)];
}

QString layoutName(Layout layout) {
    return QString::fromUtf8(layoutTable(layout).name);
}

std::optional<Layout> layoutNamed(QStringView name) {
    for (const LayoutTable& table : layouts())
        if (name == QLatin1String(table.name))
            return table.layout;
    return std::nullopt;
}

QString layoutNames() {
    QStringList names;
    for (const LayoutTable& table : layouts())
        names << QString::fromUtf8(table.name);
    return names.first(names.size() - 1).join(QStringLiteral(", ")) + QStringLiteral(" or ") +
           names.last();
}

QString semicolonsBetweenColumns(QByteArrayView firstLine) {
    if (!firstLine.contains(';') || firstLine.contains(','))
        return {};
    return QStringLiteral("the header's columns are separated by semicolons, as a spreadsheet "
                          "saves CSV where a comma is the decimal mark; Keynook reads CSV with "
                          "commas between the columns, as the managers export it: save it with "
                          "commas instead");
}

HeaderMatch matchHeader(const std::vector<QByteArrayView>& header) {
    HeaderMatch m;
    if (header.size() == 1) {
        m.error = semicolonsBetweenColumns(header.front());
        if (!m.error.isEmpty())
            return m;
    }
    std::vector<QByteArray> names;
    for (const QByteArrayView name : header)
        names.push_back(folded(name));
    for (size_t k = 0; k < names.size(); ++k) {
        if (std::find(names.begin(), names.begin() + static_cast<std::ptrdiff_t>(k), names[k]) !=
            names.begin() + static_cast<std::ptrdiff_t>(k)) {
            m.error = QStringLiteral("the header names the column %1 twice")
                          .arg(quotedName(header[k].trimmed()));
            return m;
        }
    }
    Fit best, nearest;
    for (const LayoutTable& table : layouts()) {
        Fit f = fitOf(table, names, header);
        if (f.unknown.isEmpty() && f.missing.isEmpty()) {
            if (!best.table || f.required > best.required)
                best = std::move(f);
        } else if (!nearest.table || f.known > nearest.known ||
                   (f.known == nearest.known && f.missing.size() < nearest.missing.size())) {
            // Of layouts that know as many of the columns, the one that
            // misses fewest is nearest.
            nearest = std::move(f);
        }
    }
    if (best.table) {
        m.table = best.table;
        m.columns = std::move(best.columns);
        return m;
    }
    // Two columns in common make a layout worth naming: every layout has a
    // username and a password.
    if (nearest.known >= 2) {
        QStringList wrong;
        if (!nearest.missing.isEmpty())
            wrong << QStringLiteral("it has no %1").arg(joined(nearest.missing));
        if (!nearest.unknown.isEmpty())
            wrong << QStringLiteral("%1 %2 no column %3 writes")
                         .arg(joined(nearest.unknown),
                              nearest.unknown.size() == 1 ? QStringLiteral("is")
                                                          : QStringLiteral("are"),
                              QString::fromUtf8(nearest.table->shownAs));
        m.error = QStringLiteral("the header is nearest to the layout of %1, but %2; Keynook "
                                 "reads only the columns it knows, so that nothing is dropped "
                                 "unseen. %3")
                      .arg(QString::fromUtf8(nearest.table->shownAs),
                           wrong.join(QStringLiteral(", and ")), layoutsText());
        return m;
    }
    m.error = QStringLiteral("the first line is not the header of a layout Keynook reads. ") +
              layoutsText();
    return m;
}

} // namespace interchange
