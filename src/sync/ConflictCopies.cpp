#include "sync/ConflictCopies.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

namespace conflictcopies {

namespace {

// STEM and EXT stand for the file's name without its last extension and
// that extension (with its dot); each engine inserts its words between them.
struct Pattern {
    const char* engine;
    const char* between;
};
constexpr Pattern kPatterns[] = {
    // <stem>.sync-conflict-<date>-<time>-<first 7 characters of the device id><ext>
    {"Syncthing", R"(\.sync-conflict-\d{8}-\d{6}-[A-Z0-9]{7})"},
    // <stem> (conflicted copy <date> <time>)<ext>
    {"Nextcloud", R"( \(conflicted copy \d{4}-\d{2}-\d{2} \d{6}\))"},
    // <stem> (<computer>'s conflicted copy <date>[ (<n>)])<ext>
    {"Dropbox", R"( \([^()/]+['’]s conflicted copy \d{4}-\d{2}-\d{2}(?: \(\d+\))?\))"},
};

} // namespace

QString engineOf(const QString& fileName, const QString& name) {
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    const QString stem = dot > 0 ? fileName.left(dot) : fileName;
    const QString ext = dot > 0 ? fileName.mid(dot) : QString();
    for (const Pattern& p : kPatterns) {
        const QRegularExpression re(QStringLiteral("^%1%2%3$")
                                        .arg(QRegularExpression::escape(stem),
                                             QString::fromUtf8(p.between),
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
