#pragma once

// What the interchange fuzzer and its replay test hold every input to.
#include "interchange/Interchange.h"
#include "vault/EntryStore.h"

#include <QByteArrayView>

#include <string>

namespace csvcheck {

// Imports `bytes` as `import --format auto` does, into entries and into
// vault lines, which must agree. A refusal keeps no entries. What was read exports in Keynook's
// layout and as JSON, each of which reads back to the same entries, and the entries held as a vault
// holds them export to the same bytes. Empty when all is well, otherwise
// what went wrong.
inline std::string check(QByteArrayView bytes) {
    const interchange::ImportResult in = interchange::importAny(bytes);
    // The import into a vault reads the file's bytes straight into vault
    // lines: the same lines as the entries read make, the same refusals.
    const interchange::EncodedImport encoded = interchange::importEncoded(bytes);
    if (encoded.error != in.error || encoded.line != in.line ||
        encoded.skippedEmpty != in.skippedEmpty ||
        encoded.skippedNotLogins != in.skippedNotLogins || encoded.dropped != in.dropped ||
        encoded.notKept.size() != in.notKept.size())
        return "the import into a vault reads the file otherwise";
    // What is not kept is told of each entry that leaves something out.
    if (!in.dropped.empty() && in.dropped.size() != in.entries.size())
        return "what entries left out is not told of each";
    EntryStore store;
    store.append(in.entries);
    if (encoded.entries.size() != store.size())
        return "the import into a vault gives other entries";
    for (size_t i = 0; i < store.size(); ++i)
        if (encoded.entries.line(i) != store.line(i))
            return "the import into a vault gives other lines";
    if (!in.ok())
        return in.entries.empty() ? std::string() : "a refused file kept entries";
    // Every entry takes a record of its own, at least a byte each.
    if (static_cast<qsizetype>(in.entries.size()) > bytes.size())
        return "more entries than bytes";
    for (const interchange::Format format : {interchange::Format::Csv, interchange::Format::Json}) {
        const bool csv = format == interchange::Format::Csv;
        const interchange::ExportResult out =
            csv ? interchange::exportCsv(in.entries) : interchange::exportJson(in.entries);
        if (!out.ok())
            return "what was read does not export: " + out.error.toStdString();
        const interchange::ImportResult back =
            csv ? interchange::importCsv(out.bytes) : interchange::importJson(out.bytes);
        if (!back.ok())
            return "the export does not read back: " + back.error.toStdString();
        if (back.entries != in.entries || back.skippedEmpty != 0)
            return "the export reads back as other entries";
        const interchange::ExportResult fromStore =
            csv ? interchange::exportCsv(store) : interchange::exportJson(store);
        if (fromStore.bytes != out.bytes)
            return "the vault's entries export to other bytes";
    }
    return {};
}

} // namespace csvcheck
