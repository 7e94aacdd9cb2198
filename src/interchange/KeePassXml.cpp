#include "interchange/Interchange.h"

#include "interchange/Places.h"
#include "interchange/Shared.h"

#include <QRandomGenerator>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <array>
#include <random>

// KeePass 2 XML in and out, with Qt's own stream reader and writer.
namespace interchange {
namespace {

using namespace Qt::Literals::StringLiterals;

// What an entry of KeePass XML holds that Keynook does not keep, in the
// order the report names them.
enum Lost : unsigned {
    LostGroup,
    LostTitle,
    LostNotes,
    LostTotp,
    LostFields,
    LostAttachments,
    LostTags,
    LostIcon,
    LostColours,
    LostOverrideUrl,
    LostExpiry,
    LostAutoType,
    LostCustomData,
    kLostKinds
};

struct LostKind {
    const char* column;
    const char* one;
    const char* many;
};

constexpr std::array<LostKind, kLostKinds> kLost = {{
    {"Group", "group", "groups"},
    {"Title", "title", "titles"},
    {"Notes", "note", "notes"},
    {"otp", "TOTP secret", "TOTP secrets"},
    {"String", "entry's custom fields", "entries' custom fields"},
    {"Binary", "entry's attachments", "entries' attachments"},
    {"Tags", "entry's tags", "entries' tags"},
    {"IconID", "icon", "icons"},
    {"ForegroundColor", "entry's colours", "entries' colours"},
    {"OverrideURL", "override URL", "override URLs"},
    {"Expires", "expiry date", "expiry dates"},
    {"AutoType", "entry's auto-type settings", "entries' auto-type settings"},
    {"CustomData", "entry's custom data", "entries' custom data"},
}};

// The keys KeePassXC (otp, and the settings beside it), KeePass 2's own
// TOTP (TimeOtp-*, HmacOtp-*) and the older KeePassXC plugins (TOTP Seed,
// TOTP Settings) keep a one-time password's secret and settings under:
// together one TOTP secret.
bool isTotpKey(QStringView key) {
    return key == u"otp"_s || key.startsWith(u"TimeOtp-"_s) || key.startsWith(u"HmacOtp-"_s) ||
           key.startsWith(u"TOTP "_s);
}

// An entry as the file holds it, until the recycle bin is known.
struct Record {
    QString title, username, password, url;
    std::uint64_t dropped = 0;
    std::uint32_t lost = 0;
    // Older versions in its history.
    qsizetype history = 0;
    int group = 0;
};

struct Group {
    QString uuid;
    int parent = -1;
};

class Reader {
public:
    explicit Reader(QByteArrayView bytes) : m_xml(bytes.toByteArray()) {}

    // False, with the error and its line, when the file cannot be taken
    // whole.
    bool read() {
        if (!m_xml.readNextStartElement())
            return failed(u"the file holds no XML element"_s);
        if (m_xml.name() != u"KeePassFile"_s) {
            m_error = u"this is XML, but not KeePass XML: its first element is <%1>, not "
                      "<KeePassFile>"_s.arg(m_xml.name().left(40));
            return false;
        }
        while (m_xml.readNextStartElement()) {
            if (m_xml.name() == u"Meta"_s)
                readMeta();
            else if (m_xml.name() == u"Root"_s)
                readRoot();
            else
                m_xml.skipCurrentElement();
            if (!m_error.isEmpty())
                return false;
        }
        if (!m_error.isEmpty())
            return false;
        return !m_xml.hasError() || failed({});
    }

    void report(ImportResult& r) {
        std::vector<bool> recycled(m_groups.size(), false);
        for (size_t g = 0; g < m_groups.size(); ++g) {
            const int parent = m_groups[g].parent;
            recycled[g] = (m_binEnabled && !m_bin.isEmpty() && m_groups[g].uuid == m_bin) ||
                          (parent >= 0 && recycled[static_cast<size_t>(parent)]);
        }
        std::array<qsizetype, kLostKinds> cells{};
        r.entries.reserve(m_records.size());
        for (Record& rec : m_records) {
            if (recycled[static_cast<size_t>(rec.group)]) {
                ++r.skippedRecycled;
                continue;
            }
            r.skippedHistory += rec.history;
            // What an empty entry held is lost too (a note on its own).
            for (unsigned k = 0; k < kLostKinds; ++k)
                cells[k] += (rec.lost >> k) & 1u;
            Entry e{std::move(rec.username), std::move(rec.password),
                    rec.url.isEmpty() ? std::move(rec.title) : std::move(rec.url)};
            if (e.username.isEmpty() && e.password.isEmpty() && e.location.isEmpty()) {
                ++r.skippedEmpty;
                continue;
            }
            noteDropped(r, r.entries.size(), rec.dropped);
            r.entries.push_back(std::move(e));
        }
        for (unsigned k = 0; k < kLostKinds; ++k)
            if (cells[k] > 0)
                r.notKept.push_back({QString::fromUtf8(kLost[k].column),
                                     QString::fromUtf8(kLost[k].one),
                                     QString::fromUtf8(kLost[k].many), cells[k]});
    }

    const QString& error() const { return m_error; }
    int line() const { return m_line; }

private:
    bool failed(const QString& why) {
        if (m_error.isEmpty()) {
            m_line = static_cast<int>(m_xml.lineNumber());
            m_error = u"line %1: %2"_s.arg(m_line).arg(
                m_xml.hasError() ? u"not well-formed XML (%1)"_s.arg(m_xml.errorString()) : why);
        }
        return false;
    }

    bool is(QStringView name) const { return m_xml.name() == name; }

    // Text of an element that holds no other; an error when it does.
    QString text() { return m_xml.readElementText(); }

    void readMeta() {
        while (m_xml.readNextStartElement()) {
            if (is(u"RecycleBinUUID"_s))
                m_bin = text();
            else if (is(u"RecycleBinEnabled"_s))
                m_binEnabled = text().compare(u"False"_s, Qt::CaseInsensitive) != 0;
            else
                m_xml.skipCurrentElement();
        }
        // A bin of all zeros is none.
        if (QByteArray::fromBase64(m_bin.toLatin1()).count('\0') == 16)
            m_bin.clear();
    }

    void readRoot() {
        while (m_xml.readNextStartElement()) {
            if (is(u"Group"_s))
                readGroup(-1, QString());
            else
                m_xml.skipCurrentElement();
        }
    }

    // A group and all it holds. `above` names the groups above it under the
    // root, which is no group to lose: an entry's group is its path from
    // there, never empty.
    void readGroup(int parent, const QString& above) {
        const int index = static_cast<int>(m_groups.size());
        m_groups.push_back({{}, parent});
        QString name;
        const auto here = [&] { return parent < 0 ? QString() : above + u'/' + name; };
        while (m_error.isEmpty() && m_xml.readNextStartElement()) {
            if (is(u"UUID"_s))
                m_groups[static_cast<size_t>(index)].uuid = text();
            else if (is(u"Name"_s))
                name = text();
            else if (is(u"Entry"_s))
                readEntry(index, here());
            else if (is(u"Group"_s))
                readGroup(index, here());
            else
                m_xml.skipCurrentElement();
        }
    }

    void lose(Record& rec, Lost kind, QStringView value) {
        rec.lost |= 1u << kind;
        rec.dropped = mixCell(rec.dropped, kind, value.toUtf8());
    }

    void readEntry(int group, const QString& path) {
        Record rec;
        rec.group = group;
        bool colours = false, autoType = false;
        while (m_error.isEmpty() && m_xml.readNextStartElement()) {
            if (is(u"String"_s)) {
                readString(rec);
            } else if (is(u"History"_s)) {
                while (m_xml.readNextStartElement()) {
                    rec.history += is(u"Entry"_s) ? 1 : 0;
                    m_xml.skipCurrentElement();
                }
            } else if (is(u"Times"_s)) {
                readTimes(rec);
            } else if (is(u"IconID"_s)) {
                const QString icon = text();
                if (!icon.isEmpty() && icon != u"0"_s)
                    lose(rec, LostIcon, icon);
            } else if (is(u"CustomIconUUID"_s)) {
                const QString icon = text();
                if (!icon.isEmpty() && QByteArray::fromBase64(icon.toLatin1()).count('\0') != 16)
                    lose(rec, LostIcon, icon);
            } else if (is(u"ForegroundColor"_s) || is(u"BackgroundColor"_s)) {
                const QString colour = text();
                if (!colour.isEmpty()) {
                    colours = true;
                    rec.dropped = mixCell(rec.dropped, LostColours, colour.toUtf8());
                }
            } else if (is(u"OverrideURL"_s) || is(u"Tags"_s)) {
                const Lost kind = is(u"Tags"_s) ? LostTags : LostOverrideUrl;
                if (const QString value = text(); !value.isEmpty())
                    lose(rec, kind, value);
            } else if (is(u"Binary"_s)) {
                rec.lost |= 1u << LostAttachments;
                while (m_xml.readNextStartElement()) {
                    if (is(u"Key"_s))
                        rec.dropped = mixCell(rec.dropped, LostAttachments, text().toUtf8());
                    else
                        m_xml.skipCurrentElement();
                }
            } else if (is(u"AutoType"_s)) {
                autoType = readAutoType(rec) || autoType;
            } else if (is(u"CustomData"_s)) {
                while (m_xml.readNextStartElement()) {
                    if (is(u"Item"_s))
                        rec.lost |= 1u << LostCustomData;
                    m_xml.skipCurrentElement();
                }
            } else {
                m_xml.skipCurrentElement();
            }
        }
        if (colours)
            rec.lost |= 1u << LostColours;
        if (autoType)
            rec.lost |= 1u << LostAutoType;
        if (!path.isEmpty())
            lose(rec, LostGroup, path);
        if (!rec.url.isEmpty() && !rec.title.isEmpty() &&
            !titleSpelledOut(rec.title.toUtf8(), rec.url.toUtf8()))
            lose(rec, LostTitle, rec.title);
        m_records.push_back(std::move(rec));
    }

    void readString(Record& rec) {
        QString key, value;
        while (m_error.isEmpty() && m_xml.readNextStartElement()) {
            if (is(u"Key"_s)) {
                key = text();
            } else if (is(u"Value"_s)) {
                // Inside a KeePass database, protected values are encrypted
                // with the database's inner stream key; an export writes them
                // plain, marked ProtectInMemory instead.
                const QStringView marked = m_xml.attributes().value(u"Protected"_s);
                if (marked.compare(u"True"_s, Qt::CaseInsensitive) == 0) {
                    failed(u"the value of \"%1\" is encrypted (Protected=\"True\"), as a KeePass "
                           "database holds it inside, and only KeePass can decrypt it: export "
                           "the database from KeePassXC (keepassxc-cli export --format xml) or "
                           "KeePass as unencrypted XML instead"_s.arg(key));
                    return;
                }
                value = text();
            } else {
                m_xml.skipCurrentElement();
            }
        }
        if (key == u"Title"_s)
            rec.title = std::move(value);
        else if (key == u"UserName"_s)
            rec.username = std::move(value);
        else if (key == u"Password"_s)
            rec.password = std::move(value);
        else if (key == u"URL"_s)
            rec.url = std::move(value);
        else if (value.isEmpty())
            return;
        else if (key == u"Notes"_s)
            lose(rec, LostNotes, value);
        else
            lose(rec, isTotpKey(key) ? LostTotp : LostFields, key + u'\n' + value);
    }

    void readTimes(Record& rec) {
        QString expiry;
        bool expires = false;
        while (m_xml.readNextStartElement()) {
            if (is(u"Expires"_s))
                expires = text().compare(u"True"_s, Qt::CaseInsensitive) == 0;
            else if (is(u"ExpiryTime"_s))
                expiry = text();
            else
                m_xml.skipCurrentElement();
        }
        if (expires)
            lose(rec, LostExpiry, expiry);
    }

    // Whether an entry's auto-type differs from what every new entry has:
    // on, no obfuscation, the default sequence, no window associations.
    bool readAutoType(Record& rec) {
        bool set = false;
        while (m_xml.readNextStartElement()) {
            QString value;
            if (is(u"Association"_s)) {
                value = u"Association"_s;
                m_xml.skipCurrentElement();
            } else {
                const QString name = m_xml.name().toString();
                value = text();
                const bool usual = value.isEmpty() ||
                                   (name == u"Enabled"_s && value == u"True"_s) ||
                                   (name == u"DataTransferObfuscation"_s && value == u"0"_s);
                if (usual)
                    continue;
                value = name + u'\n' + value;
            }
            set = true;
            rec.dropped = mixCell(rec.dropped, LostAutoType, value.toUtf8());
        }
        return set;
    }

    QXmlStreamReader m_xml;
    QString m_error;
    int m_line = 0;
    QString m_bin;
    bool m_binEnabled = true;
    std::vector<Group> m_groups;
    std::vector<Record> m_records;
};

// What XML 1.0 cannot hold of a field, or nothing.
QString unholdable(QStringView text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        const auto hex = [c] { return u"%1"_s.arg(int(c), 4, 16, QLatin1Char('0')).toUpper(); };
        if (c < 0x20 && c != u'\t' && c != u'\n' && c != u'\r')
            return u"a control character (U+%1)"_s.arg(hex());
        if (c == 0xFFFE || c == 0xFFFF)
            return u"U+%1, which is not a character"_s.arg(hex());
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            ++i;
            continue;
        }
        if (QChar::isSurrogate(c))
            return u"a lone surrogate (half of a UTF-16 pair without the other half)"_s;
    }
    return {};
}

// A value, with every CR as a character reference: XML readers turn a raw
// CR (and CR LF) into LF.
void writeValue(QXmlStreamWriter& xml, const QString& value, bool protect) {
    xml.writeStartElement(u"Value"_s);
    if (protect)
        xml.writeAttribute(u"ProtectInMemory"_s, u"True"_s);
    qsizetype from = 0;
    for (qsizetype cr = value.indexOf(u'\r'); cr >= 0; cr = value.indexOf(u'\r', from)) {
        xml.writeCharacters(value.sliced(from, cr - from));
        xml.writeEntityReference(u"#13"_s);
        from = cr + 1;
    }
    xml.writeCharacters(value.sliced(from));
    xml.writeEndElement();
}

void writeString(QXmlStreamWriter& xml, const QString& key, const QString& value,
                 bool protect = false) {
    xml.writeStartElement(u"String"_s);
    xml.writeTextElement(u"Key"_s, key);
    writeValue(xml, value, protect);
    xml.writeEndElement();
}

void writeTimes(QXmlStreamWriter& xml, const QString& at) {
    xml.writeStartElement(u"Times"_s);
    for (const QString& name :
         {u"CreationTime"_s, u"LastModificationTime"_s, u"LastAccessTime"_s, u"ExpiryTime"_s})
        xml.writeTextElement(name, at);
    xml.writeTextElement(u"Expires"_s, u"False"_s);
    xml.writeTextElement(u"UsageCount"_s, u"0"_s);
    xml.writeTextElement(u"LocationChanged"_s, at);
    xml.writeEndElement();
}

// Identities: 16 bytes each, random, or from a fixed sequence.
class Uuids {
public:
    explicit Uuids(std::uint64_t seed) : m_seed(seed), m_sequence(seed) {}

    QString next() {
        std::array<quint64, 2> raw;
        if (m_seed == 0) {
            QRandomGenerator::system()->fillRange(raw.data(), raw.size());
        } else {
            raw[0] = m_sequence();
            raw[1] = m_sequence();
        }
        return QString::fromLatin1(
            QByteArray(reinterpret_cast<const char*>(raw.data()), sizeof raw).toBase64());
    }

private:
    std::uint64_t m_seed;
    std::mt19937_64 m_sequence;
};

template <class EntryAt>
ExportResult writeKeePassXml(size_t count, EntryAt entryAt, const XmlStamp& stamp) {
    const QDateTime time = stamp.time.isValid() ? stamp.time : QDateTime::currentDateTimeUtc();
    const QString at = time.toUTC().toString(Qt::ISODate);
    Uuids uuids(stamp.uuidSeed);
    QByteArray bytes;
    QXmlStreamWriter xml(&bytes);
    xml.setAutoFormatting(true);
    xml.setAutoFormattingIndent(-1);
    xml.writeStartDocument(u"1.0"_s, true);
    xml.writeStartElement(u"KeePassFile"_s);
    xml.writeStartElement(u"Meta"_s);
    xml.writeTextElement(u"Generator"_s, u"Keynook"_s);
    xml.writeTextElement(u"DatabaseName"_s, u"Keynook"_s);
    xml.writeStartElement(u"MemoryProtection"_s);
    xml.writeTextElement(u"ProtectPassword"_s, u"True"_s);
    xml.writeEndElement();
    xml.writeEndElement();
    xml.writeStartElement(u"Root"_s);
    xml.writeStartElement(u"Group"_s);
    xml.writeTextElement(u"UUID"_s, uuids.next());
    // KeePassXC's CSV names entries of the root group by its name: this one
    // reads back as no group.
    xml.writeTextElement(u"Name"_s, u"Root"_s);
    writeTimes(xml, at);
    for (size_t i = 0; i < count; ++i) {
        const Entry e = entryAt(i);
        const QString* fields[3] = {&e.username, &e.password, &e.location};
        for (int f = 0; f < 3; ++f) {
            if (const QString why = unholdable(*fields[f]); !why.isEmpty())
                return ExportResult{{},
                                    u"entry %1: the %2 holds %3, which XML 1.0 cannot hold: "
                                    "export as CSV or JSON instead"_s.arg(i + 1)
                                        .arg(kFieldNames[f], why),
                                    {},
                                    0};
        }
        xml.writeStartElement(u"Entry"_s);
        xml.writeTextElement(u"UUID"_s, uuids.next());
        writeTimes(xml, at);
        writeString(xml, u"Title"_s, placeOf(e.location).name);
        writeString(xml, u"UserName"_s, e.username);
        writeString(xml, u"Password"_s, e.password, true);
        writeString(xml, u"URL"_s, e.location);
        xml.writeEndElement();
    }
    xml.writeEndElement(); // Group
    xml.writeEndElement(); // Root
    xml.writeEndElement(); // KeePassFile
    xml.writeEndDocument();
    return ExportResult{std::move(bytes), {}, {}, 0};
}

} // namespace

ImportResult importKeePassXml(QByteArrayView bytes) {
    ImportResult r;
    r.format = Format::KeePassXml;
    Reader reader(bytes);
    if (!reader.read()) {
        r.error = reader.error();
        r.line = reader.line();
        return r;
    }
    reader.report(r);
    return r;
}

ExportResult exportKeePassXml(const std::vector<Entry>& entries, const XmlStamp& stamp) {
    return writeKeePassXml(
        entries.size(), [&](size_t i) -> const Entry& { return entries[i]; }, stamp);
}

ExportResult exportKeePassXml(const EntryStore& entries, const XmlStamp& stamp) {
    return writeKeePassXml(
        entries.size(), [&](size_t i) { return entries.entry(i); }, stamp);
}

} // namespace interchange
