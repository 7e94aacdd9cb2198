#include "sync/Record.h"

#include "vault/VaultFormat.h"

#include <QHashFunctions>
#include <QRandomGenerator>
#include <QtEndian>

#include <sodium.h>

#include <algorithm>

namespace record {

namespace {

// Content marks must be the same on every computer, so their digest has a
// fixed key: SipHash, which is quick, not a secret. The record lies inside
// the sealed file, so nobody but the vault's person sees a digest.
constexpr unsigned char kContentKey[crypto_shorthash_KEYBYTES] = {
    'K', 'e', 'y', 'n', 'o', 'o', 'k', ' ', 'c', 'o', 'n', 't', 'e', 'n', 't', '1'};

quint64 digest(QByteArrayView bytes, quint64 salt) {
    // The salt goes into the key's first eight bytes, so that one call
    // digests a line with its occurrence.
    unsigned char key[crypto_shorthash_KEYBYTES];
    std::copy(std::begin(kContentKey), std::end(kContentKey), key);
    qToLittleEndian<quint64>(qFromLittleEndian<quint64>(key) ^ salt, key);
    unsigned char out[crypto_shorthash_BYTES];
    crypto_shorthash(out, reinterpret_cast<const unsigned char*>(bytes.data()),
                     static_cast<unsigned long long>(bytes.size()), key);
    return qFromLittleEndian<quint64>(out);
}

constexpr quint8 kFormat = 1;
// More marks than any vault file of the largest size could have lines.
constexpr quint64 kMostItems = quint64(1) << 32;

void putVarint(QByteArray& out, quint64 v) {
    while (v >= 0x80) {
        out.append(static_cast<char>((v & 0x7F) | 0x80));
        v >>= 7;
    }
    out.append(static_cast<char>(v));
}

void put64(QByteArray& out, quint64 v) {
    char b[8];
    qToLittleEndian<quint64>(v, b);
    out.append(b, 8);
}

quint64 zigzag(qint64 v) {
    return (static_cast<quint64>(v) << 1) ^ static_cast<quint64>(v >> 63);
}
qint64 unzigzag(quint64 v) {
    return static_cast<qint64>(v >> 1) ^ -static_cast<qint64>(v & 1);
}

struct Reader {
    QByteArrayView in;
    qsizetype at = 0;
    bool ok = true;
    quint64 varint() {
        quint64 v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (at >= in.size()) {
                ok = false;
                return 0;
            }
            const auto b = static_cast<quint8>(in[at++]);
            v |= quint64(b & 0x7F) << shift;
            if (!(b & 0x80))
                return v;
        }
        ok = false;
        return 0;
    }
    quint64 u64() {
        if (in.size() - at < 8) {
            ok = false;
            return 0;
        }
        const auto v = qFromLittleEndian<quint64>(in.data() + at);
        at += 8;
        return v;
    }
};

// Marks are written against the replicas' list: 0 a content mark and its
// occurrence, i + 1 the list's i-th replica and the difference from the
// last count written for it, which is small for entries made one after
// another.
class MarkWriter {
public:
    explicit MarkWriter(const Record& r) : m_record(r), m_last(r.vector.size(), 0) {}
    void put(QByteArray& out, const Mark& m) {
        if (m.isContent()) {
            putVarint(out, 0);
            putVarint(out, m.occurrence);
            return;
        }
        const auto it = std::lower_bound(m_record.vector.begin(), m_record.vector.end(),
                                         std::make_pair(m.replica, quint64(0)));
        const auto i = static_cast<size_t>(it - m_record.vector.begin());
        putVarint(out, i + 1);
        putVarint(out, zigzag(static_cast<qint64>(m.counter - m_last[i])));
        m_last[i] = m.counter;
    }

private:
    const Record& m_record;
    std::vector<quint64> m_last;
};

} // namespace

quint64 Record::seen(quint64 replica) const {
    const auto it =
        std::lower_bound(vector.begin(), vector.end(), std::make_pair(replica, quint64(0)));
    return it != vector.end() && it->first == replica ? it->second : 0;
}

bool Record::covers(const Mark& m) const {
    if (m.isContent())
        return std::binary_search(removedContent.begin(), removedContent.end(), m.counter);
    return seen(m.replica) >= m.counter;
}

void Record::see(quint64 replica, quint64 counter) {
    const auto it =
        std::lower_bound(vector.begin(), vector.end(), std::make_pair(replica, quint64(0)));
    if (it != vector.end() && it->first == replica)
        it->second = std::max(it->second, counter);
    else
        vector.insert(it, {replica, counter});
}

quint64 runDigest(QByteArrayView line) {
    // Never written anywhere: Qt's own hash (AES instructions where the
    // machine has them), seeded at random for the run so that nobody can
    // choose lines that collide.
    static const size_t runKey = static_cast<size_t>(QRandomGenerator::system()->generate64());
    return qHash(line, runKey);
}

Lines linesOf(QByteArrayView plain) {
    Lines lines;
    bool first = true;
    lines.entries.reserve(static_cast<size_t>(plain.size() / 48));
    vaultformat::eachLine(plain, [&](QByteArrayView line) {
        if (first)
            lines.master = line;
        else if (!vaultformat::isSkippedLine(line))
            lines.entries.push_back(line);
        first = false;
    });
    return lines;
}

quint64 contentDigest(QByteArrayView line, quint64 occurrence) {
    // Never the digest of a master line: those are salted apart.
    return digest(line, (occurrence << 1) | 1);
}

quint64 masterDigest(QByteArrayView masterLine) {
    return digest(masterLine, 0);
}

Mark withDigest(const Mark& m, QByteArrayView line) {
    if (!m.isContent() || m.counter != kLater)
        return m;
    return {kContent, contentDigest(line, m.occurrence), m.occurrence};
}

void digestAll(Record& r, const Lines& lines) {
    for (size_t i = 0; i < r.marks.size(); ++i)
        r.marks[i] = withDigest(r.marks[i], lines.entries[i]);
}

bool sameMarks(const std::vector<Mark>& a, const std::vector<Mark>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const Mark& x, const Mark& y) {
        return x.replica == y.replica && x.occurrence == y.occurrence &&
               (x.isContent() || x.counter == y.counter);
    });
}

Record startFor(const Lines& lines) {
    Record r;
    r.master = {kContent, masterDigest(lines.master)};
    r.marks.reserve(lines.entries.size());
    // A line's first occurrence is marked by contentDigest(line, 0), which
    // also counts the occurrences of its kind in one open-addressed table: a
    // line seen again (rare) gets the digest of its number.
    size_t size = 16;
    while (size < lines.entries.size() * 2)
        size *= 2;
    struct Kind {
        quint64 first = 0;
        quint64 seen = 0;
    };
    std::vector<Kind> kinds(size);
    for (const QByteArrayView line : lines.entries) {
        const quint64 first = contentDigest(line, 0);
        size_t at = static_cast<size_t>(first ^ (first >> 31)) & (size - 1);
        while (kinds[at].seen != 0 && kinds[at].first != first)
            at = (at + 1) & (size - 1);
        kinds[at].first = first;
        const quint64 k = kinds[at].seen++;
        r.marks.push_back({kContent, k == 0 ? first : contentDigest(line, k), k});
    }
    return r;
}

QByteArray encode(const Record& r) {
    QByteArray out;
    out.reserve(16 + qsizetype(r.vector.size()) * 12 + qsizetype(r.marks.size()) * 4 +
                qsizetype(r.removedContent.size()) * 8);
    out.append(static_cast<char>(kFormat));
    putVarint(out, r.vector.size());
    for (const auto& [replica, counter] : r.vector) {
        put64(out, replica);
        putVarint(out, counter);
    }
    MarkWriter marks(r);
    marks.put(out, r.master);
    putVarint(out, r.marks.size());
    for (const Mark& m : r.marks)
        marks.put(out, m);
    putVarint(out, r.removedContent.size());
    for (const quint64 d : r.removedContent)
        put64(out, d);
    return out;
}

std::optional<Record> decode(QByteArrayView bytes, const Lines& lines) {
    Reader in{bytes};
    if (bytes.isEmpty() || static_cast<quint8>(bytes[0]) != kFormat)
        return std::nullopt;
    in.at = 1;
    Record r;
    const quint64 replicas = in.varint();
    if (!in.ok || replicas > quint64(bytes.size()) / 9)
        return std::nullopt;
    r.vector.reserve(replicas);
    for (quint64 i = 0; i < replicas && in.ok; ++i) {
        const quint64 id = in.u64();
        const quint64 counter = in.varint();
        if (id == kContent || (!r.vector.empty() && id <= r.vector.back().first))
            return std::nullopt;
        r.vector.push_back({id, counter});
    }
    std::vector<quint64> last(r.vector.size(), 0);
    const auto mark = [&](QByteArrayView line, bool master) -> std::optional<Mark> {
        const quint64 tag = in.varint();
        if (!in.ok)
            return std::nullopt;
        if (tag == 0) {
            const quint64 k = in.varint();
            if (!in.ok || (master && k != 0) || k >= kMostItems)
                return std::nullopt;
            return Mark{kContent, master ? masterDigest(line) : kLater, k};
        }
        if (tag > r.vector.size())
            return std::nullopt;
        const size_t i = tag - 1;
        const quint64 counter = last[i] + static_cast<quint64>(unzigzag(in.varint()));
        if (!in.ok || counter == 0 || counter > r.vector[i].second)
            return std::nullopt;
        last[i] = counter;
        return Mark{r.vector[i].first, counter, 0};
    };
    const std::optional<Mark> master = mark(lines.master, true);
    if (!master)
        return std::nullopt;
    r.master = *master;
    const quint64 count = in.varint();
    if (!in.ok || count != lines.entries.size())
        return std::nullopt;
    r.marks.resize(count);
    for (size_t i = 0; i < count; ++i) {
        const std::optional<Mark> m = mark(lines.entries[i], false);
        if (!m)
            return std::nullopt;
        r.marks[i] = *m;
    }
    const quint64 removed = in.varint();
    if (!in.ok || removed > quint64(bytes.size() - in.at) / 8)
        return std::nullopt;
    r.removedContent.reserve(removed);
    for (quint64 i = 0; i < removed; ++i) {
        const quint64 d = in.u64();
        if (!r.removedContent.empty() && d <= r.removedContent.back())
            return std::nullopt;
        r.removedContent.push_back(d);
    }
    if (!in.ok || in.at != bytes.size())
        return std::nullopt;
    return r;
}

} // namespace record
