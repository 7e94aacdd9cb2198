#include "interchange/Csv.h"

#include "vault/Utf8.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace csv {

namespace {

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

// Where the first comma, quote, CR or LF at or after `at` is, or `n`. Most
// fields are short and unquoted, and most files are large: sixteen bytes are
// looked at together while sixteen are left.
qsizetype plainEnd(const char* p, qsizetype at, qsizetype n) {
#if defined(__SSE2__)
    const __m128i comma = _mm_set1_epi8(','), quote = _mm_set1_epi8('"');
    const __m128i cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n');
    for (; at + 16 <= n; at += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
        const __m128i stops =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, comma), _mm_cmpeq_epi8(x, quote)),
                         _mm_or_si128(_mm_cmpeq_epi8(x, cr), _mm_cmpeq_epi8(x, lf)));
        const unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(stops));
        if (bits != 0)
            return at + std::countr_zero(bits);
    }
#endif
    while (at < n && p[at] != ',' && p[at] != '"' && !isLineEnd(p[at]))
        ++at;
    return at;
}

} // namespace

Reader::Reader(QByteArrayView bytes) : m_bytes(bytes) {
    m_at = utf8::byteOrderMarkSize(m_bytes);
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

bool Reader::readPlain(QByteArrayView& field) {
    const qsizetype end = plainEnd(m_bytes.data(), m_at, m_bytes.size());
    if (end < m_bytes.size() && m_bytes[end] == '"')
        return fail(m_line, QStringLiteral("a quote inside a field that does not start with "
                                           "one (a field with quotes is quoted as a whole, "
                                           "its quotes doubled)"));
    field = m_bytes.sliced(m_at, end - m_at);
    m_at = end;
    return true;
}

bool Reader::readQuoted(QByteArrayView& field, size_t number) {
    const char* const p = m_bytes.data();
    const qsizetype n = m_bytes.size();
    const int openedOn = m_line;
    // Text runs between quotes; a doubled quote joins two runs with one
    // quote. A joined field is made in m_joined, and its view once the
    // record is whole: until then `field` holds only its size.
    const qsizetype joinedAt = m_joined.size();
    bool joins = false;
    qsizetype run = m_at + 1;
    for (;;) {
        const void* found = std::memchr(p + run, '"', static_cast<size_t>(n - run));
        if (!found)
            return fail(openedOn, QStringLiteral("a quoted field that starts here never ends"));
        const qsizetype quote = static_cast<const char*>(found) - p;
        m_line += lineEndsIn(p + run, quote - run);
        if (quote + 1 < n && p[quote + 1] == '"') {
            m_joined.append(p + run, quote + 1 - run);
            joins = true;
            run = quote + 2;
            continue;
        }
        if (joins) {
            m_joined.append(p + run, quote - run);
            field = QByteArrayView(p, m_joined.size() - joinedAt);
            m_joinedFields.emplace_back(number, joinedAt);
        } else {
            field = QByteArrayView(p + run, quote - run);
        }
        m_at = quote + 1;
        break;
    }
    // A field that runs over lines and then has text after its closing
    // quote most likely took in the lines after a quote left open: it is
    // told where it opened.
    if (m_at < n && p[m_at] != ',' && !isLineEnd(p[m_at]))
        return m_line == openedOn
                   ? fail(m_line, QStringLiteral("text after the closing quote of a field"))
                   : fail(openedOn, QStringLiteral("a quoted field that starts here ends on line "
                                                   "%1, with text after its closing quote: was "
                                                   "a quote left open here?")
                                        .arg(m_line));
    return true;
}

QByteArrayView Reader::rest() {
    if (!m_error.isEmpty())
        return {};
    while (m_at < m_bytes.size() && isLineEnd(m_bytes[m_at]))
        skipLineEnd();
    return m_bytes.sliced(m_at);
}

void Reader::passRecords(qsizetype size, int records) {
    m_recordLine = m_line + records - 1;
    m_at += size;
    m_line += records;
}

bool Reader::next(std::vector<QByteArrayView>& fields) {
    fields.clear();
    m_joined.clear();
    m_joinedFields.clear();
    const qsizetype n = m_bytes.size();
    if (rest().isEmpty())
        return false;
    m_recordLine = m_line;
    for (;;) {
        if (fields.size() == static_cast<size_t>(kMaxFields))
            return fail(m_recordLine,
                        QStringLiteral("a record of more than %1 fields").arg(kMaxFields));
        QByteArrayView field;
        const bool read =
            m_at < n && m_bytes[m_at] == '"' ? readQuoted(field, fields.size()) : readPlain(field);
        if (!read) {
            fields.clear();
            return false;
        }
        fields.push_back(field);
        if (m_at < n && m_bytes[m_at] == ',') {
            ++m_at;
            continue;
        }
        if (m_at < n)
            skipLineEnd();
        for (const auto& [k, at] : m_joinedFields)
            fields[k] = QByteArrayView(m_joined.constData() + at, fields[k].size());
        return true;
    }
}

QByteArrayView firstLine(QByteArrayView bytes) {
    const QByteArrayView text = bytes.sliced(utf8::byteOrderMarkSize(bytes));
    qsizetype end = 0;
    while (end < text.size() && !isLineEnd(text[end]))
        ++end;
    return text.first(end);
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
