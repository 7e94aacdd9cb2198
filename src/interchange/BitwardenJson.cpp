#include "interchange/Interchange.h"

#include "interchange/Places.h"
#include "interchange/Shared.h"
#include "vault/Utf8.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <algorithm>
#include <map>

// Bitwarden's unencrypted JSON export, read with Qt's JSON as our own JSON
// is.
namespace interchange {
namespace {

using namespace Qt::Literals::StringLiterals;

// What a login item holds besides its username, password and URIs, as the
// report names it; the known keys first, in this order, then any other
// key that holds something, in the order it first comes.
struct Known {
    // The item's key, or "login." and the login's key.
    const char* key;
    const char* one;
    const char* many;
};

const Known kKnown[] = {
    {"folderId", "folder", "folders"},
    {"favorite", "favourite mark", "favourite marks"},
    {"name", "title", "titles"},
    {"notes", "note", "notes"},
    {"fields", "entry's custom fields", "entries' custom fields"},
    {"reprompt", "master password re-prompt", "master password re-prompts"},
    {"login.totp", "TOTP secret", "TOTP secrets"},
    {"login.uris", "further URI", "further URIs"},
    {"login.uris.match", "URI match setting", "URI match settings"},
    {"login.fido2Credentials", "passkey", "passkeys"},
    {"passwordHistory", "entry's password history", "entries' password histories"},
    {"collectionIds", "entry's collections", "entries' collections"},
};

// Keys that are Bitwarden's own bookkeeping, which mean nothing outside
// it: the item's identity and its organisation's, the item type and the
// times it keeps. (The URIs are read apart: further ones, and the kept
// one's match setting, are counted.)
bool isBookkeeping(QStringView key) {
    return key == u"id"_s || key == u"organizationId"_s || key == u"type"_s ||
           key == u"revisionDate"_s || key == u"creationDate"_s || key == u"deletedDate"_s ||
           key == u"login.passwordRevisionDate"_s;
}

QByteArray compact(const QJsonValue& v) {
    return QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact);
}

class Counter {
public:
    Counter() {
        for (const Known& k : kKnown)
            add(QString::fromLatin1(k.key), QString::fromUtf8(k.one), QString::fromUtf8(k.many));
    }

    // Counts a cell of `key` lost, `n` times, and mixes it into the entry's
    // hash.
    void lose(const QString& key, const QByteArray& value, std::uint64_t& hash, qsizetype n = 1) {
        auto it = m_at.find(key);
        if (it == m_at.end())
            it = add(key, u"value of \"%1\""_s.arg(key), u"values of \"%1\""_s.arg(key));
        m_columns[it->second].cells += n;
        hash = mixCell(hash, it->second, value);
    }

    void report(ImportReport& r) {
        for (NotKept& n : m_columns)
            if (n.cells > 0)
                r.notKept.push_back(std::move(n));
    }

private:
    std::map<QString, size_t>::iterator add(const QString& key, const QString& one,
                                            const QString& many) {
        m_columns.push_back({key, one, many, 0});
        return m_at.emplace(key, m_columns.size() - 1).first;
    }

    std::vector<NotKept> m_columns;
    std::map<QString, size_t> m_at;
};

} // namespace

ImportResult importBitwardenJson(QByteArrayView bytes) {
    ImportResult r;
    r.format = Format::BitwardenJson;
    const auto fail = [&r](const QString& why, int line = 0, qsizetype item = -1) {
        r.entries = {};
        r.notKept = {};
        r.dropped = {};
        r.error = why;
        r.line = line;
        r.item = item;
        return r;
    };
    const QByteArray text = jsonForQt(bytes);
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        const int line = utf8::lineAt(text, parseError.offset);
        return fail(u"line %1: not JSON (%2)"_s.arg(line).arg(parseError.errorString()), line);
    }
    const QJsonObject file = document.object();
    if (file.value(u"encrypted"_s).toBool())
        return fail(file.value(u"passwordProtected"_s).toBool()
                        ? u"this is a password-protected Bitwarden encrypted export, which only "
                          "Bitwarden opens: export from Bitwarden as .json (not encrypted) or "
                          ".csv instead"_s
                        : u"this is a Bitwarden encrypted export, which only the Bitwarden "
                          "account that made it opens: export from Bitwarden as .json (not "
                          "encrypted) or .csv instead"_s);
    if (!document.isObject() || !file.value(u"items"_s).isArray())
        return fail(u"this is not a Bitwarden JSON export: it has no list of \"items\""_s);
    const QJsonArray items = file.value(u"items"_s).toArray();
    r.entries.reserve(static_cast<size_t>(items.size()));
    Counter counter;
    for (qsizetype i = 0; i < items.size(); ++i) {
        const auto itemError = [&](const QString& why) {
            return fail(u"item %1 of \"items\" (counting from 0): %2"_s.arg(i).arg(why), 0, i);
        };
        if (!items.at(i).isObject())
            return itemError(u"not an object"_s);
        const QJsonObject item = items.at(i).toObject();
        // 1 login, 2 secure note, 3 card, 4 identity, 5 SSH key: only
        // logins are kept, and the others are counted by kind.
        if (const int type = item.value(u"type"_s).toInt(); type != 1) {
            static const char* const kKinds[][2] = {{"secure note", "secure notes"},
                                                    {"card", "cards"},
                                                    {"identity", "identities"},
                                                    {"SSH key", "SSH keys"}};
            if (type >= 2 && type <= 5)
                skipNotLogin(r, QString::fromUtf8(kKinds[type - 2][0]),
                             QString::fromUtf8(kKinds[type - 2][1]));
            else
                skipNotLogin(r, u"item of the type %1"_s.arg(type),
                             u"items of the type %1"_s.arg(type));
            continue;
        }
        const QJsonValue loginValue = item.value(u"login"_s);
        if (!loginValue.isObject() && !loginValue.isNull() && !loginValue.isUndefined())
            return itemError(u"\"login\" is not an object"_s);
        const QJsonObject login = loginValue.toObject();
        QString texts[2];
        const QString keys[2] = {u"username"_s, u"password"_s};
        for (int k = 0; k < 2; ++k) {
            const QJsonValue v = login.value(keys[k]);
            if (!v.isString() && !v.isNull() && !v.isUndefined())
                return itemError(u"\"login.%1\" is not a string"_s.arg(keys[k]));
            texts[k] = v.toString();
        }
        const QJsonValue urisValue = login.value(u"uris"_s);
        if (!urisValue.isArray() && !urisValue.isNull() && !urisValue.isUndefined())
            return itemError(u"\"login.uris\" is not a list"_s);
        const QJsonArray uris = urisValue.toArray();
        // The first URI that holds one is the location; any further ones
        // are counted, one by one.
        QString location;
        QJsonValue match;
        QJsonArray further;
        for (const QJsonValue& u : uris) {
            const QString uri = u.toObject().value(u"uri"_s).toString();
            if (uri.isEmpty())
                continue;
            if (location.isEmpty()) {
                location = uri;
                match = u.toObject().value(u"match"_s);
            } else {
                further.append(uri);
            }
        }
        const QString name = item.value(u"name"_s).toString();
        std::uint64_t dropped = 0;
        if (!further.isEmpty())
            counter.lose(u"login.uris"_s, compact(further), dropped, further.size());
        // How Bitwarden matches the kept URI to a site, where it is not the
        // default (null); a further URI's goes with it.
        if (!match.isNull() && !match.isUndefined())
            counter.lose(u"login.uris.match"_s, compact(match), dropped);
        if (!location.isEmpty() && !titleSpelledOut(name.toUtf8(), location.toUtf8()))
            counter.lose(u"name"_s, name.toUtf8(), dropped);
        if (location.isEmpty())
            location = name;
        for (const QString& at : {QString(), u"login."_s}) {
            const QJsonObject object = at.isEmpty() ? item : login;
            for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
                const QString key = at + it.key();
                if (key == u"name"_s || key == u"login"_s || key == u"login.username"_s ||
                    key == u"login.password"_s || key == u"login.uris"_s || isBookkeeping(key) ||
                    !holdsSomething(it.value()))
                    continue;
                // A re-prompt of 0 is none.
                if (key == u"reprompt"_s && it.value().toInt(-1) == 0)
                    continue;
                // Each passkey counts.
                const qsizetype n = key == u"login.fido2Credentials"_s && it.value().isArray()
                                        ? std::max<qsizetype>(1, it.value().toArray().size())
                                        : 1;
                counter.lose(key, compact(it.value()), dropped, n);
            }
        }
        for (const QString& t : {texts[0], texts[1], location})
            if (utf8::firstLoneSurrogate(t) >= 0)
                return itemError(u"it holds a lone surrogate (an escape of half a UTF-16 "
                                 "pair), which is not text"_s);
        Entry e{std::move(texts[0]), std::move(texts[1]), std::move(location)};
        if (e.username.isEmpty() && e.password.isEmpty() && e.location.isEmpty()) {
            ++r.skippedEmpty;
            continue;
        }
        noteDropped(r, r.entries.size(), dropped);
        r.entries.push_back(std::move(e));
    }
    counter.report(r);
    return r;
}

} // namespace interchange
