#include "vault/RestoreNote.h"

#include "seal/SealedVault.h"
#include "vault/VaultFile.h"

#include <QFile>

namespace restorenote {

namespace {

QString notePath(const QString& historyFolder) {
    return historyFolder + QStringLiteral("/restored");
}

QByteArray nonceOf(QByteArrayView file) {
    using namespace sealedvault::layout;
    if (!sealedvault::isSealed(file) || file.size() < kNonceAt + kNonceSize)
        return {};
    return file.sliced(kNonceAt, kNonceSize).toByteArray().toHex();
}

} // namespace

void write(const QString& historyFolder, QByteArrayView file) {
    const QByteArray nonce = nonceOf(file);
    if (nonce.isEmpty() || historyFolder.isEmpty())
        QFile::remove(notePath(historyFolder));
    else
        vaultfile::saveAtomically(notePath(historyFolder), nonce);
}

bool pending(const QString& historyFolder, const QString& vaultPath) {
    QFile vault(vaultPath);
    if (!vault.open(QIODevice::ReadOnly))
        return false;
    const QByteArray nonce = nonceOf(vault.read(sealedvault::layout::kHeaderSize));
    if (nonce.isEmpty() || historyFolder.isEmpty())
        return false;
    QFile note(notePath(historyFolder));
    return note.open(QIODevice::ReadOnly) && note.read(nonce.size() + 1) == nonce;
}

} // namespace restorenote
