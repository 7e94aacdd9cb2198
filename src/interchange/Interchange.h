#pragma once

#include "vault/Entry.h"
#include "vault/EntryStore.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <optional>
#include <vector>

// Entries in and out of the files that password managers exchange: CSV in
// the layouts of the managers we move to and from, and a JSON array of our
// own. Everything here works on bytes in memory and reports by value: no
// exception leaves it, nothing is printed, no file is touched.
//
// An import is all or nothing: at the first problem the result holds no
// entries, only the reason and where it is.
namespace interchange {

enum class Format { Csv, Json };

// The CSV layouts, each known by its header line. Keynook's own holds
// exactly our three fields; the others are what each manager exports and
// accepts for import.
enum class Layout { Keynook, Chrome, Firefox, KeePassXC, Bitwarden };

// "keynook", "chrome" (Chrome and Edge), "firefox", "keepassxc" and
// "bitwarden", as the command line spells them.
QString layoutName(Layout layout);
std::optional<Layout> layoutNamed(QStringView name);

struct ExportResult {
    QByteArray bytes;
    // Empty unless some text cannot be written as UTF-8 (a lone surrogate);
    // it names the entry, counting from 1, and the field.
    QString error;

    bool ok() const { return error.isEmpty(); }
};

// A header line and one record per entry, in UTF-8 without a byte order
// mark, every record ending in CR LF. Layouts other than Keynook's fill the
// columns they share with us and leave the rest empty, except where the
// importing manager needs a value: see Interchange.cpp.
ExportResult exportCsv(const std::vector<Entry>& entries, Layout layout = Layout::Keynook);
// The same bytes, written from the entries as the vault holds them, in slot
// order; plain fields go from their ciphered bytes to UTF-8 through a table,
// without a string made for them.
ExportResult exportCsv(const EntryStore& entries, Layout layout = Layout::Keynook);

// A JSON array of objects with the keys "username", "password" and
// "location" in that order, one object per line, in UTF-8; every line ends
// in LF.
ExportResult exportJson(const std::vector<Entry>& entries);
ExportResult exportJson(const EntryStore& entries);

// What an import found besides its entries.
struct ImportReport {
    Format format = Format::Csv;
    // The layout the CSV header named.
    Layout layout = Layout::Keynook;
    // Records or items whose fields were all empty: nothing to keep.
    qsizetype skippedEmpty = 0;
    // Bitwarden items other than logins (secure notes, cards, identities).
    qsizetype skippedNotLogins = 0;

    // Empty when the whole file was read. Otherwise there are no entries,
    // and the text says what is wrong and where.
    QString error;
    // The line of the file the error is on, counting from 1; 0 when it is
    // not about a line.
    int line = 0;
    // The JSON array item the error is about, counting from 0; -1 when it is
    // not about an item.
    qsizetype item = -1;

    bool ok() const { return error.isEmpty(); }
};

struct ImportResult : ImportReport {
    std::vector<Entry> entries;
};

// The entries as a vault holds them, in the file's order: what an import
// into a vault adds.
struct EncodedImport : ImportReport {
    EntryStore entries;
};

// What a file holds, from its bytes alone: JSON when the first character
// other than white space (after a byte order mark) is '[', otherwise CSV
// whose header line names one of the layouts. The error names the layouts'
// headers when it is CSV of none of them.
struct Detection {
    Format format = Format::Csv;
    Layout layout = Layout::Keynook;
    QString error;
    int line = 0;

    bool ok() const { return error.isEmpty(); }
};
Detection detect(QByteArrayView bytes);

// CSV in any of the layouts, told apart by the header line (exact column
// names, in order, case counting). Every record must have as many fields as
// the header. An entry's location is the record's web address, or its
// title or name when that is empty.
ImportResult importCsv(QByteArrayView bytes);
// What exportJson() writes. Keys other than ours are ignored; each item must
// have all three, as strings (a key given twice counts with its last value,
// as Qt reads it).
ImportResult importJson(QByteArrayView bytes);
// Whichever detect() finds.
ImportResult importAny(QByteArrayView bytes);

// The same import, in the format given or the one detect() finds, with each
// entry encoded as the vault holds it. The entries are those importAny()
// gives, in the same lines EntryStore::append() would make of them; fields
// of CSV go from the file's bytes into the lines without a string made for
// them, which is what makes a large import quick.
EncodedImport importEncoded(QByteArrayView bytes, std::optional<Format> format = std::nullopt);

} // namespace interchange
