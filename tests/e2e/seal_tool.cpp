// For the end-to-end tests only: seals a vault in place, or prints the plain
// bytes a sealed vault holds. The key derivation is cheap (1 pass over 8 MiB)
// so that a test does not wait for it; the reader takes the parameters from
// the header, so the program opens such a vault as any other.
//
//   keynook_e2e_seal seal <vault>   the plain vault, sealed with its master password
//   keynook_e2e_seal open <vault>   the plain bytes, on standard output
//
// The master password is the first line of standard input, never an
// argument. Exit status 0 on success, 1 otherwise, with the reason on
// standard error.
#include "seal/SealedVault.h"
#include "secrets/Wipe.h"
#include "vault/VaultSession.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>
#include <iostream>
#include <string>

namespace {

int failed(const QString& why) {
    std::fprintf(stderr, "keynook_e2e_seal: %s\n", qPrintable(why));
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 3 || (args[1] != QLatin1String("seal") && args[1] != QLatin1String("open")))
        return failed(QStringLiteral("usage: keynook_e2e_seal seal|open <vault>"));
    const QString path = args[2];
    std::string line;
    std::getline(std::cin, line);
    const QString password = QString::fromStdString(line);

    if (args[1] == QLatin1String("seal")) {
        VaultSession session(path);
        if (const VaultSession::Status s = session.open(); !s.ok())
            return failed(QStringLiteral("cannot open the vault: ") + s.why);
        if (session.sealed())
            return failed(QStringLiteral("the vault is sealed already"));
        if (const VaultSession::Status s =
                session.seal(password, sealedvault::SealParams{1, 8u << 20});
            !s.ok())
            return failed(QStringLiteral("cannot seal the vault: ") + s.why);
        return 0;
    }

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return failed(file.errorString());
    const QByteArray bytes = file.readAll();
    if (!sealedvault::isSealed(bytes))
        return failed(QStringLiteral("the vault is not sealed"));
    sealedvault::Unsealed opened = sealedvault::unseal(bytes, password);
    if (!opened.ok())
        return failed(QStringLiteral("the vault does not open: ") + opened.reason);
    const bool written = std::fwrite(opened.plain.constData(), 1, size_t(opened.plain.size()),
                                     stdout) == size_t(opened.plain.size());
    secrets::wipe(opened.plain);
    return written && std::fflush(stdout) == 0 ? 0 : failed(QStringLiteral("cannot write"));
}
