// Writes the vaults the whole-program benchmarks start on: data.enc with the
// sample entries under a master password, and, for the peer, the same entries
// as an unencrypted KeePass XML file that its command-line tool imports.
//
//   make_bench_vault <entries> <master password> <data.enc> [<peer xml>]
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
bool writePeerXml(const QString& path, const std::vector<Entry>& entries) {
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
    quint64 index = 0;
    for (const Entry& e : entries) {
        xml.writeStartElement(QStringLiteral("Entry"));
        xml.writeTextElement(QStringLiteral("UUID"), uuidText(2, ++index));
        field(xml, QStringLiteral("Title"), e.location.isEmpty() ? e.username : e.location);
        field(xml, QStringLiteral("UserName"), e.username);
        field(xml, QStringLiteral("Password"), e.password);
        xml.writeEndElement();
    }
    xml.writeEndElement(); // Group
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
    if (args.size() < 4 || args.size() > 5 || !countOk || count < 0) {
        std::fprintf(
            stderr,
            "usage: make_bench_vault <entries> <master password> <data.enc> [<peer xml>]\n");
        return 2;
    }
    const std::vector<Entry> entries = sampleEntries(count, kStartValue);
    QFile::remove(args[3]);
    const vaultfile::Result written =
        vaultfile::createFile(args[3], vaultformat::savedFile(args[2], entries));
    if (!written.ok) {
        std::fprintf(stderr, "make_bench_vault: %s: %s\n", qPrintable(args[3]),
                     qPrintable(written.error));
        return 1;
    }
    if (args.size() == 5 && !writePeerXml(args[4], entries)) {
        std::fprintf(stderr, "make_bench_vault: cannot write %s\n", qPrintable(args[4]));
        return 1;
    }
    return 0;
}
