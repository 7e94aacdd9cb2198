#pragma once

#include "interchange/Csv.h"
#include "interchange/Interchange.h"

#include <QJsonValue>
#include <QStringDecoder>

#include <cstdint>
#include <functional>
#include <memory>

// What the readers and writers of the formats share among themselves: not
// for callers outside interchange.
namespace interchange {

// As messages and JSON keys name the fields, in EntryStore's order.
inline const QString kFieldNames[3] = {QStringLiteral("username"), QStringLiteral("password"),
                                       QStringLiteral("location")};

// importCsv(), each entry encoded as the vault holds it.
EncodedImport importCsvEncoded(QByteArrayView bytes);

// importKeePassXml() with Qt's reader alone, which it falls back on for
// anything its quick reader does not take: tests hold the two together.
ImportResult importKeePassXmlWithQt(QByteArrayView bytes);
// importKeePassXml(), each entry encoded as the vault holds it.
EncodedImport importKeePassXmlEncoded(QByteArrayView bytes);

// Text of a field in UTF-8 its reader has checked. Keeps a U+FEFF that
// starts a field: only the file's first bytes can be a byte order mark, and
// QString::fromUtf8() would drop it anywhere.
class FieldText {
public:
    QString operator()(QByteArrayView utf8) { return m_utf8(utf8); }

private:
    QStringDecoder m_utf8{QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                    QStringDecoder::Flag::ConvertInitialBom};
};

// Makes the vault's lines of imported entries given in checked UTF-8, one
// after another in one block, as EntryStore::append() would make them of
// the same entries.
class EncodedLines {
public:
    // Room made at once for about `size` bytes of fields.
    explicit EncodedLines(qsizetype size);
    ~EncodedLines();
    void add(QByteArrayView username, QByteArrayView password, QByteArrayView location);
    EntryStore take();

private:
    class Maker;
    std::unique_ptr<Maker> m_maker;
};

// What a record holds that is not kept, hashed cell by cell with the
// column's place, so that two records compare by it; never 0, which is
// nothing left out.
std::uint64_t mixCell(std::uint64_t hash, size_t column, QByteArrayView cell);
// Adds what a record dropped to the report: `hash` for the entry taken
// next, which is entry number `taken`.
void noteDropped(ImportReport& r, size_t taken, std::uint64_t hash);
// Why a CSV file's header line could not be read, as the reader says, or,
// where the line has semicolons between its columns, that.
QString headerLineError(QByteArrayView bytes, const csv::Reader& reader);

// Counts an item that is not a login, skipped whole, under its kind.
void skipNotLogin(ImportReport& r, const QString& one, const QString& many);

// Whether a cell starts with a ' before what a spreadsheet would run as a
// formula, as export guards such a cell when asked.
bool startsGuarded(QByteArrayView cell);

// Whether a JSON value holds anything: null, false and empty ones do not.
bool holdsSomething(const QJsonValue& v);

// Whether an address cell of a layout whose manager writes an item's
// addresses into one cell may hold several: one that does holds a comma or
// a line break between them, or starts with a quote. Export quotes a
// location that would read so, as the manager's importer unquotes it.
bool holdsSeveralAddresses(QByteArrayView cell);

// Field references as KeePass resolves them, which KeePassXC writes into an
// entry it clones: {REF:<wanted>@<searched>:<text>} stands for a field of
// the first entry, in the file's order, whose searched field holds the
// text, ignoring case. The fields are T (title), U (username), P
// (password), A (URL), N (notes) and I (the entry's identity); O searches
// an entry's other fields. An identity is searched for whole, as the 32
// hexadecimal digits KeePass writes it in.
class FieldReferences {
public:
    // Entry `entry`'s field of the letter given, in UTF-8: its identity in
    // hexadecimal digits, upper case (nothing where the file gives entries
    // none), and for O its other fields, one a line.
    using Field = std::function<QByteArray(size_t entry, char letter)>;

    FieldReferences(size_t entries, Field field);
    ~FieldReferences();

    // Whether a text holds a reference's start, "{REF:" in any case: most
    // hold none, and are never looked at again.
    static bool mayHold(QByteArrayView text);
    // The text with each reference in it replaced by the field it refers
    // to, and each in that field in turn. One that refers to no entry of the
    // file, that is not written as one, or that comes back to itself, stays
    // as it is, and is counted in `unresolved`: the file holds a link that
    // Keynook cannot follow.
    QByteArray resolved(QByteArrayView text, qsizetype& unresolved);

private:
    class Index;
    std::unique_ptr<Index> m_index;
};

// Text of JSON as Qt is to read it: past a byte order mark, with every
// U+FEFF escaped (Qt drops one that starts a string as if it marked the
// byte order, and keeps an escaped one).
QByteArray jsonForQt(QByteArrayView bytes);

} // namespace interchange
