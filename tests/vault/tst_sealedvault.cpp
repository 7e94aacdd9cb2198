// Sealed vaults: what goes in comes out byte for byte, and every way a file
// can fail to open is told apart: not sealed, damaged, wrong password,
// parameters refused. Keys here are cheap (one pass over 8 MiB); the reader
// takes its parameters from the header, so the stored sample proves the
// defaults.
#include "VaultTestSupport.h"

#include "vault/SealedVault.h"
#include "vault/VaultFormat.h"

#include <QDir>
#include <QFile>
#include <QtEndian>

#include <sodium.h>

#include <gtest/gtest.h>

#include <random>

using namespace sealedvault;
using sealedvault::layout::kHeaderSize;
using sealedvault::layout::kMagicSize;

namespace {

const SealParams kQuick{1, 8 * 1024 * 1024};
const QString kPassword = QStringLiteral("correct horse");

SealKey quickKey(const QString& password = kPassword) {
    QString why;
    SealKey key = deriveKey(password, kQuick, &why);
    EXPECT_FALSE(key.isNull()) << why.toStdString();
    return key;
}

std::vector<Entry> randomEntries(testsupport::FieldMaker& fields, int count) {
    std::vector<Entry> entries;
    for (int i = 0; i < count; ++i)
        entries.push_back(Entry{fields.field(), fields.field(), fields.field()});
    return entries;
}

QByteArray fileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A header changed on purpose, as a hostile writer would: with its checksum
// made right again, so that only the reader's own rules stand in the way.
QByteArray withHeaderChange(QByteArray file, qsizetype at, QByteArray bytes) {
    file.replace(at, bytes.size(), bytes);
    crypto_generichash(reinterpret_cast<unsigned char*>(file.data()) + layout::kChecksumAt,
                       layout::kChecksumSize, reinterpret_cast<const unsigned char*>(file.data()),
                       layout::kChecksumAt, nullptr, 0);
    return file;
}

QByteArray le64(quint64 v) {
    QByteArray out(8, Qt::Uninitialized);
    qToLittleEndian(v, out.data());
    return out;
}

} // namespace

// --- Round trips --------------------------------------------------------------

TEST(SealedVault, RandomPlainFilesOpenToTheirExactBytes) {
    testsupport::FieldMaker fields(testsupport::randomStartValue());
    std::mt19937 sizes(testsupport::randomStartValue());
    const SealKey key = quickKey();
    for (int i = 0; i < 40; ++i) {
        const auto entries =
            randomEntries(fields, std::uniform_int_distribution<int>(0, i < 5 ? 0 : 60)(sizes));
        const QByteArray plain = vaultformat::savedFile(fields.field(), entries);
        const QByteArray sealed = seal(plain, key);
        ASSERT_TRUE(isSealed(sealed));
        EXPECT_EQ(sealed.size(), kHeaderSize + plain.size() + layout::kTagSize);
        Unsealed opened = unseal(sealed, kPassword);
        ASSERT_EQ(opened.outcome, Outcome::Ok) << opened.reason.toStdString();
        EXPECT_EQ(opened.plain, plain);
        // The key from opening seals the next save without the password, and
        // the one held since opening reads that save.
        ASSERT_FALSE(opened.key.isNull());
        EXPECT_EQ(unsealWithKey(seal(plain + "x", opened.key), key).plain, plain + "x");
    }
    for (const QByteArray& plain : {QByteArray(), vaultformat::neverUsedFile()})
        EXPECT_EQ(unseal(seal(plain, key), kPassword).plain, plain);
}

TEST(SealedVault, EverySealOfTheSameBytesDiffersAndOpens) {
    const SealKey key = quickKey();
    const QByteArray plain = vaultformat::savedFile(kPassword, {Entry{"u", "p", "l"}});
    const QByteArray a = seal(plain, key);
    const QByteArray b = seal(plain, key);
    EXPECT_NE(a, b);
    // Only the nonce, and so the checksum and the ciphertext, differ.
    EXPECT_EQ(a.first(layout::kNonceAt), b.first(layout::kNonceAt));
    EXPECT_NE(a.sliced(layout::kNonceAt, layout::kNonceSize),
              b.sliced(layout::kNonceAt, layout::kNonceSize));
    EXPECT_EQ(unseal(a, kPassword).plain, plain);
    EXPECT_EQ(unseal(b, kPassword).plain, plain);
}

TEST(SealedVault, HeaderHoldsTheKeysParametersAndSalt) {
    const SealKey key = quickKey();
    const QByteArray sealed = seal("x", key);
    EXPECT_EQ(sealed.first(kMagicSize),
              QByteArray::fromHex("804B4E5345414C0D00")); // never to change: see isSealed
    EXPECT_EQ(sealed[layout::kVersionAt], 1);
    EXPECT_EQ(sealed[layout::kKdfAt], 1);
    EXPECT_EQ(qFromLittleEndian<quint64>(sealed.constData() + layout::kOpsLimitAt),
              kQuick.opsLimit);
    EXPECT_EQ(qFromLittleEndian<quint64>(sealed.constData() + layout::kMemLimitAt),
              kQuick.memLimit);
    EXPECT_EQ(sealed.sliced(layout::kSaltAt, layout::kSaltSize), key.salt());
    // A new key for the same password has a salt of its own, and does not
    // open what the other sealed.
    const SealKey other = quickKey();
    EXPECT_NE(other.salt(), key.salt());
    EXPECT_EQ(unsealWithKey(sealed, other).outcome, Outcome::WrongPassword);
    EXPECT_EQ(unsealWithKey(sealed, key).plain, QByteArray("x"));
}

// --- Passwords ------------------------------------------------------------------

TEST(SealedVault, OnlyTheExactPasswordOpens) {
    struct Case {
        QString sealedWith, openedWith;
        Outcome expected;
    };
    const QString composed = QString::fromUtf8("caf\u00e9");
    const QString decomposed = QString::fromUtf8("cafe\u0301");
    const Case cases[] = {
        {kPassword, kPassword, Outcome::Ok},
        {kPassword, QStringLiteral("correct horsE"), Outcome::WrongPassword},
        {kPassword, QString(), Outcome::WrongPassword},
        {QString(), QString(), Outcome::Ok},
        {QString(), QStringLiteral(" "), Outcome::WrongPassword},
        {QString::fromUtf8("Пароль 密码 🔑"), QString::fromUtf8("Пароль 密码 🔑"), Outcome::Ok},
        {QString::fromUtf8("Пароль"), QString::fromUtf8("Пapoль"), Outcome::WrongPassword},
        // Compared as typed, like the plain form's master password: no
        // normalisation makes these two one.
        {composed, decomposed, Outcome::WrongPassword},
        {composed, composed, Outcome::Ok},
    };
    for (const Case& c : cases) {
        const QByteArray sealed = seal("plain", quickKey(c.sealedWith));
        const Unsealed u = unseal(sealed, c.openedWith);
        EXPECT_EQ(u.outcome, c.expected) << c.openedWith.toStdString();
        EXPECT_EQ(u.plain, c.expected == Outcome::Ok ? QByteArray("plain") : QByteArray());
        EXPECT_EQ(u.key.isNull(), c.expected != Outcome::Ok);
    }
}

// --- Damage -----------------------------------------------------------------------

// Any byte changed, and any cut, is damage, whatever the password: the
// header's checksum is checked before any derivation, so a changed header
// never reads as a wrong password. Only the magic's bytes make a file that is
// no sealed vault at all.
TEST(SealedVault, EveryFlippedByteAndEveryCutIsRefusedAsDamage) {
    const QByteArray sealed =
        seal(vaultformat::savedFile(kPassword, {Entry{"me", "pw", "site"}}), quickKey());
    int flips = 0;
    int cuts = 0;
    for (qsizetype i = 0; i < sealed.size(); ++i) {
        QByteArray flipped = sealed;
        flipped[i] = static_cast<char>(flipped[i] ^ 0xFF);
        const Outcome damage = i < kMagicSize ? Outcome::NotSealed : Outcome::Damaged;
        EXPECT_EQ(unseal(flipped, kPassword).outcome, damage) << "byte " << i;
        // Under a wrong password too, but for the ciphertext, which only the
        // right key can judge.
        EXPECT_EQ(unseal(flipped, QStringLiteral("wrong")).outcome,
                  i < kHeaderSize ? damage : Outcome::WrongPassword)
            << "byte " << i;
        ++flips;
    }
    for (qsizetype size = 1; size < sealed.size(); ++size) {
        const Unsealed u = unseal(sealed.first(size), kPassword);
        EXPECT_EQ(u.outcome, Outcome::Damaged) << "cut at " << size;
        EXPECT_TRUE(u.plain.isEmpty());
        ++cuts;
    }
    EXPECT_EQ(unseal(sealed + '\0', kPassword).outcome, Outcome::Damaged);
    EXPECT_EQ(unseal(QByteArray(), kPassword).outcome, Outcome::NotSealed);
    std::printf("%d flipped bytes, %d cuts of a %lld-byte sealed vault\n", flips, cuts,
                static_cast<long long>(sealed.size()));
}

TEST(SealedVault, HeadersThatAskTooMuchAreRefusedBeforeAnyDerivation) {
    const QByteArray sealed = seal("plain", quickKey());
    const quint64 tooMuch = quint64(1) << 40; // a terabyte: deriving would fail, not refuse
    struct Case {
        qsizetype at;
        quint64 value;
    };
    const Case cases[] = {
        {layout::kMemLimitAt, tooMuch},
        {layout::kMemLimitAt, ParamBounds::accepted().most.memLimit + 1},
        {layout::kMemLimitAt, ParamBounds::accepted().least.memLimit - 1},
        {layout::kOpsLimitAt, ParamBounds::accepted().most.opsLimit + 1},
        {layout::kOpsLimitAt, 0},
        {layout::kOpsLimitAt, ~quint64(0)},
    };
    for (const Case& c : cases) {
        const Unsealed u = unseal(withHeaderChange(sealed, c.at, le64(c.value)), kPassword);
        EXPECT_EQ(u.outcome, Outcome::ParametersRefused) << c.value;
        EXPECT_FALSE(u.reason.isEmpty());
    }
    // The reader's bounds are the caller's to narrow, as the fuzzer does.
    const ParamBounds narrow{ParamBounds::accepted().least, SealParams{1, 1024 * 1024}};
    EXPECT_EQ(unseal(sealed, kPassword, narrow).outcome, Outcome::ParametersRefused);
    // Nor does a new key get parameters no reader would take.
    for (const SealParams& p : {SealParams{0, kQuick.memLimit}, SealParams{11, kQuick.memLimit},
                                SealParams{1, 4096}, SealParams{1, tooMuch}}) {
        QString why;
        EXPECT_TRUE(deriveKey(kPassword, p, &why).isNull()) << p.opsLimit << " " << p.memLimit;
        EXPECT_FALSE(why.isEmpty());
    }
}

TEST(SealedVault, UnknownVersionsAndDerivationsAreDamage) {
    const QByteArray sealed = seal("plain", quickKey());
    for (const qsizetype at : {layout::kVersionAt, layout::kKdfAt})
        for (const char value : {'\x00', '\x02', '\xFF'})
            EXPECT_EQ(unseal(withHeaderChange(sealed, at, QByteArray(1, value)), kPassword).outcome,
                      Outcome::Damaged)
                << "offset " << at << " value " << int(value);
}

TEST(SealedVault, ASaveByAnotherKeyIsNotReadWithTheOldOne) {
    SealKey key = quickKey();
    EXPECT_EQ(unsealWithKey(seal("x", quickKey(QStringLiteral("new"))), key).outcome,
              Outcome::WrongPassword);
    EXPECT_EQ(unsealWithKey(vaultformat::masterOnlyFile(kPassword), key).outcome,
              Outcome::NotSealed);
    SealKey moved = std::move(key);
    EXPECT_TRUE(key.isNull());
    EXPECT_TRUE(seal("x", key).isEmpty());
    EXPECT_EQ(unsealWithKey(seal("x", moved), moved).plain, QByteArray("x"));
}

// --- Telling the two forms apart ---------------------------------------------------

TEST(SealedVault, NoStoredPlainVaultIsTakenForSealed) {
    int files = 0;
    for (const char* folder : {"/vault", "/vault-corpus"}) {
        const QDir dir(QStringLiteral(KEYNOOK_TEST_DATA_DIR) + QLatin1String(folder));
        for (const QString& name : dir.entryList(QDir::Files)) {
            EXPECT_FALSE(isSealed(fileBytes(dir.filePath(name)))) << name.toStdString();
            ++files;
        }
    }
    EXPECT_GE(files, 50);
}

// Masters chosen to cipher to the magic's own bytes, and random ones, under
// every way Keynook writes the plain form: none of those files is sealed.
TEST(SealedVault, NoPlainVaultKeynookWritesIsTakenForSealed) {
    testsupport::FieldMaker fields(testsupport::randomStartValue());
    const QByteArray magic(layout::kMagic, kMagicSize);
    QStringList masters;
    for (qsizetype n = 1; n <= kMagicSize; ++n) {
        const QString head = ansi::decode(testsupport::flipped(magic.first(n)));
        masters << head << head + fields.field() << head + QChar(0x8D) << head + QChar(0x0A);
    }
    for (int i = 0; i < 300; ++i)
        masters << fields.field();
    for (const QString& master : masters) {
        const auto entries = randomEntries(fields, 3);
        const QByteArray foreign = magic + fields.field().toUtf8();
        for (const QByteArray& file :
             {vaultformat::masterOnlyFile(master), vaultformat::savedFile(master, entries),
              vaultformat::withMasterLine(master, foreign),
              vaultformat::withMasterLine(master, "\r\n" + foreign)})
            ASSERT_FALSE(isSealed(file)) << file.toHex().toStdString();
    }
    EXPECT_FALSE(isSealed(vaultformat::neverUsedFile()));
    // Every non-empty beginning of the magic is a sealed file cut short.
    for (qsizetype n = 1; n <= kMagicSize; ++n)
        EXPECT_TRUE(isSealed(magic.first(n))) << n;
}

// A Keynook from before sealed vaults reads the magic as the first line of a
// plain vault: a master password that starts with U+0000, which no one
// types, so it never opens the vault and never writes over it.
TEST(SealedVault, AnOlderKeynookSeesAMasterPasswordNoOneCanType) {
    const QString master = vaultformat::readMasterPassword(seal("x", quickKey()));
    ASSERT_FALSE(master.isEmpty());
    EXPECT_EQ(master[0], QChar(0));
}

// --- The stored sample --------------------------------------------------------------

// Sealed once, with a key from deriveKey() at the default parameters, from
// the plain bytes beside it: three entries under this master password. Every
// later Keynook opens it to those bytes.
TEST(SealedVault, StoredVersion1SampleOpensWithTheDefaultParameters) {
    const QString dir = QStringLiteral(KEYNOOK_TEST_DATA_DIR "/sealed/");
    const QByteArray sample = fileBytes(dir + "v1-default.sealed");
    const QByteArray expected = fileBytes(dir + "v1-default.expected");
    const QString master = QString::fromUtf8("Sealed sample, päss 1");
    EXPECT_EQ(expected,
              vaultformat::savedFile(master, {Entry{"alice", "s3cret|||x", "https://example.org"},
                                              Entry{QString::fromUtf8("bö"), "", "C:\\notes"},
                                              Entry{"", QString::fromUtf8("密码"), ""}}));
    ASSERT_TRUE(isSealed(sample));
    Unsealed u = unseal(sample, master);
    ASSERT_EQ(u.outcome, Outcome::Ok) << u.reason.toStdString();
    EXPECT_EQ(u.plain, expected);
    EXPECT_EQ(u.key.params(), SealParams::defaults());
}
