#include "sync/ConflictCopies.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

namespace conflictcopies {

namespace {

// STEM and EXT stand for the file's name without its last extension and
// that extension (with its dot); each engine inserts its words between them.
// A person's or computer's name is anything but a slash and parentheses, or
// (Dropbox) whole parenthesised parts of it, so that where it ends is never
// in doubt: a copy of a copy, with a second pair after the first, is none.
struct Pattern {
    const char* engine;
    const char* between;
};
constexpr Pattern kPatterns[] = {
    // <stem>.sync-conflict-<date>-<time>-<first 7 characters of the device id><ext>
    {"Syncthing", R"(\.sync-conflict-\d{8}-\d{6}-[A-Z0-9]{7})"},
    // <stem> (conflicted copy [<user> ]<date> <time>)<ext>; the client puts
    // an underscore for each parenthesis of the user's name.
    {"Nextcloud", R"( \(conflicted copy (?:[^()/]+ )?\d{4}-\d{2}-\d{2} \d{6}\))"},
    // <stem>_conflict-<date>-<time><ext>, from older clients
    {"Nextcloud", R"(_conflict-\d{8}-\d{6})"},
    // <stem> (<computer or person>'s conflicted copy <date>[ (<n>)])<ext>;
    // a Mac is often named "Ann's MacBook (2)"
    {"Dropbox", R"( \((?:[^()/]|\([^()/]*\))+['’]s conflicted copy )"
                R"(\d{4}-\d{2}-\d{2}(?: \(\d+\))?\))"},
};

// The longest file name the file systems an engine syncs hold is 255 bytes,
// no fewer UTF-16 units: a longer text is no file's name, and the patterns
// never read one.
constexpr qsizetype kMaxName = 255;

} // namespace

QString engineOf(const QString& fileName, const QString& name) {
    if (name.size() > kMaxName)
        return {};
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    const QString stem = dot > 0 ? fileName.left(dot) : fileName;
    const QString ext = dot > 0 ? fileName.mid(dot) : QString();
    for (const Pattern& p : kPatterns) {
        // Anchored at the very end: `$` would also match before a final
        // newline, taking "data.sync-conflict-….enc\n" for a copy.
        const QRegularExpression re(QRegularExpression::anchoredPattern(
            QRegularExpression::escape(stem) + QString::fromUtf8(p.between) +
            QRegularExpression::escape(ext)));
        if (re.match(name).hasMatch())
            return QString::fromLatin1(p.engine);
    }
    return {};
}

std::vector<Found> find(const QString& file) {
    const QFileInfo vault(file);
    std::vector<Found> found;
    const QStringList names =
        vault.dir().entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& name : names)
        if (const QString engine = engineOf(vault.fileName(), name); !engine.isEmpty())
            found.push_back({vault.dir().filePath(name), engine});
    return found;
}

} // namespace conflictcopies
