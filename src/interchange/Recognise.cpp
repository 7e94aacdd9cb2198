#include "interchange/Interchange.h"

#include "interchange/Csv.h"
#include "interchange/Shared.h"
#include "seal/SealedVault.h"
#include "vault/Utf8.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <algorithm>
#include <optional>

// Telling formats apart, and the reader of each. A file Keynook does not
// read is refused with what it is, when that can be told, rather than with
// a CSV reader's complaint about its first line.
namespace interchange {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Where the first character other than white space is, after a byte order
// mark; the size when there is none.
qsizetype firstNonBlank(QByteArrayView bytes) {
    qsizetype at = utf8::byteOrderMarkSize(bytes);
    while (at < bytes.size() && isBlank(bytes[at]))
        ++at;
    return at;
}

// The name of an XML text's first element, past the declaration, comments,
// processing instructions and a document type; empty when there is none.
QByteArrayView firstElement(QByteArrayView xml, qsizetype at) {
    while (at < xml.size()) {
        if (isBlank(xml[at])) {
            ++at;
            continue;
        }
        const QByteArrayView rest = xml.sliced(at);
        if (!rest.startsWith('<'))
            return {};
        const char* end = rest.startsWith("<!--") ? "-->"
                          : rest.startsWith("<?") ? "?>"
                          : rest.startsWith("<!") ? ">"
                                                  : nullptr;
        if (!end) {
            qsizetype stop = 1;
            while (stop < rest.size() && !isBlank(rest[stop]) && rest[stop] != '>' &&
                   rest[stop] != '/')
                ++stop;
            return rest.sliced(1, stop - 1);
        }
        const qsizetype closed = rest.indexOf(end);
        if (closed < 0)
            return {};
        at += closed + qstrlen(end);
    }
    return {};
}

Detection refused(Detection d, const QString& why, int line = 0) {
    d.error = why;
    d.line = line;
    return d;
}

// A JSON object is not ours; a Bitwarden export is one.
Detection jsonObject(QByteArrayView bytes, qsizetype at) {
    Detection d;
    d.format = Format::Json;
    QJsonParseError parseError;
    const QJsonDocument document =
        QJsonDocument::fromJson(bytes.sliced(at).toByteArray(), &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        const int line = utf8::lineAt(bytes, at + parseError.offset);
        return refused(
            d, QStringLiteral("line %1: not JSON (%2)").arg(line).arg(parseError.errorString()),
            line);
    }
    const QJsonObject object = document.object();
    if (object.value(QStringLiteral("encrypted")).toBool() ||
        object.value(QStringLiteral("items")).isArray()) {
        d.format = Format::BitwardenJson;
        // Its reader says which kind of encrypted export it is.
        if (object.value(QStringLiteral("encrypted")).toBool())
            return refused(d, importBitwardenJson(bytes).error);
        return d;
    }
    return refused(d, QStringLiteral("this is a JSON object, not an array of entries as Keynook "
                                     "exports them"));
}

// What the bytes are when they are not CSV, from their first bytes (and a
// JSON object's keys); nothing for CSV, whose header the reader judges.
std::optional<Detection> notCsv(QByteArrayView bytes) {
    Detection d;
    if (sealedvault::isSealed(bytes))
        return refused(d, QStringLiteral("this is a sealed Keynook vault, not an export; another "
                                         "copy of a vault is merged, not imported"));
    if (bytes.startsWith("PK\x03\x04"))
        return refused(d, QStringLiteral("this is a ZIP archive, not CSV or JSON (a 1Password "
                                         ".1pux export is one): export from 1Password as CSV "
                                         "instead"));
    if (bytes.startsWith("\x03\xD9\xA2\x9A"))
        return refused(d, QStringLiteral("this is a KeePass database, which is encrypted: export "
                                         "it from KeePassXC as CSV instead"));
    const qsizetype at = firstNonBlank(bytes);
    const char first = at < bytes.size() ? bytes[at] : '\0';
    if (first == '[') {
        d.format = Format::Json;
        return d;
    }
    if (first == '{')
        return jsonObject(bytes, at);
    if (first == '<') {
        const QByteArrayView element = firstElement(bytes, at);
        if (element == "KeePassFile") {
            d.format = Format::KeePassXml;
            return d;
        }
        return refused(d, element.isEmpty()
                              ? QStringLiteral("this is XML, but not KeePass XML")
                              : QStringLiteral("this is XML, but not KeePass XML: its first "
                                               "element is <%1>, not <KeePassFile>")
                                    .arg(QString::fromUtf8(
                                        element.first(std::min<qsizetype>(element.size(), 40)))));
    }
    return std::nullopt;
}

template <class Result> Result refusedImport(const Detection& d) {
    Result r;
    r.format = d.format;
    r.error = d.error;
    r.line = d.line;
    return r;
}

} // namespace

const std::vector<FormatRow>& formats() {
    // In the order of Format: formatRow() finds a row by its place.
    static const std::vector<FormatRow> rows = {
        {Format::Csv, "csv", "CSV", ".csv", importCsv, importCsvEncoded},
        {Format::Json, "json", "JSON", ".json", importJson, nullptr},
        {Format::KeePassXml, "xml", "KeePass XML", ".xml", importKeePassXml,
         importKeePassXmlEncoded},
        {Format::BitwardenJson, "bitwarden", "Bitwarden JSON", nullptr, importBitwardenJson,
         nullptr},
    };
    return rows;
}

const FormatRow& formatRow(Format format) {
    return formats().at(static_cast<size_t>(format));
}

std::optional<Format> formatWord(QStringView word) {
    for (const FormatRow& row : formats())
        if (word == QLatin1String(row.word))
            return row.format;
    return std::nullopt;
}

Detection detect(QByteArrayView bytes) {
    if (std::optional<Detection> d = notCsv(bytes))
        return *d;
    Detection d;
    csv::Reader reader(bytes);
    std::vector<QByteArrayView> header;
    if (!reader.next(header)) {
        const bool empty = reader.error().isEmpty();
        return refused(d,
                       empty ? QStringLiteral("line 1: the file is empty; a header line was "
                                              "expected")
                             : headerLineError(bytes, reader),
                       empty ? 1 : reader.errorLine());
    }
    const HeaderMatch match = matchHeader(header);
    if (!match.table)
        return refused(d, QStringLiteral("line %1: %2").arg(reader.line()).arg(match.error),
                       reader.line());
    d.layout = match.table->layout;
    return d;
}

ImportResult importAny(QByteArrayView bytes) {
    const std::optional<Detection> d = notCsv(bytes);
    if (!d)
        return importCsv(bytes);
    const FormatRow& reader = formatRow(d->format);
    return d->ok() ? reader.read(bytes) : refusedImport<ImportResult>(*d);
}

EncodedImport importEncoded(QByteArrayView bytes, std::optional<Format> format) {
    if (!format) {
        const std::optional<Detection> d = notCsv(bytes);
        if (d && !d->ok())
            return refusedImport<EncodedImport>(*d);
        format = d ? d->format : Format::Csv;
    }
    const FormatRow& reader = formatRow(*format);
    if (reader.readEncoded)
        return reader.readEncoded(bytes);
    ImportResult read = reader.read(bytes);
    EncodedImport r;
    static_cast<ImportReport&>(r) = std::move(static_cast<ImportReport&>(read));
    r.entries.append(read.entries);
    return r;
}

} // namespace interchange
