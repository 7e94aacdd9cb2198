#include "cli/PasswordGenerator.h"

#include "vault/SealedVault.h"

#include <QRandomGenerator>

#include <array>

namespace passwordgenerator {

namespace {

// A number below `n` with every value equally likely. Taking the remainder
// of a 32-bit draw would favour the low values whenever n does not divide
// 2^32; draws from the incomplete last round are thrown away instead.
quint32 uniformBelow(quint32 n) {
    const quint32 limit = static_cast<quint32>(-n % n); // 2^32 mod n
    for (;;) {
        const quint32 draw = QRandomGenerator::system()->generate();
        if (draw >= limit)
            return draw % n;
    }
}

} // namespace

QString generate(int length, bool symbols) {
    static const std::array<QString, 4> kinds = {
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ"),
        QStringLiteral("abcdefghijklmnopqrstuvwxyz"),
        QStringLiteral("0123456789"),
        QStringLiteral("!#$%&()*+,-./:;<=>?@[]^_{}~"),
    };
    const size_t used = symbols ? 4 : 3;
    QString alphabet;
    for (size_t k = 0; k < used; ++k)
        alphabet += kinds[k];
    // Drawing again until every kind is in makes each password that has them
    // all equally likely, which drawing one of each and shuffling would not.
    for (;;) {
        QString password(length, Qt::Uninitialized);
        for (QChar& c : password)
            c = alphabet[static_cast<qsizetype>(
                uniformBelow(static_cast<quint32>(alphabet.size())))];
        bool all = true;
        for (size_t k = 0; k < used && all; ++k) {
            bool found = false;
            for (QChar c : password)
                found = found || kinds[k].contains(c);
            all = found;
        }
        if (all)
            return password;
        sealedvault::wipe(password);
    }
}

} // namespace passwordgenerator
