#pragma once

#include <QString>
#include <QStringList>

// New passwords and passphrases, each choice drawn with libsodium's
// randombytes_uniform from the system's secure random source.
namespace passwordgenerator {

inline constexpr int kDefaultLength = 20;
// Four is the fewest that hold one character of each kind; past 1024 a
// password is no stronger, only harder to paste.
inline constexpr int kMinLength = 4;
inline constexpr int kMaxLength = 1024;
inline constexpr int kMinWords = 1;
inline constexpr int kMaxWords = 64;

// The list a passphrase's words come from unless another is named: Debian's
// word lists (wamerican and the others) all put theirs there.
inline const QString kSystemWordList = QStringLiteral("/usr/share/dict/words");

// What to make. By default `length` characters, each chosen with equal
// chance from upper- and lower-case letters, digits and ASCII punctuation
// other than quotes, backslash, bar and space (the ones that CSV and JSON
// files and the vault's own layout would escape, and that forms on the web
// most often refuse), every kind at least once, as sites tend to demand.
struct Recipe {
    int length = kDefaultLength;
    // The kinds to use, of "upper", "lower", "digits", "symbols".
    QStringList kinds = {QStringLiteral("upper"), QStringLiteral("lower"), QStringLiteral("digits"),
                         QStringLiteral("symbols")};
    // Drawn from exactly these characters instead of the kinds, when set.
    QString characters;
    // Leaves out I l 1 O 0 o, which many fonts draw alike.
    bool noLookAlikes = false;
    // A passphrase of this many words instead, when above zero.
    int words = 0;
    QString separator = QStringLiteral("-");
    // The system's list, filtered to plain lowercase words of 3 to 8
    // letters; a list named here is taken as it is, a word a line.
    QString wordList = kSystemWordList;
};

struct Made {
    QString password; // empty when `error` says why nothing was made
    // log2 of how many passwords the recipe makes, each as likely: what a
    // guesser who knows the recipe must search.
    double bits = 0;
    QString how;   // "20 characters from a set of 86", "6 words from a list of 35,577"
    QString error; // for the person, naming what to change
};

Made generate(const Recipe& recipe);

// The kinds named in "lower,digits" and so on; empty when a name is none.
QStringList kindsNamed(const QString& list);

} // namespace passwordgenerator
