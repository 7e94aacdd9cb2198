#include "cli/PasswordGenerator.h"

#include <QFile>
#include <QLocale>
#include <QRegularExpression>

#include <sodium.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace passwordgenerator {

namespace {

struct Kind {
    const char* name;
    const char16_t* characters;
};

const Kind kKinds[] = {
    {"upper", u"ABCDEFGHIJKLMNOPQRSTUVWXYZ"},
    {"lower", u"abcdefghijklmnopqrstuvwxyz"},
    {"digits", u"0123456789"},
    {"symbols", u"!#$%&()*+,-./:;<=>?@[]^_{}~"},
};

const QString kLookAlikes = QStringLiteral("Il1O0o");

// A number below `n`, every value equally likely.
quint32 uniformBelow(size_t n) {
    return randombytes_uniform(static_cast<quint32>(n));
}

// The text's characters, a surrogate pair as one.
std::vector<QString> charactersOf(const QString& text) {
    std::vector<QString> out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const bool pair =
            text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate();
        out.push_back(text.mid(i, pair ? 2 : 1));
        if (pair)
            ++i;
    }
    return out;
}

std::vector<QString> withoutLookAlikes(std::vector<QString> set, bool leaveOut) {
    if (leaveOut)
        set.erase(std::remove_if(set.begin(), set.end(),
                                 [](const QString& c) { return kLookAlikes.contains(c); }),
                  set.end());
    return set;
}

QString thousands(qsizetype n) {
    return QLocale(QLocale::English).toString(n);
}

Made failed(const QString& why) {
    Made m;
    m.error = why;
    return m;
}

// Characters drawn from `kinds`, each at least once. Drawing again until
// every kind is in makes each password that has them all equally likely,
// which drawing one of each and shuffling would not.
Made fromKinds(const Recipe& r) {
    std::vector<std::vector<QString>> sets;
    std::vector<QString> alphabet;
    for (const Kind& k : kKinds) {
        if (!r.kinds.contains(QLatin1String(k.name)))
            continue;
        sets.push_back(
            withoutLookAlikes(charactersOf(QString::fromUtf16(k.characters)), r.noLookAlikes));
        alphabet.insert(alphabet.end(), sets.back().begin(), sets.back().end());
    }
    if (sets.empty())
        return failed(QStringLiteral("no kind of character is left to draw from"));
    if (r.length < static_cast<int>(sets.size()))
        return failed(QStringLiteral("%1 characters cannot hold one of each of %2 kinds")
                          .arg(r.length)
                          .arg(sets.size()));
    Made m;
    for (;;) {
        std::vector<size_t> drawn(static_cast<size_t>(r.length));
        for (size_t& d : drawn)
            d = uniformBelow(alphabet.size());
        // Which kinds the drawn characters fall in: the kinds lie one after
        // another in the alphabet.
        bool all = true;
        size_t start = 0;
        for (const std::vector<QString>& set : sets) {
            all = all && std::any_of(drawn.begin(), drawn.end(), [&](size_t d) {
                      return d >= start && d < start + set.size();
                  });
            start += set.size();
        }
        if (all) {
            for (size_t d : drawn)
                m.password += alphabet[d];
            break;
        }
    }
    // Of the N^n strings, those missing no kind, by inclusion and
    // exclusion over the kinds left out: sum over S of (-1)^|S| (N - |S's
    // characters|)^n, taken relative to N^n so that it fits a double.
    const double n = static_cast<double>(alphabet.size());
    double share = 0;
    const size_t subsets = size_t(1) << sets.size();
    for (size_t s = 0; s < subsets; ++s) {
        double left = n;
        int count = 0;
        for (size_t k = 0; k < sets.size(); ++k)
            if (s & (size_t(1) << k)) {
                left -= static_cast<double>(sets[k].size());
                ++count;
            }
        share += (count % 2 ? -1.0 : 1.0) * std::pow(left / n, r.length);
    }
    m.bits = r.length * std::log2(n) + std::log2(share);
    m.how = QStringLiteral("%1 characters from a set of %2, each kind at least once")
                .arg(r.length)
                .arg(alphabet.size());
    return m;
}

Made fromCharacters(const Recipe& r) {
    std::vector<QString> set = withoutLookAlikes(charactersOf(r.characters), r.noLookAlikes);
    std::sort(set.begin(), set.end());
    set.erase(std::unique(set.begin(), set.end()), set.end());
    for (const QString& c : set)
        if (c.size() == 1 && (c[0].category() == QChar::Other_Control ||
                              c[0] == QChar::LineSeparator || c[0] == QChar::ParagraphSeparator))
            return failed(QStringLiteral("--characters holds a control character or a line break"));
    if (set.size() < 2)
        return failed(QStringLiteral("--characters needs at least 2 different characters to "
                                     "draw from"));
    Made m;
    for (int i = 0; i < r.length; ++i)
        m.password += set[uniformBelow(set.size())];
    m.bits = r.length * std::log2(static_cast<double>(set.size()));
    m.how = QStringLiteral("%1 characters from a set of %2").arg(r.length).arg(set.size());
    return m;
}

Made fromWords(const Recipe& r) {
    QFile file(r.wordList);
    if (!file.open(QIODevice::ReadOnly))
        return failed(r.wordList == kSystemWordList
                          ? QStringLiteral("there is no word list at %1 to take words from; "
                                           "install one (the wamerican package, for one) or "
                                           "give --word-list FILE")
                                .arg(kSystemWordList)
                          : QStringLiteral("the word list %1 could not be read: %2")
                                .arg(r.wordList, file.errorString()));
    // The system's list holds names, possessives and accented words too:
    // plain lowercase words of a typeable length are kept.
    static const QRegularExpression plain(QStringLiteral("^[a-z]{3,8}$"));
    const bool system = r.wordList == kSystemWordList;
    QStringList words;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QString word = QString::fromUtf8(line).trimmed();
        if (word.isEmpty() || (system && !plain.match(word).hasMatch()))
            continue;
        words << word;
    }
    words.sort();
    words.removeDuplicates();
    if (words.size() < 2)
        return failed(
            QStringLiteral("the word list %1 holds fewer than 2 different words").arg(r.wordList));
    Made m;
    for (int i = 0; i < r.words; ++i) {
        if (i > 0)
            m.password += r.separator;
        m.password += words[uniformBelow(static_cast<size_t>(words.size()))];
    }
    m.bits = r.words * std::log2(static_cast<double>(words.size()));
    m.how = QStringLiteral("%1 %2 from a list of %3")
                .arg(r.words)
                .arg(r.words == 1 ? QStringLiteral("word") : QStringLiteral("words"),
                     thousands(words.size()));
    return m;
}

} // namespace

QStringList kindsNamed(const QString& list) {
    QStringList kinds;
    for (const QString& name : list.split(QLatin1Char(','))) {
        const QString k = name.trimmed();
        if (std::none_of(std::begin(kKinds), std::end(kKinds),
                         [&](const Kind& kind) { return k == QLatin1String(kind.name); }))
            return {};
        if (!kinds.contains(k))
            kinds << k;
    }
    return kinds;
}

Made generate(const Recipe& recipe) {
    if (sodium_init() < 0)
        return failed(QStringLiteral("the system's random source could not be used"));
    if (recipe.words > 0)
        return fromWords(recipe);
    if (!recipe.characters.isEmpty())
        return fromCharacters(recipe);
    return fromKinds(recipe);
}

} // namespace passwordgenerator
