// Sealed vaults: what goes in comes out byte for byte, and every way a file
// can fail to open is told apart. Keys here are cheap (one pass over 8 MiB);
// the reader takes its parameters from the header, and the stored sample
// proves the defaults. Files are sealed in chunks of a few bytes where a test
// needs many chunks; the reader takes the chunk size from the header too.
#include "SealedTestSupport.h"
#include "VaultTestSupport.h"

#include "seal/SealedVault.h"
#include "vault/SealedEntries.h"
#include "vault/VaultFormat.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QtEndian>

#include <gtest/gtest.h>

#include <new>
#include <random>

using namespace sealedvault;
using namespace sealedvault::layout;
using testsupport::checksummed;
using testsupport::forged;

namespace {

const SealParams kQuick{1, 8 * 1024 * 1024};
const QString kPassword = QStringLiteral("correct horse");

SealKey quickKey(const QString& password = kPassword) {
    return deriveKey(password, kQuick);
}

QByteArray le64(quint64 v) {
    QByteArray out(8, Qt::Uninitialized);
    qToLittleEndian(v, out.data());
    return out;
}

// A version 2 file taken apart into its header, its chunks' tags and its
// chunks' ciphertext, and put together again after a change.
struct Chunked {
    QByteArray header;
    std::vector<QByteArray> tags;
    std::vector<QByteArray> chunks;

    explicit Chunked(const QByteArray& file) : header(file.first(kHeaderSize)) {
        const auto size = qFromLittleEndian<quint32>(file.constData() + kChunkSizeAt);
        const auto plain = qFromLittleEndian<quint64>(file.constData() + kPlainSizeAt);
        const auto n = static_cast<qsizetype>(chunkCount(plain, size));
        for (qsizetype k = 0; k < n; ++k) {
            tags.push_back(file.sliced(kHeaderSize + k * kTagSize, kTagSize));
            chunks.push_back(file.sliced(kHeaderSize + n * kTagSize + k * size,
                                         qMin<qsizetype>(size, plain - k * size)));
        }
    }
    // With `fitted`, the header's plain size says what the chunks hold, and
    // its checksum is made right: only the tags can tell then.
    QByteArray file(bool fitted) const {
        QByteArray out = header;
        qsizetype plain = 0;
        for (const QByteArray& c : chunks)
            plain += c.size();
        for (const QByteArray& t : tags)
            out += t;
        for (const QByteArray& c : chunks)
            out += c;
        if (!fitted)
            return out;
        qToLittleEndian<quint64>(static_cast<quint64>(plain), out.data() + kPlainSizeAt);
        return checksummed(out);
    }
};

} // namespace

TEST(SealedVault, RandomPlainFilesOpenToTheirExactBytes) {
    testsupport::FieldMaker fields(testsupport::randomStartValue());
    std::mt19937 random(testsupport::randomStartValue());
    const SealKey key = quickKey();
    for (int i = 0; i < 30; ++i) {
        std::vector<Entry> entries(static_cast<size_t>(i * 2));
        for (Entry& e : entries)
            e = Entry{fields.field(), fields.field(), fields.field()};
        const QByteArray plain = vaultformat::savedFile(fields.field(), entries);
        // Chunks of a few bytes, of the plain bytes' own size or a divisor
        // of it, and of the default size.
        const qsizetype chunkSize = i % 3 == 0   ? kDefaultChunkSize
                                    : i % 3 == 1 ? qsizetype(1 + random() % 64)
                                                 : qMax<qsizetype>(1, plain.size() / (1 + i % 4));
        const QByteArray sealed = seal(plain, key, chunkSize);
        ASSERT_TRUE(isSealed(sealed));
        const auto chunks = static_cast<qsizetype>(chunkCount(plain.size(), chunkSize));
        EXPECT_EQ(sealed.size(), kHeaderSize + chunks * kTagSize + plain.size()) << chunkSize;
        const Unsealed opened = unseal(sealed, kPassword);
        ASSERT_EQ(opened.plain, plain) << opened.reason.toStdString();
        // The key from opening seals the next save without the password, with
        // a fresh nonce, and the key held since opening reads that save, in
        // place too, leaving the bytes the array shared alone.
        const QByteArray next = seal(plain, opened.key, chunkSize);
        EXPECT_NE(next, sealed);
        QByteArray shared = next;
        EXPECT_EQ(unsealWithKey(std::move(shared), key).plain, plain);
        EXPECT_EQ(unsealWithKey(next, key).plain, plain);
    }
    EXPECT_EQ(unseal(seal(QByteArray(), key), kPassword).outcome, Outcome::Ok);
    EXPECT_TRUE(seal("x", key, 0).isEmpty());
    EXPECT_TRUE(seal("x", key, kMaxChunkSize + 1).isEmpty());
}

// A vault large enough to open on several cores, in chunks of a few KiB:
// its bytes are told in order, each already open when told, and the entries
// read while it opens are those of its plain bytes. A damaged chunk anywhere
// gives nothing; what is thrown while telling ends the opening and reaches
// the caller.
TEST(SealedVault, EntriesAreReadAsTheChunksOpenInOrder) {
    testsupport::FieldMaker fields(testsupport::randomStartValue());
    std::vector<Entry> entries(40'000);
    for (Entry& e : entries)
        e = Entry{fields.field(), fields.field(), fields.field()};
    const QByteArray plain = vaultformat::savedFile(kPassword, entries);
    ASSERT_GT(plain.size(), 1024 * 1024);
    const QByteArray expected = vaultformat::savedFile(kPassword, EntryStore::fromFile(plain));
    const SealKey key = quickKey();
    const QByteArray sealed = seal(plain, key, 4093);

    qsizetype told = 0;
    int calls = 0;
    const Unsealed u =
        unsealWithKey(QByteArray(sealed), key, [&](QByteArrayView bytes, qsizetype opened) {
            ++calls;
            ASSERT_EQ(bytes.size(), plain.size());
            ASSERT_GT(opened, told);
            ASSERT_TRUE(bytes.sliced(told, opened - told) ==
                        QByteArrayView(plain).sliced(told, opened - told))
                << "bytes " << told << " to " << opened;
            told = opened;
        });
    EXPECT_TRUE(u.ok());
    EXPECT_EQ(told, plain.size());
    EXPECT_EQ(calls, static_cast<int>(chunkCount(plain.size(), 4093)));

    EXPECT_EQ(vaultformat::savedFile(kPassword,
                                     sealedentries::open(QByteArray(sealed), kPassword).entries),
              expected);
    EXPECT_EQ(vaultformat::savedFile(kPassword,
                                     sealedentries::openWithKey(QByteArray(sealed), key).entries),
              expected);
    EXPECT_EQ(sealedentries::open(QByteArray(sealed), QStringLiteral("wrong")).unsealed.outcome,
              Outcome::WrongPassword);
    const qsizetype cipherAt = sealed.size() - plain.size();
    for (const qsizetype at : {cipherAt, cipherAt + plain.size() / 2, sealed.size() - 1}) {
        QByteArray damaged = sealed;
        damaged[at] = static_cast<char>(damaged[at] ^ 1);
        const sealedentries::Opened o = sealedentries::openWithKey(std::move(damaged), key);
        EXPECT_EQ(o.unsealed.outcome, Outcome::Damaged) << at;
        EXPECT_TRUE(o.entries.empty() && o.unsealed.plain.isEmpty()) << at;
    }
    calls = 0;
    EXPECT_THROW(unsealWithKey(QByteArray(sealed), key,
                               [&](QByteArrayView, qsizetype) {
                                   if (++calls == 5)
                                       throw std::bad_alloc();
                               }),
                 std::bad_alloc);
}

TEST(SealedVault, OnlyTheExactPasswordOpens) {
    const QString composed = QString::fromUtf8("caf\u00e9");
    const struct {
        QString sealedWith, openedWith;
        Outcome expected;
    } cases[] = {
        {kPassword, QStringLiteral("correct horsE"), Outcome::WrongPassword},
        {kPassword, QString(), Outcome::WrongPassword},
        {QString(), QString(), Outcome::Ok},
        {QString(), QStringLiteral(" "), Outcome::WrongPassword},
        {QString::fromUtf8("Пароль 密码 🔑"), QString::fromUtf8("Пароль 密码 🔑"), Outcome::Ok},
        {QString::fromUtf8("Пароль"), QString::fromUtf8("Пapoль"), Outcome::WrongPassword},
        // As typed, like the plain form's master password: no normalisation.
        {composed, QString::fromUtf8("cafe\u0301"), Outcome::WrongPassword},
        {composed, composed, Outcome::Ok},
    };
    // Without a record and with one (the version that carries it).
    for (const QByteArray& record : {QByteArray(), QByteArray("record")})
        for (const auto& c : cases) {
            const Unsealed u =
                unseal(sealWithRecord("plain", record, quickKey(c.sealedWith)), c.openedWith);
            EXPECT_EQ(u.outcome, c.expected) << c.openedWith.toStdString();
            EXPECT_EQ(u.plain, u.ok() ? QByteArray("plain") : QByteArray());
            EXPECT_EQ(u.record, u.ok() ? record : QByteArray());
            EXPECT_EQ(u.key.isNull(), !u.ok());
        }
}

// Any byte changed, and any cut, is damage whatever the password: the
// header's checksum comes before any derivation, so a changed header never
// reads as a wrong password; a changed magic is found by that checksum too.
// In one chunk and in several, the last one shorter.
TEST(SealedVault, EveryFlippedByteAndEveryCutIsDamage) {
    const QByteArray plain = vaultformat::savedFile(kPassword, {Entry{"me", "pw", "site"}});
    const SealKey key = quickKey();
    qsizetype flips = 0;
    for (const qsizetype chunkSize : {kDefaultChunkSize, qsizetype(16), qsizetype(-16)}) {
        // A negative size: the same chunks, carrying a record.
        const bool record = chunkSize < 0;
        const QByteArray sealed = record ? sealWithRecord(plain, "a record", key, -chunkSize)
                                         : seal(plain, key, chunkSize);
        const qsizetype headerSize = record ? v3::kHeaderSize : kHeaderSize;
        ASSERT_EQ(unsealWithKey(sealed, key).record, record ? "a record" : QByteArray());
        for (qsizetype i = 0; i < sealed.size(); ++i) {
            QByteArray flipped = sealed;
            flipped[i] = static_cast<char>(flipped[i] ^ 0xFF);
            EXPECT_EQ(unseal(flipped, kPassword).outcome, Outcome::Damaged) << "byte " << i;
            // Only the right key can judge the tags and the ciphertext.
            EXPECT_EQ(unseal(flipped, QStringLiteral("wrong")).outcome,
                      i < headerSize ? Outcome::Damaged : Outcome::WrongPassword)
                << "byte " << i;
        }
        for (qsizetype size = 1; size < sealed.size(); ++size)
            EXPECT_EQ(unseal(sealed.first(size), kPassword).outcome, Outcome::Damaged) << size;
        EXPECT_EQ(unseal(sealed + '\0', kPassword).outcome, Outcome::Damaged);
        flips += sealed.size();
    }
    std::printf("%lld flipped bytes and as many cuts of sealed vaults\n",
                static_cast<long long>(flips));
}

// What a writer can do with whole chunks, the header's plain size and
// checksum made to fit where that is possible: chunks swapped, dropped,
// repeated, cut at a chunk's end, or taken from another save under the same
// key. Each is damage, found by the tags; only the file as sealed opens.
TEST(SealedVault, ChunksCannotBeMovedDroppedOrMixed) {
    std::mt19937 random(testsupport::randomStartValue());
    const SealKey key = quickKey();
    const QByteArray plain = vaultformat::savedFile(
        kPassword, {Entry{"me", "pw", "site"}, Entry{"you", "other", ""}, Entry{"a", "b", "c"}});
    const qsizetype chunkSize = 8;
    const Chunked sealed(seal(plain, key, chunkSize));
    const Chunked other(seal(plain, key, chunkSize));
    const auto n = static_cast<qsizetype>(sealed.chunks.size());
    ASSERT_GE(n, 8);
    ASSERT_EQ(unseal(sealed.file(true), kPassword).plain, plain);
    int changes = 0;
    for (int i = 0; i < 200; ++i) {
        Chunked c = sealed;
        const auto k = static_cast<size_t>(random() % n);
        const auto j = static_cast<size_t>(random() % n);
        switch (random() % 5) {
        case 0: // two chunks change places, with their tags
            std::swap(c.chunks[k], c.chunks[j]);
            std::swap(c.tags[k], c.tags[j]);
            break;
        case 1: // a chunk goes, with its tag
            c.chunks.erase(c.chunks.begin() + static_cast<qsizetype>(k));
            c.tags.erase(c.tags.begin() + static_cast<qsizetype>(k));
            break;
        case 2: // a chunk comes twice
            c.chunks.insert(c.chunks.begin() + static_cast<qsizetype>(k), c.chunks[j]);
            c.tags.insert(c.tags.begin() + static_cast<qsizetype>(k), c.tags[j]);
            break;
        case 3: // cut after chunk k
            c.chunks.resize(k + 1);
            c.tags.resize(k + 1);
            break;
        case 4: // chunk k from the other save
            c.chunks[k] = other.chunks[k];
            c.tags[k] = other.tags[k];
            break;
        }
        for (const bool fitted : {false, true}) {
            const QByteArray file = c.file(fitted);
            if (file == sealed.file(fitted))
                continue;
            ++changes;
            EXPECT_EQ(unseal(file, kPassword).outcome, Outcome::Damaged)
                << i << ": " << file.toHex().toStdString();
            EXPECT_EQ(unsealWithKey(file, key).outcome, Outcome::Damaged) << i;
        }
    }
    EXPECT_GT(changes, 300);
}

// What a hostile writer can do with a checksum of its own: parameters out of
// bounds are refused before any derivation (a terabyte would fail, not be
// refused), unknown versions are damage, and a new salt makes the password
// not fit.
TEST(SealedVault, ForgedHeadersAreRefused) {
    const QByteArray sealed = seal("plain", quickKey());
    const ParamBounds b = ParamBounds::accepted();
    const struct {
        qsizetype at;
        QByteArray bytes;
        Outcome expected;
    } cases[] = {
        {kMemLimitAt, le64(quint64(1) << 40), Outcome::ParametersRefused},
        {kMemLimitAt, le64(b.most.memLimit + 1), Outcome::ParametersRefused},
        {kMemLimitAt, le64(b.most.memLimit + 1024), Outcome::ParametersRefused},
        {kMemLimitAt, le64(b.least.memLimit - 1), Outcome::ParametersRefused},
        {kOpsLimitAt, le64(b.most.opsLimit + 1), Outcome::ParametersRefused},
        {kOpsLimitAt, le64(0), Outcome::ParametersRefused},
        {kVersionAt, "\x03", Outcome::Damaged},
        {kVersionAt, QByteArray(1, '\0'), Outcome::Damaged},
        // Read as version 1, whose checksum is elsewhere.
        {kVersionAt, "\x01", Outcome::Damaged},
        {kKdfAt, "\x02", Outcome::Damaged},
        {kSaltAt, "salt", Outcome::WrongPassword},
        {kChunkSizeAt, le64(0).first(4), Outcome::Damaged},
        {kChunkSizeAt, le64(kMaxChunkSize + 1).first(4), Outcome::Damaged},
        // The same single chunk, said to be of another size: the tag tells.
        {kChunkSizeAt, le64(64).first(4), Outcome::Damaged},
        {kPlainSizeAt, le64(4), Outcome::Damaged},
        {kPlainSizeAt, le64(~quint64(0)), Outcome::Damaged},
    };
    // A refusal shows what the header asks for against the bound it passes,
    // and a figure reads the same on both sides only for the same value,
    // however near the bound the header is.
    const QRegularExpression figures(
        QStringLiteral("asks for (\\S+) pass(?:es)? over (.+); this Keynook (goes to|takes at "
                       "least) (\\S+) pass(?:es)? over (.+)$"));
    for (const auto& c : cases) {
        const QByteArray file = forged(sealed, c.at, c.bytes);
        const Unsealed u = unseal(file, kPassword);
        EXPECT_EQ(u.outcome, c.expected) << c.at << ": " << c.bytes.toHex().toStdString();
        if (c.expected != Outcome::ParametersRefused)
            continue;
        const QRegularExpressionMatch m = figures.match(u.reason);
        ASSERT_TRUE(m.hasMatch()) << u.reason.toStdString();
        const SealParams& bound = m.captured(3) == QLatin1String("goes to") ? b.most : b.least;
        EXPECT_EQ(m.captured(1) == m.captured(4),
                  qFromLittleEndian<quint64>(file.constData() + kOpsLimitAt) == bound.opsLimit)
            << u.reason.toStdString();
        EXPECT_EQ(m.captured(2) == m.captured(5),
                  qFromLittleEndian<quint64>(file.constData() + kMemLimitAt) == bound.memLimit)
            << u.reason.toStdString();
    }
    // The caller may narrow the bounds, as the fuzzer does; no new key gets
    // parameters a reader would refuse.
    EXPECT_EQ(unseal(sealed, kPassword, {b.least, {1, 1024 * 1024}}).outcome,
              Outcome::ParametersRefused);
    for (const SealParams& p :
         {SealParams{0, kQuick.memLimit}, SealParams{11, kQuick.memLimit}, SealParams{1, 4096}})
        EXPECT_TRUE(deriveKey(kPassword, p).isNull()) << p.opsLimit << " " << p.memLimit;
}

TEST(SealedVault, AKeyOpensOnlyWhatItSealed) {
    SealKey key = quickKey();
    // Another key for the same password has a salt of its own.
    EXPECT_EQ(unsealWithKey(seal("x", quickKey()), key).outcome, Outcome::WrongPassword);
    EXPECT_EQ(unsealWithKey(vaultformat::masterOnlyFile(kPassword), key).outcome,
              Outcome::NotSealed);
    const SealKey moved = std::move(key);
    EXPECT_TRUE(key.isNull());
    EXPECT_TRUE(seal("x", key).isEmpty());
    EXPECT_EQ(unsealWithKey(seal("x", moved), moved).plain, QByteArray("x"));
}

// --- Telling the two forms apart ---------------------------------------------------

TEST(SealedVault, NoStoredPlainVaultIsTakenForSealed) {
    int files = 0;
    for (const char* folder : {"/vault", "/vault-corpus"}) {
        const QDir dir(QStringLiteral(KEYNOOK_TEST_DATA_DIR) + QLatin1String(folder));
        const QStringList names = dir.entryList(QDir::Files);
        files += static_cast<int>(names.size());
        for (const QString& name : names) {
            const QByteArray file = testsupport::fileBytes(dir.filePath(name));
            EXPECT_FALSE(isSealed(file) || isSealedButForItsMagic(file)) << name.toStdString();
        }
    }
    EXPECT_GE(files, 50);
}

// Masters that cipher to the magic's own bytes, and random ones, under every
// way Keynook writes the plain form.
TEST(SealedVault, NoPlainVaultKeynookWritesIsTakenForSealed) {
    testsupport::FieldMaker fields(testsupport::randomStartValue());
    const QByteArray magic(kMagic, kMagicSize);
    QStringList masters;
    for (qsizetype n = 1; n <= kMagicSize; ++n) {
        const QString head = ansi::decode(testsupport::flipped(magic.first(n)));
        masters << head << head + fields.field() << head + QChar(0x8D) << head + QChar('\n');
        EXPECT_TRUE(isSealed(magic.first(n))) << n; // a sealed file cut short
    }
    for (int i = 0; i < 300; ++i)
        masters << fields.field();
    const std::vector<Entry> entries{Entry{fields.field(), fields.field(), fields.field()}};
    for (const QString& master : masters)
        for (const QByteArray& file :
             {vaultformat::masterOnlyFile(master), vaultformat::savedFile(master, entries),
              vaultformat::withMasterLine(master, "\r\n" + magic)})
            ASSERT_FALSE(isSealed(file) || isSealedButForItsMagic(file))
                << file.toHex().toStdString();
    EXPECT_FALSE(isSealed(vaultformat::neverUsedFile()));
    EXPECT_FALSE(isSealed(QByteArray()));
    // A Keynook from before sealed vaults reads a master password starting
    // with U+0000, which no one types: it never opens a sealed vault, nor
    // writes over one.
    EXPECT_EQ(vaultformat::readMasterPassword(seal("x", quickKey())).front(), QChar(0));
}

// The plain bytes beside them, three entries under this master password,
// sealed with a key from deriveKey() at the default parameters in the first
// version, then saved under the same key in the second (in chunks of 32
// bytes). Every later Keynook opens both to those bytes.
TEST(SealedVault, StoredSamplesOpenWithTheDefaultParameters) {
    const QString dir = QStringLiteral(KEYNOOK_TEST_DATA_DIR "/sealed/");
    const QByteArray expected = testsupport::fileBytes(dir + "v1-default.expected");
    const QString master = QString::fromUtf8("Sealed sample, päss 1");
    EXPECT_EQ(expected,
              vaultformat::savedFile(master, {Entry{"alice", "s3cret|||x", "https://example.org"},
                                              Entry{QString::fromUtf8("bö"), "", "C:\\notes"},
                                              Entry{"", QString::fromUtf8("密码"), ""}}));
    const QByteArray v2 = testsupport::fileBytes(dir + "v2-default-chunks-of-32.sealed");
    ASSERT_EQ(v2[kVersionAt], char(kVersion));
    const Unsealed opened = unseal(v2, master);
    ASSERT_EQ(opened.outcome, Outcome::Ok) << opened.reason.toStdString();
    EXPECT_EQ(opened.plain, expected);
    EXPECT_EQ(opened.key.params(), SealParams::defaults());
    // The first version, judged with the key from opening the second (one
    // derivation at the defaults is enough): its salt and parameters are
    // the same, as with a vault sealed then and saved now.
    const QByteArray sealed = testsupport::fileBytes(dir + "v1-default.sealed");
    ASSERT_EQ(sealed[kVersionAt], char(v1::kVersion));
    const Unsealed u = unsealWithKey(sealed, opened.key);
    ASSERT_EQ(u.outcome, Outcome::Ok) << u.reason.toStdString();
    EXPECT_EQ(u.plain, expected);
    // The same rules for both: every byte flipped and every cut is damage.
    for (const QByteArray& file : {sealed, v2}) {
        SCOPED_TRACE(::testing::Message() << "version " << int(file[kVersionAt]));
        for (qsizetype i = 0; i < file.size(); ++i) {
            QByteArray flipped = file;
            flipped[i] = static_cast<char>(flipped[i] ^ 0x01);
            EXPECT_EQ(unsealWithKey(flipped, opened.key).outcome, Outcome::Damaged) << "byte " << i;
        }
        for (qsizetype size = 1; size < file.size(); ++size)
            EXPECT_EQ(unsealWithKey(file.first(size), opened.key).outcome, Outcome::Damaged)
                << size;
    }
    // Saves from now on are of version 2, under the same key.
    const QByteArray resealed = seal(expected, opened.key);
    EXPECT_EQ(resealed[kVersionAt], char(kVersion));
    EXPECT_EQ(unsealWithKey(resealed, opened.key).plain, expected);
}
