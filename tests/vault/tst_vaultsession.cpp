// The vault session on real files: the life of one vault from its creation
// to a save, as the window and the command line go through it.
#include "VaultTestSupport.h"

#include "seal/SealedVault.h"
#include "vault/CryptText.h"
#include "vault/VaultFile.h"
#include "vault/VaultFormat.h"
#include "vault/VaultLock.h"
#include "vault/VaultSession.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

using Failure = VaultSession::Failure;

QByteArray line(QByteArray plain) {
    return CryptText(plain) + "\r\n";
}

// Every byte a save writes, whichever file it goes to.
QByteArray g_written;

ssize_t recordingWrite(int fd, const void* data, size_t size) {
    g_written.append(static_cast<const char*>(data), static_cast<qsizetype>(size));
    return ::write(fd, data, size);
}

struct HooksReset {
    ~HooksReset() { vaultfile::saveHooks() = vaultfile::SaveHooks{}; }
};

// A text as a file may hold it: as UTF-8, in Windows-1252, and either of
// those under the plain form's cipher.
std::vector<QByteArray> formsOf(const QString& text) {
    std::vector<QByteArray> forms = {text.toUtf8(), vaultformat::encodeField(text)};
    for (QByteArray plain : {forms[0], forms[1]})
        forms.push_back(CryptText(plain)); // ciphers its own copy in place
    return forms;
}

} // namespace

TEST(VaultSession, FromANewVaultToASaveWithOneWriterAtATime) {
    QTemporaryDir dir;
    const QString path = dir.filePath("data.enc");

    VaultSession first(path);
    ASSERT_TRUE(first.open().ok());
    EXPECT_EQ(testsupport::fileBytes(path), QByteArray("\r\n")); // created as never used
    EXPECT_TRUE(first.storedPassword().isEmpty());
    EXPECT_FALSE(first.verify(QString()));

    // While one session holds the vault, no other opens it.
    VaultSession second(path);
    EXPECT_EQ(second.open().failure, Failure::Locked);

    // Entry lines behind an empty first line survive the new master password.
    first.releaseLock();
    testsupport::writeBytes(path, "\r\n" + line("u|||p|||l") + "\r\n");
    VaultSession creator(path);
    ASSERT_TRUE(creator.open().ok());
    EntryStore kept;
    ASSERT_TRUE(creator.createMaster(QStringLiteral("master"), kept).ok());
    EXPECT_EQ(testsupport::fileBytes(path), line("master") + line("u|||p|||l") + "\r\n");
    ASSERT_EQ(kept.size(), size_t(1));
    EXPECT_EQ(kept.field(0, EntryStore::Password), QStringLiteral("p"));
    EXPECT_TRUE(creator.verify(QStringLiteral("master")));
    EXPECT_FALSE(creator.verify(QStringLiteral("Master")));

    // A change made by another program is noticed before the next save.
    EXPECT_FALSE(creator.changedOutside());
    testsupport::writeBytes(path, line("master") + line("x|||y|||z") + "\r\n");
    EXPECT_TRUE(creator.changedOutside());
    EntryStore entries;
    ASSERT_TRUE(creator.loadEntries(entries).ok());
    EXPECT_FALSE(creator.changedOutside());
    entries.append(Entry{QStringLiteral("new"), QStringLiteral("pw"), QString()});
    QByteArray file = line("master");
    for (size_t s = 0; s < entries.size(); ++s)
        file += entries.line(s).toByteArray() + "\r\n";
    file += "\r\n";
    ASSERT_TRUE(creator.save(file).ok());
    EXPECT_EQ(testsupport::fileBytes(path),
              line("master") + line("x|||y|||z") + line("new|||pw|||") + "\r\n");
    EXPECT_FALSE(creator.changedOutside());
}

// A vault in a synced folder: while a session holds it, the folder holds
// nothing but the vault, so a sync engine carries no lock to another
// computer. A Keynook from before locked beside the vault: while one holds
// that lock the vault stays taken; left behind here it is removed, brought
// from another computer it is left to that computer.
TEST(VaultSession, TheLockStaysOutOfTheVaultsFolderAndRespectsTheEarlierOne) {
    QTemporaryDir dir;
    const QString path = dir.filePath("data.enc");
    testsupport::writeBytes(path, line("master") + "\r\n");
    const QString earlier = dir.filePath(".data.enc.lock");
    const auto files = [&] { return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden); };
    struct Case {
        const char* held; // by this computer's earlier Keynook, or not
        QByteArray says;
        Failure opened;
        bool kept;
    };
    for (const Case& c : {Case{"held", "4242\nkeynook\n\n", Failure::Locked, true},
                          Case{"left here", "4242\nkeynook\n\n", Failure::None, false},
                          Case{"from elsewhere", "4242\nkeynook\nlaptop\n", Failure::None, true},
                          Case{"none", QByteArray(), Failure::None, false}}) {
        SCOPED_TRACE(c.held);
        int fd = -1;
        if (!c.says.isNull()) {
            testsupport::writeBytes(earlier, c.says);
            fd = ::open(QFile::encodeName(earlier).constData(), O_RDONLY | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            if (QByteArray(c.held) == "held") {
                ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
            }
        }
        VaultSession session(path);
        const VaultSession::Status opened = session.open();
        EXPECT_EQ(opened.failure, c.opened);
        if (opened.failure == Failure::Locked) {
            EXPECT_EQ(opened.why, QStringLiteral("keynook, process 4242"));
        }
        EXPECT_EQ(QFile::exists(earlier), c.kept);
        QStringList expected{QStringLiteral("data.enc")};
        if (c.kept)
            expected.prepend(QStringLiteral(".data.enc.lock"));
        EXPECT_EQ(files(), expected);
        if (opened.ok()) {
            EXPECT_TRUE(session.holdsLock());
            EXPECT_TRUE(QFile::exists(QFile::decodeName(
                VaultLock::pathFor(vaultfile::realFilePath(path), VaultLock::defaultFolder()))));
            ASSERT_TRUE(session.save(line("master") + line("u|||p|||") + "\r\n").ok());
            EXPECT_EQ(files(), expected); // no temporary file left either
        }
        if (fd >= 0)
            ::close(fd);
        QFile::remove(earlier);
    }
}

// A sealed vault through the session: sealed from its plain bytes, saved
// under its key with a fresh nonce, its password changed under a new key,
// and unsealed to the bytes it held. Until it is unsealed, nothing written
// holds a password in any readable form, temporary files included. Keys cost
// the least libsodium allows: the defaults are the product's, and
// tst_sealedvault's stored sample proves them.
TEST(VaultSession, ASealedVaultStaysSealedThroughSavesAndAPasswordChange) {
    HooksReset reset;
    QTemporaryDir dir;
    const QString path = dir.filePath("data.enc");
    const sealedvault::SealParams cheap = sealedvault::ParamBounds::accepted().least;
    const QString master = QStringLiteral("first master 1");
    const QString newMaster = QStringLiteral("second master 2");
    const std::vector<Entry> entries = {{"me", "entry secret 1", "example.org"},
                                        {"you", "entry s\u00e9cret|||2", ""}};
    const QByteArray plain = vaultformat::savedFile(master, entries);
    testsupport::writeBytes(path, plain);

    VaultSession session(path);
    ASSERT_TRUE(session.open().ok());
    EXPECT_EQ(session.seal(QStringLiteral("not it"), cheap).failure, Failure::WrongPassword);
    EXPECT_EQ(testsupport::fileBytes(path), plain);

    g_written.clear();
    vaultfile::saveHooks().write = recordingWrite;
    ASSERT_TRUE(session.seal(master, cheap).ok());
    const QByteArray sealed = testsupport::fileBytes(path);
    EXPECT_EQ(sealedvault::unseal(sealed, master).plain, plain);

    // A save keeps the key (bytes 0 to 74) and draws a new nonce.
    std::vector<Entry> more = entries;
    more.push_back({"new", "entry secret 3", "x"});
    const QByteArray saved = vaultformat::savedFile(master, more);
    ASSERT_TRUE(session.save(saved).ok());
    const QByteArray resealed = testsupport::fileBytes(path);
    EXPECT_EQ(resealed.first(sealedvault::layout::kNonceAt),
              sealed.first(sealedvault::layout::kNonceAt));
    EXPECT_NE(resealed.sliced(sealedvault::layout::kNonceAt, sealedvault::layout::kNonceSize),
              sealed.sliced(sealedvault::layout::kNonceAt, sealedvault::layout::kNonceSize));
    EXPECT_EQ(sealedvault::unseal(resealed, master).plain, saved);

    // A new password: a new salt at the same cost; the old one opens nothing.
    ASSERT_TRUE(session.changeMaster(newMaster).ok());
    const QByteArray changed = testsupport::fileBytes(path);
    EXPECT_NE(changed.sliced(sealedvault::layout::kSaltAt, sealedvault::layout::kSaltSize),
              sealed.sliced(sealedvault::layout::kSaltAt, sealedvault::layout::kSaltSize));
    EXPECT_EQ(sealedvault::unseal(changed, master).outcome, sealedvault::Outcome::WrongPassword);
    sealedvault::Unsealed opened = sealedvault::unseal(changed, newMaster);
    EXPECT_EQ(opened.plain, vaultformat::withMasterLine(newMaster, saved));
    EXPECT_EQ(opened.key.params(), cheap);
    EXPECT_EQ(session.storedPassword(), newMaster);

    ASSERT_FALSE(g_written.isEmpty());
    for (const QString& secret :
         {master, newMaster, entries[0].password, entries[1].password, more[2].password})
        for (const QByteArray& form : formsOf(secret))
            EXPECT_FALSE(g_written.contains(form)) << secret.toStdString();

    // A session that never unlocked the vault has no key to save it with.
    session.releaseLock();
    {
        VaultSession other(path);
        ASSERT_TRUE(other.open().ok());
        ASSERT_TRUE(other.sealed());
        EXPECT_EQ(other.save(saved).failure, Failure::WrongPassword);
        EXPECT_EQ(other.changeMaster(master).failure, Failure::WrongPassword);
        EXPECT_EQ(testsupport::fileBytes(path), changed);
    }
    // Another that opens it has its entries read while it opens, and reads
    // them again with the key kept since.
    {
        VaultSession reader(path);
        ASSERT_TRUE(reader.open().ok());
        EXPECT_EQ(reader.unlock(master).failure, Failure::WrongPassword);
        ASSERT_TRUE(reader.unlock(newMaster).ok());
        for (int load = 0; load < 2; ++load) {
            EntryStore loaded;
            ASSERT_TRUE(reader.loadEntries(loaded).ok()) << load;
            ASSERT_EQ(loaded.size(), more.size());
            for (size_t i = 0; i < more.size(); ++i)
                EXPECT_EQ(loaded.entry(i), more[i]) << load;
            EXPECT_EQ(reader.masterLineAsRead(), vaultformat::encodeMasterLine(newMaster));
        }
    }

    ASSERT_TRUE(session.unseal().ok());
    EXPECT_EQ(testsupport::fileBytes(path), vaultformat::withMasterLine(newMaster, saved));
    EXPECT_FALSE(session.sealed());
}

// A session put away while its person is gone, for either form: what the
// window kept comes back sealed, in no readable form of any secret, and the
// session holds neither key nor master password, so it saves nothing; only
// the master password takes it back, to the same key and the same bytes.
TEST(VaultSession, PutAwayKeepsOnlyASealedCopyThatTheMasterPasswordTakesBack) {
    const sealedvault::SealParams cheap = sealedvault::ParamBounds::accepted().least;
    const QString master = QStringLiteral("away m\u00e4ster 7");
    const std::vector<Entry> entries = {{"me", "away secret 1", "example.org"},
                                        {"you", "away s\u00e9cret 2", ""}};
    const QByteArray plain = vaultformat::savedFile(master, entries);
    for (const bool sealed : {false, true}) {
        SCOPED_TRACE(sealed ? "sealed" : "plain");
        QTemporaryDir dir;
        const QString path = dir.filePath("data.enc");
        testsupport::writeBytes(path, plain);
        VaultSession session(path);
        ASSERT_TRUE(session.open().ok());
        if (sealed) {
            ASSERT_TRUE(session.seal(master, cheap).ok());
            ASSERT_TRUE(session.unlock(master).ok());
        }
        const QByteArray file = testsupport::fileBytes(path);
        // The window's list, which may differ from the file: one entry more.
        const QByteArray kept =
            plain + vaultformat::encodeEntryLine({"new", "away secret 3", ""}) + "\r\n";

        const QByteArray copy = session.putAway(kept, cheap);
        ASSERT_FALSE(copy.isEmpty());
        EXPECT_TRUE(session.away());
        EXPECT_TRUE(session.putAway(kept, cheap).isEmpty()) << "put away twice";
        for (const QString& secret :
             {master, entries[0].password, entries[1].password, QStringLiteral("away secret 3")})
            for (const QByteArray& form : formsOf(secret))
                EXPECT_FALSE(copy.contains(form)) << secret.toStdString();
        EXPECT_TRUE(session.storedPassword().isEmpty());
        EXPECT_TRUE(session.masterLineAsRead().isEmpty());
        EXPECT_TRUE(session.key().isNull());
        EXPECT_EQ(session.save(kept).failure, Failure::WrongPassword);

        QByteArray back;
        EXPECT_EQ(session.takeBack(copy, QStringLiteral("away master 7"), back).failure,
                  Failure::WrongPassword);
        EXPECT_TRUE(session.away());
        EXPECT_TRUE(back.isEmpty());
        ASSERT_TRUE(session.takeBack(copy, master, back).ok());
        EXPECT_FALSE(session.away());
        EXPECT_EQ(back, kept);
        EXPECT_EQ(session.storedPassword(), master);
        EXPECT_EQ(session.masterLineAsRead(), vaultformat::encodeMasterLine(master));
        EXPECT_EQ(testsupport::fileBytes(path), file) << "nothing was written";
        ASSERT_TRUE(session.save(kept).ok());
        const QByteArray saved = testsupport::fileBytes(path);
        if (sealed) {
            // Under the same key: the salt the vault was sealed with.
            EXPECT_EQ(saved.sliced(sealedvault::layout::kSaltAt, sealedvault::layout::kSaltSize),
                      file.sliced(sealedvault::layout::kSaltAt, sealedvault::layout::kSaltSize));
            EXPECT_EQ(sealedvault::unseal(saved, master).plain, kept);
        } else {
            EXPECT_EQ(saved, kept);
        }
    }
}
