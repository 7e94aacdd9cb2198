#include "vault/Csv.h"

#include "vault/Utf8.h"

#include <cstring>

namespace csv {

namespace {

constexpr char kBom[] = "\xEF\xBB\xBF";

bool isLineEnd(char c) {
    return c == '\r' || c == '\n';
}

// Line ends in a stretch of bytes that lies inside one quoted field. The
// stretch never ends between the CR and the LF of a pair: it stops at a
// quote, so a CR at its end is followed by a quote, not an LF.
int lineEndsIn(const char* p, qsizetype n) {
    int ends = 0;
    for (qsizetype i = 0; i < n; ++i)
        if (p[i] == '\n' || (p[i] == '\r' && (i + 1 >= n || p[i + 1] != '\n')))
            ++ends;
    return ends;
}

} // namespace

Reader::Reader(QByteArrayView bytes) : m_bytes(bytes) {
    if (m_bytes.startsWith(QByteArrayView(kBom, 3)))
        m_at = 3;
    // Checked once, all of it: every field is then valid UTF-8 as well,
    // since fields only ever end at ASCII characters.
    const qsizetype bad = utf8::firstInvalid(m_bytes.sliced(m_at));
    if (bad >= 0)
        fail(utf8::lineAt(m_bytes, m_at + bad), QStringLiteral("bytes that are not UTF-8 text"));
}

bool Reader::fail(int line, const QString& why) {
    m_errorLine = line;
    m_error = QStringLiteral("line %1: %2").arg(line).arg(why);
    return false;
}

void Reader::skipLineEnd() {
    if (m_bytes[m_at] == '\r' && m_at + 1 < m_bytes.size() && m_bytes[m_at + 1] == '\n')
        ++m_at;
    ++m_at;
    ++m_line;
}

bool Reader::readPlain(QString& field) {
    const char* const p = m_bytes.data();
    const qsizetype n = m_bytes.size();
    const qsizetype start = m_at;
    qsizetype at = start;
    while (at < n && p[at] != ',' && !isLineEnd(p[at])) {
        if (p[at] == '"')
            return fail(m_line, QStringLiteral("a quote inside a field that does not start with "
                                               "one (a field with quotes is quoted as a whole, "
                                               "its quotes doubled)"));
        ++at;
    }
    field = m_utf8(QByteArrayView(p + start, at - start));
    m_at = at;
    return true;
}

bool Reader::readQuoted(QString& field) {
    const char* const p = m_bytes.data();
    const qsizetype n = m_bytes.size();
    const int openedOn = m_line;
    // Text runs between quotes; a doubled quote joins two runs with one quote.
    QByteArray joined;
    qsizetype run = m_at + 1;
    for (;;) {
        const void* found = std::memchr(p + run, '"', static_cast<size_t>(n - run));
        if (!found)
            return fail(openedOn, QStringLiteral("a quoted field that starts here never ends"));
        const qsizetype quote = static_cast<const char*>(found) - p;
        m_line += lineEndsIn(p + run, quote - run);
        if (quote + 1 < n && p[quote + 1] == '"') {
            joined.append(p + run, quote + 1 - run);
            run = quote + 2;
            continue;
        }
        if (joined.isEmpty())
            field = m_utf8(QByteArrayView(p + run, quote - run));
        else
            field = m_utf8(joined.append(p + run, quote - run));
        m_at = quote + 1;
        break;
    }
    if (m_at < n && p[m_at] != ',' && !isLineEnd(p[m_at]))
        return fail(m_line, QStringLiteral("text after the closing quote of a field"));
    return true;
}

bool Reader::next(std::vector<QString>& fields) {
    fields.clear();
    if (!m_error.isEmpty())
        return false;
    const qsizetype n = m_bytes.size();
    while (m_at < n && isLineEnd(m_bytes[m_at]))
        skipLineEnd();
    if (m_at >= n)
        return false;
    m_recordLine = m_line;
    for (;;) {
        if (fields.size() == static_cast<size_t>(kMaxFields))
            return fail(m_recordLine,
                        QStringLiteral("a record of more than %1 fields").arg(kMaxFields));
        QString field;
        const bool read = m_at < n && m_bytes[m_at] == '"' ? readQuoted(field) : readPlain(field);
        if (!read) {
            fields.clear();
            return false;
        }
        fields.push_back(std::move(field));
        if (m_at >= n)
            return true;
        if (m_bytes[m_at] == ',') {
            ++m_at;
            continue;
        }
        skipLineEnd();
        return true;
    }
}

bool needsQuotes(QByteArrayView utf8) {
    if (utf8.isEmpty())
        return false;
    if (utf8.front() == ' ' || utf8.back() == ' ')
        return true;
    for (const char c : utf8)
        if (c == ',' || c == '"' || c == '\r' || c == '\n')
            return true;
    return false;
}

char* writeField(char* out, QByteArrayView utf8) {
    if (!needsQuotes(utf8)) {
        std::memcpy(out, utf8.data(), static_cast<size_t>(utf8.size()));
        return out + utf8.size();
    }
    *out++ = '"';
    for (const char c : utf8) {
        *out++ = c;
        if (c == '"')
            *out++ = '"';
    }
    *out++ = '"';
    return out;
}

} // namespace csv
