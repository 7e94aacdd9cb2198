#include "interchange/Interchange.h"

#include "interchange/Places.h"
#include "interchange/Shared.h"
#include "vault/Utf8.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QString>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <cstring>
#include <random>
#include <unordered_map>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// KeePass 2 XML in and out, with Qt's own stream reader and writer.
namespace interchange {
namespace {

using namespace Qt::Literals::StringLiterals;

// What an entry of KeePass XML holds that Keynook does not keep, in the
// order the report names them.
enum Lost : unsigned {
    LostGroup,
    LostTitle,
    LostNotes,
    LostTotp,
    LostFields,
    LostAttachments,
    LostTags,
    LostIcon,
    LostColours,
    LostOverrideUrl,
    LostExpiry,
    LostAutoType,
    LostCustomData,
    kLostKinds
};

struct LostKind {
    const char* column;
    const char* one;
    const char* many;
};

constexpr std::array<LostKind, kLostKinds> kLost = {{
    {"Group", "group", "groups"},
    {"Title", "title", "titles"},
    {"Notes", "note", "notes"},
    {"otp", "TOTP secret", "TOTP secrets"},
    {"String", "entry's custom fields", "entries' custom fields"},
    {"Binary", "entry's attachments", "entries' attachments"},
    {"Tags", "entry's tags", "entries' tags"},
    {"IconID", "icon", "icons"},
    {"ForegroundColor", "entry's colours", "entries' colours"},
    {"OverrideURL", "override URL", "override URLs"},
    {"Expires", "expiry date", "expiry dates"},
    {"AutoType", "entry's auto-type settings", "entries' auto-type settings"},
    {"CustomData", "entry's custom data", "entries' custom data"},
}};

// The keys KeePassXC (otp, and the settings beside it), KeePass 2's own
// TOTP (TimeOtp-*, HmacOtp-*) and the older KeePassXC plugins (keys
// that start with "TOTP ") keep a one-time password's secret and settings under:
// together one TOTP secret.
bool isTotpKey(QByteArrayView key) {
    return key == "otp" || key.startsWith("TimeOtp-") || key.startsWith("HmacOtp-") ||
           key.startsWith("TOTP ");
}

// An entry as the file holds it, until the recycle bin is known: its texts
// in UTF-8, as the file holds them where it can.
struct Record {
    QByteArray title, username, password, url;
    // What another entry's field reference may search or ask for: the
    // identity (base64, as the file writes it), the notes, and the values
    // of the other fields, one a line.
    QByteArray uuid, notes, others;
    std::uint64_t dropped = 0;
    std::uint32_t lost = 0;
    // Older versions in its history.
    qsizetype history = 0;
    int group = 0;
    // Whether its title, username, password or URL may hold a field
    // reference, which is resolved once every entry is known.
    bool references = false;
};

struct Group {
    QByteArray uuid;
    int parent = -1;
};

// The XML as Qt's stream reader gives it: every well-formed file, and the
// errors of the others with their lines. Texts come out in UTF-8, as the
// quick reader below gives them.
class QtSource {
public:
    explicit QtSource(QByteArrayView bytes) : m_xml(bytes.toByteArray()) {}

    bool readNextStartElement() { return m_xml.readNextStartElement(); }
    void skipCurrentElement() { m_xml.skipCurrentElement(); }
    QByteArray readElementText() { return m_xml.readElementText().toUtf8(); }
    bool nameIs(QLatin1StringView name) const { return m_xml.name() == name; }
    QByteArray name() const { return m_xml.name().toUtf8(); }
    // Whether the element just started has Protected="True".
    bool markedProtected() const {
        return m_xml.attributes().value(u"Protected"_s).compare(u"True"_s, Qt::CaseInsensitive) ==
               0;
    }
    // Reads what follows the root element, which may hold only comments,
    // processing instructions and white space.
    void readToEnd() {
        while (!m_xml.atEnd())
            m_xml.readNext();
    }
    bool hasError() const { return m_xml.hasError(); }
    QString errorString() const { return withoutText(m_xml.errorString()); }
    int lineNumber() const { return static_cast<int>(m_xml.lineNumber()); }

private:
    // Qt's message says what kind of problem it is, and some quote a piece
    // of the text where it is: the name of an entity, the character it did
    // not expect. In a value that is a piece of a password (an & not
    // written as &amp; makes the rest of the password an entity's name), so
    // the message tells the kind of problem alone, and the line tells where.
    static QString withoutText(const QString& message) {
        static const struct {
            QRegularExpression pattern;
            QString replacement;
        } kQuoting[] = {
            {QRegularExpression(u"^Entity '.*' not declared\\.?$"_s),
             u"a reference to an entity that is not declared: an & that is text is written "
             "&amp;"_s},
            {QRegularExpression(u"^Expected (.*), but got '.*'\\.?$"_s),
             u"expected \\1 where something else is"_s},
            {QRegularExpression(u"^Unexpected '.*'\\.?$"_s),
             u"a character that is not allowed where it is"_s},
            {QRegularExpression(u"^Reference to (unparsed|external) entity '.*'"_s),
             u"a reference to an \\1 entity"_s},
            {QRegularExpression(u"^Unexpected character '.*' in public id literal\\.?$"_s),
             u"a character that is not allowed in a public identifier"_s},
        };
        for (const auto& q : kQuoting)
            if (q.pattern.match(message).hasMatch())
                return QString(message).replace(q.pattern, q.replacement);
        // Any other message that quotes something: the quoted piece goes,
        // unless it is the markup the message is about.
        static const QRegularExpression kQuoted(u"'[^']*'"_s);
        QString safe;
        qsizetype from = 0;
        for (auto it = kQuoted.globalMatch(message); it.hasNext();) {
            const QRegularExpressionMatch m = it.next();
            safe += message.mid(from, m.capturedStart() - from);
            safe += m.captured() == u"']]>'"_s ? m.captured() : u"…"_s;
            from = m.capturedEnd();
        }
        return safe + message.mid(from);
    }

    QXmlStreamReader m_xml;
};

// A quick reader of the XML that KeePass and KeePassXC write, for large
// files: Qt's reader takes some 300 ns an item, which is seconds for a
// vault of 100,000 entries. It takes UTF-8 with an XML declaration, elements
// of plain ASCII names, attributes without references, and text with the
// five named entities and character references; anything else (comments,
// processing instructions, CDATA, a document type), and anything that is
// not well-formed, makes it give up, and Qt's reader reads the file instead
// (and says what is wrong, and where). Tests hold the two to the same
// results. Only texts and attribute values may hold other bytes than ASCII,
// so only those that do are checked for UTF-8, each as it is passed.
class QuickSource {
public:
    explicit QuickSource(QByteArrayView bytes)
        : m_p(bytes.data()), m_end(bytes.data() + bytes.size()) {
        if (bytes.startsWith(utf8::kFeff))
            m_p += 3;
        if (QByteArrayView(m_p, m_end - m_p).startsWith("<?xml")) {
            const qsizetype close = QByteArrayView(m_p, m_end - m_p).indexOf("?>");
            if (close < 0 || !declaresUtf8(QByteArrayView(m_p, close)))
                giveUp();
            else
                m_p += close + 2;
        }
    }

    bool readNextStartElement() {
        if (m_failed)
            return false;
        if (m_empty) {
            m_empty = false;
            m_open.pop_back();
            return false;
        }
        if (!skipText())
            return false;
        if (m_end - m_p < 2)
            return giveUp(), false;
        if (m_p[1] == '/')
            return endTag(), false;
        if (m_p[1] == '!' || m_p[1] == '?')
            return giveUp(), false;
        return startTag();
    }

    void skipCurrentElement() {
        for (int depth = 1; depth > 0 && !m_failed;) {
            if (readNextStartElement())
                ++depth;
            else
                --depth;
        }
    }

    // The text, as a view of the file's own bytes where it needs no
    // decoding: the file outlives the reader and its records.
    QByteArray readElementText() {
        if (m_failed)
            return {};
        if (m_empty) {
            m_empty = false;
            m_open.pop_back();
            return {};
        }
        const char* const from = m_p;
        bool plain = true;
        m_high = false;
        while (passOrdinary() && *m_p != '<') {
            plain = plain && *m_p != '&' && *m_p != '\r';
            if (!passSpecial())
                return {};
        }
        if (m_end - m_p < 2 || m_p[1] != '/' || !checkedUtf8(from))
            return giveUp(), QByteArray();
        const QByteArrayView raw(from, m_p - from);
        endTag();
        return plain ? QByteArray::fromRawData(raw.data(), raw.size()) : decoded(raw);
    }

    bool nameIs(QLatin1StringView name) const {
        return m_name.size() == name.size() && same(m_name.data(), name.data(), name.size());
    }
    QByteArray name() const { return m_name.toByteArray(); }
    bool markedProtected() const { return m_protected; }

    void readToEnd() {
        if (!m_failed && skipText() && m_p < m_end)
            giveUp();
    }

    bool hasError() const { return m_failed; }
    QString errorString() const { return {}; }
    int lineNumber() const { return 0; }

private:
    // 1 for the bytes text cannot hold as they are, or that need a look: a
    // reference, a CR, ']' (of "]]>"), control characters, and EF (which
    // starts U+FFFE and U+FFFF).
    static constexpr std::array<unsigned char, 256> kClass = [] {
        std::array<unsigned char, 256> t{};
        for (int c = 0; c < 0x20; ++c)
            t[c] = c == '\t' || c == '\n' ? 0 : 1;
        t['&'] = t[']'] = t[0xEF] = t['<'] = 1;
        return t;
    }();

    void giveUp() { m_failed = true; }

    static bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
    // 1 for the bytes a name may start with, 2 for those it may hold after.
    static constexpr std::array<unsigned char, 256> kName = [] {
        std::array<unsigned char, 256> t{};
        for (int c = 0; c < 256; ++c) {
            const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
            t[c] = letter ? 3 : (c >= '0' && c <= '9') || c == '-' || c == '.' ? 2 : 0;
        }
        return t;
    }();
    static bool isNameChar(char c) { return kName[static_cast<unsigned char>(c)] & 2; }

    // An XML declaration from "<?xml" up to "?>": version 1.0, then UTF-8
    // if it names an encoding, then whether it stands alone, in that order.
    static bool declaresUtf8(QByteArrayView declaration) {
        static const char* const names[] = {"version", "encoding", "standalone"};
        QByteArrayView rest = declaration.sliced(5);
        int next = 0;
        for (;;) {
            const QByteArrayView after = rest.trimmed();
            if (after.isEmpty())
                return next > 0;
            if (!isBlank(rest[0]))
                return false;
            int k = next;
            while (k < 3 && !after.startsWith(names[k]))
                ++k;
            if (k == 3 || (k > 0 && next == 0))
                return false;
            QByteArrayView v = after.sliced(qstrlen(names[k])).trimmed();
            if (!v.startsWith('='))
                return false;
            v = v.sliced(1).trimmed();
            if (v.size() < 2 || (v[0] != '"' && v[0] != '\''))
                return false;
            const qsizetype close = v.indexOf(v[0], 1);
            if (close < 0)
                return false;
            const QByteArrayView value = v.sliced(1, close - 1);
            const bool good = k == 0   ? value == "1.0"
                              : k == 1 ? value.compare("UTF-8", Qt::CaseInsensitive) == 0
                                       : value == "yes" || value == "no";
            if (!good)
                return false;
            next = k + 1;
            rest = v.sliced(close + 1);
        }
    }

    // Past a special byte of text at m_p: false, having given up, when the
    // text cannot hold it.
    bool passSpecial() {
        const char c = *m_p;
        if (c == '&')
            return passReference(nullptr);
        if (c == '\r') {
            ++m_p;
            return true;
        }
        if (c == ']') {
            if (QByteArrayView(m_p, m_end - m_p).startsWith("]]>"))
                return giveUp(), false;
            ++m_p;
            return true;
        }
        if (static_cast<unsigned char>(c) == 0xEF) {
            m_high = true;
            // U+FFFE and U+FFFF are no characters.
            if (m_end - m_p >= 3 && static_cast<unsigned char>(m_p[1]) == 0xBF &&
                (static_cast<unsigned char>(m_p[2]) & 0xFE) == 0xBE)
                return giveUp(), false;
            ++m_p;
            return true;
        }
        return giveUp(), false;
    }

    // A reference at m_p, passed; its character appended to `out` if given.
    bool passReference(QByteArray* out) {
        const qsizetype semicolon =
            QByteArrayView(m_p, std::min<qsizetype>(m_end - m_p, 12)).indexOf(';');
        if (semicolon < 0)
            return giveUp(), false;
        const QByteArrayView name(m_p + 1, semicolon - 1);
        char32_t code = 0;
        static const struct {
            const char* name;
            char value;
        } kNamed[] = {{"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
        for (const auto& n : kNamed)
            if (name == QByteArrayView(n.name))
                code = static_cast<char32_t>(n.value);
        if (code == 0) {
            if (!name.startsWith('#') || name.size() < 2)
                return giveUp(), false;
            const bool hex = name[1] == 'x';
            const QByteArrayView digits = name.sliced(hex ? 2 : 1);
            bool ok = !digits.isEmpty();
            for (const char d : digits)
                ok = ok && (hex ? std::isxdigit(static_cast<unsigned char>(d))
                                : std::isdigit(static_cast<unsigned char>(d)));
            code = ok ? static_cast<char32_t>(digits.toUInt(&ok, hex ? 16 : 10)) : 0;
            const bool isChar =
                code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code <= 0xD7FF) ||
                (code >= 0xE000 && code <= 0xFFFD) || (code >= 0x10000 && code <= 0x10FFFF);
            if (!ok || !isChar)
                return giveUp(), false;
        }
        if (out) {
            const char32_t c[1] = {code};
            out->append(QString::fromUcs4(c, 1).toUtf8());
        }
        m_p += semicolon + 1;
        return true;
    }

    // Text with its references resolved, and line ends as XML reads them:
    // CR LF and a lone CR are LF.
    QByteArray decoded(QByteArrayView raw) {
        QByteArray out;
        out.reserve(raw.size());
        const char* const end = m_p;
        m_p = raw.data();
        while (m_p < raw.data() + raw.size()) {
            const char c = *m_p;
            if (c == '&') {
                passReference(&out);
            } else if (c == '\r') {
                out.append('\n');
                m_p += m_p + 1 < raw.data() + raw.size() && m_p[1] == '\n' ? 2 : 1;
            } else {
                out.append(c);
                ++m_p;
            }
        }
        m_p = end;
        return out;
    }

    // Text between elements, up to the next '<' (or the end outside the
    // root): checked and passed.
    bool skipText() {
        if (m_open.empty()) {
            while (m_p < m_end && isBlank(*m_p))
                ++m_p;
            return m_p >= m_end || *m_p == '<' || (giveUp(), false);
        }
        const char* const from = m_p;
        m_high = false;
        while (passOrdinary() && *m_p != '<')
            if (!passSpecial())
                return false;
        return (m_p < m_end && checkedUtf8(from)) || (giveUp(), false);
    }

    // Whether the bytes from `from` to m_p are UTF-8, as far as they need
    // checking: m_high says whether any of them is not ASCII.
    bool checkedUtf8(const char* from) const {
        return !m_high || utf8::firstInvalid(QByteArrayView(from, m_p - from)) < 0;
    }

    // Past the bytes text holds as they are, to the next that needs a look
    // (a '<' among them): false at the end of the file.
    bool passOrdinary() {
#if defined(__SSE2__)
        // Sixteen bytes at a time: the bytes between elements and most
        // values are a few dozen ordinary ones.
        while (m_end - m_p >= 16) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(m_p));
            const auto is = [x](char c) { return _mm_cmpeq_epi8(x, _mm_set1_epi8(c)); };
            const __m128i control =
                _mm_andnot_si128(_mm_or_si128(is('\t'), is('\n')),
                                 _mm_cmpeq_epi8(_mm_min_epu8(x, _mm_set1_epi8(0x1F)), x));
            const __m128i special =
                _mm_or_si128(_mm_or_si128(control, _mm_or_si128(is('<'), is('&'))),
                             _mm_or_si128(is(']'), is(static_cast<char>(0xEF))));
            const unsigned marks = static_cast<unsigned>(_mm_movemask_epi8(special));
            const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(x));
            if (marks != 0) {
                const int ordinary = std::countr_zero(marks);
                m_high = m_high || (high & ((1u << ordinary) - 1)) != 0;
                m_p += ordinary;
                return true;
            }
            m_high = m_high || high != 0;
            m_p += 16;
        }
#endif
        while (m_p < m_end && kClass[static_cast<unsigned char>(*m_p)] == 0) {
            m_high = m_high || static_cast<unsigned char>(*m_p) >= 0x80;
            ++m_p;
        }
        return m_p < m_end;
    }

    QByteArrayView passName() {
        const char* const from = m_p;
        if (m_p >= m_end || !(kName[static_cast<unsigned char>(*m_p)] & 1))
            return QByteArrayView(from, 0);
#if defined(__SSE2__)
        while (m_end - m_p >= 16) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(m_p));
            const auto is = [x](char c) { return _mm_cmpeq_epi8(x, _mm_set1_epi8(c)); };
            // Signed comparisons: bytes from 80 on are below every bound.
            const auto within = [](__m128i v, char low, char high) {
                return _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(static_cast<char>(low - 1))),
                                     _mm_cmplt_epi8(v, _mm_set1_epi8(static_cast<char>(high + 1))));
            };
            const __m128i letter = within(_mm_or_si128(x, _mm_set1_epi8(0x20)), 'a', 'z');
            const __m128i name =
                _mm_or_si128(_mm_or_si128(letter, within(x, '0', '9')),
                             _mm_or_si128(is('_'), _mm_or_si128(is('-'), is('.'))));
            const unsigned others = ~static_cast<unsigned>(_mm_movemask_epi8(name)) & 0xFFFFu;
            if (others != 0) {
                m_p += std::countr_zero(others);
                return QByteArrayView(from, m_p - from);
            }
            m_p += 16;
        }
#endif
        while (m_p < m_end && isNameChar(*m_p))
            ++m_p;
        return QByteArrayView(from, m_p - from);
    }

    // Whether `n` bytes at `a` and `b` are the same: names are short, and a
    // call of memcmp() costs more than comparing them here.
    static bool same(const char* a, const char* b, qsizetype n) {
        for (; n >= 8; a += 8, b += 8, n -= 8) {
            std::uint64_t x, y;
            std::memcpy(&x, a, 8);
            std::memcpy(&y, b, 8);
            if (x != y)
                return false;
        }
        for (; n > 0; ++a, ++b, --n)
            if (*a != *b)
                return false;
        return true;
    }

    void passBlanks() {
        while (m_p < m_end && isBlank(*m_p))
            ++m_p;
    }

    void endTag() {
        // Mostly the name of the element open, and '>' right after it.
        if (!m_open.empty()) {
            const QByteArrayView open = m_open.back();
            const qsizetype n = open.size();
            if (m_end - m_p >= n + 3 && m_p[n + 2] == '>' && same(m_p + 2, open.data(), n)) {
                m_p += n + 3;
                m_open.pop_back();
                return;
            }
        }
        m_p += 2;
        const QByteArrayView name = passName();
        passBlanks();
        if (name.isEmpty() || m_open.empty() || name != m_open.back() || m_p >= m_end ||
            *m_p != '>')
            return giveUp();
        ++m_p;
        m_open.pop_back();
    }

    bool startTag() {
        ++m_p;
        // Kept in a register too: the list of open elements takes it from
        // there, not from m_name just written.
        const QByteArrayView name = passName();
        m_name = name;
        if (name.isEmpty())
            return giveUp(), false;
        m_protected = false;
        m_attributes.clear();
        for (;;) {
            const char* const before = m_p;
            passBlanks();
            if (m_p >= m_end)
                return giveUp(), false;
            if (*m_p == '>' || (*m_p == '/' && m_end - m_p >= 2 && m_p[1] == '>')) {
                m_empty = *m_p == '/';
                m_p += m_empty ? 2 : 1;
                m_open.push_back(name);
                return true;
            }
            if (m_p == before)
                return giveUp(), false;
            const QByteArrayView attribute = passName();
            passBlanks();
            if (attribute.isEmpty() || m_p >= m_end || *m_p != '=')
                return giveUp(), false;
            ++m_p;
            passBlanks();
            if (m_p >= m_end || (*m_p != '"' && *m_p != '\''))
                return giveUp(), false;
            const char quote = *m_p++;
            const char* const value = m_p;
            m_high = false;
            while (m_p < m_end && *m_p != quote) {
                const unsigned char c = static_cast<unsigned char>(*m_p);
                if (c == '<' || c == '&' || (c < 0x20 && !isBlank(*m_p)) || c == 0xEF)
                    return giveUp(), false;
                m_high = m_high || c >= 0x80;
                ++m_p;
            }
            if (m_p >= m_end || !checkedUtf8(value))
                return giveUp(), false;
            const QByteArrayView text(value, m_p - value);
            ++m_p;
            for (const QByteArrayView seen : m_attributes)
                if (seen == attribute)
                    return giveUp(), false;
            m_attributes.push_back(attribute);
            if (attribute == "Protected")
                m_protected = text.compare("True", Qt::CaseInsensitive) == 0;
        }
    }

    const char* m_p;
    const char* const m_end;
    std::vector<QByteArrayView> m_open;
    std::vector<QByteArrayView> m_attributes;
    QByteArrayView m_name;
    bool m_empty = false;
    bool m_protected = false;
    bool m_failed = false;
    // Whether the text or value being passed holds a byte that is not
    // ASCII.
    bool m_high = false;
};

// Where the next "{REF:" is, in any case, at or after `from`; -1 when none.
qsizetype referenceAt(QByteArrayView text, qsizetype from = 0) {
    for (qsizetype at = text.indexOf('{', from); at >= 0; at = text.indexOf('{', at + 1))
        if (text.size() - at >= 5 &&
            text.sliced(at + 1, 4).compare("REF:", Qt::CaseInsensitive) == 0)
            return at;
    return -1;
}

} // namespace

class FieldReferences::Index {
public:
    Index(size_t entries, Field field) : m_entries(entries), m_field(std::move(field)) {}

    // The entry whose field `searched` holds `text`, or -1. Each search is
    // made once: clones of one entry refer to it alike.
    qsizetype find(char searched, QByteArrayView text) {
        if (searched == 'I')
            return findIdentity(text);
        QByteArray key = searched + text.toByteArray();
        if (const auto it = m_found.find(key); it != m_found.end())
            return it->second;
        const QString wanted = QString::fromUtf8(text);
        qsizetype found = -1;
        for (size_t i = 0; i < m_entries && found < 0; ++i)
            if (QString::fromUtf8(m_field(i, searched)).contains(wanted, Qt::CaseInsensitive))
                found = static_cast<qsizetype>(i);
        m_found.emplace(std::move(key), found);
        return found;
    }

    QByteArray field(size_t entry, char letter) { return m_field(entry, letter); }

private:
    // An identity as KeePass writes it in a reference: 32 hexadecimal
    // digits, which KeePassXC also reads with dashes between them.
    qsizetype findIdentity(QByteArrayView text) {
        if (!m_identitiesKnown) {
            for (size_t i = 0; i < m_entries; ++i) {
                QByteArray id = m_field(i, 'I');
                if (!id.isEmpty())
                    m_identities.emplace(std::move(id), static_cast<qsizetype>(i));
            }
            m_identitiesKnown = true;
        }
        QByteArray hex = text.toByteArray().toUpper();
        hex.replace('-', QByteArrayView());
        const auto it = m_identities.find(hex);
        return it == m_identities.end() ? -1 : it->second;
    }

    size_t m_entries;
    Field m_field;
    std::unordered_map<QByteArray, qsizetype> m_found;
    std::unordered_map<QByteArray, qsizetype> m_identities;
    bool m_identitiesKnown = false;
};

FieldReferences::FieldReferences(size_t entries, Field field)
    : m_index(std::make_unique<Index>(entries, std::move(field))) {}

FieldReferences::~FieldReferences() = default;

bool FieldReferences::mayHold(QByteArrayView text) {
    return referenceAt(text) >= 0;
}

QByteArray FieldReferences::resolved(QByteArrayView text, qsizetype& unresolved) {
    // KeePass follows references within the fields referred to, some levels
    // deep: further than that, or back to where it started, a reference is
    // not resolved.
    constexpr int kDepth = 12;
    struct Resolver {
        Index& index;

        // The text with its references replaced; `failed` counts those left
        // as they are.
        QByteArray operator()(QByteArrayView text, int depth, qsizetype& failed) {
            QByteArray out;
            qsizetype from = 0;
            for (qsizetype at = referenceAt(text); at >= 0; at = referenceAt(text, from)) {
                out += text.sliced(from, at - from);
                const qsizetype close = text.indexOf('}', at);
                const QByteArrayView whole =
                    close < 0 ? text.sliced(at) : text.sliced(at, close + 1 - at);
                from = at + whole.size();
                const QByteArray value = target(whole, depth);
                if (value.isNull()) {
                    ++failed;
                    out += whole;
                } else {
                    out += value;
                }
            }
            if (from == 0)
                return text.toByteArray();
            out += text.sliced(from);
            return out;
        }

        // What a whole reference refers to, with the references in that
        // resolved too; null when any of it cannot be.
        QByteArray target(QByteArrayView whole, int depth) {
            // {REF:W@S:text}
            if (depth >= kDepth || whole.size() < 11 || whole[6] != '@' || whole[8] != ':' ||
                !whole.endsWith('}'))
                return {};
            const char wanted = upper(whole[5]), searched = upper(whole[7]);
            const QByteArrayView letters = "TUPANI";
            if (!letters.contains(wanted) || !(letters.contains(searched) || searched == 'O'))
                return {};
            const qsizetype found = index.find(searched, whole.sliced(9, whole.size() - 10));
            if (found < 0)
                return {};
            const QByteArray value = index.field(static_cast<size_t>(found), wanted);
            if (wanted == 'I' || !FieldReferences::mayHold(value))
                return value.isNull() ? QByteArray("") : value;
            qsizetype failed = 0;
            QByteArray inner = (*this)(value, depth + 1, failed);
            return failed > 0 ? QByteArray() : inner;
        }

        static char upper(char c) {
            return c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c;
        }
    };
    return Resolver{*m_index}(text, 0, unresolved);
}

namespace {

template <class Source> class Reader {
public:
    explicit Reader(QByteArrayView bytes) : m_xml(bytes) {
        // An entry as KeePass, KeePassXC and our export write it takes
        // over half a kilobyte: room for that many at once, which a file of
        // other things only asks of the address space.
        m_records.reserve(static_cast<size_t>(bytes.size() / 512));
    }

    // False, with the error and its line, when the file cannot be taken
    // whole.
    bool read() {
        if (!m_xml.readNextStartElement())
            return failed(u"the file holds no XML element"_s);
        if (!m_xml.nameIs("KeePassFile"_L1)) {
            m_error = u"this is XML, but not KeePass XML: its first element is <%1>, not "
                      "<KeePassFile>"_s.arg(QString::fromUtf8(m_xml.name()).left(40));
            return false;
        }
        while (m_xml.readNextStartElement()) {
            if (is("Meta"_L1))
                readMeta();
            else if (is("Root"_L1))
                readRoot();
            else
                m_xml.skipCurrentElement();
            if (!m_error.isEmpty())
                return false;
        }
        if (!m_error.isEmpty())
            return false;
        m_xml.readToEnd();
        return !m_xml.hasError() || failed({});
    }

    // Reports what was read, and gives `take` the username, password and
    // location of each entry kept, in UTF-8.
    template <class Take> void report(ImportReport& r, Take take) {
        std::vector<bool> recycled(m_groups.size(), false);
        for (size_t g = 0; g < m_groups.size(); ++g) {
            const int parent = m_groups[g].parent;
            recycled[g] = (m_binEnabled && !m_bin.isEmpty() && m_groups[g].uuid == m_bin) ||
                          (parent >= 0 && recycled[static_cast<size_t>(parent)]);
        }
        std::array<qsizetype, kLostKinds> cells{};
        std::unique_ptr<FieldReferences> references = fieldReferences();
        qsizetype unresolved = 0;
        size_t taken = 0;
        for (const Record& rec : m_records) {
            if (recycled[static_cast<size_t>(rec.group)]) {
                ++r.skippedRecycled;
                continue;
            }
            r.skippedHistory += rec.history;
            std::uint32_t lost = rec.lost;
            std::uint64_t dropped = rec.dropped;
            // The fields of an entry that refers to others, resolved.
            QByteArray fields[4];
            const QByteArray* title = &rec.title;
            const QByteArray* username = &rec.username;
            const QByteArray* password = &rec.password;
            const QByteArray* url = &rec.url;
            if (rec.references) {
                qsizetype failed = 0;
                const QByteArray* const given[4] = {title, username, password, url};
                for (int k = 0; k < 4; ++k)
                    fields[k] = references->resolved(*given[k], failed);
                title = &fields[0];
                username = &fields[1];
                password = &fields[2];
                url = &fields[3];
                if (failed > 0) {
                    unresolved += failed;
                    dropped = mixCell(dropped, kLostKinds, QByteArray::number(failed));
                }
                loseTitle(*title, *url, lost, dropped);
            }
            // What an empty entry held is lost too (a note on its own).
            for (unsigned k = 0; k < kLostKinds; ++k)
                cells[k] += (lost >> k) & 1u;
            const QByteArray& location = url->isEmpty() ? *title : *url;
            if (username->isEmpty() && password->isEmpty() && location.isEmpty()) {
                ++r.skippedEmpty;
                continue;
            }
            noteDropped(r, taken++, dropped);
            take(*username, *password, location);
        }
        for (unsigned k = 0; k < kLostKinds; ++k)
            if (cells[k] > 0)
                r.notKept.push_back({QString::fromUtf8(kLost[k].column),
                                     QString::fromUtf8(kLost[k].one),
                                     QString::fromUtf8(kLost[k].many), cells[k]});
        if (unresolved > 0)
            r.notKept.push_back({u"{REF:…}"_s, u"unresolved field reference"_s,
                                 u"unresolved field references"_s, unresolved});
    }

    const QString& error() const { return m_error; }
    int line() const { return m_line; }

private:
    bool failed(const QString& why) {
        if (m_error.isEmpty()) {
            m_line = m_xml.lineNumber();
            m_error = u"line %1: %2"_s.arg(m_line).arg(
                m_xml.hasError() ? u"not well-formed XML (%1)"_s.arg(m_xml.errorString()) : why);
        }
        return false;
    }

    bool is(QLatin1StringView name) const { return m_xml.nameIs(name); }

    // What the entries' field references refer to, when any may hold one:
    // every entry of the file but the older versions in histories, those in
    // the recycle bin included, which KeePass still finds.
    std::unique_ptr<FieldReferences> fieldReferences() const {
        if (std::none_of(m_records.begin(), m_records.end(),
                         [](const Record& rec) { return rec.references; }))
            return nullptr;
        return std::make_unique<FieldReferences>(
            m_records.size(), [this](size_t i, char letter) -> QByteArray {
                const Record& rec = m_records[i];
                switch (letter) {
                case 'T':
                    return rec.title;
                case 'U':
                    return rec.username;
                case 'P':
                    return rec.password;
                case 'A':
                    return rec.url;
                case 'N':
                    return rec.notes;
                case 'O':
                    return rec.others;
                case 'I': {
                    const QByteArray uuid = QByteArray::fromBase64(rec.uuid);
                    return uuid.size() == 16 ? uuid.toHex().toUpper() : QByteArray();
                }
                }
                return {};
            });
    }

    // Text of an element that holds no other; an error when it does.
    QByteArray text() { return m_xml.readElementText(); }

    void readMeta() {
        while (m_xml.readNextStartElement()) {
            if (is("RecycleBinUUID"_L1))
                m_bin = text();
            else if (is("RecycleBinEnabled"_L1))
                m_binEnabled = text().compare("False", Qt::CaseInsensitive) != 0;
            else
                m_xml.skipCurrentElement();
        }
        // A bin of all zeros is none.
        if (QByteArray::fromBase64(m_bin).count('\0') == 16)
            m_bin.clear();
    }

    void readRoot() {
        while (m_xml.readNextStartElement()) {
            if (is("Group"_L1))
                readGroup(-1, QByteArray());
            else
                m_xml.skipCurrentElement();
        }
    }

    // A group and all it holds. `above` names the groups above it under the
    // root, which is no group to lose: an entry's group is its path from
    // there, never empty.
    void readGroup(int parent, const QByteArray& above) {
        // Each group is read inside its parent's reading: a file is not to
        // run the stack out.
        if (++m_depth > kMaxGroupDepth) {
            failed(u"groups are nested more than %1 deep"_s.arg(kMaxGroupDepth));
            return;
        }
        const int index = static_cast<int>(m_groups.size());
        m_groups.push_back({{}, parent});
        QByteArray name;
        const auto here = [&] { return parent < 0 ? QByteArray() : above + '/' + name; };
        while (m_error.isEmpty() && m_xml.readNextStartElement()) {
            if (is("UUID"_L1))
                m_groups[static_cast<size_t>(index)].uuid = text();
            else if (is("Name"_L1))
                name = text();
            else if (is("Entry"_L1))
                readEntry(index, here());
            else if (is("Group"_L1))
                readGroup(index, here());
            else
                m_xml.skipCurrentElement();
        }
        --m_depth;
    }

    void lose(Record& rec, Lost kind, QByteArrayView value) {
        rec.lost |= 1u << kind;
        rec.dropped = mixCell(rec.dropped, kind, value);
    }

    // A title is lost where the URL is kept and does not spell it out.
    static void loseTitle(const QByteArray& title, const QByteArray& url, std::uint32_t& lost,
                          std::uint64_t& dropped) {
        if (!url.isEmpty() && !title.isEmpty() && !titleSpelledOut(title, url)) {
            lost |= 1u << LostTitle;
            dropped = mixCell(dropped, LostTitle, title);
        }
    }

    void readEntry(int group, const QByteArray& path) {
        Record rec;
        rec.group = group;
        bool colours = false, autoType = false;
        while (m_error.isEmpty() && m_xml.readNextStartElement()) {
            if (is("String"_L1)) {
                readString(rec);
            } else if (is("UUID"_L1)) {
                rec.uuid = text();
            } else if (is("History"_L1)) {
                while (m_xml.readNextStartElement()) {
                    rec.history += is("Entry"_L1) ? 1 : 0;
                    m_xml.skipCurrentElement();
                }
            } else if (is("Times"_L1)) {
                readTimes(rec);
            } else if (is("IconID"_L1)) {
                const QByteArray icon = text();
                if (!icon.isEmpty() && icon != "0")
                    lose(rec, LostIcon, icon);
            } else if (is("CustomIconUUID"_L1)) {
                const QByteArray icon = text();
                if (!icon.isEmpty() && QByteArray::fromBase64(icon).count('\0') != 16)
                    lose(rec, LostIcon, icon);
            } else if (is("ForegroundColor"_L1) || is("BackgroundColor"_L1)) {
                const QByteArray colour = text();
                if (!colour.isEmpty()) {
                    colours = true;
                    rec.dropped = mixCell(rec.dropped, LostColours, colour);
                }
            } else if (is("OverrideURL"_L1) || is("Tags"_L1)) {
                const Lost kind = is("Tags"_L1) ? LostTags : LostOverrideUrl;
                if (const QByteArray value = text(); !value.isEmpty())
                    lose(rec, kind, value);
            } else if (is("Binary"_L1)) {
                rec.lost |= 1u << LostAttachments;
                while (m_xml.readNextStartElement()) {
                    if (is("Key"_L1))
                        rec.dropped = mixCell(rec.dropped, LostAttachments, text());
                    else
                        m_xml.skipCurrentElement();
                }
            } else if (is("AutoType"_L1)) {
                autoType = readAutoType(rec) || autoType;
            } else if (is("CustomData"_L1)) {
                while (m_xml.readNextStartElement()) {
                    if (is("Item"_L1))
                        rec.lost |= 1u << LostCustomData;
                    m_xml.skipCurrentElement();
                }
            } else {
                m_xml.skipCurrentElement();
            }
        }
        if (colours)
            rec.lost |= 1u << LostColours;
        if (autoType)
            rec.lost |= 1u << LostAutoType;
        if (!path.isEmpty())
            lose(rec, LostGroup, path);
        // A title that refers to another entry's is judged once resolved.
        rec.references =
            FieldReferences::mayHold(rec.title) || FieldReferences::mayHold(rec.username) ||
            FieldReferences::mayHold(rec.password) || FieldReferences::mayHold(rec.url);
        if (!rec.references)
            loseTitle(rec.title, rec.url, rec.lost, rec.dropped);
        m_records.push_back(std::move(rec));
    }

    void readString(Record& rec) {
        QByteArray key, value;
        while (m_error.isEmpty() && m_xml.readNextStartElement()) {
            if (is("Key"_L1)) {
                key = text();
            } else if (is("Value"_L1)) {
                // Inside a KeePass database, protected values are encrypted
                // with the database's inner stream key; an export writes them
                // plain, marked ProtectInMemory instead.
                if (m_xml.markedProtected()) {
                    failed(u"the value of \"%1\" is encrypted (Protected=\"True\"), as a KeePass "
                           "database holds it inside, and only KeePass can decrypt it: export "
                           "the database from KeePassXC (keepassxc-cli export --format xml) or "
                           "KeePass as unencrypted XML instead"_s.arg(QString::fromUtf8(key)));
                    return;
                }
                value = text();
            } else {
                m_xml.skipCurrentElement();
            }
        }
        if (key == "Title")
            rec.title = std::move(value);
        else if (key == "UserName")
            rec.username = std::move(value);
        else if (key == "Password")
            rec.password = std::move(value);
        else if (key == "URL")
            rec.url = std::move(value);
        else if (value.isEmpty())
            return;
        else if (key == "Notes")
            lose(rec, LostNotes, rec.notes = value);
        else
            lose(rec, isTotpKey(key) ? LostTotp : LostFields, key + '\n' + value);
        if (key != "Notes") {
            if (!rec.others.isEmpty())
                rec.others += '\n';
            rec.others += value;
        }
    }

    void readTimes(Record& rec) {
        QByteArray expiry;
        bool expires = false;
        while (m_xml.readNextStartElement()) {
            if (is("Expires"_L1))
                expires = text().compare("True", Qt::CaseInsensitive) == 0;
            else if (is("ExpiryTime"_L1))
                expiry = text();
            else
                m_xml.skipCurrentElement();
        }
        if (expires)
            lose(rec, LostExpiry, expiry);
    }

    // Whether an entry's auto-type differs from what every new entry has:
    // on, no obfuscation, the default sequence, no window associations.
    bool readAutoType(Record& rec) {
        bool set = false;
        while (m_xml.readNextStartElement()) {
            QByteArray value;
            if (is("Association"_L1)) {
                value = "Association";
                m_xml.skipCurrentElement();
            } else {
                const QByteArray name = m_xml.name();
                value = text();
                const bool usual = value.isEmpty() || (name == "Enabled" && value == "True") ||
                                   (name == "DataTransferObfuscation" && value == "0");
                if (usual)
                    continue;
                value = name + '\n' + value;
            }
            set = true;
            rec.dropped = mixCell(rec.dropped, LostAutoType, value);
        }
        return set;
    }

    static constexpr int kMaxGroupDepth = 1000;

    Source m_xml;
    int m_depth = 0;
    QString m_error;
    int m_line = 0;
    QByteArray m_bin;
    bool m_binEnabled = true;
    std::vector<Group> m_groups;
    std::vector<Record> m_records;
};

// What XML 1.0 cannot hold of a field, or nothing.
QString unholdable(QStringView text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        const auto hex = [c] { return u"%1"_s.arg(int(c), 4, 16, QLatin1Char('0')).toUpper(); };
        if (c < 0x20 && c != u'\t' && c != u'\n' && c != u'\r')
            return u"a control character (U+%1)"_s.arg(hex());
        if (c == 0xFFFE || c == 0xFFFF)
            return u"U+%1, which is not a character"_s.arg(hex());
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            ++i;
            continue;
        }
        if (QChar::isSurrogate(c))
            return u"a lone surrogate (half of a UTF-16 pair without the other half)"_s;
    }
    return {};
}

// A value, with every CR as a character reference: XML readers turn a raw
// CR (and CR LF) into LF.
void writeValue(QXmlStreamWriter& xml, const QString& value, bool protect) {
    xml.writeStartElement(u"Value"_s);
    if (protect)
        xml.writeAttribute(u"ProtectInMemory"_s, u"True"_s);
    qsizetype from = 0;
    for (qsizetype cr = value.indexOf(u'\r'); cr >= 0; cr = value.indexOf(u'\r', from)) {
        xml.writeCharacters(value.sliced(from, cr - from));
        xml.writeEntityReference(u"#13"_s);
        from = cr + 1;
    }
    xml.writeCharacters(value.sliced(from));
    xml.writeEndElement();
}

void writeString(QXmlStreamWriter& xml, const QString& key, const QString& value,
                 bool protect = false) {
    xml.writeStartElement(u"String"_s);
    xml.writeTextElement(u"Key"_s, key);
    writeValue(xml, value, protect);
    xml.writeEndElement();
}

void writeTimes(QXmlStreamWriter& xml, const QString& at) {
    xml.writeStartElement(u"Times"_s);
    for (const QString& name :
         {u"CreationTime"_s, u"LastModificationTime"_s, u"LastAccessTime"_s, u"ExpiryTime"_s})
        xml.writeTextElement(name, at);
    xml.writeTextElement(u"Expires"_s, u"False"_s);
    xml.writeTextElement(u"UsageCount"_s, u"0"_s);
    xml.writeTextElement(u"LocationChanged"_s, at);
    xml.writeEndElement();
}

// Identities: 16 bytes each, random, or from a fixed sequence.
class Uuids {
public:
    explicit Uuids(std::uint64_t start) : m_start(start), m_sequence(start) {}

    QString next() {
        std::array<quint64, 2> raw;
        if (m_start == 0) {
            QRandomGenerator::system()->fillRange(raw.data(), raw.size());
        } else {
            raw[0] = m_sequence();
            raw[1] = m_sequence();
        }
        return QString::fromLatin1(
            QByteArray(reinterpret_cast<const char*>(raw.data()), sizeof raw).toBase64());
    }

private:
    std::uint64_t m_start;
    std::mt19937_64 m_sequence;
};

template <class EntryAt>
ExportResult writeKeePassXml(size_t count, EntryAt entryAt, const XmlStamp& stamp) {
    const QDateTime time = stamp.time.isValid() ? stamp.time : QDateTime::currentDateTimeUtc();
    const QString at = time.toUTC().toString(Qt::ISODate);
    Uuids uuids(stamp.uuidStart);
    QByteArray bytes;
    QXmlStreamWriter xml(&bytes);
    xml.setAutoFormatting(true);
    xml.setAutoFormattingIndent(-1);
    xml.writeStartDocument(u"1.0"_s, true);
    xml.writeStartElement(u"KeePassFile"_s);
    xml.writeStartElement(u"Meta"_s);
    xml.writeTextElement(u"Generator"_s, u"Keynook"_s);
    xml.writeTextElement(u"DatabaseName"_s, u"Keynook"_s);
    xml.writeStartElement(u"MemoryProtection"_s);
    xml.writeTextElement(u"ProtectPassword"_s, u"True"_s);
    xml.writeEndElement();
    xml.writeEndElement();
    xml.writeStartElement(u"Root"_s);
    xml.writeStartElement(u"Group"_s);
    xml.writeTextElement(u"UUID"_s, uuids.next());
    // KeePassXC's CSV names entries of the root group by its name: this one
    // reads back as no group.
    xml.writeTextElement(u"Name"_s, u"Root"_s);
    writeTimes(xml, at);
    for (size_t i = 0; i < count; ++i) {
        const Entry e = entryAt(i);
        const QString* fields[3] = {&e.username, &e.password, &e.location};
        for (int f = 0; f < 3; ++f) {
            if (const QString why = unholdable(*fields[f]); !why.isEmpty())
                return ExportResult{{},
                                    u"entry %1: the %2 holds %3, which XML 1.0 cannot hold: "
                                    "export as CSV or JSON instead"_s.arg(i + 1)
                                        .arg(kFieldNames[f], why),
                                    {},
                                    {},
                                    0};
        }
        xml.writeStartElement(u"Entry"_s);
        xml.writeTextElement(u"UUID"_s, uuids.next());
        writeTimes(xml, at);
        writeString(xml, u"Title"_s, placeOf(e.location).name);
        writeString(xml, u"UserName"_s, e.username);
        writeString(xml, u"Password"_s, e.password, true);
        writeString(xml, u"URL"_s, e.location);
        xml.writeEndElement();
    }
    xml.writeEndElement(); // Group
    xml.writeEndElement(); // Root
    xml.writeEndElement(); // KeePassFile
    xml.writeEndDocument();
    return ExportResult{std::move(bytes), {}, {}, {}, 0};
}

// Reads the file with the quick reader, or with Qt's where the quick one
// gives up, and reports into `r` through `take` as Reader::report() does.
template <class Take>
void readKeePassXml(QByteArrayView bytes, ImportReport& r, Take take, bool quickly = true) {
    r.format = Format::KeePassXml;
    if (quickly) {
        Reader<QuickSource> quick(bytes);
        if (quick.read())
            return quick.report(r, take);
    }
    Reader<QtSource> reader(bytes);
    if (!reader.read()) {
        r.error = reader.error();
        r.line = reader.line();
        return;
    }
    reader.report(r, take);
}

ImportResult asEntries(QByteArrayView bytes, bool quickly) {
    ImportResult r;
    FieldText fieldText;
    readKeePassXml(
        bytes, r,
        [&](QByteArrayView username, QByteArrayView password, QByteArrayView location) {
            r.entries.push_back(
                Entry{fieldText(username), fieldText(password), fieldText(location)});
        },
        quickly);
    return r;
}

} // namespace

ImportResult importKeePassXml(QByteArrayView bytes) {
    return asEntries(bytes, true);
}

ImportResult importKeePassXmlWithQt(QByteArrayView bytes) {
    return asEntries(bytes, false);
}

EncodedImport importKeePassXmlEncoded(QByteArrayView bytes) {
    EncodedImport r;
    EncodedLines lines(bytes.size() / 8);
    readKeePassXml(bytes, r,
                   [&](QByteArrayView username, QByteArrayView password, QByteArrayView location) {
                       lines.add(username, password, location);
                   });
    if (r.ok())
        r.entries = lines.take();
    return r;
}

ExportResult exportKeePassXml(const std::vector<Entry>& entries, const XmlStamp& stamp) {
    return writeKeePassXml(
        entries.size(), [&](size_t i) -> const Entry& { return entries[i]; }, stamp);
}

ExportResult exportKeePassXml(const EntryStore& entries, const XmlStamp& stamp) {
    return writeKeePassXml(
        entries.size(), [&](size_t i) { return entries.entry(i); }, stamp);
}

} // namespace interchange
