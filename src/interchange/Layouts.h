#pragma once

#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <optional>
#include <vector>

// The CSV layouts Keynook reads and writes: its own, and those of the
// managers people move from and to. One table per layout says which column
// feeds which of Keynook's three fields, which columns are known but not
// kept, and what export writes; import and export both read it, so a column
// means the same thing both ways.
namespace interchange {

enum class Layout { Keynook, Chrome, Firefox, KeePassXC, Bitwarden, LastPass, OnePassword };

// What a column holds, for Keynook.
enum class Role : unsigned char {
    Username,
    Password,
    // The web address or place: the entry's location.
    Address,
    // The manager's name for the entry, which stands in for an empty address.
    // Export writes the host of a web address there, or the location.
    Title,
    // Which records are logins, the one kind of item Keynook holds: those
    // whose cell is the column's `value` (Bitwarden's item type).
    Kind,
    // Read and counted when it holds something, and not kept.
    NotKept,
    // The manager's own bookkeeping (its identities of entries, the times
    // it keeps), which means nothing outside it and is no data a user
    // loses: read, and passed over, as KeePass XML's times are.
    Bookkeeping,
};

struct Column {
    // As the manager writes it; a header names it in any case.
    const char* name;
    Role role;
    // NotKept: what a cell of it holds, and what several hold, as an
    // import's summary counts them.
    const char* one = nullptr;
    const char* many = nullptr;
    // NotKept: the value that means nothing set (a favourite mark's "0"),
    // which loses no more than an empty cell.
    const char* unset = nullptr;
    // Kind: a login's value. NotKept: what export writes (nothing when null).
    const char* value = nullptr;
    // Every version of the manager's export writes it: a header without it
    // is not of this layout. Columns that newer versions added are not.
    bool required = true;
    // Keynook's export writes it.
    bool exported = true;
};

struct LayoutTable {
    Layout layout;
    // As the command line spells it.
    const char* name;
    // As messages name the manager.
    const char* shownAs;
    // In the order the manager writes them.
    std::vector<Column> columns;
    // The manager is a browser, whose import passes over entries whose
    // location it cannot make a site of, and some others: browserRefusal()
    // (Places.h) tells which, and why.
    bool webAddressesOnly = false;
    // A record whose address is this is a note, not a login.
    const char* noteAddress = nullptr;
    // The manager writes an item's several addresses into one cell, with
    // commas between them, as its importer splits them again: the first is
    // the location, and the others are counted as further addresses.
    bool addressesInOneCell = false;
    // The group right under the root that is the manager's recycle bin, as
    // a record's group path (the column "Group") names it: records in it,
    // or in a group inside it, are skipped and counted.
    const char* recycleBin = nullptr;
};

// Every layout, Keynook's first.
const std::vector<LayoutTable>& layouts();
const LayoutTable& layoutTable(Layout layout);

// "keynook", "chrome" (Chrome and Edge), "firefox", "keepassxc",
// "bitwarden", "lastpass" and "1password", as the command line spells them.
QString layoutName(Layout layout);
std::optional<Layout> layoutNamed(QStringView name);
// "keynook, chrome, ... or 1password".
QString layoutNames();

// A header line read against the tables: the layout whose columns it
// names, each at most once, ignoring case and spaces around, in any order,
// with every column the layout requires and none it does not know. When two
// layouts fit, the one that requires more columns is taken.
struct HeaderMatch {
    const LayoutTable* table = nullptr;
    // For each column of the header, its column in the table.
    std::vector<const Column*> columns;
    // Why the header is of no layout, when table is null.
    QString error;
};
HeaderMatch matchHeader(const std::vector<QByteArrayView>& header);

// Why a first line is no header, when it holds semicolons between what
// would be its columns and no comma; empty otherwise.
QString semicolonsBetweenColumns(QByteArrayView firstLine);

} // namespace interchange
