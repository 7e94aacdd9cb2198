// The commands that carry entries to and from other managers' files: export
// and import.
#include "cli/Commands.h"
#include "cli/Context.h"
#include "interchange/Input.h"
#include "interchange/Interchange.h"
#include "vault/VaultFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <unistd.h>
#include <utility>

namespace cli {

namespace {

// "CSV in the keepassxc layout", "KeePass XML".
QString formatName(interchange::Format format, interchange::Layout layout) {
    if (format == interchange::Format::Csv)
        return QStringLiteral("CSV in the %1 layout").arg(interchange::layoutName(layout));
    return QString::fromLatin1(interchange::formatRow(format).shownAs);
}

// "csv, json or xml".
QString wordList(const QStringList& words) {
    return words.size() < 2 ? words.join(QString())
                            : words.first(words.size() - 1).join(QStringLiteral(", ")) +
                                  QStringLiteral(" or ") + words.last();
}

// Where an export goes: a file's path, or empty for standard output.
QString exportTarget(const Context& c) {
    const QString target = c.arguments().value(0);
    return target == QLatin1String("-") ? QString() : target;
}

struct ExportFormat {
    interchange::Format format;
    interchange::Layout layout;
};

ExportFormat exportFormat(const Context& c) {
    const auto format = c.value(QStringLiteral("--format"));
    const auto layoutName = c.value(QStringLiteral("--layout"));
    interchange::Format f = interchange::Format::Csv;
    const auto writes = [](interchange::Format format) {
        return interchange::formatRow(format).ending != nullptr;
    };
    if (format) {
        const std::optional<interchange::Format> named = interchange::formatWord(*format);
        if (!named || !writes(*named)) {
            fail(UserError, QStringLiteral("the value given to --format is not a format export "
                                           "writes; --format takes %1 for export")
                                .arg(wordList(exportFormatWords())));
        }
        f = *named;
    } else {
        // By the file's name, where it ends as a format's file does.
        for (const interchange::FormatRow& row : interchange::formats())
            if (row.ending &&
                exportTarget(c).endsWith(QLatin1String(row.ending), Qt::CaseInsensitive))
                f = row.format;
    }
    const QString shownAs = formatName(f, interchange::Layout::Keynook);
    interchange::Layout layout = interchange::Layout::Keynook;
    if (layoutName) {
        const auto layoutIs = interchange::layoutNamed(*layoutName);
        if (!layoutIs)
            fail(UserError, QStringLiteral("the value given to --layout is not a layout; "
                                           "--layout takes %1")
                                .arg(interchange::layoutNames()));
        layout = *layoutIs;
        if (f != interchange::Format::Csv)
            fail(UserError,
                 QStringLiteral("--layout names CSV columns; %1 has one layout").arg(shownAs));
    }
    if (f != interchange::Format::Csv && c.has(QStringLiteral("--spreadsheet-safe")))
        fail(UserError, QStringLiteral("--spreadsheet-safe guards CSV cells; %1 is not "
                                       "opened as a spreadsheet")
                            .arg(shownAs));
    return {f, layout};
}

std::optional<interchange::Format> importFormat(const Context& c) {
    const auto format = c.value(QStringLiteral("--format"));
    if (!format || *format == QLatin1String("auto"))
        return std::nullopt;
    if (const std::optional<interchange::Format> named = interchange::formatWord(*format))
        return named;
    fail(UserError, QStringLiteral("the value given to --format is not a format import "
                                   "reads; --format takes %1 for import")
                        .arg(wordList(importFormatWords())));
}

// The export file is new, and its owner's alone from the start: it holds
// every password in plain text, so it never replaces a file (a link
// put there included) nor is readable by others for a moment.
void writeNewFile(const QString& path, const QByteArray& bytes) {
    const QString shown = QDir::toNativeSeparators(path);
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == EEXIST)
            fail(UserError, QStringLiteral("%1 exists already, and export never replaces a "
                                           "file: choose another name, or remove it first")
                                .arg(shown));
        fail(UserError, QStringLiteral("%1 could not be created: %2")
                            .arg(shown, QString::fromLocal8Bit(std::strerror(errno))));
    }
    qsizetype done = 0;
    int error = 0;
    while (done < bytes.size() && error == 0) {
        const ssize_t n =
            ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n > 0)
            done += n;
        else if (n < 0 && errno != EINTR)
            error = errno;
        else if (n == 0)
            error = EIO;
    }
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error != 0) {
        // Half an export is of no use to anyone, and still holds secrets.
        ::unlink(QFile::encodeName(path).constData());
        fail(UserError, QStringLiteral("%1 could not be written, and was removed: %2")
                            .arg(shown, QString::fromLocal8Bit(std::strerror(error))));
    }
}

// What the manager importing an export will not take as it is, and what
// a spreadsheet opening it would run.
void exportWarnings(const Context& c, const interchange::ExportResult& exported,
                    interchange::Layout layout, interchange::Cells cells) {
    if (const size_t n = exported.passedOver.size(); n > 0) {
        constexpr size_t kNamed = 5;
        QStringList names;
        for (size_t k = 0; k < n && k < kNamed; ++k)
            names << QStringLiteral("%1 (%2)").arg(
                named(c.entries(), static_cast<int>(exported.passedOver[k].entry)),
                exported.passedOver[k].rule);
        if (n > kNamed)
            names << QStringLiteral("and %1 more").arg(n - kNamed);
        tell(QStringLiteral("Warning: the import of %1 passes over entries it cannot take: it "
                            "will leave out %2: %3.")
                 .arg(QString::fromUtf8(interchange::layoutTable(layout).shownAs), entriesCount(n),
                      names.join(QStringLiteral("; "))));
    }
    if (const qsizetype n = exported.formulaCells; n > 0) {
        const QString count = n == 1 ? QStringLiteral("1 cell") : QStringLiteral("%1 cells").arg(n);
        tell(cells == interchange::Cells::SpreadsheetSafe
                 ? QStringLiteral("%1 that started with =, +, -, @, a tab or a carriage return "
                                  "%2 written with a ' before %3, so that a spreadsheet shows "
                                  "%3 as text; the file no longer holds %4 exactly.")
                       .arg(count, n == 1 ? QStringLiteral("was") : QStringLiteral("were"),
                            n == 1 ? QStringLiteral("it") : QStringLiteral("them"),
                            n == 1 ? QStringLiteral("that cell") : QStringLiteral("those"))
                 : QStringLiteral("Warning: %1 %2 with =, +, -, @, a tab or a carriage "
                                  "return, which a spreadsheet opening the file may run as a "
                                  "formula. The export is exact; --spreadsheet-safe writes "
                                  "such cells with a ' before them.")
                       .arg(count, n == 1 ? QStringLiteral("starts") : QStringLiteral("start")));
    }
}

QStringList cellsNotKept(const interchange::ImportReport& imported) {
    QStringList parts;
    for (const interchange::NotKept& n : imported.notKept)
        parts << n.counted();
    return parts;
}

// The items of a file that an import skips whole for what they are.
QStringList itemsSkipped(const interchange::ImportReport& imported) {
    QStringList parts;
    // Named by kind where the reader tells them apart.
    for (const interchange::SkippedKind& kind : imported.notLogins)
        parts << kind.counted();
    if (const qsizetype n = imported.skippedNotLogins; n > 0 && imported.notLogins.empty())
        parts << (n == 1 ? QStringLiteral("1 item that is not a login")
                         : QStringLiteral("%1 items that are not logins").arg(n));
    if (const qsizetype n = imported.skippedHistory; n > 0)
        parts << (n == 1 ? QStringLiteral("1 older version of an entry (its history)")
                         : QStringLiteral("%1 older versions of entries (their history)").arg(n));
    if (const qsizetype n = imported.skippedRecycled; n > 0)
        parts << (n == 1 ? QStringLiteral("1 entry in the recycle bin")
                         : QStringLiteral("%1 entries in the recycle bin").arg(n));
    return parts;
}

// What a file held that an import leaves out.
QStringList notKept(const interchange::ImportReport& imported) {
    return cellsNotKept(imported) + itemsSkipped(imported);
}

// What an import did, or would do with --dry-run.
QString importSummary(const QString& shown, const interchange::ImportReport& imported,
                      const interchange::Addition& plan, size_t holds, bool dryRun) {
    const QString from = formatName(imported.format, imported.layout);
    QString text = (dryRun ? QStringLiteral("Would import %1 from %2 (%3).")
                           : QStringLiteral("Imported %1 from %2 (%3)."))
                       .arg(entriesCount(static_cast<size_t>(plan.added)), shown, from);
    const auto ofThem = [](qsizetype n, const char* one, const char* many) {
        return QStringLiteral(" %1 of them %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
    };
    if (plan.repeated > 0)
        text += ofThem(plan.repeated, "repeats an entry before it in the file.",
                       "repeat an entry before them in the file.");
    if (plan.repeatedButForNotKept > 0)
        text += ofThem(plan.repeatedButForNotKept,
                       "differs from an entry before it in the file only in what is not kept.",
                       "differ from an entry before them in the file only in what is not "
                       "kept.");
    if (plan.inVault > 0)
        text += QStringLiteral(" Skipped %1 already in the vault.")
                    .arg(entriesCount(static_cast<size_t>(plan.inVault)));
    if (plan.inVaultButForNotKept > 0)
        text += QStringLiteral(" Skipped %1 that the vault holds but for what is not kept.")
                    .arg(entriesCount(static_cast<size_t>(plan.inVaultButForNotKept)));
    if (const qsizetype n = imported.skippedEmpty; n > 0)
        text += QStringLiteral(" Skipped %1 with no username, password or location.")
                    .arg(n == 1 ? QStringLiteral("1 record") : QStringLiteral("%1 records").arg(n));
    for (const QString& skipped : itemsSkipped(imported))
        text += QStringLiteral(" Skipped %1.").arg(skipped);
    const QStringList lost = cellsNotKept(imported);
    if (!lost.isEmpty())
        text += QStringLiteral(" Not kept: %1.").arg(lost.join(QStringLiteral(", ")));
    // A file exported with --spreadsheet-safe and imported again: its guard
    // is kept, as it may be part of the text, but not in silence.
    if (const qsizetype n = imported.guardedCells; n > 0)
        text += QStringLiteral(" %1 with a ' before =, +, -, @, a tab or a carriage return, as "
                               "--spreadsheet-safe writes %2; %3 kept as %4 %5, the ' "
                               "included.")
                    .arg(n == 1 ? QStringLiteral("1 cell starts")
                                : QStringLiteral("%1 cells start").arg(n),
                         n == 1 ? QStringLiteral("it") : QStringLiteral("them"),
                         n == 1 ? QStringLiteral("it was") : QStringLiteral("they were"),
                         n == 1 ? QStringLiteral("it") : QStringLiteral("they"),
                         n == 1 ? QStringLiteral("is") : QStringLiteral("are"));
    text += dryRun ? QStringLiteral(" The vault would hold %1. Nothing was written "
                                    "(--dry-run).")
                         .arg(entriesCount(holds))
                   : QStringLiteral(" The vault holds %1.").arg(entriesCount(holds));
    return text;
}

} // namespace

int exportEntries(Context& c) {
    const ExportFormat how = exportFormat(c);
    c.secrets().requireSource();
    const QString target = exportTarget(c);
    // Refused before the master password is asked for.
    if (!target.isEmpty() && (QFileInfo::exists(target) || QFileInfo(target).isSymLink()))
        fail(UserError, QStringLiteral("%1 exists already, and export never replaces a file: "
                                       "choose another name, or remove it first")
                            .arg(QDir::toNativeSeparators(target)));
    c.open(false);
    const interchange::Cells cells = c.has(QStringLiteral("--spreadsheet-safe"))
                                         ? interchange::Cells::SpreadsheetSafe
                                         : interchange::Cells::Exact;
    const interchange::ExportResult exported =
        how.format == interchange::Format::Json ? interchange::exportJson(c.entries())
        : how.format == interchange::Format::KeePassXml
            ? interchange::exportKeePassXml(c.entries())
            : interchange::exportCsv(c.entries(), how.layout, cells);
    if (!exported.ok())
        fail(UserError, QStringLiteral("nothing was exported: ") + exported.error);
    const QString as = formatName(how.format, how.layout);
    if (target.isEmpty()) {
        output(exported.bytes);
        tell(QStringLiteral("Exported %1 as %2.").arg(entriesCount(c.entries().size()), as));
    } else {
        writeNewFile(target, exported.bytes);
        tell(QStringLiteral("Exported %1 to %2 as %3. It holds every password in plain text: "
                            "keep it private, and delete it once it has served.")
                 .arg(entriesCount(c.entries().size()), QDir::toNativeSeparators(target), as));
    }
    exportWarnings(c, exported, how.layout, cells);
    return Success;
}

int importEntries(Context& c) {
    const std::optional<interchange::Format> format = importFormat(c);
    c.secrets().requireSource();
    // The file is read and judged before the vault is opened: a file
    // that cannot be taken whole changes nothing and asks for nothing.
    const QString source = c.arguments().at(0);
    // "-" is standard input, as `export -` writes standard output; it
    // cannot carry the master password's line too.
    const bool fromInput = source == QLatin1String("-");
    if (fromInput && c.passwordStdin())
        fail(UserError, QStringLiteral("import - reads the file from standard input, which "
                                       "then cannot give --password-stdin's master password "
                                       "too; type it on the terminal, or import a file"));
    const QString shown =
        fromInput ? QStringLiteral("standard input") : QDir::toNativeSeparators(source);
    // No vault holds more than a vault file does: a larger input is
    // refused at that size, and read no further (a device such as
    // /dev/zero never ends).
    const interchange::Input input = interchange::readInput(
        fromInput ? QStringLiteral("/dev/stdin") : source, vaultfile::kMaxVaultBytes);
    if (input.tooLarge)
        fail(UserError, QStringLiteral("%1 is larger than any vault holds (%2 MiB), so it was "
                                       "not read past that; nothing was imported")
                            .arg(shown)
                            .arg(vaultfile::kMaxVaultBytes / (1024 * 1024)));
    if (!input.ok())
        fail(UserError, QStringLiteral("%1 could not be read: %2").arg(shown, input.error));
    interchange::EncodedImport imported = interchange::importEncoded(input.bytes, format);
    if (!imported.ok())
        fail(UserError, QStringLiteral("%1 was not imported, and nothing was changed: %2")
                            .arg(shown, imported.error));
    if (c.has(QStringLiteral("--strict")) && imported.dropsAnything())
        fail(UserError, QStringLiteral("%1 was not imported, and nothing was changed: with "
                                       "--strict nothing may be left out, and the file holds "
                                       "what Keynook does not keep: %2")
                            .arg(shown, notKept(imported).join(QStringLiteral(", "))));

    const bool dryRun = c.has(QStringLiteral("--dry-run"));
    c.open(!dryRun);
    const interchange::Addition plan = interchange::planAddition(c.entries(), imported);
    const size_t holds = c.entries().size() + static_cast<size_t>(plan.added);
    if (!dryRun) {
        interchange::add(c.entries(), std::move(imported.entries), plan);
        if (plan.added > 0)
            c.saveEntries(VaultHistory::Why::Import);
    }
    tell(importSummary(shown, imported, plan, holds, dryRun));
    return Success;
}

QString notAVault(const QString& path) {
    vaultfile::ReadResult read = vaultfile::readAll(path);
    if (!read.ok || read.data.isEmpty() || sealedvault::isSealed(read.data))
        return {};
    QString what;
    const QByteArray& bytes = read.data;
    if (bytes.startsWith("\x03\xD9\xA2\x9A")) {
        what = QStringLiteral("it is a KeePass database; export it from KeePassXC as CSV and "
                              "import that");
    } else if (bytes.startsWith("PK\x03\x04")) {
        what = QStringLiteral("it is a ZIP archive");
    } else if (const interchange::Detection d = interchange::detect(bytes); d.ok()) {
        // Read whole: a vault whose master line happens to begin as another
        // format does is never called that format.
        if (interchange::importEncoded(bytes, d.format).ok())
            what = QStringLiteral("it is %1; `%2 import` brings its entries into a vault")
                       .arg(formatName(d.format, d.layout), kProgram);
    } else if (const QString why = VaultHistory::notRestorable(bytes); !why.isEmpty()) {
        what = why;
    }
    secrets::wipe(read.data);
    return what;
}

} // namespace cli
