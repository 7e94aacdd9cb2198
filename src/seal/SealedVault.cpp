#include "seal/SealedVault.h"

#include "secrets/Wipe.h"

#include <QStringEncoder>
#include <QtEndian>

#include <sodium.h>

#if defined(__linux__)
#include <pthread.h>
#include <sched.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace sealedvault {

using namespace layout;

static_assert(kSaltSize == crypto_pwhash_SALTBYTES);
static_assert(kNonceSize == crypto_aead_xchacha20poly1305_ietf_NPUBBYTES);
static_assert(kTagSize == crypto_aead_xchacha20poly1305_ietf_ABYTES);
static_assert(kCheckSize <= crypto_generichash_BYTES_MAX &&
              kCheckSize >= crypto_generichash_BYTES_MIN);
static_assert(kChecksumSize <= crypto_generichash_BYTES_MAX &&
              kChecksumSize >= crypto_generichash_BYTES_MIN);
static_assert(kVersionAt == kMagicSize && kKdfAt == kVersionAt + 1 && kOpsLimitAt == kKdfAt + 1 &&
              kMemLimitAt == kOpsLimitAt + 8 && kSaltAt == kMemLimitAt + 8 &&
              kCheckAt == kSaltAt + kSaltSize && kNonceAt == kCheckAt + kCheckSize &&
              kChunkSizeAt == kNonceAt + kNonceSize && kPlainSizeAt == kChunkSizeAt + 4 &&
              kChecksumAt == kPlainSizeAt + 8 && kHeaderSize == kChecksumAt + kChecksumSize);
static_assert(v3::kRecordSizeAt == kChecksumAt && v3::kChecksumAt == v3::kRecordSizeAt + 8 &&
              v3::kHeaderSize == v3::kChecksumAt + kChecksumSize);
static_assert(v1::kChecksumAt == kNonceAt + kNonceSize &&
              v1::kHeaderSize == v1::kChecksumAt + kChecksumSize);
static_assert(kMaxChunkSize <= 0xFFFFFFFF);

namespace {

// The derived key is the root of two subkeys, one per use, so that the check
// value stored in the clear says nothing about the key that encrypts.
constexpr char kSubkeyContext[crypto_kdf_CONTEXTBYTES] = {'K', 'N', 'S', 'E', 'A', 'L', '0', '1'};
constexpr quint64 kCheckSubkey = 1;
constexpr quint64 kCipherSubkey = 2;
constexpr size_t kKeySize = crypto_aead_xchacha20poly1305_ietf_KEYBYTES;
static_assert(kKeySize == crypto_kdf_KEYBYTES && kKeySize >= crypto_kdf_BYTES_MIN &&
              kKeySize >= crypto_generichash_KEYBYTES_MIN &&
              kKeySize <= crypto_generichash_KEYBYTES_MAX);

const unsigned char* bytesOf(QByteArrayView v) {
    return reinterpret_cast<const unsigned char*>(v.data());
}

// Memory of libsodium's own: guard pages around it, locked out of swap, and
// zeroed when freed.
struct SecretBuffer {
    explicit SecretBuffer(size_t size) : data(static_cast<unsigned char*>(sodium_malloc(size))) {}
    ~SecretBuffer() { sodium_free(data); }
    SecretBuffer(const SecretBuffer&) = delete;
    SecretBuffer& operator=(const SecretBuffer&) = delete;
    unsigned char* data;
};

Unsealed refusal(Outcome outcome, QString reason) {
    Unsealed u;
    u.outcome = outcome;
    u.reason = std::move(reason);
    return u;
}

QString mib(quint64 bytes) {
    return QString::number(static_cast<double>(bytes) / (1024.0 * 1024.0), 'g', 4) +
           QStringLiteral(" MiB");
}

// 1,073,741,824: a figure that is read against another, digit by digit.
QString grouped(quint64 n) {
    QString digits = QString::number(n);
    for (qsizetype at = digits.size() - 3; at > 0; at -= 3)
        digits.insert(at, QLatin1Char(','));
    return digits;
}

QString passes(quint64 n) {
    return grouped(n) + (n == 1 ? QStringLiteral(" pass") : QStringLiteral(" passes"));
}

// Two amounts of memory in the largest unit that holds both whole, so that
// amounts that differ, even by a byte, never read the same.
std::pair<QString, QString> memoryFigures(quint64 a, quint64 b) {
    constexpr quint64 kKiB = 1024;
    constexpr quint64 kMiB = 1024 * kKiB;
    const auto in = [&](quint64 unit, const QString& name) {
        return std::pair(grouped(a / unit) + name, grouped(b / unit) + name);
    };
    if (a % kMiB == 0 && b % kMiB == 0)
        return in(kMiB, QStringLiteral(" MiB"));
    if (a % kKiB == 0 && b % kKiB == 0)
        return in(kKiB, QStringLiteral(" KiB"));
    return in(1, QStringLiteral(" bytes"));
}

// What a header asks for, against the bound it passes.
QString refusedParams(const SealParams& asked, const ParamBounds& bounds) {
    const bool tooLittle =
        asked.opsLimit < bounds.least.opsLimit || asked.memLimit < bounds.least.memLimit;
    const SealParams& bound = tooLittle ? bounds.least : bounds.most;
    const auto [askedMemory, boundMemory] = memoryFigures(asked.memLimit, bound.memLimit);
    return QStringLiteral("the key derivation asks for %1 over %2; this Keynook %3 %4 over %5")
        .arg(passes(asked.opsLimit), askedMemory,
             tooLittle ? QStringLiteral("takes at least") : QStringLiteral("goes to"),
             passes(bound.opsLimit), boundMemory);
}

// The header as read, once its checksum holds.
struct Header {
    quint8 version = 0;
    SealParams params;
    QByteArrayView salt;
    QByteArrayView check;
    QByteArrayView nonce;
    QByteArrayView whole;
    // Versions 2 and 3: the chunks' tags, and the chunks' size and count.
    QByteArrayView tags;
    // Version 3: the record's tag and size; its ciphertext follows the
    // plain bytes'.
    QByteArrayView recordTag;
    qsizetype recordSize = 0;
    quint64 chunkSize = 0;
    quint64 chunks = 0;
    // Where the ciphertext starts in the file, and the plain bytes it holds.
    qsizetype cipherAt = 0;
    qsizetype plainSize = 0;
};

Unsealed cutShort(qsizetype size, qsizetype least) {
    return refusal(Outcome::Damaged,
                   QStringLiteral("cut short: %1 bytes, where a sealed vault has at least %2")
                       .arg(size)
                       .arg(least));
}

// Reads the header and proves it whole. Everything that fails here is damage:
// nothing about the password is known yet, and no derivation has run.
bool readHeader(QByteArrayView file, Header& h, Unsealed& refused) {
    if (file.size() <= kVersionAt) {
        refused = cutShort(file.size(), kHeaderSize + kTagSize);
        return false;
    }
    h.version = static_cast<quint8>(file[kVersionAt]);
    if (h.version != kVersion && h.version != v1::kVersion && h.version != v3::kVersion) {
        refused = refusal(
            Outcome::Damaged,
            QStringLiteral("format version %1, which this Keynook does not know").arg(h.version));
        return false;
    }
    const qsizetype headerSize = h.version == kVersion       ? kHeaderSize
                                 : h.version == v3::kVersion ? v3::kHeaderSize
                                                             : v1::kHeaderSize;
    const qsizetype checksumAt = h.version == kVersion       ? kChecksumAt
                                 : h.version == v3::kVersion ? v3::kChecksumAt
                                                             : v1::kChecksumAt;
    if (file.size() < headerSize + kTagSize) {
        refused = cutShort(file.size(), headerSize + kTagSize);
        return false;
    }
    unsigned char sum[kChecksumSize];
    crypto_generichash(sum, sizeof sum, bytesOf(file), static_cast<size_t>(checksumAt), nullptr, 0);
    if (sodium_memcmp(sum, bytesOf(file) + checksumAt, kChecksumSize) != 0) {
        refused = refusal(Outcome::Damaged, QStringLiteral("the header's checksum does not match"));
        return false;
    }
    // Checksummed, so a value here is what the writer wrote.
    const auto kdf = static_cast<quint8>(file[kKdfAt]);
    if (kdf != kKdfArgon2id13) {
        refused =
            refusal(Outcome::Damaged,
                    QStringLiteral("key derivation %1, which this Keynook does not know").arg(kdf));
        return false;
    }
    h.params.opsLimit = qFromLittleEndian<quint64>(file.data() + kOpsLimitAt);
    h.params.memLimit = qFromLittleEndian<quint64>(file.data() + kMemLimitAt);
    h.salt = file.sliced(kSaltAt, kSaltSize);
    h.check = file.sliced(kCheckAt, kCheckSize);
    h.nonce = file.sliced(kNonceAt, kNonceSize);
    h.whole = file.first(headerSize);
    if (h.version == v1::kVersion) {
        h.chunks = 1;
        h.cipherAt = v1::kHeaderSize;
        h.plainSize = file.size() - v1::kHeaderSize - kTagSize;
        h.tags = file.last(kTagSize);
        return true;
    }
    h.chunkSize = qFromLittleEndian<quint32>(file.data() + kChunkSizeAt);
    if (h.chunkSize == 0 || h.chunkSize > quint64(kMaxChunkSize)) {
        refused = refusal(Outcome::Damaged,
                          QStringLiteral("chunks of %1 bytes, which this Keynook does not read")
                              .arg(h.chunkSize));
        return false;
    }
    // Every chunk has a tag, so a file holds fewer plain bytes than it has;
    // the size it must have follows from the header, and a file cut between
    // two chunks, or with bytes added, has another.
    const auto plainSize = qFromLittleEndian<quint64>(file.data() + kPlainSizeAt);
    const bool record = h.version == v3::kVersion;
    const auto recordSize =
        record ? qFromLittleEndian<quint64>(file.data() + v3::kRecordSizeAt) : quint64(0);
    const quint64 chunks = chunkCount(plainSize, h.chunkSize);
    const quint64 tags = chunks + (record ? 1 : 0);
    const quint64 expected = quint64(headerSize) + tags * kTagSize + plainSize + recordSize;
    if (plainSize > quint64(file.size()) || recordSize > quint64(file.size()) ||
        expected != quint64(file.size())) {
        refused = refusal(Outcome::Damaged,
                          QStringLiteral("%1 bytes, where its header says %2")
                              .arg(file.size())
                              .arg(plainSize > quint64(file.size()) ? QStringLiteral("more")
                                                                    : QString::number(expected)));
        return false;
    }
    h.chunks = chunks;
    h.plainSize = static_cast<qsizetype>(plainSize);
    h.tags = file.sliced(headerSize, static_cast<qsizetype>(chunks) * kTagSize);
    h.cipherAt = headerSize + static_cast<qsizetype>(tags) * kTagSize;
    if (record) {
        h.recordTag = file.sliced(headerSize + h.tags.size(), kTagSize);
        h.recordSize = static_cast<qsizetype>(recordSize);
    }
    return true;
}

// Runs work(k) for every chunk k: on this thread alone for a small vault,
// else on as many threads as there are cores, up to a few. Each chunk is a
// message of its own, so the threads share nothing but the count. Returns
// false as soon as one work() has, leaving the chunks not yet begun.
constexpr unsigned kMostThreads = 4;
constexpr quint64 kBytesPerThread = 512 * 1024;

// Puts a helper on the other cores from the start. Left to the scheduler, a
// new thread here often waited behind its starter on the same core for the
// whole 2 ms of an opening, while the other core stayed idle.
void offThisCore(std::thread& helper) {
#if defined(__linux__)
    cpu_set_t allowed;
    const int here = sched_getcpu();
    if (here < 0 || here >= CPU_SETSIZE || sched_getaffinity(0, sizeof allowed, &allowed) != 0)
        return;
    CPU_CLR(here, &allowed);
    if (CPU_COUNT(&allowed) > 0)
        pthread_setaffinity_np(helper.native_handle(), sizeof allowed, &allowed);
#else
    (void)helper;
#endif
}

// Chunks opened in order are handed on with `ready(k)`, on this thread, as
// soon as every chunk up to k is done: this thread reads what is open while
// the others still decrypt, and decrypts itself when nothing is ready yet.
template <class Work, class Ready>
bool forEachChunk(quint64 chunks, quint64 bytes, const Work& work, const Ready& ready) {
    const quint64 threads = std::min<quint64>(
        {std::max(1u, std::min(std::thread::hardware_concurrency(), kMostThreads)), chunks,
         bytes / kBytesPerThread + 1});
    enum : quint8 { Pending, Done, Failed };
    std::unique_ptr<std::atomic<quint8>[]> state(new std::atomic<quint8>[chunks]);
    for (quint64 k = 0; k < chunks; ++k)
        state[k].store(Pending, std::memory_order_relaxed);
    std::atomic<quint64> next{0};
    std::atomic<bool> failed{false};
    // Takes the next chunk not yet begun, if any is left.
    const auto workOne = [&] {
        const quint64 k = next.fetch_add(1, std::memory_order_relaxed);
        if (k >= chunks)
            return false;
        const bool ok = !failed.load(std::memory_order_relaxed) && work(k);
        if (!ok)
            failed.store(true, std::memory_order_relaxed);
        state[k].store(ok ? Done : Failed, std::memory_order_release);
        state[k].notify_one();
        return true;
    };
    std::vector<std::thread> helpers;
    helpers.reserve(static_cast<size_t>(threads - 1));
    for (quint64 i = 1; i < threads; ++i) {
        // A thread the system will not give leaves its share to the others.
        try {
            helpers.emplace_back([&] {
                while (!failed.load(std::memory_order_relaxed) && workOne()) {
                }
            });
        } catch (const std::system_error&) {
            break;
        }
        offThisCore(helpers.back());
    }
    std::exception_ptr thrown;
    for (quint64 k = 0; k < chunks && !failed.load(std::memory_order_relaxed);) {
        const quint8 s = state[k].load(std::memory_order_acquire);
        if (s == Done) {
            try {
                ready(k++);
            } catch (...) {
                thrown = std::current_exception();
                failed.store(true, std::memory_order_relaxed);
            }
        } else if (s == Failed) {
            failed.store(true, std::memory_order_relaxed);
        } else if (!workOne()) {
            // Every chunk is begun: wait for the one due next.
            state[k].wait(Pending, std::memory_order_acquire);
        }
    }
    for (std::thread& t : helpers)
        t.join();
    if (thrown)
        std::rethrow_exception(thrown);
    return !failed.load();
}

// What binds chunk k to its place in its own file: the whole header (its
// random nonce makes it one save's alone), then k and the count, so no chunk
// moves, repeats or goes missing unnoticed.
// A version 3 file's record is the message at k = n.
struct ChunkData {
    unsigned char ad[v3::kHeaderSize + 16];
    size_t adSize;
    unsigned char nonce[kNonceSize];
    ChunkData(QByteArrayView header, QByteArrayView nonce0, quint64 k, quint64 chunks)
        : adSize(static_cast<size_t>(header.size()) + 16) {
        std::memcpy(ad, header.data(), static_cast<size_t>(header.size()));
        qToLittleEndian<quint64>(k, ad + header.size());
        qToLittleEndian<quint64>(chunks, ad + header.size() + 8);
        unsigned char step[kNonceSize] = {};
        qToLittleEndian<quint64>(k, step);
        std::memcpy(nonce, nonce0.data(), kNonceSize);
        sodium_add(nonce, step, kNonceSize);
    }
};

} // namespace

// Builds keys and reads their secret: the only code that touches it.
struct KeyAccess {
    // Derives the root key from the password, then the two subkeys, and keeps
    // only the encryption subkey and the check values.
    static SealKey derive(QStringView password, const SealParams& params, QByteArrayView salt,
                          QString& why) {
        // The password's UTF-8 bytes go straight into guarded memory, never
        // into a buffer of Qt's that would outlive this call (one byte more,
        // so that an empty password has a buffer too).
        QStringEncoder utf8(QStringEncoder::Utf8, QStringEncoder::Flag::Stateless);
        const qsizetype room = utf8.requiredSpace(password.size());
        SecretBuffer text(static_cast<size_t>(room) + 1);
        SecretBuffer root(kKeySize);
        SecretBuffer checkKey(kKeySize);
        SealKey key;
        key.m_secret = static_cast<unsigned char*>(sodium_malloc(kKeySize));
        if (!text.data || !root.data || !checkKey.data || !key.m_secret) {
            why = QStringLiteral("no memory for the key");
            return SealKey();
        }
        char* const end = utf8.appendToBuffer(reinterpret_cast<char*>(text.data), password);
        const auto textSize =
            static_cast<unsigned long long>(end - reinterpret_cast<char*>(text.data));
        if (crypto_pwhash(root.data, kKeySize, reinterpret_cast<const char*>(text.data), textSize,
                          bytesOf(salt), params.opsLimit, static_cast<size_t>(params.memLimit),
                          crypto_pwhash_ALG_ARGON2ID13) != 0) {
            why = QStringLiteral("the key derivation could not have its %1 of memory")
                      .arg(mib(params.memLimit));
            return SealKey();
        }
        crypto_kdf_derive_from_key(checkKey.data, kKeySize, kCheckSubkey, kSubkeyContext,
                                   root.data);
        crypto_kdf_derive_from_key(key.m_secret, kKeySize, kCipherSubkey, kSubkeyContext,
                                   root.data);
        sodium_mprotect_readonly(key.m_secret);
        key.m_params = params;
        std::memcpy(key.m_salt.data(), salt.data(), kSaltSize);
        // The check value covers the version byte, so each version has its own.
        const QByteArray prefix = headerPrefix(key, kVersion);
        crypto_generichash(key.m_check.data(), kCheckSize, bytesOf(prefix), kCheckAt, checkKey.data,
                           kKeySize);
        const QByteArray prefix1 = headerPrefix(key, v1::kVersion);
        crypto_generichash(key.m_checkVersion1.data(), kCheckSize, bytesOf(prefix1), kCheckAt,
                           checkKey.data, kKeySize);
        const QByteArray prefix3 = headerPrefix(key, v3::kVersion);
        crypto_generichash(key.m_checkVersion3.data(), kCheckSize, bytesOf(prefix3), kCheckAt,
                           checkKey.data, kKeySize);
        return key;
    }

    // The header's bytes up to the check value: the same for every save
    // under one key.
    static QByteArray headerPrefix(const SealKey& key, quint8 version) {
        QByteArray out(kCheckAt, Qt::Uninitialized);
        char* d = out.data();
        std::memcpy(d, kMagic, kMagicSize);
        d[kVersionAt] = static_cast<char>(version);
        d[kKdfAt] = static_cast<char>(kKdfArgon2id13);
        qToLittleEndian<quint64>(key.m_params.opsLimit, d + kOpsLimitAt);
        qToLittleEndian<quint64>(key.m_params.memLimit, d + kMemLimitAt);
        std::memcpy(d + kSaltAt, key.m_salt.data(), kSaltSize);
        return out;
    }

    static QByteArray seal(QByteArrayView plain, QByteArrayView record, const SealKey& key,
                           qsizetype chunkSize) {
        const bool withRecord = !record.isEmpty();
        const qsizetype headerSize = withRecord ? v3::kHeaderSize : kHeaderSize;
        const qsizetype checksumAt = withRecord ? v3::kChecksumAt : kChecksumAt;
        const auto plainSize = static_cast<quint64>(plain.size());
        const auto size = static_cast<quint64>(chunkSize);
        const quint64 chunks = chunkCount(plainSize, size);
        const quint64 tags = chunks + (withRecord ? 1 : 0);
        const qsizetype cipherAt = headerSize + static_cast<qsizetype>(tags) * kTagSize;
        QByteArray out = headerPrefix(key, withRecord ? v3::kVersion : kVersion);
        out.resize(cipherAt + plain.size() + record.size());
        auto* d = reinterpret_cast<unsigned char*>(out.data());
        std::memcpy(d + kCheckAt, (withRecord ? key.m_checkVersion3 : key.m_check).data(),
                    kCheckSize);
        randombytes_buf(d + kNonceAt, kNonceSize);
        qToLittleEndian<quint32>(static_cast<quint32>(size), d + kChunkSizeAt);
        qToLittleEndian<quint64>(plainSize, d + kPlainSizeAt);
        if (withRecord)
            qToLittleEndian<quint64>(static_cast<quint64>(record.size()), d + v3::kRecordSizeAt);
        crypto_generichash(d + checksumAt, kChecksumSize, d, checksumAt, nullptr, 0);
        const QByteArrayView header(out.constData(), headerSize);
        const QByteArrayView nonce0 = header.sliced(kNonceAt, kNonceSize);
        // On this thread alone: a save waits on the disk's sync far longer,
        // and threads bought nothing measurable there while their page
        // faults into the new buffer contend.
        for (quint64 k = 0; k < chunks; ++k) {
            const ChunkData c(header, nonce0, k, chunks);
            const quint64 at = k * size;
            crypto_aead_xchacha20poly1305_ietf_encrypt_detached(
                d + cipherAt + at, d + headerSize + k * kTagSize, nullptr, bytesOf(plain) + at,
                std::min(size, plainSize - at), c.ad, c.adSize, nullptr, c.nonce, key.m_secret);
        }
        if (withRecord) {
            const ChunkData c(header, nonce0, chunks, chunks);
            crypto_aead_xchacha20poly1305_ietf_encrypt_detached(
                d + cipherAt + plain.size(), d + headerSize + chunks * kTagSize, nullptr,
                bytesOf(record), static_cast<unsigned long long>(record.size()), c.ad, c.adSize,
                nullptr, c.nonce, key.m_secret);
        }
        return out;
    }

    // The check value and the decryption, under a header proved whole: into
    // `plain`, or, when it is null, in place in `file`, whose bytes the
    // header's views are. `told` hears of the plain bytes as they open.
    static Unsealed open(const Header& h, const SealKey& key, QByteArray* file,
                         const OpenedSoFar& told) {
        const auto& check = h.version == kVersion       ? key.m_check
                            : h.version == v3::kVersion ? key.m_checkVersion3
                                                        : key.m_checkVersion1;
        if (sodium_memcmp(h.check.data(), check.data(), kCheckSize) != 0)
            return refusal(Outcome::WrongPassword, QStringLiteral("the password does not fit"));
        Unsealed u;
        const unsigned char* cipher = bytesOf(h.whole) + h.cipherAt;
        unsigned char* plain = nullptr;
        if (file) {
            plain = reinterpret_cast<unsigned char*>(file->data()) + h.cipherAt;
        } else {
            u.plain = QByteArray(h.plainSize, Qt::Uninitialized);
            plain = reinterpret_cast<unsigned char*>(u.plain.data());
        }
        // Before a byte is decrypted, so that none is ever on a page that
        // may be swapped out; secrets::wipe() unlocks them.
        secrets::lockOutOfSwap(plain, h.plainSize);
        const auto plainSize = static_cast<quint64>(h.plainSize);
        const QByteArrayView plainBytes(reinterpret_cast<const char*>(plain), h.plainSize);
        const auto tell = [&](quint64 opened) {
            if (told)
                told(plainBytes, static_cast<qsizetype>(opened));
        };
        bool whole = false;
        try {
            if (h.version == v1::kVersion) {
                whole = crypto_aead_xchacha20poly1305_ietf_decrypt_detached(
                            plain, nullptr, cipher, plainSize, bytesOf(h.tags), bytesOf(h.whole),
                            v1::kHeaderSize, bytesOf(h.nonce), key.m_secret) == 0;
                if (whole)
                    tell(plainSize);
            } else {
                whole = forEachChunk(
                    h.chunks, plainSize,
                    [&](quint64 k) {
                        const ChunkData c(h.whole, h.nonce, k, h.chunks);
                        const quint64 at = k * h.chunkSize;
                        return crypto_aead_xchacha20poly1305_ietf_decrypt_detached(
                                   plain + at, nullptr, cipher + at,
                                   std::min(h.chunkSize, plainSize - at),
                                   bytesOf(h.tags) + k * kTagSize, c.ad, c.adSize, c.nonce,
                                   key.m_secret) == 0;
                    },
                    [&](quint64 k) { tell(std::min((k + 1) * h.chunkSize, plainSize)); });
            }
        } catch (...) {
            secrets::wipe(file ? *file : u.plain);
            throw;
        }
        if (whole && h.recordSize > 0) {
            const ChunkData c(h.whole, h.nonce, h.chunks, h.chunks);
            u.record = QByteArray(h.recordSize, Qt::Uninitialized);
            whole = crypto_aead_xchacha20poly1305_ietf_decrypt_detached(
                        reinterpret_cast<unsigned char*>(u.record.data()), nullptr,
                        cipher + plainSize, static_cast<unsigned long long>(h.recordSize),
                        bytesOf(h.recordTag), c.ad, c.adSize, c.nonce, key.m_secret) == 0;
            if (!whole)
                u.record.clear();
        }
        if (!whole) {
            // Chunks before the one that failed are open already.
            secrets::wipe(file ? *file : u.plain);
            return refusal(Outcome::Damaged,
                           QStringLiteral("the contents do not authenticate: damaged, or "
                                          "changed outside Keynook"));
        }
        if (file) {
            // The header and tags before the plain bytes go without a copy:
            // the array only starts further on.
            file->remove(0, h.cipherAt);
            file->truncate(h.plainSize);
            u.plain = std::move(*file);
        }
        u.outcome = Outcome::Ok;
        return u;
    }

    static bool sameKey(const Header& h, const SealKey& key) {
        return h.params == key.m_params && h.salt == key.salt();
    }
};

SealParams SealParams::defaults() {
    return SealParams{3, quint64(256) * 1024 * 1024};
}

ParamBounds ParamBounds::accepted() {
    return ParamBounds{SealParams{crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN},
                       SealParams{10, quint64(1024) * 1024 * 1024}};
}

SealKey::~SealKey() {
    sodium_free(m_secret);
}

SealKey::SealKey(SealKey&& other) noexcept
    : m_secret(std::exchange(other.m_secret, nullptr)), m_params(other.m_params),
      m_salt(other.m_salt), m_check(other.m_check), m_checkVersion1(other.m_checkVersion1),
      m_checkVersion3(other.m_checkVersion3) {}

SealKey& SealKey::operator=(SealKey&& other) noexcept {
    if (this != &other) {
        sodium_free(m_secret);
        m_secret = std::exchange(other.m_secret, nullptr);
        m_params = other.m_params;
        m_salt = other.m_salt;
        m_check = other.m_check;
        m_checkVersion1 = other.m_checkVersion1;
        m_checkVersion3 = other.m_checkVersion3;
    }
    return *this;
}

bool available() {
    // sodium_init() may run more than once and from any thread; once is enough.
    static const bool started = sodium_init() >= 0;
    return started;
}

bool isSealed(QByteArrayView file) {
    const QByteArrayView magic(kMagic, kMagicSize);
    return file.size() >= kMagicSize ? file.startsWith(magic)
                                     : !file.isEmpty() && magic.startsWith(file);
}

bool isSealedButForItsMagic(QByteArrayView file) {
    if (isSealed(file) || file.size() <= kVersionAt)
        return false;
    const auto version = static_cast<quint8>(file[kVersionAt]);
    const qsizetype checksumAt = version == kVersion       ? kChecksumAt
                                 : version == v3::kVersion ? v3::kChecksumAt
                                 : version == v1::kVersion ? v1::kChecksumAt
                                                           : 0;
    // Almost every plain vault ends here, without starting libsodium.
    if (checksumAt == 0 || file.size() < checksumAt + kChecksumSize || !available())
        return false;
    QByteArray header = file.first(checksumAt).toByteArray();
    std::memcpy(header.data(), kMagic, kMagicSize);
    unsigned char sum[kChecksumSize];
    crypto_generichash(sum, sizeof sum, bytesOf(header), static_cast<size_t>(checksumAt), nullptr,
                       0);
    return sodium_memcmp(sum, bytesOf(file) + checksumAt, kChecksumSize) == 0;
}

SealKey deriveKey(QStringView password, const SealParams& params, QString* why) {
    QString reason;
    SealKey key;
    if (!available()) {
        reason = QStringLiteral("libsodium did not start");
    } else if (!ParamBounds::accepted().admits(params)) {
        reason = QStringLiteral("%1 passes over %2 is outside what Keynook opens")
                     .arg(params.opsLimit)
                     .arg(mib(params.memLimit));
    } else {
        unsigned char salt[kSaltSize];
        randombytes_buf(salt, sizeof salt);
        key = KeyAccess::derive(password, params,
                                QByteArrayView(reinterpret_cast<const char*>(salt), kSaltSize),
                                reason);
    }
    if (why)
        *why = reason;
    return key;
}

QByteArray seal(QByteArrayView plain, const SealKey& key, qsizetype chunkSize) {
    if (key.isNull() || chunkSize < 1 || chunkSize > kMaxChunkSize)
        return {};
    return KeyAccess::seal(plain, {}, key, chunkSize);
}

QByteArray sealWithRecord(QByteArrayView plain, QByteArrayView record, const SealKey& key,
                          qsizetype chunkSize) {
    if (key.isNull() || chunkSize < 1 || chunkSize > kMaxChunkSize)
        return {};
    return KeyAccess::seal(plain, record, key, chunkSize);
}

namespace {

// unseal() and unsealWithKey(), on a file read where it lies or, with
// `owned`, opened in place in the array that holds it.
Unsealed damagedMagic() {
    return refusal(Outcome::Damaged, QStringLiteral("its first bytes were changed"));
}

Unsealed unsealFile(QByteArrayView file, QByteArray* owned, QStringView password,
                    const ParamBounds& bounds, const OpenedSoFar& told) {
    if (isSealedButForItsMagic(file))
        return damagedMagic();
    if (!isSealed(file))
        return refusal(Outcome::NotSealed, {});
    if (!available())
        return refusal(Outcome::CannotDerive, QStringLiteral("libsodium did not start"));
    Header h;
    Unsealed refused;
    if (!readHeader(file, h, refused))
        return refused;
    if (!bounds.admits(h.params))
        return refusal(Outcome::ParametersRefused, refusedParams(h.params, bounds));
    QString why;
    SealKey key = KeyAccess::derive(password, h.params, h.salt, why);
    if (key.isNull())
        return refusal(Outcome::CannotDerive, why);
    Unsealed u = KeyAccess::open(h, key, owned, told);
    if (u.ok())
        u.key = std::move(key);
    return u;
}

Unsealed unsealFileWithKey(QByteArrayView file, QByteArray* owned, const SealKey& key,
                           const OpenedSoFar& told) {
    if (isSealedButForItsMagic(file))
        return damagedMagic();
    if (!isSealed(file))
        return refusal(Outcome::NotSealed, {});
    if (key.isNull())
        return refusal(Outcome::CannotDerive, QStringLiteral("no key"));
    Header h;
    Unsealed refused;
    if (!readHeader(file, h, refused))
        return refused;
    if (!KeyAccess::sameKey(h, key))
        return refusal(Outcome::WrongPassword,
                       QStringLiteral("sealed under another key since it was opened"));
    return KeyAccess::open(h, key, owned, told);
}

// Takes the file's bytes into an array of their own, shared with no one, so
// that opening them in place changes no other holder's copy.
template <class Open> Unsealed inPlace(QByteArray&& file, const Open& open) {
    QByteArray own = std::move(file);
    own.detach();
    Unsealed u = open(QByteArrayView(own), &own);
    if (!u.ok())
        secrets::wipe(own);
    return u;
}

} // namespace

Unsealed unseal(QByteArrayView file, QStringView password, const ParamBounds& bounds) {
    return unsealFile(file, nullptr, password, bounds, {});
}

Unsealed unseal(QByteArray&& file, QStringView password, const ParamBounds& bounds,
                const OpenedSoFar& told) {
    return inPlace(std::move(file), [&](QByteArrayView bytes, QByteArray* own) {
        return unsealFile(bytes, own, password, bounds, told);
    });
}

Unsealed unsealWithKey(QByteArrayView file, const SealKey& key) {
    return unsealFileWithKey(file, nullptr, key, {});
}

Unsealed unsealWithKey(QByteArray&& file, const SealKey& key, const OpenedSoFar& told) {
    return inPlace(std::move(file), [&](QByteArrayView bytes, QByteArray* own) {
        return unsealFileWithKey(bytes, own, key, told);
    });
}

} // namespace sealedvault
