// Writes the vaults the whole-program benchmarks start on: data.enc with the
// sample entries under a master password, and, for the peer, the same entries
// as an unencrypted KeePass XML file that its command-line tool imports.
// With `ours` or `theirs`, one of the two copies that the merge benchmarks
// merge (changedCopy): in the peer's file each entry keeps the identity it
// has in the base, an edit is newer than the base and a removal is recorded
// as a deletion, so that the peer's merge sees the same changes.
//
//   make_bench_vault <entries> <master password> <data.enc> [<peer xml> [ours|theirs]]
#include "support/SampleEntries.h"

#include "vault/VaultFile.h"
#include "vault/VaultFormat.h"

#include <QCoreApplication>
#include <QFile>
#include <QXmlStreamWriter>

#include <cstdio>

namespace {

constexpr quint64 kStartValue = 20260314;

// A fixed identity per entry, so the peer's file is the same on every run.
QString uuidText(quint64 group, quint64 index) {
    QByteArray raw(16, '\0');
    for (int i = 0; i < 8; ++i) {
        raw[i] = static_cast<char>((group >> (8 * i)) & 0xff);
        raw[8 + i] = static_cast<char>((index >> (8 * i)) & 0xff);
    }
    return QString::fromLatin1(raw.toBase64());
}

void field(QXmlStreamWriter& xml, const QString& key, const QString& value) {
    xml.writeStartElement(QStringLiteral("String"));
    xml.writeTextElement(QStringLiteral("Key"), key);
    xml.writeTextElement(QStringLiteral("Value"), value);
    xml.writeEndElement();
}

// Every entry in the root group. The place an entry is used at becomes its
// title, which is what the peer's list shows first (the user name stands in
// when there is no place); our other two fields become its user name and
// password. So both programs hold the same text.
// The times of a copy of the merge: the base's entries were last changed at
// the first, every change of a side at the second.
const QString kBaseTime = QStringLiteral("2026-03-01T10:00:00Z");
const QString kChangeTime = QStringLiteral("2026-03-14T10:00:00Z");

struct MergeSide {
    int side = -1; // -1: not a copy of the merge
    const std::vector<Entry>* base = nullptr;
    std::vector<int> origins;
};

void times(QXmlStreamWriter& xml, const QString& at) {
    xml.writeStartElement(QStringLiteral("Times"));
    for (const char* name :
         {"CreationTime", "LastModificationTime", "LastAccessTime", "LocationChanged"})
        xml.writeTextElement(QLatin1String(name), at);
    xml.writeEndElement();
}

bool writePeerXml(const QString& path, const std::vector<Entry>& entries,
                  const MergeSide& merge = {}) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QXmlStreamWriter xml(&file);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("KeePassFile"));
    xml.writeStartElement(QStringLiteral("Meta"));
    xml.writeTextElement(QStringLiteral("Generator"), QStringLiteral("Keynook benchmarks"));
    xml.writeTextElement(QStringLiteral("DatabaseName"), QStringLiteral("Benchmark"));
    xml.writeEndElement();
    xml.writeStartElement(QStringLiteral("Root"));
    xml.writeStartElement(QStringLiteral("Group"));
    xml.writeTextElement(QStringLiteral("UUID"), uuidText(1, 0));
    xml.writeTextElement(QStringLiteral("Name"), QStringLiteral("Root"));
    std::vector<bool> kept;
    if (merge.side >= 0)
        kept.assign(merge.base->size(), false);
    quint64 index = 0;
    for (const Entry& e : entries) {
        xml.writeStartElement(QStringLiteral("Entry"));
        if (merge.side < 0) {
            xml.writeTextElement(QStringLiteral("UUID"), uuidText(2, ++index));
        } else {
            const int origin = merge.origins[index++];
            const bool fromBase = origin >= 0;
            if (fromBase)
                kept[static_cast<size_t>(origin)] = true;
            xml.writeTextElement(QStringLiteral("UUID"),
                                 fromBase ? uuidText(2, quint64(origin) + 1)
                                          : uuidText(3 + quint64(merge.side), quint64(-origin)));
            const bool same =
                fromBase && (*merge.base)[static_cast<size_t>(origin)].password == e.password;
            times(xml, same ? kBaseTime : kChangeTime);
        }
        field(xml, QStringLiteral("Title"), e.location.isEmpty() ? e.username : e.location);
        field(xml, QStringLiteral("UserName"), e.username);
        field(xml, QStringLiteral("Password"), e.password);
        xml.writeEndElement();
    }
    xml.writeEndElement(); // Group
    if (merge.side >= 0) {
        xml.writeStartElement(QStringLiteral("DeletedObjects"));
        for (size_t i = 0; i < kept.size(); ++i) {
            if (kept[i])
                continue;
            xml.writeStartElement(QStringLiteral("DeletedObject"));
            xml.writeTextElement(QStringLiteral("UUID"), uuidText(2, quint64(i) + 1));
            xml.writeTextElement(QStringLiteral("DeletionTime"), kChangeTime);
            xml.writeEndElement();
        }
        xml.writeEndElement();
    }
    xml.writeEndElement(); // Root
    xml.writeEndElement(); // KeePassFile
    xml.writeEndDocument();
    return !xml.hasError() && file.flush();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    bool countOk = false;
    const int count = args.size() >= 4 ? args[1].toInt(&countOk) : 0;
    const QString side = args.value(5);
    if (args.size() < 4 || args.size() > 6 || !countOk || count < 0 ||
        (args.size() == 6 && side != QLatin1String("ours") && side != QLatin1String("theirs"))) {
        std::fprintf(stderr, "usage: make_bench_vault <entries> <master password> <data.enc> "
                             "[<peer xml> [ours|theirs]]\n");
        return 2;
    }
    const std::vector<Entry> base = sampleEntries(count, kStartValue);
    MergeSide merge;
    std::vector<Entry> changed;
    if (!side.isEmpty()) {
        merge.side = side == QLatin1String("ours") ? 0 : 1;
        merge.base = &base;
        changed = changedCopy(base, merge.side, SideChanges(), &merge.origins);
    }
    const std::vector<Entry>& entries = side.isEmpty() ? base : changed;
    QFile::remove(args[3]);
    const vaultfile::Result written =
        vaultfile::createFile(args[3], vaultformat::savedFile(args[2], entries));
    if (!written.ok) {
        std::fprintf(stderr, "make_bench_vault: %s: %s\n", qPrintable(args[3]),
                     qPrintable(written.error));
        return 1;
    }
    if (args.size() >= 5 && !writePeerXml(args[4], entries, merge)) {
        std::fprintf(stderr, "make_bench_vault: cannot write %s\n", qPrintable(args[4]));
        return 1;
    }
    return 0;
}
