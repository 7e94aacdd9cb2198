#pragma once

#include "vault/EntryStore.h"

#include <QByteArray>
#include <QString>

#include <vector>

// How the command line shows entries on standard output, in UTF-8.
namespace listing {

enum class Format {
    // Aligned columns under a header, one line per entry, for people: each
    // field on one line and cut to kMaxCellWidth terminal columns.
    Table,
    // A header and one line per entry, fields separated by tabs: the whole
    // text, with \t, \n, \r and \\ standing for tab, LF, CR and backslash,
    // \xHH for the other control characters (U+0000 to U+001F, U+007F to
    // U+009F) and \uHHHH for a lone surrogate.
    Tsv,
    // An array of objects, one per line: the whole text, exactly, with
    // every control character escaped.
    Json,
};

inline constexpr int kMaxCellWidth = 40;
// What a password hidden from view shows, whatever its length.
inline const QString kHiddenPassword = QStringLiteral("********");

// The entries in `rows`, in that order.
QByteArray render(const EntryStore& entries, const std::vector<int>& rows, Format format,
                  bool showPasswords);

// One entry as a JSON object of `fields` (EntryStore's field numbers), keyed
// username, password and location, and a line feed: the whole text, exactly.
QByteArray renderObject(const EntryStore& entries, int slot, const std::vector<int>& fields);

// A field as one line of at most `maxWidth` terminal columns: line breaks
// show as "↵", other control characters and the bidirectional embedding
// and isolate marks as "�", and a longer text ends in "…" where it is cut.
QString oneLine(const QString& text, int maxWidth);

// How many terminal columns the text takes: two for wide East Asian
// characters, none for combining marks.
int displayWidth(const QString& text);

} // namespace listing
