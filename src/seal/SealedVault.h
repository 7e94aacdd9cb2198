#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>
#include <QtGlobal>

#include <array>
#include <functional>

// A sealed vault: data.enc as a small header followed by the authenticated
// encryption of exactly the bytes the plain form would hold for the same
// vault. The plain form stays the default; sealing is chosen per vault. What
// the vault holds, and how those bytes read, does not change: unsealing gives
// back the plain form's bytes and everything else reads them as before.
//
// The key comes from the master password through Argon2id; the file holds the
// derivation's parameters and salt, so a file sealed with stronger settings
// still opens. Opening tells three failures apart: a file damaged or changed
// outside Keynook, a wrong password, and a header that asks for a derivation
// too costly to attempt. Every primitive is libsodium's.
//
// Layout (docs/ARCHITECTURE.md, "Sealed vaults"); numbers are little-endian.
// Version 2, what Keynook writes: the plain bytes in chunks, each its own
// XChaCha20-Poly1305 message, so that the cores open a large vault together,
// and the tags apart from the ciphertext, so that the ciphertext opens in
// place into exactly the plain bytes:
//
//   offset size
//        0    9  magic 80 4B 4E 53 45 41 4C 0D 00
//        9    1  format version, 2
//       10    1  key derivation, 1: Argon2id version 1.3
//       11    8  opslimit (passes)
//       19    8  memlimit (bytes)
//       27   16  salt, random at every new key
//       43   32  check value: keyed BLAKE2b of bytes 0..42 under a subkey
//       75   24  nonce, random at every save; chunk k's nonce is this one
//                plus k (libsodium's sodium_add, little-endian)
//       99    4  chunk size C: plain bytes per chunk, the last one may hold fewer
//      103    8  plain size P
//      111   32  header checksum: BLAKE2b of bytes 0..110, no key
//      143 16*n  the tags of the n chunks in order, n = ceil(P / C), at least 1
//  143+16n    P  the ciphertext of the plain bytes, chunk k being bytes
//                k*C up to (k+1)*C of it; its associated data is bytes 0..142,
//                then k and n as 8 bytes each
//
// Version 3, written when the vault carries a record of what it has seen
// (sync/): the same up to the plain size, then
//      111    8  record size R
//      119   32  header checksum: BLAKE2b of bytes 0..118, no key
//      151 16*(n+1)  the tags of the n chunks, then the record's
//  151+16(n+1) P  the chunks' ciphertext as in version 2 (associated data:
//                bytes 0..150, then k and n)
//         ...    R  the record's ciphertext, one message whose associated
//                data is bytes 0..150, then n and n, and whose nonce is the
//                first one plus n: a place no chunk has
// A vault without a record is written in version 2, byte for byte as before.
//
// Version 1, still opened: the same header up to the nonce, the checksum at
// 99 over bytes 0..98, and from 131 one ciphertext of the plain bytes
// followed by its tag, with bytes 0..130 as associated data.
namespace sealedvault {

namespace layout {
// No file that Keynook writes in the plain form starts with these bytes, nor
// is a beginning of them: the plain form's first line ends in CR LF, and the
// magic's CR is followed by a NUL (docs/ARCHITECTURE.md tells why).
inline constexpr char kMagic[9] = {'\x80', 'K', 'N', 'S', 'E', 'A', 'L', '\r', '\0'};
inline constexpr qsizetype kMagicSize = sizeof kMagic;
inline constexpr qsizetype kVersionAt = 9;
inline constexpr qsizetype kKdfAt = 10;
inline constexpr qsizetype kOpsLimitAt = 11;
inline constexpr qsizetype kMemLimitAt = 19;
inline constexpr qsizetype kSaltAt = 27;
inline constexpr qsizetype kSaltSize = 16;
inline constexpr qsizetype kCheckAt = 43;
inline constexpr qsizetype kCheckSize = 32;
inline constexpr qsizetype kNonceAt = 75;
inline constexpr qsizetype kNonceSize = 24;
inline constexpr qsizetype kChunkSizeAt = 99;
inline constexpr qsizetype kPlainSizeAt = 103;
inline constexpr qsizetype kChecksumAt = 111;
inline constexpr qsizetype kChecksumSize = 32;
inline constexpr qsizetype kHeaderSize = 143;
inline constexpr qsizetype kTagSize = 16;
inline constexpr quint8 kVersion = 2;
// The version whose file carries a record beside the plain bytes.
namespace v3 {
inline constexpr quint8 kVersion = 3;
inline constexpr qsizetype kRecordSizeAt = 111;
inline constexpr qsizetype kChecksumAt = 119;
inline constexpr qsizetype kHeaderSize = 151;
} // namespace v3
inline constexpr quint8 kKdfArgon2id13 = 1;
// Large enough that a chunk's own costs (its subkey, its tag's start) are
// lost in its bytes, small enough that a vault of some megabytes has chunks
// for every core and none waits long for the last.
inline constexpr qsizetype kDefaultChunkSize = 256 * 1024;
// What a reader accepts; a writer may choose any size from 1 to this.
inline constexpr qsizetype kMaxChunkSize = 64 * 1024 * 1024;

// The chunks of P plain bytes: an empty vault still has one, so that every
// file carries a tag over its header.
constexpr quint64 chunkCount(quint64 plainSize, quint64 chunkSize) {
    return plainSize == 0 ? 1 : (plainSize - 1) / chunkSize + 1;
}

namespace v1 {
inline constexpr quint8 kVersion = 1;
inline constexpr qsizetype kChecksumAt = 99;
inline constexpr qsizetype kHeaderSize = 131;
} // namespace v1
} // namespace layout

// How costly the key derivation is: Argon2id passes and memory in bytes.
struct SealParams {
    quint64 opsLimit = 0;
    quint64 memLimit = 0;
    // What a new sealed vault gets: 3 passes over 256 MiB, about half a
    // second on the machine this was measured on (bench/bench_seal.cpp).
    static SealParams defaults();
    friend bool operator==(const SealParams&, const SealParams&) = default;
};

// The derivations a reader will attempt. A header is read before anything
// proves who wrote it: without a bound, a file could ask for a terabyte.
struct ParamBounds {
    SealParams least;
    SealParams most;
    bool admits(const SealParams& p) const {
        return p.opsLimit >= least.opsLimit && p.opsLimit <= most.opsLimit &&
               p.memLimit >= least.memLimit && p.memLimit <= most.memLimit;
    }
    // What Keynook opens and seals with: from libsodium's least to 10 passes
    // over 1 GiB, room for four times today's memory and three times its
    // passes, while a hostile header costs some seconds at most.
    static ParamBounds accepted();
};

// A key derived from a master password, with the salt and parameters it was
// derived with, so that every later save seals under it without the password.
// The secret lives in libsodium's guarded, locked memory, read-only once made,
// and is wiped when the key goes. Move-only: there is one copy of it.
class SealKey {
public:
    SealKey() = default;
    ~SealKey();
    SealKey(SealKey&& other) noexcept;
    SealKey& operator=(SealKey&& other) noexcept;
    SealKey(const SealKey&) = delete;
    SealKey& operator=(const SealKey&) = delete;

    bool isNull() const { return m_secret == nullptr; }
    const SealParams& params() const { return m_params; }
    QByteArrayView salt() const {
        return QByteArrayView(reinterpret_cast<const char*>(m_salt.data()), layout::kSaltSize);
    }

private:
    friend struct KeyAccess;
    unsigned char* m_secret = nullptr; // the encryption subkey, in sodium_malloc memory
    SealParams m_params;
    std::array<unsigned char, layout::kSaltSize> m_salt{};
    // Not secret: the file's check values for this key, salt and parameters,
    // in a file of the version written and in one of version 1.
    std::array<unsigned char, layout::kCheckSize> m_check{};
    std::array<unsigned char, layout::kCheckSize> m_checkVersion1{};
    std::array<unsigned char, layout::kCheckSize> m_checkVersion3{};
};

enum class Outcome {
    Ok,
    NotSealed,         // not a sealed vault: read it as the plain form
    Damaged,           // changed since it was sealed, or cut short
    WrongPassword,     // the header is whole, and the password does not fit it
    ParametersRefused, // the header is whole, and asks for a derivation outside the bounds
    CannotDerive,      // the derivation's memory, or libsodium itself, is not to be had
};

struct Unsealed {
    Outcome outcome = Outcome::NotSealed;
    QString reason; // what was found, for a person; empty when Ok
    // The vault's bytes in the plain form. They hold every password of the
    // vault: hand them on by moving, and wipe them (secrets::wipe()) when
    // they are done with. Until then they are locked out of swap, as far as
    // the user's locked-memory limit (RLIMIT_MEMLOCK) allows.
    QByteArray plain;
    // What the file carries beside the plain bytes (version 3), opaque here:
    // the record of what this copy has seen. Empty for a file without one.
    QByteArray record;
    // From unseal(): the key every later save of this vault seals with.
    SealKey key;
    bool ok() const { return outcome == Outcome::Ok; }
};

// True once libsodium has started; every function below starts it.
bool available();

// True when `file` is to be opened as a sealed vault: it starts with the magic,
// or is a non-empty beginning of it (a sealed file cut short). No file that
// Keynook writes in the plain form is either.
bool isSealed(QByteArrayView file);

// True when `file` is a sealed vault whose magic was damaged: it does not
// start with the magic, but with the magic put back its header's checksum
// holds. A plain file that did so would have to match a BLAKE2b checksum of
// its own first bytes by chance, so such a file is refused as damaged rather
// than read in the plain form (where its first line would be taken for a
// master password that no one has).
bool isSealedButForItsMagic(QByteArrayView file);

// A new key for `password` (its UTF-8 bytes exactly), with a fresh random
// salt. Null, with the reason in `why`, when the parameters are outside
// ParamBounds::accepted() or the derivation cannot run.
SealKey deriveKey(QStringView password, const SealParams& params = SealParams::defaults(),
                  QString* why = nullptr);

// The sealed file of `plain` under `key`, with a fresh random nonce, so two
// seals of the same bytes differ. Empty only for a null key or a chunk size
// outside 1 to layout::kMaxChunkSize (tests choose small ones).
QByteArray seal(QByteArrayView plain, const SealKey& key,
                qsizetype chunkSize = layout::kDefaultChunkSize);
// The same carrying `record` beside the plain bytes, encrypted and
// authenticated with them (version 3); an empty record gives seal()'s file.
QByteArray sealWithRecord(QByteArrayView plain, QByteArrayView record, const SealKey& key,
                          qsizetype chunkSize = layout::kDefaultChunkSize);

// Hears, on the thread that opens a sealed vault, how far its plain bytes are
// open: `plain` is all of them, of which the first `opened` are decrypted and
// proved whole, while the rest may still be opening on other cores and must
// not be read. Told with growing `opened`, all of them last; when a later
// chunk fails, the opening is Damaged and every byte told of is wiped. What
// it throws ends the opening (the bytes wiped) and reaches the caller.
using OpenedSoFar = std::function<void(QByteArrayView plain, qsizetype opened)>;

// Opens a sealed file with the master password: the header's checksum first
// (a damaged header is never taken for a wrong password, and costs no
// derivation), then its parameters against `bounds`, then the derivation, the
// check value, and the decryption.
Unsealed unseal(QByteArrayView file, QStringView password,
                const ParamBounds& bounds = ParamBounds::accepted());
// The same, taking the file's bytes: the ciphertext is opened where it lies,
// so the vault is never in memory twice, and `plain` is that same buffer.
// When opening fails the bytes are wiped, whatever of them was opened.
Unsealed unseal(QByteArray&& file, QStringView password,
                const ParamBounds& bounds = ParamBounds::accepted(), const OpenedSoFar& told = {});

// The same with a key already derived, as after a save: a file sealed under
// another key (another salt or parameters, a changed password) is
// WrongPassword. The result holds no key; the caller keeps its own.
Unsealed unsealWithKey(QByteArrayView file, const SealKey& key);
// The same, taking the file's bytes and opening them in place, as above.
Unsealed unsealWithKey(QByteArray&& file, const SealKey& key, const OpenedSoFar& told = {});

} // namespace sealedvault
