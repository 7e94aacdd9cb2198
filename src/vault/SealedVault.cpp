#include "vault/SealedVault.h"

#include <QStringEncoder>
#include <QtEndian>

#include <sodium.h>

#include <cstring>
#include <utility>

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
              kChecksumAt == kNonceAt + kNonceSize && kHeaderSize == kChecksumAt + kChecksumSize);

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

// The header as read, once its checksum holds.
struct Header {
    SealParams params;
    QByteArrayView salt;
    QByteArrayView check;
    QByteArrayView nonce;
    QByteArrayView whole;
    QByteArrayView ciphertext;
};

// Reads the header and proves it whole. Everything that fails here is damage:
// nothing about the password is known yet, and no derivation has run.
bool readHeader(QByteArrayView file, Header& h, Unsealed& refused) {
    if (file.size() < kHeaderSize + kTagSize) {
        refused =
            refusal(Outcome::Damaged,
                    QStringLiteral("cut short: %1 bytes, where a sealed vault has at least %2")
                        .arg(file.size())
                        .arg(kHeaderSize + kTagSize));
        return false;
    }
    const auto version = static_cast<quint8>(file[kVersionAt]);
    if (version != kVersion) {
        refused = refusal(
            Outcome::Damaged,
            QStringLiteral("format version %1, which this Keynook does not know").arg(version));
        return false;
    }
    unsigned char sum[kChecksumSize];
    crypto_generichash(sum, sizeof sum, bytesOf(file), kChecksumAt, nullptr, 0);
    if (sodium_memcmp(sum, bytesOf(file) + kChecksumAt, kChecksumSize) != 0) {
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
    h.whole = file.first(kHeaderSize);
    h.ciphertext = file.sliced(kHeaderSize);
    return true;
}

} // namespace

// Builds keys and reads their secret: the only code that touches it.
struct KeyAccess {
    // Derives the root key from the password, then the two subkeys, and keeps
    // only the encryption subkey and the check value.
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
        QByteArray prefix = headerPrefix(key);
        crypto_generichash(key.m_check.data(), kCheckSize, bytesOf(prefix), kCheckAt, checkKey.data,
                           kKeySize);
        return key;
    }

    // The header's bytes up to the check value: the same for every save
    // under one key.
    static QByteArray headerPrefix(const SealKey& key) {
        QByteArray out(kCheckAt, Qt::Uninitialized);
        char* d = out.data();
        std::memcpy(d, kMagic, kMagicSize);
        d[kVersionAt] = static_cast<char>(kVersion);
        d[kKdfAt] = static_cast<char>(kKdfArgon2id13);
        qToLittleEndian<quint64>(key.m_params.opsLimit, d + kOpsLimitAt);
        qToLittleEndian<quint64>(key.m_params.memLimit, d + kMemLimitAt);
        std::memcpy(d + kSaltAt, key.m_salt.data(), kSaltSize);
        return out;
    }

    static QByteArray seal(QByteArrayView plain, const SealKey& key) {
        QByteArray out = headerPrefix(key);
        out.resize(kHeaderSize + plain.size() + kTagSize);
        auto* d = reinterpret_cast<unsigned char*>(out.data());
        std::memcpy(d + kCheckAt, key.m_check.data(), kCheckSize);
        randombytes_buf(d + kNonceAt, kNonceSize);
        crypto_generichash(d + kChecksumAt, kChecksumSize, d, kChecksumAt, nullptr, 0);
        unsigned long long written = 0;
        crypto_aead_xchacha20poly1305_ietf_encrypt(d + kHeaderSize, &written, bytesOf(plain),
                                                   static_cast<unsigned long long>(plain.size()), d,
                                                   kHeaderSize, nullptr, d + kNonceAt,
                                                   key.m_secret);
        return out;
    }

    // The check value and the decryption, under a header proved whole.
    static Unsealed open(const Header& h, const SealKey& key) {
        if (sodium_memcmp(h.check.data(), key.m_check.data(), kCheckSize) != 0)
            return refusal(Outcome::WrongPassword, QStringLiteral("the password does not fit"));
        Unsealed u;
        u.plain = QByteArray(h.ciphertext.size() - kTagSize, Qt::Uninitialized);
        unsigned long long size = 0;
        if (crypto_aead_xchacha20poly1305_ietf_decrypt(
                reinterpret_cast<unsigned char*>(u.plain.data()), &size, nullptr,
                bytesOf(h.ciphertext), static_cast<unsigned long long>(h.ciphertext.size()),
                bytesOf(h.whole), kHeaderSize, bytesOf(h.nonce), key.m_secret) != 0) {
            wipe(u.plain);
            return refusal(Outcome::Damaged,
                           QStringLiteral("the contents do not authenticate: damaged, or "
                                          "changed outside Keynook"));
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
      m_salt(other.m_salt), m_check(other.m_check) {}

SealKey& SealKey::operator=(SealKey&& other) noexcept {
    if (this != &other) {
        sodium_free(m_secret);
        m_secret = std::exchange(other.m_secret, nullptr);
        m_params = other.m_params;
        m_salt = other.m_salt;
        m_check = other.m_check;
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

QByteArray seal(QByteArrayView plain, const SealKey& key) {
    if (key.isNull())
        return {};
    return KeyAccess::seal(plain, key);
}

Unsealed unseal(QByteArrayView file, QStringView password, const ParamBounds& bounds) {
    if (!isSealed(file))
        return refusal(Outcome::NotSealed, {});
    if (!available())
        return refusal(Outcome::CannotDerive, QStringLiteral("libsodium did not start"));
    Header h;
    Unsealed refused;
    if (!readHeader(file, h, refused))
        return refused;
    if (!bounds.admits(h.params))
        return refusal(Outcome::ParametersRefused,
                       QStringLiteral("the key derivation asks for %1 passes over %2; this "
                                      "Keynook goes to %3 passes over %4")
                           .arg(h.params.opsLimit)
                           .arg(mib(h.params.memLimit))
                           .arg(bounds.most.opsLimit)
                           .arg(mib(bounds.most.memLimit)));
    QString why;
    SealKey key = KeyAccess::derive(password, h.params, h.salt, why);
    if (key.isNull())
        return refusal(Outcome::CannotDerive, why);
    Unsealed u = KeyAccess::open(h, key);
    if (u.ok())
        u.key = std::move(key);
    return u;
}

Unsealed unsealWithKey(QByteArrayView file, const SealKey& key) {
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
    return KeyAccess::open(h, key);
}

void wipe(QByteArray& secret) {
    if (!secret.isEmpty())
        sodium_memzero(secret.data(), static_cast<size_t>(secret.size()));
    secret.clear();
}

} // namespace sealedvault
