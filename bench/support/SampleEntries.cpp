#include "support/SampleEntries.h"

#include <QString>

#include <array>
#include <string_view>

namespace {

// splitmix64: small, fast and the same on every platform, unlike the
// standard library's distributions.
class Sequence {
public:
    explicit Sequence(quint64 startValue) : m_state(startValue) {}

    quint64 next() {
        quint64 z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // 0 .. n-1
    int below(int n) { return static_cast<int>(next() % static_cast<quint64>(n)); }
    bool chance(int percent) { return below(100) < percent; }
    template <class T, size_t N> const T& pick(const std::array<T, N>& items) {
        return items[static_cast<size_t>(below(static_cast<int>(N)))];
    }

private:
    quint64 m_state;
};

using Words = std::array<std::string_view, 40>;

constexpr Words kFirstNames = {
    "anna",   "ben",   "carla", "david",  "elena", "farid", "grace",  "hugo",  "ines",  "jonas",
    "kira",   "liam",  "maria", "noah",   "olga",  "pablo", "quinn",  "rosa",  "samir", "tara",
    "ulrich", "vera",  "wei",   "ximena", "yusuf", "zoe",   "amelie", "bruno", "chloe", "dmitri",
    "emma",   "felix", "greta", "hana",   "ivan",  "julia", "kenji",  "lena",  "marco", "nadia"};

constexpr Words kLastNames = {
    "smith",   "garcia", "mueller", "rossi",   "novak",   "kowalski",    "nguyen", "silva",
    "martin",  "jensen", "dubois",  "tanaka",  "okafor",  "petrov",      "haddad", "larsen",
    "brown",   "lopez",  "schmidt", "bianchi", "horvat",  "nowak",       "tran",   "costa",
    "bernard", "olsen",  "moreau",  "sato",    "adeyemi", "ivanova",     "khalil", "berg",
    "walker",  "ortiz",  "fischer", "conti",   "kovac",   "lewandowski", "pham",   "santos"};

// Syllables of made-up site and word names.
constexpr Words kSyllables = {"brim", "vale", "cor",  "tex",  "lum",   "ora", "nex",  "stad",
                              "quil", "fern", "mar",  "lo",   "zen",   "tra", "pix",  "ely",
                              "dun",  "hal",  "rix",  "ona",  "sol",   "ver", "kai",  "ple",
                              "grin", "oak",  "mint", "bay",  "arc",   "tor", "wave", "port",
                              "cast", "line", "hub",  "nest", "crest", "ly",  "io",   "ware"};

constexpr std::array<std::string_view, 8> kMailDomains = {
    "example.com",  "example.net",   "example.org",  "mail.example",
    "post.example", "inbox.example", "work.example", "uni.example"};

constexpr std::array<std::string_view, 9> kTopLevel = {"com", "net", "org",  "io", "co.uk",
                                                       "de",  "edu", "info", "biz"};

constexpr std::array<std::string_view, 12> kNotes = {
    "Home router",  "Office wifi",      "Bank card PIN",  "Alarm code",
    "Laptop login", "Tax office",       "Library card",   "Gym locker",
    "Work VPN",     "Old phone backup", "Door code flat", "Printer admin"};

constexpr std::string_view kPasswordChars = "abcdefghijkmnopqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ"
                                            "0123456789!#$%&*+-=?@^_~.,;:()[]{}<>/";

QString text(std::string_view s) {
    return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

QString capitalized(std::string_view s) {
    QString t = text(s);
    if (!t.isEmpty())
        t[0] = t[0].toUpper();
    return t;
}

QString number(Sequence& seq, int below) {
    return QString::number(seq.below(below));
}

QString madeUpWord(Sequence& seq) {
    QString w = text(seq.pick(kSyllables));
    w += text(seq.pick(kSyllables));
    if (seq.chance(30))
        w += text(seq.pick(kSyllables));
    return w;
}

QString username(Sequence& seq) {
    const auto first = seq.pick(kFirstNames);
    const auto last = seq.pick(kLastNames);
    switch (seq.below(7)) {
    case 0: // anna.novak@example.com
        return text(first) + QLatin1Char('.') + text(last) + QLatin1Char('@') +
               text(seq.pick(kMailDomains));
    case 1: // ANovak@work.example
        return capitalized(first.substr(0, 1)) + capitalized(last) + QLatin1Char('@') +
               text(seq.pick(kMailDomains));
    case 2: // annanovak87
        return text(first) + text(last) + number(seq, 100);
    case 3: // Anna_Novak
        return capitalized(first) + QLatin1Char('_') + capitalized(last);
    case 4: // anovak
        return text(first.substr(0, 1)) + text(last);
    case 5: // brimvale_fan2003
        return madeUpWord(seq) + QStringLiteral("_") + text(first) + number(seq, 10000);
    default: // ANNA1990
        return text(first).toUpper() + QString::number(1950 + seq.below(60));
    }
}

QString password(Sequence& seq) {
    switch (seq.below(6)) {
    case 0: { // a PIN
        QString pin;
        for (int i = 4 + seq.below(3); i > 0; --i)
            pin += QLatin1Char(static_cast<char>('0' + seq.below(10)));
        return pin;
    }
    case 1: // Marble1987!
        return capitalized(seq.pick(kLastNames)) + QString::number(1950 + seq.below(70)) +
               QLatin1Char("!?#."[seq.below(4)]);
    case 2: // corvalemint
        return madeUpWord(seq) + madeUpWord(seq);
    default: { // generated, 12 to 24 characters
        QString p;
        for (int i = 12 + seq.below(13); i > 0; --i)
            p += QLatin1Char(
                kPasswordChars[static_cast<size_t>(seq.below(int(kPasswordChars.size())))]);
        return p;
    }
    }
}

QString location(Sequence& seq) {
    const int kind = seq.below(100);
    if (kind < 5)
        return {};
    if (kind < 9)
        return text(seq.pick(kNotes));
    if (kind < 12)
        return QStringLiteral("192.168.%1.%2").arg(seq.below(4)).arg(1 + seq.below(254));
    static constexpr std::array<std::string_view, 6> prefixes = {
        "", "www.", "https://", "https://www.", "http://www.", "accounts."};
    static constexpr std::array<std::string_view, 6> paths = {"",        "",         "/login",
                                                              "/signin", "/account", "/"};
    QString host = madeUpWord(seq);
    if (seq.chance(15)) {
        host[0] = host[0].toUpper();
        host += QStringLiteral("Online");
    }
    return text(seq.pick(prefixes)) + host + QLatin1Char('.') + text(seq.pick(kTopLevel)) +
           text(seq.pick(paths));
}

} // namespace

std::vector<Entry> sampleEntries(int count, quint64 startValue) {
    Sequence seq(startValue);
    std::vector<Entry> entries;
    entries.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        Entry e;
        e.username = username(seq);
        e.password = password(seq);
        e.location = location(seq);
        entries.push_back(std::move(e));
    }
    return entries;
}

std::vector<QString> columnTexts(const std::vector<Entry>& entries, int column) {
    std::vector<QString> texts;
    texts.reserve(entries.size());
    for (const Entry& e : entries)
        texts.push_back(column == 0 ? e.username : column == 1 ? e.password : e.location);
    return texts;
}

namespace {

constexpr int kUntouched = -1;
constexpr int kRemoved = -2;

// The changes of one side, by base entry: what became of it, and the entry
// added after it. Side s touches every other point of a grid of
// 2 x (removed + edited) points, and adds halfway between two points of
// another grid, where neither side touches anything.
struct Touches {
    std::vector<Entry> fresh;    // the entries added, then those whose passwords edits give
    std::vector<int> becomes;    // kUntouched, kRemoved or the edit's entry in `fresh`
    std::vector<int> addedAfter; // an entry in `fresh`, or -1
};

Touches touchesOf(size_t n, int side, const SideChanges& changes) {
    Touches t;
    t.fresh = sampleEntries(changes.added + changes.edited, 0x5eed0000u + quint64(side));
    t.becomes.assign(n, kUntouched);
    t.addedAfter.assign(n, -1);
    const size_t s = static_cast<size_t>(side);
    const size_t touched = static_cast<size_t>(changes.removed + changes.edited);
    const size_t edited = static_cast<size_t>(changes.edited);
    const size_t stride = touched ? n / (2 * touched) : n;
    int edits = 0;
    for (size_t j = 0; j < touched; ++j) {
        // Edits spread evenly among the removals.
        const bool edit = (j + 1) * edited / touched > j * edited / touched;
        t.becomes[(2 * j + s) * stride] = edit ? changes.added + edits++ : kRemoved;
    }
    const size_t added = static_cast<size_t>(changes.added);
    const size_t addStride = added ? n / (2 * added) : n;
    for (size_t j = 0; j < added; ++j)
        t.addedAfter[(2 * j + s) * addStride + stride / 2] = static_cast<int>(j);
    return t;
}

std::vector<Entry> withTouches(const std::vector<Entry>& base, const std::vector<Touches>& sides,
                               std::vector<int>* origins) {
    std::vector<Entry> out;
    out.reserve(base.size() + sides.size() * sides.front().fresh.size());
    if (origins)
        origins->clear();
    for (size_t i = 0; i < base.size(); ++i) {
        Entry e = base[i];
        bool kept = true;
        for (const Touches& t : sides) {
            if (t.becomes[i] == kRemoved)
                kept = false;
            else if (t.becomes[i] != kUntouched)
                e.password = t.fresh[static_cast<size_t>(t.becomes[i])].password;
        }
        if (kept) {
            out.push_back(std::move(e));
            if (origins)
                origins->push_back(static_cast<int>(i));
        }
        for (const Touches& t : sides) {
            if (t.addedAfter[i] < 0)
                continue;
            out.push_back(t.fresh[static_cast<size_t>(t.addedAfter[i])]);
            if (origins)
                origins->push_back(-1 - t.addedAfter[i]);
        }
    }
    return out;
}

} // namespace

std::vector<Entry> changedCopy(const std::vector<Entry>& base, int side, SideChanges changes,
                               std::vector<int>* origins) {
    return withTouches(base, {touchesOf(base.size(), side, changes)}, origins);
}

std::vector<Entry> mergedChanges(const std::vector<Entry>& base, SideChanges changes) {
    return withTouches(
        base, {touchesOf(base.size(), 0, changes), touchesOf(base.size(), 1, changes)}, nullptr);
}
