#pragma once

#include "interchange/Layouts.h"
#include "vault/Entry.h"
#include "vault/EntryStore.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

// Entries in and out of the files that password managers exchange: CSV in
// the layouts of Layouts.h, and a JSON array of our own. Everything here
// works on bytes in memory and reports by value: no exception leaves it,
// nothing is printed, no file is touched.
//
// An import is all or nothing: at the first problem the result holds no
// entries, only the reason and where it is. Nothing is dropped unseen: what
// a file holds that Keynook does not keep is counted, column by column.
namespace interchange {

// The formats a file can be in: CSV, our JSON, KeePass 2 XML (as KeePass
// and KeePassXC export it unencrypted) and Bitwarden's unencrypted JSON
// export. Others are recognised, so that a refusal says what the file is
// (see Recognise.cpp).
enum class Format { Csv, Json, KeePassXml, BitwardenJson };

// Whether export writes a cell that a spreadsheet would run as a formula as
// it is, or guarded.
enum class Cells { Exact, SpreadsheetSafe };

// An entry that the import of the manager a file is for passes over, and
// the rule of that import it breaks ("no password: Chrome's import needs
// one").
struct PassedOver {
    // Counting from 0, in the order written.
    size_t entry = 0;
    QString rule;
    // Whether the rule is about the entry's location.
    bool location = false;
};

struct ExportResult {
    QByteArray bytes;
    // Empty unless some text cannot be written as UTF-8 (a lone surrogate);
    // it names the entry, counting from 1, and the field.
    QString error;
    // For a layout whose manager's import passes over entries it cannot
    // take (Chrome's and Firefox's): those entries, in the order written,
    // each with the rule it breaks, as that import reads the file. An
    // address that browsers take is taken, however a strict reading of the
    // standard judges it.
    std::vector<PassedOver> passedOver;
    // Of those, the entries passed over for their location, counting from
    // 0 (Chrome's takes only http, https and apps' android:// addresses;
    // Firefox's any address with a scheme and a host).
    std::vector<size_t> notWebAddresses;
    // Cells that start with =, +, -, @, a tab or a CR, which a spreadsheet
    // may run as a formula. Written with a ' before them for
    // Cells::SpreadsheetSafe, as they are otherwise.
    qsizetype formulaCells = 0;

    bool ok() const { return error.isEmpty(); }
};

// A header line and one record per entry, in UTF-8 without a byte order
// mark, every record ending in CR LF: the columns the layout's table marks
// as exported, in its order. In Bitwarden's layout a location that its
// importer would split into several URIs (one with a comma or a line break
// in it, or that starts with a quote) is quoted within its cell, which that
// importer undoes.
ExportResult exportCsv(const std::vector<Entry>& entries, Layout layout = Layout::Keynook,
                       Cells cells = Cells::Exact);
// The same bytes, written from the entries as the vault holds them, in slot
// order; plain fields go from their ciphered bytes to UTF-8 through a table,
// without a string made for them.
ExportResult exportCsv(const EntryStore& entries, Layout layout = Layout::Keynook,
                       Cells cells = Cells::Exact);

// A JSON array of objects with the keys "username", "password" and
// "location" in that order, one object per line, in UTF-8; every line ends
// in LF.
ExportResult exportJson(const std::vector<Entry>& entries);
ExportResult exportJson(const EntryStore& entries);

// Where the identities and times of a KeePass XML export come from: random
// identities and the time of the export, unless fixed (a test's files).
struct XmlStamp {
    // UTC; the export's own time when not valid.
    QDateTime time;
    // 0 for random identities; otherwise the start of a fixed sequence.
    std::uint64_t uuidStart = 0;
};

// KeePass 2 XML, unencrypted, as KeePass and KeePassXC import it: one root
// group holding an entry per entry, each with its Title (the host of a web
// address, otherwise the location, as placeOf() names it), UserName,
// Password, URL (the location), a random UUID and times. A CR is written
// as a character reference, which XML readers keep (a raw one they read as
// LF). Text that XML 1.0 cannot hold (control characters other than tab,
// LF and CR, U+FFFE, U+FFFF, a lone surrogate) is refused, naming the entry
// and the field.
ExportResult exportKeePassXml(const std::vector<Entry>& entries, const XmlStamp& stamp = {});
ExportResult exportKeePassXml(const EntryStore& entries, const XmlStamp& stamp = {});

// A column (or a JSON key) that held something Keynook does not keep.
struct NotKept {
    // As the file names it.
    QString column;
    // What one cell of it holds ("note"), and what several do ("notes").
    QString one;
    QString many;
    // Cells that held something: not empty, and not the value that means
    // nothing set (a favourite mark's "0").
    qsizetype cells = 0;

    // "12 notes".
    QString counted() const {
        return QStringLiteral("%1 %2").arg(cells).arg(cells == 1 ? one : many);
    }
};

// Items of one kind other than logins, which an import skips whole.
struct SkippedKind {
    // What one of them is ("secure note"), and what several are.
    QString one;
    QString many;
    qsizetype items = 0;

    // "2 cards".
    QString counted() const {
        return QStringLiteral("%1 %2").arg(items).arg(items == 1 ? one : many);
    }
};

// What an import found besides its entries.
struct ImportReport {
    Format format = Format::Csv;
    // The layout the CSV header named.
    Layout layout = Layout::Keynook;
    // Records or items with no username, password or location.
    qsizetype skippedEmpty = 0;
    // Items other than logins (Bitwarden's secure notes and cards,
    // LastPass's notes).
    qsizetype skippedNotLogins = 0;
    // The same items by kind, in the order each kind first comes; their
    // items add up to skippedNotLogins.
    std::vector<SkippedKind> notLogins;
    // KeePass XML: the older versions of entries that an entry's history
    // holds, and the entries in the recycle bin.
    qsizetype skippedHistory = 0;
    qsizetype skippedRecycled = 0;
    // In the file's order of columns.
    std::vector<NotKept> notKept;
    // For each entry, what its record held that is not kept, hashed: 0 for
    // nothing. Empty when no record held anything not kept.
    std::vector<std::uint64_t> dropped;
    // CSV: kept cells that start with a ' before =, +, -, @, a tab or a CR,
    // as export writes a cell a spreadsheet would run as a formula when
    // asked to guard it (Cells::SpreadsheetSafe). They are kept as they
    // are, the ' included: it may be part of the text, and a file written
    // so no longer tells.
    qsizetype guardedCells = 0;

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
    // Whether the file holds anything but empty cells that the import would
    // not keep.
    bool dropsAnything() const {
        return !notKept.empty() || skippedNotLogins > 0 || skippedHistory > 0 ||
               skippedRecycled > 0;
    }
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
// whose header line names one of the layouts. A file of another kind that
// is recognised (XML, a Bitwarden JSON export, a KeePass database, a ZIP
// archive, a sealed Keynook vault) is refused with what it is.
struct Detection {
    Format format = Format::Csv;
    Layout layout = Layout::Keynook;
    QString error;
    int line = 0;

    bool ok() const { return error.isEmpty(); }
};
Detection detect(QByteArrayView bytes);

// CSV in any of the layouts, told apart by the header line (column names
// ignoring case, in any order; see matchHeader()). Every record must have
// as many fields as the header. An entry's location is the record's
// address, or its title when that is empty. In KeePassXC's layout, field
// references to other records are resolved as importKeePassXml() resolves
// them; the file holds no identities, so one by identity stays as it is.
// The records of KeePassXC's recycle bin (the group "Recycle Bin" right
// under the root, and the groups in it) are skipped and counted, as the
// XML's are. Bitwarden writes an item's URIs into one cell with commas
// between them: the cell is split as Bitwarden's importer splits it, the
// first URI is the location and the others are counted as further URIs,
// as importBitwardenJson() counts them.
ImportResult importCsv(QByteArrayView bytes);
// What exportJson() writes. Keys other than ours are counted as not kept;
// each item must have all three, as strings (a key given twice counts with
// its last value, as Qt reads it). A string must end on the line it starts
// on: JSON escapes its line breaks.
ImportResult importJson(QByteArrayView bytes);
// KeePass 2 XML, unencrypted, read with Qt's stream reader: each entry's
// UserName, Password and URL (its Title when the URL is empty). Everything
// else an entry holds is counted as not kept: its group (other than the
// root), a title that says more than the URL, notes, TOTP secrets, other
// fields, attachments, tags, icons, colours, expiry, auto-type settings and
// custom data; times are the file's own bookkeeping and are not counted.
// The older versions in an entry's history and the entries in the recycle
// bin (while the file has one enabled) are skipped and counted. A field
// reference ({REF:P@I:…}, which KeePassXC writes into a clone) is replaced
// by the field of the entry of the file it refers to, as KeePass resolves
// it; one that refers to no entry of the file stays as it is, and is
// counted as an unresolved field reference, which --strict refuses. A value
// that a KeePass database held encrypted (Protected="True") refuses the
// file: only KeePass can decrypt it. Errors name the line and the kind of
// problem, and quote nothing from inside a value.
ImportResult importKeePassXml(QByteArrayView bytes);
// Bitwarden's unencrypted JSON export: the logins (items of type 1), each
// with its username, password and first URI (its name when it has none).
// Its folder, favourite mark, re-prompt flag, notes, custom fields, TOTP
// secret, passkeys, password history, further URIs, the kept URI's match
// setting and any other value that holds something are counted as not
// kept; secure notes, cards, identities and SSH keys are skipped and
// counted, each by its kind. An encrypted export is refused.
ImportResult importBitwardenJson(QByteArrayView bytes);
// Whichever detect() finds; a file it recognises but no reader reads is
// refused with what it is.
ImportResult importAny(QByteArrayView bytes);

// The same import, in the format given or the one detect() finds, with each
// entry encoded as the vault holds it. The entries are those importAny()
// gives, in the same lines EntryStore::append() would make of them; fields
// of CSV go from the file's bytes into the lines without a string made for
// them, which is what makes a large import quick.
EncodedImport importEncoded(QByteArrayView bytes, std::optional<Format> format = std::nullopt);

// One row for each format, in the order of Format: what it is called, the
// word that names it on the command line, the file ending that export takes
// it from, and its readers. A new format is a value of Format and a row
// here; the command line's words and the readers come from this table.
struct FormatRow {
    Format format;
    const char* word;    // "json": --format's value
    const char* shownAs; // "KeePass XML"; CSV is named by its layout instead
    const char* ending;  // ".json": export writes it for a file of that name; null when
                         // export does not write it
    ImportResult (*read)(QByteArrayView);
    // Its reader straight into the vault's lines, where it has one (the
    // large files' formats).
    EncodedImport (*readEncoded)(QByteArrayView);
};
const std::vector<FormatRow>& formats();
const FormatRow& formatRow(Format format);
// The format the command line's word names; none when no row has it.
std::optional<Format> formatWord(QStringView word);

// What adding an import to a vault's entries does: each entry is added as
// many times as the file holds it beyond what the vault holds already, so
// that an export imported into an empty vault gives the same entries,
// repeated ones included, and a file imported twice adds nothing the second
// time. Records count in the file's order: the first ones of an entry are
// those the vault holds.
struct Addition {
    // For each entry of the import, whether it is added.
    std::vector<bool> chosen;
    qsizetype added = 0;
    // Of the added: entries the file holds before, with the same cells not
    // kept; and entries the file holds before that differ from each of
    // those only in cells not kept.
    qsizetype repeated = 0;
    qsizetype repeatedButForNotKept = 0;
    // Not added, as the vault holds them: entries whose records held
    // nothing more, and entries whose records held cells not kept.
    qsizetype inVault = 0;
    qsizetype inVaultButForNotKept = 0;
};
Addition planAddition(const EntryStore& vault, const EncodedImport& import);
// Adds the entries of the import that the plan chose to the vault's, in the
// file's order.
void add(EntryStore& vault, EntryStore&& imported, const Addition& plan);

} // namespace interchange
