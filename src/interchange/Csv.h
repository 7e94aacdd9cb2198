#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <utility>
#include <vector>

// Comma-separated values in UTF-8, the way RFC 4180 lays them out: the form
// password managers export to and import from.
namespace csv {

// A record with more fields than this is refused. No layout we read has more
// than a dozen columns, and a file of nothing but commas must not become one
// enormous record of empty strings.
inline constexpr int kMaxFields = 1000;

// Records end with CR LF when we write them: RFC 4180's line end, which every
// reader we exchange with accepts.
inline constexpr char kRecordEnd[] = "\r\n";

// Reads records one at a time from bytes that must outlive the reader. Memory
// stays within a small multiple of the input, and time within one pass.
//
// A record ends at CR LF, LF or a lone CR (spreadsheets of old still write
// those); the last one may end at the end of the input. A line with nothing
// on it holds no record and is passed over. A field whose first character is
// a double quote is quoted: inside it "" stands for one quote, and commas and
// line breaks are text. A UTF-8 byte order mark at the start is dropped.
//
// Anything that a reader could take two ways is refused, with the line it is
// on, rather than guessed at: a quote inside a field that does not start with
// one, anything but a comma or a line end after a closing quote, a quoted
// field that never closes, bytes that are not UTF-8. A quoted field that
// never closes, or that runs over lines to text after its closing quote, is
// reported at the line where it opens: a quote left open there is the
// likely mistake. Spaces around fields are part of them.
class Reader {
public:
    explicit Reader(QByteArrayView bytes);

    // The next record's fields, as UTF-8 bytes with the quoting undone. They
    // point into the input, or into the reader for a field that held doubled
    // quotes, and are good until the next call. False at the end of the
    // input, and at an error, which error() then explains; it stays false
    // after that.
    bool next(std::vector<QByteArrayView>& fields);
    // The line, counting from 1, that the last record read starts on.
    int line() const { return m_recordLine; }

    // For a caller that reads records of a simple form itself: the input
    // from the next record on, past empty lines; empty at the end and after
    // an error. passRecords() then takes `size` bytes of it as `records`
    // records that were read, each one line ending in one line end.
    QByteArrayView rest();
    void passRecords(qsizetype size, int records);

    // Why reading stopped before the end: empty if it did not. The text
    // names the line, which errorLine() also gives.
    const QString& error() const { return m_error; }
    int errorLine() const { return m_errorLine; }

private:
    bool fail(int line, const QString& why);
    // `number` is the field's place in its record.
    bool readQuoted(QByteArrayView& field, size_t number);
    bool readPlain(QByteArrayView& field);
    void skipLineEnd();

    QByteArrayView m_bytes;
    // The record's fields that held doubled quotes, joined without them, and
    // for each its field's number and where it starts here: the views are
    // made once the record is whole and this no longer grows.
    QByteArray m_joined;
    std::vector<std::pair<size_t, qsizetype>> m_joinedFields;
    qsizetype m_at = 0;
    int m_line = 1;
    int m_recordLine = 0;
    QString m_error;
    int m_errorLine = 0;
};

// The first line of CSV text, past a byte order mark, without its line
// end.
QByteArrayView firstLine(QByteArrayView bytes);

// Whether a field must be quoted: it holds a comma, a quote, a CR or an LF,
// each of which would otherwise end it or be misread, or it starts or ends
// with a space, which many readers trim from unquoted fields (a password
// that ends in a space must keep it).
bool needsQuotes(QByteArrayView utf8);

// The most bytes writeField() writes for a field of `size` bytes: every
// byte a doubled quote, and the two quotes around them.
constexpr qsizetype maxFieldSize(qsizetype size) {
    return 2 * size + 2;
}

// Writes one field given as UTF-8 at `out`, quoted when needsQuotes() says
// so, with every quote inside doubled, and returns where it ends. Writers of
// many records make room once per record and write without a call per byte.
char* writeField(char* out, QByteArrayView utf8);

} // namespace csv
