#pragma once

#include "vault/VaultFormat.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <utility>

// The vault replay's and the vault fuzzer's reference for a save of a file as
// opened: every entry line's entry encoded anew, except a line just as saves
// used to write its entry, which is kept.
inline QByteArray savedAsOpened(QByteArrayView file, const QString& master) {
    QByteArray out = vaultformat::encodeMasterLine(master) + "\r\n";
    bool first = true;
    vaultformat::forEachLine(file, [&](QByteArrayView raw) {
        if (!std::exchange(first, false) && !vaultformat::isSkippedLine(raw)) {
            const Entry e = vaultformat::decodeEntryLine(raw);
            const bool kept =
                raw == vaultformat::encodeEntryLine(e, vaultformat::Escaping::AllUndefined);
            out += (kept ? raw.toByteArray() : vaultformat::encodeEntryLine(e)) + "\r\n";
        }
    });
    return out + "\r\n";
}
